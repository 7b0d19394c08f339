// The demo game: a stand-in for Tarnwick that behaves towards the launcher as the real game
// does. It reads the saved account, renews the session once with the backend and writes the new
// refresh token back, shows who is playing, and ends when its window closes (or after
// TARNWICK_GAME_SECONDS seconds, for tests). The backend's base URL comes from "backend.txt"
// beside the executable, which the demo release carries.
#include "backend/session.h"
#include "gfx/gfx.h"
#include "launcher/account.h"
#include "platform/files.h"
#include "platform/system.h"
#include "ui/ui.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

static std::string read_backend() {
    std::string folder = platform::parent_folder(platform::executable_path());
    std::string url;
    platform::read_file(platform::join_path(folder, "backend.txt"), url);
    while (!url.empty() && (url.back() == '\n' || url.back() == '\r' || url.back() == ' ')) url.pop_back();
    return url;
}

// Renews the session once, waiting at most ten seconds for the answer.
static std::string renew(const std::string& backend_url, std::string& name) {
    std::string token = launcher::account_load();
    if (token.empty() || backend_url.empty()) return "no saved account";
    backend::Session s;
    if (!backend::session_init(s, backend_url)) return "no network";
    backend::session_resume(s, token);
    std::string result = "couldn't renew the session";
    for (int i = 0; i < 1000 && s.phase == backend::Session_Phase::Working; i++) {
        unsigned events = backend::session_update(s, backend::unix_now());
        if (events & backend::Event_Signed_In) {
            name = s.account_name;
            result = "";
        }
        if (events & backend::Event_Failed) result = "sign-in refused (" + s.error + ")";
        if (s.save_needed) {
            launcher::account_save(s.refresh_token);
            s.save_needed = false;
        }
        if (s.phase == backend::Session_Phase::Working) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    backend::session_destroy(s);
    return result;
}

int main() {
    std::string name;
    std::string problem = renew(read_backend(), name);
    if (!problem.empty()) fprintf(stderr, "demo game: %s\n", problem.c_str());
    else fprintf(stderr, "demo game: signed in as %s\n", name.c_str());

    double limit = 0;
    if (const char* s = getenv("TARNWICK_GAME_SECONDS")) limit = atof(s);

    if (!gfx::open_window(800, 450, "Tarnwick (demo game)")) return 1;
    ui::load_theme();
    while (!gfx::close_requested() && (limit <= 0 || gfx::time() < limit)) {
        gfx::begin_frame();
        ui::begin_frame();
        ui::draw_backdrop(gfx::time());
        ui::draw_text("TARNWICK", 60, 120, 96, ui::text_color, ui::Face_Title);
        gfx::fill_rect({60, 226, 160, 6}, ui::amber);
        std::string line = name.empty() ? "Playing offline: " + problem : "Playing as " + name;
        ui::draw_text(line, 60, 260, 28, ui::text_color);
        ui::draw_text("This is the demo game. Close the window to return to the launcher.", 60, 300, 18, ui::grey, ui::Face_Body);
        gfx::end_frame();
    }
    ui::unload_theme();
    gfx::close_window();
    return 0;
}
