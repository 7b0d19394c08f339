// A sign-in answer lost on the way (the connection dropped after the backend rotated the
// refresh token, or the launcher killed before it saved the new one) must not sign the player
// out: the backend takes the previous token once more while nothing shows that its successor
// ever arrived. A token presented again after its successor was used is still a copy, and ends
// the whole sign-in.
#include "backend/json.h"
#include "backend/session.h"
#include "e2e/stack.h"
#include "proxy.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace e2e;

backend::Response call(const std::string& url, backend::Method m, const std::string& path, const std::string& body,
                       const std::string& bearer = {}) {
    backend::Client c;
    if (!backend::init(c, url, "lost-answer-test", 15000)) return {};
    backend::set_token(c, bearer);
    backend::request_typed(c, m, path, body);
    backend::Response r = support::wait_response(c);
    backend::destroy(c);
    return r;
}

backend::Answer refresh(const std::string& url, const std::string& token, int64_t* status = nullptr) {
    backend::Response r = call(url, backend::Method::POST, "/v1/auth/refresh", json::json_body({"refresh_token", token}));
    if (status) *status = r.status;
    backend::Answer a;
    if (r.status == 200) backend::decode_answer(r.body, a);
    return a;
}

std::string saved_token(const fs::path& home) {
    std::string text = slurp(home / "share" / "Tarnwick" / "account.json");
    json::Value v;
    std::string token;
    if (json::parse(text, v))
        json::members(v, [&](std::string_view k, json::Value x) { return k != "refresh_token" || json::get(x, token); });
    return token;
}

TEST(LostAnswer, ThePreviousRefreshTokenWorksOnceMoreUntilItsSuccessorIsSeen) {
    fs::path root = scratch("lost-answer");
    Backend server;
    ASSERT_TRUE(server.start(root / "data"));
    std::string t0 = server.demo_refresh_token();
    ASSERT_FALSE(t0.empty());

    backend::Answer lost = refresh(server.url, t0);  // the answer never reaches the launcher
    ASSERT_FALSE(lost.refresh_token.empty());
    int64_t status = 0;
    backend::Answer again = refresh(server.url, t0, &status);
    EXPECT_EQ(status, 200) << "a lost answer signed the player out";
    // The retry gets the very successor it lost: one chain, whoever sent the retry.
    EXPECT_EQ(again.refresh_token, lost.refresh_token) << "a retry started a second chain";
    EXPECT_EQ(again.access_token, lost.access_token);
    refresh(server.url, lost.refresh_token, &status);
    EXPECT_EQ(status, 200) << "the successor handed out again does not work";

    // A sign-in whose retried refresh is followed by nothing else goes on.
    std::string v0 = server.demo_refresh_token();
    refresh(server.url, v0);  // lost again
    again = refresh(server.url, v0, &status);
    EXPECT_EQ(status, 200) << "a lost answer signed the player out";
    backend::Answer next = refresh(server.url, again.refresh_token, &status);
    EXPECT_EQ(status, 200) << "the retried sign-in did not last";

    // Once the successor's access token has been used, the old token is a copy: everything ends.
    backend::Response renamed = call(server.url, backend::Method::PATCH, "/v1/me",
                                     json::json_body({"name", "Demo Player"}), next.access_token);
    EXPECT_EQ(renamed.status, 200) << renamed.body;
    refresh(server.url, again.refresh_token, &status);
    EXPECT_EQ(status, 401);
    refresh(server.url, next.refresh_token, &status);
    EXPECT_EQ(status, 401) << "a copied token did not end the sign-in";

    // Likewise once the successor itself was exchanged.
    std::string u0 = server.demo_refresh_token();
    backend::Answer u1 = refresh(server.url, u0);
    backend::Answer u2 = refresh(server.url, u1.refresh_token);
    ASSERT_FALSE(u2.refresh_token.empty());
    refresh(server.url, u0, &status);
    EXPECT_EQ(status, 401);
    refresh(server.url, u2.refresh_token, &status);
    EXPECT_EQ(status, 401);
    fs::remove_all(root);
}

TEST(LostAnswer, TheLauncherStaysSignedInWhenTheResumeAnswerIsCutOff) {
    fs::path root = scratch("lost-resume");
    Backend server;
    ASSERT_TRUE(server.start(root / "data"));
    faults::Proxy proxy(server.url);
    ASSERT_TRUE(proxy.front);
    // The first refresh reaches the backend (which rotates the token), but its answer is cut.
    auto cuts = std::make_shared<std::atomic<int>>(1);
    std::string target = server.url;
    support::on(*proxy.front, "POST", "/v1/auth/refresh", [cuts, target](const support::Recorded_Request& r) {
        support::Reply reply = faults::forward(target, r);
        if ((*cuts)-- > 0) reply.cut_after = 10;
        return reply;
    });
    fs::path home = root / "home";
    std::string saved = server.demo_refresh_token();
    save_account(home, saved);
    std::vector<std::string> args = {"-no-install", "-screenshot:" + (root / "shot").string(), "-seconds:1.5",
                                     "-backend:" + proxy.url(), "-dir:" + (root / "install").string()};

    // First start: no answer, so the saved sign-in is kept for the next start.
    pid_t pid = spawn(launcher_exe, args, root, headless_env(home), root / "first.log", root / "first.log");
    EXPECT_EQ(wait_exit(pid, 60000), 0) << slurp(root / "first.log");
    EXPECT_EQ(saved_token(home), saved);

    // Second start: the backend takes the token once more, and the new one is saved.
    pid = spawn(launcher_exe, args, root, headless_env(home), root / "second.log", root / "second.log");
    EXPECT_EQ(wait_exit(pid, 60000), 0) << slurp(root / "second.log");
    std::string now_saved = saved_token(home);
    EXPECT_FALSE(now_saved.empty()) << "the saved account was lost";
    EXPECT_NE(now_saved, saved);
    int64_t status = 0;
    refresh(server.url, now_saved, &status);
    EXPECT_EQ(status, 200) << "the saved token no longer signs in";
    fs::remove_all(root);
}

}  // namespace
