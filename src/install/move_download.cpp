#include "install/move_download.h"
#include "lang/lang.h"

#include "install/scratch.h"
#include "platform/files.h"
#include "platform/system.h"

#include <algorithm>
#include <set>
#include <vector>

namespace launcher {

static bool exists(const std::string& path) {
    platform::File_Status st;
    return platform::file_status(path, st);
}

Moved_Download move_download(const backend::Release_Manifest& manifest, const std::string& from,
                             const std::string& to, const std::string& running) {
    Moved_Download r;
    std::set<std::string> folders;   // sub-folders of `from` the files were in
    for (const backend::Release_File& f : manifest.files) {
        std::string target = platform::join_path(from, f.path), dest = platform::join_path(to, f.path);
        // Its scratch files first: an update in place moves its undo journal before the file it
        // changed, so that the file never arrives without the bytes that put it back.
        delivery::Scratch_Moved scratch;
        delivery::scratch_move(from, to, f.path, scratch);
        r.moved += scratch.moved;
        r.dropped += scratch.dropped;
        platform::File_Status st;
        bool running_file = !running.empty() && platform::same_path(platform::resolved_path(target), running);
        if (platform::file_status(target, st) && st.regular && !running_file) {
            bool moved = false;
            if (!exists(dest)) {
                platform::make_dirs(platform::parent_folder(dest));
                moved = platform::rename_replace(target, dest);
            }
            if (moved) ++r.moved;
            else if (platform::delete_file(target)) ++r.dropped;
        }
        for (std::string up = platform::parent_folder(target); up.size() > from.size(); up = platform::parent_folder(up))
            folders.insert(up);
    }
    // Deepest first, so that a folder is empty by the time it is tried; a folder holding
    // anything of the player's stays.
    std::vector<std::string> order(folders.begin(), folders.end());
    std::sort(order.begin(), order.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& folder : order) platform::remove_empty_folder(folder);
    platform::remove_empty_folder(platform::join_path(from, std::string(delivery::cuts_folder_name)));
    return r;
}

// A folder the game can go into as it is: missing, empty, or a Tarnwick install.
static bool takes_the_game(const std::string& folder) {
    if (!exists(folder)) return true;
    std::vector<std::string> names;
    return platform::is_folder(folder) && platform::list_dir(folder, names) &&
           (names.empty() || platform::is_regular_file(platform::join_path(folder, std::string(delivery::record_name))));
}

std::string install_target(const std::string& chosen, std::string& problem) {
    problem.clear();
    if (takes_the_game(chosen)) return chosen;
    // "Tarnwick" may be taken by the player's own file of that name (the game's executable is
    // called so too): then "Tarnwick 2" and so on.
    for (int n = 1; n <= 9; ++n) {
        std::string inside = platform::join_path(chosen, n == 1 ? std::string("Tarnwick") : "Tarnwick " + std::to_string(n));
        if (takes_the_game(inside)) return inside;
    }
    problem = tr("That folder holds other files and Tarnwick folders of its own: choose another one.");
    return "";
}

}  // namespace launcher
