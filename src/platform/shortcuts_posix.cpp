#include "platform/shortcuts.h"

#include "platform/files.h"
#include "platform/system.h"

#include <cstdio>

namespace platform {

const bool shortcuts_need_icon_file = true;

// The desktop folder: what xdg-user-dir says, else ~/Desktop.
static std::string desktop_folder() {
    std::string out;
    if (FILE* p = popen("xdg-user-dir DESKTOP 2>/dev/null", "r")) {
        char buf[4096];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    if (!out.empty() && out[0] == '/') return out;
    std::string home = env("HOME");
    return home.empty() ? std::string() : home + "/Desktop";
}

void create_shortcuts(const std::string& launcher, const std::string& install_dir, const std::string& icon) {
    std::string entry = desktop_entry(launcher, install_dir, icon);
    std::string data = user_data_folder();
    if (!data.empty()) {
        std::string apps = join_path(data, "applications");
        make_dirs(apps);
        write_file_atomic(join_path(apps, "tarnwick.desktop"), entry, nullptr, 0755);
    }
    std::string desktop = desktop_folder();
    // Only into a desktop folder that exists: creating ~/Desktop on a system without one would
    // leave a stray folder in the player's home.
    File_Status st;
    if (!desktop.empty() && file_status(desktop, st) && !st.regular)
        write_file_atomic(join_path(desktop, "tarnwick.desktop"), entry, nullptr, 0755);
}

}  // namespace platform
