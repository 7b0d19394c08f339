// Base64 with the standard alphabet of RFC 4648 ("+" and "/", "=" padding), strict both ways.
//
// Depends on nothing. Decoding accepts only the canonical text an encoder produces: length a
// multiple of 4, padding only at the end and only as much as needed, no whitespace or line
// breaks, no URL-safe "-" or "_", and zero bits in the unused low bits of the last character.
// Anything else is a decoding failure, so one text has exactly one meaning.
#pragma once
#include <string>
#include <string_view>

namespace backend {

std::string base64_encode(std::string_view bytes);
// False (and `out` empty) when `text` is not canonical standard Base64.
bool base64_decode(std::string_view text, std::string& out);

}  // namespace backend
