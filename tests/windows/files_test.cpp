// The Windows file layer: UTF-8 paths, FILETIME conversion, replacing files, long paths.
#ifdef _WIN32
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/wide_windows.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using platform::join_path;

// A fresh folder under the system's temporary folder, removed with its files afterwards.
struct Temp_Dir {
    std::string path;
    Temp_Dir() {
        wchar_t base[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, base);
        path = platform::narrow(base) + "tarnwick-test-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(counter()++);
        EXPECT_TRUE(platform::make_dirs(path));
    }
    ~Temp_Dir() { remove_tree(platform::win_path(path)); }
    std::string operator/(std::string_view name) const { return join_path(path, name); }

    static int& counter() {
        static int n = 0;
        return n;
    }
    static void remove_tree(const std::wstring& dir) {
        WIN32_FIND_DATAW found;
        HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                std::wstring full = dir + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    remove_tree(full);
                } else {
                    SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(full.c_str());
                }
            } while (FindNextFileW(h, &found));
            FindClose(h);
        }
        RemoveDirectoryW(dir.c_str());
    }
};

std::string read(const std::string& path) {
    std::string out;
    platform::read_file(path, out);
    return out;
}

TEST(WindowsFiles, LastWriteTimeIsNanosecondsSince1970FromTheFiletime) {
    Temp_Dir dir;
    std::string file = dir / "game.pak";
    ASSERT_TRUE(platform::write_file(file, "12345"));
    // 2021-01-01 00:00:00 UTC and 1234567 ticks of 100 ns.
    const uint64_t ticks = 132539328000000000ull + 1234567;
    FILETIME ft{DWORD(ticks & 0xFFFFFFFF), DWORD(ticks >> 32)};
    HANDLE h = CreateFileW(platform::win_path(file).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);

    platform::File_Status st;
    ASSERT_TRUE(platform::file_status(file, st));
    EXPECT_EQ(st.size, 5);
    EXPECT_TRUE(st.regular);
    EXPECT_EQ(st.mtime_ns, int64_t(1609459200) * 1000000000 + 123456700);
    EXPECT_EQ(st.mtime_ns % 100, 0);

    // Before 1970 the count is negative, not wrapped around.
    FILETIME old{};
    const uint64_t ticks_1950 = 110133216000000000ull;   // 1950-01-01 00:00:00 UTC
    old.dwLowDateTime = DWORD(ticks_1950 & 0xFFFFFFFF);
    old.dwHighDateTime = DWORD(ticks_1950 >> 32);
    h = CreateFileW(platform::win_path(file).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &old));
    CloseHandle(h);
    ASSERT_TRUE(platform::file_status(file, st));
    EXPECT_EQ(st.mtime_ns, int64_t(-631152000) * 1000000000);
}

TEST(WindowsFiles, StatusOfFoldersAndMissingFiles) {
    Temp_Dir dir;
    platform::File_Status st;
    ASSERT_TRUE(platform::file_status(dir.path, st));
    EXPECT_FALSE(st.regular);
    EXPECT_FALSE(platform::is_regular_file(dir.path));
    EXPECT_FALSE(platform::file_status(dir / "absent.exe", st));
    EXPECT_EQ(st.size, 0);
    EXPECT_EQ(st.mtime_ns, 0);
}

TEST(WindowsFiles, Utf8NamesRoundTrip) {
    Temp_Dir dir;
    const std::string folder = dir / "Spiele \xC3\xB6 \xE6\x97\xA5\xE6\x9C\xAC";   // "Spiele ö 日本"
    ASSERT_TRUE(platform::make_dirs(folder));
    const std::string name = "karte-\xC3\xA9t\xC3\xA9.tnw";   // "karte-été.tnw"
    ASSERT_TRUE(platform::write_file_atomic(join_path(folder, name), "map"));
    EXPECT_EQ(read(join_path(folder, name)), "map");
    std::vector<std::string> names;
    ASSERT_TRUE(platform::list_dir(folder, names));
    ASSERT_EQ(names, std::vector<std::string>{name});
    // The file really carries the UTF-16 name, not the UTF-8 bytes read as a code page.
    std::wstring wide = platform::widen(join_path(folder, name));
    EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(wide.find(L"\u65E5\u672C"), std::wstring::npos);
}

