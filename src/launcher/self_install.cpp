#include "launcher/self_install.h"

#include "launcher/bootstrap.h"
#include "launcher/settings.h"
#include "platform/files.h"
#include "platform/shortcuts.h"
#include "platform/links.h"
#include "platform/system.h"

extern const unsigned char embedded_tarnwick_256[];
extern const unsigned long embedded_tarnwick_256_size;

namespace launcher {

bool self_install(const std::string& install_dir, platform::Instance_Lock& lock) {
    std::string running = platform::executable_path();
    if (running.empty()) return false;
    std::string target = platform::join_path(install_dir, platform::launcher_exe_name);
    // Both resolved: a folder reached through a symbolic link is still the folder this launcher
    // runs from.
    if (platform::same_path(platform::resolved_path(running), platform::resolved_path(target))) return false;

    // The packaged launcher is a bootstrapper: an installed launcher as new as itself (or newer,
    // updated by the patcher) runs as it is.
    if (packaged_launcher(running) && platform::is_regular_file(target)) {
        std::string installed = launcher_file_version(target);
        if (!installed.empty() && compare_versions(installed, TARNWICK_VERSION) >= 0) {
            // Let go of the folder first, or the copy could find it held and end at once.
            platform::unlock_instance(lock);
            platform::Process copy;
            if (platform::start_process(target, install_dir, copy)) return true;
            platform::lock_instance(install_dir, lock);
            return false;
        }
    }

    platform::make_dirs(install_dir);
    std::string bytes;
    if (!platform::read_file(running, bytes)) return false;
    if (!platform::write_file_atomic(target, bytes, nullptr, 0755)) return false;
    platform::set_executable(target);  // whatever the umask left of 0755

    // The copy must recognise this folder as its install folder even before the game is
    // installed, or it would fall back to the default folder and abandon the player's choice.
    // An empty record marks it; the first finished install replaces it.
    std::string record = platform::join_path(install_dir, "install.json");
    if (!platform::is_regular_file(record)) platform::write_file_atomic(record, "{}\n");

    // Desktop entries name an icon file; Windows shortcuts show the executable's own icon.
    std::string icon;
    if (platform::shortcuts_need_icon_file) {
        icon = platform::join_path(install_dir, "tarnwick.png");
        platform::write_file_atomic(icon, std::string_view(reinterpret_cast<const char*>(embedded_tarnwick_256),
                                                           embedded_tarnwick_256_size));
    }
    platform::create_shortcuts(target, install_dir, icon);
    // A launcher started later from anywhere else opens the folder the shortcuts name.
    settings_save_install_dir(install_dir);

    platform::unlock_instance(lock);
    platform::Process copy;
    if (platform::start_process(target, install_dir, copy)) return true;
    platform::lock_instance(install_dir, lock);   // carrying on in this process after all
    return false;
}

}  // namespace launcher
