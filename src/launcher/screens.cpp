// The frame chrome (backdrop, header with the tab bar) and the choice of screen.
#include "launcher/launcher.h"
#include "launcher/panels.h"
#include "launcher/uninstall.h"

#include "gfx/gfx.h"

#include <cstdio>

namespace launcher {

static void draw_header(Launcher& state) {
    gfx::fill_rect({0, 0, 1100, 64}, {0x0A, 0x0C, 0x10, 230});
    gfx::fill_rect({0, 64, 1100, 2}, ui::amber);
    ui::draw_text("TARNWICK", 28, 16, 34, ui::text_color, ui::Face_Title);

    struct Entry { const char* label; Tab tab; float x; };
    // TRANSLATORS: the three tabs of the header; each has 120 pixels.
    static const Entry entries[] = {{N_("Play"), Tab::Play, 330}, {N_("Maps"), Tab::Maps, 456}, {N_("Account"), Tab::Account, 582}};
    Tab next = state.tab;
    for (const Entry& e : entries) {
        gfx::Rect r{e.x, 14, 120, 36};
        if (state.tab == e.tab) ui::button(r, tr(e.label));   // the current tab: clicking it does nothing
        else if (ui::nav_button(r, tr(e.label))) next = e.tab;
    }
    // Ctrl+Tab and Ctrl+Shift+Tab step through the tabs, wrapping around.
    if (int step = ui::page_step(); step != 0) next = Tab((int(state.tab) - 1 + step + 3) % 3 + 1);

    bool signed_in = state.session.phase == backend::Session_Phase::Signed_In;
    std::string_view who = signed_in ? std::string_view(state.session.account_name) : tr("Signing in...");
    bool downloading = state.patcher.state == Patch_State::Downloading;
    // A long name stays clear of the tabs, and of the download's progress while it shows.
    std::string shown = ui::shortened(who, downloading ? 200 : 340, 18);
    float w = ui::measure_text(shown, 18).x;
    ui::draw_text(shown, 1072 - w, 22, 18, ui::grey);
    if (downloading) {   // on every tab: the download goes on whichever the player looks at
        float fraction = patcher_progress(state.patcher);
        // TRANSLATORS: the header's download state; %1$s is the percentage done.
        std::string line = fmt(state.patcher.paused ? tr("Paused %1$s%%") : tr("Downloading %1$s%%"),
                               {std::to_string(int(fraction * 100))});
        float right = 1072 - w - 20, lw = ui::measure_text(line, 15, ui::Face_Body).x;
        ui::draw_text(line, right - lw, 16, 15, ui::text_color, ui::Face_Body);
        gfx::fill_rect({right - 110, 40, 110, 4}, {0x3A, 0x3E, 0x48, 255});
        gfx::fill_rect({right - 110, 40, 110 * fraction, 4}, ui::amber);
    }
    state.tab = next;   // the new tab draws from the next frame on
}

static void draw_tab(Launcher& state) {
    if (state.tab == Tab::Sign_In) {
        draw_sign_in(state);
        return;
    }
    state.sign_in_shown = false;   // the next time it opens, it sets its focus again
    Tab showing = state.tab;
    draw_header(state);
    switch (showing) {
    case Tab::Play: draw_play(state); break;
    case Tab::Maps: draw_maps(state); break;
    case Tab::Account: draw_account(state); break;
    case Tab::Sign_In: break;
    }
}

// A download that ends with the game in place says so on the status line.
static void notice_finished(Launcher& state) {
    Patch_State now = state.patcher.state;
    if (state.was_downloading && now == Patch_State::Ready) say(state, std::string(tr("Tarnwick is installed and ready to play.")), true);
    state.was_downloading = now == Patch_State::Downloading;
}

// The panels of the screen on show, painted with the backdrop.
static std::span<const gfx::Rect> panels_of(const Launcher& state) {
    switch (state.tab) {
    case Tab::Play: return play_panels;
    case Tab::Account: return account_panels;
    case Tab::Maps: return state.maps.mine ? std::span<const gfx::Rect>(my_maps_panels) : browse_panels;
    case Tab::Sign_In: break;
    }
    return {};
}

void draw_screens(Launcher& state) {
    notice_finished(state);
    ui::draw_backdrop(gfx::time(), panels_of(state));
    // A dialog takes the input from the frame after it opened (the click that opened it is over
    // by then); the screen behind it is drawn with every widget locked.
    bool browsing = state.browser.open, confirming = state.confirm_uninstall || state.confirm_sign_out;
    if (!browsing && !confirming) {
        draw_tab(state);
        return;
    }
    bool was_locked = ui::locked();
    ui::lock();
    draw_tab(state);
    if (!was_locked) ui::unlock();
    if (browsing) draw_folder_browser(state);
    else if (state.confirm_uninstall) draw_uninstall_confirm(state);
    else draw_sign_out_confirm(state);
}

}  // namespace launcher
