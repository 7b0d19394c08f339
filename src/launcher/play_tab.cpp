// The Play tab (news and the game panel) and the Account tab's install panel.
#include "launcher/account.h"
#include "launcher/launcher.h"
#include "launcher/panels.h"
#include "launcher/uninstall.h"
#include "launcher/words.h"

#include "gfx/gfx.h"
#include "platform/files.h"
#include "platform/system.h"

#include <algorithm>
#include <cstdio>

namespace launcher {

static void draw_news(Launcher& state) {
    draw_panel(play_panels[0]);
    ui::draw_text(tr("NEWS"), 48, 106, 22, ui::text_color, ui::Face_Title);
    if (state.news.empty()) {
        ui::draw_text(tr("Nothing new yet."), 48, 144, 17, ui::grey, ui::Face_Body);
        return;
    }
    // The wheel over the list scrolls it, 40 px a notch, down only while more lies below.
    const gfx::Rect view{28, 140, 644, 508};
    const gfx::Input& in = gfx::input();
    if (!ui::locked() && in.wheel != 0 && in.mouse.x >= view.x && in.mouse.x < view.x + view.w &&
        in.mouse.y >= view.y && in.mouse.y < view.y + view.h) {
        if (in.wheel > 0 || state.news_more) state.news_scroll = std::max(0.0f, state.news_scroll - 40 * in.wheel);
    }
    float y = 144 - state.news_scroll;
    state.news_more = false;
    gfx::begin_clip(view);
    for (const News_Item& item : state.news) {
        if (y > 592) {   // what starts below the panel's foot is not drawn: it is there to scroll to
            state.news_more = true;
            break;
        }
        ui::draw_text(item.title, 48, y, 20, ui::text_color);
        std::string date = news_date(item.date);
        float date_w = ui::measure_text(date, 14).x;
        ui::draw_text(date, 604 - date_w, y + 4, 14, ui::grey);
        y += 26;
        y += ui::wrap_text(item.body, 48, y, 556, 16, ui::grey, 652);   // nothing shows below the panel
        y += 18;
    }
    gfx::end_clip();
    if (y > view.y + view.h) state.news_more = true;
}

void start_game(Launcher& state) {
    // The game signs in with the saved account: hand it the freshest token.
    if (!state.session.refresh_token.empty()) account_save(state.session.refresh_token);
    std::string exe = game_exe(state.install_dir);
    std::string err(tr("no game in the install folder"));
    platform::Process game;
    if (exe.empty() || !platform::start_process(exe, state.install_dir, game, &err)) {
        // TRANSLATORS: %1$s says why, in the system's words.
        say(state, fmt(tr("Couldn't start the game (%1$s)."), {err}), false);
        return;
    }
    state.game = game;
    state.playing = true;
    gfx::minimize_window();
}

// A progress bar over the action area, labelled "WHAT 37%" (the percentage cut toward zero), with
// `sizes` ("120 MB of 302 MB") under the label when given.
// `what` holds the percentage as "%1$s".
static void draw_progress(gfx::Rect area, float fraction, std::string_view what, const std::string& sizes = {}) {
    gfx::fill_rect(area, {0x16, 0x1A, 0x22, 255});
    float done = area.w * fraction;
    // The fill keeps 3:1 against the track; the label over it keeps 4.5:1 on both.
    if (done > 0) gfx::fill_rect({area.x, area.y, done, area.h}, {0x86, 0x60, 0x1A, 255});
    std::string label = fmt(what, {std::to_string(int(fraction * 100))});
    gfx::Vec2 m = ui::measure_text(label, 22);
    float y = sizes.empty() ? area.y + (area.h - 22) / 2 : area.y + 8;
    ui::draw_text(label, area.x + (area.w - m.x) / 2, y, 22, ui::text_color);
    if (sizes.empty()) return;
    float w = ui::measure_text(sizes, 15, ui::Face_Body).x;
    ui::draw_text(sizes, area.x + (area.w - w) / 2, area.y + 38, 15, ui::text_color, ui::Face_Body);
}

std::string download_sizes(const Patcher& p) {
    if (p.check.progress.total <= 0) return {};
    // TRANSLATORS: sizes under the download bar: "120 MB of 302 MB".
    return fmt(tr("%1$s of %2$s"), {human_bytes(double(patcher_progress(p)) * double(p.check.progress.total)),
                                    human_bytes(double(p.check.progress.total))});
}

static std::string release_bytes_text(const Patcher& p) {
    if (!p.has_manifest) return {};
    double total = 0;
    for (const backend::Release_File& f : p.manifest.files) total += double(std::max<int64_t>(0, f.size));
    return total > 0 ? human_bytes(total) : std::string();
}

// The big button of the game panel, decided in this order: the game running, a check the player
// waits for, a download, an installed game ready to play, else the offer to install.
static void draw_action(Launcher& state, gfx::Rect action_area) {
    const Patcher& p = state.patcher;
    // Only a release the install record names can be played: a first install that failed part-way
    // leaves the game's executable without the files it needs.
    bool game_there = !p.installed.empty() && !game_exe(state.install_dir).empty();
    if (state.playing) {
        ui::nav_button(action_area, tr("Playing..."), false);
        return;
    }
    if (p.state == Patch_State::Checking && !(game_there && p.background)) {
        // While the check hashes the files on disk, its own progress, by bytes hashed.
        float checked = patcher_check_progress(p);
        if (checked >= 0) draw_progress(action_area, checked, tr("Checking files %1$s%%"));
        else ui::nav_button(action_area, tr("Checking for updates..."), false);
        return;
    }
    if (p.state == Patch_State::Downloading) {
        // Paused, the bar says so itself, where the player looks.
        draw_progress(action_area, patcher_progress(p), // TRANSLATORS: on the download bar; %1$s is the percentage done.
                      p.paused ? tr("Paused %1$s%%") : tr("Downloading %1$s%%"), download_sizes(p));
        std::string speed = patcher_speed_text(p);
        if (!speed.empty()) ui::draw_text(speed, action_area.x, action_area.y + action_area.h + 10, 15, ui::grey);
        // Pausing lets what is in flight finish, so it never leaves a file half-written.
        gfx::Rect control{action_area.x, action_area.y + action_area.h + 36, 140, 36};
        if (ui::nav_button(control, p.paused ? tr("Resume") : tr("Pause"))) {
            if (p.paused) patcher_resume(state.patcher);
            else patcher_pause(state.patcher);
        }
        return;
    }
    bool playable = p.state == Patch_State::Checking || p.state == Patch_State::Ready || p.state == Patch_State::Failed;
    if (game_there && playable) {
        if (ui::button(action_area, tr("PLAY"))) start_game(state);
        return;
    }
    // An interrupted install says how far it got: the same click goes on from there.
    int on_disk = resume_percent(state);
    std::string size = release_bytes_text(p);
    // TRANSLATORS: %1$s is how much of the game is already on disk, in percent.
    std::string label = on_disk > 0     ? fmt(tr("Resume (%1$s %%)"), {std::to_string(on_disk)})
                        : size.empty() ? std::string(tr("Install"))
                                       // TRANSLATORS: %1$s is the game's size.
                                       : fmt(tr("Install (%1$s)"), {size});
    if (ui::button(action_area, label)) patcher_check(state.patcher, false);
}

static void draw_game_panel(Launcher& state) {
    gfx::Rect panel = play_panels[1];
    draw_panel(panel);
    gfx::fill_rect({panel.x, panel.y, panel.w, 2}, ui::amber);
    ui::draw_text("TARNWICK", 716, 110, 26, ui::text_color, ui::Face_Title);

    const Patcher& p = state.patcher;
    // TRANSLATORS: %1$s is the installed version, or "not installed".
    ui::draw_text(fmt(tr("Installed: %1$s"), {p.installed.empty() ? tr("not installed") : std::string_view(p.installed)}), 716, 144, 15, ui::grey);
    if (p.has_manifest && p.manifest.version != p.installed)
        ui::draw_text(fmt(tr("Latest: %1$s"), {p.manifest.version}), 716, 164, 15, ui::amber);

    gfx::Rect action_area{716, 200, 332, 64};
    draw_action(state, action_area);
    float below = action_area.y + action_area.h;
    if (state.patcher.state == Patch_State::Downloading) below += 10 + 26 + 36;   // the speed line and Pause
    if (state.patcher.state == Patch_State::Failed) {
        float y = action_area.y + action_area.h + 16;
        // A disk without room for the rest is worded by what it lacks, as the check found it.
        const install::Check_Shortfall& lack = p.check.progress.shortfall;
        std::string failure = lack.bytes > 0 ? disk_full_failure(lack.bytes, lack.dir, folder_change_offered(state))
                                             : state.patcher.failure;
        y += ui::wrap_text(failure, 716, y, 332, 15, ui::bad);
        if (ui::nav_button({716, y + 8, 200, 40}, tr("Try again"))) patcher_check(state.patcher, false);
        below = y + 8 + 40;
    }
    draw_change_folder_link(state, below + 8);

    if (!state.notice.empty()) ui::wrap_text(state.notice, 716, 592, 332, 15, state.notice_good ? ui::good : ui::bad);
}

void draw_play(Launcher& state) {
    draw_news(state);
    draw_game_panel(state);
}

// wrap_text keeps a word wider than the block whole, and an install folder is one long word:
// break it after a path separator (or anywhere, failing that) so that it stays in the panel.
static float wrap_path(std::string_view text, float x, float y, float width, float size, gfx::Color c) {
    auto fits = [&](size_t n) { return ui::measure_text(text.substr(0, n), size, ui::Face_Body).x <= width; };
    float height = 0;
    while (!text.empty()) {
        size_t take = text.size();
        if (!fits(take)) {
            size_t lo = 0, hi = text.size();   // the longest prefix that fits: lo fits, hi does not
            while (hi - lo > 1) {
                size_t mid = (lo + hi) / 2;
                (fits(mid) ? lo : hi) = mid;
            }
            while (lo > 0 && (static_cast<unsigned char>(text[lo]) & 0xC0) == 0x80) --lo;   // whole characters
            size_t cut = text.substr(0, lo).find_last_of("/\\ ");
            take = cut != std::string_view::npos && cut > 0 ? cut + 1 : lo;
            if (take == 0) {   // not even one character fits: give it the line anyway
                take = 1;
                while (take < text.size() && (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80) ++take;
            }
        }
        ui::draw_text(text.substr(0, take), x, y + height, size, c, ui::Face_Body);
        height += size + 6;
        text.remove_prefix(take);
    }
    return height;
}

void draw_install_panel(Launcher& state) {
    draw_panel(account_panels[1]);
    ui::draw_text(tr("INSTALL"), 592, 110, 22, ui::text_color, ui::Face_Title);
    const Patcher& p = state.patcher;
    float y = 150;
    y += wrap_path(fmt(tr("Folder: %1$s"), {p.dir}), 592, y, 456, 15, ui::grey);
    // wrap_text joins words with single spaces; a line that fits keeps its double spaces.
    // TRANSLATORS: %1$s is the release channel ("stable"), %2$s the launcher's version.
    std::string channel = fmt(tr("Channel: %1$s  -  launcher %2$s"), {p.channel, TARNWICK_VERSION});
    if (ui::measure_text(channel, 15, ui::Face_Body).x <= 456) {
        ui::draw_text(channel, 592, y, 15, ui::grey, ui::Face_Body);
        y += 15 + 6;
    } else {
        y += ui::wrap_text(channel, 592, y, 456, 15, ui::grey);
    }
    std::string_view check = tr("Check files");
    float check_w = std::min(300.0f, ui::button_width(check, 40, 200));
    if (ui::nav_button({592, y + 16, check_w, 40}, check, p.state != Patch_State::Downloading))
        patcher_check(state.patcher, false);
    float below = y + 64 + draw_uninstall_button(state, y + 64);
    // Beside Check files, reached after Uninstall game by the keyboard: reads every file, whatever
    // the record says, as other launchers' "verify files" do.
    if (!p.installed.empty()) {
        // TRANSLATORS: a short button beside "Check files": hash every game file again and fetch what differs.
        std::string_view repair = tr("Repair");
        float repair_w = std::min(456 - check_w - 12, ui::button_width(repair, 40, 120));
        if (ui::nav_button({592 + check_w + 12, y + 16, repair_w, 40}, repair, !game_files_busy(state))) patcher_repair(state.patcher);
    }
    draw_download_limit(state, below + 24);
}

}  // namespace launcher
