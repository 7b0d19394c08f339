// The show request of instance_lock.h, the same on every platform.
#include "platform/instance_lock.h"

#include "platform/files.h"

#include <chrono>
#include <thread>

namespace platform {

static std::string request_path(const std::string& folder) { return join_path(folder, "launcher.show"); }

void request_show(const std::string& folder) {
    const std::string path = request_path(folder);
    allow_foreground_switch();
    // Through a new file moved into place: whatever is at the name (a FIFO, say) is replaced,
    // never opened, so nothing there can hold this start.
    if (!write_file_atomic(path, "show\n")) return;
    for (int waited = 0; waited < 2000 && is_regular_file(path); waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // A holder that did not take it in time is stuck: a request left behind would bring its
    // window forward at some later, surprising moment.
    delete_file(path);
}

bool show_requested(const Instance_Lock& lock) {
    if (lock.handle == 0) return false;
    const std::string path = request_path(lock.folder);
    return is_regular_file(path) && delete_file(path);
}

}  // namespace platform
