#include "backend/url.h"

namespace backend {

namespace {

// The port text must be digits only, with a value from 1 to 65535; no sign, no blanks.
bool parse_port(std::string_view text, uint16_t& port) {
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint32_t(c - '0');
        if (value > 65535) return false;  // also stops overflow on long digit runs
    }
    if (value == 0) return false;
    port = uint16_t(value);
    return true;
}

}  // namespace

bool split_url(std::string_view url, Url_Parts& out) {
    std::string_view rest;
    if (url.starts_with("https://")) {
        out.secure = true;
        out.port = 443;
        rest = url.substr(8);
    } else if (url.starts_with("http://")) {
        out.secure = false;
        out.port = 80;
        rest = url.substr(7);
    } else {
        return false;
    }

    std::string_view authority = rest;
    size_t cut = rest.find_first_of("/?#");
    if (cut == std::string_view::npos) {
        out.path = "/";
    } else {
        if (rest[cut] != '/') return false;  // a query or fragment straight after the host
        authority = rest.substr(0, cut);
        out.path.assign(rest.substr(cut));
    }

    // No user information: "user:pass@host" would otherwise smuggle credentials or a
    // different host past a reader of the URL.
    if (authority.find('@') != std::string_view::npos) return false;

    std::string_view host;
    std::string_view port_text;
    if (authority.starts_with('[')) {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            port_text = after.substr(1);
        }
    } else {
        size_t colon = authority.rfind(':');
        if (colon == std::string_view::npos) {
            host = authority;
        } else {
            host = authority.substr(0, colon);
            port_text = authority.substr(colon + 1);
        }
    }
    if (host.empty()) return false;
    if (!port_text.empty() && !parse_port(port_text, out.port)) return false;
    out.host.assign(host);
    return true;
}

}  // namespace backend
