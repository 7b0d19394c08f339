#include "delivery/delta_list.h"

#include <zstd.h>

#include <cstring>
#include <memory>

namespace delivery {

namespace {

constexpr char magic[4] = {'T', 'W', 'D', 'L'};
constexpr uint32_t format = 1;

struct Free_CCtx {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct Free_DCtx {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// The smallest window that reaches from the chunk's end back to the dictionary's start.
int window_log(size_t reach) {
    int log = 10;  // zstd's smallest window
    while (log < 30 && (size_t(1) << log) < reach) ++log;
    return log;
}

}  // namespace

std::string delta_list_path(const std::string& old_sha256, const std::string& index_sha256) {
    return "/files/deltas/" + old_sha256 + "-" + index_sha256;
}

std::string delta_list_encode(const Delta_List& list) {
    std::string out(magic, 4);
    out.reserve(delta_list_header_bytes + list.deltas.size() * delta_entry_bytes);
    put_le(out, format, 4);
    put_le(out, list.old_size, 8);
    put_le(out, list.new_size, 8);
    put_le(out, list.deltas.size(), 4);
    for (const Delta_Entry& d : list.deltas) {
        put_le(out, d.chunk, 4);
        put_le(out, d.offset, 8);
        put_le(out, d.length, 4);
        put_le(out, d.size, 4);
        out.append(reinterpret_cast<const char*>(d.digest.data()), d.digest.size());
    }
    return out;
}

uint64_t delta_list_max_bytes(uint64_t chunk_count) {
    return delta_list_header_bytes + chunk_count * delta_entry_bytes;
}

bool delta_list_decode(std::string_view bytes, uint64_t old_size, const Chunk_Index& index, Delta_List& out,
                       std::string& why) {
    auto bad = [&](const char* text) {
        why = text;
        return false;
    };
    if (bytes.size() < delta_list_header_bytes || std::memcmp(bytes.data(), magic, 4) != 0) return bad("not a delta list");
    if (get_le(bytes, 4, 4) != format) return bad("unknown delta list format");
    out.old_size = get_le(bytes, 8, 8);
    out.new_size = get_le(bytes, 16, 8);
    uint64_t count = get_le(bytes, 24, 4);
    if (out.old_size != old_size || out.new_size != index.file_size) return bad("a list for other files");
    // The count is checked against what the index allows before anything is reserved for it.
    if (count > index.chunks.size()) return bad("bad delta count");
    if (bytes.size() != delta_list_header_bytes + count * delta_entry_bytes) return bad("wrong length");
    out.deltas.clear();
    out.deltas.reserve(size_t(count));
    const uint32_t region_max = delta_region_max(index.params.max_size);
    for (size_t at = delta_list_header_bytes; at < bytes.size(); at += delta_entry_bytes) {
        Delta_Entry d;
        d.chunk = uint32_t(get_le(bytes, at, 4));
        d.offset = get_le(bytes, at + 4, 8);
        d.length = uint32_t(get_le(bytes, at + 12, 4));
        d.size = uint32_t(get_le(bytes, at + 16, 4));
        std::memcpy(d.digest.data(), bytes.data() + at + 20, 32);
        if (d.chunk >= index.chunks.size() || (!out.deltas.empty() && d.chunk <= out.deltas.back().chunk))
            return bad("bad chunk number");
        if (d.length == 0 || d.length > region_max || d.offset > old_size || d.length > old_size - d.offset)
            return bad("bad region");
        if (d.size == 0 || d.size >= index.chunks[d.chunk].stored) return bad("bad delta size");
        out.deltas.push_back(d);
    }
    return true;
}

std::string delta_make(std::string_view base, std::string_view chunk, int level) {
    std::unique_ptr<ZSTD_CCtx, Free_CCtx> cctx(ZSTD_createCCtx());
    if (!cctx) return {};
    std::string out(ZSTD_compressBound(chunk.size()), '\0');
    // The frame names no dictionary and carries no checksum: the chunk's SHA-256 checks it.
    if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, window_log(base.size() + chunk.size()))) ||
        ZSTD_isError(ZSTD_CCtx_refPrefix(cctx.get(), base.data(), base.size())))
        return {};
    size_t n = ZSTD_compress2(cctx.get(), out.data(), out.size(), chunk.data(), chunk.size());
    if (ZSTD_isError(n)) return {};
    out.resize(n);
    return out;
}

bool delta_apply(std::string_view delta, std::string_view base, uint32_t size, std::string& out) {
    std::unique_ptr<ZSTD_DCtx, Free_DCtx> dctx(ZSTD_createDCtx());
    if (!dctx || ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), base.data(), base.size()))) return false;
    // As restore_chunk: exactly `size` bytes of room, so a frame claiming more stops with an error.
    out.resize(size);
    size_t n = ZSTD_decompressDCtx(dctx.get(), out.data(), size, delta.data(), delta.size());
    return !ZSTD_isError(n) && n == size;
}

}  // namespace delivery
