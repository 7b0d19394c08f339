// The launcher's side of deltas (delta_list.h): which files may use them, their lists, and
// restoring a chunk from one.
//
// A delta is only ever applied to the old file the publisher made it against, and only where
// the file is proven to be that file: the job hashed it whole while cutting it, or the caller's
// install record names its digest for the size and last write it has. The file must still have
// them when a delta is applied; anything else (no list, a delta missing or damaged, a file
// changed since, a result whose SHA-256 is not the chunk's) leaves the chunk to be fetched as
// it is. Files updated in place use no deltas: their old bytes are being overwritten while the
// deltas would read them.
//
// Depends on delta_list.h, job.h (its fetcher, files and counts) and part_file.h.
#pragma once
#include "delivery/delta_list.h"
#include "delivery/job.h"
#include "delivery/part_file.h"

#include <string>
#include <vector>

namespace delivery {

// The SHA-256 of file i's old file when it is proven for the status the part saw (and the part
// is not updated in place); "" otherwise.
std::string proven_old(const Job& j, const Part_File& part, size_t i);

// Fetches the delta list of every file of the job with chunks in `missing` whose old file is
// proven, into `lists` (per file; empty where there is none). A list that is missing, refused
// or unreachable only means no deltas. False when the job was cancelled.
bool fetch_delta_lists(Job& j, const std::vector<Part_File>& parts, const std::vector<std::vector<uint32_t>>& missing,
                       std::vector<Delta_List>& lists);

// The delta for chunk `n` in `list`, or null.
const Delta_Entry* delta_for(const Delta_List& list, uint32_t n);

// Restores chunk `n` of the part from the delta `body` against the part's old file into `out`:
// true only when the delta is the one listed, the old file still has the size and last write
// it was proven with, and the result has the chunk's SHA-256. `base` is scratch room (at most
// delta_region_max bytes).
bool delta_restore(const Part_File& part, const Delta_Entry& d, uint32_t n, std::string_view body, std::string& base,
                   std::string& out);

// Reads the old file's bytes [offset, offset + length) of the part into `out`, while the file
// still has the size and last write it was proven with. False otherwise.
bool read_old_region(const Part_File& part, uint64_t offset, uint32_t length, std::string& out);

}  // namespace delivery
