// The Windows system layer: paths as Windows compares them, known folders, the environment,
// child processes with a working folder, and command-line quoting.
#ifdef _WIN32
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/shortcuts.h"
#include "platform/system.h"
#include "platform/wide_windows.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// When the test program is started by one of the process tests below, it does the one thing
// the test asked for (named in the environment) and ends before any test runs.
const bool child_done = [] {
    std::string job = platform::env("TARNWICK_TEST_CHILD");
    if (job.empty()) return false;
    std::string arg = platform::env("TARNWICK_TEST_CHILD_ARG");
    if (job == "cwd") {
        wchar_t cwd[MAX_PATH + 1];
        DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, cwd);
        platform::write_file(arg, platform::narrow(std::wstring_view(cwd, n)));
    } else if (job == "args") {
        // Each argument as this program received it, NUL after each.
        int n = 0;
        wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &n);
        std::string all;
        for (int i = 0; i < n; i++) all += platform::narrow(args[i]) + '\0';
        LocalFree(args);
        platform::write_file(arg, all);
    } else if (job == "wait") {
        for (int i = 0; i < 2000 && !platform::is_regular_file(arg); i++) Sleep(10);
    }
    ExitProcess(0);
}();

struct Child_Job {
    Child_Job(const char* job, const std::string& arg) {
        SetEnvironmentVariableW(L"TARNWICK_TEST_CHILD", platform::widen(job).c_str());
        SetEnvironmentVariableW(L"TARNWICK_TEST_CHILD_ARG", platform::widen(arg).c_str());
    }
    ~Child_Job() {
        SetEnvironmentVariableW(L"TARNWICK_TEST_CHILD", nullptr);
        SetEnvironmentVariableW(L"TARNWICK_TEST_CHILD_ARG", nullptr);
    }
};

std::string temp_folder(const char* name) {
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    std::string dir = platform::narrow(base) + name + std::to_string(GetCurrentProcessId());
    EXPECT_TRUE(platform::make_dirs(dir));
    return dir;
}

TEST(WindowsPaths, CleanResolvesDotsAndSeparatorsKeepingTheRoot) {
    using platform::clean_path;
    EXPECT_EQ(clean_path("C:\\Games\\.\\Tarnwick\\..\\Tarnwick\\launcher.exe"), "C:\\Games\\Tarnwick\\launcher.exe");
    EXPECT_EQ(clean_path("C:/Games//Tarnwick/"), "C:\\Games\\Tarnwick");
    EXPECT_EQ(clean_path("C:\\..\\..\\x"), "C:\\x");
    EXPECT_EQ(clean_path("C:\\"), "C:\\");
    EXPECT_EQ(clean_path("C:\\a\\.."), "C:\\");
    EXPECT_EQ(clean_path("\\\\server\\share\\games\\..\\..\\launcher.exe"), "\\\\server\\share\\launcher.exe");
    EXPECT_EQ(clean_path("\\\\?\\C:\\Games\\.\\x"), "\\\\?\\C:\\Games\\x");
    EXPECT_EQ(clean_path("\\Games\\..\\x"), "\\x");
    EXPECT_EQ(clean_path("a\\..\\..\\b"), "..\\b");
    EXPECT_EQ(clean_path("C:..\\x"), "C:..\\x");   // relative to drive C's current folder
    EXPECT_EQ(clean_path("."), ".");
    EXPECT_EQ(clean_path(""), ".");
}

TEST(WindowsPaths, SamePathIgnoresCaseButNothingElse) {
    using platform::same_path;
    EXPECT_TRUE(same_path("C:\\Users\\Ann\\AppData\\Local\\Tarnwick\\launcher.exe",
                          "c:\\users\\ann\\appdata\\local\\TARNWICK\\Launcher.EXE"));
    // Beyond ASCII too: "Ä" and "ä", "Ж" and "ж".
    EXPECT_TRUE(same_path("C:\\Spiele\\\xC3\x84\xD0\x96\\launcher.exe", "C:\\Spiele\\\xC3\xA4\xD0\xB6\\launcher.exe"));
    EXPECT_FALSE(same_path("C:\\Games\\launcher.exe", "C:\\Games\\launcher.old.exe"));
    EXPECT_FALSE(same_path("C:\\Games\\launcher.exe", "D:\\Games\\launcher.exe"));
    // Compared as they are: cleaning is the caller's business.
    EXPECT_FALSE(same_path("C:/Games/launcher.exe", "C:\\Games\\launcher.exe"));
    EXPECT_TRUE(same_path(platform::clean_path("C:/Games/./launcher.exe"), platform::clean_path("c:\\games\\LAUNCHER.exe")));
}

TEST(WindowsPaths, ParentAndFileNameKnowDriveRoots) {
    EXPECT_EQ(platform::parent_folder("C:\\Games\\Tarnwick\\launcher.exe"), "C:\\Games\\Tarnwick");
    EXPECT_EQ(platform::parent_folder("C:\\launcher.exe"), "C:\\");
    EXPECT_EQ(platform::parent_folder("C:/Games/launcher.exe"), "C:/Games");
    EXPECT_EQ(platform::parent_folder("\\\\server\\share\\launcher.exe"), "\\\\server\\share");
    EXPECT_EQ(platform::parent_folder("launcher.exe"), "");
    EXPECT_EQ(platform::file_name("C:\\Games\\launcher.exe"), "launcher.exe");
    EXPECT_EQ(platform::file_name("C:/Games/Tarnwick.exe"), "Tarnwick.exe");
    EXPECT_EQ(platform::file_name("launcher.exe"), "launcher.exe");
}

