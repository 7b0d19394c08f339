// Folders for tests: a fresh temporary folder per test, and the per-user folder pointed into it.
//
// POSIX only (getpid, setenv): tests that include this stay Linux tests (tests/CMakeLists.txt).
#pragma once
#include "paths/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace support {

// "<temp>/tarnwick-<what>-<pid>-<test name>", emptied and created: a folder no other test, and
// no other run of this one, shares.
inline std::filesystem::path test_folder(const std::string& what) {
    std::filesystem::path p = std::filesystem::temp_directory_path() /
                              ("tarnwick-" + what + "-" + std::to_string(getpid()) + "-" +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p;
}

// The per-user folder becomes "<data_home>/Tarnwick" (XDG_DATA_HOME) from the next look on.
inline void use_data_home(const std::filesystem::path& data_home) {
    setenv("XDG_DATA_HOME", data_home.c_str(), 1);
    paths::reset_user_dir_for_tests();
}

}  // namespace support
