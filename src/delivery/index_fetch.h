// Fetching the chunk indexes of a job's files: each index (checked against the digest the signed
// manifest names), then only the pages of it that the file already on disk does not provide.
// The old file is cut with the index's parameters and its chunks hashed; a page built from them
// whose SHA-256 the index names is that page, byte for byte, so it is never fetched. After an
// edit the pages around it are fetched; the rest of a large file's index costs nothing.
//
// A file the manifest lists without an index is a file of one chunk, the file itself: its digest
// is the file's, and it is streamed from its blob into its part (whole_file.h), so the job plans,
// counts and hands over every file alike.
//
// Depends on job.h (its fetcher, files and byte counts) and part_file.h.
#pragma once
#include "delivery/job.h"
#include "delivery/part_file.h"

#include <string>
#include <vector>

namespace delivery {

// The most bytes file `f` can bring: a file without an index comes in one answer, no longer than
// `answer_limit` (when above 0) whatever its entry claims.
int64_t most_bytes(const backend::Release_File& f, int64_t answer_limit);

// Fills parts[i] (target, index and its digest) for every file of the job. False with `failure`
// set to the patcher's message, or with it empty when the job was cancelled.
bool fetch_indexes(Job& j, std::vector<Part_File>& parts, std::string& failure);

}  // namespace delivery
