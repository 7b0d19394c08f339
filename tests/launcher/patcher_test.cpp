// The patcher: the planner over temporary install folders, and whole checks against the
// recording test server with releases signed by the development key.
#include "support/files.h"
#include "support/folders.h"
#include "install/record.h"
#include "launcher/patcher.h"
#include "install/survey.h"
#include "platform/files.h"
#include "platform/system.h"
#include "signed_release.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace launcher;
using signed_release::Release;
namespace fs = std::filesystem;

namespace {

using support::slurp;
using support::put;


int64_t mtime_of(const fs::path& p) {
    platform::File_Status st;
    EXPECT_TRUE(platform::file_status(p.string(), st)) << p;
    return st.mtime_ns;
}

void set_mtime(const fs::path& p, int64_t ns) {
    timespec times[2] = {{0, UTIME_OMIT}, {time_t(ns / 1000000000), long(ns % 1000000000)}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
}

std::vector<std::string> paths_of(const std::vector<backend::Release_File>& files) {
    std::vector<std::string> out;
    for (auto& f : files) out.push_back(f.path);
    return out;
}

struct Folder : ::testing::Test {
    fs::path root;
    fs::path dir;
    void SetUp() override {
        root = support::test_folder("patcher");
        dir = root / "install";
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(root); }
};

// The planner alone: a manifest is set by hand and plan runs on the folder.
struct Planner : Folder {
    Patcher p;
    void SetUp() override {
        Folder::SetUp();
        p.dir = dir.string();
        p.has_manifest = true;
        p.state = Patch_State::Checking;
    }
    // Writes an install record that vouches for the files now on disk with the given digests.
    void record(const std::vector<std::pair<std::string, std::string>>& path_digest) {
        backend::Release_Manifest m{.channel = "stable", .version = "0.9", .published = "", .files = {}};
        for (auto& [path, digest] : path_digest) m.files.push_back({.path = path, .size = 0, .sha256 = digest});
        ASSERT_TRUE(install_write(dir.string(), m));
    }
};

}  // namespace

TEST_F(Planner, TheRecordsFastPathReadsNothingAndAnyMismatchHashes) {
    const std::string old_text = "version one text";
    const std::string other = "version two text";  // same size, other contents
    ASSERT_EQ(old_text.size(), other.size());
    put(dir / "a.dat", old_text);
    put(dir / "b.dat", old_text);
    put(dir / "c.dat", old_text);
    record({{"a.dat", backend::sha256_hex(old_text)},
            {"b.dat", backend::sha256_hex(old_text)},
            {"c.dat", backend::sha256_hex("an older release")}});

    // Contents change under every file while size and time stay: only a read could tell.
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
        int64_t t = mtime_of(dir / name);
        put(dir / name, other);
        set_mtime(dir / name, t);
    }
    // b's time moves on: its entry no longer vouches for it.
    set_mtime(dir / "b.dat", mtime_of(dir / "b.dat") + 1000);

    Release r;
    r.files = {{"a.dat", old_text}, {"b.dat", old_text}, {"c.dat", old_text}};
    p.manifest = r.manifest();
    plan(p);
    // a: size, time and digest match, so it is taken as current without being read.
    // b: time differs, so it is hashed and found wrong. c: the record's digest is not the
    // manifest's, so it is hashed although size and time match.
    EXPECT_EQ(paths_of(p.check.waiting), (std::vector<std::string>{"b.dat", "c.dat"}));
    EXPECT_EQ(p.check.progress.total, int64_t(2 * old_text.size()));
    EXPECT_EQ(p.state, Patch_State::Downloading);
}

TEST_F(Planner, TheRecordProvesAFileOldWithoutReadingIt) {
    // The file on disk already holds the new release's bytes, but its size and time are those
    // the record names with the old digest: the record is believed, so the file is fetched.
    // Reading it would have found it current and kept it.
    const std::string old_text = "release one bytes", new_text = "release two bytes";
    ASSERT_EQ(old_text.size(), new_text.size());
    put(dir / "pack.dat", old_text);
    record({{"pack.dat", backend::sha256_hex(old_text)}});
    int64_t t = mtime_of(dir / "pack.dat");
    put(dir / "pack.dat", new_text);
    set_mtime(dir / "pack.dat", t);

    Release r{"2.0", {{"pack.dat", new_text}}};
    p.manifest = r.manifest();
    plan(p);
    EXPECT_EQ(paths_of(p.check.waiting), (std::vector<std::string>{"pack.dat"}));
    EXPECT_EQ(p.state, Patch_State::Downloading);
}

