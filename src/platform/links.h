// Symbolic links and execute bits of installed files: asking whether a name is a link without
// following it, reading and making links, and marking a file executable without following a link.
//
// Depends on the operating system only (links_posix.cpp: POSIX; links_windows.cpp: Win32).
// Limits: on Windows releases get neither links nor modes (has_links_and_modes is false there:
// making links needs a privilege players rarely have, and programs need no execute bit);
// is_link still reports links and junctions there, so nothing is written through one.
#pragma once
#include <string>

namespace platform {

extern const bool has_links_and_modes;

// True when the name itself is a symbolic link (on Windows also a junction); not followed.
bool is_link(const std::string& path);
// The link's target text; false when `path` is not a symbolic link.
bool read_link(const std::string& path, std::string& target);
// Makes `path` a symbolic link to `target`, replacing a file, a link or an empty folder there in
// one step (through "NAME.link" and a rename). The target is not followed or checked here.
bool make_link(const std::string& target, const std::string& path, std::string* err = nullptr);
// Adds the execute bits for everyone who may read the file; a link at `path` is refused, never
// followed. True when the file is executable afterwards.
bool set_executable(const std::string& path);

}  // namespace platform
