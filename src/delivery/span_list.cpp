#include "delivery/span_list.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace delivery {

namespace {

constexpr char magic[4] = {'T', 'W', 'S', 'L'};
constexpr uint32_t format = 1;

struct Free_CCtx {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct Free_DCtx {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// The window that reaches from the span's end back to the prefix's start: zstd's smallest (2^10)
// at least.
int reach_log(uint64_t reach) { return reach <= 1024 ? 10 : int(std::bit_width(reach - 1)); }

}  // namespace

std::string span_list_path(const std::string& old_sha256, const std::string& index_sha256) {
    return "/files/spans/" + old_sha256 + "-" + index_sha256;
}

std::string span_list_encode(const Span_List& list) {
    std::string out(magic, 4);
    out.reserve(span_list_header_bytes + list.spans.size() * span_entry_bytes);
    put_le(out, format, 4);
    put_le(out, list.old_size, 8);
    put_le(out, list.new_size, 8);
    put_le(out, list.spans.size(), 4);
    for (const Span_Entry& s : list.spans) {
        put_le(out, s.first, 4);
        put_le(out, s.count, 4);
        put_le(out, s.offset, 8);
        put_le(out, s.length, 4);
        put_le(out, s.size, 4);
        out.append(reinterpret_cast<const char*>(s.digest.data()), s.digest.size());
    }
    return out;
}

uint64_t span_list_max_bytes(uint64_t chunk_count) {
    return span_list_header_bytes + chunk_count * span_entry_bytes;
}

uint64_t span_bytes(const Chunk_Index& index, const Span_Entry& s) {
    uint64_t sum = 0;
    for (uint32_t k = s.first; k < s.first + s.count; ++k) sum += index.chunks[k].size;
    return sum;
}

bool span_list_decode(std::string_view bytes, uint64_t old_size, const Chunk_Index& index, Span_List& out,
                      std::string& why) {
    auto bad = [&](const char* text) {
        why = text;
        return false;
    };
    if (bytes.size() < span_list_header_bytes || std::memcmp(bytes.data(), magic, 4) != 0) return bad("not a span list");
    if (get_le(bytes, 4, 4) != format) return bad("unknown span list format");
    out.old_size = get_le(bytes, 8, 8);
    out.new_size = get_le(bytes, 16, 8);
    const uint64_t count = get_le(bytes, 24, 4);
    if (out.old_size != old_size || out.new_size != index.file_size) return bad("a list for other files");
    // Spans do not overlap, so there are no more of them than chunks: checked before reserving.
    if (count > index.chunks.size()) return bad("bad span count");
    if (bytes.size() != span_list_header_bytes + count * span_entry_bytes) return bad("wrong length");
    out.spans.clear();
    out.spans.reserve(size_t(count));
    const uint64_t chunks = index.chunks.size();
    for (size_t at = span_list_header_bytes; at < bytes.size(); at += span_entry_bytes) {
        Span_Entry s;
        s.first = uint32_t(get_le(bytes, at, 4));
        s.count = uint32_t(get_le(bytes, at + 4, 4));
        s.offset = get_le(bytes, at + 8, 8);
        s.length = uint32_t(get_le(bytes, at + 16, 4));
        s.size = uint32_t(get_le(bytes, at + 20, 4));
        std::memcpy(s.digest.data(), bytes.data() + at + 24, 32);
        const uint64_t after = uint64_t(s.first) + s.count;
        if (s.count == 0 || after > chunks ||
            (!out.spans.empty() && s.first < uint64_t(out.spans.back().first) + out.spans.back().count))
            return bad("bad chunk range");
        // Ranges do not overlap, so adding up their sizes costs at most one step per chunk.
        uint64_t stored = 0, size = 0;
        for (uint64_t k = s.first; k < after && size <= span_new_max; ++k) {
            size += index.chunks[k].size;
            stored += index.chunks[k].stored;
        }
        if (size > span_new_max) return bad("a span too long");
        if (s.length == 0 || s.length > span_region_max || s.offset > old_size || s.length > old_size - s.offset)
            return bad("bad region");
        if (s.size == 0 || s.size >= stored) return bad("bad span size");
        out.spans.push_back(s);
    }
    return true;
}

std::string span_make(std::string_view base, std::string_view bytes, int level) {
    std::unique_ptr<ZSTD_CCtx, Free_CCtx> cctx(ZSTD_createCCtx());
    if (!cctx) return {};
    std::string out(ZSTD_compressBound(bytes.size()), '\0');
    // The frame names no dictionary and carries no checksum: every chunk's SHA-256 checks it.
    // The level's own match tables are sized for a small input and forget most of a prefix of
    // many MiB: tables of up to 2^24 entries found a fifth more of a browser's old program (spans
    // 24 % of their bytes instead of 31 %) and of a Java runtime's (10.4 % instead of 13.5 %), at
    // about four times the time. Decoding costs the same either way.
    const int reach = reach_log(base.size() + bytes.size());
    const int tables = std::min(24, reach);
    if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, reach)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_hashLog, tables)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_chainLog, tables)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1)) ||
        ZSTD_isError(ZSTD_CCtx_refPrefix(cctx.get(), base.data(), base.size())))
        return {};
    size_t n = ZSTD_compress2(cctx.get(), out.data(), out.size(), bytes.data(), bytes.size());
    if (ZSTD_isError(n)) return {};
    out.resize(n);
    return out;
}

bool span_apply(std::string_view span, std::string_view base, uint32_t size, std::string& out) {
    std::unique_ptr<ZSTD_DCtx, Free_DCtx> dctx(ZSTD_createDCtx());
    if (!dctx || size > span_new_max || base.size() > span_region_max) return false;
    // A frame asking for a wider window than prefix and span need was not made by the publisher.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, reach_log(base.size() + size))) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), base.data(), base.size())))
        return false;
    // Exactly `size` bytes of room: a frame claiming more stops with an error (no bomb).
    out.resize(size);
    size_t n = ZSTD_decompressDCtx(dctx.get(), out.data(), size, span.data(), span.size());
    return !ZSTD_isError(n) && n == size;
}

}  // namespace delivery
