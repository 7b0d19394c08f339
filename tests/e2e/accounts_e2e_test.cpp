// Signing in, renaming and signing out through the real screens against the real development
// backend.
#include "launcher/account.h"
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "stack.h"
#include "support/headless.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace launcher;

namespace {

struct Accounts_E2E : ::testing::Test {
    e2e::fs::path root = e2e::scratch("accounts");
    e2e::Backend backend;
    Launcher state;
    headless::Draw draw = [this] {
        update(state);
        draw_screens(state);
    };

    void SetUp() override {
        ASSERT_TRUE(headless::open());
        ASSERT_TRUE(backend.start(root / "server"));
        support::use_data_home(root / "user");
        state.backend = backend.url;
        ASSERT_TRUE(backend::session_init(state.session, state.backend));
    }
    void TearDown() override {
        backend::session_destroy(state.session);
        paths::reset_user_dir_for_tests();
        e2e::fs::remove_all(root);
    }

    bool frames_until(const std::function<bool()>& done) { return headless::frames_until(done, draw, 3000, 3); }

    void sign_in(const char* email, const char* password) {
        headless::click(670, 217, draw);
        headless::type(email, draw);
        headless::click(670, 287, draw);
        headless::type(password, draw);
        headless::key(gfx::Key_Enter, draw);
        ASSERT_TRUE(frames_until([&] { return !state.signing_in; }));
    }
};

}  // namespace

TEST_F(Accounts_E2E, SignInRenameResumeAndSignOut) {
    sign_in("demo@tarnwick.test", "tarnwick-demo");
    ASSERT_EQ(state.tab, Tab::Play);
    EXPECT_EQ(state.session.account_name, "Demo Player");
    std::string saved = account_load();
    EXPECT_FALSE(saved.empty());

    // Rename from the Account tab; the new name shows at once, and in games from the next sign-in.
    headless::click(600, 32, draw);
    ASSERT_EQ(state.tab, Tab::Account);
    headless::click(60, 231, draw);
    headless::type("Demo Renamed", draw);
    headless::click(450, 231, draw);
    ASSERT_TRUE(frames_until([&] { return state.rename_id == 0 && !state.account_message.empty(); }));
    EXPECT_EQ(state.account_message, "Name changed: it shows in games from your next sign-in.");
    EXPECT_TRUE(state.account_message_good);
    EXPECT_EQ(state.session.account_name, "Demo Renamed");   // the launcher shows it at once

    // A fresh start resumes from the saved account and sees the new name.
    {
        Launcher again;
        again.backend = backend.url;
        ASSERT_TRUE(backend::session_init(again.session, again.backend));
        backend::session_resume(again.session, account_load());
        for (int i = 0; i < 3000 && again.session.phase == backend::Session_Phase::Working; i++) {
            update(again);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        EXPECT_EQ(again.session.phase, backend::Session_Phase::Signed_In);
        EXPECT_EQ(again.session.account_name, "Demo Renamed");
        backend::session_destroy(again.session);
    }

    // The resume rotated the refresh token; sign out with the current one ends that sign-in.
    backend::set_string(state.session.refresh_token, account_load());
    std::string before_sign_out = state.session.refresh_token;
    headless::click(100, 342, draw);
    headless::click(666, 386, draw);   // the question's Sign out
    EXPECT_EQ(state.tab, Tab::Sign_In);
    EXPECT_EQ(account_load(), "");
    for (int i = 0; i < 200; i++) headless::frame(draw);   // let the logout go out

    backend::Session probe;
    ASSERT_TRUE(backend::session_init(probe, backend.url));
    backend::session_resume(probe, before_sign_out);
    for (int i = 0; i < 3000 && probe.phase == backend::Session_Phase::Working; i++) {
        backend::session_update(probe, backend::unix_now());
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_EQ(probe.phase, backend::Session_Phase::Signed_Out);
    EXPECT_EQ(probe.error, "session_expired");
    backend::session_destroy(probe);
}

TEST_F(Accounts_E2E, WrongPasswordShowsTheSentence) {
    sign_in("demo@tarnwick.test", "not-the-password");
    EXPECT_EQ(state.tab, Tab::Sign_In);
    EXPECT_EQ(state.error, "That email and password don't match an account.");
    EXPECT_EQ(account_load(), "");
}

TEST_F(Accounts_E2E, CreatingAnAccountSignsIn) {
    headless::click(700, 250 + 162 + 18, draw);
    ASSERT_TRUE(state.create_mode);
    headless::click(670, 217, draw);
    headless::type("new.player@tarnwick.test", draw);
    headless::click(670, 287, draw);
    headless::type("New Player", draw);
    headless::click(670, 357, draw);
    headless::type("longenough", draw);
    headless::key(gfx::Key_Enter, draw);
    ASSERT_TRUE(frames_until([&] { return !state.signing_in; }));
    EXPECT_EQ(state.tab, Tab::Play);
    EXPECT_EQ(state.session.account_name, "New Player");

    // The same email again is refused with the table's sentence.
    Launcher other;
    other.backend = backend.url;
    ASSERT_TRUE(backend::session_init(other.session, other.backend));
    backend::session_sign_in(other.session, true,
                             "{\"email\":\"new.player@tarnwick.test\",\"password\":\"longenough\",\"name\":\"Other One\"}");
    unsigned events = 0;
    for (int i = 0; i < 3000 && !events; i++) {
        events = backend::session_update(other.session, backend::unix_now());
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_EQ(events, unsigned(backend::Event_Failed));
    EXPECT_EQ(backend::sign_in_message(other.session.error),
              "There's already an account with that email: sign in instead.");
    backend::session_destroy(other.session);
}
