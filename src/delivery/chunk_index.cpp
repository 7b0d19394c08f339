#include "delivery/chunk_index.h"

#include <zstd.h>

#include <cstring>

namespace delivery {

namespace {

constexpr char magic[4] = {'T', 'W', 'C', 'I'};
constexpr uint32_t format = 2;
// The smallest minimum chunk size an index may declare (params_ok): bounds the entry count.
constexpr uint64_t smallest_chunk = 64;

void put_digest(std::string& out, const Digest& d) { out.append(reinterpret_cast<const char*>(d.data()), d.size()); }

// A page ends after a chunk whose digest's last two bytes are 0 modulo page_average.
bool ends_page(const Digest& d) { return ((d[30] | (d[31] << 8)) & (page_average - 1)) == 0; }

std::string page_encode(const Chunk_Entry* chunks, size_t count) {
    std::string out;
    out.reserve(count * page_entry_bytes);
    for (size_t i = 0; i < count; ++i) {
        put_digest(out, chunks[i].digest);
        put_le(out, chunks[i].size, 4);
    }
    return out;
}

}  // namespace

void put_le(std::string& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += char((v >> (8 * i)) & 0xFF);
}

uint64_t get_le(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

uint64_t get_le(std::string_view in, size_t at, int bytes) {
    return get_le(reinterpret_cast<const unsigned char*>(in.data()) + at, bytes);
}

std::vector<Index_Page> make_pages(const std::vector<Chunk_Entry>& chunks, std::vector<size_t>* first) {
    std::vector<Index_Page> pages;
    size_t start = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (i + 1 < chunks.size() && i + 1 - start < page_max && !ends_page(chunks[i].digest)) continue;
        pages.push_back({sha256(page_encode(chunks.data() + start, i + 1 - start)), uint32_t(i + 1 - start)});
        if (first) first->push_back(start);
        start = i + 1;
    }
    return pages;
}

Encoded_Index index_encode(const Chunk_Index& index) {
    Encoded_Index out;
    std::vector<size_t> first;
    std::vector<Index_Page> pages = make_pages(index.chunks, &first);
    std::string body;
    body.reserve(pages.size() * (32 + 4) + index.chunks.size() * 4);
    for (size_t p = 0; p < pages.size(); ++p) {
        put_digest(body, pages[p].digest);
        put_le(body, pages[p].count, 4);
        out.pages.push_back(page_encode(index.chunks.data() + first[p], pages[p].count));
    }
    for (const Chunk_Entry& c : index.chunks) put_le(body, c.size - c.stored, 4);

    out.index.assign(magic, 4);
    put_le(out.index, format, 4);
    put_le(out.index, index.params.min_size, 4);
    put_le(out.index, index.params.avg_size, 4);
    put_le(out.index, index.params.max_size, 4);
    put_le(out.index, index.file_size, 8);
    put_le(out.index, index.chunks.size(), 8);
    put_le(out.index, pages.size(), 8);
    size_t at = out.index.size();
    out.index.resize(at + ZSTD_compressBound(body.size()));
    size_t n = ZSTD_compress(out.index.data() + at, out.index.size() - at, body.data(), body.size(), 19);
    out.index.resize(ZSTD_isError(n) ? at : at + n);  // cannot fail: the room is the bound
    return out;
}

bool index_head_decode(std::string_view bytes, uint64_t file_size, Index_Head& out, std::string& why) {
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
    out.chunk_count = get_le(p + 28, 8);
    uint64_t page_count = get_le(p + 36, 8);
    if (!params_ok(out.params)) return bad("bad chunk sizes");
    if (out.file_size != file_size) return bad("an index of another file");
    // Every chunk but the last holds at least the minimum, and every page at least one chunk:
    // this bounds what the body may decompress to before a byte of it is decompressed.
    if (out.chunk_count > out.file_size / out.params.min_size + 1 || out.chunk_count > out.file_size ||
        page_count > out.chunk_count || (out.chunk_count > 0 && page_count == 0))
        return bad("bad chunk count");
    size_t body_size = size_t(page_count * (32 + 4) + out.chunk_count * 4);
    std::string body(body_size, '\0');
    std::string_view frame = bytes.substr(index_header_bytes);
    size_t n = ZSTD_decompress(body.data(), body.size(), frame.data(), frame.size());
    if (ZSTD_isError(n) || n != body_size) return bad("wrong length");

    const auto* b = reinterpret_cast<const unsigned char*>(body.data());
    out.pages.resize(size_t(page_count));
    uint64_t listed = 0;
    for (Index_Page& page : out.pages) {
        std::memcpy(page.digest.data(), b, 32);
        page.count = uint32_t(get_le(b + 32, 4));
        b += 32 + 4;
        if (page.count == 0 || page.count > page_max) return bad("bad page");
        listed += page.count;
    }
    if (listed != out.chunk_count) return bad("pages do not add up to the chunks");
    out.saved.resize(size_t(out.chunk_count));
    for (uint32_t& s : out.saved) {
        s = uint32_t(get_le(b, 4));
        b += 4;
    }
    return true;
}

bool page_decode(std::string_view bytes, uint32_t count, uint32_t max_size, std::vector<Chunk_Entry>& out) {
    if (bytes.size() != size_t(count) * page_entry_bytes) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (uint32_t i = 0; i < count; ++i, p += page_entry_bytes) {
        Chunk_Entry c;
        std::memcpy(c.digest.data(), p, 32);
        c.size = uint32_t(get_le(p + 32, 4));
        if (c.size == 0 || c.size > max_size) return false;
        out.push_back(c);
    }
    return true;
}

bool index_finish(const Index_Head& head, Chunk_Index& index, std::string& why) {
    index.params = head.params;
    index.file_size = head.file_size;
    if (index.chunks.size() != head.chunk_count) {
        why = "pages do not add up to the chunks";
        return false;
    }
    uint64_t total = 0;
    for (size_t i = 0; i < index.chunks.size(); ++i) {
        Chunk_Entry& c = index.chunks[i];
        if (head.saved[i] >= c.size || (i + 1 < index.chunks.size() && c.size < head.params.min_size)) {
            why = "bad chunk size";
            return false;
        }
        c.stored = c.size - head.saved[i];
        total += c.size;
    }
    if (total != head.file_size) {
        why = "chunk sizes do not add up to the file";
        return false;
    }
    return true;
}

uint64_t index_max_bytes(uint64_t file_size) {
    uint64_t entries = file_size / smallest_chunk + 1;
    return index_header_bytes + ZSTD_compressBound(size_t(entries * (32 + 4 + 4)));
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
