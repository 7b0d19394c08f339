// The sign-in screen: sign in or create an account.
#include "launcher/launcher.h"
#include "launcher/panels.h"

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

static constexpr gfx::Rect email_box{660, 198, 352, 38};
static constexpr gfx::Rect name_box{660, 268, 352, 38};
// The Show / Hide control beside it keeps the form's right edge: a longer word narrows the box.
static gfx::Rect password_box(float row) { return {660, row + 18, 352 - (ui::secret_toggle_width(38) - 64), 38}; }

// The screen, and each switch between signing in and creating an account, opens with the first
// field still to fill focused, so that what is typed first lands where it belongs.
static void opening_focus(Launcher& state, float row) {
    if (state.sign_in_shown && state.create_shown == state.create_mode) return;
    state.sign_in_shown = true;
    state.create_shown = state.create_mode;
    if (state.email[0] == 0) ui::set_focus(email_box);
    else if (state.create_mode && state.new_name[0] == 0) ui::set_focus(name_box);
    else ui::set_focus(password_box(row));
}

void draw_sign_in(Launcher& state) {
    float row = state.create_mode ? 320 : 250;
    opening_focus(state, row);
    ui::draw_text("TARNWICK", 64, 120, 72, ui::text_color, ui::Face_Title);
    gfx::fill_rect({64, 206, 120, 5}, ui::amber);
    // The skyline's tiles pass behind the footer and the form: both sit on a backing that keeps
    // their text readable over the brightest tile.
    std::string_view steam = tr("On Steam? Start the game from Steam: you're signed in for you.");
    draw_panel({52, 600, ui::measure_text(steam, 16).x + 24, 36});
    ui::draw_text(steam, 64, 610, 16, ui::grey);
    draw_panel({636, 112, 452, 540});

    ui::draw_text(state.create_mode ? tr("CREATE AN ACCOUNT") : tr("SIGN IN"), 660, 130, 26, ui::text_color, ui::Face_Title);

    ui::caption(tr("EMAIL"), 660, 180);
    ui::text_box(email_box, state.email, sizeof state.email);
    if (state.create_mode) {
        ui::caption(tr("NAME OTHER PLAYERS SEE"), 660, 250);
        ui::text_box(name_box, state.new_name, sizeof state.new_name);
    }
    ui::caption(tr("PASSWORD"), 660, row);
    ui::secret_box(password_box(row), state.password);

    std::string_view label = state.signing_in ? tr("Working...") : state.create_mode ? tr("Create account") : tr("Sign in");
    bool clicked = ui::button({660, row + 76, 352, 44}, label);
    bool enter = ui::enter_pressed();
    if (enter && !clicked && state.password.length == 0 && state.email[0] != 0) {
        ui::set_focus(password_box(row));   // Enter after the email goes on to the password
    } else if (clicked || enter) {
        submit(state);
    }

    if (!state.error.empty()) ui::draw_text(state.error, 660, row + 132, 15, ui::bad, ui::Face_Body);
    // The backend asked for a small proof of work first: the launcher is solving it.
    else if (state.session.search) ui::draw_text(tr("Signing in..."), 660, row + 132, 15, ui::grey, ui::Face_Body);
    float links = row + 162 + draw_play_offline(state, row + 160);   // moves down under the offer

    if (ui::nav_button({660, links, 352, 36}, state.create_mode ? tr("Have an account? Sign in") : tr("New here? Create an account")))
        state.create_mode = !state.create_mode;
    if (!state.create_mode && ui::nav_button({660, links + 42, 352, 36}, tr("Forgot your password?")))
        gfx::open_url(trim_slashes(state.backend) + "/account.html#forgot");
}

}  // namespace launcher
