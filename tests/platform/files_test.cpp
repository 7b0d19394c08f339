#include "platform/files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace {

using namespace platform;

struct Temp_Dir {
    std::string path;
    Temp_Dir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-files-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~Temp_Dir() { std::filesystem::remove_all(path); }
    std::string operator/(std::string_view name) const { return join_path(path, name); }
};

std::string read(const std::string& path) {
    std::string out;
    EXPECT_TRUE(read_file(path, out)) << path;
    return out;
}

TEST(Files, AtomicWriteReplacesContentAndLeavesNoPart) {
    Temp_Dir dir;
    const std::string target = dir / "account.json";
    ASSERT_TRUE(write_file(target, "old and longer content"));
    std::string bytes("new\0binary", 10);
    ASSERT_TRUE(write_file_atomic(target, bytes, nullptr, 0600));
    EXPECT_EQ(read(target), bytes);
    EXPECT_FALSE(std::filesystem::exists(target + ".part"));
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Files, AtomicWriteDoesNotFollowALeftoverPartLink) {
    Temp_Dir dir;
    const std::string victim = dir / "victim";
    ASSERT_TRUE(write_file(victim, "keep me"));
    ASSERT_EQ(symlink(victim.c_str(), (dir / "target.part").c_str()), 0);
    ASSERT_TRUE(write_file_atomic(dir / "target", "fresh"));
    EXPECT_EQ(read(victim), "keep me");
    EXPECT_EQ(read(dir / "target"), "fresh");
}

TEST(Files, ANewFileReplacesALinkInsteadOfWritingThroughIt) {
    Temp_Dir dir;
    const std::string victim = dir / "victim";
    ASSERT_TRUE(write_file(victim, "keep me"));
    ASSERT_EQ(symlink(victim.c_str(), (dir / "blob.part").c_str()), 0);
    ASSERT_TRUE(write_new_file(dir / "blob.part", "blob"));
    EXPECT_EQ(read(victim), "keep me");
    EXPECT_EQ(read(dir / "blob.part"), "blob");
}

TEST(Files, FailedAtomicWriteKeepsTheOldFileAndRemovesThePart) {
    Temp_Dir dir;
    const std::string target = dir / "install.json";
    ASSERT_TRUE(write_file(target, "old record"));

    // The disk "fills up" part-way through the write.
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 4;
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string err;
    bool ok = write_file_atomic(target, "a new record that does not fit", &err);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "File too large");
    EXPECT_EQ(read(target), "old record");
    EXPECT_FALSE(std::filesystem::exists(target + ".part"));
}

TEST(Files, FailedRenameKeepsTheTargetAndRemovesThePart) {
    Temp_Dir dir;
    const std::string target = dir / "taken";
    ASSERT_TRUE(make_dirs(target + "/inside"));
    std::string err;
    EXPECT_FALSE(write_file_atomic(target, "bytes", &err));
    EXPECT_FALSE(err.empty());
    EXPECT_TRUE(std::filesystem::is_directory(target + "/inside"));
    EXPECT_FALSE(std::filesystem::exists(target + ".part"));
}

