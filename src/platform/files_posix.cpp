// POSIX side of files.h.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <system_error>

namespace platform {

namespace {

constexpr size_t chunk_bytes = 1 << 20;

void set_err(std::string* err, int e) {
    if (err) *err = error_text(e);
}

// write() may stop short (signals, quotas); keep going until all is written or it fails.
bool write_all(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool file_status(const std::string& path, File_Status& out) {
    out = File_Status{};
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    out.size = static_cast<int64_t>(st.st_size);
    out.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.regular = S_ISREG(st.st_mode);
    return true;
}

bool free_space(const std::string& folder, uint64_t& bytes) {
    std::string at = folder.empty() ? "." : folder;
    for (;;) {
        struct statvfs fs {};
        if (::statvfs(at.c_str(), &fs) == 0) {
            bytes = uint64_t(fs.f_bavail) * uint64_t(fs.f_frsize);
            return true;
        }
        if ((errno != ENOENT && errno != ENOTDIR) || at == "/" || at == ".") return false;
        size_t slash = at.find_last_of('/');
        if (slash == std::string::npos) at = ".";
        else if (slash == 0) at = "/";
        else at.resize(slash);
    }
}

bool is_regular_file(const std::string& path) {
    File_Status st;
    return file_status(path, st) && st.regular;
}

bool read_file(const std::string& path, std::string& out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!ok) out.clear();
    return ok;
}

bool read_file_chunks(const std::string& path, const std::function<bool(std::string_view)>& on_chunk) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // On the heap: a megabyte is too much for a worker thread's stack.
    std::unique_ptr<char[]> buffer(new char[chunk_bytes]);
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buffer.get(), chunk_bytes);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (!on_chunk(std::string_view(buffer.get(), static_cast<size_t>(n)))) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

bool write_file_atomic(const std::string& path, std::string_view bytes, std::string* err, int mode) {
    const std::string part = path + ".part";
    file_step(File_Step::Changing, no_file, path);
    // A leftover part (or a link planted under its name) is removed first; O_EXCL then makes
    // sure we write a fresh file of our own with the requested mode.
    ::unlink(part.c_str());
    int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) {
        set_err(err, errno);
        return false;
    }
    // fsync before the rename: otherwise a crash soon after could leave the new name pointing
    // at a file whose data never reached the disk.
    bool ok = write_all(fd, bytes) && ::fsync(fd) == 0;
    int e = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && ::rename(part.c_str(), path.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        ::unlink(part.c_str());
        set_err(err, e);
    }
    return ok;
}

// Creates or truncates `path` with the given extra open flags and writes `bytes` into it.
static bool write_whole(const std::string& path, std::string_view bytes, int flags, std::string* err) {
    file_step(File_Step::Changing, no_file, path);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | flags, 0644);
    if (fd < 0) {
        set_err(err, errno);
        return false;
    }
    bool ok = write_all(fd, bytes);
    int e = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (!ok) set_err(err, e);
    return ok;
}

bool write_file(const std::string& path, std::string_view bytes, std::string* err) {
    return write_whole(path, bytes, 0, err);
}

bool write_new_file(const std::string& path, std::string_view bytes, std::string* err) {
    ::unlink(path.c_str());  // what cannot be removed (a folder) fails the open with its own error
    return write_whole(path, bytes, O_NOFOLLOW, err);
}

bool open_read_write(const std::string& path, File_Handle& out, std::string* err) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    out = fd;
    if (fd < 0) set_err(err, errno);
    else file_step(File_Step::Opened, fd, path);
    return fd >= 0;
}

bool open_read(const std::string& path, File_Handle& out) {
    out = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return out >= 0;
}

bool open_append(const std::string& path, File_Handle& out, std::string* err) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    out = fd;
    if (fd < 0) set_err(err, errno);
    else file_step(File_Step::Opened, fd, path);
    return fd >= 0;
}

