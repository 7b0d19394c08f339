// URL split: turns a request URL into (secure, host, port, path) before any network call.
//
// Accepts only "http://" and "https://" (case-sensitive), an authority without user
// information, an optional bracketed IPv6 host, an optional decimal port 1..65535, and keeps
// the query and fragment inside the path as they are. Depends on nothing. It checks the form
// only: whether the host resolves is the transport's business.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace backend {

struct Url_Parts {
    bool secure = false;
    std::string host;  // without brackets: "[::1]" gives "::1"
    uint16_t port = 0;
    std::string path;  // begins with "/"; "/" when the URL has none
};

// False (and `out` unspecified) for a URL the launcher will not send anywhere; the caller
// reports it as "bad URL".
bool split_url(std::string_view url, Url_Parts& out);

}  // namespace backend