TEST_F(Planner, AFileWithANewTimeButTheRightContentsIsKeptAndRecordedAfresh) {
    const std::string text = "the same bytes";
    put(dir / "data" / "x.bin", text);
    record({{"data/x.bin", backend::sha256_hex(text)}});
    int64_t moved = mtime_of(dir / "data" / "x.bin") - 5000000000;
    set_mtime(dir / "data" / "x.bin", moved);

    Release r{"2.0", {{"data/x.bin", text}}};
    p.manifest = r.manifest();
    plan(p);
    EXPECT_TRUE(p.check.waiting.empty());
    // Nothing to fetch: finished in the same call, with the new time in the record.
    EXPECT_EQ(p.state, Patch_State::Ready);
    EXPECT_EQ(p.installed, "2.0");
    Install_Record rec = install_load(dir.string());
    ASSERT_EQ(rec.files.size(), 1u);
    EXPECT_EQ(rec.files[0].mtime, moved);
    EXPECT_EQ(rec.version, "2.0");
}

TEST_F(Planner, AllCurrentRewritesTheRecordOnlyWhenItWouldSaySomethingNew) {
    const std::string text = "unchanged bytes";
    put(dir / "a.dat", text);
    put(dir / "data" / "b.dat", text + "!");
    Release r{"1.0", {{"a.dat", text}, {"data/b.dat", text + "!"}}};
    p.manifest = r.manifest();
    plan(p);  // no record yet: both hashed, found current, recorded
    ASSERT_EQ(p.state, Patch_State::Ready);
    struct stat before {};
    ASSERT_EQ(stat((dir / "install.json").c_str(), &before), 0);

    // The same release again: the record already says all of it and is left as it is.
    p.state = Patch_State::Checking;
    plan(p);
    struct stat again {};
    ASSERT_EQ(stat((dir / "install.json").c_str(), &again), 0);
    EXPECT_EQ(again.st_ino, before.st_ino);

    // A release that changes only its version must still be recorded, or the next start would
    // show the old version as installed.
    r.version = "1.1";
    p.manifest = r.manifest();
    p.state = Patch_State::Checking;
    plan(p);
    EXPECT_EQ(p.state, Patch_State::Ready);
    Install_Record rec = install_load(dir.string());
    EXPECT_EQ(rec.version, "1.1");
    ASSERT_EQ(rec.files.size(), 2u);
    EXPECT_EQ(rec.files[1].path, "data/b.dat");
    EXPECT_EQ(rec.files[1].size, int64_t(text.size() + 1));
    EXPECT_EQ(rec.files[1].mtime, mtime_of(dir / "data" / "b.dat"));
}

TEST_F(Planner, MissingWrongSizeAndSameSizeWrongFilesArePlannedInManifestOrder) {
    put(dir / "short.txt", "abc");         // wrong size
    put(dir / "same.txt", "XXXXXXXXXX");   // right size, wrong bytes, no record entry
    put(dir / "good.txt", "good good!");   // right bytes, no record entry: hashed, kept
    Release r{"1.0", {{"missing/deep/file.txt", "m"}, {"short.txt", "abcdef"}, {"good.txt", "good good!"},
                      {"same.txt", "0123456789"}}};
    p.manifest = r.manifest();
    plan(p);
    EXPECT_EQ(paths_of(p.check.waiting), (std::vector<std::string>{"missing/deep/file.txt", "short.txt", "same.txt"}));
    EXPECT_EQ(p.check.progress.total, 1 + 6 + 10);
    EXPECT_EQ(p.check.progress.placed, 0);
    EXPECT_EQ(slurp(dir / "same.txt"), "XXXXXXXXXX");   // planning changes no file
}

TEST_F(Planner, StaleFilesAreDeletedButNeverOutsideTheInstallFolder) {
    put(dir / "keep.txt", "k");
    put(dir / "old" / "gone.txt", "g");
    put(root / "victim.txt", "must survive");
    put(dir / "sub" / "victim2.txt", "must survive too");
    Install_Record rec{.version = "1.0", .channel = "stable", .files = {}};
    for (std::string path : {std::string("keep.txt"), std::string("old/gone.txt"), std::string("../victim.txt"),
                             std::string("sub/./victim2.txt"), std::string("sub//victim2.txt"), (root / "victim.txt").string()})
        rec.files.push_back({.path = path, .size = 1, .sha256 = backend::sha256_hex("x"), .mtime = 0});
    put(dir / "install.json", install_encode(rec));
    Release r{"1.1", {{"keep.txt", "k"}}};
    p.manifest = r.manifest();
    plan(p);
    EXPECT_TRUE(fs::exists(dir / "keep.txt"));
    EXPECT_FALSE(fs::exists(dir / "old" / "gone.txt"));
    EXPECT_TRUE(fs::is_directory(dir / "old"));   // folders stay
    EXPECT_EQ(slurp(root / "victim.txt"), "must survive");
    EXPECT_EQ(slurp(dir / "sub" / "victim2.txt"), "must survive too");
}