TEST(WindowsPaths, ExecutableNamesCarryExe) {
    EXPECT_STREQ(platform::game_exe_names[0], "Tarnwick.exe");
    EXPECT_STREQ(platform::game_exe_names[1], "client.exe");
    EXPECT_STREQ(platform::launcher_exe_name, "launcher.exe");
    EXPECT_STREQ(platform::launcher_old_exe_name, "launcher.old.exe");
}

TEST(WindowsSystem, ExecutablePathNamesThisProgram) {
    std::string exe = platform::executable_path();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(platform::same_path(platform::file_name(exe), "windows_tests.exe")) << exe;
    EXPECT_TRUE(platform::is_regular_file(exe));
    EXPECT_EQ(exe[1], ':');
}

TEST(WindowsSystem, EnvironmentValuesAreUtf8) {
    SetEnvironmentVariableW(L"TARNWICK_TEST_VALUE", L"C:\\Users\\J\u00F6rg\\\u65E5\u672C");
    EXPECT_EQ(platform::env("TARNWICK_TEST_VALUE"), "C:\\Users\\J\xC3\xB6rg\\\xE6\x97\xA5\xE6\x9C\xAC");
    SetEnvironmentVariableW(L"TARNWICK_TEST_VALUE", nullptr);
    EXPECT_EQ(platform::env("TARNWICK_TEST_VALUE"), "");
}

TEST(WindowsSystem, DefaultInstallFolderComesFromLocalAppDataThenTheKnownFolder) {
    std::string saved = platform::env("LOCALAPPDATA");
    SetEnvironmentVariableW(L"LOCALAPPDATA", L"D:\\Local");
    EXPECT_EQ(platform::default_install_dir(), "D:\\Local\\Tarnwick");
    SetEnvironmentVariableW(L"LOCALAPPDATA", L"");
    std::string fallback = platform::default_install_dir();
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    EXPECT_EQ(platform::default_install_dir(), fallback);
    SetEnvironmentVariableW(L"LOCALAPPDATA", platform::widen(saved).c_str());
    // The known folder, which Wine and Windows both have.
    ASSERT_GT(fallback.size(), std::string("\\Tarnwick").size());
    EXPECT_EQ(fallback.substr(fallback.size() - 9), "\\Tarnwick");
    EXPECT_EQ(fallback[1], ':');
}

TEST(WindowsSystem, UserDataFolderIsRoamingAppData) {
    std::string roaming = platform::user_data_folder();
    ASSERT_FALSE(roaming.empty());
    EXPECT_EQ(roaming[1], ':');
    EXPECT_NE(roaming, platform::default_install_dir());
    platform::File_Status st;
    EXPECT_TRUE(platform::file_status(roaming, st));
    EXPECT_FALSE(st.regular);
}

TEST(WindowsProcesses, StartsInTheGivenWorkingFolder) {
    std::string dir = temp_folder("tarnwick-cwd-\xC3\xBC-");   // a "ü" in the folder's name
    std::string report = platform::join_path(dir, "cwd.txt");
    platform::delete_file(report);
    platform::Process p;
    {
        Child_Job job("cwd", report);
        std::string err;
        ASSERT_TRUE(platform::start_process(platform::executable_path(), dir, p, &err)) << err;
    }
    ASSERT_TRUE(platform::wait_process(p, 30000));
    EXPECT_EQ(p.handle, 0);
    std::string cwd;
    ASSERT_TRUE(platform::read_file(report, cwd));
    while (!cwd.empty() && (cwd.back() == '\\')) cwd.pop_back();
    EXPECT_TRUE(platform::same_path(cwd, dir)) << cwd << " vs " << dir;
    platform::delete_file(report);
}

TEST(WindowsProcesses, EndedIsAskedWithoutWaiting) {
    std::string dir = temp_folder("tarnwick-wait-");
    std::string go = platform::join_path(dir, "go");
    platform::delete_file(go);
    platform::Process p;
    {
        Child_Job job("wait", go);
        ASSERT_TRUE(platform::start_process(platform::executable_path(), dir, p));
    }
    EXPECT_FALSE(platform::process_ended(p));   // still waiting for "go"
    EXPECT_NE(p.handle, 0);
    ASSERT_TRUE(platform::write_file(go, ""));
    ASSERT_TRUE(platform::wait_process(p, 30000));
    EXPECT_TRUE(platform::process_ended(p));   // released: asking again is harmless
    platform::delete_file(go);
}

TEST(WindowsProcesses, AMissingProgramIsAFailureWithAReason) {
    platform::Process p;
    std::string err;
    EXPECT_FALSE(platform::start_process("C:\\no\\such\\Tarnwick.exe", "C:\\", p, &err));
    EXPECT_EQ(p.handle, 0);
    EXPECT_FALSE(err.empty());
}

