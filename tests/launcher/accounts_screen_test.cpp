// The sign-in screen and the Account tab driven through real frames with injected input,
// against the recording test server.
#include "launcher/account.h"
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "support/folders.h"
#include "support/headless.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

using namespace launcher;
using support::Reply;
namespace fs = std::filesystem;

namespace {

struct Screens : ::testing::Test {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    Launcher state;
    fs::path data;
    headless::Draw draw = [this] {
        update(state);
        draw_screens(state);
    };

    void SetUp() override {
        ASSERT_TRUE(srv);
        ASSERT_TRUE(headless::open());
        data = support::test_folder("screens");
        support::use_data_home(data);
        state.backend = support::base_url(*srv);
        ASSERT_TRUE(backend::session_init(state.session, state.backend));
    }
    void TearDown() override {
        backend::session_destroy(state.session);
        fs::remove_all(data);
        paths::reset_user_dir_for_tests();
    }

    // Runs frames until `done` holds or five seconds pass.
    bool frames_until(const std::function<bool()>& done) { return headless::frames_until(done, draw); }

    void fill_form(const char* email, const char* password) {
        headless::click(670, 217, draw);   // email box
        headless::type(email, draw);
        headless::click(670, 287, draw);   // password box
        headless::type(password, draw);
    }

    void sign_in_as(const char* name) {
        support::on(*srv, "POST", "/v1/auth/login",
                    Reply{200, {}, std::string("{\"access_token\":\"ACCESS\",\"expires_at\":") +
                                       std::to_string(backend::unix_now() + 3600) +
                                       ",\"refresh_token\":\"REFRESH\",\"account\":{\"id\":4,\"name\":\"" + name + "\"}}"});
        fill_form("ada@example.com", "hunter22");
        headless::key(gfx::Key_Enter, draw);
        ASSERT_TRUE(frames_until([&] { return state.tab == Tab::Play; }));
    }
};

}  // namespace

TEST_F(Screens, EnterSendsExactlyTheLoginBody) {
    support::on(*srv, "POST", "/v1/auth/login", Reply{401, {}, "{\"error\":\"invalid_credentials\"}"});
    fill_form("ada@example.com", "hunter22");
    headless::key(gfx::Key_Enter, draw);
    ASSERT_TRUE(support::wait_for_requests(*srv, 1, 5000));
    auto reqs = support::requests(*srv);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].path(), "/v1/auth/login");
    EXPECT_EQ(reqs[0].body, "{\"email\":\"ada@example.com\",\"password\":\"hunter22\"}");
    EXPECT_EQ(reqs[0].header("Authorization"), nullptr);

    // The failure lands on the form's message line with the table's sentence.
    ASSERT_TRUE(frames_until([&] { return !state.signing_in; }));
    headless::frame(draw);
    const gfx::Drawn_Text* msg = headless::find_text("That email and password don't match an account.");
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->pos.y, 250 + 132);
    EXPECT_EQ(state.tab, Tab::Sign_In);
}

TEST_F(Screens, EnterWithAltHeldSendsNothing) {
    fill_form("ada@example.com", "hunter22");
    headless::key(gfx::Key_Enter, draw, false, true);
    headless::key(gfx::Key_Kp_Enter, draw, false, true);
    headless::frame(draw);
    EXPECT_FALSE(state.signing_in);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(support::requests(*srv).empty());
}

TEST_F(Screens, ThePasswordBoxTakesFocusOnThePressAndTyping) {
    gfx::inject_mouse_move(670, 287);
    gfx::inject_mouse_button(gfx::Mouse_Left, true);
    headless::frame(draw);
    EXPECT_TRUE(ui::focused({660, 268, 352, 38}));   // on the press, as the email box
    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    headless::frame(draw);
    headless::type("hunter22", draw);
    EXPECT_EQ(std::string(state.password.chars, size_t(state.password.length)), "hunter22");
}

TEST_F(Screens, RequestsOnASessionClientThatNeverStartedFailAtOnce) {
    backend::session_destroy(state.session);   // as when the client could not start
    ASSERT_FALSE(state.session.client.ready);
    const std::string unreachable = backend::sign_in_message("unreachable");

    fill_form("ada@example.com", "hunter22");
    headless::key(gfx::Key_Enter, draw);
    ASSERT_TRUE(frames_until([&] { return !state.signing_in; }));
    EXPECT_EQ(state.error, unreachable);

    set_error(state, "");
    state.tab = Tab::Play;
    backend::session_resume(state.session, "SAVED");
    state.signing_in = true;
    ASSERT_TRUE(frames_until([&] { return !state.signing_in; }));
    EXPECT_EQ(state.tab, Tab::Sign_In);
    EXPECT_EQ(state.error, unreachable);
    EXPECT_EQ(state.session.refresh_token, "SAVED");   // offline keeps the saved sign-in

    maps_download(state.maps, state.session.client,
                  Map_Entry{.id = 7, .name = "Keep", .description = "", .author = {}, .file_sha256 = ""});
    ASSERT_TRUE(frames_until([&] { return !maps_busy(state.maps); }));
    EXPECT_EQ(state.maps.message, msg_download_failed);
}

