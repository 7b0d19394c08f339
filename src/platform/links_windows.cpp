#include "platform/links.h"

#include <windows.h>

#include "platform/wide_windows.h"

namespace platform {

const bool has_links_and_modes = false;

bool is_link(const std::string& path) {
    DWORD attrs = GetFileAttributesW(win_path(path).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    // Only links and junctions lead elsewhere; other reparse points (cloud placeholders,
    // deduplicated files) are the files themselves.
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(win_path(path).c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    return found.dwReserved0 == IO_REPARSE_TAG_SYMLINK || found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT;
}

bool read_link(const std::string&, std::string&) { return false; }

bool make_link(const std::string&, const std::string&, std::string* err) {
    if (err) *err = "symbolic links are not made on Windows";
    return false;
}

bool set_executable(const std::string&) { return true; }

}  // namespace platform
