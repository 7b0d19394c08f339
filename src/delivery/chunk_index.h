// The chunk index of one published file: the chunking parameters, the file's size and, in file
// order, each chunk's SHA-256 (of its uncompressed bytes; also its name under files/chunks/),
// size and stored size.
//
// It is published in pages, so that an update fetches only the part of the index around what
// changed. The chunks are grouped into pages where a chunk's digest says so (about one chunk
// in page_average ends a page; page_max chunks at most), so pages, like chunks, are cut by
// content: an edit changes the pages of its own chunks only. A page lists its chunks' digests
// and sizes, nothing else, so that the launcher can build the pages of the file it already has
// (cut with the same parameters, every chunk hashed) and knows any page whose SHA-256 it finds
// among them without fetching it. All files are named by the SHA-256 of their bytes under
// files/indexes/; the signed manifest names the index's, the index names its pages'.
//
// Binary, little-endian. The index: "TWCI" and format 2 (4 bytes each), min, avg and max chunk
// size (4 bytes each), the file size (8), the chunk count (8), the page count (8), then one zstd
// frame holding exactly: per page its SHA-256 (32) and chunk count (4), then per chunk the
// bytes its stored form saves (size - stored size, 4; 0 for a chunk stored as it is, so a file
// of compressed archives costs next to nothing). A page: per chunk its digest (32) and size (4).
// A chunk is stored compressed with zstd when that is smaller, else as it is.
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

struct Index_Page {
    Digest digest{};     // SHA-256 of the page's bytes, its name under files/indexes/
    uint32_t count = 0;  // chunks it lists
};

// An index as fetched, before its pages are in.
struct Index_Head {
    Chunk_Params params;
    uint64_t file_size = 0;
    uint64_t chunk_count = 0;
    std::vector<Index_Page> pages;
    std::vector<uint32_t> saved;  // per chunk: size - stored size
};

// The little-endian numbers of the delivery's binary files (index, kept cut, undo journal):
// `bytes` of `v` appended to `out`, and read back from `p` or from `in` at `at` (bounds are the
// caller's).
void put_le(std::string& out, uint64_t v, int bytes);
uint64_t get_le(const unsigned char* p, int bytes);
uint64_t get_le(std::string_view in, size_t at, int bytes);

inline constexpr uint32_t page_average = 64;  // chunks a page lists on average (a power of two)
inline constexpr uint32_t page_max = 256;     // chunks a page lists at most
inline constexpr size_t index_header_bytes = 44;
inline constexpr size_t page_entry_bytes = 36;

// The index's file and its pages' files, for the publisher.
struct Encoded_Index {
    std::string index;
    std::vector<std::string> pages;
};
Encoded_Index index_encode(const Chunk_Index& index);

// Groups `chunks` into pages (only digest and size count). `first` gets each page's first chunk.
std::vector<Index_Page> make_pages(const std::vector<Chunk_Entry>& chunks, std::vector<size_t>* first = nullptr);

// Decodes and checks the index of a file of `file_size` bytes (as the manifest says): the
// header, that size, sane parameters, a chunk count the size allows, pages of 1 to page_max
// chunks that add up to it, and a body of exactly the bytes these counts declare (never more is
// decompressed). False with `why` set; `out` is then unspecified.
bool index_head_decode(std::string_view bytes, uint64_t file_size, Index_Head& out, std::string& why);

// Decodes one page of `count` chunks into `out` (appended), each chunk between 1 byte and
// `max_size`. False when the page is not exactly that.
bool page_decode(std::string_view bytes, uint32_t count, uint32_t max_size, std::vector<Chunk_Entry>& out);

// Completes an index whose head was decoded and whose `chunks` hold every page's entries in
// order: stored sizes, then the checks that every chunk but the last is at least the minimum,
// none stores in more bytes than it has or in none, and the sizes add up to the file.
bool index_finish(const Index_Head& head, Chunk_Index& index, std::string& why);

// The most bytes an index file of a file of `file_size` bytes can take: the limit for its answer.
uint64_t index_max_bytes(uint64_t file_size);

// The stored form of a chunk: zstd at `level` when that is smaller, else the bytes as they are.
std::string compress_chunk(std::string_view bytes, int level = 3);

// Restores a chunk from its stored form into `out` (exactly `size` bytes). A stored form as long
// as the size is the bytes themselves; a shorter one must be one zstd frame that decompresses to
// exactly `size` bytes: nothing past the declared size is ever produced. False otherwise.
bool restore_chunk(std::string_view stored, uint32_t size, std::string& out);

}  // namespace delivery
