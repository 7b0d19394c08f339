// The chunk index of one published file: the chunking parameters, the file's size and, in file
// order, each chunk's SHA-256 (of its uncompressed bytes; also its name under files/chunks/),
// size and stored size. The publisher writes it as a file named by its own SHA-256 under
// files/indexes/; the signed manifest names that digest, so an index that hashes right is the
// publisher's.
//
// Binary, little-endian: "TWCI" and format 1 (4 bytes each), min, avg and max chunk size
// (4 bytes each), the file size (8), the chunk count (8), then 40 bytes a chunk: digest (32),
// size (4), stored size (4). A chunk is stored compressed with zstd when that is smaller,
// else as it is (stored size = size).
//
// Depends on chunker.h and libzstd. No state; any thread.
#pragma once
#include "delivery/chunker.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {

struct Chunk_Entry {
    Digest digest{};
    uint32_t size = 0;
    uint32_t stored = 0;  // bytes of the chunk file; equal to size when stored uncompressed
};

struct Chunk_Index {
    Chunk_Params params;
    uint64_t file_size = 0;
    std::vector<Chunk_Entry> chunks;
};

inline constexpr size_t index_header_bytes = 36;
inline constexpr size_t index_entry_bytes = 40;

std::string index_encode(const Chunk_Index& index);

// Decodes and checks an index: the header, sane parameters, every chunk between 1 byte and the
// maximum, stored sizes between 1 and the size, and sizes that add up to the file size. On
// failure returns false with `why` set; `out` is then unspecified.
bool index_decode(std::string_view bytes, Chunk_Index& out, std::string& why);

// The most bytes an index of a file of `file_size` bytes can take (every chunk at the smallest
// allowed size): the limit for an index answer.
uint64_t index_max_bytes(uint64_t file_size);

// The stored form of a chunk: zstd at `level` when that is smaller, else the bytes as they are.
std::string compress_chunk(std::string_view bytes, int level = 3);

// Restores a chunk from its stored form into `out` (exactly `size` bytes). A stored form as long
// as the size is the bytes themselves; a shorter one must be one zstd frame that decompresses to
// exactly `size` bytes: nothing past the declared size is ever produced. False otherwise.
bool restore_chunk(std::string_view stored, uint32_t size, std::string& out);

}  // namespace delivery