TEST_F(Planner, HashingOnManyThreadsGivesTheDigestsOfOneThreadInOrder) {
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        // Sizes around the 1 MiB read piece, so that files span several pieces.
        std::string content(size_t((i * 97331) % (3 << 20)), char('a' + i % 26));
        put(dir / ("f" + std::to_string(i)), content);
        paths.push_back((dir / ("f" + std::to_string(i))).string());
    }
    paths.push_back((dir / "absent").string());
    std::vector<std::string> one = install::hash_files(paths, 1);
    std::vector<std::string> many = install::hash_files(paths, 6);
    ASSERT_EQ(one.size(), paths.size());
    EXPECT_EQ(one, many);
    EXPECT_EQ(one[3], backend::sha256_hex(slurp(paths[3])));
    EXPECT_EQ(one.back(), "");
}

// ---------------------------------------------------------------------------------------------
// Whole checks against the test server.

namespace {

struct Pipeline : Folder {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    std::unique_ptr<signed_release::Release_Server> releases;
    Patcher p;
    std::vector<int64_t> progress;   // done_bytes after each frame, when it changed

    void SetUp() override {
        Folder::SetUp();
        ASSERT_TRUE(srv);
        if (!signed_release::build_trusts_dev_key()) GTEST_SKIP() << "this build trusts another release key";
        releases = std::make_unique<signed_release::Release_Server>(*srv);
        patcher_init(p, dir.string(), "", support::base_url(*srv));
    }
    void TearDown() override {
        patcher_destroy(p);
        Folder::TearDown();
    }

