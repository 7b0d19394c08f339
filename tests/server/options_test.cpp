// The command line, and the executable itself: its first line on stdout is the URL it serves.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>

#include "fixture.h"
#include "server/options.h"
#include "server/tokens.h"

extern char** environ;

namespace server_test {
namespace {

std::string parse(std::vector<const char*> args, server::Options& o) {
    args.insert(args.begin(), "tarnwick-server");
    return server::parse_options(static_cast<int>(args.size()), args.data(), o);
}

TEST(Options, ListenAddressesLifetimesAndAdminFlags) {
    server::Options o;
    ASSERT_EQ(parse({"--data", "/d", "--listen", "127.0.0.1:0", "--token-lifetime", "5", "--seed"}, o),
              "");
    EXPECT_EQ(o.data_dir, "/d");
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.token_lifetime, 5);
    EXPECT_TRUE(o.seed);
    EXPECT_FALSE(o.fast_hash);
    ASSERT_EQ(parse({"--listen", "[::1]:8080", "--data", "d"}, o), "");
    EXPECT_EQ(o.host, "::1");
    EXPECT_EQ(o.port, 8080);
    EXPECT_EQ(o.token_lifetime, 3600);
    ASSERT_EQ(parse({"--data", "d", "--ban", "a@b.c", "--unban", "c@d.e"}, o), "");
    EXPECT_EQ(o.port, -1);
    EXPECT_EQ(o.ban, std::vector<std::string>{"a@b.c"});
    EXPECT_EQ(o.unban, std::vector<std::string>{"c@d.e"});
    EXPECT_TRUE(o.trusted_proxies.empty());
    ASSERT_EQ(parse({"--data", "d", "--seed", "--trust-proxy"}, o), "");
    EXPECT_EQ(o.trusted_proxies, (std::vector<std::string>{"127.0.0.1", "::1"}));
    ASSERT_EQ(parse({"--data", "d", "--seed", "--trust-proxy=10.0.0.5,fd00::7",
                     "--per-address-connections", "9"}, o),
              "");
    EXPECT_EQ(o.trusted_proxies, (std::vector<std::string>{"10.0.0.5", "fd00::7"}));
    EXPECT_EQ(o.per_address_connections, 9u);

    const std::vector<std::vector<const char*>> bad = {
        {"--listen", "127.0.0.1:0"},
        {"--data", "d"},
        {"--data", "d", "--listen", "127.0.0.1"},
        {"--data", "d", "--listen", "127.0.0.1:65536"},
        {"--data", "d", "--listen", ":80"},
        {"--data", "d", "--listen", "127.0.0.1:0", "--token-lifetime", "0"},
        {"--data", "d", "--listen", "127.0.0.1:0", "--token-lifetime", "-5"},
        {"--data", "d", "--listen", "127.0.0.1:0", "--token-lifetime"},
        {"--data", "d", "--listen", "127.0.0.1:0", "--verbose"},
        {"--data", "d", "--seed", "--trust-proxy="},
        {"--data", "d", "--seed", "--trust-proxy=10.0.0.5,,10.0.0.6"},
        {"--data", "d", "--seed", "--per-address-connections", "0"},
    };
    for (const auto& args : bad) EXPECT_NE(parse(args, o), "") << args.back();
}

TEST(Passwords, RealHashesUseArgon2idAtInteractiveCost) {
    std::string real, fast;
    ASSERT_TRUE(server::password_hash("correct horse", false, real));
    ASSERT_TRUE(server::password_hash("correct horse", true, fast));
    EXPECT_EQ(real.rfind("$argon2id$v=19$m=65536,t=2,", 0), 0u) << real;
    EXPECT_TRUE(server::password_verify(real, "correct horse"));
    EXPECT_FALSE(server::password_verify(real, "correct horsE"));
    EXPECT_TRUE(server::password_verify(fast, "correct horse"));
    EXPECT_FALSE(server::password_verify("", "correct horse"));
}

// Starts the real executable, reads its first line, and talks to the URL it printed.
TEST(Executable, PrintsItsUrlFirstAndServesIt) {
    fs::path data = make_temp_dir();
    std::string exe = std::string(TARNWICK_BINARY_DIR) + "/server/tarnwick-server";
    ASSERT_TRUE(fs::exists(exe)) << "build tarnwick-server first";
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string data_arg = data.string();
    const char* argv[] = {exe.c_str(), "--data", data_arg.c_str(), "--listen", "127.0.0.1:0",
                          "--seed", "--fast-hash", nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

    FILE* stdout_of = ::fdopen(out[0], "r");
    char line[256] = {};
    bool got = std::fgets(line, sizeof line, stdout_of) != nullptr;
    char second[256] = {};
    bool got_second = std::fgets(second, sizeof second, stdout_of) != nullptr;
    std::string url = line;
    if (!url.empty() && url.back() == '\n') url.pop_back();

    std::string page;
    int status = 0;
    if (got && url.rfind("http://127.0.0.1:", 0) == 0) {
        httplib::Client c(url);
        auto r = c.Get("/account.html");
        if (r) {
            status = r->status;
            page = r->body;
        }
    }
    ::kill(pid, SIGTERM);
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    std::fclose(stdout_of);
    std::error_code ec;
    fs::remove_all(data, ec);

    ASSERT_TRUE(got);
    EXPECT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
    EXPECT_GT(std::atoi(url.c_str() + 17), 0);
    EXPECT_TRUE(got_second);
    EXPECT_NE(std::string(second).find("demo@tarnwick.test"), std::string::npos) << second;
    EXPECT_EQ(status, 200);
    EXPECT_NE(page.find("id=\"forgot\""), std::string::npos);
    // SIGTERM is a clean stop.
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
}

}  // namespace
}  // namespace server_test
