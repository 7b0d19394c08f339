// platform/instance_lock: one launcher per install folder. The launcher that runs on a folder
// holds its lock; a second start for the same folder finds it held, asks the holder to show its
// window and ends, so that two launchers never install into one folder at once and a running
// launcher's file is never replaced under it.
//
// Linux (instance_lock_posix.cpp): an advisory flock on the install folder itself, so no file
// of ours sits among the game's, and every path that reaches the folder (symbolic links
// included) meets the same lock. Windows (instance_lock_windows.cpp): a named mutex whose name
// is made from the folder's resolved, case-folded path. Either goes with the process, however
// it ends, and neither is inherited by the game.
// The show request (instance_lock.cpp) is the file "launcher.show" in the install folder: the
// second start writes it and waits a moment for the holder, which polls for it every frame, to
// take it. Main thread only.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

enum class Lock_Result : uint8_t {
    Taken = 0,        // this process holds the folder now
    Held = 1,         // another launcher holds it
    Unavailable = 2,  // the system cannot lock it (no such folder, a file system without locks)
};

struct Instance_Lock {
    intptr_t handle = 0;   // the folder's descriptor + 1 on Linux, the mutex HANDLE on Windows; 0 = none
    std::string folder;
};

// Creates the folder when it is missing, then tries to take its lock without waiting.
Lock_Result lock_instance(const std::string& folder, Instance_Lock& out);
// Lets the folder go (harmless when not held): a launcher handing over to another calls it
// just before starting that one.
void unlock_instance(Instance_Lock& lock);

// The second start's side: asks the launcher holding `folder` to bring its window to the front,
// waiting up to two seconds for it to take the request.
void request_show(const std::string& folder);
// The holder's side, once a frame: true once for each request that arrived.
bool show_requested(const Instance_Lock& lock);

// Windows: lets whichever process comes next bring its window to the front, as this one (just
// started by the player) may; a no-op on Linux, where window managers do not restrict it.
void allow_foreground_switch();

}  // namespace platform
