// Helpers shared by the fuzz targets: a private temporary folder, reading the input as a
// stream of small fields, and a hard stop that libFuzzer reports as a crash with the input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

// A folder of its own under $TMPDIR (or /tmp), made on the first call and reused.
const std::string& temp_dir();

// Stops the run with `what` on stderr; libFuzzer keeps the input that got here.
[[noreturn]] void broken(const char* what);
inline void check(bool ok, const char* what) {
    if (!ok) broken(what);
}

// Reads the fuzz input front to back; past the end every read yields zero or empty.
struct Stream {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    uint8_t byte() { return at < size ? data[at++] : 0; }
    bool empty() const { return at >= size; }
    // A field whose length comes first, in one byte.
    std::string_view short_text() {
        size_t n = byte();
        if (n > size - at) n = size - at;
        std::string_view out(reinterpret_cast<const char*>(data + at), n);
        at += n;
        return out;
    }
    std::string_view rest() {
        std::string_view out(reinterpret_cast<const char*>(data + at), size - at);
        at = size;
        return out;
    }
};

}  // namespace fuzz
