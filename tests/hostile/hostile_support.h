// Shared by the hostile-input tests: a temporary folder with an install folder and a sibling
// that nothing may touch, a snapshot of a whole tree to prove that, and running a patcher
// check to its end.
#pragma once
#include "support/files.h"
#include "support/folders.h"
#include "launcher/patcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace hostile {

namespace fs = std::filesystem;

using support::slurp;
using support::put;


// Every entry below `root` (symbolic links not followed) with its contents, for comparing a
// tree before and after.
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    if (!fs::exists(root)) return out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        out[rel] = e.is_regular_file() ? slurp(e.path()) : std::string("<dir>");
    }
    return out;
}

struct Folders : ::testing::Test {
    fs::path root;     // everything of this test
    fs::path dir;      // the install folder
    fs::path outside;  // a sibling of the install folder with a file in it; must stay as it is
    void SetUp() override {
        root = support::test_folder("hostile");
        dir = root / "install";
        outside = root / "outside";
        fs::create_directories(dir);
        put(outside / "precious.txt", "do not touch");
    }
    void TearDown() override { fs::remove_all(root); }
    // Nothing was created, changed or removed outside the install folder.
    void expect_outside_untouched() {
        auto now = snapshot(root);
        for (auto it = now.begin(); it != now.end();) {
            if (it->first == "install" || it->first.rfind("install/", 0) == 0) it = now.erase(it);
            else ++it;
        }
        std::map<std::string, std::string> expected = {{"outside", "<dir>"}, {"outside/precious.txt", "do not touch"}};
        EXPECT_EQ(now, expected);
    }
};

// Runs patcher_update until the check in progress has ended (or 60 s passed).
inline void run_check(launcher::Patcher& p, bool background = false) {
    launcher::patcher_check(p, background);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((p.state == launcher::Patch_State::Checking || p.state == launcher::Patch_State::Downloading) &&
           std::chrono::steady_clock::now() < deadline) {
        launcher::patcher_update(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace hostile