TEST(Files, AtomicWriteInAFolderWeMayNotWriteFailsCleanly) {
    Temp_Dir dir;
    const std::string target = dir / "file";
    ASSERT_TRUE(write_file(target, "old"));
    auto attempt = [&] {
        std::string err;
        return !write_file_atomic(target, "new", &err) && err == "Permission denied";
    };
    if (geteuid() == 0) {
        // Root writes anywhere: try it as an unprivileged user in a child process.
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
        pid_t pid = fork();
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            _exit(attempt() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    } else {
        ASSERT_EQ(chmod(dir.path.c_str(), 0500), 0);
        EXPECT_TRUE(attempt());
        chmod(dir.path.c_str(), 0700);
    }
    EXPECT_EQ(read(target), "old");
    EXPECT_FALSE(std::filesystem::exists(target + ".part"));
}

TEST(Files, ReadFileReadsBinaryAndFailsOnMissingOrFolder) {
    Temp_Dir dir;
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 31);
    ASSERT_TRUE(write_file(dir / "blob", bytes));
    EXPECT_EQ(read(dir / "blob"), bytes);
    std::string out = "stale";
    EXPECT_FALSE(read_file(dir / "missing", out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(read_file(dir.path, out));
}

TEST(Files, ChunkedReadCoversTheFileInBoundedPiecesAndCanStop) {
    Temp_Dir dir;
    std::string bytes((5 << 20) / 2, 'x');
    bytes[0] = 'a';
    bytes.back() = 'z';
    ASSERT_TRUE(write_file(dir / "big", bytes));
    std::string joined;
    size_t largest = 0;
    EXPECT_TRUE(read_file_chunks(dir / "big", [&](std::string_view chunk) {
        largest = std::max(largest, chunk.size());
        joined += chunk;
        return true;
    }));
    EXPECT_EQ(joined, bytes);
    EXPECT_LE(largest, size_t(1) << 20);

    int calls = 0;
    EXPECT_FALSE(read_file_chunks(dir / "big", [&](std::string_view) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(read_file_chunks(dir / "missing", [](std::string_view) { return true; }));
}

TEST(Files, StatusReportsSizeKindAndNanosecondWriteTime) {
    Temp_Dir dir;
    const std::string file = dir / "game.pak";
    ASSERT_TRUE(write_file(file, "12345"));
    struct timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

    File_Status st;
    ASSERT_TRUE(file_status(file, st));
    EXPECT_EQ(st.size, 5);
    EXPECT_TRUE(st.regular);
    EXPECT_EQ(st.mtime_ns, 1700000000123456789LL);
    EXPECT_TRUE(is_regular_file(file));

    ASSERT_TRUE(file_status(dir.path, st));
    EXPECT_FALSE(st.regular);
    EXPECT_FALSE(is_regular_file(dir.path));

    EXPECT_FALSE(file_status(dir / "missing", st));
    EXPECT_EQ(st.size, 0);
    EXPECT_EQ(st.mtime_ns, 0);
}

TEST(Files, FoldersAreMadeWithParentsAndListedSorted) {
    Temp_Dir dir;
    EXPECT_TRUE(make_dirs(dir / "maps/thumbs/"));
    EXPECT_TRUE(make_dirs(dir / "maps/thumbs"));  // already there
    ASSERT_TRUE(write_file(dir / "maps/b.tnw", ""));
    ASSERT_TRUE(write_file(dir / "maps/a.tnw", ""));
    ASSERT_TRUE(write_file(dir / "maps/.hidden", ""));
    EXPECT_FALSE(make_dirs(dir / "maps/a.tnw/under-a-file"));
    EXPECT_FALSE(make_dirs(dir / "maps/a.tnw"));

    std::vector<std::string> names{"stale"};
    ASSERT_TRUE(list_dir(dir / "maps", names));
    EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.tnw", "b.tnw", "thumbs"}));
    EXPECT_FALSE(list_dir(dir / "nowhere", names));
    EXPECT_TRUE(names.empty());
}

TEST(Files, DeleteAndRenameReplace) {
    Temp_Dir dir;
    ASSERT_TRUE(write_file(dir / "a", "new"));
    ASSERT_TRUE(write_file(dir / "b", "old"));
    ASSERT_TRUE(rename_replace(dir / "a", dir / "b"));
    EXPECT_EQ(read(dir / "b"), "new");
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));

    std::string err;
    EXPECT_FALSE(rename_replace(dir / "a", dir / "b", &err));
    EXPECT_EQ(err, "No such file or directory");
    EXPECT_EQ(read(dir / "b"), "new");

    EXPECT_TRUE(delete_file(dir / "b"));
    EXPECT_FALSE(std::filesystem::exists(dir / "b"));
    EXPECT_TRUE(delete_file(dir / "b"));  // gone already is what the caller wanted
    ASSERT_TRUE(make_dirs(dir / "folder"));
    EXPECT_FALSE(delete_file(dir / "folder"));
}

TEST(Files, JoinPath) {
    EXPECT_EQ(path_separator(), '/');
    EXPECT_EQ(join_path("/games/tarnwick", "data/maps/a.tnw"), "/games/tarnwick/data/maps/a.tnw");
    EXPECT_EQ(join_path("/games/tarnwick/", "install.json"), "/games/tarnwick/install.json");
    EXPECT_EQ(join_path("", "install.json"), "install.json");
    EXPECT_EQ(join_path("/", "x"), "/x");
    EXPECT_EQ(error_text(ENOENT), "No such file or directory");
}

TEST(Files, TheFolderBrowserSeesVisibleSubFoldersAndOnlyEmptyFoldersAreRemoved) {
    Temp_Dir dir;
    for (const char* folder : {"b/inner", "a", ".cache"}) ASSERT_TRUE(make_dirs(dir / folder));
    ASSERT_TRUE(write_file(dir / "file", "x"));
    ASSERT_EQ(symlink((dir / "a").c_str(), (dir / "link").c_str()), 0);
    std::vector<std::string> names;
    ASSERT_TRUE(list_folders(dir.path, names));
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "link"}));   // no file, no hidden folder
    EXPECT_FALSE(list_folders(dir / "file", names));
    EXPECT_TRUE(is_folder(dir / "link"));
    EXPECT_FALSE(is_folder(dir / "file"));

    EXPECT_FALSE(remove_empty_folder(dir / "b"));   // it holds "inner"
    EXPECT_TRUE(is_folder(dir / "b"));
    EXPECT_TRUE(remove_empty_folder(dir / "b/inner"));
    EXPECT_TRUE(remove_empty_folder(dir / "b"));
    EXPECT_FALSE(is_folder(dir / "b"));
    EXPECT_EQ(file_system_roots(), std::vector<std::string>{"/"});
}

TEST(Files, FreeSpaceOfAFolderNotMadeYetIsThatOfItsNearestParent) {
    Temp_Dir dir;
    uint64_t here = 0, below = 0;
    ASSERT_TRUE(free_space(dir.path, here));
    ASSERT_TRUE(free_space(dir / "not/made/yet", below));
    EXPECT_GT(here, 0u);
    // One file system measured twice: other programs may write a little in between.
    EXPECT_LT(std::max(here, below) - std::min(here, below), uint64_t(256) << 20);
}

}  // namespace
