#include "backend/base64.h"

#include <array>
#include <cstdint>

namespace backend {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for alphabet characters, 64 for everything else.
constexpr std::array<uint8_t, 256> make_table() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = 64;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<uint8_t>(i);
    return t;
}
constexpr std::array<uint8_t, 256> table = make_table();

// The same values already shifted into place for each of a group's four positions, so that a
// group decodes with four loads and three ORs. A bad character sets bit 24 in every table.
constexpr std::array<uint32_t, 256> make_shifted(int shift) {
    std::array<uint32_t, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = table[c] == 64 ? 1u << 24 : uint32_t(table[c]) << shift;
    return t;
}
constexpr std::array<uint32_t, 256> d0 = make_shifted(18), d1 = make_shifted(12), d2 = make_shifted(6),
                                    d3 = make_shifted(0);

}  // namespace

std::string base64_encode(std::string_view bytes) {
    std::string out;
    out.resize((bytes.size() + 2) / 3 * 4);
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size(), i = 0, o = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        out[o++] = alphabet[v >> 18];
        out[o++] = alphabet[(v >> 12) & 63];
        out[o++] = alphabet[(v >> 6) & 63];
        out[o++] = alphabet[v & 63];
    }
    if (n - i == 1) {
        uint32_t v = uint32_t(in[i]) << 16;
        out[o++] = alphabet[v >> 18];
        out[o++] = alphabet[(v >> 12) & 63];
        out[o++] = '=';
        out[o++] = '=';
    } else if (n - i == 2) {
        uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8;
        out[o++] = alphabet[v >> 18];
        out[o++] = alphabet[(v >> 12) & 63];
        out[o++] = alphabet[(v >> 6) & 63];
        out[o++] = '=';
    }
    return out;
}

bool base64_decode(std::string_view text, std::string& out) {
    out.clear();
    if (text.size() % 4 != 0) return false;
    if (text.empty()) return true;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    size_t pad = in[n - 1] == '=' ? (in[n - 2] == '=' ? 2 : 1) : 0;
    out.resize(n / 4 * 3 - pad);
    char* o = out.data();
    // Every full group but the last: the hot loop of a release manifest, no padding possible.
    uint32_t bad = 0;
    size_t last = n - 4;
    for (size_t i = 0; i < last; i += 4) {
        uint32_t v = d0[in[i]] | d1[in[i + 1]] | d2[in[i + 2]] | d3[in[i + 3]];
        bad |= v;
        o[0] = char(v >> 16);
        o[1] = char(v >> 8);
        o[2] = char(v);
        o += 3;
    }
    bad = (bad >> 24) ? 64 : 0;
    uint32_t a = table[in[last]], b = table[in[last + 1]];
    uint32_t c = pad == 2 ? 0 : table[in[last + 2]];
    uint32_t d = pad >= 1 ? 0 : table[in[last + 3]];
    bad |= a | b | c | d;
    // Unused low bits must be zero, or two texts would decode to the same bytes.
    if (pad == 2 && (b & 15) != 0) bad |= 64;
    if (pad == 1 && (c & 3) != 0) bad |= 64;
    if (bad & 64) {
        out.clear();
        return false;
    }
    uint32_t v = a << 18 | b << 12 | c << 6 | d;
    *o++ = char(v >> 16);
    if (pad < 2) *o++ = char(v >> 8);
    if (pad < 1) *o++ = char(v);
    return true;
}

}  // namespace backend
