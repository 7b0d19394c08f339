// Ends the process (exit status 137, as a kill -9 leaves it) just before the N-th change made
// below a folder: a write, a rename or a delete through the platform layer. Writes through a
// handle count where the handle was opened below the folder. For the killable launcher, and for a test that
// forks to kill a step it runs itself.
#pragma once
#include "platform/files.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace e2e {

namespace kill_detail {
inline long after = 0;
inline std::string below;
inline long count = 0;
inline std::mutex lock;
inline std::map<platform::File_Handle, bool> handles;  // opened below the folder

inline void on_step(platform::File_Step step, platform::File_Handle f, std::string_view path, std::string_view) {
    std::lock_guard<std::mutex> hold(lock);
    if (step == platform::File_Step::Opened) handles[f] = path.starts_with(below);
    if (step != platform::File_Step::Changing) return;
    bool inside = f == platform::no_file ? path.starts_with(below) : handles[f];
    if (inside && ++count >= after) std::_Exit(137);
}
}  // namespace kill_detail

inline void kill_at_write(long n, const std::string& folder) {
    kill_detail::after = n;
    kill_detail::below = folder;
    platform::file_step_hook = kill_detail::on_step;
}

}  // namespace e2e
