// resume_hint: what an interrupted install left on disk, so that the Play tab offers
// "Resume (26 %)" instead of a bare "Install". Files of the release already in place at their
// size count whole; a chunked file's part counts the chunks its journal lists, at the size a
// chunk has on average in that file. A whole file cut short counts nothing: it is fetched again
// from its start.
//
// Depends on backend/release.h, delivery/part_progress.h and the launcher state. Main thread;
// the folder is read once per change of the patcher's state, never every frame.
#pragma once
#include "backend/release.h"

#include <cstdint>
#include <string>

namespace backend {
struct Response;
}

namespace launcher {

struct Launcher;

struct Resume_Hint {
    int percent = 0;            // of the release on disk; 0: nothing worth saying
    bool known = false;         // `percent` was worked out for `dir` in the patcher's state `seen`
    std::string dir;
    uint8_t seen = 0;
    bool had_manifest = false;
    // The release manifest, asked for once a run when the patcher holds none (after an
    // uninstall, the automatic check does not run).
    backend::Release_Manifest manifest;
    bool has_manifest = false;
    uint64_t manifest_req = 0;
    bool asked = false;
};

// Bytes of the release `m` that an install into `dir` would not fetch again, by the rules above.
int64_t release_bytes_on_disk(const std::string& dir, const backend::Release_Manifest& m);

// The percentage for the Install button, worked out again when the patcher's state or the install
// folder changed; 0 while none is known. Asks for the manifest when the patcher holds none.
int resume_percent(Launcher& state);
// The answer to that manifest request.
void on_resume_manifest(Launcher& state, const backend::Response& r);

}  // namespace launcher
