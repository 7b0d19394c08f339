// Win32 side of files.h. Every path goes through win_path (UTF-16, long-path prefix when needed).
#include "platform/files.h"

#include "platform/system.h"
#include "platform/wide_windows.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <iterator>
#include <memory>

namespace platform {

namespace {

constexpr size_t chunk_bytes = 1 << 20;
// FILETIME counts 100 ns steps since 1601-01-01; this many of them lie before 1970-01-01.
constexpr int64_t filetime_unix_epoch = 116444736000000000;

void set_err(std::string* err, DWORD code) {
    std::string text = error_text(int(code));   // notes the error's kind too
    if (err) *err = std::move(text);
}

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { close(); }
    bool ok() const { return h != INVALID_HANDLE_VALUE; }
    bool close() {
        bool closed = true;
        if (ok()) closed = CloseHandle(h) != 0;
        h = INVALID_HANDLE_VALUE;
        return closed;
    }
};

HANDLE open_for_reading(const std::string& path) {
    // Others may keep reading, writing or renaming the file meanwhile (the game, a virus
    // scanner); we only need a consistent read of what is there.
    return CreateFileW(win_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// WriteFile takes at most 4 GiB - 1 per call; write in pieces until all is written.
bool write_all(HANDLE h, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        DWORD want = DWORD(std::min<size_t>(left, 1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(h, p, want, &wrote, nullptr)) return false;
        if (wrote == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        p += wrote;
        left -= wrote;
    }
    return true;
}

int64_t to_unix_ns(FILETIME ft) {
    int64_t ticks = int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    // (ticks - epoch) * 100 equals ticks * 100 - 11,644,473,600,000,000,000 without the
    // intermediate overflow of the left-hand form. Nanoseconds since 1970 reach back only to
    // 1677 and forward to 2262: times outside (a damaged or forged time stamp) are held at
    // the nearest end instead of wrapping around.
    int64_t since = ticks - filetime_unix_epoch;
    if (since < INT64_MIN / 100) return INT64_MIN / 100 * 100;
    if (since > INT64_MAX / 100) return INT64_MAX / 100 * 100;
    return since * 100;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

bool file_status(const std::string& path, File_Status& out) {
    out = File_Status{};
    std::wstring w = win_path(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A symbolic link or junction: report what it points at, like stat() does.
        HANDLE h = CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        Handle file(h);
        BY_HANDLE_FILE_INFORMATION info;
        if (!file.ok() || !GetFileInformationByHandle(file.h, &info)) return false;
        data.dwFileAttributes = info.dwFileAttributes;
        data.ftLastWriteTime = info.ftLastWriteTime;
        data.nFileSizeHigh = info.nFileSizeHigh;
        data.nFileSizeLow = info.nFileSizeLow;
    }
    out.size = int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    out.mtime_ns = to_unix_ns(data.ftLastWriteTime);
    out.regular = !(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
    return true;
}

bool is_regular_file(const std::string& path) {
    File_Status st;
    return file_status(path, st) && st.regular;
}

bool read_file(const std::string& path, std::string& out) {
    out.clear();
    Handle file(open_for_reading(path));
    if (!file.ok()) return false;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file.h, &size) && size.QuadPart > 0) out.reserve(size_t(size.QuadPart));
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.h, buffer, sizeof buffer, &n, nullptr)) {
            out.clear();
            return false;
        }
        if (n == 0) return true;
        out.append(buffer, n);
    }
}

bool read_file_chunks(const std::string& path, const std::function<bool(std::string_view)>& on_chunk) {
    Handle file(open_for_reading(path));
    if (!file.ok()) return false;
    // On the heap: a megabyte is too much for a worker thread's stack.
    std::unique_ptr<char[]> buffer(new char[chunk_bytes]);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.h, buffer.get(), DWORD(chunk_bytes), &n, nullptr)) return false;
        if (n == 0) return true;
        if (!on_chunk(std::string_view(buffer.get(), n))) return false;
    }
}

