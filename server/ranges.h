// The Range request header for whole files: one byte range is answered 206 with its
// Content-Range; a range that starts past the end is 416; several ranges, or a header this
// does not understand, are ignored and the whole file is sent (which HTTP allows).
//
// Depends on the standard library only.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace server {

struct Byte_Range {
    enum Kind { whole, part, unsatisfiable } kind = whole;
    uint64_t first = 0;   // for `part`: the first byte and the count
    uint64_t length = 0;
};

// The range of a file of `size` bytes that `header` (empty: none) asks for.
Byte_Range byte_range(std::string_view header, uint64_t size);

// "bytes FIRST-LAST/SIZE" for a part, "bytes */SIZE" for an unsatisfiable range.
std::string content_range(const Byte_Range& range, uint64_t size);

}  // namespace server