    // Frames until the check settles (neither Checking nor Downloading), at most ten seconds.
    bool settle() {
        progress.clear();
        for (int i = 0; i < 5000; ++i) {
            patcher_update(p);
            if (progress.empty() || progress.back() != p.check.progress.placed) progress.push_back(p.check.progress.placed);
            if (p.state != Patch_State::Checking && p.state != Patch_State::Downloading) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    std::vector<std::string> blob_requests() {
        std::vector<std::string> out;
        for (auto& r : support::requests(*srv))
            if (r.path().rfind("/files/blobs/", 0) == 0) out.push_back(r.path().substr(13));
        return out;
    }
    void install(const Release& r) {
        releases->publish(r);
        patcher_check(p, false);
        ASSERT_TRUE(settle());
        ASSERT_EQ(p.state, Patch_State::Ready) << p.failure;
    }
};

const Release first_release{"1.0.0",
                            {{"Tarnwick", "#!/bin/sh\nexit 0\n"},
                             {"data/maps/one.tnw", std::string(3000, 'm')},
                             {"data/readme.txt", "Read me, please."}}};

}  // namespace

TEST_F(Pipeline, AnEmptyFolderIsInstalledLastListedFirstWithProgressByWholeFiles) {
    EXPECT_EQ(p.channel, "stable");
    EXPECT_EQ(p.client.max_body, int64_t(536870912));
    install(first_release);

    std::vector<std::string> expected_order;
    for (auto it = first_release.files.rbegin(); it != first_release.files.rend(); ++it)
        expected_order.push_back(backend::sha256_hex(it->second));
    EXPECT_EQ(blob_requests(), expected_order);
    EXPECT_EQ(progress, (std::vector<int64_t>{0, 16, 16 + 3000, 16 + 3000 + 17}));
    EXPECT_EQ(p.check.progress.total, 16 + 3000 + 17);
    EXPECT_EQ(patcher_percent(p), 100);

    for (auto& [path, content] : first_release.files) EXPECT_EQ(slurp(dir / path), content) << path;
    EXPECT_NE(fs::status(dir / "Tarnwick").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(fs::status(dir / "data" / "readme.txt").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_FALSE(fs::exists(dir / "Tarnwick.part"));
    EXPECT_EQ(p.installed, "1.0.0");
    Install_Record rec = install_load(dir.string());
    EXPECT_EQ(rec.version, "1.0.0");
    EXPECT_EQ(rec.files.size(), 3u);

    // Every request carried the launcher's user agent and went to the stable channel.
    auto reqs = support::requests(*srv);
    ASSERT_FALSE(reqs.empty());
    EXPECT_EQ(reqs[0].target, "/files/releases/stable.json");
    for (auto& r : reqs) {
        ASSERT_NE(r.header("User-Agent"), nullptr);
        EXPECT_EQ(*r.header("User-Agent"), "TarnwickLauncher/0.1.3");
    }
}

TEST_F(Pipeline, ANewReleaseFetchesOnlyWhatChangedAndDropsWhatItLeftOut) {
    install(first_release);
    size_t before = blob_requests().size();
    int64_t kept_time = mtime_of(dir / "data" / "maps" / "one.tnw");

    Release second = first_release;
    second.version = "1.1.0";
    second.files[2] = {"data/readme.txt", "Read me again!!!"};   // changed, same size
    second.files.erase(second.files.begin());                      // dropped
    second.files.push_back({"data/new.txt", "new"});               // added
    install(second);

    auto blobs = blob_requests();
    ASSERT_EQ(blobs.size(), before + 2);
    EXPECT_EQ(blobs[before], backend::sha256_hex("new"));
    EXPECT_EQ(blobs[before + 1], backend::sha256_hex("Read me again!!!"));
    EXPECT_FALSE(fs::exists(dir / "Tarnwick"));
    EXPECT_EQ(slurp(dir / "data" / "readme.txt"), "Read me again!!!");
    EXPECT_EQ(mtime_of(dir / "data" / "maps" / "one.tnw"), kept_time);
    EXPECT_EQ(p.installed, "1.1.0");
    EXPECT_EQ(install_load(dir.string()).files.size(), 3u);

    // Checking again fetches nothing and reads nothing the record vouches for.
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Ready);
    EXPECT_EQ(blob_requests().size(), before + 2);
}

TEST_F(Pipeline, ADamagedBlobLeavesTheTargetUntouchedAndTryAgainResumesByHashing) {
    install(first_release);
    Release second = first_release;
    second.version = "2.0.0";
    second.files[0].second = "#!/bin/sh\nexit 1\n";        // fetched last
    second.files[2].second = "A different readme text.";  // fetched first
    releases->publish(second);
    releases->replace_blob(second.files[0].second, "#!/bin/sh\nexit 9\n");

    testing::internal::CaptureStderr();
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure, "Tarnwick arrived damaged: try again.");
    EXPECT_NE(log.find("patcher: Tarnwick arrived damaged: try again."), std::string::npos) << log;
    EXPECT_EQ(slurp(dir / "Tarnwick"), first_release.files[0].second);
    EXPECT_FALSE(fs::exists(dir / "Tarnwick.part"));
    EXPECT_EQ(slurp(dir / "data" / "readme.txt"), "A different readme text.");   // put in place before
    EXPECT_EQ(p.installed, "1.0.0");
    EXPECT_EQ(install_load(dir.string()).version, "1.0.0");   // the record waits for a whole release

    // The server is mended; trying again hashes the replaced readme and fetches only the game.
    releases->replace_blob(second.files[0].second, second.files[0].second);
    size_t before = blob_requests().size();
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Ready);
    EXPECT_EQ(blob_requests().size(), before + 1);
    EXPECT_EQ(slurp(dir / "Tarnwick"), second.files[0].second);
    EXPECT_EQ(p.failure, "Tarnwick arrived damaged: try again.");   // kept after a later success
}

TEST_F(Pipeline, EachWayABlobCanFailHasItsSentence) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string failure;
    };
    Release r{"1.0.0", {{"data/a.txt", "aaa"}, {"b.txt", "bbbb"}}};
    std::vector<Case> cases = {
        {"not found", [&] { releases->drop_blob("bbbb"); }, "Couldn't download b.txt."},
        {"folder is a file", [&] { put(dir / "data", "in the way"); },
         "Couldn't write data/a.txt (Not a directory). Try again."},
        {"target is a folder", [&] { put(dir / "b.txt" / "inside", "x"); },
         "Couldn't replace b.txt (Is a directory). Try again."},
    };
    for (Case& c : cases) {
        fs::remove_all(dir);
        put(dir / "Tarnwick", "an installed game");
        releases->publish(r);
        c.arrange();
        patcher_check(p, true);   // failures while downloading are never quiet, game or not
        ASSERT_TRUE(settle()) << c.name;
        EXPECT_EQ(p.state, Patch_State::Failed) << c.name;
        EXPECT_EQ(p.failure, c.failure) << c.name;
        EXPECT_FALSE(fs::exists(dir / "b.txt.part")) << c.name;
        EXPECT_FALSE(p.check.job) << c.name;   // nothing left in flight
    }
}

TEST_F(Pipeline, ALargeBlobWrittenWhileHashedReplacesItsTargetOnlyWhenItsDigestMatched) {
    // From a megabyte up a blob's part file is written while a second thread hashes it.
    std::string pack(3 << 20, '\0');
    for (size_t i = 0; i < pack.size(); ++i) pack[i] = char((i * 2654435761u) >> 24);
    std::string damaged = pack;
    damaged[pack.size() / 2] ^= 1;
    put(dir / "Tarnwick", "an installed game");
    put(dir / "data" / "big.pak", "the old pack");
    Release r{"1.0.0", {{"Tarnwick", "an installed game"}, {"data/big.pak", pack}}};
    releases->publish(r);
    releases->replace_blob(pack, damaged);
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.failure, "data/big.pak arrived damaged: try again.");
    EXPECT_EQ(slurp(dir / "data" / "big.pak"), "the old pack");
    EXPECT_FALSE(fs::exists(dir / "data" / "big.pak.part"));

    // The right bytes with nowhere to write them: the write's own failure is the one reported.
    releases->replace_blob(pack, pack);
    fs::remove_all(dir / "data");
    put(dir / "data", "in the way");
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.failure, "Couldn't write data/big.pak (Not a directory). Try again.");

    fs::remove(dir / "data");
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    ASSERT_EQ(p.state, Patch_State::Ready) << p.failure;
    EXPECT_EQ(slurp(dir / "data" / "big.pak"), pack);
    EXPECT_FALSE(fs::exists(dir / "data" / "big.pak.part"));
    EXPECT_EQ(p.check.progress.placed, int64_t(pack.size()));
}

