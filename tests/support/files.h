// Whole-file reads and writes for tests, where a failure shows up as a wrong comparison.
#pragma once
#include <filesystem>
#include <fstream>
#include <sstream>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

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

// Every path below `dir`, relative to it and sorted: what a test expects to be left of a folder.
inline std::vector<std::string> tree(const std::filesystem::path& dir) {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir))
        out.push_back(std::filesystem::relative(e.path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace support
