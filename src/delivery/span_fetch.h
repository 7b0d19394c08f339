// The launcher's side of spans (span_list.h): their lists, which spans are worth fetching, and
// the chunks each yields.
//
// Spans are used only for a file whose old file is proven to be the one the publisher made them
// against (proven_old, delta_fetch.h), and a span is fetched only where it costs less than the
// stored forms of the chunks of its range that the part still misses. It is decoded against the
// old file's region while the file still has the size and last write it was proven with, and
// each chunk it yields is handed on only when it has the chunk's SHA-256. Whatever a span does
// not serve (no list, a span missing, damaged, a bomb, a wrong base, a chunk of other bytes)
// stays missing, for the deltas and then the chunks.
//
// Memory: spans are decoded one at a time on the job's thread, holding the old region (at most
// span_region_max, 16 MiB) and what it yields (at most span_new_max, 8 MiB), with at most two
// answers in flight.
//
// Depends on span_list.h, delta_fetch.h, job.h (its fetcher, files and counts) and part_file.h.
#pragma once
#include "delivery/job.h"
#include "delivery/part_file.h"
#include "delivery/span_list.h"

#include <functional>
#include <string_view>
#include <vector>

namespace delivery {

// Takes a verified chunk of file `file`: false when it could not be written (the job has
// failed and stops).
using Span_Chunk = std::function<bool(size_t file, uint32_t chunk, std::string_view bytes)>;

// Fetches the span lists of the job's files missing at least span_least bytes of chunks and
// with a proven old file,
// then the spans worth fetching; every chunk a span serves goes to `write` and leaves
// `missing`. False when the job was cancelled or `write` failed.
bool fetch_spans(Job& j, const std::vector<Part_File>& parts, std::vector<std::vector<uint32_t>>& missing,
                 const Span_Chunk& write);

// The stored bytes of the chunks of `s` that `missing` (sorted) lists: what fetching them costs
// without the span.
uint64_t span_missing_stored(const Chunk_Index& index, const Span_Entry& s, const std::vector<uint32_t>& missing);

}  // namespace delivery
