// Changing the install folder while the first install downloads: what the download already
// verified goes with the player to the new folder, and nothing of it stays in the folder given
// up. Verified means a file put in place (its digest was checked first) or a chunked file's part
// with its journal (each chunk the journal lists is checked again when the download resumes).
// The part of a whole-file download in flight was never verified and is deleted. An update in
// place that was stopped moves with its undo journal (install/scratch.h says what travels).
//
// Depends on backend/release.h, install/scratch.h, platform/files.h and platform/system.h. Main thread, with the patcher stopped.
#pragma once
#include "backend/release.h"

#include <string>

namespace launcher {

struct Moved_Download {
    int moved = 0;     // files, parts and journals now in the new folder
    int dropped = 0;   // deleted instead: they could not be moved (another disk), or the new
                       // folder has a file of that name already (it keeps its own)
};

// Moves the download's files of `manifest` from `from` into `to`, deletes what cannot move, and
// removes the folders of `from` that only the download had filled (left empty now). The file
// `running` (this launcher's own, when it runs from `from`) stays: the hand-over to the copy in
// the new folder deals with it.
Moved_Download move_download(const backend::Release_Manifest& manifest, const std::string& from,
                             const std::string& to, const std::string& running = "");

// Where a folder chosen in the browser takes the game: the folder itself when it is missing,
// empty or a Tarnwick install (it has an install record); else a new "Tarnwick" folder inside
// it ("Tarnwick 2" and so on when that name is taken by other things), so that the player's own
// files of the names the game uses are never replaced. "" with `problem` set when none is free.
std::string install_target(const std::string& chosen, std::string& problem);

}  // namespace launcher