TEST_F(Screens, NothingIsSentWithoutEmailOrPassword) {
    headless::click(670, 287, draw);
    headless::type("hunter22", draw);
    headless::key(gfx::Key_Enter, draw);
    EXPECT_FALSE(state.signing_in);
    EXPECT_EQ(state.session.pending_kind, backend::Auth_Kind::None);
}

TEST_F(Screens, CreateModeSendsTheNameAndMovesThePasswordRowDown) {
    headless::frame(draw);
    ASSERT_NE(headless::find_text("New here? Create an account"), nullptr);
    headless::click(700, 250 + 162 + 18, draw);
    ASSERT_TRUE(state.create_mode);
    headless::frame(draw);
    ASSERT_NE(headless::find_text("CREATE AN ACCOUNT"), nullptr);
    EXPECT_EQ(headless::find_text("PASSWORD")->pos.y, 320);
    ASSERT_NE(headless::find_text("Have an account? Sign in"), nullptr);
    EXPECT_EQ(headless::find_text("Forgot your password?"), nullptr);

    headless::click(670, 217, draw);
    headless::type("new@example.com", draw);
    headless::click(670, 287, draw);
    headless::type("Ada Q", draw);
    headless::click(670, 357, draw);
    headless::type("longpassword", draw);
    headless::click(700, 320 + 76 + 22, draw);   // "Create account"
    ASSERT_TRUE(support::wait_for_requests(*srv, 1, 5000));
    auto reqs = support::requests(*srv);
    EXPECT_EQ(reqs[0].path(), "/v1/auth/register");
    EXPECT_EQ(reqs[0].body, "{\"email\":\"new@example.com\",\"password\":\"longpassword\",\"name\":\"Ada Q\"}");
}

TEST_F(Screens, PasswordKeepsAtMost128PrintableCharacters) {
    support::on(*srv, "POST", "/v1/auth/login", Reply{401, {}, "{}"});
    fill_form("a@b.c", std::string(129, 'p').c_str());
    headless::type("é", draw);
    EXPECT_EQ(state.password.length, 128);
    headless::key(gfx::Key_Enter, draw);
    ASSERT_TRUE(support::wait_for_requests(*srv, 1, 5000));
    EXPECT_EQ(support::requests(*srv)[0].body, "{\"email\":\"a@b.c\",\"password\":\"" + std::string(128, 'p') + "\"}");
}

TEST_F(Screens, BusyButtonReadsWorkingAndIgnoresClicks) {
    Reply stalled;
    stalled.stall = true;
    support::on(*srv, "POST", "/v1/auth/login", stalled);
    fill_form("a@b.c", "hunter22");
    headless::key(gfx::Key_Enter, draw);
    headless::frame(draw);
    ASSERT_NE(headless::find_text("Working..."), nullptr);
    headless::click(700, 250 + 76 + 22, draw);
    headless::key(gfx::Key_Enter, draw);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(support::requests(*srv).size(), 1u);
}

TEST_F(Screens, SignedInThePlayTabShowsTheAccountName) {
    sign_in_as("Ada");
    headless::frame(draw);
    const gfx::Drawn_Text* who = headless::find_text("Ada");
    ASSERT_NE(who, nullptr);
    EXPECT_EQ(who->pos.y, 22);
    EXPECT_EQ(launcher::account_load(), "REFRESH");   // the new refresh token was saved
}

