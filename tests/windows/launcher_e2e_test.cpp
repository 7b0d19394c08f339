// launcher.exe end to end on Windows (and so under Wine): the recording test server plays the
// backend (a session that renews, releases signed with the development key), and the real
// program, through its WinHTTP transport, installs a release, updates exactly what the next one
// changed, installs a release published as chunks only and updates it chunk by chunk, replaces itself (the running launcher.exe moves aside as launcher.old.exe) and
// installs itself from a download folder.
//
// Every launcher started here is ended by its own handle or process id. A launcher restarted by
// another gets no -backend option and so looks for the built-in backend (unreachable on a test
// machine); it holds no real sign-in and is ended as soon as it is seen running.
#ifdef _WIN32
#include "backend/release.h"
#include "delivery/chunk_index.h"
#include "launcher/account.h"
#include "launcher/signed_release.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/wide_windows.h"
#include "support/files.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <thread>

namespace fs = std::filesystem;
using signed_release::Release;
using support::slurp;

namespace {

// The launcher built next to this test program's folder (build-windows/launcher.exe).
fs::path built_launcher() {
    std::string tests = platform::parent_folder(platform::executable_path());
    return fs::path(platform::widen(platform::join_path(platform::parent_folder(tests), "launcher.exe")));
}

std::string utf8(const fs::path& p) { return platform::narrow(p.wstring()); }
std::string digest(const fs::path& p) { return backend::sha256_hex(slurp(p)); }

// Starts `exe` with `args` in `cwd`, standard output and error into `log`. Null on failure.
HANDLE start(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd, const fs::path& log) {
    std::wstring command = platform::quote_argument(exe.wstring());
    for (const std::string& a : args) command += L" " + platform::quote_argument(platform::widen(a));
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(log.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = INVALID_HANDLE_VALUE;
    si.hStdOutput = si.hStdError = out;
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessW(exe.wstring().c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             cwd.wstring().c_str(), &si, &pi);
    CloseHandle(out);
    if (!ok) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// The exit code, or -1 when it still ran after `ms` (it is then ended).
int finish(HANDLE process, int ms) {
    if (!process) return -2;
    int code = -1;
    if (WaitForSingleObject(process, DWORD(ms)) == WAIT_OBJECT_0) {
        DWORD c = 0;
        GetExitCodeProcess(process, &c);
        code = int(c);
    } else {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
    return code;
}

// Ids of the processes running `exe`.
std::vector<DWORD> processes_of(const fs::path& exe) {
    std::vector<DWORD> out;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return out;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snap, &entry); more; more = Process32NextW(snap, &entry)) {
        HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!h) continue;
        wchar_t path[MAX_PATH * 4];
        DWORD size = DWORD(std::size(path));
        if (QueryFullProcessImageNameW(h, 0, path, &size) &&
            platform::same_path(platform::clean_path(platform::narrow(std::wstring_view(path, size))),
                                platform::clean_path(utf8(exe))))
            out.push_back(entry.th32ProcessID);
        CloseHandle(h);
    }
    CloseHandle(snap);
    return out;
}

// Waits up to ten seconds for exactly one process running `exe`; its id, or 0.
DWORD one_process_of(const fs::path& exe) {
    for (int i = 0; i < 500; i++) {
        std::vector<DWORD> found = processes_of(exe);
        if (found.size() == 1) return found[0];
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

void end_process(DWORD id) {
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (!h) return;
    TerminateProcess(h, 99);
    WaitForSingleObject(h, 5000);
    CloseHandle(h);
}

bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
}

struct Launcher_E2E : ::testing::Test {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    std::optional<signed_release::Release_Server> releases;
    fs::path root, install;

    void SetUp() override {
        ASSERT_TRUE(srv);
        ASSERT_TRUE(signed_release::build_trusts_dev_key()) << "this build trusts another release key";
        ASSERT_TRUE(fs::is_regular_file(built_launcher())) << built_launcher();
        root = fs::temp_directory_path() / ("tarnwick-win-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        install = root / "install";
        fs::create_directories(root);
        releases.emplace(*srv);
        // The saved sign-in renews; every renewal hands out the same tokens.
        support::on(*srv, "POST", "/v1/auth/refresh",
                    support::text(200, "{\"access_token\":\"A\",\"expires_at\":4102444800,\"refresh_token\":\"R\","
                                       "\"created\":false,\"account\":{\"id\":7,\"name\":\"Ada\"}}"));
        launcher::account_save("R");
        SetEnvironmentVariableW(L"SDL_VIDEODRIVER", L"offscreen");   // launchers draw off screen
    }
    void TearDown() override {
        launcher::account_save("");
        srv.reset();
        std::error_code ec;
        for (int i = 0; i < 50 && fs::exists(root) && !fs::remove_all(root, ec); i++)   // files of ended processes
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    // The built launcher in screenshot mode against the test server; its exit code and output.
    int run_launcher(const char* shot, std::string& log) {
        fs::path out = root / (std::string(shot) + ".log");
        int code = finish(start(built_launcher(), {"-backend:" + support::base_url(*srv), "-dir:" + utf8(install),
                                                   "-no-install", "-screenshot:" + utf8(root / shot), "-seconds:5"},
                                root, out),
                          60000);
        log = slurp(out);
        return code;
    }
};

}  // namespace

TEST_F(Launcher_E2E, InstallsTheReleaseThenUpdatesExactlyWhatTheNextOneChanged) {
    Release r{"1.0.0", {{"Tarnwick.exe", "game, first build"}, {"data/readme.txt", "Tarnwick demo data\n"},
                        {"data/keep.bin", std::string(1 << 20, 'k')}, {"data/old.txt", "dropped next"}}};
    releases->publish(r);
    std::string log;
    ASSERT_EQ(run_launcher("first", log), 0) << log;
    for (auto& [path, content] : r.files) EXPECT_EQ(slurp(install / path), content) << path;
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"1.0.0\""), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(root / "first.png"));

    auto keep_time = fs::last_write_time(install / "data" / "keep.bin");
    r.version = "2.0.0";
    r.files = {{"Tarnwick.exe", "game, first build"}, {"data/readme.txt", "second edition\n"},
               {"data/keep.bin", std::string(1 << 20, 'k')}, {"data/new.txt", "added"}};
    releases->publish(r);
    ASSERT_EQ(run_launcher("second", log), 0) << log;
    for (auto& [path, content] : r.files) EXPECT_EQ(slurp(install / path), content) << path;
    EXPECT_FALSE(fs::exists(install / "data" / "old.txt"));
    EXPECT_EQ(fs::last_write_time(install / "data" / "keep.bin"), keep_time);   // not fetched again
    std::string record = slurp(install / "install.json");
    EXPECT_NE(record.find("\"version\": \"2.0.0\""), std::string::npos) << record;
}

TEST_F(Launcher_E2E, InstallsAChunksOnlyReleaseRefusingAnOverlongChunkThenFetchesOnlyWhatAnEditTouched) {
    std::mt19937 rng(7);
    auto random_bytes = [&](size_t n) {   // sixteen letters: the chunks travel compressed
        std::string s(n, '\0');
        for (char& c : s) c = char('a' + rng() % 16);
        return s;
    };
    std::string world = random_bytes(6 << 20);
    Release r{"1.0.0", {{"Tarnwick.exe", "game"}, {"data/world.pak", world}}, 64 << 10};
    releases->publish(r);
    auto chunk_requests = [&] {
        size_t n = 0;
        for (const support::Recorded_Request& q : support::requests(*srv)) n += q.path().rfind("/files/chunks/", 0) == 0;
        return n;
    };

    // A chunk answer longer than declared: nothing is put in place, and the next run repairs it.
    delivery::Chunk_Index index = signed_release::chunk_index(world, r.chunk_size);
    std::string victim = "/files/chunks/" + delivery::hex(index.chunks[index.chunks.size() / 2].digest);
    std::string good = releases->chunked->at(victim);
    releases->replace_chunked(victim, good + std::string(4096, 'x'));
    std::string log;
    run_launcher("overlong", log);
    EXPECT_NE(log.find("copy of data/world.pak is damaged"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak"));
    EXPECT_FALSE(fs::exists(install / "install.json"));
    releases->replace_chunked(victim, good);
    ASSERT_EQ(run_launcher("first", log), 0) << log;
    for (auto& [path, content] : r.files) EXPECT_EQ(slurp(install / path), content) << path;
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak.part"));
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak.part.journal"));
    size_t first = chunk_requests();

    // 64 KiB overwritten and 100 KB inserted: a handful of chunks, not the file.
    world = world.substr(0, 1 << 20) + random_bytes(65536) + world.substr((1 << 20) + 65536);
    world.insert(4 << 20, random_bytes(100000));
    r.version = "2.0.0";
    r.files[1].second = world;
    releases->publish(r);
    ASSERT_EQ(run_launcher("second", log), 0) << log;
    EXPECT_EQ(slurp(install / "data" / "world.pak"), world);
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"2.0.0\""), std::string::npos);
    EXPECT_LT(chunk_requests() - first, 12u);
}

TEST_F(Launcher_E2E, TheRunningLauncherMovesAsideForItsReplacementAndRestartsIntoIt) {
    const std::string built = slurp(built_launcher());
    releases->publish(Release{"1.0.0", {{"Tarnwick.exe", "game"}, {"launcher.exe", built}}});
    std::string log;
    ASSERT_EQ(run_launcher("install", log), 0) << log;
    ASSERT_EQ(digest(install / "launcher.exe"), digest(built_launcher()));

    // A new build of the launcher (trailing bytes change its digest, not how it runs).
    const std::string newer = built + "\n# a newer build\n";
    releases->publish(Release{"1.1.0", {{"Tarnwick.exe", "game"}, {"launcher.exe", newer}}});
    // Started from the install folder, as the shortcuts start it; the screenshot is only a
    // deadline: the restart must come first.
    fs::path out = root / "old-launcher.log";
    HANDLE old = start(install / "launcher.exe",
                       {"-backend:" + support::base_url(*srv), "-screenshot:" + utf8(root / "late"), "-seconds:60"},
                       root, out);
    ASSERT_EQ(finish(old, 50000), 0) << slurp(out);
    EXPECT_FALSE(fs::exists(root / "late.png"));

    DWORD fresh = one_process_of(install / "launcher.exe");
    EXPECT_NE(fresh, 0u) << "the new launcher runs from launcher.exe";
    // The running launcher.exe could only be moved aside; the new one deletes it as it starts.
    EXPECT_TRUE(eventually([&] { return !fs::exists(install / "launcher.old.exe"); }));
    EXPECT_EQ(digest(install / "launcher.exe"), backend::sha256_hex(newer));
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"1.1.0\""), std::string::npos);
    if (fresh) end_process(fresh);
}

TEST_F(Launcher_E2E, ADownloadedLauncherInstallsItselfWithoutTheLinuxIcon) {
    launcher::account_save("");   // the installed copy starts signed out
    fs::path download = root / "Downloads" / "launcher.exe", dir = root / "Games" / "Tarnwick";
    fs::create_directories(download.parent_path());
    fs::copy_file(built_launcher(), download);
    // No PowerShell under Wine: the shortcuts cannot be made, and that stays silent.
    fs::path out = root / "self-install.log";
    ASSERT_EQ(finish(start(download, {"-dir:" + utf8(dir)}, root, out), 30000), 0) << slurp(out);
    EXPECT_EQ(slurp(out), "");

    EXPECT_EQ(digest(dir / "launcher.exe"), digest(built_launcher()));
    EXPECT_TRUE(fs::is_regular_file(dir / "install.json"));
    EXPECT_FALSE(fs::exists(dir / "tarnwick.png"));
    DWORD copy = one_process_of(dir / "launcher.exe");
    EXPECT_NE(copy, 0u) << "the installed copy runs";
    EXPECT_TRUE(processes_of(download).empty());
    if (copy) end_process(copy);
}
#endif
