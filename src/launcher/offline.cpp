#include "launcher/offline.h"

#include "install/record.h"
#include "launcher/launcher.h"

#include "gfx/gfx.h"
#include "platform/system.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

namespace launcher {

double offline_retry_delay(int attempt, double spread) {
    double base = 5 * std::pow(2.0, std::clamp(attempt, 1, 16) - 1);
    // Capped at 50 s before the spread, so that the longest wait stays within a minute and the
    // launchers of a long outage still come back spread over 40 to 60 s.
    return std::min(base, 50.0) * (0.8 + 0.4 * std::clamp(spread, 0.0, 1.0));
}

static double random_spread() {
    static std::mt19937 gen{std::random_device{}()};
    return std::uniform_real_distribution<double>(0, 1)(gen);
}

// The game can start without the backend only when it is there and the install record lists
// its executable: a folder with a stray executable and no finished install is not playable.
static bool game_ready(const std::string& dir) {
    std::string exe = game_exe(dir);
    if (exe.empty()) return false;
    std::string name = platform::file_name(exe);
    for (const Installed_File& f : install_load(dir).files)
        if (f.path == name) return true;
    return false;
}

void offline_on_session(Launcher& state, bool resuming, unsigned events) {
    Offline& o = state.offline;
    const backend::Session& s = state.session;
    if (events & backend::Event_Signed_In) {
        o = Offline{};
        return;
    }
    // A rejected resume or refresh forgets the tokens: the player must sign in again.
    if (s.refresh_token.empty()) {
        o = Offline{};
        return;
    }
    if (!(events & backend::Event_Failed) || !resuming) return;
    // The session kept the token, so the backend did not reject it: it did not answer, or
    // answered with a server error.
    if (!o.offered) {
        if (!game_ready(state.install_dir)) return;
        o.offered = true;
    }
    ++o.attempts;
    o.next_try = gfx::time() + offline_retry_delay(o.attempts, random_spread());
}

void offline_update(Launcher& state) {
    Offline& o = state.offline;
    backend::Session& s = state.session;
    if (!o.offered || state.playing || !s.ok) return;
    if (s.pending_kind != backend::Auth_Kind::None || s.refresh_token.empty() || gfx::time() < o.next_try) return;
    // Quietly: the form stays usable, and a success moves on to the Play tab as a resume does.
    std::string token = s.refresh_token;
    backend::session_resume(s, token);
}

// When the next resume starts, or that one is running; "Try again" starts it now.
static float draw_retry(Launcher& state, float y) {
    Offline& o = state.offline;
    const backend::Session& s = state.session;
    bool trying = s.pending_kind == backend::Auth_Kind::Resume;
    std::string line(tr("Trying again..."));
    if (!trying) {
        int seconds = std::max(1, int(std::ceil(o.next_try - gfx::time())));
        // TRANSLATORS: %1$s is a number of seconds.
        line = fmt(tr("Trying again in %1$s s"), {std::to_string(seconds)});
    }
    ui::draw_text(line, 660, y + 8, 15, ui::grey, ui::Face_Body);
    if (ui::nav_button({892, y, 120, 32}, trying ? tr("Trying...") : tr("Try again"), !trying && !state.playing)) o.next_try = 0;
    // The form above is there to sign in as someone else: the saved sign-in stays as it is.
    ui::draw_text(tr("Your sign-in is kept: you're signed in once Tarnwick answers."), 660, y + 40, 15, ui::grey,
                  ui::Face_Body);
    return 32 + 8 + 24;
}

float draw_play_offline(Launcher& state, float y) {
    if (!state.offline.offered) return 0;
    gfx::Rect r{660, y, 352, 44};
    if (state.playing) ui::nav_button(r, tr("Playing..."), false);
    else if (ui::button(r, tr("Play offline"))) start_game(state);
    float retry = draw_retry(state, y + r.h + 8);
    return r.h + 8 + retry + 12;
}

}  // namespace launcher
