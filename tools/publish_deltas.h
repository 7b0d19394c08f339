// The publisher's deltas (delivery/delta_list.h): for a file the previous release had with other
// bytes, each chunk of the new file that the old file lacks is compressed against the old file's
// region around the same place; the delta is kept when it is smaller than the chunk's stored
// form. The kept deltas go to files/deltas/ under their SHA-256, and their list under the pair's
// name. A file without a kept delta gets no list: launchers read the missing list as "none".
//
// Depends on delivery/delta_list.h and platform/files.h. Runs `threads` threads of its own.
#pragma once
#include "delivery/delta_list.h"

#include <cstdint>
#include <string>

namespace publisher {

struct Delta_Totals {
    uint64_t chunks = 0;        // new chunks the old file lacks
    uint64_t chunk_bytes = 0;   // their stored forms
    uint64_t deltas = 0;        // deltas kept
    uint64_t delta_bytes = 0;   // their bytes, plus the lists'
    uint64_t delta_chunk_bytes = 0;  // the stored forms of the chunks they replace
};

// Makes the deltas of `source` (cut as `index`, whose file names it `index_sha256`) against
// `old_file` (the previous release's file, `old_sha256`) under `files` (the tree's files/).
// False with `error` when the files cannot be read or written.
bool make_deltas(const std::string& source, const delivery::Chunk_Index& index, const std::string& index_sha256,
                 const std::string& old_file, const std::string& old_sha256, const std::string& files, unsigned threads,
                 Delta_Totals& totals, std::string& error);

}  // namespace publisher
