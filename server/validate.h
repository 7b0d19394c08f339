// The rules for what players type: emails, passwords and names (account and map names).
//
// Pure functions, no dependencies. Limits: case folding and letters are ASCII only; a name of
// non-ASCII letters is refused rather than judged.
#pragma once
#include <string>
#include <string_view>

namespace server {

// Text before and after one "@", a dot inside the domain (not at its ends), no spaces or
// control bytes, at most 254 bytes.
bool email_ok(std::string_view email);

// At least 8 characters, counted as UTF-8 code points.
bool password_ok(std::string_view password);

// 3 to 32 ASCII letters, digits and spaces, and not only spaces.
bool name_ok(std::string_view name);

// ASCII lower-case copy, for case-insensitive keys.
std::string fold(std::string_view text);

}  // namespace server