TEST_F(Pipeline, AWholeFileIsTakenFromAnySuccessAnswerAndFromNoOther) {
    // Larger than a chunk may be and than one write: it arrives in many pieces, written as they come.
    std::string pack(9 << 20, '\0');
    for (size_t i = 0; i < pack.size(); ++i) pack[i] = char((i * 2654435761u) >> 24);
    const Release r{"1.0.0", {{"Tarnwick", "#!/bin/sh\n"}, {"data/big.pak", pack}}};
    struct Case {
        int status;
        std::string failure;  // "" when the file is installed
    };
    const Case cases[] = {{203, ""}, {299, ""}, {300, "Couldn't download data/big.pak."},
                          {500, "Couldn't download data/big.pak."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        fs::remove_all(dir);
        releases->publish(r);
        support::on(*srv, "GET", "/files/blobs/" + backend::sha256_hex(pack), support::Reply{c.status, {}, pack});
        patcher_check(p, false);
        ASSERT_TRUE(settle());
        EXPECT_EQ(p.state, c.failure.empty() ? Patch_State::Ready : Patch_State::Failed);
        EXPECT_EQ(p.failure, c.failure.empty() ? p.failure : c.failure);
        EXPECT_EQ(fs::exists(dir / "data" / "big.pak"), c.failure.empty());
        if (c.failure.empty()) {
            EXPECT_TRUE(slurp(dir / "data" / "big.pak") == pack);
        }
        EXPECT_FALSE(fs::exists(dir / "data" / "big.pak.part"));
    }
}

TEST_F(Pipeline, AWholeFileGoesOnFromItsPartOnlyWithTheRangeItAskedFor) {
    std::string pack(3 << 20, '\0');
    for (size_t i = 0; i < pack.size(); ++i) pack[i] = char((i * 2654435761u) >> 24);
    const Release r{"1.0.0", {{"Tarnwick", "#!/bin/sh\n"}, {"data/big.pak", pack}}};
    const size_t kept = 1 << 20;
    const std::string right = "bytes " + std::to_string(kept) + "-" + std::to_string(pack.size() - 1) + "/" +
                              std::to_string(pack.size());
    struct Case {
        const char* what;
        std::string part;  // left by an earlier fetch
        int status;
        std::string content_range;
        std::string failure;  // "" when the file is installed
    };
    std::string wrong_prefix = pack.substr(0, kept);
    wrong_prefix[100] ^= 1;
    const Case cases[] = {
        {"the rest, as asked", pack.substr(0, kept), 206, right, ""},
        {"a server that ignores ranges: the part starts over", pack.substr(0, kept), 200, "", ""},
        {"other bytes than asked for", pack.substr(0, kept), 206,
         "bytes " + std::to_string(kept + 1) + "-" + std::to_string(pack.size() - 1) + "/" + std::to_string(pack.size()),
         "Couldn't download data/big.pak."},
        {"a kept part that is not the file's beginning", wrong_prefix, 206, right,
         "data/big.pak arrived damaged: try again."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        releases->publish(r);
        put(dir / "data" / "big.pak.part", c.part);
        std::string asked;
        support::on(*srv, "GET", "/files/blobs/" + backend::sha256_hex(pack), [&](const support::Recorded_Request& q) {
            const std::string* range = q.header("Range");
            asked = range ? *range : "";
            support::Reply out{c.status, {}, c.status == 206 ? pack.substr(kept) : pack};
            if (!c.content_range.empty()) out.headers.push_back({"Content-Range", c.content_range});
            return out;
        });
        patcher_check(p, false);
        ASSERT_TRUE(settle());
        EXPECT_EQ(asked, "bytes=" + std::to_string(kept) + "-");
        EXPECT_EQ(p.failure, c.failure.empty() ? p.failure : c.failure);
        EXPECT_EQ(p.state, c.failure.empty() ? Patch_State::Ready : Patch_State::Failed);
        if (c.failure.empty()) {
            EXPECT_TRUE(slurp(dir / "data" / "big.pak") == pack);
        }
        EXPECT_FALSE(fs::exists(dir / "data" / "big.pak.part"));
    }
}

TEST_F(Pipeline, ManifestFailuresKeepThePreviousManifest) {
    install(first_release);
    support::on(*srv, "GET", "/files/releases/stable.json", support::Reply{503, {}, "busy"});
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure, "The update server said 503.");

    // Signed with the right key, then one byte of the signed text changed.
    std::string body = signed_release::envelope(Release{"6.6.6", {{"Tarnwick", "evil"}}}.manifest());
    size_t at = body.find("\"manifest\":\"") + 20;
    body[at] = body[at] == 'A' ? 'B' : 'A';
    support::on(*srv, "GET", "/files/releases/stable.json", support::Reply{200, {}, body});
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.failure, "The update didn't check out (Bad_Signature): not installing it.");
    EXPECT_TRUE(p.has_manifest);
    EXPECT_EQ(p.manifest.version, "1.0.0");

    support::on(*srv, "GET", "/files/releases/stable.json", support::Reply{200, {}, "<html>"});
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.failure, "The update didn't check out (Malformed): not installing it.");
    EXPECT_EQ(slurp(dir / "Tarnwick"), first_release.files[0].second);
}

