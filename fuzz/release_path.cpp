// release_path_ok on any text: a path it accepts can never lead out of the install folder,
// whatever a later join does with it.
#include "backend/release.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view path(reinterpret_cast<const char*>(data), size);
    if (!backend::release_path_ok(path)) return 0;

    fuzz::check(!path.empty(), "empty path accepted");
    fuzz::check(path[0] != '/', "absolute path accepted");
    for (unsigned char c : path) {
        fuzz::check(c >= 0x20, "control byte accepted");
        fuzz::check(c != '\\' && c != ':', "backslash or colon accepted");
    }
    // Walk the segments as a file system would: the depth below the install folder must never
    // go negative, and no segment may be empty or a dot name.
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string_view segment = path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
        fuzz::check(!segment.empty(), "empty segment accepted");
        fuzz::check(segment != "." && segment != "..", "dot segment accepted");
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return 0;
}
