// Without screens: which install folders are refused and why, what an uninstall deletes and
// keeps, and when a failed resume is tried again.
#include "launcher/install_folder.h"
#include "launcher/offline.h"
#include "launcher/uninstall.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace launcher;
using support::put;
using support::slurp;
using support::tree;
namespace fs = std::filesystem;

namespace {

struct Player_Choices : ::testing::Test {
    fs::path root;
    void SetUp() override {
        root = fs::temp_directory_path() / ("tarnwick-choices-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }
};

}  // namespace

TEST_F(Player_Choices, AnInstallFolderIsRefusedWithItsReasonAndCheckingMakesNothing) {
    put(root / "file", "x");
    std::string fresh = (root / "new" / "games").string();
    struct Case {
        std::string folder;
        uint64_t needed;
        std::string problem;
    } cases[] = {
        {"games/tarnwick", 0, "Give the full path of a folder."},
        {(root / "file").string(), 0, "That is a file, not a folder."},
        {(root / "file" / "below").string(), 0, "Tarnwick can't make a folder there."},
        {"/proc/tarnwick", 0, "Tarnwick can't write to that folder. Choose another one."},   // even for root
        {fresh, uint64_t(1) << 62, "Not enough room on that disk: the game needs "},
        {fresh, 1000, ""},
        {root.string(), 0, ""},
    };
    for (const Case& c : cases) {
        std::string problem = install_folder_problem(c.folder, c.needed);
        EXPECT_EQ(problem.substr(0, c.problem.size()), c.problem) << c.folder;
        EXPECT_EQ(problem.empty(), c.problem.empty()) << c.folder;
    }
    EXPECT_EQ(tree(root), std::vector<std::string>{"file"});   // no folder made, no probe left
}

TEST_F(Player_Choices, UninstallDeletesExactlyTheListedFilesAndTheFoldersLeftEmpty) {
    fs::path dir = root / "install";
    for (const char* game : {"Tarnwick", "data/levels/one.dat", "data/readme.txt", "launcher"}) put(dir / game, game);
    put(dir / "data" / "notes.txt", "the player's own");
    put(dir / "tarnwick.png", "icon");
    put(root / "outside.txt", "not the game's");
    fs::create_directories(dir / "data" / "folder.dat");   // listed as a file, a folder now
    std::string d(64, 'a');
    install_write_record(dir.string(), {.version = "1.0.0",
                                        .channel = "stable",
                                        .files = {{.path = "Tarnwick", .size = 8, .sha256 = d, .mtime = 0},
                                                  {.path = "data/levels/one.dat", .size = 19, .sha256 = d, .mtime = 0},
                                                  {.path = "data/readme.txt", .size = 15, .sha256 = d, .mtime = 0},
                                                  {.path = "data/folder.dat", .size = 1, .sha256 = d, .mtime = 0},
                                                  {.path = "launcher", .size = 8, .sha256 = d, .mtime = 0},
                                                  {.path = "../outside.txt", .size = 1, .sha256 = d, .mtime = 0},
                                                  {.path = "gone.bin", .size = 1, .sha256 = d, .mtime = 0}}});

    Uninstall_Result r = uninstall_game(dir.string());
    EXPECT_EQ(r.removed, 3);
    EXPECT_TRUE(r.kept.empty());
    EXPECT_EQ(tree(dir), (std::vector<std::string>{"data", "data/folder.dat", "data/notes.txt", "install.json",
                                                   "launcher", "tarnwick.png"}));
    EXPECT_EQ(slurp(root / "outside.txt"), "not the game's");
    EXPECT_TRUE(install_marked_uninstalled(dir.string()));
    Install_Record left = install_load(dir.string());
    EXPECT_TRUE(left.version.empty() && left.files.empty());   // nothing counts as installed
}

TEST_F(Player_Choices, FailedResumesAreRetriedLaterEachTimeUpToAMinuteWithASpread) {
    struct Case {
        int attempt;
        double spread, seconds;
    } cases[] = {{1, 0.5, 5}, {2, 0.5, 10}, {4, 0.5, 40}, {5, 0.5, 50}, {1000, 0.5, 50},
                 {1, 0, 4}, {1, 1, 6}, {5, 0, 40}, {5, 1, 60}};
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(offline_retry_delay(c.attempt, c.spread), c.seconds) << c.attempt << " " << c.spread;
}
