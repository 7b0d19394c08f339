// The Range header on any text and any file size: a part it grants always lies inside the
// file, and its Content-Range names exactly those bytes.
#include <cstring>

#include "fuzz_support.h"
#include "server/ranges.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    uint64_t file_size = 0;
    std::memcpy(&file_size, data, 8);
    file_size >>= 1;  // any size a file can have
    std::string_view header(reinterpret_cast<const char*>(data) + 8, size - 8);
    server::Byte_Range r = server::byte_range(header, file_size);
    if (r.kind != server::Byte_Range::part) return 0;
    fuzz::check(r.length > 0, "an empty part");
    fuzz::check(r.first < file_size && r.length <= file_size - r.first, "a part past the end");
    std::string expected = "bytes " + std::to_string(r.first) + "-" +
                           std::to_string(r.first + r.length - 1) + "/" + std::to_string(file_size);
    fuzz::check(server::content_range(r, file_size) == expected, "Content-Range names other bytes");
    return 0;
}
