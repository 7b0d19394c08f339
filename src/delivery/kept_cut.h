// The cut of each installed chunked file, kept beside the install record in "install.cuts/"
// (one small binary file per installed file, named by the SHA-256 of its path), so that an
// update of a file unchanged since it was put in place neither reads nor hashes it to plan: the
// kept chunk list gives the index pages the file provides and where each of its chunks sits.
//
// A kept cut vouches for the file only while the file has the size and last write it records;
// any other file is cut again. Written to a temporary file and renamed over the old one; read with every count bounded by the recorded file size and the whole checked against a
// SHA-256 trailer, so a torn or hostile file is refused, never trusted.
//
// Binary, little-endian: "TWKC" and format 1 (4 bytes each), min, avg and max chunk size (4
// each), the file size (8), its last write in ns (8), the chunk count (8), per chunk its digest
// (32) and size (4), then the SHA-256 of everything before it (32).
//
// Depends on chunk_index.h, scratch.h (the names), backend/release.h and platform/files.h. No state; any thread.
#pragma once
#include "delivery/chunk_index.h"
#include "install/scratch.h"
#include "platform/files.h"

#include <cstdint>
#include <string>
#include <vector>

namespace delivery {

struct Kept_Cut {
    Chunk_Params params;
    uint64_t size = 0;     // the file's size and last write when it was cut
    int64_t mtime_ns = 0;
    std::vector<Chunk_Entry> chunks;  // digest and size; `stored` unused
};

std::string kept_cut_encode(const Kept_Cut& c);
// False unless `bytes` is exactly one whole, consistent kept cut (sizes adding up to the file).
bool kept_cut_decode(std::string_view bytes, Kept_Cut& out);

// Keeps the cut (temporary file, rename). False when it cannot be written; the next
// update then cuts the file again.
bool kept_cut_write(const std::string& file, const Kept_Cut& c);

// Reads the kept cut of a file whose status is `now`, with chunking parameters `params`: true
// only when it is whole and records exactly that size, last write and parameters. Reads at most
// the bytes such a cut can have.
bool kept_cut_for(const std::string& file, const platform::File_Status& now, const Chunk_Params& params,
                  Kept_Cut& out);
// kept_cut_for with whatever parameters the cut has: the kept cut vouches for the file as it is.
bool kept_cut_vouches(const std::string& file, const platform::File_Status& now, Kept_Cut& out);

}  // namespace delivery
