// Secrets never reach a log: every password and every access and refresh token that passes
// through a sign-in, a resume, a refresh, a rename, an upload, a sign-out and their failures is
// looked for in the whole output of the launcher (the program, and the library signing in
// through its screen) and of the development backend.
#include "backend/json.h"
#include "backend/session.h"
#include "e2e/stack.h"
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "proxy.h"
#include "support/headless.h"

#include <gtest/gtest.h>

namespace {

using namespace e2e;

// Every value of an access_token or refresh_token member in the answers.
std::vector<std::string> tokens_in(const std::vector<std::string>& answers) {
    std::vector<std::string> out;
    for (const std::string& body : answers) {
        backend::Answer a;
        if (!backend::decode_answer(body, a)) continue;
        if (!a.access_token.empty()) out.push_back(a.access_token);
        if (!a.refresh_token.empty()) out.push_back(a.refresh_token);
    }
    return out;
}

void expect_absent(const std::string& log, const std::vector<std::string>& secrets, const char* whose,
                   bool halves = false) {
    for (const std::string& s : secrets) {
        ASSERT_GE(s.size(), 8u) << "too short to look for: " << s;
        EXPECT_EQ(log.find(s), std::string::npos) << whose << " log holds the secret " << s;
        // Half a token (its first half: a log line cut short) is a leak too.
        if (halves) {
            EXPECT_EQ(log.find(s.substr(0, s.size() / 2)), std::string::npos) << whose << " log holds part of " << s;
        }
    }
}

backend::Response call(const std::string& url, backend::Method m, const std::string& path, const std::string& body,
                       const std::string& bearer = {}, const std::string& type = {}) {
    backend::Client c;
    if (!backend::init(c, url, "secrets-test", 15000)) return {};
    backend::set_token(c, bearer);
    backend::request_typed(c, m, path, body, type);
    backend::Response r = support::wait_response(c);
    backend::destroy(c);
    return r;
}

struct Server_With_Log {
    fs::path data, log;
    pid_t pid = -1;
    std::string url;
    ~Server_With_Log() { end(pid); }
    bool start(const fs::path& root) {
        data = root / "data";
        log = root / "server.log";
        fs::create_directories(data);
        // Standard output and error both: the request log is on standard error.
        pid = spawn(server_exe, {"--data", data.string(), "--listen", "127.0.0.1:0", "--seed", "--fast-hash"}, root,
                    {}, log, log);
        for (int i = 0; i < 500 && url.empty(); ++i) {
            std::string text = slurp(log);
            size_t nl = text.find('\n');
            if (nl != std::string::npos && text.rfind("http://", 0) == 0) url = text.substr(0, nl);
            else std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return !url.empty();
    }
};

TEST(Secrets, NoPasswordOrTokenInTheBackendsOrTheLaunchersOutput) {
    fs::path root = scratch("secrets");
    Server_With_Log server;
    ASSERT_TRUE(server.start(root));
    faults::Proxy proxy(server.url);
    ASSERT_TRUE(proxy.front);
    // The seeded demo account's password is public (the backend prints it when it seeds), so it
    // is used only to get the launcher a sign-in, never looked for.
    std::vector<std::string> passwords = {"Corr3ct-Horse-Battery", "Wrong-Horse-Battery-9"};

    // The backend: every account request, the failures included.
    backend::Response r = call(proxy.url(), backend::Method::POST, "/v1/auth/register",
                               json::json_body({"email", "pat@example.com", "password", passwords[0], "name", "Pat Smith"}));
    ASSERT_EQ(r.status, 201) << r.body;
    r = call(proxy.url(), backend::Method::POST, "/v1/auth/login",
             json::json_body({"email", "pat@example.com", "password", passwords[1]}));
    EXPECT_EQ(r.status, 401);
    r = call(proxy.url(), backend::Method::POST, "/v1/auth/login",
             json::json_body({"email", "pat@example.com", "password", passwords[0]}));
    ASSERT_EQ(r.status, 200);
    backend::Answer signed_in;
    ASSERT_TRUE(backend::decode_answer(r.body, signed_in));
    r = call(proxy.url(), backend::Method::PATCH, "/v1/me", json::json_body({"name", "Pat Jones"}), signed_in.access_token);
    EXPECT_EQ(r.status, 200) << r.body;
    std::string upload = "--b\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nSecret Base\r\n--b\r\n"
                         "Content-Disposition: form-data; name=\"file\"; filename=\"map.tnw\"\r\n"
                         "Content-Type: application/octet-stream\r\n\r\nTNWM....\r\n--b--\r\n";
    r = call(proxy.url(), backend::Method::POST, "/v1/maps", upload, signed_in.access_token,
             "multipart/form-data; boundary=b");
    EXPECT_EQ(r.status, 201) << r.body;
    r = call(proxy.url(), backend::Method::PATCH, "/v1/me", json::json_body({"name", "Pat"}), "not-" + signed_in.access_token);
    EXPECT_EQ(r.status, 401);
    r = call(proxy.url(), backend::Method::POST, "/v1/auth/refresh", json::json_body({"refresh_token", signed_in.refresh_token}));
    EXPECT_EQ(r.status, 200);
    backend::Answer renewed;
    ASSERT_TRUE(backend::decode_answer(r.body, renewed));
    r = call(proxy.url(), backend::Method::PATCH, "/v1/me", json::json_body({"name", "Pat Renewed"}), renewed.access_token);
    EXPECT_EQ(r.status, 200) << r.body;
    // The old refresh token again, after its successor was in use: taken as stolen, the whole
    // sign-in ends.
    r = call(proxy.url(), backend::Method::POST, "/v1/auth/refresh", json::json_body({"refresh_token", signed_in.refresh_token}));
    EXPECT_EQ(r.status, 401);

    // The launcher program: resumes the demo account's saved sign-in, refreshes, then runs on.
    fs::path home = root / "home";
    r = call(proxy.url(), backend::Method::POST, "/v1/auth/login",
             json::json_body({"email", "demo@tarnwick.test", "password", "tarnwick-demo"}));
    ASSERT_EQ(r.status, 200);
    backend::Answer demo;
    ASSERT_TRUE(backend::decode_answer(r.body, demo));
    save_account(home, demo.refresh_token);
    pid_t pid = spawn(launcher_exe, {"-no-install", "-screenshot:" + (root / "shot").string(), "-seconds:2",
                                     "-backend:" + proxy.url(), "-dir:" + (root / "install").string()},
                      root, headless_env(home), root / "launcher.log", root / "launcher.log");
    EXPECT_EQ(wait_exit(pid, 60000), 0);
    // Then with a saved token the backend no longer accepts.
    save_account(home, "stale-" + signed_in.refresh_token);
    pid = spawn(launcher_exe, {"-no-install", "-screenshot:" + (root / "shot").string(), "-seconds:1",
                               "-backend:" + proxy.url(), "-dir:" + (root / "install").string()},
                root, headless_env(home), root / "launcher2.log", root / "launcher2.log");
    EXPECT_EQ(wait_exit(pid, 60000), 0);

    std::vector<std::string> tokens = tokens_in(proxy.answers());
    tokens.push_back("stale-" + signed_in.refresh_token);
    ASSERT_GE(tokens.size(), 7u) << "the launcher never signed in";
    std::string launcher_log = slurp(root / "launcher.log") + slurp(root / "launcher2.log");
    end(server.pid);
    server.pid = -1;
    std::string server_log = slurp(server.log);
    EXPECT_NE(server_log.find("/v1/auth/login"), std::string::npos) << "the backend logged nothing: " << server_log;
    expect_absent(server_log, passwords, "backend");
    expect_absent(server_log, tokens, "backend", true);
    expect_absent(launcher_log, passwords, "launcher");
    expect_absent(launcher_log, tokens, "launcher", true);
    fs::remove_all(root);
}

// Standard error of this process, into a file for the duration of a test.
struct Capture_Stderr {
    fs::path file;
    int saved = -1;
    explicit Capture_Stderr(const fs::path& f) : file(f) {
        fflush(stderr);
        saved = dup(2);
        int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    std::string finish() {
        fflush(stderr);
        if (saved >= 0) {
            dup2(saved, 2);
            close(saved);
            saved = -1;
        }
        return slurp(file);
    }
    ~Capture_Stderr() { finish(); }
};

TEST(Secrets, TypingThePasswordIntoTheSignInScreenLeavesNoTraceInTheLog) {
    fs::path root = scratch("secrets-screen");
    Server_With_Log server;
    ASSERT_TRUE(server.start(root));
    faults::Proxy proxy(server.url);
    ASSERT_TRUE(headless::open());
    setenv("XDG_DATA_HOME", (root / "share").c_str(), 1);
    paths::reset_user_dir_for_tests();

    const std::string right = "Typed-Secret-Passw0rd", wrong = "Mistyped-Secret-Passw0rd";
    backend::Response made = call(proxy.url(), backend::Method::POST, "/v1/auth/register",
                                  json::json_body({"email", "typist@example.com", "password", right, "name", "Typist"}));
    ASSERT_EQ(made.status, 201) << made.body;
    std::string log;
    std::vector<std::string> tokens;
    {
        Capture_Stderr capture(root / "stderr.log");
        launcher::Launcher state;
        state.backend = proxy.url();
        state.install_dir = (root / "install").string();
        ASSERT_TRUE(backend::session_init(state.session, state.backend));
        headless::Draw draw = [&] {
            launcher::update(state);
            launcher::draw_screens(state);
        };
        auto frames_until = [&](const std::function<bool()>& done) { return headless::frames_until(done, draw, 3000); };
        // A wrong password first, then the right one, typed into the form as a player would.
        for (const std::string& password : {wrong, right}) {
            headless::click(670, 217, draw);
            state.email[0] = 0;
            headless::type("typist@example.com", draw);
            headless::click(670, 287, draw);
            state.password = {};
            headless::type(password, draw);
            headless::key(gfx::Key_Enter, draw);
            EXPECT_TRUE(frames_until([&] { return !state.signing_in; }));
        }
        EXPECT_EQ(state.session.phase, backend::Session_Phase::Signed_In) << state.error;
        for (int i = 0; i < 30; ++i) headless::frame(draw);  // the first update check, and its log line
        backend::session_sign_out(state.session);
        for (int i = 0; i < 10; ++i) headless::frame(draw);
        backend::session_destroy(state.session);
        launcher::patcher_destroy(state.patcher);
        log = capture.finish();
    }
    tokens = tokens_in(proxy.answers());
    EXPECT_FALSE(tokens.empty()) << "never signed in";
    std::vector<std::string> passwords = {wrong, right};
    expect_absent(log, passwords, "launcher");
    expect_absent(log, tokens, "launcher", true);
    end(server.pid);
    server.pid = -1;
    expect_absent(slurp(server.log), passwords, "backend");
    expect_absent(slurp(server.log), tokens, "backend", true);
    paths::reset_user_dir_for_tests();
    fs::remove_all(root);
}

}  // namespace