TEST(WindowsFiles, AtomicWriteReplacesAndLeavesNoPart) {
    Temp_Dir dir;
    std::string target = dir / "install.json";
    ASSERT_TRUE(platform::write_file(target, "old"));
    std::string err;
    std::string big(3 << 20, '\0');   // binary, and more than one write's worth is fine too
    big[7] = 'x';
    ASSERT_TRUE(platform::write_file_atomic(target, big, &err)) << err;
    EXPECT_EQ(read(target), big);
    EXPECT_FALSE(platform::is_regular_file(target + ".part"));

    // A stale part from an earlier crash is not in the way.
    ASSERT_TRUE(platform::write_file(target + ".part", "stale"));
    ASSERT_TRUE(platform::write_file_atomic(target, "new"));
    EXPECT_EQ(read(target), "new");
    EXPECT_FALSE(platform::is_regular_file(target + ".part"));
}

TEST(WindowsFiles, AFailedReplaceKeepsTheOldFileAndSaysWhy) {
    Temp_Dir dir;
    std::string target = dir / "launcher.exe";
    ASSERT_TRUE(platform::write_file(target, "running"));
    // Held open the way a running program's file is: no sharing of deletes or writes.
    HANDLE h = CreateFileW(platform::win_path(target).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string err;
    EXPECT_FALSE(platform::write_file_atomic(target, "new launcher", &err));
    EXPECT_FALSE(err.empty());
    EXPECT_NE(err.back(), '.');
    EXPECT_EQ(err.find('\n'), std::string::npos);
    EXPECT_FALSE(platform::is_regular_file(target + ".part"));
    CloseHandle(h);
    EXPECT_EQ(read(target), "running");

    EXPECT_FALSE(platform::write_file_atomic(dir / "no-such-folder\\x.json", "{}", &err));
    EXPECT_FALSE(err.empty());
}

TEST(WindowsFiles, RenameReplaceMovesOverAnExistingFile) {
    Temp_Dir dir;
    ASSERT_TRUE(platform::write_file(dir / "launcher.exe", "old"));
    ASSERT_TRUE(platform::write_file(dir / "launcher.old.exe", "older"));
    ASSERT_TRUE(platform::rename_replace(dir / "launcher.exe", dir / "launcher.old.exe"));
    EXPECT_EQ(read(dir / "launcher.old.exe"), "old");
    EXPECT_FALSE(platform::is_regular_file(dir / "launcher.exe"));
    std::string err;
    EXPECT_FALSE(platform::rename_replace(dir / "missing", dir / "x", &err));
    EXPECT_FALSE(err.empty());
}

TEST(WindowsFiles, DeleteIsTrueWhenTheFileIsGoneEvenReadOnly) {
    Temp_Dir dir;
    EXPECT_TRUE(platform::delete_file(dir / "never-there"));
    EXPECT_TRUE(platform::delete_file(dir / "no-folder\\never-there"));
    std::string file = dir / "readonly.dat";
    ASSERT_TRUE(platform::write_file(file, "x"));
    ASSERT_TRUE(SetFileAttributesW(platform::win_path(file).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(platform::delete_file(file));
    EXPECT_FALSE(platform::is_regular_file(file));
    // Folders are not deleted by it.
    ASSERT_TRUE(platform::make_dirs(dir / "sub"));
    EXPECT_FALSE(platform::delete_file(dir / "sub"));
}

TEST(WindowsFiles, MakeDirsCreatesEveryMissingParentWithEitherSeparator) {
    Temp_Dir dir;
    std::string deep = dir.path + "\\a/b\\\\c/";
    EXPECT_TRUE(platform::make_dirs(deep));
    EXPECT_TRUE(platform::make_dirs(deep));   // already there
    platform::File_Status st;
    ASSERT_TRUE(platform::file_status(dir / "a/b/c", st));
    EXPECT_FALSE(st.regular);
    // A file in the way is a failure, not a folder.
    ASSERT_TRUE(platform::write_file(dir / "file", "x"));
    EXPECT_FALSE(platform::make_dirs(dir / "file"));
    EXPECT_FALSE(platform::make_dirs(dir / "file/below"));
    EXPECT_FALSE(platform::make_dirs(""));
}

TEST(WindowsFiles, ListDirSortsByBytesAndSkipsDots) {
    Temp_Dir dir;
    for (const char* name : {"b.tnw", "B.png", "a.tnw", "\xC3\xA4.tnw"}) ASSERT_TRUE(platform::write_file(dir / name, ""));
    ASSERT_TRUE(platform::make_dirs(dir / "folder"));
    std::vector<std::string> names;
    ASSERT_TRUE(platform::list_dir(dir.path, names));
    EXPECT_EQ(names, (std::vector<std::string>{"B.png", "a.tnw", "b.tnw", "folder", "\xC3\xA4.tnw"}));
    EXPECT_FALSE(platform::list_dir(dir / "missing", names));
    EXPECT_TRUE(names.empty());
}

TEST(WindowsFiles, JoinUsesBackslashesAndDoesNotDoubleThem) {
    EXPECT_EQ(join_path("C:\\Games\\Tarnwick", "data/maps/a.tnw"), "C:\\Games\\Tarnwick\\data\\maps\\a.tnw");
    EXPECT_EQ(join_path("C:\\Games\\", "launcher.exe"), "C:\\Games\\launcher.exe");
    EXPECT_EQ(join_path("C:/Games/", "launcher.exe"), "C:/Games/launcher.exe");
    EXPECT_EQ(join_path("", "a/b"), "a\\b");
    EXPECT_EQ(platform::path_separator(), '\\');
}

TEST(WindowsFiles, PathsPastMaxPathStillWork) {
    Temp_Dir dir;
    std::string deep = dir.path;
    while (deep.size() < 300) deep = join_path(deep, "a-rather-long-folder-name-for-a-release");
    ASSERT_TRUE(platform::make_dirs(deep));
    std::string file = join_path(deep, "data/textures/terrain.pak");
    ASSERT_TRUE(platform::make_dirs(platform::join_path(deep, "data/textures")));
    ASSERT_TRUE(platform::write_file_atomic(file, "deep"));
    EXPECT_EQ(read(file), "deep");
    platform::File_Status st;
    ASSERT_TRUE(platform::file_status(file, st));
    EXPECT_EQ(st.size, 4);
    std::vector<std::string> names;
    ASSERT_TRUE(platform::list_dir(join_path(deep, "data/textures"), names));
    EXPECT_EQ(names, std::vector<std::string>{"terrain.pak"});
    EXPECT_TRUE(platform::delete_file(file));
    EXPECT_FALSE(platform::is_regular_file(file));
}

TEST(WindowsFiles, ChunkedReadsSeeEveryByteInOrder) {
    Temp_Dir dir;
    std::string data;
    for (int i = 0; i < (3 << 20) + 17; i++) data += char(i * 7);
    ASSERT_TRUE(platform::write_file(dir / "blob", data));
    std::string seen;
    int chunks = 0;
    ASSERT_TRUE(platform::read_file_chunks(dir / "blob", [&](std::string_view c) {
        chunks++;
        seen.append(c);
        return true;
    }));
    EXPECT_EQ(seen, data);
    EXPECT_EQ(chunks, 4);
    // Stopping early is reported.
    EXPECT_FALSE(platform::read_file_chunks(dir / "blob", [](std::string_view) { return false; }));
    EXPECT_FALSE(platform::read_file_chunks(dir / "missing", [](std::string_view) { return true; }));
}

TEST(WindowsFiles, ReadingAFileAnotherProgramHasOpenForWriting) {
    Temp_Dir dir;
    std::string file = dir / "account.json";
    ASSERT_TRUE(platform::write_file(file, "{\"refresh_token\":\"t\"}"));
    HANDLE h = CreateFileW(platform::win_path(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(read(file), "{\"refresh_token\":\"t\"}");
    CloseHandle(h);
    std::string out = "left over";
    EXPECT_FALSE(platform::read_file(dir / "missing.json", out));
    EXPECT_TRUE(out.empty());
}

TEST(WindowsFiles, TheFolderBrowserSkipsFilesAndHiddenFoldersAndRemovesOnlyEmptyOnes) {
    Temp_Dir dir;
    for (const char* folder : {"b\\inner", "a", "hidden"}) ASSERT_TRUE(platform::make_dirs(dir / folder));
    SetFileAttributesW(platform::win_path(dir / "hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(platform::write_file(dir / "file", "x"));
    std::vector<std::string> names;
    ASSERT_TRUE(platform::list_folders(dir.path, names));
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(platform::is_folder(dir / "a"));
    EXPECT_FALSE(platform::is_folder(dir / "file"));
    EXPECT_FALSE(platform::remove_empty_folder(dir / "b"));
    EXPECT_TRUE(platform::remove_empty_folder(dir / "b/inner"));
    EXPECT_TRUE(platform::remove_empty_folder(dir / "b"));
    EXPECT_FALSE(platform::is_folder(dir / "b"));

    uint64_t here = 0, below = 0;
    ASSERT_TRUE(platform::free_space(dir.path, here));
    ASSERT_TRUE(platform::free_space(dir / "not/made/yet", below));   // measured on its parent
    EXPECT_GT(here, 0u);
    EXPECT_LT(std::max(here, below) - std::min(here, below), uint64_t(256) << 20);
    std::vector<std::string> roots = platform::file_system_roots();
    ASSERT_FALSE(roots.empty());
    EXPECT_EQ(roots[0].size(), 3u);
    EXPECT_EQ(roots[0].substr(1), ":\\");
}

}  // namespace
#endif
