// Whole-file reads and writes for the data folder.
//
// Depends on POSIX. Writes go to a temporary name beside the target and are renamed over it
// after an fsync, so a reader never sees half a file, even after a crash mid-write.
#pragma once
#include <string>
#include <string_view>

namespace server {

bool read_file(const std::string& path, std::string& out);
bool write_file_atomic(const std::string& path, std::string_view bytes);
// Creates the folder and its missing parents; true when it exists afterwards.
bool make_dirs(const std::string& path);

}  // namespace server
