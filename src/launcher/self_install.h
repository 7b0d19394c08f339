// Self-install: a launcher started from outside the install folder copies itself there, makes
// the shortcuts, starts the copy and ends.
//
// The launcher of the Linux package (in /usr/games) is a bootstrapper (launcher/bootstrap.h):
// when the install folder already holds a launcher of the same or a newer version (one the
// patcher updated, say), it starts that one at once and copies nothing; only a missing or older
// copy is replaced.
#pragma once
#include "platform/instance_lock.h"

#include <string>

namespace launcher {

// True when the installed copy was started and the caller must return at once; false when the
// caller carries on in this process (already installed, or something failed: silently).
// `lock` is the caller's lock on the folder: let go just before the copy starts, which takes it.
bool self_install(const std::string& install_dir, platform::Instance_Lock& lock);

}  // namespace launcher
