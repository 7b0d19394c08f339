// The built launcher program, started as a player would start it.
#include "support/files.h"
#include "support/folders.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace fs = std::filesystem;
using support::Reply;

namespace {

const std::string launcher_path = std::string(TARNWICK_BINARY_DIR) + "/tarnwick-launcher";

struct Run_Result {
    int code = -1;
    std::string output;   // standard output and standard error together
};

// Runs the launcher headless with `args`, its per-user folder under `data`.
Run_Result run_launcher(const std::string& args, const fs::path& data) {
    std::string cmd = "env SDL_VIDEODRIVER=offscreen SDL_RENDER_DRIVER=software XDG_DATA_HOME='" + data.string() +
                      "' HOME='" + data.string() + "' '" + launcher_path + "' " + args + " 2>&1";
    Run_Result r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

using support::slurp;

struct Launcher_Binary : ::testing::Test {
    fs::path root;
    void SetUp() override {
        root = support::test_folder("e2e");
    }
    void TearDown() override { fs::remove_all(root); }
};

}  // namespace

TEST_F(Launcher_Binary, HelpAndBadCommandLines) {
    Run_Result help = run_launcher("-help", root);
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.output.rfind("Usage:\n", 0), 0u);
    for (const char* bad : {"-foo", "-dir", "positional", "-", "-seconds:abc"}) {
        Run_Result r = run_launcher(bad, root);
        EXPECT_EQ(r.code, 1) << bad;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << bad << ": " << r.output;
    }
}

TEST_F(Launcher_Binary, ScreenshotModeWritesThePictureAndExitsCleanly) {
    fs::path shot = root / "shot";
    Run_Result r = run_launcher("-screenshot:'" + shot.string() + "' -seconds:0.5 -no-install -backend:http://127.0.0.1:9", root);
    EXPECT_EQ(r.code, 0) << r.output;
    std::string png = slurp(root / "shot.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    auto be32 = [&](size_t at) { return (uint32_t(uint8_t(png[at])) << 24) | (uint32_t(uint8_t(png[at + 1])) << 16) |
                                        (uint32_t(uint8_t(png[at + 2])) << 8) | uint32_t(uint8_t(png[at + 3])); };
    EXPECT_EQ(be32(16), 1100u);
    EXPECT_EQ(be32(20), 680u);
}

TEST_F(Launcher_Binary, SavedAccountResumesAndTheRotatedTokenIsWrittenBack) {
    auto srv = support::start_test_server();
    ASSERT_TRUE(srv);
    support::on(*srv, "POST", "/v1/auth/refresh",
                Reply{200, {}, "{\"access_token\":\"A\",\"expires_at\":4102444800,\"refresh_token\":\"ROTATED\","
                               "\"account\":{\"id\":9,\"name\":\"Ada\"}}"});
    fs::create_directories(root / "Tarnwick");
    { std::ofstream(root / "Tarnwick" / "account.json") << "{\"refresh_token\":\"SAVED\"}"; }

    Run_Result r = run_launcher("-screenshot:'" + (root / "s").string() + "' -seconds:1 -backend:" +
                                    support::base_url(*srv) + " -dir:'" + (root / "game").string() + "'",
                                root);
    EXPECT_EQ(r.code, 0) << r.output;
    bool resumed = false;
    for (auto& req : support::requests(*srv))
        if (req.path() == "/v1/auth/refresh") {
            resumed = true;
            EXPECT_EQ(req.body, "{\"refresh_token\":\"SAVED\"}");
            EXPECT_EQ(req.header("Authorization"), nullptr);
        }
    EXPECT_TRUE(resumed);
    EXPECT_EQ(slurp(root / "Tarnwick" / "account.json"), "{\"refresh_token\":\"ROTATED\"}");
    EXPECT_EQ(r.output.find("SAVED"), std::string::npos);   // tokens never reach the log
    EXPECT_EQ(r.output.find("ROTATED"), std::string::npos);
}