TEST_F(Pipeline, AReleaseOfWholeFilesTooBigForTheDiskFetchesNothing) {
    install(first_release);
    // Each whole file needs at most the client's 512 MiB, whatever its entry claims: enough of
    // them to pass the disk's free space.
    uint64_t free = 0;
    ASSERT_TRUE(platform::free_space(dir.string(), free));
    backend::Release_Manifest m = first_release.manifest();
    m.version = "2.0.0";
    for (uint64_t i = 0; i <= free / uint64_t(p.client.max_body) + 1; ++i)
        m.files.push_back({"data/huge" + std::to_string(i) + ".pak", int64_t(1) << 60, backend::sha256_hex("huge")});
    support::on(*srv, "GET", "/files/releases/stable.json", support::Reply{200, {}, signed_release::envelope(m)});
    size_t before = blob_requests().size();
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure.rfind("Not enough disk space: ", 0), 0u) << p.failure;
    // The shortfall is kept with the failure, for the Play tab to word without asking the disk.
    EXPECT_GT(p.check.progress.shortfall.bytes, 0);
    EXPECT_EQ(p.check.progress.shortfall.dir, dir.string());
    EXPECT_EQ(blob_requests().size(), before);
    EXPECT_EQ(install_load(dir.string()).version, "1.0.0");
}

// A byte damaged on disk with the file's size and last write put back: the record vouches for
// the file, so a check reads and fetches nothing; Repair reads every file and mends that one.
TEST_F(Pipeline, RepairReadsEveryFileAndMendsOneTheRecordStillVouchesFor) {
    install(first_release);
    const fs::path map = dir / "data" / "maps" / "one.tnw";
    const auto when = fs::last_write_time(map);
    std::string bytes = first_release.files[1].second;
    bytes[1500] ^= 1;
    put(map, bytes);
    fs::last_write_time(map, when);
    const size_t before = blob_requests().size();
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Ready) << p.failure;
    EXPECT_EQ(blob_requests().size(), before);
    EXPECT_EQ(slurp(map), bytes);

    patcher_repair(p);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Ready) << p.failure;
    EXPECT_EQ(slurp(map), first_release.files[1].second);
    EXPECT_EQ(blob_requests().size(), before + 1);   // only the damaged file
    EXPECT_FALSE(p.repair);   // the next check trusts the record again
}

TEST_F(Pipeline, ALinkAtTheInstallRecordIsRefusedAsMalformed) {
    install(first_release);
    Release evil = first_release;
    evil.version = "6.6.6";
    evil.links = {{"install.json", "Tarnwick"}};
    support::on(*srv, "GET", "/files/releases/stable.json", support::Reply{200, {}, signed_release::envelope(evil.manifest())});
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.failure, "The update didn't check out (Malformed): not installing it.");
    EXPECT_EQ(p.manifest.version, "1.0.0");
    EXPECT_FALSE(fs::is_symlink(dir / "install.json"));
    EXPECT_EQ(install_load(dir.string()).version, "1.0.0");
}

