// The Account tab: the player's name, renaming, the account page and signing out.
#include "launcher/account.h"
#include "launcher/launcher.h"
#include "launcher/panels.h"
#include "launcher/settings.h"

#include "backend/json.h"
#include "backend/requests.h"
#include "gfx/gfx.h"

namespace launcher {

static std::string base_without_slashes(std::string_view url) {
    while (!url.empty() && url.back() == '/') url.remove_suffix(1);
    return std::string(url);
}

static void save_name(Launcher& state) {
    if (state.rename[0] == 0 || state.rename_id != 0) return;
    std::string body = "{\"name\":\"" + json::json_escape(state.rename) + "\"}";
    backend::Session& s = state.session;
    if (s.phase != backend::Session_Phase::Signed_In) return;
    backend::set_token(s.client, s.access_token);
    state.rename_id = backend::request_typed(s.client, backend::req_rename.method, backend::req_rename.path, body);
}

// Signing out pauses the game's download (nobody is signed in to see it); the next sign-in
// goes on with it.
static void sign_out(Launcher& state) {
    Patcher& p = state.patcher;
    if (p.state == Patch_State::Downloading && !p.paused) {
        patcher_pause(p);
        state.resume_at_sign_in = true;
    }
    backend::session_sign_out(state.session);
    account_save("");
    state.session.save_needed = false;
    state.tab = Tab::Sign_In;
}

static constexpr gfx::Rect sign_out_cancel{354, 366, 160, 40};

void draw_sign_out_confirm(Launcher& state) {
    gfx::Rect panel{330, 220, 440, 210};
    draw_dialog(panel);
    ui::draw_text(tr("SIGN OUT?"), 354, 242, 26, ui::text_color, ui::Face_Title);
    bool downloading = state.patcher.state == Patch_State::Downloading && !state.patcher.paused;
    ui::wrap_text(downloading ? tr("You sign in again with your email and password. The game's download pauses "
                                   "until you do.")
                              : tr("You sign in again with your email and password."),
                  354, 286, 392, 15, ui::grey);
    if (ui::nav_button(sign_out_cancel, tr("Cancel")) || gfx::input().key_pressed[gfx::Key_Escape]) {
        state.confirm_sign_out = false;
        return;
    }
    if (ui::button({586, 366, 160, 40}, tr("Sign out"))) {
        state.confirm_sign_out = false;
        sign_out(state);
    }
}

// The Language choice: the language in force, by its own name; a press (or Enter on it) moves to
// the next compiled one, applies it from the next frame and keeps it in the settings.
static void draw_language_choice(Launcher& state, float y) {
    const std::vector<lang::Language>& all = lang::languages();
    std::string now = lang::current();
    size_t at = all.size();
    for (size_t k = 0; k < all.size(); ++k)
        if (all[k].code == now) at = k;
    ui::caption(tr("LANGUAGE"), 52, y);
    std::string shown = at < all.size() ? all[at].name : now;
    if (!ui::nav_button({52, y + 18, 300, 40}, shown) || all.size() < 2) return;
    const lang::Language& next = all[at < all.size() ? (at + 1) % all.size() : 0];
    lang::use_language(next.code);
    Settings s = settings_load();
    s.language = next.code;
    settings_save(s);
    ask_news(state, next.code);
}

void draw_account(Launcher& state) {
    draw_panel(account_panels[0]);
    const std::string& name = state.session.account_name;
    // A wide name is shortened rather than run into the install panel.
    ui::draw_text(name.empty() ? std::string("...") : ui::shortened(name, 472, 30), 52, 110, 30, ui::text_color);

    ui::caption(tr("CHANGE YOUR NAME"), 52, 194);
    bool save = ui::text_box({52, 212, 340, 38}, state.rename, sizeof state.rename);   // Enter saves
    // TRANSLATORS: a short button beside the name field: saves the new name.
    if (ui::button({402, 212, 122, 38}, tr("Save")) || save) save_name(state);
    std::string_view orders = tr("Orders and account page");
    if (ui::nav_button({52, 270, ui::button_width(orders, 40, 220), 40}, orders))
        gfx::open_url(base_without_slashes(state.backend) + "/account.html");
    if (ui::nav_button({52, 322, 220, 40}, tr("Sign out"))) {
        state.confirm_sign_out = true;
        ui::set_focus(sign_out_cancel);   // the question opens on its safe answer
    }
    if (!state.account_message.empty())
        ui::wrap_text(state.account_message, 52, 380, 472, 15, state.account_message_good ? ui::good : ui::bad);

    draw_install_panel(state);
    // Drawn last so that Tab reaches it after the install panel's controls, as before it came.
    draw_language_choice(state, 560);
}

}  // namespace launcher
