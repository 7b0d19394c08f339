#include "support/files.h"
#include "support/folders.h"
#include "platform/instance_lock.h"
// A launcher started outside its install folder copies itself there, makes the shortcuts,
// starts the copy and ends. Run against the built program with a temporary home.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string launcher_path = std::string(TARNWICK_BINARY_DIR) + "/tarnwick-launcher";

using support::slurp;

// Processes whose executable is `exe`.
std::vector<pid_t> processes_running(const fs::path& exe) {
    std::vector<pid_t> out;
    for (auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code ec;
        fs::path target = fs::read_symlink(entry.path() / "exe", ec);
        if (!ec && target == exe) out.push_back(pid_t(std::stoi(name)));
    }
    return out;
}

void stop_all(const fs::path& exe) {
    for (pid_t pid : processes_running(exe)) kill(pid, SIGKILL);
}

struct Self_Install : ::testing::Test {
    fs::path home;
    void SetUp() override {
        home = support::test_folder("home");
        fs::create_directories(home / "Desktop");
        fs::create_directories(home / "share");
        fs::create_directories(home / "downloads");
        // The launcher as a player downloaded it.
        fs::copy_file(launcher_path, home / "downloads" / "tarnwick-launcher");
    }
    void TearDown() override { fs::remove_all(home); }

