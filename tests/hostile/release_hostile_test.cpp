// Hostile releases: correctly signed manifests whose contents try to escape the install
// folder, overflow the progress, repeat paths or simply list very many files. None may crash,
// write outside the install folder, or install anything that does not match its digest.
#include "hostile_support.h"
#include "install/record.h"
#include "launcher/patcher.h"
#include "launcher/signed_release.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <climits>

using namespace launcher;
using namespace hostile;

namespace {

struct Hostile_Release : Folders {
    std::unique_ptr<support::Test_Server> server = support::start_test_server();
    std::unique_ptr<signed_release::Release_Server> releases;
    Patcher p;
    void SetUp() override {
        Folders::SetUp();
        if (!signed_release::build_trusts_dev_key()) GTEST_SKIP() << "this build trusts another release key";
        ASSERT_TRUE(server);
        releases = std::make_unique<signed_release::Release_Server>(*server);
        patcher_init(p, dir.string(), "stable", support::base_url(*server));
    }
    void TearDown() override {
        patcher_destroy(p);
        Folders::TearDown();
    }
    // Serves a manifest as given (sizes and digests untouched) with blobs for `contents`.
    void serve(const backend::Release_Manifest& m, const std::vector<std::string>& contents = {}) {
        signed_release::Release blobs;
        for (const std::string& c : contents) blobs.files.push_back({"x", c});
        releases->publish(blobs);  // the blobs...
        support::on(*server, "GET", "/files/releases/stable.json",
                    support::Reply{200, {}, signed_release::envelope(m)});  // ...and our manifest
    }
};

const std::string digest_of_a = backend::sha256_hex("a");

TEST_F(Hostile_Release, PathsLeavingTheFolderRefuseTheWholeReleaseAndWriteNothing) {
    const char* paths[] = {"../outside/precious.txt", "../evil", "a/../../evil", "/tmp/evil", "C:/evil",
                           "C:evil", "a\\..\\..\\evil", "..\\evil", "a\x01name", "tab\there", "a//b",
                           "./a", "a/.", "", "dir/", "line\nbreak"};
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        backend::Release_Manifest m{.channel = "stable",
                                    .version = "6.6.6",
                                    .published = "",
                                    .files = {{.path = "fine.txt", .size = 1, .sha256 = digest_of_a},
                                              {.path = path, .size = 1, .sha256 = digest_of_a}}};
        serve(m, {"a"});
        run_check(p);
        EXPECT_EQ(p.state, Patch_State::Failed);
        EXPECT_EQ(p.failure, "The update didn't check out (Malformed): not installing it.");
        EXPECT_FALSE(fs::exists(dir / "fine.txt")) << "part of a refused release was installed";
        expect_outside_untouched();
    }
    EXPECT_FALSE(fs::exists(root / "evil"));
    EXPECT_FALSE(fs::exists("/tmp/evil"));
}

TEST_F(Hostile_Release, SizesNearTheLimitsOfSixtyFourBitsKeepTheProgressBetweenZeroAndAHundred) {
    // The manifest's sizes are the publisher's word only: the files themselves are one byte.
    backend::Release_Manifest m{.channel = "stable",
                                .version = "7.0",
                                .published = "",
                                .files = {{.path = "a1", .size = LLONG_MAX, .sha256 = digest_of_a},
                                          {.path = "a2", .size = LLONG_MAX, .sha256 = digest_of_a},
                                          {.path = "a3", .size = LLONG_MAX, .sha256 = digest_of_a},
                                          {.path = "neg", .size = -5, .sha256 = digest_of_a},
                                          {.path = "min", .size = LLONG_MIN, .sha256 = digest_of_a}}};
    serve(m, {"a"});
    patcher_check(p, false);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((p.state == Patch_State::Checking || p.state == Patch_State::Downloading) &&
           std::chrono::steady_clock::now() < deadline) {
        patcher_update(p);
        EXPECT_GE(patcher_percent(p), 0);
        EXPECT_LE(patcher_percent(p), 100);
        EXPECT_GE(p.check.progress.total, 0);
        EXPECT_GE(p.check.progress.placed, 0);
    }
    EXPECT_EQ(p.state, Patch_State::Ready) << p.failure;
    for (const char* name : {"a1", "a2", "a3", "neg", "min"}) EXPECT_EQ(slurp(dir / name), "a") << name;
    expect_outside_untouched();
}

TEST_F(Hostile_Release, DuplicatePathsInstallOneOfTheListedContentsAndNothingUnverified) {
    const std::string one = "first content", two = "second content";
    backend::Release_Manifest m{
        .channel = "stable",
        .version = "8.0",
        .published = "",
        .files = {{.path = "dup.txt", .size = int64_t(one.size()), .sha256 = backend::sha256_hex(one)},
                  {.path = "dup.txt", .size = int64_t(two.size()), .sha256 = backend::sha256_hex(two)},
                  {.path = "same.txt", .size = 1, .sha256 = digest_of_a},
                  {.path = "same.txt", .size = 1, .sha256 = digest_of_a}}};
    serve(m, {one, two, "a"});
    for (int check = 0; check < 2; ++check) {
        SCOPED_TRACE(check);
        run_check(p);
        EXPECT_NE(p.state, Patch_State::Checking);
        EXPECT_NE(p.state, Patch_State::Downloading);
        std::string got = slurp(dir / "dup.txt");
        EXPECT_TRUE(got == one || got == two) << got;
        EXPECT_EQ(slurp(dir / "same.txt"), "a");
        expect_outside_untouched();
    }
}

TEST_F(Hostile_Release, AHundredThousandEntriesArePlannedAndStaleOnesDeletedOnlyInsideTheFolder) {
    // An old install of 100,000 files (none left on disk but two) replaced by a release of 100,000
    // other files: every old path is stale, every new file is missing.
    const int n = 100000;
    backend::Release_Manifest old{.channel = "stable", .version = "1", .published = "", .files = {}};
    for (int i = 0; i < n; ++i)
        old.files.push_back({.path = "old/f" + std::to_string(i), .size = 1, .sha256 = digest_of_a});
    old.files.push_back(
        {.path = "../outside/precious.txt", .size = 12, .sha256 = digest_of_a});  // a record is not trusted
    put(dir / "old/f7", "a");
    put(dir / "old/f99999", "a");
    Install_Record record;
    record.version = "1";
    for (auto& f : old.files) record.files.push_back({.path = f.path, .size = 1, .sha256 = f.sha256, .mtime = 0});
    put(dir / "install.json", install_encode(record));

    backend::Release_Manifest m{.channel = "stable", .version = "2", .published = "", .files = {}};
    for (int i = 0; i < n; ++i)
        m.files.push_back({.path = "new/f" + std::to_string(i), .size = 1, .sha256 = digest_of_a});
    serve(m, {});  // no blob served: the first download fails, after the plan
    run_check(p);
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure, "Couldn't download new/f99999.");  // fetched last-listed first
    EXPECT_EQ(p.check.progress.total, n);
    size_t blobs_asked = 0;  // the first failure stops the download: nothing more is asked for
    for (auto& r : support::requests(*server)) blobs_asked += r.path().starts_with("/files/blobs/");
    EXPECT_EQ(blobs_asked, 1u);
    EXPECT_FALSE(fs::exists(dir / "old/f7"));
    EXPECT_FALSE(fs::exists(dir / "old/f99999"));
    expect_outside_untouched();
}

}  // namespace
