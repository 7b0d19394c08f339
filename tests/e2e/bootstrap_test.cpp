// The packaged launcher (/usr/games/tarnwick-launcher) as a bootstrapper: it installs itself into
// the player's install folder when no launcher or an older one is there, and otherwise starts
// the installed copy at once without touching it. The built launcher is copied into a scratch
// usr/games folder, as `dpkg -x` would unpack it.
#include "stack.h"

#include "backend/release.h"
#include "launcher/bootstrap.h"

using namespace e2e;

namespace {

// The launcher's bytes with its version stamp rewritten: every digit of the version becomes
// `digit`, so the length stays and the file still runs.
std::string with_version_digits(std::string bytes, char digit) {
    std::string stamp = std::string("\x01tarnwick-launcher-version:") + TARNWICK_VERSION + "\x01";
    size_t at = bytes.find(stamp);
    if (at == std::string::npos) return {};
    for (size_t i = at + stamp.size() - 1 - std::string_view(TARNWICK_VERSION).size(); i < at + stamp.size() - 1; i++)
        if (bytes[i] != '.') bytes[i] = digit;
    return bytes;
}

struct Installed_Case {
    const char* what;
    char version_digit;   // 0: no launcher installed; 'x': a file without a version stamp
    bool replaced;
};

}  // namespace

TEST(Bootstrap, InstallsWhenMissingOrOlderElseHandsOverToTheInstalledCopy) {
    const std::string launcher = slurp(launcher_exe);
    ASSERT_FALSE(launcher.empty());
    ASSERT_EQ(launcher::launcher_file_version(launcher_exe), TARNWICK_VERSION);
    const Installed_Case cases[] = {
        {"none installed", 0, true},
        {"an older one", '0', true},
        {"one without a version", 'x', true},
        {"the same version", '=', false},
        {"a newer one (self-updated)", '9', false},
    };
    for (const Installed_Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::path root = scratch("bootstrap"), home = root / "home", dir = home / "Games" / "Tarnwick";
        fs::path packaged = root / "usr" / "games" / "tarnwick-launcher", copy = dir / "launcher";
        fs::create_directories(home);
        put(packaged, launcher);
        fs::permissions(packaged, fs::perms::owner_all);
        std::string installed;
        if (c.version_digit == 'x') installed = "#!/bin/sh\nsleep 60\n";
        else if (c.version_digit == '=') installed = launcher + "\n# the same version, built elsewhere\n";
        else if (c.version_digit) installed = with_version_digits(launcher, c.version_digit);
        if (c.version_digit) {
            ASSERT_FALSE(installed.empty());
            put(copy, installed);
            fs::permissions(copy, fs::perms::owner_all);
            put(dir / "launcher.old", "left over by the last self-update");   // the starting copy clears it
        }

        pid_t pid = spawn(packaged.string(), {}, home, headless_env(home), root / "out.log", root / "out.log");
        EXPECT_EQ(wait_exit(pid, 20000), 0) << slurp(root / "out.log");
        std::vector<pid_t> started;
        for (int i = 0; i < 250 && started.empty(); i++) {
            started = processes_of(copy);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(started.size(), 1u) << "the installed copy runs";
        if (c.replaced) {
            EXPECT_EQ(backend::sha256_hex(slurp(copy)), backend::sha256_hex(launcher));
            std::string entry = slurp(home / "share" / "applications" / "tarnwick.desktop");
            EXPECT_NE(entry.find("Exec=\"" + copy.string() + "\"\n"), std::string::npos) << entry;
        } else {
            EXPECT_EQ(backend::sha256_hex(slurp(copy)), backend::sha256_hex(installed));
            EXPECT_FALSE(fs::exists(home / "share" / "applications" / "tarnwick.desktop"));
            for (int i = 0; i < 1500 && fs::exists(dir / "launcher.old"); i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(fs::exists(dir / "launcher.old")) << "the installed copy started up";
        }
        for (pid_t p : started) kill(p, SIGKILL);   // not our child: the packaged launcher started it
        for (int i = 0; i < 250 && !processes_of(copy).empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fs::remove_all(root);
    }
}
