// Spans: a run of consecutive new chunks of a file compressed as one zstd frame against a large
// region of the old file, instead of chunk by chunk. A chunk compressed alone, or against the
// half MiB of old bytes around it (delta_list.h), loses the long context that a patch of the
// whole file uses: a span of a few MiB matched against tens of MiB of the old file finds the
// code and data that moved far, and pays a frame's overhead once for many chunks.
//
// The publisher makes, for a file an earlier release of the channel had with other bytes, one
// span list per pair (old file, new index): files/spans/<old file's SHA-256>-<new index's
// SHA-256>, and each span it names as files/spans/<SHA-256 of the span>. Like the delta lists the
// list is not signed: every span is checked by its own SHA-256, and every chunk it yields by the
// chunk's SHA-256 from the signed index, so a wrong list or span costs a fetch of its chunks,
// never a wrong byte.
//
// Binary, little-endian: "TWSL" and format 1 (4 bytes each), the old file's size (8), the new
// file's size (8), the span count (4), then per span, by increasing chunk number and not
// overlapping: its first chunk's number in the index (4), its chunk count (4), the old file's
// region used as prefix: offset (8) and length (4), the span's size (4) and its SHA-256 (32).
//
// Limits: a span yields at most span_new_max bytes and names at most span_region_max old bytes,
// so decoding one holds at most both in memory (24 MiB).
//
// Depends on chunk_index.h and libzstd. No state; any thread.
#pragma once
#include "delivery/chunk_index.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {

struct Span_Entry {
    uint32_t first = 0;   // its first chunk's number in the new index
    uint32_t count = 0;   // chunks [first, first + count), their bytes one after another
    uint64_t offset = 0;  // the old file's bytes [offset, offset + length) are its prefix
    uint32_t length = 0;
    uint32_t size = 0;    // bytes of the span file
    Digest digest{};      // SHA-256 of the span file, its name under files/spans/
};

struct Span_List {
    uint64_t old_size = 0;
    uint64_t new_size = 0;
    std::vector<Span_Entry> spans;
};

inline constexpr size_t span_list_header_bytes = 28;
inline constexpr size_t span_entry_bytes = 56;
inline constexpr uint32_t span_new_max = 8 << 20;
inline constexpr uint32_t span_region_max = 16 << 20;
// Runs of new chunks yielding fewer bytes get no span, and files missing fewer no span list
// request: a few chunks are served as well by their deltas, and a release of many slightly
// changed files would cost a request more for each.
inline constexpr uint32_t span_least = 256 << 10;

// The path of the span list for the old file `old_sha256` and the new index `index_sha256`
// (both hexadecimal), below the release server's base URL.
std::string span_list_path(const std::string& old_sha256, const std::string& index_sha256);

std::string span_list_encode(const Span_List& list);

// The most bytes a list for an index of `chunk_count` chunks can take: the limit for its answer.
uint64_t span_list_max_bytes(uint64_t chunk_count);

// The new bytes span `s` of `index` yields: its chunks' sizes added up.
uint64_t span_bytes(const Chunk_Index& index, const Span_Entry& s);

// Decodes a list for an old file of `old_size` bytes and the new file's `index`: the header and
// both sizes, spans in increasing order that do not overlap and lie inside the index, each
// yielding at most span_new_max bytes, every region inside the old file and at most
// span_region_max long, every span smaller than its chunks' stored forms together (else the
// chunks are the better fetch), and exactly the bytes the count declares. False with `why` set.
bool span_list_decode(std::string_view bytes, uint64_t old_size, const Chunk_Index& index, Span_List& out,
                      std::string& why);

// The span of `bytes` against the prefix `base`, zstd at `level` with long-distance matching
// and match tables sized for the prefix (up to 2^24 entries: 128 MiB while it runs); "" when
// zstd fails.
std::string span_make(std::string_view base, std::string_view bytes, int level);

// Restores exactly `size` bytes from `span` against `base` into `out`; nothing past `size` is
// ever produced, and no window past what prefix and size need is accepted. False when the span
// is no zstd frame giving exactly that.
bool span_apply(std::string_view span, std::string_view base, uint32_t size, std::string& out);

}  // namespace delivery