TEST_F(Screens, SaveSendsTheEscapedNameWithTheBearerToken) {
    sign_in_as("Ada");
    support::on(*srv, "PATCH", "/v1/me", Reply{200, {}, "{}"});
    headless::click(600, 32, draw);   // the Account tab
    ASSERT_EQ(state.tab, Tab::Account);
    strcpy(state.rename, "Ada \"Q\"\x01");
    headless::click(450, 231, draw);   // Save
    ASSERT_TRUE(support::wait_for_requests(*srv, 2, 5000));
    auto reqs = support::requests(*srv);
    EXPECT_EQ(reqs[1].method, "PATCH");
    EXPECT_EQ(reqs[1].path(), "/v1/me");
    EXPECT_EQ(reqs[1].body, "{\"name\":\"Ada \\\"Q\\\"\"}");
    ASSERT_NE(reqs[1].header("Authorization"), nullptr);
    EXPECT_EQ(*reqs[1].header("Authorization"), "Bearer ACCESS");

    ASSERT_TRUE(frames_until([&] { return state.rename_id == 0; }));
    headless::frame(draw);
    EXPECT_NE(headless::find_text_containing("Name changed: it shows in games from your next sign-in."), nullptr);
    EXPECT_EQ(state.rename[0], 0);
    EXPECT_NE(headless::find_text("Ada \"Q\""), nullptr);   // the header shows the new name at once
}

TEST_F(Screens, AFailedRenameSaysWhyInRedAndKeepsTheBox) {
    sign_in_as("Ada");
    state.tab = Tab::Account;
    struct Case { int status; const char* message; } cases[] = {
        {400, "That name isn't allowed. Names are 3 to 32 characters."},
        {503, "Tarnwick couldn't change the name just now (server error). Try again in a minute."},
    };
    for (const Case& c : cases) {
        support::on(*srv, "PATCH", "/v1/me", Reply{c.status, {}, "{\"error\":\"bad_name\"}"});
        state.account_message.clear();
        strcpy(state.rename, "x");
        headless::click(450, 231, draw);
        ASSERT_TRUE(frames_until([&] { return state.rename_id == 0 && !state.account_message.empty(); }));
        EXPECT_EQ(state.account_message, c.message);
        EXPECT_FALSE(state.account_message_good);
        EXPECT_STREQ(state.rename, "x");
        EXPECT_EQ(state.session.account_name, "Ada");
    }
    backend::Response none;   // no answer at all
    on_rename_answer(state, none);
    EXPECT_EQ(state.account_message, "Couldn't reach Tarnwick, so the name wasn't changed. Check your connection.");
}

TEST_F(Screens, SignOutWithoutARefreshTokenSendsNothing) {
    state.tab = Tab::Account;
    state.session.phase = backend::Session_Phase::Signed_In;
    headless::click(100, 342, draw);   // Sign out asks first
    EXPECT_TRUE(state.confirm_sign_out);
    EXPECT_EQ(state.session.phase, backend::Session_Phase::Signed_In);
    headless::click(666, 386, draw);   // and the question's Sign out signs out
    EXPECT_EQ(state.tab, Tab::Sign_In);
    EXPECT_EQ(state.session.phase, backend::Session_Phase::Signed_Out);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(support::requests(*srv).empty());
}

TEST_F(Screens, SignOutSendsLogoutAndForgetsTheSavedAccount) {
    sign_in_as("Ada");
    state.tab = Tab::Account;
    headless::click(100, 342, draw);
    headless::click(666, 386, draw);
    EXPECT_EQ(state.tab, Tab::Sign_In);
    EXPECT_EQ(launcher::account_load(), "");
    ASSERT_TRUE(support::wait_for_requests(*srv, 2, 5000));
    auto reqs = support::requests(*srv);
    EXPECT_EQ(reqs[1].path(), "/v1/auth/logout");
    EXPECT_EQ(reqs[1].body, "{\"refresh_token\":\"REFRESH\"}");
}

// The controls a screen's Tab order passes, by name.
struct Named { const char* name; gfx::Rect r; };
const Named controls[] = {
    {"email", {660, 198, 352, 38}},     {"name", {660, 268, 352, 38}},
    {"password", {660, 268, 352, 38}},  {"password (create)", {660, 338, 352, 38}},
    {"show", {1016, 268, 64, 38}},      {"show (create)", {1016, 338, 64, 38}},
    {"sign in", {660, 326, 352, 44}},   {"create account", {660, 396, 352, 44}},
    {"to create", {660, 412, 352, 36}}, {"forgot", {660, 454, 352, 36}},
    {"to sign in", {660, 482, 352, 36}},
    {"tab play", {330, 14, 120, 36}},   {"tab maps", {456, 14, 120, 36}},   {"tab account", {582, 14, 120, 36}},
    {"rename", {52, 212, 340, 38}},     {"save", {402, 212, 122, 38}},
    {"account page", {52, 270, 220, 40}}, {"sign out", {52, 322, 220, 40}},
    {"install", {716, 200, 332, 64}},   {"change folder", {716, 272, 200, 36}},
    {"search", {28, 140, 300, 36}},     {"browse", {28, 90, 130, 34}},      {"my maps", {164, 90, 130, 34}},
};

