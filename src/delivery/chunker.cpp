#include "delivery/chunker.h"

#include "platform/files.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace delivery {

namespace {

// 256 fixed pseudo-random words (splitmix64 from a fixed seed): part of the format.
std::array<uint64_t, 256> make_gear() {
    std::array<uint64_t, 256> g{};
    uint64_t x = 0x7461726e7769636bULL;  // "tarnwick"
    for (uint64_t& v : g) {
        x += 0x9E3779B97F4A7C15ULL;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        v = z ^ (z >> 31);
    }
    return g;
}
const std::array<uint64_t, 256> gear = make_gear();

int log2_of(uint32_t v) {
    int n = 0;
    while ((1u << (n + 1)) <= v) ++n;
    return n;
}

// `bits` one-bits in the top of the word: the gear hash's top bits depend on the last 64 bytes.
uint64_t top_mask(int bits) { return bits <= 0 ? 0 : ~uint64_t(0) << (64 - bits); }

}  // namespace

bool params_ok(const Chunk_Params& p) {
    return p.avg_size >= 256 && (p.avg_size & (p.avg_size - 1)) == 0 && p.min_size >= 64 &&
           p.min_size <= p.avg_size && p.avg_size <= p.max_size && p.max_size <= max_chunk_limit;
}

size_t cut_point(const unsigned char* data, size_t size, const Chunk_Params& p) {
    if (size <= p.min_size) return size;
    size_t end = size < p.max_size ? size : p.max_size;
    size_t normal = end < p.avg_size ? end : p.avg_size;
    int bits = log2_of(p.avg_size);
    const uint64_t strict = top_mask(bits + 1), loose = top_mask(bits - 1);
    uint64_t h = 0;
    size_t i = p.min_size;
    for (; i < normal; ++i) {
        h = (h << 1) + gear[data[i]];
        if (!(h & strict)) return i + 1;
    }
    for (; i < end; ++i) {
        h = (h << 1) + gear[data[i]];
        if (!(h & loose)) return i + 1;
    }
    return end;
}

bool cut_file(const std::string& path, const Chunk_Params& p,
              const std::function<bool(uint64_t, std::string_view, const Digest&)>& on_chunk) {
    return cut_file_spans(path, p, [&](uint64_t offset, std::string_view bytes) {
        return on_chunk(offset, bytes, sha256(bytes));
    });
}

bool cut_file_spans(const std::string& path, const Chunk_Params& p,
                    const std::function<bool(uint64_t, std::string_view)>& on_chunk) {
    platform::File_Handle f = platform::no_file;
    if (!platform::open_read(path, f)) return false;
    struct Close {
        platform::File_Handle& f;
        ~Close() { platform::close_file(f); }
    } close{f};
    uint64_t size = 0, at = 0;  // the file's size, and how much of it is read
    if (!platform::open_file_size(f, size)) return false;
    // Chunks are cut from buf[start, have); the tail is moved to the front only when less than
    // a maximum chunk is left, so each byte is moved about once.
    std::vector<unsigned char> buf(size_t(p.max_size) * 2);
    size_t start = 0, have = 0;
    uint64_t offset = 0;
    bool eof = false;
    for (;;) {
        if (!eof && have - start < p.max_size) {
            std::memmove(buf.data(), buf.data() + start, have - start);
            have -= start;
            start = 0;
            size_t n = size_t(std::min<uint64_t>(buf.size() - have, size - at));
            if (n > 0 && !platform::read_at(f, reinterpret_cast<char*>(buf.data() + have), n, at)) return false;
            have += n;
            at += n;
            eof = at == size;
        }
        if (have == start) return true;
        size_t n = cut_point(buf.data() + start, have - start, p);
        std::string_view bytes(reinterpret_cast<const char*>(buf.data() + start), n);
        if (!on_chunk(offset, bytes)) return false;
        offset += n;
        start += n;
    }
}

Digest sha256(std::string_view bytes) {
    Digest d{};
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), d.data(), &n, EVP_sha256(), nullptr);
    return d;
}

void Sha256::Free::operator()(evp_md_ctx_st* c) const {
    EVP_MD_CTX_free(c);
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) == 1;
}

void Sha256::add(std::string_view bytes) {
    ok_ = ok_ && EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) == 1;
}

bool Sha256::finish(Digest& out) {
    unsigned int n = 0;
    bool done = ok_ && EVP_DigestFinal_ex(ctx_.get(), out.data(), &n) == 1 && n == out.size();
    ok_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) == 1;
    return done;
}

std::string hex(const Digest& d) {
    static const char digits[] = "0123456789abcdef";
    std::string out(64, '0');
    for (size_t i = 0; i < 32; ++i) {
        out[2 * i] = digits[d[i] >> 4];
        out[2 * i + 1] = digits[d[i] & 15];
    }
    return out;
}

bool from_hex(std::string_view text, Digest& out) {
    if (text.size() != 64) return false;
    for (size_t i = 0; i < 64; ++i) {
        char c = text[i];
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) return false;
        if (i % 2 == 0) out[i / 2] = static_cast<unsigned char>(v << 4);
        else out[i / 2] = static_cast<unsigned char>(out[i / 2] | v);
    }
    return true;
}

}  // namespace delivery
