#include "backend/json.h"
#include "backend/session.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace backend;
using support::Reply;

namespace {

std::string answer_json(const std::string& access, int64_t expires, const std::string& refresh, int64_t id = 7,
                        const std::string& name = "Ada") {
    std::string out = "{\"access_token\":\"" + access + "\",\"expires_at\":" + std::to_string(expires);
    if (!refresh.empty()) out += ",\"refresh_token\":\"" + refresh + "\"";
    return out + ",\"created\":false,\"account\":{\"id\":" + std::to_string(id) + ",\"name\":\"" + name + "\"}}";
}

// Runs session_update at `now` until the outstanding authentication answer has been handled.
unsigned settle(Session& s, int64_t now) {
    unsigned events = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (s.pending_kind != Auth_Kind::None && std::chrono::steady_clock::now() < deadline) {
        events |= session_update(s, now);
        if (s.pending_kind != Auth_Kind::None) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return events;
}

size_t count_path(const support::Test_Server& srv, const std::string& path) {
    size_t n = 0;
    for (auto& r : support::requests(srv)) n += r.path() == path;
    return n;
}

struct Signed_In : ::testing::Test {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    Session s;
    const int64_t T = 1'000'000;

    void SetUp() override {
        ASSERT_TRUE(srv);
        support::on(*srv, "POST", "/v1/auth/login", Reply{200, {}, answer_json("A1", T, "R1")});
        ASSERT_TRUE(session_init(s, support::base_url(*srv)));
        session_sign_in(s, false, json::json_body({"email", "a@b.c", "password", "secret12"}));
        ASSERT_EQ(settle(s, T - 3600), unsigned(Event_Signed_In));
        ASSERT_EQ(s.phase, Session_Phase::Signed_In);
        s.save_needed = false;
    }
    void TearDown() override { session_destroy(s); }
};

}  // namespace

TEST(Json, WriteJsonStringEscapesExactly) {
    std::string out;
    json::write_json_string(out, std::string("q\"b\\t\tn\nr\rc\x01\x08\x7f") + "é");
    EXPECT_EQ(out, "\"q\\\"b\\\\t\\tn\\nr\\rc\\u0001\\u0008\x7f" "é\"");
    EXPECT_EQ(json::json_body({"email", "a", "password", "b"}), "{\"email\":\"a\",\"password\":\"b\"}");
    EXPECT_EQ(json::json_body({"refresh_token", "T", "odd"}), "{\"refresh_token\":\"T\"}");
    EXPECT_EQ(json::json_escape("a\"b\\c\x01\nd"), "a\\\"b\\\\cd");
}

TEST(Json, DecodingRules) {
    Answer a;
    EXPECT_TRUE(decode_answer("{\"access_token\":\"x\",\"unknown\":[1,{\"y\":2}],\"account\":{\"id\":3}}", a));
    EXPECT_EQ(a.access_token, "x");
    EXPECT_EQ(a.account.id, 3);
    EXPECT_EQ(a.expires_at, 0);
    Answer b;
    EXPECT_FALSE(decode_answer("{\"expires_at\":\"soon\"}", b));   // wrong type
    Answer c;
    EXPECT_FALSE(decode_answer("{\"access_token\":\"x\"} trailing", c));
    E e;
    EXPECT_FALSE(decode_e("<html>oops</html>", e));
}

TEST(Messages, SignInTable) {
    EXPECT_EQ(sign_in_message("invalid_credentials"), "That email and password don't match an account.");
    EXPECT_EQ(sign_in_message("email_taken"), "There's already an account with that email: sign in instead.");
    EXPECT_EQ(sign_in_message("bad_password"), "Pick a longer password (at least 8 characters).");
    EXPECT_EQ(sign_in_message("bad_email"), "That doesn't look like an email address.");
    EXPECT_EQ(sign_in_message("banned"), "This account is banned.");
    EXPECT_EQ(sign_in_message("rate_limited"), "Too many tries: wait a minute and try again.");
    EXPECT_EQ(sign_in_message("session_expired"), "You were signed out: sign in again.");
    EXPECT_EQ(sign_in_message("unreachable"), "Couldn't reach Tarnwick. Check your connection.");
    EXPECT_EQ(sign_in_message("Banned"), "Sign-in didn't work (Banned).");
    EXPECT_EQ(sign_in_message("http_error"), "Sign-in didn't work (http_error).");
    EXPECT_EQ(sign_in_message("internal"), "Sign-in didn't work (internal). The server had a problem: try again in a minute.");
}

TEST(Messages, AServersOwnWordsInPlaceOfACodeAreNeverShown) {
    for (const char* said : {"Your account is pending review.", "<html>", "Сервер недоступен", ""})
        EXPECT_EQ(sign_in_message(said), "Sign-in didn't work.") << said;
}

TEST(Messages, ErrorCodeOfAResponse) {
    EXPECT_EQ(error_code(Response{.id = 1, .status = 0, .body = "", .err = "connect: could not connect"}),
              "unreachable");
    EXPECT_EQ(error_code(Response{.id = 1, .status = 401, .body = "{\"error\":\"invalid_credentials\"}", .err = ""}),
              "invalid_credentials");
    EXPECT_EQ(error_code(Response{.id = 1, .status = 500, .body = "<html>down</html>", .err = ""}), "http_error");
    EXPECT_EQ(error_code(Response{.id = 1, .status = 400, .body = "{\"error\":\"\"}", .err = ""}), "http_error");
    EXPECT_EQ(error_code(Response{.id = 1, .status = 400, .body = "[\"error\"]", .err = ""}), "http_error");
}

TEST_F(Signed_In, RefreshStartsFiveMinutesBeforeExpiryOnceAtATime) {
    Reply stalled;
    stalled.stall = true;
    support::on(*srv, "POST", "/v1/auth/refresh", stalled);
    session_update(s, T - 301);
    EXPECT_EQ(s.pending_kind, Auth_Kind::None);
    session_update(s, T - 300);
    EXPECT_EQ(s.pending_kind, Auth_Kind::Refresh);
    for (int i = 0; i < 20; i++) session_update(s, T - 100 + i);
    ASSERT_TRUE(support::wait_for_requests(*srv, 2, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(count_path(*srv, "/v1/auth/refresh"), 1u);
    auto reqs = support::requests(*srv);
    EXPECT_EQ(reqs.back().body, "{\"refresh_token\":\"R1\"}");
    EXPECT_EQ(reqs.back().header("Authorization"), nullptr);
}

TEST_F(Signed_In, ServerFailureKeepsThePlayerSignedInAndRetriesAfterThirtySeconds) {
    support::on(*srv, "POST", "/v1/auth/refresh", Reply{503, {}, "busy"});
    session_update(s, T - 200);
    EXPECT_EQ(settle(s, T - 200), 0u);
    EXPECT_EQ(s.phase, Session_Phase::Signed_In);
    EXPECT_EQ(s.refresh_token, "R1");
    session_update(s, T - 171);
    EXPECT_EQ(s.pending_kind, Auth_Kind::None);
    session_update(s, T - 170);
    EXPECT_EQ(s.pending_kind, Auth_Kind::Refresh);
}

TEST_F(Signed_In, RefreshAnswerThatLeavesNothingUsableHoldsTheNextTryThirtySeconds) {
    // Garbled answers, and answers whose token is already due again: each is one refresh per
    // hold, with the player still signed in and no sign-in message.
    const std::string bodies[] = {"{}", "<html>ok</html>", answer_json("A2", 0, ""), answer_json("A3", T - 100, "")};
    size_t sent = 1;   // the login
    int64_t now = T;
    for (const std::string& body : bodies) {
        support::on(*srv, "POST", "/v1/auth/refresh", Reply{200, {}, body});
        unsigned events = session_update(s, now);
        events |= settle(s, now);
        for (int64_t t = now; t < now + 30; ++t) {
            events |= session_update(s, t);
            EXPECT_EQ(s.pending_kind, Auth_Kind::None) << body << " at +" << t - now;
        }
        EXPECT_EQ(events, 0u) << body;
        EXPECT_EQ(s.phase, Session_Phase::Signed_In) << body;
        EXPECT_EQ(s.refresh_token, "R1");
        session_update(s, now + 30);
        EXPECT_EQ(s.pending_kind, Auth_Kind::Refresh) << body;
        settle(s, now + 30);
        sent += 2;
        ASSERT_TRUE(support::wait_for_requests(*srv, sent, 5000));
        EXPECT_EQ(count_path(*srv, "/v1/auth/refresh"), sent - 1) << body;
        now += 1000;
    }
}

TEST_F(Signed_In, RejectedRefreshSignsOutAndAsksToForgetTheSavedToken) {
    support::on(*srv, "POST", "/v1/auth/refresh", Reply{401, {}, "{\"error\":\"session_expired\"}"});
    session_update(s, T);
    EXPECT_EQ(settle(s, T), unsigned(Event_Expired));
    EXPECT_EQ(s.phase, Session_Phase::Signed_Out);
    EXPECT_TRUE(s.access_token.empty());
    EXPECT_TRUE(s.refresh_token.empty());
    EXPECT_TRUE(s.save_needed);
}

TEST_F(Signed_In, RefreshWithoutANewRefreshTokenKeepsTheOldOne) {
    support::on(*srv, "POST", "/v1/auth/refresh", Reply{200, {}, answer_json("A2", T + 3600, "")});
    session_update(s, T);
    EXPECT_EQ(settle(s, T), 0u);
    EXPECT_EQ(s.access_token, "A2");
    EXPECT_EQ(s.refresh_token, "R1");
    EXPECT_FALSE(s.save_needed);
}

TEST_F(Signed_In, RotatedRefreshTokenIsSaved) {
    support::on(*srv, "POST", "/v1/auth/refresh", Reply{200, {}, answer_json("A2", T + 3600, "R2")});
    session_update(s, T);
    settle(s, T);
    EXPECT_EQ(s.refresh_token, "R2");
    EXPECT_TRUE(s.save_needed);
}

TEST_F(Signed_In, SignOutQueuesLogoutWithoutAuthorization) {
    set_token(s.client, "A1");
    session_sign_out(s);
    EXPECT_EQ(s.phase, Session_Phase::Signed_Out);
    EXPECT_TRUE(s.save_needed);
    ASSERT_TRUE(support::wait_for_requests(*srv, 2, 5000));
    auto reqs = support::requests(*srv);
    EXPECT_EQ(reqs.back().path(), "/v1/auth/logout");
    EXPECT_EQ(reqs.back().body, "{\"refresh_token\":\"R1\"}");
    EXPECT_EQ(reqs.back().header("Authorization"), nullptr);
}

TEST(Session, SignInAnswerWithoutAnAccountIdIsABadResponse) {
    auto srv = support::start_test_server();
    ASSERT_TRUE(srv);
    support::on(*srv, "POST", "/v1/auth/login", Reply{200, {}, answer_json("A", 100, "R", 0)});
    Session s;
    ASSERT_TRUE(session_init(s, support::base_url(*srv)));
    session_sign_in(s, false, "{}");
    EXPECT_EQ(settle(s, 0), unsigned(Event_Failed));
    EXPECT_EQ(s.error, "bad_response");
    EXPECT_EQ(s.phase, Session_Phase::Signed_Out);
    session_destroy(s);
}

TEST(Session, ResumeOfflineKeepsTheSavedToken) {
    auto srv = support::start_test_server();
    ASSERT_TRUE(srv);
    std::string url = support::base_url(*srv);
    support::stop(*srv);   // nothing listens there any more
    Session s;
    ASSERT_TRUE(session_init(s, url));
    session_resume(s, "SAVED");
    EXPECT_EQ(settle(s, 0), unsigned(Event_Failed));
    EXPECT_EQ(s.error, "unreachable");
    EXPECT_EQ(s.refresh_token, "SAVED");
    EXPECT_FALSE(s.save_needed);
    session_destroy(s);
}

TEST(Session, RejectedResumeForgetsTheTokens) {
    auto srv = support::start_test_server();
    ASSERT_TRUE(srv);
    support::on(*srv, "POST", "/v1/auth/refresh", Reply{401, {}, "{\"error\":\"session_expired\"}"});
    Session s;
    ASSERT_TRUE(session_init(s, support::base_url(*srv)));
    session_resume(s, "OLD");
    EXPECT_EQ(settle(s, 0), unsigned(Event_Failed));
    EXPECT_EQ(s.error, "session_expired");
    EXPECT_TRUE(s.refresh_token.empty());
    EXPECT_TRUE(s.save_needed);
    session_destroy(s);
}

TEST(Session, FailedSignInLeavesStoredTokensAlone) {
    auto srv = support::start_test_server();
    ASSERT_TRUE(srv);
    support::on(*srv, "POST", "/v1/auth/login", Reply{401, {}, "{\"error\":\"invalid_credentials\"}"});
    Session s;
    ASSERT_TRUE(session_init(s, support::base_url(*srv)));
    s.refresh_token = "KEEP";
    session_sign_in(s, false, "{}");
    EXPECT_EQ(settle(s, 0), unsigned(Event_Failed));
    EXPECT_EQ(s.error, "invalid_credentials");
    EXPECT_EQ(s.refresh_token, "KEEP");
    session_destroy(s);
}

TEST(Session, OtherResponsesWaitForSessionTake) {
    auto srv = support::start_test_server();
    ASSERT_TRUE(srv);
    support::on(*srv, "GET", "/news.json", Reply{200, {}, "{\"news\":[]}"});
    Session s;
    ASSERT_TRUE(session_init(s, support::base_url(*srv)));
    uint64_t id = request_typed(s.client, Method::GET, "/news.json");
    std::vector<Response> taken;
    for (int i = 0; i < 2000 && taken.empty(); i++) {
        session_update(s, 0);
        taken = session_take(s);
        if (taken.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].id, id);
    EXPECT_TRUE(session_take(s).empty());
    session_destroy(s);
    session_destroy(s);   // twice is harmless
}

// A sign-in the backend refuses with a challenge is solved off the main thread and sent again
// with its proof, at most twice; the device token of the answer is kept for the launcher.
TEST(Session, ChallengedSignInIsSolvedAndSentAgainWithItsProof) {
    struct Case {
        const char* what;
        int64_t bits;
        int challenges;           // answers with a challenge before the good one
        unsigned events;
        const char* error;
        size_t requests;
    };
    const Case cases[] = {
        {"solved once, then signed in", 8, 1, Event_Signed_In, "", 2},
        {"solved twice (the first expired), then signed in", 8, 2, Event_Signed_In, "", 3},
        {"challenged a third time: refused as before", 8, 3, Event_Failed, "rate_limited", 3},
        {"more work than the launcher does: refused at once", pow_max_bits + 1, 1, Event_Failed, "rate_limited", 1},
    };
    const std::string body = json::json_body({"email", "a@b.c", "password", "secret12"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto srv = support::start_test_server();
        ASSERT_TRUE(srv);
        auto served = std::make_shared<std::atomic<int>>(0);
        const std::string challenge_body = "{\"error\":\"rate_limited\",\"challenge\":\"c" + std::to_string(c.bits) +
                                           "\",\"bits\":" + std::to_string(c.bits) + "}";
        support::on(*srv, "POST", "/v1/auth/login", [&, served](const support::Recorded_Request&) {
            if ((*served)++ < c.challenges) return Reply{429, {}, challenge_body};
            std::string good = answer_json("A", 100000, "R");
            return Reply{200, {}, good.substr(0, good.size() - 1) + ",\"device_token\":\"D1\"}"};
        });
        Session s;
        ASSERT_TRUE(session_init(s, support::base_url(*srv)));
        session_sign_in(s, false, body);
        EXPECT_EQ(settle(s, 0), c.events);
        EXPECT_EQ(s.error, c.error);
        EXPECT_EQ(s.device_token, c.events == Event_Signed_In ? "D1" : "");
        auto sent = support::requests(*srv);
        ASSERT_EQ(sent.size(), c.requests);
        EXPECT_EQ(sent[0].body, body);   // the plain sign-in first, exactly
        // Then the same members with the challenge and a number that solves it.
        const std::string again = body.substr(0, body.size() - 1) + ",\"challenge\":\"c8\",\"proof\":\"";
        for (size_t i = 1; i < sent.size(); ++i) {
            ASSERT_EQ(sent[i].body.substr(0, again.size()), again);
            std::string proof = sent[i].body.substr(again.size(), sent[i].body.size() - again.size() - 2);
            EXPECT_TRUE(pow_check("c8", 8, proof)) << sent[i].body;
        }
        EXPECT_FALSE(s.search);
        session_destroy(s);
    }
}
