#include "server/validate.h"

#include <cstdint>

namespace server {

bool email_ok(std::string_view email) {
    if (email.size() > 254) return false;
    for (unsigned char c : email)
        if (c <= ' ' || c == 0x7f) return false;
    auto at = email.find('@');
    if (at == std::string_view::npos || at == 0 || email.find('@', at + 1) != std::string_view::npos)
        return false;
    std::string_view domain = email.substr(at + 1);
    auto dot = domain.find('.');
    return !domain.empty() && dot != std::string_view::npos && domain.front() != '.' &&
           domain.back() != '.';
}

bool password_ok(std::string_view password) {
    size_t characters = 0;
    for (unsigned char c : password)
        if ((c & 0xC0) != 0x80) ++characters;  // continuation bytes belong to the previous one
    return characters >= 8;
}

namespace {

// The next character of strict UTF-8 (no overlong forms, surrogates or values past U+10FFFF), or
// -1 for bytes that are not.
int32_t next_utf8(std::string_view s, size_t& i) {
    unsigned char b = uint8_t(s[i++]);
    if (b < 0x80) return b;
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC2 ? 1 : 0;
    if (extra == 0 || b > 0xF4 || i + extra > s.size()) return -1;
    int32_t cp = b & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        unsigned char c = uint8_t(s[i++]);
        if ((c & 0xC0) != 0x80) return -1;
        cp = cp << 6 | (c & 0x3F);
    }
    static constexpr int32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    return cp;
}

// Letters of other scripts count as letters; punctuation, symbols, invisible and direction
// characters, private use and emoji do not, so a name cannot hide or impersonate another.
bool letter_beyond_ascii(int32_t cp) {
    static constexpr int32_t refused[][2] = {
        {0x80, 0xBF},     {0xD7, 0xD7},       {0xF7, 0xF7},       {0x2000, 0x2BFF},  {0x2E00, 0x2E7F},
        {0x3000, 0x3004}, {0x3008, 0x303F},   {0xE000, 0xF8FF},   {0xFE00, 0xFE6F},  {0xFEFF, 0xFEFF},
        {0xFF00, 0xFF0F}, {0xFF1A, 0xFF20},   {0xFF3B, 0xFF40},   {0xFF5B, 0xFF65},  {0xFFF0, 0xFFFF},
        {0x1F000, 0x1FFFF}, {0xE0000, 0x10FFFF},
    };
    for (const auto& r : refused)
        if (cp >= r[0] && cp <= r[1]) return false;
    return cp >= 0x80;
}

}  // namespace

// 3 to 32 bytes of ASCII letters, digits and spaces, or letters of other scripts (as many as fit
// in the launcher's 32-byte name box), at least three characters and one of them not a space.
bool name_ok(std::string_view name) {
    if (name.size() > 32) return false;
    bool visible = false;
    size_t characters = 0;
    for (size_t i = 0; i < name.size(); ++characters) {
        int32_t c = next_utf8(name, i);
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     letter_beyond_ascii(c);
        if (!alnum && c != ' ') return false;
        // A name of spaces alone would show as nothing in every list.
        visible = visible || alnum;
    }
    return characters >= 3 && visible;
}

std::string fold(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace server
