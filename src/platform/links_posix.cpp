#include "platform/links.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/files.h"

namespace platform {

const bool has_links_and_modes = true;

bool is_link(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool read_link(const std::string& path, std::string& target) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    // The size lstat gives may be stale or 0 (some file systems): grow until the text fits.
    std::vector<char> buffer(size_t(st.st_size > 0 ? st.st_size : 255) + 1);
    for (;;) {
        ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (size_t(n) < buffer.size()) {
            target.assign(buffer.data(), size_t(n));
            return true;
        }
        if (buffer.size() >= 65536) return false;  // no real link target is that long
        buffer.resize(buffer.size() * 2);
    }
}

bool make_link(const std::string& target, const std::string& path, std::string* err) {
    const std::string temporary = path + ".link";
    unlink(temporary.c_str());
    int e = 0;
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        e = errno;
    } else {
        struct stat st;
        // rename cannot put a link over a folder; an empty one is simply removed first.
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) rmdir(path.c_str());
        if (rename(temporary.c_str(), path.c_str()) != 0) e = errno;
    }
    if (e == 0) return true;
    unlink(temporary.c_str());
    if (err) *err = error_text(e);
    return false;
}

bool set_executable(const std::string& path) {
    // O_NOFOLLOW: a link placed at the name fails here instead of lending its target the bits.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = mode | ((mode & 0444) >> 2);
    if (ok && wanted != mode) ok = fchmod(fd, wanted) == 0;
    close(fd);
    return ok;
}

}  // namespace platform
