// Files and folders, the same meaning on every platform: status (size, last-write time),
// whole-file reads and writes, replacing a file by writing "NAME.part" and moving it over the
// target, deleting, creating folders with parents, listing a folder, and joining paths.
//
// Depends on the operating system only (files_posix.cpp: POSIX; files_windows.cpp: Win32).
// Limits: paths are UTF-8 byte strings; read_file reads the whole file into memory, so it is
// for small files (records, maps); big files are streamed by their users. Symbolic links are
// followed by file_status and read_file, never by list_dir's callers (it returns names only).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct File_Status {
    int64_t size = 0;
    int64_t mtime_ns = 0;  // last write, nanoseconds since 1970-01-01 UTC
    bool regular = false;
};

// False when the path cannot be queried (missing, no permission); `out` is then zero.
bool file_status(const std::string& path, File_Status& out);
bool is_regular_file(const std::string& path);

// The whole file; false (and `out` empty) when it cannot be opened or read to the end.
bool read_file(const std::string& path, std::string& out);

// Streams the file through `on_chunk` in pieces of at most 1 MiB, so a file of any size is read
// without holding it whole. Stops early (returning false) when `on_chunk` returns false. False
// when the file cannot be opened or a read fails.
bool read_file_chunks(const std::string& path, const std::function<bool(std::string_view)>& on_chunk);

// Writes `bytes` whole as `path`.part, flushes them to the disk, then moves the part over `path`:
// afterwards `path` holds either its old content or all of the new, never a cut-off file. On
// failure the part is removed, `path` is untouched, and *err gets the system's short error text.
bool write_file_atomic(const std::string& path, std::string_view bytes, std::string* err = nullptr,
                       int mode = 0644);
// Creates or truncates `path` and writes `bytes` (not atomic: for files nobody reads meanwhile).
bool write_file(const std::string& path, std::string_view bytes, std::string* err = nullptr);
// write_file for a file of our own making (a download's ".part"): whatever file is at `path` is
// removed first (a symbolic link itself, never what it points at) and the file is created anew,
// never through a link, so the bytes never land in a file someone else put or linked there.
bool write_new_file(const std::string& path, std::string_view bytes, std::string* err = nullptr);
// Moves `from` over `to`, replacing `to` if it exists (both on the same volume).
bool rename_replace(const std::string& from, const std::string& to, std::string* err = nullptr);
// True when no file `path` exists afterwards (removed now, or it was not there). Not for folders.
bool delete_file(const std::string& path);
// Creates the folder with its missing parents; true when it exists as a folder afterwards.
bool make_dirs(const std::string& path);
// The names in the folder, without "." and "..", sorted by bytes; false if it cannot be read.
bool list_dir(const std::string& path, std::vector<std::string>& names);

// Folders, for the folder browser and the uninstaller -------------------------------------------
// True when `path` is a folder (links followed).
bool is_folder(const std::string& path);
// The sub-folders of `path` a player would pick from (links followed; hidden ones, dot-named on
// Linux and marked hidden or system on Windows, left out), sorted by bytes; false if it cannot be
// read.
bool list_folders(const std::string& path, std::vector<std::string>& names);
// Removes the folder only when it is empty; true when it is gone.
bool remove_empty_folder(const std::string& path);
// Where folder browsing starts from: "/" on Linux, every drive ("C:\", ...) on Windows.
std::vector<std::string> file_system_roots();
// Bytes an unprivileged writer may still use on the file system holding `folder` (its nearest existing parent when it does not exist yet); false when that cannot be queried.
bool free_space(const std::string& folder, uint64_t& bytes);

// Files read and written at any offset (a download assembled from pieces) ----------------------
// An open file: a descriptor on Linux, a HANDLE on Windows; no_file when there is none.
using File_Handle = intptr_t;
inline constexpr File_Handle no_file = -1;

// Opens `path` for reading and writing at any offset, creating it empty when it is missing.
// Never through a symbolic link (or, on Windows, any reparse point) at `path` itself: a link
// there fails the open, so a download never writes into the file a link points at.
bool open_read_write(const std::string& path, File_Handle& out, std::string* err = nullptr);
// Opens the existing `path` for reading at any offset.
bool open_read(const std::string& path, File_Handle& out);
// Opens the existing `path` so that every write lands at its end; never through a link, as above.
bool open_append(const std::string& path, File_Handle& out, std::string* err = nullptr);
// Reads exactly `size` bytes at `offset`; false when the file ends before or the read fails.
bool read_at(File_Handle f, char* to, size_t size, uint64_t offset);
bool write_at(File_Handle f, std::string_view bytes, uint64_t offset, std::string* err = nullptr);
// Writes all of `bytes` at the end of a file opened by open_append.
bool append(File_Handle f, std::string_view bytes);
bool open_file_size(File_Handle f, uint64_t& size);
// Copies `size` bytes of `from` at `from_at` into `to` at `to_at`, inside the system where it
// can (no trip through this process); false when `from` ends before or a read or write fails.
bool copy_range(File_Handle from, uint64_t from_at, File_Handle to, uint64_t to_at, uint64_t size);
// copy_range through a buffer of this process, where the system cannot copy by itself.
bool copy_through_buffer(File_Handle from, uint64_t from_at, File_Handle to, uint64_t to_at, uint64_t size);
// Cuts the file to `size` bytes or extends it with zeros.
bool resize(File_Handle f, uint64_t size, std::string* err = nullptr);
// Flushes the file's bytes to the disk.
bool flush_to_disk(File_Handle f, std::string* err = nullptr);
// Closes the file (if open) and sets `f` to no_file.
void close_file(File_Handle& f);

// Test hook: the order in which files reach the disk. Null in the launcher; a test sets it to
// check, say, that a journal is flushed before it takes its name, or to end the process before a
// chosen change as a power cut would. Called from the thread that did it: after each
// open_read_write and open_append (the new handle and its path), flush_to_disk (the handle) and
// rename_replace (`path` moved to `to`) that succeeded; and Changing just before each change
// (write_at, append, resize and copy_range: the handle; write_file, write_new_file,
// write_file_atomic, rename_replace and delete_file of an existing file: the path).
enum class File_Step : uint8_t { Opened, Flushed, Renamed, Changing };
using File_Step_Hook = void (*)(File_Step step, File_Handle f, std::string_view path, std::string_view to);
extern std::atomic<File_Step_Hook> file_step_hook;
// Calls the hook, when set.
void file_step(File_Step step, File_Handle f, std::string_view path = {}, std::string_view to = {});

// `folder` + separator + `name`; every '/' in `name` (a release path) becomes the platform's
// separator. An empty `folder` gives `name`; a trailing separator on `folder` is not doubled.
std::string join_path(std::string_view folder, std::string_view name);
char path_separator();

// Short system text for an error number, for messages ("Permission denied").
std::string error_text(int err);

// What an error means for the player's next step: a full disk wants space or another folder, a
// read-only or refused folder another folder, a file in use the program holding it closed.
enum class Error_Kind : uint8_t { Other, Disk_Full, Read_Only, Denied, In_Use };
Error_Kind error_kind(int err);
// The kind of the last error this thread turned into text with error_text (Other before any),
// so that a failure carried on as text can still be worded by its kind on the same thread.
Error_Kind last_error_kind();

}  // namespace platform
