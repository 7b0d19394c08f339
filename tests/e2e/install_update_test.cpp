// The built launcher against the development backend: it installs a published release into an
// empty folder, updates exactly the files a later release changes, and replaces itself when a
// release carries a new launcher.
#include "stack.h"

#include "backend/release.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>
#pragma GCC diagnostic pop

#include <array>
#include <sys/stat.h>
#include <unistd.h>   // POSIX only: the backend and the tools run on Linux

using namespace e2e;

namespace {

// Programs are compared by digest, so that a failure does not print megabytes of bytes.
std::string digest(const fs::path& p) { return backend::sha256_hex(slurp(p)); }

struct File_Id {
    ino_t inode = 0;
    int64_t mtime = 0;
    bool operator==(const File_Id&) const = default;
};
File_Id id_of(const fs::path& p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return {st.st_ino, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

struct Update_E2E : ::testing::Test {
    fs::path root, home, install;
    Backend server;

    void SetUp() override {
        root = scratch("update");
        home = root / "home";
        install = root / "install";
        ASSERT_TRUE(server.start(root / "server"));
        std::string token = server.demo_refresh_token();
        ASSERT_FALSE(token.empty());
        save_account(home, token);
    }
    void TearDown() override {
        end(server.pid);
        server.pid = -1;
        fs::remove_all(root);
    }

    // Runs the built launcher in screenshot mode against the backend; its exit code. Its log
    // goes to `log`.
    int run_launcher(const std::string& shot, std::string& log, double seconds = 5) {
        fs::path out = root / "launcher.log";
        pid_t pid = spawn(launcher_exe,
                          {"-backend:" + server.url, "-dir:" + install.string(), "-no-install",
                           "-screenshot:" + (root / shot).string(), "-seconds:" + std::to_string(seconds)},
                          root, headless_env(home), out, out);
        int code = wait_exit(pid, 60000);
        if (code == -1) end(pid);
        log = slurp(out);
        return code;
    }

    // Installs release 1.0.0 (a stand-in game and this launcher), then publishes 1.1.0 with a
    // new build of the launcher (trailing bytes change its digest, not how it runs) into
    // `new_build`.
    void publish_a_new_launcher(std::string& new_build) {
        fs::path release = root / "release";
        fs::create_directories(release);
        put(release / "Tarnwick", "#!/bin/sh\nexit 0\n");
        fs::copy_file(launcher_exe, release / "launcher");
        ASSERT_TRUE(server.publish(release, "1.0.0"));
        std::string log;
        ASSERT_EQ(run_launcher("install", log), 0) << log;
        ASSERT_EQ(digest(install / "launcher"), digest(launcher_exe));
        new_build = slurp(launcher_exe) + "\n# a newer build\n";
        put(release / "launcher", new_build);
        ASSERT_TRUE(server.publish(release, "1.1.0"));
    }

    // The one process running the installed launcher, once it runs; -1 when none or several do.
    pid_t fresh_launcher() {
        std::vector<pid_t> fresh;
        for (int i = 0; i < 250 && fresh.size() != 1; ++i) {
            fresh = processes_of(install / "launcher");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return fresh.size() == 1 ? fresh[0] : -1;
    }

    // Ends a launcher started by a hand-over (not our child) and waits for it to go.
    void stop_fresh(pid_t pid) {
        std::string proc = "/proc/" + std::to_string(pid);
        kill(pid, SIGKILL);
        for (int i = 0; i < 250 && fs::exists(proc); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    // The colour of one pixel of a screenshot.
    std::array<int, 3> pixel(const fs::path& png, int x, int y) {
        int w = 0, h = 0, n = 0;
        unsigned char* data = stbi_load(png.c_str(), &w, &h, &n, 3);
        if (!data || x >= w || y >= h) {
            stbi_image_free(data);
            return {-1, -1, -1};
        }
        unsigned char* p = data + (size_t(y) * size_t(w) + size_t(x)) * 3;
        std::array<int, 3> c{p[0], p[1], p[2]};
        stbi_image_free(data);
        return c;
    }
};

}  // namespace

TEST_F(Update_E2E, InstallsTheReleaseThenUpdatesExactlyWhatTheNextOneChanged) {
    fs::path release = root / "release";
    fs::create_directories(release);
    fs::copy_file(demo_game_exe, release / "Tarnwick");
    put(release / "backend.txt", server.url + "\n");
    put(release / "data" / "readme.txt", "Tarnwick demo data\n");
    put(release / "data" / "keep.bin", std::string(1 << 20, 'k'));
    put(release / "data" / "old.txt", "dropped by the next release");
    ASSERT_TRUE(server.publish(release, "1.0.0"));

    std::string log;
    ASSERT_EQ(run_launcher("first", log), 0) << log;
    for (const char* name : {"Tarnwick", "backend.txt", "data/readme.txt", "data/keep.bin", "data/old.txt"})
        EXPECT_EQ(digest(install / name), digest(release / name)) << name;
    EXPECT_NE(fs::status(install / "Tarnwick").permissions() & fs::perms::owner_exec, fs::perms::none);
    std::string record = slurp(install / "install.json");
    EXPECT_NE(record.find("\"version\": \"1.0.0\""), std::string::npos) << record;
    EXPECT_EQ(log.find("patcher:"), std::string::npos) << log;
    // The action area holds the amber PLAY button (not the progress bar or "Checking...").
    EXPECT_EQ(pixel(root / "first.png", 722, 206), (std::array<int, 3>{0xFF, 0xB0, 0x20}));

    // The next release changes one file, drops one and adds one.
    File_Id game = id_of(install / "Tarnwick"), keep = id_of(install / "data" / "keep.bin");
    put(release / "data" / "readme.txt", "Tarnwick demo data, second edition\n");
    fs::remove(release / "data" / "old.txt");
    put(release / "data" / "new.txt", "added");
    ASSERT_TRUE(server.publish(release, "2.0.0"));

    ASSERT_EQ(run_launcher("second", log), 0) << log;
    EXPECT_EQ(slurp(install / "data" / "readme.txt"), "Tarnwick demo data, second edition\n");
    EXPECT_EQ(slurp(install / "data" / "new.txt"), "added");
    EXPECT_FALSE(fs::exists(install / "data" / "old.txt"));
    EXPECT_EQ(id_of(install / "Tarnwick"), game);   // untouched: same file, same time
    EXPECT_EQ(id_of(install / "data" / "keep.bin"), keep);
    record = slurp(install / "install.json");
    EXPECT_NE(record.find("\"version\": \"2.0.0\""), std::string::npos) << record;
    EXPECT_EQ(record.find("old.txt"), std::string::npos);
    EXPECT_EQ(pixel(root / "second.png", 722, 206), (std::array<int, 3>{0xFF, 0xB0, 0x20}));
}

TEST_F(Update_E2E, ALauncherRunningFromTheInstallFolderRestartsIntoItsReplacement) {
    std::string new_build;
    ASSERT_NO_FATAL_FAILURE(publish_a_new_launcher(new_build));

    // Started from the install folder, as the shortcuts start it. The screenshot is only a
    // deadline: the restart must come first.
    fs::path out = root / "old-launcher.log";
    pid_t old = spawn((install / "launcher").string(), {"-backend:" + server.url, "-screenshot:" + (root / "late").string(), "-seconds:60"},
                      root, headless_env(home), out, out);
    int code = wait_exit(old, 50000);
    if (code == -1) end(old);
    ASSERT_EQ(code, 0) << slurp(out);
    EXPECT_FALSE(fs::exists(root / "late.png"));

    pid_t fresh = fresh_launcher();
    ASSERT_NE(fresh, -1);
    std::string proc = "/proc/" + std::to_string(fresh);
    EXPECT_EQ(slurp(proc + "/cmdline"), (install / "launcher").string() + std::string(1, '\0'));   // no arguments
    EXPECT_EQ(fs::read_symlink(proc + "/cwd"), install);
    // The new launcher clears away the old one as it starts.
    for (int i = 0; i < 250 && fs::exists(install / "launcher.old"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(fs::exists(install / "launcher.old"));
    EXPECT_EQ(digest(install / "launcher"), backend::sha256_hex(new_build));
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"1.1.0\""), std::string::npos);
    stop_fresh(fresh);
}

TEST_F(Update_E2E, ALauncherStartedThroughALinkedFolderRestartsIntoItsReplacement) {
    std::string new_build;
    ASSERT_NO_FATAL_FAILURE(publish_a_new_launcher(new_build));
    // The install folder reached through a symbolic link, as a shortcut into another disk would.
    fs::path link = root / "games";
    fs::create_directory_symlink(install, link);
    fs::path out = root / "old-launcher.log";
    pid_t old = spawn((link / "launcher").string(),
                      {"-backend:" + server.url, "-dir:" + link.string(), "-screenshot:" + (root / "late").string(), "-seconds:60"},
                      root, headless_env(home), out, out);
    int code = wait_exit(old, 50000);
    if (code == -1) end(old);
    ASSERT_EQ(code, 0) << slurp(out);
    EXPECT_FALSE(fs::exists(root / "late.png"));   // it handed over instead of running old code on
    pid_t fresh = fresh_launcher();
    ASSERT_NE(fresh, -1);
    EXPECT_EQ(digest(install / "launcher"), backend::sha256_hex(new_build));
    stop_fresh(fresh);
}

TEST_F(Update_E2E, ANewLauncherThatCannotBeWrittenPutsTheRunningOneBack) {
    std::string new_build, log;
    ASSERT_NO_FATAL_FAILURE(publish_a_new_launcher(new_build));
    put(install / "launcher.part" / "in-the-way", "a folder where the new launcher would be written");

    fs::path out = root / "old-launcher.log";
    pid_t old = spawn((install / "launcher").string(), {"-backend:" + server.url, "-screenshot:" + (root / "shot").string(), "-seconds:5"},
                      root, headless_env(home), out, out);
    int code = wait_exit(old, 50000);
    if (code == -1) end(old);
    log = slurp(out);
    ASSERT_EQ(code, 0) << log;
    // No restart: the launcher ran to its screenshot, still under its own name.
    EXPECT_TRUE(fs::exists(root / "shot.png"));
    EXPECT_NE(log.find("patcher: Couldn't write launcher (Is a directory). Try again."), std::string::npos) << log;
    EXPECT_EQ(digest(install / "launcher"), digest(launcher_exe));
    EXPECT_FALSE(fs::exists(install / "launcher.old"));
    EXPECT_TRUE(processes_of(install / "launcher").empty());
}
