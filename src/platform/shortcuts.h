// Start-menu and desktop shortcuts to the installed launcher.
//
// Linux: a desktop entry "tarnwick.desktop" in $XDG_DATA_HOME/applications and in the desktop
// folder. Windows: "Tarnwick.lnk" in the Start-menu programs folder and on the desktop, made by a
// hidden PowerShell (waited for at most 10 seconds). Failures are silent: shortcuts are a
// convenience.
#pragma once
#include <string>
#include <string_view>

namespace platform {

// Whether the shortcuts need the icon as a file of its own: Linux desktop entries name a PNG;
// Windows shortcuts show the executable's own icon.
extern const bool shortcuts_need_icon_file;

// `icon` is the path of a PNG icon (used on Linux; Windows takes the executable's own icon).
void create_shortcuts(const std::string& launcher, const std::string& install_dir, const std::string& icon);

// The desktop entry's text.
std::string desktop_entry(std::string_view launcher, std::string_view install_dir, std::string_view icon);

// The PowerShell script that makes the Windows shortcuts. Paths go into single-quoted strings,
// so every single quote in them is doubled: a folder name can neither break the script nor run
// code of its own.
std::string shortcut_script(std::string_view target, std::string_view install_dir);

}  // namespace platform
