// reread: the files an update proved by their chunks alone, read once more on a thread below the
// window's priority after the update is done. The proof cannot see a byte of an untouched chunk
// that changed on disk with the file's size and last write put back; this read can, and the
// files whose bytes are not the release's are marked for the next check to fetch: their record
// entries stop vouching for them, and their kept cuts are dropped (so the next update cuts them
// again and copies only the chunks that check out).
//
// Depends on backend/release.h, install/record.h, install/survey.h (the file hasher),
// install/scratch.h (the kept cut's name), platform/files.h and platform/system.h. Main thread,
// apart from the reading thread.
#pragma once
#include "backend/release.h"
#include "install/record.h"

#include <memory>
#include <string>
#include <vector>

namespace install {

struct Reread;
struct Reread_Delete {
    void operator()(Reread* r) const;  // stops the reading and waits for it
};
using Reread_Ptr = std::unique_ptr<Reread, Reread_Delete>;

// Starts reading `paths` of `dir`, each to be checked against its digest in `manifest`. Null
// when there is nothing to read or no thread can be had (the chunks' proof then stands alone).
Reread_Ptr reread_start(const std::string& dir, const backend::Release_Manifest& manifest,
                        const std::vector<std::string>& paths);

// True once the reading is over, with the paths whose bytes are not the release's.
bool reread_poll(Reread& r, std::vector<std::string>& differing);

// Marks `differing` for the next check: their entries in `record` name no digest (so they are
// fetched, not trusted), the record is written, and their kept cuts are deleted.
void reread_mark(const std::string& dir, launcher::Install_Record& record, const std::vector<std::string>& differing);

}  // namespace install
