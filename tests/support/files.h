// Whole-file reads and writes for tests, where a failure shows up as a wrong comparison.
#pragma once
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace support {

// The file's bytes, or "" when it cannot be read.
inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Writes `content` as the whole file, making its folder first.
inline void put(const std::filesystem::path& p, std::string_view content) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace support
