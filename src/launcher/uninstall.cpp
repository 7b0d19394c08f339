#include "launcher/uninstall.h"

#include "launcher/launcher.h"
#include "launcher/panels.h"
#include "install/tree.h"

#include "backend/json.h"
#include "backend/release.h"
#include "install/scratch.h"
#include "platform/files.h"
#include "platform/system.h"

#include <algorithm>
#include <cstdio>

namespace launcher {

static const char* const uninstalled_marker = "{\"uninstalled\":true}\n";

bool install_marked_uninstalled(const std::string& dir) {
    std::string bytes;
    json::Value root;
    if (!platform::read_file(platform::join_path(dir, std::string(delivery::record_name)), bytes) || !json::parse(bytes, root)) return false;
    bool marked = false;
    json::members(root, [&](std::string_view key, json::Value v) {
        if (key == "uninstalled") json::get(v, marked);
        return true;
    });
    return marked;
}

// The launcher's own files stay even when a release listed them: the player keeps the launcher
// to install the game again.
static bool launcher_file(const std::string& dir, const std::string& path, const std::string& running) {
    if (path == platform::launcher_exe_name || path == platform::launcher_old_exe_name) return true;
    return !running.empty() &&
           platform::same_path(platform::clean_path(platform::join_path(dir, path)), platform::clean_path(running));
}

Uninstall_Result uninstall_game(const std::string& dir) {
    Uninstall_Result result;
    Install_Record record = install_load(dir);
    std::string running = platform::executable_path();
    std::vector<std::string> folders;
    tree_remove_stale_links(dir, record, backend::Release_Manifest{});  // the release's links, while still its own
    for (const Installed_File& f : record.files) {
        // Record paths are not trusted: one that could leave the install folder is left alone.
        if (!backend::release_path_ok(f.path) || launcher_file(dir, f.path, running)) continue;
        if (!linked_folder(dir, f.path).empty()) continue;  // through a link the file is elsewhere
        for (size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1))
            folders.push_back(f.path.substr(0, slash));
        std::string full = platform::join_path(dir, f.path);
        platform::File_Status st;
        if (!platform::file_status(full, st)) continue;   // already gone
        if (!st.regular) continue;                        // a folder (or device) now: not the game's file
        if (platform::delete_file(full)) ++result.removed;
        else result.kept.push_back(f);
        delivery::scratch_delete(dir, f.path);  // its kept cut, and what an unfinished update left
    }
    platform::remove_empty_folder(platform::join_path(dir, std::string(delivery::cuts_folder_name)));
    // Deepest first, so that a folder emptied by removing its sub-folder goes too. Folders
    // holding anything else (the player's files) are not empty and stay.
    std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
        auto depth = [](const std::string& s) { return std::count(s.begin(), s.end(), '/'); };
        return depth(a) != depth(b) ? depth(a) > depth(b) : a < b;
    });
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const std::string& folder : folders) platform::remove_empty_folder(platform::join_path(dir, folder));

    std::string path = platform::join_path(dir, std::string(delivery::record_name));
    if (result.kept.empty()) {
        platform::write_file_atomic(path, uninstalled_marker);
    } else {
        Install_Record left{record.version, record.channel, result.kept};
        install_write_record(dir, left);
    }
    return result;
}

static constexpr gfx::Rect uninstall_cancel{354, 366, 160, 40};

bool game_files_busy(const Launcher& state) {
    const Patch_State s = state.patcher.state;
    return state.playing || s == Patch_State::Checking || s == Patch_State::Downloading;
}

float draw_uninstall_button(Launcher& state, float y) {
    const Patcher& p = state.patcher;
    // The button's place is kept while there is nothing to uninstall, so that the rows under it
    // stay where they are when an install ends.
    const float height = 40;
    if (!p.installed.empty()) {
        std::string_view label = tr("Uninstall game");
        if (ui::nav_button({592, y, std::min(456.0f, ui::button_width(label, 40, 200)), 40}, label,
                           !game_files_busy(state))) {
            state.confirm_uninstall = true;
            ui::set_focus(uninstall_cancel);   // the question opens on its safe answer
        }
    }
    if (state.uninstall_message.empty()) return height;
    gfx::Color c = state.uninstall_good ? ui::good : ui::bad;
    // Without the button its place takes the message ("Tarnwick was uninstalled"): nothing moves.
    if (p.installed.empty()) return std::max(height, ui::wrap_text(state.uninstall_message, 592, y + 10, 456, 15, c));
    return height + 8 + ui::wrap_text(state.uninstall_message, 592, y + height + 8, 456, 15, c);
}

static void uninstall(Launcher& state) {
    // A background read of the last update would mark files that are gone in a record rewritten
    // into the emptied folder.
    patcher_stop_reread(state.patcher);
    Uninstall_Result r = uninstall_game(state.install_dir);
    std::string line;
    if (r.kept.empty()) {
        state.patcher.installed.clear();
        state.auto_install_held = true;
        line = fmt(trn("Tarnwick was uninstalled (%1$s file removed).", "Tarnwick was uninstalled (%1$s files removed).",
                       uint64_t(r.removed)),
                   {std::to_string(r.removed)});
    } else {
        // TRANSLATORS: %1$s is a count of files, %2$s one of them.
        line = fmt(trn("Couldn't remove %1$s of the game's files, %2$s among them. Is the game running?",
                       "Couldn't remove %1$s of the game's files, %2$s among them. Is the game running?", r.kept.size()),
                   {std::to_string(r.kept.size()), r.kept[0].path});
    }
    state.uninstall_message = line;
    state.uninstall_good = r.kept.empty();
}

void draw_uninstall_confirm(Launcher& state) {
    gfx::Rect panel{330, 220, 440, 210};
    draw_dialog(panel);
    ui::draw_text(tr("UNINSTALL TARNWICK?"), 354, 242, 26, ui::text_color, ui::Face_Title);
    ui::wrap_text(tr("This deletes the game's files from its install folder. The launcher, your maps and any "
                     "other files in the folder stay."),
                  354, 286, 392, 15, ui::grey);
    const gfx::Input& in = gfx::input();
    if (ui::nav_button(uninstall_cancel, tr("Cancel")) || in.key_pressed[gfx::Key_Escape]) {
        state.confirm_uninstall = false;
        return;
    }
    if (ui::button({586, 366, 160, 40}, tr("Uninstall"))) {
        state.confirm_uninstall = false;
        uninstall(state);
    }
}

}  // namespace launcher
