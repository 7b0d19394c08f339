// The sign-in screen: sign in or create an account.
#include "launcher/launcher.h"

#include "backend/json.h"
#include "gfx/gfx.h"
#include "launcher/device_tokens.h"

namespace launcher {

static std::string trim_slashes(std::string_view url) {
    while (!url.empty() && url.back() == '/') url.remove_suffix(1);
    return std::string(url);
}

static void submit(Launcher& state) {
    if (state.signing_in || state.email[0] == 0 || state.password.length == 0) return;
    state.signing_in = true;
    set_error(state, "");
    std::string_view password(state.password.chars, size_t(state.password.length));
    // A device token goes along only where one is kept: otherwise the sign-in is just these two.
    std::string device = state.create_mode ? std::string() : device_token_load(state.email);
    std::string body = state.create_mode
        ? json::json_body({"email", state.email, "password", password, "name", state.new_name})
        : device.empty() ? json::json_body({"email", state.email, "password", password})
                         : json::json_body({"email", state.email, "password", password, "device", device});
    state.session.device_email = state.email;
    backend::session_sign_in(state.session, state.create_mode, body);
}

// A box reports a click on it (take the focus), or Enter or a click elsewhere (let it go; Enter
// itself is the form's).
static void toggle_focus(Launcher& state, Focus f) {
    if (state.focus == f && ui::enter_pressed()) return;
    state.focus = state.focus == f ? Focus::None : f;
}

// The screen opens with the first field still to fill focused.
static void opening_focus(Launcher& state) {
    if (state.sign_in_shown) return;
    state.sign_in_shown = true;
    state.focus = state.email[0] != 0 ? Focus::Password : Focus::Email;
}

// Tab and Shift+Tab step through the fields, after the focused one took what was typed before
// the key (the frame's input ends at a Tab), so that typing lands in the field the player chose.
static void tab_focus(Launcher& state) {
    int step = ui::tab_step();
    if (step == 0) return;
    const int plain[] = {int(Focus::Email), int(Focus::Password)};
    const int create[] = {int(Focus::Email), int(Focus::New_Name), int(Focus::Password)};
    state.focus = state.create_mode ? Focus(ui::next_field(create, 3, int(state.focus), step))
                                    : Focus(ui::next_field(plain, 2, int(state.focus), step));
}

void draw_sign_in(Launcher& state) {
    opening_focus(state);
    ui::draw_text("TARNWICK", 64, 120, 72, ui::text_color, ui::Face_Title);
    gfx::fill_rect({64, 206, 120, 5}, ui::amber);
    ui::draw_text("On Steam? Start the game from Steam: you're signed in for you.", 64, 610, 16, ui::grey);

    ui::draw_text(state.create_mode ? "CREATE AN ACCOUNT" : "SIGN IN", 660, 130, 26, ui::text_color, ui::Face_Title);

    ui::caption("EMAIL", 660, 180);
    if (ui::text_box({660, 198, 352, 38}, state.email, sizeof state.email, state.focus == Focus::Email))
        toggle_focus(state, Focus::Email);

    float row = 250;
    if (state.create_mode) {
        ui::caption("NAME OTHER PLAYERS SEE", 660, 250);
        if (ui::text_box({660, 268, 352, 38}, state.new_name, sizeof state.new_name, state.focus == Focus::New_Name))
            toggle_focus(state, Focus::New_Name);
        row = 320;
    }

    ui::caption("PASSWORD", 660, row);
    if (ui::secret_box({660, row + 18, 352, 38}, state.password, state.focus == Focus::Password))
        state.focus = Focus::Password;

    const char* label = state.signing_in ? "Working..." : state.create_mode ? "Create account" : "Sign in";
    bool clicked = ui::button({660, row + 76, 352, 44}, label);
    bool enter = ui::enter_pressed();
    if (enter && !clicked && state.password.length == 0 && state.email[0] != 0) {
        state.focus = Focus::Password;   // Enter after the email goes on to the password
    } else if (clicked || enter) {
        submit(state);
    }

    if (!state.error.empty()) ui::draw_text(state.error, 660, row + 132, 15, ui::bad, ui::Face_Body);
    // The backend asked for a small proof of work first: the launcher is solving it.
    else if (state.session.search) ui::draw_text("Signing in...", 660, row + 132, 15, ui::grey, ui::Face_Body);
    float links = row + 162 + draw_play_offline(state, row + 160);   // moves down under the offer

    if (ui::nav_button({660, links, 352, 36}, state.create_mode ? "Have an account? Sign in" : "New here? Create an account"))
        state.create_mode = !state.create_mode;
    if (!state.create_mode && ui::nav_button({660, links + 42, 352, 36}, "Forgot your password?"))
        gfx::open_url(trim_slashes(state.backend) + "/account.html#forgot");
    tab_focus(state);
}

}  // namespace launcher