TEST_F(Pipeline, NumberedReleasesRefuseAnOlderNumberAnotherChannelAndExpiry) {
    install(first_release);
    auto release = [](const char* version, int64_t sequence, const char* channel = "stable", int64_t expires = 0) {
        backend::Release_Manifest m = first_release.manifest();
        m.version = version, m.channel = channel, m.sequence = sequence, m.expires = expires;
        return m;
    };
    const int64_t tomorrow = int64_t(std::time(nullptr)) + 86400;
    struct Case {
        const char* what;
        backend::Release_Manifest m;
        const char* failure;  // "": accepted
    } cases[] = {
        {"unnumbered, of another channel: accepted as always", release("0.9.0", 0, "beta"), ""},
        {"the first numbered release", release("2.0.0", 7), ""},
        {"the same release again", release("2.0.0", 7), ""},
        {"a lower number (a rollback)", release("1.9.0", 6),
         "The update server sent release 1.9.0, older than one already installed: not installing it."},
        {"a higher number of another channel", release("3.0.0", 9, "beta"),
         "The update server sent release 3.0.0 of the beta channel for stable: not installing it."},
        {"unnumbered after numbered ones", release("2.5.0", 0),
         "The update server sent release 2.5.0 without a release number, older than one already installed: not "
         "installing it."},
        {"expired", release("2.1.0", 8, "stable", 1700000000),
         "The update server sent release 2.1.0, which expired on 2023-11-14: not installing it. Is this "
         "computer's clock right?"},
        {"a higher number, expiring tomorrow", release("2.2.0", 9, "stable", tomorrow), ""},
    };
    for (const Case& c : cases) {
        support::on(*srv, "GET", "/files/releases/stable.json", support::Reply{200, {}, signed_release::envelope(c.m)});
        patcher_check(p, false);
        ASSERT_TRUE(settle()) << c.what;
        if (*c.failure) {
            EXPECT_EQ(p.state, Patch_State::Failed) << c.what;
            EXPECT_EQ(p.failure, c.failure) << c.what;
        } else {
            EXPECT_EQ(p.state, Patch_State::Ready) << c.what << ": " << p.failure;
            EXPECT_EQ(p.manifest.version, c.m.version) << c.what;
        }
    }
    // The install record keeps the highest number: a new patcher on the folder refuses the rollback too.
    patcher_destroy(p);
    patcher_init(p, dir.string(), "", support::base_url(*srv));
    support::on(*srv, "GET", "/files/releases/stable.json", support::Reply{200, {}, signed_release::envelope(release("2.0.0", 7))});
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(install_load(dir.string()).sequences, (std::map<std::string, int64_t, std::less<>>{{"stable", 9}}));
}

TEST_F(Pipeline, AnUnreachableServerIsQuietOnlyForABackgroundCheckWithTheGameInstalled) {
    patcher_destroy(p);
    patcher_init(p, dir.string(), "stable", "http://127.0.0.1:1");

    // No game yet: even a background check shows its failure.
    patcher_check(p, true);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure, "Couldn't reach the update server.");

    // A release installed (its record names it): a background check stays quiet.
    put(dir / "Tarnwick", "game");
    backend::Release_Manifest installed{.channel = "stable", .version = "0.9", .published = "", .files = {}};
    installed.files.push_back({.path = "Tarnwick", .size = 4, .sha256 = backend::sha256_hex("game")});
    ASSERT_TRUE(install_write(dir.string(), installed));
    patcher_destroy(p);
    patcher_init(p, dir.string(), "stable", "http://127.0.0.1:1");
    p.failure = "an older failure";
    testing::internal::CaptureStderr();
    patcher_check(p, true);
    ASSERT_TRUE(settle());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.state, Patch_State::Ready);
    EXPECT_EQ(p.failure, "an older failure");
    EXPECT_NE(log.find("patcher: background check: Couldn't reach the update server."), std::string::npos) << log;

    // The first check of a run is an ordinary one: the player sees it.
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure, "Couldn't reach the update server.");
}

TEST_F(Pipeline, AManifestArrivingWhileTheGamePlaysIsOnlyShown) {
    install(first_release);
    Release second = first_release;
    second.version = "1.2.0";
    second.files[1].second = "changed map";
    second.files.pop_back();
    releases->publish(second);
    size_t before = blob_requests().size();

    p.playing = true;
    patcher_check(p, true);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Ready);
    EXPECT_EQ(p.manifest.version, "1.2.0");
    EXPECT_EQ(p.installed, "1.0.0");
    EXPECT_EQ(blob_requests().size(), before);
    EXPECT_TRUE(fs::exists(dir / "data" / "readme.txt"));   // nothing deleted either

    // A check the player starts is not held back.
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.installed, "1.2.0");
    EXPECT_FALSE(fs::exists(dir / "data" / "readme.txt"));
}

