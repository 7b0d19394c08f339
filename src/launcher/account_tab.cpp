// The Account tab: the player's name, renaming, the account page and signing out.
#include "launcher/account.h"
#include "launcher/launcher.h"
#include "launcher/panels.h"

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

static void sign_out(Launcher& state) {
    backend::session_sign_out(state.session);
    account_save("");
    state.session.save_needed = false;
    state.tab = Tab::Sign_In;
}

void draw_account(Launcher& state) {
    draw_panel({28, 90, 524, 562});
    const std::string& name = state.session.account_name;
    // A wide name is shortened rather than run into the install panel.
    ui::draw_text(name.empty() ? std::string("...") : ui::shortened(name, 472, 30), 52, 110, 30, ui::text_color);

    ui::caption("CHANGE YOUR NAME", 52, 194);
    bool save = ui::text_box({52, 212, 340, 38}, state.rename, sizeof state.rename);   // Enter saves
    if (ui::button({402, 212, 122, 38}, "Save") || save) save_name(state);
    if (ui::nav_button({52, 270, 220, 40}, "Orders and account page"))
        gfx::open_url(base_without_slashes(state.backend) + "/account.html");
    if (ui::nav_button({52, 322, 220, 40}, "Sign out")) sign_out(state);
    if (!state.account_message.empty())
        ui::wrap_text(state.account_message, 52, 380, 472, 15, state.account_message_good ? ui::good : ui::bad);

    draw_install_panel(state);
}

}  // namespace launcher
