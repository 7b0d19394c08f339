// A test's own per-user folder and scratch names, the same on Linux and Windows.
#pragma once
#include "paths/paths.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace support {

// The launcher's per-user folder becomes `folder`/Tarnwick, as XDG_DATA_HOME=`folder` makes it
// on Linux.
inline void use_user_folder(const std::filesystem::path& folder) {
#ifdef _WIN32
    paths::use_user_folder_for_tests(folder.string());
#else
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
    paths::reset_user_dir_for_tests();
#endif
}

// This test process's id, for scratch folder names.
inline std::string process_id() {
#ifdef _WIN32
    return std::to_string(_getpid());
#else
    return std::to_string(getpid());
#endif
}

}  // namespace support