bool write_file_atomic(const std::string& path, std::string_view bytes, std::string* err, int /*mode*/) {
    const std::string part = path + ".part";
    const std::wstring wpart = win_path(part);
    file_step(File_Step::Changing, no_file, path);
    // A leftover part is removed first; CREATE_NEW then makes sure the file we fill is our own.
    delete_file(part);
    Handle file(CreateFileW(wpart.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok()) {
        set_err(err, GetLastError());
        return false;
    }
    // Flush before the move: otherwise a crash soon after could leave the new name pointing at
    // a file whose data never reached the disk.
    bool ok = write_all(file.h, bytes) && FlushFileBuffers(file.h);
    DWORD e = ok ? 0 : GetLastError();
    if (!file.close() && ok) {
        ok = false;
        e = GetLastError();
    }
    if (ok && !MoveFileExW(wpart.c_str(), win_path(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        e = GetLastError();
    }
    if (!ok) {
        DeleteFileW(wpart.c_str());
        set_err(err, e);
    }
    return ok;
}

// Creates or truncates `path` with the given extra flags and writes `bytes` into it.
static bool write_whole(const std::string& path, std::string_view bytes, DWORD flags, std::string* err) {
    file_step(File_Step::Changing, no_file, path);
    Handle file(CreateFileW(win_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | flags, nullptr));
    if (!file.ok()) {
        set_err(err, GetLastError());
        return false;
    }
    bool ok = write_all(file.h, bytes);
    DWORD e = ok ? 0 : GetLastError();
    if (!file.close() && ok) {
        ok = false;
        e = GetLastError();
    }
    if (!ok) set_err(err, e);
    return ok;
}

bool write_new_file(const std::string& path, std::string_view bytes, std::string* err) {
    delete_file(path);  // DeleteFileW removes a link itself; what stays (a folder) fails the create
    return write_whole(path, bytes, FILE_FLAG_OPEN_REPARSE_POINT, err);
}

bool write_file(const std::string& path, std::string_view bytes, std::string* err) {
    return write_whole(path, bytes, 0, err);
}

namespace {

// A File_Handle is the HANDLE itself; INVALID_HANDLE_VALUE is -1, as no_file.
HANDLE handle_of(File_Handle f) { return reinterpret_cast<HANDLE>(f); }

OVERLAPPED at_offset(uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = DWORD(offset & 0xFFFFFFFFu);
    o.OffsetHigh = DWORD(offset >> 32);
    return o;
}

// Others may read, write, rename or delete the file meanwhile, as with POSIX descriptors.
// FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself instead of what it
// points at; such a handle is then refused, as O_NOFOLLOW refuses a link on Linux.
bool open_shared(const std::string& path, DWORD access, DWORD disposition, File_Handle& out, std::string* err) {
    HANDLE h = CreateFileW(win_path(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
        SetLastError(ERROR_CANT_ACCESS_FILE);
    }
    out = reinterpret_cast<File_Handle>(h);
    if (h == INVALID_HANDLE_VALUE) set_err(err, GetLastError());
    return h != INVALID_HANDLE_VALUE;
}

}  // namespace

bool open_read_write(const std::string& path, File_Handle& out, std::string* err) {
    if (!open_shared(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, out, err)) return false;
    file_step(File_Step::Opened, out, path);
    return true;
}

bool open_read(const std::string& path, File_Handle& out) {
    HANDLE h = open_for_reading(path);
    out = reinterpret_cast<File_Handle>(h);
    return h != INVALID_HANDLE_VALUE;
}

bool open_append(const std::string& path, File_Handle& out, std::string* err) {
    // Append access only: every write goes to the end, whatever the file position says.
    if (!open_shared(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_EXISTING, out, err)) return false;
    file_step(File_Step::Opened, out, path);
    return true;
}

bool read_at(File_Handle f, char* to, size_t size, uint64_t offset) {
    while (size > 0) {
        OVERLAPPED o = at_offset(offset);
        DWORD n = 0;
        if (!ReadFile(handle_of(f), to, DWORD(std::min<size_t>(size, 1u << 30)), &n, &o) || n == 0) return false;
        to += n;
        size -= n;
        offset += n;
    }
    return true;
}

bool write_at(File_Handle f, std::string_view bytes, uint64_t offset, std::string* err) {
    file_step(File_Step::Changing, f);
    while (!bytes.empty()) {
        OVERLAPPED o = at_offset(offset);
        DWORD n = 0;
        BOOL ok = WriteFile(handle_of(f), bytes.data(), DWORD(std::min<size_t>(bytes.size(), 1u << 30)), &n, &o);
        if (!ok || n == 0) {
            set_err(err, ok ? ERROR_WRITE_FAULT : GetLastError());
            return false;
        }
        bytes.remove_prefix(n);
        offset += n;
    }
    return true;
}

bool append(File_Handle f, std::string_view bytes) {
    file_step(File_Step::Changing, f);
    return write_all(handle_of(f), bytes);
}

bool copy_range(File_Handle from, uint64_t from_at, File_Handle to, uint64_t to_at, uint64_t size) {
    return copy_through_buffer(from, from_at, to, to_at, size);
}

bool open_file_size(File_Handle f, uint64_t& size) {
    LARGE_INTEGER n;
    if (!GetFileSizeEx(handle_of(f), &n)) return false;
    size = uint64_t(n.QuadPart);
    return true;
}

bool resize(File_Handle f, uint64_t size, std::string* err) {
    file_step(File_Step::Changing, f);
    LARGE_INTEGER to;
    to.QuadPart = LONGLONG(size);
    if (SetFilePointerEx(handle_of(f), to, nullptr, FILE_BEGIN) && SetEndOfFile(handle_of(f))) return true;
    set_err(err, GetLastError());
    return false;
}

bool flush_to_disk(File_Handle f, std::string* err) {
    if (FlushFileBuffers(handle_of(f))) {
        file_step(File_Step::Flushed, f);
        return true;
    }
    set_err(err, GetLastError());
    return false;
}

void close_file(File_Handle& f) {
    if (f != no_file) CloseHandle(handle_of(f));
    f = no_file;
}

bool rename_replace(const std::string& from, const std::string& to, std::string* err) {
    // Windows lets a running program's file be moved away but not replaced: moving over a
    // running launcher.exe fails here with "Access is denied", which the caller reports.
    file_step(File_Step::Changing, no_file, from);
    if (MoveFileExW(win_path(from).c_str(), win_path(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        file_step(File_Step::Renamed, no_file, from, to);
        return true;
    }
    set_err(err, GetLastError());
    return false;
}

bool delete_file(const std::string& path) {
    std::wstring w = win_path(path);
    if (file_step_hook.load() && GetFileAttributesW(w.c_str()) != INVALID_FILE_ATTRIBUTES)
        file_step(File_Step::Changing, no_file, path);
    if (DeleteFileW(w.c_str())) return true;
    DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return true;
    // A read-only file cannot be deleted until the flag is cleared (a game file copied from a
    // disc or an archive may carry it).
    DWORD attrs = GetFileAttributesW(w.c_str());
    if (e == ERROR_ACCESS_DENIED && attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY) &&
        !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(w.c_str(), attrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
        if (DeleteFileW(w.c_str())) return true;
        SetFileAttributesW(w.c_str(), attrs);
    }
    return false;
}

bool make_dirs(const std::string& path) {
    if (path.empty()) return false;
    std::wstring w = win_path(path);
    auto is_dir = [&] {
        DWORD attrs = GetFileAttributesW(w.c_str());
        return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
    };
    if (is_dir()) return true;
    // The root part cannot be created: skip "\\?\", "\\server\share\" and "C:\" before making
    // each missing folder in turn. "Exists already" is fine at every step, since another process
    // may be making the same folders.
    size_t start = 0;
    if (w.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        start = w.find(L'\\', 8);
        start = start == std::wstring::npos ? w.size() : w.find(L'\\', start + 1);
    } else if (w.rfind(L"\\\\?\\", 0) == 0) {
        start = 4;
    } else if (w.size() >= 2 && is_separator(w[0]) && is_separator(w[1])) {
        start = w.find_first_of(L"\\/", 2);
        start = start == std::wstring::npos ? w.size() : w.find_first_of(L"\\/", start + 1);
    }
    if (start == std::wstring::npos) start = w.size();
    if (w.size() >= start + 2 && w[start + 1] == L':') start += 2;
    for (size_t i = start + 1; i <= w.size(); ++i) {
        if (i < w.size() && !is_separator(w[i])) continue;
        if (is_separator(w[i - 1])) continue;
        std::wstring prefix = w.substr(0, i);
        if (!CreateDirectoryW(prefix.c_str(), nullptr)) {
            DWORD e = GetLastError();
            if (e != ERROR_ALREADY_EXISTS && e != ERROR_ACCESS_DENIED) return false;
        }
    }
    return is_dir();
}

// The names in the folder, sorted by bytes. With `folders_only`, only the folders a player would
// pick from: hidden and system ones ("$Recycle.Bin", "System Volume Information", the old
// "Application Data" junctions) are nowhere to install a game.
static bool find_names(const std::string& path, std::vector<std::string>& names, bool folders_only) {
    names.clear();
    std::wstring pattern = win_path(join_path(path, "*"));
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                folders_only ? FindExSearchLimitToDirectories : FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;   // an empty drive root
    const DWORD unwanted = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    bool ok = true;
    do {
        std::wstring_view name = found.cFileName;
        bool wanted = !folders_only || ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                                        !(found.dwFileAttributes & unwanted));
        if (name != L"." && name != L".." && wanted) names.push_back(narrow(name));
    } while (FindNextFileW(h, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) ok = false;
    FindClose(h);
    std::sort(names.begin(), names.end());
    if (!ok) names.clear();
    return ok;
}

bool list_dir(const std::string& path, std::vector<std::string>& names) { return find_names(path, names, false); }

bool is_folder(const std::string& path) {
    DWORD attrs = GetFileAttributesW(win_path(path).c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool list_folders(const std::string& path, std::vector<std::string>& names) { return find_names(path, names, true); }

bool remove_empty_folder(const std::string& path) {
    if (RemoveDirectoryW(win_path(path).c_str())) return true;
    DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

std::vector<std::string> file_system_roots() {
    std::vector<std::string> roots;
    wchar_t buffer[512];
    DWORD n = GetLogicalDriveStringsW(DWORD(std::size(buffer)), buffer);
    if (n == 0 || n >= std::size(buffer)) return {"C:\\"};
    // Drive roots one after another, each ended by a NUL, the list by an empty one.
    for (const wchar_t* p = buffer; *p; p += wcslen(p) + 1) roots.push_back(narrow(p));
    return roots;
}

bool free_space(const std::string& folder, uint64_t& bytes) {
    bytes = 0;
    std::string at = folder;
    ULARGE_INTEGER available;
    // A folder that does not exist yet will live on its nearest existing parent's volume.
    while (!GetDiskFreeSpaceExW(win_path(at).c_str(), &available, nullptr, nullptr)) {
        DWORD e = GetLastError();
        if (e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND && e != ERROR_DIRECTORY) return false;
        std::string up = parent_folder(at);   // keeps the root's separator: "C:\" stays "C:\"
        if (up.empty() || up == at) return false;
        at = up;
    }
    bytes = available.QuadPart;   // what this user may still write (quotas included)
    return true;
}

std::string join_path(std::string_view folder, std::string_view name) {
    std::string tail(name);
    std::replace(tail.begin(), tail.end(), '/', '\\');
    if (folder.empty()) return tail;
    std::string out(folder);
    // "C:" alone means the drive's current folder, not its root: only an explicit separator
    // makes the result absolute, so nothing is added after a bare drive letter.
    bool bare_drive = out.size() == 2 && out[1] == ':';
    if (out.back() != '\\' && out.back() != '/' && !bare_drive) out += '\\';
    out += tail;
    return out;
}

char path_separator() { return '\\'; }

static thread_local Error_Kind last_kind = Error_Kind::Other;

std::string error_text(int err) {
    last_kind = error_kind(err);
    return win_error_text(uint32_t(err));
}

Error_Kind error_kind(int err) {
    switch (DWORD(err)) {
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return Error_Kind::Disk_Full;
    case ERROR_WRITE_PROTECT: return Error_Kind::Read_Only;
    case ERROR_ACCESS_DENIED: return Error_Kind::Denied;
    case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: case ERROR_USER_MAPPED_FILE: return Error_Kind::In_Use;
    default: return Error_Kind::Other;
    }
}

Error_Kind last_error_kind() { return last_kind; }

}  // namespace platform
