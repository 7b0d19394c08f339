// Folders for tests: a fresh temporary folder per test, and the per-user folder pointed into it.
// The same on Linux and Windows.
#pragma once
#include "paths/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace support {

// This test process's id, for scratch folder names.
inline std::string process_id() {
#ifdef _WIN32
    return std::to_string(_getpid());
#else
    return std::to_string(getpid());
#endif
}

// "<temp>/tarnwick-<what>-<pid>-<test name>", emptied and created: a folder no other test, and
// no other run of this one, shares.
inline std::filesystem::path test_folder(const std::string& what) {
    std::filesystem::path p = std::filesystem::temp_directory_path() /
                              ("tarnwick-" + what + "-" + process_id() + "-" +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p;
}

// The per-user folder becomes "<data_home>/Tarnwick" from the next look on (on Linux through
// XDG_DATA_HOME, as a player's environment would set it).
inline void use_data_home(const std::filesystem::path& data_home) {
#ifdef _WIN32
    paths::use_user_folder_for_tests(data_home.string());
#else
    setenv("XDG_DATA_HOME", data_home.c_str(), 1);
    paths::reset_user_dir_for_tests();
#endif
}

}  // namespace support
