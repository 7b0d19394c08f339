// The publisher's spans (delivery/span_list.h): for a file an earlier release had with other
// bytes, the runs of consecutive new chunks the old file lacks (of span_least bytes at least)
// are cut into spans of about span_target bytes, each compressed as one zstd frame (long-distance matching) against a
// region of span_region_max bytes of the old file around the same relative place. A span is
// kept when it is smaller than what its chunks cost without it (each chunk's delta where one
// was kept, else its stored form); the kept spans go to files/spans/ under their SHA-256, and
// their list under the pair's name. A file without a kept span gets no list.
//
// Depends on delivery/span_list.h, delivery/delta_list.h and platform/files.h. Runs `threads`
// threads of its own, each holding a region and a span (about 24 MiB).
#pragma once
#include "delivery/delta_list.h"
#include "delivery/span_list.h"

#include <cstdint>
#include <string>

namespace publisher {

struct Span_Totals {
    uint64_t spans = 0;         // spans kept
    uint64_t span_bytes = 0;    // their bytes, plus the lists'
    uint64_t replaced = 0;      // what their chunks cost without them (deltas or stored forms)
};

// Makes the spans of `source` (cut as `index`, whose file names it `index_sha256`) against
// `old_file` (an earlier release's file, `old_sha256`), given the deltas made for the same pair
// (`deltas`, empty for none), under `files` (the tree's files/). False with `error` when the
// files cannot be read or written.
bool make_spans(const std::string& source, const delivery::Chunk_Index& index, const std::string& index_sha256,
                const std::string& old_file, const std::string& old_sha256, const delivery::Delta_List& deltas,
                const std::string& files, unsigned threads, Span_Totals& totals, std::string& error);

}  // namespace publisher
