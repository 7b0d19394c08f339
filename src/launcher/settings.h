// The player's launcher settings: "settings.json" in the per-user folder, beside account.json.
// {"install_dir":"...","download_limit":5}, compact, with "email" once the player signed in; a missing or unreadable file (or member)
// leaves the defaults: no folder chosen, no download limit.
//
// The install folder is the one the player last chose (or the one the desktop shortcuts were
// last written for): a launcher started without -dir from outside an install folder uses it, so
// the shortcuts and this setting always name the same folder.
#pragma once
#include <cstdint>
#include <string>

namespace launcher {

struct Settings {
    std::string install_dir;   // "" when the player never chose one
    int download_limit = 0;    // MB/s for every download of the game together; 0 is no limit
    std::string email;         // the last email signed in with, filled in on the sign-in screen
    std::string language;      // the Language choice: a compiled catalogue's code or "en"; "" follows the system
};

// The steps offered for the download limit, in MB/s (0: off).
inline constexpr int download_limit_steps[] = {0, 1, 2, 5, 10, 20, 50};

Settings settings_load();
// Writes the file whole (through a .part file); false when it could not be written.
bool settings_save(const Settings& s);
// Loads, changes the install folder, saves.
void settings_save_install_dir(const std::string& folder);

// The limit in bytes a second for a setting in MB/s (0 for none).
int64_t download_limit_bytes(int megabytes_per_second);

}  // namespace launcher
