#include "delivery/chunk_index.h"

#include <zstd.h>

#include <cstring>

namespace delivery {

namespace {

constexpr char magic[4] = {'T', 'W', 'C', 'I'};
constexpr uint32_t format = 1;
// The smallest minimum chunk size an index may declare (params_ok): bounds the entry count.
constexpr uint64_t smallest_chunk = 64;

void put_le(std::string& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += char((v >> (8 * i)) & 0xFF);
}

uint64_t get_le(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

std::string index_encode(const Chunk_Index& index) {
    std::string out(magic, 4);
    out.reserve(index_header_bytes + index.chunks.size() * index_entry_bytes);
    put_le(out, format, 4);
    put_le(out, index.params.min_size, 4);
    put_le(out, index.params.avg_size, 4);
    put_le(out, index.params.max_size, 4);
    put_le(out, index.file_size, 8);
    put_le(out, index.chunks.size(), 8);
    for (const Chunk_Entry& c : index.chunks) {
        out.append(reinterpret_cast<const char*>(c.digest.data()), c.digest.size());
        put_le(out, c.size, 4);
        put_le(out, c.stored, 4);
    }
    return out;
}

bool index_decode(std::string_view bytes, Chunk_Index& out, std::string& why) {
    auto bad = [&](const char* text) {
        why = text;
        return false;
    };
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < index_header_bytes || std::memcmp(p, magic, 4) != 0) return bad("not a chunk index");
    if (get_le(p + 4, 4) != format) return bad("unknown chunk index format");
    out.params.min_size = uint32_t(get_le(p + 8, 4));
    out.params.avg_size = uint32_t(get_le(p + 12, 4));
    out.params.max_size = uint32_t(get_le(p + 16, 4));
    out.file_size = get_le(p + 20, 8);
    uint64_t count = get_le(p + 28, 8);
    if (!params_ok(out.params)) return bad("bad chunk sizes");
    if (count > (bytes.size() - index_header_bytes) / index_entry_bytes ||
        bytes.size() != index_header_bytes + count * index_entry_bytes)
        return bad("wrong length");
    out.chunks.resize(size_t(count));
    uint64_t total = 0;
    p += index_header_bytes;
    for (Chunk_Entry& c : out.chunks) {
        std::memcpy(c.digest.data(), p, 32);
        c.size = uint32_t(get_le(p + 32, 4));
        c.stored = uint32_t(get_le(p + 36, 4));
        p += index_entry_bytes;
        if (c.size == 0 || c.size > out.params.max_size || c.stored == 0 || c.stored > c.size)
            return bad("bad chunk size");
        total += c.size;
    }
    if (total != out.file_size) return bad("chunk sizes do not add up to the file");
    return true;
}

uint64_t index_max_bytes(uint64_t file_size) {
    return index_header_bytes + (file_size / smallest_chunk + 1) * index_entry_bytes;
}

std::string compress_chunk(std::string_view bytes, int level) {
    std::string out(ZSTD_compressBound(bytes.size()), '\0');
    size_t n = ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), level);
    if (ZSTD_isError(n) || n >= bytes.size()) return std::string(bytes);
    out.resize(n);
    return out;
}

bool restore_chunk(std::string_view stored, uint32_t size, std::string& out) {
    if (stored.size() > size) return false;
    if (stored.size() == size) {
        out.assign(stored);
        return true;
    }
    // The frame's own size claim is not trusted: decompressing into exactly `size` bytes makes
    // zstd stop with an error at the first byte past them.
    out.resize(size);
    size_t n = ZSTD_decompress(out.data(), size, stored.data(), stored.size());
    return !ZSTD_isError(n) && n == size;
}

}  // namespace delivery
