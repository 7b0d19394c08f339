#include "platform/files.h"

#include <algorithm>
#include <string>

namespace platform {

std::atomic<File_Step_Hook> file_step_hook{nullptr};

void file_step(File_Step step, File_Handle f, std::string_view path, std::string_view to) {
    if (File_Step_Hook hook = file_step_hook.load()) hook(step, f, path, to);
}

bool copy_through_buffer(File_Handle from, uint64_t from_at, File_Handle to, uint64_t to_at, uint64_t size) {
    std::string buffer(size_t(std::min<uint64_t>(size, 1u << 20)), '\0');
    while (size > 0) {
        size_t n = size_t(std::min<uint64_t>(size, buffer.size()));
        if (!read_at(from, buffer.data(), n, from_at) || !write_at(to, std::string_view(buffer.data(), n), to_at))
            return false;
        from_at += n;
        to_at += n;
        size -= n;
    }
    return true;
}

}  // namespace platform
