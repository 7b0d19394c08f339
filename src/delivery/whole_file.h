// A file without a chunk index, a file of one chunk in the job (index_fetch.h), fetched whole from
// its blob ("/files/blobs/<sha256>"): the answer
// streams into a fresh "NAME.part" while it is hashed, so neither the window nor memory ever holds
// it whole (over WinHTTP the transport holds the answer until it is complete). A part whose bytes
// match the manifest's digest is left for the patcher to move over its target; any other outcome
// removes it.
//
// The outcomes and their sentences are those a whole file has always had: no answer, an answer
// longer than the limit, or a status outside 200 to 299: "Couldn't download"; a body of another
// digest, whatever its length: "arrived damaged"; a part that cannot be written: "Couldn't write"
// (only for a body whose digest matched). A fetch stopped or cut short keeps its part, and the
// next goes on from it with a Range request, hashing the kept bytes again.
//
// Depends on job.h (its fetcher, folder and limit), part_file.h (the part's name),
// backend/requests.h (the blob's path),
// platform/files.h, platform/system.h and chunker.h (SHA-256). Runs on the job's thread.
#pragma once
#include "delivery/job.h"

#include <string>

namespace delivery {

// Fetches file i of the job into its part, going on from a part an earlier fetch left. True when
// the part is verified; false with `failure` set to the player's message, or left empty when the
// job was cancelled (a part is kept only when the transfer was stopped or cut short).
bool fetch_whole(Job& j, size_t i, std::string& failure);

}  // namespace delivery