TEST(WindowsShortcuts, PowerShellGetsTheScriptAsOneArgument) {
    // A stand-in powershell.exe (this test program) found first on the PATH records what it got.
    std::string dir = temp_folder("tarnwick-ps-");
    std::string fake = platform::join_path(dir, "powershell.exe");
    ASSERT_TRUE(CopyFileW(platform::widen(platform::executable_path()).c_str(), platform::widen(fake).c_str(), FALSE));
    std::string report = platform::join_path(dir, "args.bin");
    platform::delete_file(report);
    const std::string target = "C:\\Games\\O'Brien \"Spiel\"\\launcher.exe";
    const std::string folder = "C:\\Games\\O'Brien \"Spiel\"\\";
    std::string path = platform::env("PATH");
    SetEnvironmentVariableW(L"PATH", platform::widen(dir + ";" + path).c_str());
    {
        Child_Job job("args", report);
        platform::create_shortcuts(target, folder, "");
    }
    SetEnvironmentVariableW(L"PATH", platform::widen(path).c_str());

    std::string all;
    ASSERT_TRUE(platform::read_file(report, all));
    std::vector<std::string> args;
    for (size_t at = 0, end; (end = all.find('\0', at)) != std::string::npos; at = end + 1)
        args.push_back(all.substr(at, end - at));
    ASSERT_EQ(args.size(), 6u);
    EXPECT_EQ(args[1], "-NoProfile");
    EXPECT_EQ(args[2], "-WindowStyle");
    EXPECT_EQ(args[3], "Hidden");
    EXPECT_EQ(args[4], "-Command");
    EXPECT_EQ(args[5], platform::shortcut_script(target, folder));
    EXPECT_NE(args[5].find("$s.TargetPath='C:\\Games\\O''Brien \"Spiel\"\\launcher.exe'"), std::string::npos) << args[5];
    platform::delete_file(report);
    platform::delete_file(fake);
}

TEST(WindowsText, QuotedArgumentsComeBackWhole) {
    std::vector<std::wstring> args = {
        L"powershell", L"-Command", L"", L"two words", L"say \"hi\"", L"C:\\Program Files\\",
        L"ends\\\\", L"a\\\"b", L"$s.TargetPath='C:\\Spiele\\launcher.exe';$s.Save()}", L"tab\there"};
    std::wstring line;
    for (const std::wstring& a : args) line += platform::quote_argument(a) + L" ";
    int n = 0;
    wchar_t** back = CommandLineToArgvW(line.c_str(), &n);
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(size_t(n), args.size());
    for (int i = 0; i < n; i++) EXPECT_EQ(std::wstring(back[i]), args[size_t(i)]) << i;
    LocalFree(back);
}

TEST(WindowsText, Utf8AndUtf16ConvertBothWays) {
    EXPECT_EQ(platform::widen("J\xC3\xB6rg \xF0\x9F\x8E\xAE"), L"J\u00F6rg \U0001F3AE");
    EXPECT_EQ(platform::narrow(L"J\u00F6rg \U0001F3AE"), "J\xC3\xB6rg \xF0\x9F\x8E\xAE");
    EXPECT_EQ(platform::widen(""), L"");
    // A broken sequence becomes U+FFFD rather than vanishing or merging with its neighbours.
    EXPECT_EQ(platform::widen("a\xFF" "b"), L"a\uFFFDb");
}

TEST(WindowsText, ErrorTextsAreOneLineWithoutAPeriod) {
    std::string denied = platform::win_error_text(ERROR_ACCESS_DENIED);
    // Windows says "Access is denied.", Wine "Access denied."; both lose the period.
    EXPECT_TRUE(denied == "Access is denied" || denied == "Access denied") << denied;
    EXPECT_EQ(platform::win_error_text(0xE0000123u), "error 3758096675");
    EXPECT_EQ(platform::error_text(ERROR_FILE_NOT_FOUND), platform::win_error_text(ERROR_FILE_NOT_FOUND));
}

TEST(WindowsPaths, AbsolutePathsNeedADriveAndItsRootOrAShare) {
    for (const char* path : {"C:\\Games", "c:/Games", "\\\\server\\share\\x", "\\\\?\\C:\\Games"})
        EXPECT_TRUE(platform::is_absolute_path(path)) << path;
    for (const char* path : {"", "Games", "C:Games", "\\Games", "..\\Games"})
        EXPECT_FALSE(platform::is_absolute_path(path)) << path;
}

TEST(WindowsSystem, SetEnvReachesThisProcessAndEmptyRemoves) {
    platform::set_env("TARNWICK_TEST_SET", "C:\\Sp\xC3\xA4ter");
    EXPECT_EQ(platform::env("TARNWICK_TEST_SET"), "C:\\Sp\xC3\xA4ter");
    platform::set_env("TARNWICK_TEST_SET", "");
    EXPECT_EQ(GetEnvironmentVariableW(L"TARNWICK_TEST_SET", nullptr, 0), 0u);
}

}  // namespace
#endif