    // Starts a program with the test's home; returns its pid.
    pid_t start(const fs::path& exe, std::vector<std::string> args, const fs::path& cwd) {
        pid_t pid = fork();
        if (pid == 0) {
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_DATA_HOME", (home / "share").c_str(), 1);
            setenv("SDL_VIDEODRIVER", "offscreen", 1);
            setenv("SDL_RENDER_DRIVER", "software", 1);
            if (chdir(cwd.c_str()) != 0) _exit(127);
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        return pid;
    }
    // Waits for the process to end; its exit code, or -1 when it was still running after `ms`.
    int wait_exit(pid_t pid, int ms) {
        for (int waited = 0; waited < ms; waited += 20) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
};

}  // namespace

TEST_F(Self_Install, CopiesItselfIntoTheChosenFolderAndStartsTheCopy) {
    fs::path dir = home / "my games" / "tarnwick";
    pid_t first = start(home / "downloads" / "tarnwick-launcher", {"-dir:" + dir.string()}, home);
    EXPECT_EQ(wait_exit(first, 20000), 0);

    fs::path copy = dir / "launcher";
    ASSERT_TRUE(fs::is_regular_file(copy));
    EXPECT_EQ(slurp(copy), slurp(launcher_path));
    EXPECT_NE(fs::status(copy).permissions() & fs::perms::owner_exec, fs::perms::none);

    for (fs::path entry : {home / "share" / "applications" / "tarnwick.desktop", home / "Desktop" / "tarnwick.desktop"}) {
        std::string text = slurp(entry);
        EXPECT_NE(text.find("Name=Tarnwick\n"), std::string::npos) << entry;
        EXPECT_NE(text.find("Exec=\"" + copy.string() + "\"\n"), std::string::npos) << text;
        EXPECT_NE(text.find("Path=" + dir.string() + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find("Categories=Game;"), std::string::npos) << text;
        EXPECT_NE(text.find("Icon=" + (dir / "tarnwick.png").string()), std::string::npos) << text;
    }
    EXPECT_TRUE(fs::is_regular_file(dir / "tarnwick.png"));

    // The copy runs from the chosen folder, without the -dir option, and keeps that folder:
    // it neither copies itself again nor touches the default folder.
    std::vector<pid_t> running;
    for (int i = 0; i < 100 && running.empty(); i++) {
        running = processes_running(copy);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(running.size(), 1u);
    std::string cmdline = slurp("/proc/" + std::to_string(running[0]) + "/cmdline");
    EXPECT_EQ(cmdline, copy.string() + std::string(1, '\0'));
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(running[0]) + "/cwd"), dir);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(processes_running(copy).size(), 1u);   // still there: it opened its window
    EXPECT_FALSE(fs::exists(home / "Games"));
    stop_all(copy);
}

TEST_F(Self_Install, TheInstalledCopyCopiesNothing) {
    fs::path dir = home / "Games" / "Tarnwick";
    fs::create_directories(dir);
    fs::copy_file(launcher_path, dir / "launcher");
    { std::ofstream(dir / "install.json") << "{}"; }
    auto before = fs::last_write_time(dir / "launcher");
    // Started through a path with "." components, from elsewhere.
    pid_t pid = start(dir / "." / "launcher", {}, home);
    EXPECT_EQ(wait_exit(pid, 1500), -1);   // it opened its window instead of handing over
    EXPECT_EQ(processes_running(dir / "launcher").size(), 1u);
    EXPECT_EQ(fs::last_write_time(dir / "launcher"), before);
    EXPECT_FALSE(fs::exists(home / "Desktop" / "tarnwick.desktop"));
    kill(pid, SIGKILL);
    wait_exit(pid, 5000);
}

TEST_F(Self_Install, AnUnwritableTargetOpensTheLauncherWhereItIs) {
    fs::path dir = home / "blocked";
    fs::create_directories(dir / "launcher");   // a folder where the copy would go
    pid_t pid = start(home / "downloads" / "tarnwick-launcher", {"-dir:" + dir.string()}, home);
    EXPECT_EQ(wait_exit(pid, 1500), -1);
    EXPECT_TRUE(fs::is_directory(dir / "launcher"));
    EXPECT_FALSE(fs::exists(home / "Desktop" / "tarnwick.desktop"));
    kill(pid, SIGKILL);
    wait_exit(pid, 5000);
}

TEST_F(Self_Install, ASecondStartForTheSameFolderShowsTheRunningLauncherAndEnds) {
    fs::path dir = home / "Games" / "Tarnwick";
    fs::create_directories(dir);
    fs::copy_file(launcher_path, dir / "launcher");
    { std::ofstream(dir / "install.json") << "{}"; }
    pid_t first = start(dir / "launcher", {}, home);
    // Running once it holds the folder.
    bool held = false;
    for (int i = 0; i < 500 && !held; i++) {
        platform::Instance_Lock probe;
        held = platform::lock_instance(dir.string(), probe) == platform::Lock_Result::Held;
        platform::unlock_instance(probe);
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(held);
    auto before = fs::last_write_time(dir / "launcher");

    // The installed copy started again, and a downloaded launcher pointed at the folder: both
    // end at once, and neither replaces the running launcher's file.
    EXPECT_EQ(wait_exit(start(dir / "launcher", {}, home), 20000), 0);
    EXPECT_EQ(wait_exit(start(home / "downloads" / "tarnwick-launcher", {"-dir:" + dir.string()}, home), 20000), 0);
    EXPECT_EQ(fs::last_write_time(dir / "launcher"), before);
    EXPECT_EQ(processes_running(dir / "launcher"), std::vector<pid_t>{first});
    EXPECT_FALSE(fs::exists(home / "Desktop" / "tarnwick.desktop"));

    // The running launcher takes show requests as it runs.
    { std::ofstream(dir / "launcher.show") << "show\n"; }
    for (int i = 0; i < 500 && fs::exists(dir / "launcher.show"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(fs::exists(dir / "launcher.show"));
    kill(first, SIGKILL);
    wait_exit(first, 5000);
}

TEST_F(Self_Install, ALauncherStartedAgainWithoutDirOpensTheChosenFolderTheShortcutsName) {
    fs::path dir = home / "chosen", downloaded = home / "downloads" / "tarnwick-launcher", copy = dir / "launcher";
    auto wait_for_copy = [&] {
        for (int i = 0; i < 100 && processes_running(copy).empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return processes_running(copy).size();
    };
    pid_t first = start(downloaded, {"-dir:" + dir.string()}, home);
    EXPECT_EQ(wait_exit(first, 20000), 0);
    ASSERT_EQ(wait_for_copy(), 1u);
    stop_all(copy);
    EXPECT_NE(slurp(home / "share" / "Tarnwick" / "settings.json").find("\"install_dir\":\"" + dir.string() + "\""),
              std::string::npos);

    // The player starts the launcher they downloaded once more, with no flags: the copy in the
    // chosen folder opens, and the shortcuts still name it.
    fs::remove(home / "share" / "applications" / "tarnwick.desktop");
    pid_t again = start(downloaded, {}, home);
    EXPECT_EQ(wait_exit(again, 20000), 0);
    EXPECT_EQ(wait_for_copy(), 1u);
    EXPECT_NE(slurp(home / "share" / "applications" / "tarnwick.desktop").find("Exec=\"" + copy.string() + "\"\n"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(home / "Games"));
    stop_all(copy);
}
