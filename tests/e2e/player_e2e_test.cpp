// The player's extensions against the development backend, through the launcher's own headless
// frames with injected input: playing offline while the backend is away, choosing the install
// folder, uninstalling; and, with the built program, the hand-over to a copy in a chosen folder.
#include "stack.h"

#include "launcher/account.h"
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "support/headless.h"

#include <memory>
#include <unistd.h>   // POSIX only: the backend and the tools run on Linux

using namespace e2e;
using namespace launcher;
using support::tree;

namespace {

struct Player : ::testing::Test {
    fs::path root;
    Backend server;
    std::unique_ptr<Launcher> state;
    headless::Draw frame = [this] {
        update(*state);
        draw_screens(*state);
    };

    void SetUp() override {
        root = scratch("player");
        ASSERT_TRUE(server.start(root / "server"));
        fs::path release = root / "release";
        fs::create_directories(release);
        fs::copy_file(demo_game_exe, release / "Tarnwick");
        put(release / "backend.txt", server.url + "\n");
        put(release / "data" / "levels" / "one.dat", "level one");
        put(release / "launcher", "the launcher of the release");
        ASSERT_TRUE(server.publish(release, "1.0.0"));
        setenv("XDG_DATA_HOME", (root / "share").c_str(), 1);
        setenv("TARNWICK_GAME_SECONDS", "1", 1);
        paths::reset_user_dir_for_tests();
        std::string token = server.demo_refresh_token();
        ASSERT_FALSE(token.empty());
        account_save(token);
        ASSERT_TRUE(headless::open());
        start();
    }
    // Start-up as run does it with a saved sign-in, without the command line and the window.
    void start() {
        state = std::make_unique<Launcher>();
        state->backend = server.url;
        state->install_dir = (root / "install").string();
        ASSERT_TRUE(backend::session_init(state->session, state->backend));
        patcher_init(state->patcher, state->install_dir, "", state->backend);
        backend::session_resume(state->session, account_load());
        state->signing_in = true;
        state->tab = Tab::Play;
    }
    void TearDown() override {
        if (state) {
            if (state->playing) platform::wait_process(state->game, 5000);
            patcher_destroy(state->patcher);
            backend::session_destroy(state->session);
        }
        unsetenv("TARNWICK_GAME_SECONDS");
        end(server.pid);
        server.pid = -1;
        fs::remove_all(root);
    }
    bool frames_until(const std::function<bool()>& done, int seconds) {
        for (int i = 0; i < seconds * 200 && !done(); ++i) {
            headless::frame(frame);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    }
    bool installed() { return state->patcher.installed == "1.0.0"; }
    void click_text(const char* text) {
        headless::frame(frame);
        const gfx::Drawn_Text* t = headless::find_text(text);
        ASSERT_TRUE(t) << text;
        headless::click(t->pos.x + 4, t->pos.y + 4, frame);
    }
    void retype(gfx::Rect box, const std::string& text, bool enter = true) {
        if (box.w > 0) headless::click(box.x + 20, box.y + 10, frame);
        headless::key(gfx::Key_A, frame, true);   // Ctrl+A: typing replaces all of it
        headless::type(text, frame);
        if (enter) headless::key(gfx::Key_Enter, frame);
    }
};

}  // namespace

TEST_F(Player, OfflineTheInstalledGameStartsAndTheLauncherMovesOnWhenTheBackendReturns) {
    ASSERT_TRUE(frames_until([&] { return installed(); }, 60)) << state->patcher.failure;
    // The backend goes away, and the player starts the launcher again.
    std::string port = server.url.substr(server.url.rfind(':') + 1);
    end(server.pid);
    server.pid = -1;
    patcher_destroy(state->patcher);
    backend::session_destroy(state->session);
    start();
    ASSERT_TRUE(frames_until([&] { return state->tab == Tab::Sign_In && state->offline.offered; }, 30));
    headless::frame(frame);
    const gfx::Drawn_Text* message = headless::find_text("Couldn't reach Tarnwick. Check your connection.");
    const gfx::Drawn_Text* button = headless::find_text("Play offline");
    const gfx::Drawn_Text* link = headless::find_text("New here? Create an account");
    ASSERT_TRUE(message && button && link);
    EXPECT_TRUE(message->pos.y < button->pos.y && button->pos.y < link->pos.y);

    click_text("Play offline");
    ASSERT_TRUE(state->playing) << state->notice;
    ASSERT_TRUE(frames_until([&] { return !state->playing; }, 30));
    EXPECT_FALSE(account_load().empty());   // the saved sign-in stays for the next try
    EXPECT_EQ(state->tab, Tab::Sign_In);

    // Back on its old address: a background resume finds it, without a click.
    server.url.clear();
    ASSERT_TRUE(server.start(root / "server", "127.0.0.1:" + port));
    ASSERT_TRUE(frames_until([&] { return state->tab == Tab::Play; }, 60));
    EXPECT_EQ(state->session.phase, backend::Session_Phase::Signed_In);
    EXPECT_FALSE(state->offline.offered);
}

TEST_F(Player, AChosenFolderIsRefusedWithItsReasonOrTakesTheGame) {
    state->checked = true;   // no automatic check yet: the game panel offers Install
    state->last_check = 1e9;
    ASSERT_TRUE(frames_until([&] { return state->session.phase == backend::Session_Phase::Signed_In; }, 30));
    click_text("Change folder");
    headless::frame(frame);
    ASSERT_TRUE(state->browser.open);
    gfx::Rect path_box{164, 136, 640, 38};
    retype(path_box, "/proc/tarnwick");
    click_text("Choose");
    headless::frame(frame);
    EXPECT_TRUE(headless::find_text("Tarnwick can't write to that folder. Choose another one."));

    retype(path_box, root.string());
    click_text("New folder");
    retype({}, "Games");
    EXPECT_EQ(state->browser.path, (root / "Games").string());
    click_text("Choose");
    EXPECT_FALSE(state->browser.open);
    EXPECT_EQ(state->install_dir, (root / "Games").string());
    ASSERT_TRUE(frames_until([&] { return installed(); }, 60)) << state->patcher.failure;   // the first check
    EXPECT_TRUE(fs::exists(root / "Games" / "Tarnwick"));
    EXPECT_FALSE(fs::exists(root / "install"));
}

TEST_F(Player, UninstallLeavesForeignFilesTheLauncherAndTheMaps) {
    ASSERT_TRUE(frames_until([&] { return installed(); }, 60)) << state->patcher.failure;
    fs::path dir = root / "install", map = root / "share" / "Tarnwick" / "maps" / "castle.tnw";
    put(dir / "data" / "levels" / "mine.dat", "the player's level");
    put(dir / "screenshots" / "one.png", "a screenshot");
    put(map, "a map");
    headless::frame(frame);
    EXPECT_FALSE(headless::find_text("Change folder"));   // only while nothing is installed
    state->tab = Tab::Account;
    click_text("Uninstall game");
    click_text("Cancel");
    EXPECT_TRUE(fs::exists(dir / "Tarnwick"));
    click_text("Uninstall game");
    click_text("Uninstall");
    EXPECT_EQ(tree(dir), (std::vector<std::string>{"data", "data/levels", "data/levels/mine.dat", "install.json",
                                                   "launcher", "screenshots", "screenshots/one.png"}));
    EXPECT_EQ(slurp(dir / "launcher"), "the launcher of the release");
    EXPECT_EQ(slurp(map), "a map");
    headless::frame(frame);
    EXPECT_TRUE(headless::find_text("Tarnwick was uninstalled (3 files removed)."));

    // The Play tab offers the install again, and no automatic check brings the game back.
    state->tab = Tab::Play;
    state->last_check = -1e9;
    for (int i = 0; i < 50; ++i) headless::frame(frame);
    EXPECT_TRUE(headless::find_text_containing("Install") && headless::find_text("Change folder"));
    EXPECT_EQ(state->patcher.state, Patch_State::Ready);
}

TEST(Player_Hand_Over, TheCopyInTheChosenFolderRemovesTheLoneCopyLeftInTheOldOne) {
    for (bool game_beside : {false, true}) {
        fs::path root = scratch(game_beside ? "handover-game" : "handover"), old = root / "old", chosen = root / "chosen";
        fs::create_directories(old);
        fs::copy_file(launcher_exe, old / "launcher");
        put(old / "install.json", "{}");
        put(old / "tarnwick.png", "icon");
        if (game_beside) put(old / "Tarnwick", "the game");
        std::vector<std::string> env = headless_env(root / "home");
        env.push_back("TARNWICK_GIVEN_UP_FOLDER=" + old.string());   // as the launcher hands over
        pid_t first = spawn((old / "launcher").string(), {"-dir:" + chosen.string()}, old, env);
        EXPECT_EQ(wait_exit(first, 20000), 0);
        for (int i = 0; i < 250 && fs::exists(old) != game_beside; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(fs::exists(old), game_beside);
        if (game_beside) {
            EXPECT_EQ(slurp(old / "launcher"), slurp(launcher_exe));
        }
        // End the copy (not this test's child), found by its executable.
        for (auto& entry : fs::directory_iterator("/proc")) {
            std::error_code ec;
            if (fs::read_symlink(entry.path() / "exe", ec) == chosen / "launcher")
                kill(std::stoi(entry.path().filename()), SIGKILL);
        }
        fs::remove_all(root);
    }
}