std::string focused_control(Tab tab, bool create) {
    for (const Named& c : controls) {
        std::string n = c.name;
        // Places two screens share: the name the screen in front gives it.
        if (tab != Tab::Sign_In && (n == "email" || n == "name" || n == "password")) continue;
        if (create ? n == "password" : n == "name") continue;
        if (ui::focused(c.r)) return n;
    }
    return "none";
}

TEST_F(Screens, EveryScreenOpensOnItsFirstFieldAndTabWalksItsControlsInOrder) {
    struct Case {
        Tab tab;
        bool create;
        const char* email;
        const char* opens;
        std::vector<const char*> tabs;   // the focus after each Tab
        std::vector<const char*> back;   // then after each Shift+Tab
    } cases[] = {
        {Tab::Sign_In, false, "", "email", {"password", "show", "sign in", "to create", "forgot", "email"}, {"forgot"}},
        {Tab::Sign_In, false, "ada@example.com", "password", {"show"}, {"password", "email"}},
        {Tab::Sign_In, true, "", "email",
         {"name", "password (create)", "show (create)", "create account", "to sign in", "email"}, {"to sign in"}},
        {Tab::Account, false, "", "none", {"tab play", "tab maps", "tab account", "rename", "save", "account page", "sign out"}, {}},
        {Tab::Play, false, "", "none", {"tab play", "tab maps", "tab account", "install", "change folder"}, {"install"}},
        {Tab::Maps, false, "", "none", {"tab play", "tab maps", "tab account", "browse", "my maps", "search"}, {}},
    };
    for (const Case& c : cases) {
        state.tab = c.tab;
        state.create_mode = c.create;
        strcpy(state.email, c.email);
        state.sign_in_shown = false;   // the screen opens again
        ui::clear_focus();
        headless::frame(draw);
        headless::frame(draw);
        std::string where = std::to_string(int(c.tab)) + (c.create ? " create " : " ") + c.email;
        EXPECT_EQ(focused_control(c.tab, c.create), c.opens) << where;
        // The focus moves as the frame after the key begins.
        for (const char* name : c.tabs) {
            headless::key(gfx::Key_Tab, draw);
            headless::frame(draw);
            EXPECT_EQ(focused_control(c.tab, c.create), name) << where;
        }
        for (const char* name : c.back) {
            headless::key(gfx::Key_Tab, draw, false, false, true);
            headless::frame(draw);
            EXPECT_EQ(focused_control(c.tab, c.create), name) << where;
        }
    }
}

TEST_F(Screens, CreateAnAccountTakesTypingWithTabsInTheRightFields) {
    headless::frame(draw);
    headless::click(700, 430, draw);   // "New here? Create an account"
    ASSERT_TRUE(state.create_mode);
    for (const char* part : {"new@tarnwick.test", "\t", "New Player", "\t", "secretpw1"}) {
        if (*part == '\t') headless::key(gfx::Key_Tab, draw);
        else headless::type(part, draw);
    }
    EXPECT_STREQ(state.email, "new@tarnwick.test");
    EXPECT_STREQ(state.new_name, "New Player");
    EXPECT_EQ(std::string(state.password.chars, size_t(state.password.length)), "secretpw1");
}

TEST_F(Screens, KeysPressTheFocusedButtonChangeTabsAndCloseTheQuestion) {
    headless::frame(draw);
    ui::set_focus({660, 412, 352, 36});   // "New here? Create an account"
    headless::key(gfx::Key_Space, draw);
    headless::frame(draw);
    EXPECT_TRUE(state.create_mode);
    EXPECT_TRUE(ui::focused({660, 198, 352, 38}));   // the new form opens on its email field
    EXPECT_EQ(state.signing_in, false);

    state.tab = Tab::Play;
    struct Step { bool shift; Tab after; } steps[] = {{false, Tab::Maps}, {false, Tab::Account}, {false, Tab::Play}, {true, Tab::Account}};
    for (const Step& s : steps) {
        headless::key(gfx::Key_Tab, draw, true, false, s.shift);
        EXPECT_EQ(state.tab, s.after);
    }

    state.patcher.installed = "1.0.0";
    ui::set_focus({52, 322, 220, 40});   // Sign out, then Check files, then Uninstall game
    headless::frame(draw);
    for (int i = 0; i < 2; ++i) {
        headless::key(gfx::Key_Tab, draw);
        headless::frame(draw);
    }
    headless::key(gfx::Key_Enter, draw);
    headless::frame(draw);
    ASSERT_TRUE(state.confirm_uninstall);
    EXPECT_TRUE(ui::focused({354, 366, 160, 40}));   // on Cancel, the safe answer
    headless::key(gfx::Key_Escape, draw);
    EXPECT_FALSE(state.confirm_uninstall);
}

