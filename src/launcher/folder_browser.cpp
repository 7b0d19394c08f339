// Sections: the Play tab's link - browsing (browse_to, up) - the dialog (path row, folder list,
// free space, new folder, Cancel and Choose).
#include "launcher/folder_browser.h"

#include "launcher/install_folder.h"
#include "launcher/launcher.h"
#include "install/move_download.h"
#include "launcher/panels.h"

#include "backend/requests.h"
#include "gfx/gfx.h"
#include "platform/files.h"
#include "platform/system.h"

#include <algorithm>
#include <cstring>

namespace launcher {

static bool inside(gfx::Rect r, gfx::Vec2 p) {
    return p.x >= r.x && p.x < r.x + r.w && p.y >= r.y && p.y < r.y + r.h;
}

static constexpr gfx::Rect path_box{164, 136, 640, 38};
static constexpr gfx::Rect name_box{164, 567, 300, 38};

// The Play tab's link ----------------------------------------------------------------------------

bool folder_change_offered(const Launcher& state) {
    const Patcher& p = state.patcher;
    if (state.playing || !p.installed.empty()) return false;
    // The first install, on its way or paused: the folder can still change, the download goes along.
    if (p.state == Patch_State::Checking || p.state == Patch_State::Downloading) return !p.background;
    // Before it, or after an interrupted one (whose files go along too).
    return true;
}

// A path cut from the front, where it is the same for most folders, to fit `width`.
static std::string path_tail(const std::string& path, float width, float size) {
    if (ui::measure_text(path, size, ui::Face_Body).x <= width) return path;
    size_t from = 0;
    std::string shown;
    do {
        ++from;
        while (from < path.size() && (static_cast<unsigned char>(path[from]) & 0xC0) == 0x80) ++from;
        shown = "\xE2\x80\xA6" + path.substr(from);
    } while (from < path.size() && ui::measure_text(shown, size, ui::Face_Body).x > width);
    return shown;
}

float draw_change_folder_link(Launcher& state, float y) {
    if (!folder_change_offered(state)) return 0;
    float height = 0;
    const Patch_State s = state.patcher.state;
    if (s == Patch_State::Checking || s == Patch_State::Downloading) {
        // TRANSLATORS: %1$s is the install folder, its end when it is long.
        std::string_view into = tr("Installing into %1$s");
        float room = 332 - ui::measure_text(fmt(into, {""}), 15, ui::Face_Body).x;
        ui::draw_text(fmt(into, {path_tail(state.install_dir, room, 15)}), 716, y, 15, ui::grey, ui::Face_Body);
        height = 24;
    }
    if (ui::nav_button({716, y + height, 200, 36}, tr("Change folder"))) open_folder_browser(state, state.install_dir);
    return height + 36;
}

// Browsing ---------------------------------------------------------------------------------------

static void set_typed(Folder_Browser& b, const std::string& text) {
    size_t n = std::min(text.size(), sizeof b.typed - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;   // whole characters
    std::memcpy(b.typed, text.data(), n);
    b.typed[n] = 0;
}

void browse_to(Folder_Browser& b, const std::string& path) {
    b.path = path.empty() ? std::string() : platform::clean_path(path);
    set_typed(b, b.path);
    b.folders.clear();
    b.first = 0;
    b.message.clear();
    if (b.path.empty()) {
        b.folders = platform::file_system_roots();
        b.exists = b.listed = true;
        b.free_known = false;
        return;
    }
    b.exists = platform::is_folder(b.path);
    b.listed = b.exists && platform::list_folders(b.path, b.folders);
    b.free_known = platform::free_space(b.path, b.free_bytes);
}

void open_folder_browser(Launcher& state, const std::string& path) {
    Folder_Browser& b = state.browser;
    uint64_t known = b.release_bytes, asked = b.size_req;
    b = Folder_Browser{};
    b.release_bytes = known;
    b.size_req = asked;
    b.open = true;
    browse_to(b, path);
    ui::set_focus(path_box);   // the dialog opens on its first field
    // The free space is judged against the release's size: without a manifest, ask for one.
    backend::Session& s = state.session;
    if (release_size(state) == 0 && b.size_req == 0 && s.ok) {
        std::string where = backend::req_release_manifest.path;
        where.replace(where.find("%s"), 2, state.patcher.channel);
        b.size_req = backend::request_typed(s.client, backend::req_release_manifest.method, where);
    }
}

void on_release_size(Launcher& state, const backend::Response& r) {
    state.browser.size_req = 0;
    if (r.status < 200 || r.status > 299) return;
    backend::Release_Manifest m;
    if (backend::open_release(r.body, m) != backend::Release_Error::None) return;
    uint64_t total = 0;
    for (const backend::Release_File& f : m.files) total += uint64_t(std::max<int64_t>(0, f.size));
    state.browser.release_bytes = total;
    backend::release_destroy(m);
}

// The folder above `path`; from a drive's root, the list of drives when there are several.
static bool up_of(const std::string& path, std::string& out) {
    if (path.empty()) return false;
    std::string up = platform::parent_folder(path);
    if (!up.empty() && up != path) {
        out = up;
        return true;
    }
    if (platform::file_system_roots().size() < 2) return false;
    out.clear();
    return true;
}

// The dialog -------------------------------------------------------------------------------------

static constexpr gfx::Rect list_area{164, 186, 772, 288};
static constexpr float row_height = 32;
static constexpr int rows_shown = 9;

// Enter on the path as shown chooses it; on a changed path, goes there.
static bool draw_path_row(Folder_Browser& b) {
    ui::caption(tr("FOLDER"), 164, 118);
    // The path's end is the part that tells folders apart: shown when the path is too long.
    bool enter = ui::text_box(path_box, b.typed, sizeof b.typed, true);
    bool typing = ui::focused(path_box);
    // Enter, or the focus moving on (Tab, a click elsewhere), takes what was typed.
    bool choose = enter && b.path == b.typed;
    if (!choose && (enter || (b.typing && !typing))) browse_to(b, b.typed);
    b.typing = typing;
    std::string up;
    bool can_go_up = up_of(b.path, up);
    if (ui::nav_button({814, 136, 122, 38}, tr("Up"), can_go_up) && can_go_up) browse_to(b, up);
    return choose;
}

static void draw_folder_list(Folder_Browser& b) {
    gfx::draw_rect_lines(list_area, 1, ui::field_border);
    const gfx::Input& in = gfx::input();
    int count = int(b.folders.size());
    if (in.wheel != 0 && inside(list_area, in.mouse))
        b.first = std::clamp(b.first - int(in.wheel * 3), 0, std::max(0, count - rows_shown));

    std::string_view note = !b.exists ? tr("This folder doesn't exist yet: Tarnwick makes it when it installs.")
                            : !b.listed ? tr("Tarnwick can't look inside this folder.")
                            : count == 0 ? tr("No folders in here.")
                                         : std::string_view();
    if (!note.empty()) ui::draw_text(note, list_area.x + 16, list_area.y + 14, 15, ui::grey, ui::Face_Body);

    std::string chosen;
    bool picked = false;
    for (int i = b.first; i < count && i < b.first + rows_shown; ++i) {
        gfx::Rect row{list_area.x + 1, list_area.y + 1 + row_height * float(i - b.first), list_area.w - 14, row_height};
        if (ui::nav_button(row, b.folders[size_t(i)])) {
            chosen = b.path.empty() ? b.folders[size_t(i)] : platform::join_path(b.path, b.folders[size_t(i)]);
            picked = true;
        }
    }
    if (count > rows_shown) {   // where the rows shown lie in the whole list
        float h = list_area.h - 2;
        gfx::fill_rect({list_area.x + list_area.w - 8, list_area.y + 1 + h * float(b.first) / float(count), 4,
                        h * float(rows_shown) / float(count)},
                       {0xFF, 0xB0, 0x20, 120});
    }
    if (picked) browse_to(b, chosen);
}

static void draw_space(Launcher& state) {
    const Folder_Browser& b = state.browser;
    if (b.path.empty()) return;
    // TRANSLATORS: %1$s is a size ("12.4 GB"), or "unknown".
    std::string line = fmt(tr("Free on this disk: %1$s"), {b.free_known ? size_text(b.free_bytes) : std::string(tr("unknown"))});
    uint64_t needed = release_size(state);
    if (needed > 0) line += fmt(tr("  -  the game needs %1$s"), {size_text(needed)});
    ui::draw_text(line, 164, 484, 15, b.free_known && needed > b.free_bytes ? ui::bad : ui::grey, ui::Face_Body);
}

static void create_folder(Folder_Browser& b) {
    std::string name = b.new_name;
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos) {
        b.message = tr("A folder name can't be empty or hold / or \\.");
        return;
    }
    std::string path = platform::join_path(b.path, name);
    if (!platform::make_dirs(path)) {
        b.message = tr("Tarnwick can't make that folder here.");
        return;
    }
    b.naming = false;
    browse_to(b, path);
}

static void draw_new_folder(Folder_Browser& b) {
    gfx::Rect create{474, 567, 100, 38};
    if (!b.naming) {
        std::string_view label = tr("New folder");
        if (ui::nav_button({164, 566, ui::button_width(label, 40, 160), 40}, label, !b.path.empty())) {
            b.naming = true;
            std::strcpy(b.new_name, "Tarnwick");
            ui::set_focus(name_box);   // the suggestion selected: typing replaces it
        }
        return;
    }
    ui::caption(tr("NEW FOLDER NAME"), 164, 549);
    if (ui::text_box(name_box, b.new_name, sizeof b.new_name)) create_folder(b);
    if (b.naming && ui::button(create, tr("Create"))) create_folder(b);
}

static void choose(Launcher& state) {
    Folder_Browser& b = state.browser;
    if (b.path.empty()) {
        b.message = tr("Open a drive first, then choose a folder on it.");
        return;
    }
    b.message = install_folder_problem(b.path, release_size(state));
    if (!b.message.empty()) return;
    // A folder of the player's own files gets the game in a "Tarnwick" folder of its own.
    std::string target = install_target(b.path, b.message);
    if (target.empty()) return;
    b.open = false;
    apply_install_folder(state, target);
}

void draw_folder_browser(Launcher& state) {
    Folder_Browser& b = state.browser;
    // Enter with no field and no button focused chooses the folder shown.
    bool enter_chooses = ui::enter_pressed() && !ui::focused(path_box) && !ui::focused(name_box);
    draw_dialog({140, 56, 820, 568});
    ui::draw_text(tr("CHOOSE WHERE TO INSTALL"), 164, 76, 26, ui::text_color, ui::Face_Title);
    if (draw_path_row(b)) enter_chooses = true;
    draw_folder_list(b);
    draw_space(state);
    if (!b.message.empty()) ui::wrap_text(b.message, 164, 508, 772, 15, ui::bad);
    draw_new_folder(b);

    bool escape = gfx::input().key_pressed[gfx::Key_Escape];
    if (escape && b.naming) {
        b.naming = false;
    } else if (ui::nav_button({680, 566, 120, 40}, tr("Cancel")) || escape) {
        b.open = false;
        return;
    }
    if (ui::button({814, 566, 122, 40}, tr("Choose")) || enter_chooses) choose(state);
}

}  // namespace launcher
