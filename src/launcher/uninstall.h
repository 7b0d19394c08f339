// Uninstalling the game from the Account tab's install panel: after one confirmation, every file
// the install record lists is deleted, then the folders this leaves empty. Nothing else goes: the
// launcher itself, the player's maps (in the per-user folder) and every file the record does not
// list stay. The record is replaced by a marker saying that the game was uninstalled, which keeps
// the folder the launcher's install folder and stops the automatic update check from installing
// the game again until the player asks for it.
//
// Depends on the install record, the tree, install/scratch.h, backend/json.h, platform/files.h and
// the launcher state. Main thread.
#pragma once
#include "install/record.h"

#include <string>
#include <vector>

namespace launcher {

struct Launcher;

struct Uninstall_Result {
    int removed = 0;                    // files deleted
    std::vector<Installed_File> kept;   // listed files that could not be deleted (in use, say)
};

// Deletes what the record in `dir` lists and the folders left empty. When every listed file is
// gone the record becomes the uninstalled marker; otherwise it lists only the files still there,
// so that trying again finishes the job.
Uninstall_Result uninstall_game(const std::string& dir);
// Whether the install record in `dir` is the marker uninstall_game leaves.
bool install_marked_uninstalled(const std::string& dir);

// The install panel's "Uninstall game" at `y`, shown while a release is installed; disabled while
// the game runs or files are being checked or downloaded. Returns the height it took.
float draw_uninstall_button(Launcher& state, float y);
// The game's files are in use: the game runs, or a check or download is under way. Uninstall and
// Repair wait for them.
bool game_files_busy(const Launcher& state);
// The confirmation over the whole window, while it is open.
void draw_uninstall_confirm(Launcher& state);

}  // namespace launcher
