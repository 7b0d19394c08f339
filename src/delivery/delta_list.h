// Deltas: a new chunk compressed against bytes of the old file the player already has, instead
// of alone. Rebuilt programs change a few bytes everywhere, so nearly every chunk of them is new,
// yet each is mostly the old file's bytes near the same place: zstd given that old region as
// its dictionary (a raw prefix) stores such a chunk in a fraction of its stored form.
//
// The publisher makes, for a file the previous release had with other bytes, one delta list per
// pair (old file, new index): files/deltas/<old file's SHA-256>-<new index's SHA-256>, and each
// delta it names as files/deltas/<SHA-256 of the delta>. A launcher whose old file is proven to
// be that old file derives the list's name from the two digests; no list (404) means no deltas.
// The list is not signed and needs not be: every delta is checked by its own SHA-256, and what
// it restores by the new chunk's SHA-256 from the signed index, so a wrong list costs a fetch of
// the chunk, never a wrong byte. Existing index files and the manifest do not change.
//
// Binary, little-endian: "TWDL" and format 1 (4 bytes each), the old file's size (8), the new
// file's size (8), the delta count (4), then per delta, by increasing chunk number: the new
// chunk's number in the index (4), the old file's region used as dictionary: offset (8) and
// length (4), the delta's size (4) and its SHA-256 (32).
//
// Depends on chunk_index.h and libzstd. No state; any thread.
#pragma once
#include "delivery/chunk_index.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {

struct Delta_Entry {
    uint32_t chunk = 0;        // number in the new index
    uint64_t offset = 0;       // the old file's bytes [offset, offset + length) are its dictionary
    uint32_t length = 0;
    uint32_t size = 0;         // bytes of the delta file
    Digest digest{};           // SHA-256 of the delta file, its name under files/deltas/
};

struct Delta_List {
    uint64_t old_size = 0;
    uint64_t new_size = 0;
    std::vector<Delta_Entry> deltas;
};

inline constexpr size_t delta_list_header_bytes = 28;
inline constexpr size_t delta_entry_bytes = 52;
// Old bytes taken on each side of a chunk's place: the region a delta is made against.
inline constexpr uint32_t delta_margin = 256 << 10;

// The longest region a delta against chunks of at most `max_size` bytes may name: bounds what
// one delta costs to apply.
inline uint32_t delta_region_max(uint32_t max_size) { return max_size + 2 * delta_margin; }

// The path of the delta list for the old file `old_sha256` and the new index `index_sha256`
// (both hexadecimal), below the release server's base URL.
std::string delta_list_path(const std::string& old_sha256, const std::string& index_sha256);

std::string delta_list_encode(const Delta_List& list);

// The most bytes a list for an index of `chunk_count` chunks can take: the limit for its answer.
uint64_t delta_list_max_bytes(uint64_t chunk_count);

// Decodes a list for an old file of `old_size` bytes and the new file's `index`: the header and
// both sizes, at most one delta per chunk in increasing order, every region inside the old file
// and at most delta_region_max long, every delta smaller than its chunk's stored form (else the
// chunk is the better fetch), and exactly the bytes the count declares. False with `why` set.
bool delta_list_decode(std::string_view bytes, uint64_t old_size, const Chunk_Index& index, Delta_List& out,
                       std::string& why);

// The delta of `chunk` against the dictionary `base`, zstd at `level`; "" when zstd fails.
std::string delta_make(std::string_view base, std::string_view chunk, int level);

// Restores a chunk of exactly `size` bytes from `delta` against `base` into `out`; nothing past
// `size` is ever produced. False when the delta is no zstd frame giving exactly that.
bool delta_apply(std::string_view delta, std::string_view base, uint32_t size, std::string& out);

}  // namespace delivery
