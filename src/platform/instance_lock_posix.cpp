// Linux side of instance_lock.h: flock on the install folder's own descriptor.
#include "platform/instance_lock.h"

#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

Lock_Result lock_instance(const std::string& folder, Instance_Lock& out) {
    unlock_instance(out);
    make_dirs(folder);
    // Close-on-exec: a lock inherited by the game would outlive the launcher.
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Lock_Result::Unavailable;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        return err == EWOULDBLOCK ? Lock_Result::Held : Lock_Result::Unavailable;
    }
    out.handle = intptr_t(fd) + 1;
    out.folder = folder;
    return Lock_Result::Taken;
}

void unlock_instance(Instance_Lock& lock) {
    if (lock.handle != 0) close(int(lock.handle - 1));   // closing the descriptor releases the lock
    lock.handle = 0;
    lock.folder.clear();
}

void allow_foreground_switch() {}

}  // namespace platform