TEST_F(Screens, TypingEmailTabPasswordEnterSignsIn) {
    support::on(*srv, "POST", "/v1/auth/login", Reply{401, {}, "{}"});
    headless::type("demo@tarnwick.te", draw);   // the email box has the focus as the screen opens
    // A fast typist: the end of the email, Tab and the start of the password within one frame.
    gfx::inject_text("st");
    gfx::inject_key(gfx::Key_Tab, true);
    gfx::inject_key(gfx::Key_Tab, false);
    gfx::inject_text("tarn");
    headless::frame(draw);
    headless::frame(draw);
    headless::key(gfx::Key_Enter, draw);
    ASSERT_TRUE(support::wait_for_requests(*srv, 1, 5000));
    EXPECT_EQ(support::requests(*srv)[0].body, "{\"email\":\"demo@tarnwick.test\",\"password\":\"tarn\"}");
    ASSERT_TRUE(frames_until([&] { return !state.signing_in; }));
    ui::set_focus({660, 198, 352, 38}, false);   // the email box
    state.password = ui::Secret{};
    headless::key(gfx::Key_Enter, draw);        // no password yet: Enter goes on to it
    EXPECT_TRUE(ui::focused({660, 268, 352, 38}));
    headless::type("tarnwick", draw);
    headless::key(gfx::Key_Tab, draw, false, false, true);
    headless::key(gfx::Key_Tab, draw);
    headless::type("-demo", draw);
    headless::key(gfx::Key_Enter, draw);
    ASSERT_TRUE(support::wait_for_requests(*srv, 2, 5000));
    EXPECT_EQ(support::requests(*srv)[1].body,
              "{\"email\":\"demo@tarnwick.test\",\"password\":\"tarnwick-demo\"}");
}

TEST_F(Screens, TabFocusesTheRenameBoxWhichTakes32CharactersAndEnterSaves) {
    sign_in_as("Ada");
    support::on(*srv, "PATCH", "/v1/me", Reply{200, {}, "{}"});
    state.tab = Tab::Account;
    headless::frame(draw);
    headless::type("stray", draw);   // no field chosen: nothing takes it
    EXPECT_EQ(state.rename[0], 0);
    ui::set_focus({52, 212, 340, 38});
    headless::frame(draw);
    headless::type(std::string(33, 'n'), draw);
    EXPECT_EQ(std::string(state.rename), std::string(32, 'n'));   // the backend's limit
    headless::key(gfx::Key_Enter, draw);
    ASSERT_TRUE(support::wait_for_requests(*srv, 2, 5000));
    EXPECT_EQ(support::requests(*srv)[1].body, "{\"name\":\"" + std::string(32, 'n') + "\"}");
}

TEST_F(Screens, NewsComeInThePlayersLanguageOrElseTheOnesEveryoneGets) {
    const std::string everyone = R"({"news":[{"title":"Winter update","date":"2025-01-28","body":"B"}]})";
    const std::string german = R"({"news":[{"title":"Winterupdate","date":"2025-01-28","body":"B"}]})";
    struct Case { const char* language; bool german_there; const char* asked; const char* title; } cases[] = {
        {"de", true, "/news.de.json", "Winterupdate"},
        {"de", false, "/news.de.json /news.json", "Winter update"},
        {"en", true, "/news.json", "Winter update"},
        {"pseudo", true, "/news.json", "Winter update"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        support::on(*srv, "GET", "/news.json", Reply{200, {}, everyone});
        support::on(*srv, "GET", "/news.de.json", c.german_there ? Reply{200, {}, german} : Reply{404, {}, R"({"error":"not_found"})"});
        state.news.clear();
        size_t before = support::requests(*srv).size();
        ask_news(state, c.language);
        ASSERT_TRUE(frames_until([&] { return state.news_req == 0 && !state.news.empty(); }));
        std::vector<support::Recorded_Request> seen = support::requests(*srv);
        std::string asked;
        for (size_t i = before; i < seen.size(); ++i) asked += (asked.empty() ? "" : " ") + seen[i].path();
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(state.news[0].title, c.title);
    }
}
