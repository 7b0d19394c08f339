#include "server/validate.h"

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

bool name_ok(std::string_view name) {
    if (name.size() < 3 || name.size() > 32) return false;
    bool visible = false;
    for (char c : name) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != ' ') return false;
        visible = visible || alnum;
    }
    // A name of spaces alone would show as nothing in every list.
    return visible;
}

std::string fold(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace server
