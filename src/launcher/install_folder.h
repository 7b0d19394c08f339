// Choosing the install folder from the window. A folder is checked (a full path, writable, room
// for the release), then applied as the -dir option is: the launcher copies itself there with
// its shortcuts (self-install) and hands over to the copy, which removes the launcher copy that
// self-install had left in the folder given up when nothing else of the game is beside it. With
// self-install off (-no-install, screenshots) the running launcher switches folders itself.
//
// Depends on self_install, the patcher and platform/files.h. Main thread.
#pragma once
#include <cstdint>
#include <string>

namespace launcher {

struct Launcher;

// Names the folder given up to the copy that self-install starts (the copy inherits this
// process's environment, and its command line stays empty, as self-install has it).
inline constexpr const char* given_up_variable = "TARNWICK_GIVEN_UP_FOLDER";

// "" when `folder` can take a release of `needed` bytes (0: size unknown); otherwise the
// sentence that tells the player why not. The folder need not exist yet.
std::string install_folder_problem(const std::string& folder, uint64_t needed);
// The manifest's total size; without one, the size the folder browser asked for; 0 unknown.
uint64_t release_size(const Launcher& state);
// Applies a folder that passed install_folder_problem and keeps it in the player's settings. A
// first install under way stops, and what it verified moves along (move_download.h) to carry on
// in the new folder. Sets `handed_over` when a copy in the new folder now runs and this launcher
// must close.
void apply_install_folder(Launcher& state, const std::string& folder);
// At start-up: when the launcher that handed over named a folder it gave up, and that folder
// holds only a copy of this launcher with what self-install put beside it (the icon, an empty
// install record), removes them and the folder. Anything else there keeps everything.
void remove_given_up_copy(const std::string& install_dir);

// "1.5 GB", "340 MB", "12 KB": sizes for the player.
std::string size_text(uint64_t bytes);

}  // namespace launcher
