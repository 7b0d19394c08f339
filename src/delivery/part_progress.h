// part_progress: how far an interrupted download of one chunked file got, read from its part's
// journal alone (scratch.h names it) without opening the part or fetching the index, for the
// player's "Resume (26 %)". A count, not a promise: the resume still reads back and checks every
// chunk the journal lists.
//
// Depends on scratch.h and platform/files.h. No state; any thread.
// Limits: a journal longer than `most_chunks` entries, or of another index, counts nothing.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace delivery {

// The distinct chunks the journal beside `target` lists for the index with SHA-256
// `index_sha256` (hex, as the manifest names it); 0 without a journal of that index.
uint64_t part_chunks_journaled(const std::string& target, std::string_view index_sha256, uint64_t most_chunks);

}  // namespace delivery
