// The Maps tab: Browse (search, sort, the catalogue list with its scrollbar and downloads) and
// My maps (the local map store, with sharing while signed in).
#include "launcher/launcher.h"
#include "launcher/maps.h"
#include "launcher/panels.h"
#include "launcher/words.h"

#include "backend/release.h"
#include "paths/paths.h"
#include "platform/files.h"

#include <algorithm>

namespace launcher {

namespace {

const gfx::Color white_10{255, 255, 255, 10};
const gfx::Color white_70{255, 255, 255, 70};

bool inside(gfx::Rect r, gfx::Vec2 p) { return p.x >= r.x && p.x < r.x + r.w && p.y >= r.y && p.y < r.y + r.h; }

// A toggle group entry: the current one is a filled button that does nothing when clicked.
bool toggle(gfx::Rect r, std::string_view label, bool current) {
    if (current) {
        ui::button(r, label);
        return false;
    }
    return ui::nav_button(r, label);
}

// A backend's text cut to what a row could ever show (on a character boundary): a name of
// thousands of bytes must not cost thousands of glyphs a frame.
std::string_view shown(std::string_view text) {
    constexpr size_t most = 200;
    if (text.size() <= most) return text;
    size_t n = most;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

void end_drag(Maps_State& m) {
    if (!m.dragging) return;
    m.dragging = false;
    ui::unlock();
}

// Browse ------------------------------------------------------------------------------------------

void search_bar(Launcher& state, float x, float y1) {
    Maps_State& m = state.maps;
    bool refresh = !m.listed;   // the catalogue is fetched the first time Browse shows

    if (ui::text_box({x, y1, 300, 36}, m.search, sizeof m.search)) refresh = true;   // Enter searches
    // Each button as wide as its word needs, at least the English layout's 100 and 120.
    std::string_view search = tr("Search");
    float search_w = ui::button_width(search, 36, 100);
    if (ui::nav_button({x + 310, y1, search_w, 36}, search)) refresh = true;
    const Map_Sort current = m.sort;
    float sort_x = x + 310 + search_w + 20;
    for (Map_Sort s : {Map_Sort::New, Map_Sort::Popular, Map_Sort::Liked}) {
        std::string_view label = tr(sort_label(s));
        float w = ui::button_width(label, 36, 120);
        if (toggle({sort_x, y1, w, 36}, label, s == current)) {
            m.sort = s;
            refresh = true;
        }
        sort_x += w + 6;
    }
    if (refresh) maps_refresh(m, state.session.client);   // at most one request a frame
}

// The stats line under a map's name, at most `width` wide. The numbers are what the player
// compares, so they stay whole: a long author's name gives way first, cut on a character
// boundary and ended with an ellipsis.
std::string stats_line(const Map_Entry& e, float width) {
    // TRANSLATORS: counts on a map's row; English keeps one form, a translation all its plural forms.
    const std::string tail = "  -  " + fmt(trn("%1$s downloads", "%1$s downloads", uint64_t(e.downloads)), {std::to_string(e.downloads)}) +
                             "  -  " + fmt(trn("%1$s likes", "%1$s likes", uint64_t(e.likes)), {std::to_string(e.likes)}) +
                             // TRANSLATORS: the map's version number.
                             "  -  " + fmt(tr("v%1$s"), {std::to_string(e.version)}) + "  -  " +
                             size_words(double(e.size_bytes / 1024), 0, Size_Unit::KB);
    const std::string_view name = shown(e.author.name);
    // TRANSLATORS: %1$s is the map's author.
    const std::string_view by = tr("by %1$s");
    auto line = [&](size_t n) {
        return fmt(by, {std::string(name.substr(0, n)) + (n < name.size() ? "\xE2\x80\xA6" : "")}) + tail;
    };
    auto fits = [&](size_t n) { return ui::measure_text(line(n), 14, ui::Face_Body).x <= width; };
    if (fits(name.size())) return line(name.size());
    size_t lo = 0, hi = name.size();   // the longest name prefix that fits: lo fits (or is 0), hi does not
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        (fits(mid) ? lo : hi) = mid;
    }
    while (lo > 0 && (static_cast<unsigned char>(name[lo]) & 0xC0) == 0x80) --lo;   // whole characters
    return line(lo);
}

enum class Saved_As { Missing, Same, Other };

// How the saved copy of `e` compares with the catalogue's file. A map is hashed once per size
// and last write, so a frame costs a file status per visible row.
Saved_As saved_as(Maps_State& m, const Map_Entry& e) {
    std::string path = local_map_path(e.name);
    platform::File_Status st;
    if (!platform::file_status(path, st) || !st.regular) return Saved_As::Missing;
    Maps_State::Saved& s = m.saved[path];
    if (s.sha256.empty() || s.size != st.size || s.mtime_ns != st.mtime_ns) {
        std::string bytes;
        // Map files are at most the maps client's 64 MiB; a bigger file is none the catalogue sent.
        bool read = st.size <= (int64_t(64) << 20) && platform::read_file(path, bytes);
        s = {st.size, st.mtime_ns, read ? backend::sha256_hex(bytes) : std::string("-")};
    }
    return s.sha256 == e.file_sha256 ? Saved_As::Same : Saved_As::Other;
}

// A row's thumbnail slot, its texts beside it, and the description's column, moved right by
// the slot so that the name and numbers keep their width.
constexpr float thumb_slot = 44, text_x = 16 + thumb_slot + 12, desc_x = 380 + thumb_slot + 12;

void draw_rows(Launcher& state, gfx::Rect panel, float x, float w) {
    Maps_State& m = state.maps;
    const gfx::Vec2 mouse = gfx::input().mouse;
    gfx::begin_clip(panel);
    for (size_t i = 0; i < m.maps.size(); ++i) {
        float row = panel.y + 10 - m.scroll + 58 * float(i);
        // Rows wholly outside the panel would be clipped away; skipping them also keeps their
        // hidden buttons from reacting to the pointer above or below the panel.
        if (row + 58 <= panel.y || row >= panel.y + panel.h) continue;
        const Map_Entry& e = m.maps[i];
        // The picture first, then each text kept to its column, however long the backend made it.
        draw_thumbnail(thumbnail_for(m.thumbs, state.maps_client, e), x + 16, row, thumb_slot);
        gfx::begin_clip({x, panel.y, desc_x - 8, panel.h});
        ui::draw_text(shown(e.name), x + text_x, row, 20, ui::text_color, ui::Face_Interface);
        ui::draw_text(stats_line(e, desc_x - 8 - text_x), x + text_x, row + 24, 14, ui::grey, ui::Face_Body);
        gfx::end_clip();
        if (!e.description.empty()) {
            gfx::begin_clip({x + desc_x, panel.y, w - 140 - 12 - desc_x, panel.h});
            ui::draw_text(shown(e.description), x + desc_x, row + 4, 15, ui::grey, ui::Face_Body);
            gfx::end_clip();
        }

        bool busy = maps_busy(m);
        Saved_As saved = saved_as(m, e);
        std::string_view label = busy && e.id == m.downloading.id ? "..."
                                 : saved == Saved_As::Same        ? tr("Saved")
                                 : saved == Saved_As::Other       ? tr("Update")
                                                                  : tr("Download");
        bool offered = !busy && saved != Saved_As::Same;
        if (ui::nav_button({x + w - 140, row + 6, 124, 34}, label, offered) && inside(panel, mouse))
            maps_download(m, state.session.client, e);
    }
    gfx::end_clip();
}

void browse(Launcher& state, float x, float y1, float w, float h) {
    Maps_State& m = state.maps;
    const gfx::Input& in = gfx::input();
    search_bar(state, x, y1);

    const gfx::Rect panel{x, y1 + 48, w, h - 98};
    draw_panel(panel);
    if (m.maps.empty()) {
        // Why the list is empty, and what helps: a lost list offers to ask again.
        bool lost = m.list_id == 0 && m.message == tr(msg_list_failed);
        std::string_view why = m.list_id != 0 ? "..." : lost ? tr("The list didn't arrive.")
                               : m.search[0] != 0 ? tr("No maps match your search.") : tr("No maps yet.");
        ui::draw_text(why, x + 16, panel.y + 14, 17, ui::grey, ui::Face_Body);
        if (lost && ui::nav_button({x + 16, panel.y + 44, 160, 36}, tr("Try again"))) maps_refresh(m, state.session.client);
        m.scroll = 0;
        if (!in.down[gfx::Mouse_Left]) end_drag(m);
        return;
    }

    const float content = float(m.maps.size()) * 58 + 20;
    const float range = std::max(content - panel.h, 0.0f);
    const gfx::Rect track{panel.x + panel.w - 12, panel.y, 12, panel.h};
    const float thumb_h = std::max(panel.h * panel.h / content, 24.0f);
    const bool over_track = inside(track, in.mouse);

    if (!m.dragging && !ui::locked() && inside(panel, in.mouse) && in.mouse.x < track.x)
        m.scroll -= 58 * in.wheel;   // one row a notch; wheel up scrolls up
    // A press on the track starts the drag; the grab point is kept inside the thumb so the thumb
    // does not jump under the pointer (a press beside the thumb grabs its middle).
    if (range > 0 && over_track && in.pressed[gfx::Mouse_Left] && !m.dragging && !ui::locked()) {
        float top = panel.y + std::clamp(m.scroll, 0.0f, range) * (panel.h - thumb_h) / range;
        m.grab = in.mouse.y >= top && in.mouse.y < top + thumb_h ? in.mouse.y - top : thumb_h / 2;
        m.dragging = true;
        ui::lock();   // buttons ignore the pointer while the thumb is held
    }
    if (m.dragging && in.down[gfx::Mouse_Left] && range > 0)
        m.scroll = std::clamp((in.mouse.y - m.grab - panel.y) / (panel.h - thumb_h), 0.0f, 1.0f) * range;
    m.scroll = std::clamp(m.scroll, 0.0f, range);

    draw_rows(state, panel, x, w);

    if (range > 0) {
        float top = panel.y + m.scroll * (panel.h - thumb_h) / range;
        if (over_track || m.dragging) gfx::fill_rect(track, white_10);
        gfx::Color thumb = m.dragging ? ui::amber : over_track ? ui::grey : white_70;
        gfx::fill_rect({track.x + 3, top, 7, thumb_h}, thumb);
    }
    // Released only after the rows were drawn, so the release that ends a drag is no click.
    if (!in.down[gfx::Mouse_Left]) end_drag(m);
}

// My maps -----------------------------------------------------------------------------------------

void my_maps(Launcher& state, float x, float y1, float w, float h) {
    Maps_State& m = state.maps;
    std::string folder = paths::user_dir("maps");
    platform::make_dirs(folder);
    // TRANSLATORS: %1$s is the folder of the player's maps.
    ui::draw_text(fmt(tr("Maps in %1$s"), {folder}), x, y1, 15, ui::grey, ui::Face_Body);

    const gfx::Rect panel{x, y1 + 28, w, h - 78};
    draw_panel(panel);
    // Listed every frame, so maps the game adds or removes show at once. The list comes sorted
    // by name, which keeps rows from jumping about as files change.
    std::vector<std::string> names;
    if (!platform::list_dir(folder, names)) return;

    const bool signed_in = state.session.phase == backend::Session_Phase::Signed_In;
    float row = panel.y + 10;
    bool any = false;
    for (const std::string& name : names) {
        if (name.size() < 4 || !name.ends_with(".tnw")) continue;   // exact, lower case
        if (row > panel.y + panel.h - 40) break;                    // this view does not scroll
        std::string path = platform::join_path(folder, name);
        platform::File_Status st;
        // A folder that happens to be called "x.tnw" is no map.
        if (!platform::file_status(path, st) || !st.regular) continue;
        std::string_view stem = std::string_view(name).substr(0, name.size() - 4);
        ui::draw_text(shown(stem), x + 16, row + 6, 19, ui::text_color, ui::Face_Interface);
        ui::draw_text(size_words(double(st.size / 1024), 0, Size_Unit::KB), x + 360, row + 9, 15, ui::grey, ui::Face_Body);
        if (signed_in && ui::nav_button({x + w - 140, row, 124, 34}, tr("Share"), m.share_id == 0))
            upload_map(m, state.session, path, stem);
        row += 46;
        any = true;
    }
    if (!any)
        ui::draw_text(tr("No maps of your own yet: make one in the game's map editor."), x + 16, panel.y + 14, 17,
                      ui::grey, ui::Face_Body);
}

}  // namespace

void draw_maps(Launcher& state) {
    const float x = 28, y = 90, w = 1044, h = 562;
    Maps_State& m = state.maps;
    // A drag cut short by leaving Browse ends with the button's release.
    if (m.dragging && m.mine && !gfx::input().down[gfx::Mouse_Left]) end_drag(m);

    if (toggle({x, y, 130, 34}, tr("Browse"), !m.mine)) m.mine = false;
    if (toggle({x + 136, y, 130, 34}, tr("My maps"), m.mine)) m.mine = true;
    if (!m.message.empty())
        ui::draw_text(shown(m.message), x + 290, y + 9, 16, m.message_ok ? ui::good : ui::bad, ui::Face_Body);

    const float y1 = y + 50;
    if (m.mine) my_maps(state, x, y1, w, h);
    else browse(state, x, y1, w, h);
}

}  // namespace launcher