bool read_at(File_Handle f, char* to, size_t size, uint64_t offset) {
    while (size > 0) {
        ssize_t n = ::pread(int(f), to, size, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        to += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool write_at(File_Handle f, std::string_view bytes, uint64_t offset, std::string* err) {
    file_step(File_Step::Changing, f);
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(int(f), bytes.data(), bytes.size(), off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            set_err(err, n == 0 ? EIO : errno);
            return false;
        }
        bytes.remove_prefix(size_t(n));
        offset += uint64_t(n);
    }
    return true;
}

bool append(File_Handle f, std::string_view bytes) {
    file_step(File_Step::Changing, f);
    return write_all(int(f), bytes);
}

bool copy_range(File_Handle from, uint64_t from_at, File_Handle to, uint64_t to_at, uint64_t size) {
    file_step(File_Step::Changing, to);
    while (size > 0) {
        loff_t in = loff_t(from_at), out = loff_t(to_at);
        ssize_t n = ::copy_file_range(int(from), &in, int(to), &out, size_t(size), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) break;
        if (n <= 0) return false;  // 0: `from` ended
        from_at += uint64_t(n);
        to_at += uint64_t(n);
        size -= uint64_t(n);
    }
    return copy_through_buffer(from, from_at, to, to_at, size);
}

bool open_file_size(File_Handle f, uint64_t& size) {
    struct stat st {};
    if (::fstat(int(f), &st) != 0) return false;
    size = uint64_t(st.st_size);
    return true;
}

bool resize(File_Handle f, uint64_t size, std::string* err) {
    file_step(File_Step::Changing, f);
    if (::ftruncate(int(f), off_t(size)) == 0) return true;
    set_err(err, errno);
    return false;
}

bool flush_to_disk(File_Handle f, std::string* err) {
    if (::fdatasync(int(f)) == 0) {
        file_step(File_Step::Flushed, f);
        return true;
    }
    set_err(err, errno);
    return false;
}

void close_file(File_Handle& f) {
    if (f >= 0) ::close(int(f));
    f = no_file;
}

bool rename_replace(const std::string& from, const std::string& to, std::string* err) {
    file_step(File_Step::Changing, no_file, from);
    if (::rename(from.c_str(), to.c_str()) == 0) {
        file_step(File_Step::Renamed, no_file, from, to);
        return true;
    }
    set_err(err, errno);
    return false;
}

bool delete_file(const std::string& path) {
    struct stat st;
    if (file_step_hook.load() && ::lstat(path.c_str(), &st) == 0) file_step(File_Step::Changing, no_file, path);
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool make_dirs(const std::string& path) {
    if (path.empty()) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    // Create each missing parent in turn; "exists already" is fine at every step, since another
    // process may be making the same folders.
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        if (path[i - 1] == '/') continue;
        std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool list_dir(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return false;
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
        errno = 0;
    }
    bool ok = errno == 0;
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    if (!ok) names.clear();
    return ok;
}

bool is_folder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool list_folders(const std::string& path, std::vector<std::string>& names) {
    std::vector<std::string> all;
    names.clear();
    if (!list_dir(path, all)) return false;
    for (std::string& name : all)
        if (name[0] != '.' && is_folder(join_path(path, name))) names.push_back(std::move(name));
    return true;
}

bool remove_empty_folder(const std::string& path) {
    return ::rmdir(path.c_str()) == 0 || errno == ENOENT;
}

std::vector<std::string> file_system_roots() { return {"/"}; }

std::string join_path(std::string_view folder, std::string_view name) {
    if (folder.empty()) return std::string(name);
    std::string out(folder);
    if (out.back() != '/') out += '/';
    out += name;
    return out;
}

char path_separator() { return '/'; }

static thread_local Error_Kind last_kind = Error_Kind::Other;

std::string error_text(int err) {
    last_kind = error_kind(err);
    return std::generic_category().message(err);
}

Error_Kind error_kind(int err) {
    switch (err) {
    case ENOSPC: case EDQUOT: case EFBIG: return Error_Kind::Disk_Full;
    case EROFS: return Error_Kind::Read_Only;
    case EACCES: case EPERM: return Error_Kind::Denied;
    case ETXTBSY: case EBUSY: return Error_Kind::In_Use;
    default: return Error_Kind::Other;
    }
}

Error_Kind last_error_kind() { return last_kind; }

}  // namespace platform
