// A release's execute bits and symbolic links in the install folder, and the rule that nothing
// is written through a link.
#include "install/tree.h"
#include "support/files.h"
#include "support/folders.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace launcher;
namespace fs = std::filesystem;

namespace {

using support::put;
using support::slurp;

struct Tree : ::testing::Test {
    fs::path root, dir, outside;
    void SetUp() override {
        root = support::test_folder("tree");
        dir = root / "install";
        outside = root / "outside";
        fs::create_directories(dir);
        fs::create_directories(outside);
        put(outside / "victim", "keep");
        fs::permissions(outside / "victim", fs::perms(0644));
    }
    void TearDown() override { fs::remove_all(root); }

    fs::perms mode(const fs::path& p) { return fs::symlink_status(p).permissions(); }
    std::string link_of(const fs::path& p) {
        std::error_code ec;
        return fs::read_symlink(p, ec).string();
    }
};

backend::Release_Manifest release(std::vector<backend::Release_File> files, std::vector<backend::Release_Link> links) {
    backend::Release_Manifest m{.channel = "stable", .version = "2", .published = "today", .files = std::move(files)};
    m.links = std::move(links);
    return m;
}

}  // namespace

TEST(TreeRecord, ProgramsAndLinksSurviveARecordCutOff) {
    Install_Record r{
        .version = "2",
        .channel = "stable",
        .files = {{.path = "bin/helper", .size = 10, .sha256 = std::string(64, 'a'), .mtime = 5, .exec = true},
                  {.path = "data/x", .size = 1, .sha256 = std::string(64, 'b'), .mtime = 6}}};
    r.links = {{.path = "lib/libz.so", .target = "libz.so.1"}, {.path = "current", .target = "data"}};
    // Cut off inside the last link (the whole record is read back end to end in the patcher's
    // tests): every complete entry before the damage is kept.
    std::string text = install_encode(r);
    Install_Record back = install_decode(text.substr(0, text.rfind("\"target\"")));
    EXPECT_EQ(back.files, r.files);
    EXPECT_EQ(back.links.size(), 1u);
}

TEST_F(Tree, NoWriteGoesThroughALinkWhoeverPlacedIt) {
    fs::create_directory_symlink(outside, dir / "data");
    fs::create_symlink(outside / "victim", dir / "prog");
    fs::create_symlink(outside / "victim", dir / "a.part");
    std::string message;

    // The launcher's own temporary name is taken back from a link, which alone goes.
    EXPECT_TRUE(tree_ready_to_write(dir.string(), {{.path = "a", .size = 4, .sha256 = std::string(64, 'a')}}, message));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "a.part")));

    // Execute bits are never lent to a link's target, at its name or above it.
    auto m = release({{.path = "data/victim", .size = 4, .sha256 = std::string(64, 'a'), .exec = true},
                      {.path = "prog", .size = 4, .sha256 = std::string(64, 'a'), .exec = true}},
                     {});
    EXPECT_TRUE(tree_finish(dir.string(), m, message));
    m = release({}, {{.path = "data/l", .target = "victim"}});
    EXPECT_FALSE(tree_finish(dir.string(), m, message));
    EXPECT_EQ(message, "Couldn't make the link data/l: data is a symbolic link, and the launcher doesn't write through links.");

    EXPECT_EQ(mode(outside / "victim"), fs::perms(0644));
    EXPECT_EQ(slurp(outside / "victim"), "keep");
    EXPECT_FALSE(fs::exists(fs::symlink_status(outside / "l")));
}

TEST_F(Tree, StaleLinksGoOnlyWhilePointingWhereTheRecordSays) {
    fs::create_symlink("player", dir / "moved");  // re-pointed since: the player's now
    fs::create_directory_symlink(outside, dir / "data");
    fs::create_symlink("victim", outside / "inner");
    Install_Record record;
    record.links = {{.path = "moved", .target = "y"},
                    {.path = "data/inner", .target = "victim"},
                    {.path = "../outside/inner", .target = "victim"}};
    tree_remove_stale_links(dir.string(), record, release({}, {}));
    EXPECT_EQ(link_of(dir / "moved"), "player");
    EXPECT_EQ(link_of(outside / "inner"), "victim");  // below a link, or outside: never touched
}

TEST_F(Tree, WhereTheSystemHasNoLinksOrModesBothAreSkipped) {
    put(dir / "helper", "x");
    fs::permissions(dir / "helper", fs::perms(0644));
    std::string message;
    EXPECT_TRUE(tree_finish(dir.string(),
                            release({{.path = "helper", .size = 1, .sha256 = std::string(64, 'a'), .exec = true}},
                                    {{.path = "l", .target = "helper"}}),
                            message, false));
    EXPECT_EQ(mode(dir / "helper"), fs::perms(0644));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "l")));
}
