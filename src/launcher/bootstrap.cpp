#include "launcher/bootstrap.h"

#include "platform/files.h"
#include "platform/system.h"

#include <cstdint>

namespace launcher {

namespace {

// The version stamp every launcher executable carries, between two 0x01 bytes. The reader below
// only spells the part before the version, which is followed by a 0 byte in the file, so it can
// never be taken for a stamp.
constexpr std::string_view stamp_start = "\x01tarnwick-launcher-version:";
[[gnu::used]] const char version_stamp[] = "\x01tarnwick-launcher-version:" TARNWICK_VERSION "\x01";

bool is_version_char(char c) { return (c >= '0' && c <= '9') || c == '.'; }

// The number before the next dot (0 when it is not one), and `s` moved past that dot.
uint64_t next_part(std::string_view& s) {
    size_t dot = s.find('.');
    std::string_view part = s.substr(0, dot);
    s = dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
    uint64_t n = 0;
    for (char c : part) {
        if (c < '0' || c > '9' || n > UINT64_MAX / 10 - 1) return 0;
        n = n * 10 + uint64_t(c - '0');
    }
    return n;
}

}  // namespace

std::string launcher_file_version(const std::string& exe) {
    std::string bytes;
    if (!platform::read_file(exe, bytes)) return {};
    for (size_t at = bytes.find(stamp_start); at != std::string::npos; at = bytes.find(stamp_start, at + 1)) {
        size_t begin = at + stamp_start.size(), end = begin;
        while (end < bytes.size() && end - begin < 32 && is_version_char(bytes[end])) end++;
        if (end > begin && end < bytes.size() && bytes[end] == '\x01') return bytes.substr(begin, end - begin);
    }
    return {};
}

bool packaged_launcher(std::string_view exe) {
    std::string folder = platform::parent_folder(exe);
    for (std::string_view system : {"/usr/games", "/usr/bin", "/usr/local/games", "/usr/local/bin"})
        if (folder.size() >= system.size() && folder.compare(folder.size() - system.size(), system.size(), system) == 0)
            return true;
    return false;
}

int compare_versions(std::string_view a, std::string_view b) {
    while (!a.empty() || !b.empty()) {
        uint64_t x = next_part(a), y = next_part(b);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

}  // namespace launcher
