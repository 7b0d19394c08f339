// The launcher's own frames (update and drawing, in this process, headless) against the
// development backend, with the real demo game: the first check installs the release, "PLAY"
// starts the game, and when the game ends the launcher signs in again with the token the game
// renewed and checks for updates. (SDL's offscreen driver cannot minimise or restore a window,
// so those calls are not observable here.)
#include "stack.h"

#include "launcher/account.h"
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "support/headless.h"

#include <unistd.h>   // POSIX only: the backend and the tools run on Linux

using namespace e2e;
using namespace launcher;

TEST(Play_Game, TheDemoGameRunsAndTheLauncherComesBackSignedInWithTheGamesToken) {
    fs::path root = scratch("play");
    Backend server;
    ASSERT_TRUE(server.start(root / "server"));
    fs::path release = root / "release";
    fs::create_directories(release);
    fs::copy_file(demo_game_exe, release / "Tarnwick");
    put(release / "backend.txt", server.url + "\n");
    ASSERT_TRUE(server.publish(release, "1.0.0"));

    setenv("XDG_DATA_HOME", (root / "share").c_str(), 1);
    setenv("TARNWICK_GAME_SECONDS", "1", 1);
    paths::reset_user_dir_for_tests();
    std::string token = server.demo_refresh_token();
    ASSERT_FALSE(token.empty());
    account_save(token);
    ASSERT_TRUE(headless::open());

    // Start-up as run does it, without the command line and the window.
    Launcher state;
    state.backend = server.url;
    state.install_dir = (root / "install").string();
    ASSERT_TRUE(backend::session_init(state.session, state.backend));
    patcher_init(state.patcher, state.install_dir, "", state.backend);
    backend::session_resume(state.session, account_load());
    state.signing_in = true;
    state.tab = Tab::Play;
    headless::Draw frame = [&] {
        update(state);
        draw_screens(state);
    };
    auto frames_until = [&](const std::function<bool()>& done, int seconds) {
        for (int i = 0; i < seconds * 200 && !done(); ++i) {
            headless::frame(frame);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };

    ASSERT_TRUE(frames_until([&] { return state.patcher.installed == "1.0.0"; }, 30)) << state.patcher.failure;
    headless::frame(frame);
    ASSERT_NE(headless::find_text("PLAY"), nullptr);
    EXPECT_FALSE(state.patcher.background);   // the first check of a run was an ordinary one

    // The launcher writes its current token for the game before starting it. The game renews
    // at once, so account.json may already hold the game's token when the click returns: keep
    // the launcher's own copy instead. Had the old token been handed over, the game's renewal
    // would have reused a rotated token and ended the sign-in, and the launcher could not come
    // back signed in below.
    std::string handed_over = state.session.refresh_token;
    headless::click(882, 232, frame);
    ASSERT_TRUE(state.playing) << state.notice;

    double started = gfx::time();
    ASSERT_TRUE(frames_until([&] { return !state.playing; }, 30));
    // The game renewed the sign-in; presenting the handed-over token again would have been
    // taken for a stolen one and ended the sign-in.
    ASSERT_TRUE(frames_until([&] { return state.session.phase == backend::Session_Phase::Signed_In &&
                                          state.last_check > started; }, 30));
    EXPECT_EQ(state.tab, Tab::Play);
    EXPECT_EQ(state.session.account_name, "Demo Player");
    EXPECT_NE(state.session.refresh_token, handed_over);
    EXPECT_TRUE(state.patcher.background);
    ASSERT_TRUE(frames_until([&] { return state.patcher.state == Patch_State::Ready; }, 30));

    patcher_destroy(state.patcher);
    backend::session_destroy(state.session);
    unsetenv("TARNWICK_GAME_SECONDS");
    end(server.pid);
    server.pid = -1;
    fs::remove_all(root);
}
