// survey: what the install folder holds for a release, found without changing it. Each listed
// file is proved current (or the old release's) by the install record when its size and time
// match it, else by its size, else by the SHA-256 of its bytes; files are hashed on several
// threads below the window's priority. The one change made to the disk is the recovery of an
// update in place that a kill stopped: its journals are cleared up, or it is left to go on.
//
// Depends on backend/release.h, install/record.h, install/scratch.h, delivery/in_place.h,
// delivery/chunk_index.h (the SHA-256 type), platform/files.h and platform/system.h. Any
// thread; hash_files starts and joins its own.
#pragma once
#include "backend/release.h"
#include "install/record.h"
#include "platform/files.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace install {

// Bytes hashed by a survey, read by the frame loop while a planning thread hashes, and the
// request to stop hashing early (the result is then thrown away).
struct Hash_Progress {
    std::atomic<int64_t> total{0};  // bytes of the files to hash, once they are known
    std::atomic<int64_t> done{0};
    std::atomic<bool> stop{false};
};

struct Survey {
    std::vector<char> needed;                   // per manifest file: to fetch
    std::vector<platform::File_Status> status;  // per manifest file, kept for the record
};

// With `rehash`, the record vouches for nothing: every file on disk is hashed (a repair).
Survey survey(const std::string& dir, const launcher::Install_Record& record,
              const std::vector<backend::Release_File>& files, Hash_Progress& progress, bool rehash = false);

// SHA-256 digests of the files, in the order given, streamed in fixed-size pieces on up to
// `threads` threads (0: one per core, at most 8). "" for a file that cannot be read whole.
// `progress`, when given, counts the bytes hashed and stops the work early when asked (the
// files not hashed then are "").
std::vector<std::string> hash_files(const std::vector<std::string>& paths, unsigned threads = 0,
                                    Hash_Progress* progress = nullptr);

// Manifest sizes are the publisher's word and never checked against the files: summing them
// must neither overflow nor run backwards, whatever a manifest claims.
void add_size(int64_t& sum, int64_t size);

}  // namespace install
