#include "launcher/move_download.h"

#include "delivery/kept_cut.h"
#include "delivery/part_file.h"
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
        std::string target = platform::join_path(from, f.path), moved_target = platform::join_path(to, f.path);
        // The journal is named after the part ("NAME.part.journal"), so both follow the file.
        const std::string journal_suffix = delivery::journal_path("");
        const std::string suffixes[] = {"", ".part", journal_suffix};
        for (const std::string& suffix : suffixes) {
            std::string source = target + suffix, dest = moved_target + suffix;
            platform::File_Status st;
            if (!platform::file_status(source, st) || !st.regular) continue;
            if (!running.empty() && platform::same_path(platform::resolved_path(source), running)) continue;
            // A part without its journal holds nothing verified: only whole files and journalled
            // parts move.
            bool verified = suffix != ".part" || exists(delivery::journal_path(target));
            bool moved = false;
            if (verified && !exists(dest)) {
                platform::make_dirs(platform::parent_folder(dest));
                moved = platform::rename_replace(source, dest);
            }
            if (moved) ++r.moved;
            else if (platform::delete_file(source)) ++r.dropped;
        }
        // The file's kept cut goes along with it: it still vouches for the moved file, whose size
        // and last write the rename keeps.
        std::string cut = delivery::kept_cut_path(from, f.path), moved_cut = delivery::kept_cut_path(to, f.path);
        if (platform::is_regular_file(cut)) {
            platform::make_dirs(platform::parent_folder(moved_cut));
            if (!platform::rename_replace(cut, moved_cut)) platform::delete_file(cut);
            folders.insert(platform::parent_folder(cut));
        }
        for (std::string up = platform::parent_folder(target); up.size() > from.size(); up = platform::parent_folder(up))
            folders.insert(up);
    }
    // Deepest first, so that a folder is empty by the time it is tried; a folder holding
    // anything of the player's stays.
    std::vector<std::string> order(folders.begin(), folders.end());
    std::sort(order.begin(), order.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& folder : order) platform::remove_empty_folder(folder);
    return r;
}

// A folder the game can go into as it is: missing, empty, or a Tarnwick install.
static bool takes_the_game(const std::string& folder) {
    if (!exists(folder)) return true;
    std::vector<std::string> names;
    return platform::is_folder(folder) && platform::list_dir(folder, names) &&
           (names.empty() || platform::is_regular_file(platform::join_path(folder, "install.json")));
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
    problem = "That folder holds other files and Tarnwick folders of its own: choose another one.";
    return "";
}

}  // namespace launcher