TEST_F(Pipeline, ACheckWhileCheckingOrDownloadingChangesNothing) {
    Release big{"1.0.0", {{"a", "1"}, {"b", "2"}}};
    releases->publish(big);
    support::Reply slow{200, {}, "2"};
    slow.delay_ms = 300;
    support::on(*srv, "GET", "/files/blobs/" + backend::sha256_hex("2"), slow);
    patcher_check(p, false);
    uint64_t asked = p.manifest_req;
    patcher_check(p, true);
    EXPECT_EQ(p.manifest_req, asked);
    EXPECT_FALSE(p.background);
    for (int i = 0; i < 5000 && p.state == Patch_State::Checking; ++i) {
        patcher_update(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(p.state, Patch_State::Downloading);
    const delivery::Job* blob = p.check.job.get();   // the whole file in flight
    ASSERT_TRUE(blob);
    patcher_check(p, true);
    EXPECT_EQ(p.state, Patch_State::Downloading);
    EXPECT_EQ(p.check.job.get(), blob);
    EXPECT_FALSE(p.background);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Ready);
    EXPECT_EQ(support::requests(*srv).size(), 3u);
}

TEST_F(Pipeline, ANewLauncherFromElsewhereIsInstalledWithoutARestart) {
    install(first_release);
    Release second = first_release;
    second.version = "1.0.1";
    second.files.push_back({"launcher", "new launcher bytes"});
    install(second);
    EXPECT_EQ(slurp(dir / "launcher"), "new launcher bytes");
    EXPECT_NE(fs::status(dir / "launcher").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_FALSE(fs::exists(dir / "launcher.old"));
    EXPECT_FALSE(p.check.relaunch);
}

TEST_F(Pipeline, ProgramsAndLinksFollowTheReleaseAndNothingIsWrittenThroughAPlayersLink) {
    Release one{"1.0.0", {{"Tarnwick", "#!/bin/sh\n"}, {"lib64/libz.so.1", "z1"}, {"bin/helper", "#!/bin/sh\n"}}};
    one.programs = {"bin/helper"};
    one.links = {{.path = "lib", .target = "lib64"}, {.path = "lib64/libz.so", .target = "libz.so.1"}};
    install(one);
    EXPECT_NE(fs::status(dir / "bin" / "helper").permissions() & fs::perms::others_exec, fs::perms::none);
    EXPECT_EQ(fs::read_symlink(dir / "lib"), "lib64");
    EXPECT_EQ(slurp(dir / "lib" / "libz.so"), "z1");
    EXPECT_EQ(install_load(dir.string()).links, one.links);

    // The folder link becomes a folder, a library moves on, a file's link its target.
    Release two{"2.0.0", {{"Tarnwick", "#!/bin/sh\n"}, {"lib/libnew.so", "n"}, {"lib64/libz.so.2", "z2"}}};
    two.links = {{.path = "lib64/libz.so", .target = "libz.so.2"}};
    install(two);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / "lib")));
    EXPECT_EQ(slurp(dir / "lib" / "libnew.so"), "n");
    EXPECT_EQ(slurp(dir / "lib64" / "libz.so"), "z2");
    EXPECT_FALSE(fs::exists(dir / "lib64" / "libz.so.1"));
    EXPECT_EQ(install_load(dir.string()).links, two.links);

    // A folder the player turned into a link is never written through.
    fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    fs::rename(dir / "lib", elsewhere / "lib");
    fs::create_directory_symlink(elsewhere / "lib", dir / "lib");
    Release three = two;
    three.version = "3.0.0";
    three.files.push_back({"lib/libthree.so", "3"});
    releases->publish(three);
    patcher_check(p, false);
    ASSERT_TRUE(settle());
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure, "Couldn't write lib/libthree.so: lib is a symbolic link, and the launcher doesn't write through links.");
    EXPECT_FALSE(fs::exists(elsewhere / "lib" / "libthree.so"));
    EXPECT_FALSE(fs::exists(elsewhere / "lib" / "libthree.so.part"));
}

TEST_F(Folder, InitReadsTheInstalledVersionAndRemovesTheOldLauncher) {
    put(dir / "launcher.old", "the launcher before");
    put(dir / "install.json", "{\"version\":\"3.1\",\"channel\":\"beta\",\"files\":[]}");
    Patcher p;
    patcher_init(p, dir.string(), "beta", "http://127.0.0.1:1");
    EXPECT_EQ(p.installed, "3.1");
    EXPECT_EQ(p.channel, "beta");
    EXPECT_EQ(p.state, Patch_State::Idle);
    EXPECT_FALSE(fs::exists(dir / "launcher.old"));
    EXPECT_TRUE(p.client.ready);
    patcher_destroy(p);
    EXPECT_TRUE(p.dir.empty());
    EXPECT_TRUE(p.installed.empty());
    EXPECT_FALSE(p.client.ready);
    patcher_destroy(p);   // a destroyed record can be destroyed again
}

TEST_F(Folder, ACheckOnAClientThatNeverStartedFailsAtOnce) {
    Patcher p;
    p.dir = dir.string();
    patcher_check(p, false);
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure, "Couldn't reach the update server.");
}

TEST(Progress, IsAWholePercentCutTowardZero) {
    Patcher p;
    EXPECT_EQ(patcher_percent(p), 0);
    p.check.progress.total = 3;
    p.check.progress.placed = 2;
    EXPECT_EQ(patcher_percent(p), 66);
    EXPECT_FLOAT_EQ(patcher_progress(p), 2.0f / 3.0f);
    // Installs past 4 GiB count without overflow.
    p.check.progress.total = int64_t(6) << 30;
    p.check.progress.placed = int64_t(3) << 30;
    EXPECT_EQ(patcher_percent(p), 50);
}
