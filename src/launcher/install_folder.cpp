#include "launcher/install_folder.h"

#include "install/record.h"
#include "launcher/launcher.h"
#include "launcher/log.h"
#include "install/move_download.h"
#include "launcher/settings.h"
#include "launcher/self_install.h"
#include "launcher/uninstall.h"
#include "launcher/words.h"

#include "platform/files.h"
#include "platform/system.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

namespace launcher {

std::string size_text(uint64_t bytes) {
    if (bytes >= 1000000000) return size_words(double(bytes) / 1e9, 1, Size_Unit::GB);
    if (bytes >= 1000000) return size_words(double(bytes) / 1e6, 0, Size_Unit::MB);
    return size_words(double(bytes) / 1e3, 0, Size_Unit::KB);
}

uint64_t release_size(const Launcher& state) {
    if (!state.patcher.has_manifest) return state.browser.release_bytes;
    uint64_t total = 0;
    for (const backend::Release_File& f : state.patcher.manifest.files) total += uint64_t(f.size);
    return total;
}

// Only writing shows whether this user may write there: permissions, access lists, read-only
// media and full disks all answer the same way. The probe gets a name nobody else uses.
static bool can_write_in(const std::string& folder) {
    static std::mt19937_64 gen{std::random_device{}()};
    char name[48];
    snprintf(name, sizeof name, ".tarnwick-write-test-%016llx", static_cast<unsigned long long>(gen()));
    std::string probe = platform::join_path(folder, name);
    platform::File_Status st;
    if (platform::file_status(probe, st)) return false;
    bool ok = platform::write_file(probe, "tarnwick");
    platform::delete_file(probe);
    return ok;
}

std::string install_folder_problem(const std::string& folder, uint64_t needed) {
    if (!platform::is_absolute_path(folder)) return std::string(tr("Give the full path of a folder."));
    // The folder is made when the launcher installs there: what counts is the nearest part of the
    // path that exists already.
    std::string existing = folder;
    platform::File_Status st;
    while (!platform::is_folder(existing)) {
        if (platform::file_status(existing, st))
            return std::string(existing == folder ? tr("That is a file, not a folder.")
                                                  : tr("Tarnwick can't make a folder there."));
        std::string up = platform::parent_folder(existing);
        if (up.empty() || up == existing) return std::string(tr("Tarnwick can't make a folder there."));
        existing = up;
    }
    if (!can_write_in(existing)) return std::string(tr("Tarnwick can't write to that folder. Choose another one."));
    uint64_t free = 0;
    if (needed > 0 && platform::free_space(existing, free) && free < needed)
        // TRANSLATORS: %1$s is the game's size, %2$s the free space ("1.5 GB").
        return fmt(tr("Not enough room on that disk: the game needs %1$s and %2$s are free."),
                   {size_text(needed), size_text(free)});
    return "";
}

// The folder given up, when the download's leaving emptied it (a folder the launcher made for
// the game, most often): nothing of it stays behind.
static void remove_given_up_folder(const std::string& folder) {
    platform::remove_empty_folder(folder);
}

// A first install on its way (checking, downloading or paused, nothing installed yet) stops,
// and what it verified goes to the new folder, where the next check goes on from it.
static void take_download_along(Launcher& state, const std::string& folder) {
    Patcher& p = state.patcher;
    bool underway = p.state == Patch_State::Checking || p.state == Patch_State::Downloading ||
                    p.state == Patch_State::Failed;
    if (!underway || !p.installed.empty() || !p.has_manifest) return;
    backend::Release_Manifest manifest = std::move(p.manifest);
    p.has_manifest = false;
    std::string channel = p.channel;
    patcher_destroy(p);   // waits for the transfers and writes in progress
    std::string running = platform::executable_path();
    Moved_Download moved = move_download(manifest, state.install_dir, folder,
                                         running.empty() ? running : platform::resolved_path(running));
    log_info("install folder changed during the download: %d files moved, %d dropped", moved.moved, moved.dropped);
    backend::release_destroy(manifest);
    // The folder given up keeps a working patcher until a hand-over or the switch replaces it.
    patcher_init(p, state.install_dir, channel, state.backend);
    state.checked = false;   // the new folder's first check continues the download
}

void apply_install_folder(Launcher& state, const std::string& folder) {
    if (platform::same_path(platform::clean_path(folder), platform::clean_path(state.install_dir))) return;
    platform::make_dirs(folder);
    // One launcher per install folder: a launcher already running on the chosen folder is
    // brought to the front instead, and this one ends as after a hand-over.
    platform::Instance_Lock there;
    if (platform::lock_instance(folder, there) == platform::Lock_Result::Held) {
        platform::request_show(folder);
        state.handed_over = true;
        return;
    }
    take_download_along(state, folder);
    settings_save_install_dir(folder);   // a launcher started later without -dir opens it
    if (state.self_install_on) {
        // The copy cleans up after this launcher only when it ran from the folder given up.
        std::string running = platform::executable_path();
        bool from_install_dir = !running.empty() && platform::same_path(platform::clean_path(platform::parent_folder(running)),
                                                                         platform::clean_path(state.install_dir));
        if (from_install_dir) platform::set_env(given_up_variable, state.install_dir);
        if (self_install(folder, there)) {
            state.handed_over = true;
            return;
        }
        platform::set_env(given_up_variable, "");
    }
    // No hand-over (self-install is off, or the copy could not be made): this launcher installs
    // into the new folder itself, starting with an ordinary check as at a start with -dir.
    platform::unlock_instance(state.lock);
    state.lock = there;
    remove_given_up_folder(state.install_dir);
    std::string channel = state.patcher.channel;
    patcher_destroy(state.patcher);
    patcher_init(state.patcher, folder, channel, state.backend);
    state.install_dir = folder;
    state.checked = false;
    state.auto_install_held = install_marked_uninstalled(folder);
}

void remove_given_up_copy(const std::string& install_dir) {
    std::string folder = platform::env(given_up_variable);
    if (folder.empty()) return;
    platform::set_env(given_up_variable, "");   // neither the game nor a later copy inherits it
    if (platform::same_path(platform::clean_path(folder), platform::clean_path(install_dir))) return;

    std::vector<std::string> names;
    if (!platform::list_dir(folder, names)) return;
    for (const std::string& name : names)
        if (name != platform::launcher_exe_name && name != platform::launcher_old_exe_name && name != "tarnwick.png" &&
            name != "install.json")
            return;   // something of the game or the player's own: the folder stays as it is
    Install_Record record = install_load(folder);
    if (!record.version.empty() || !record.files.empty()) return;
    // Only a copy of this very launcher goes; a launcher of another kind under that name stays.
    std::string launcher = platform::join_path(folder, platform::launcher_exe_name);
    std::string mine, theirs;
    if (!platform::read_file(platform::executable_path(), mine) || !platform::read_file(launcher, theirs) ||
        mine != theirs)
        return;
    // The launcher that handed over may still be closing, and Windows keeps a running program's
    // file: give it a few seconds.
    bool gone = platform::delete_file(launcher);
    for (int i = 0; i < 50 && !gone; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        gone = platform::delete_file(launcher);
    }
    if (!gone) return;
    for (const std::string& name : names) platform::delete_file(platform::join_path(folder, name));
    platform::remove_empty_folder(folder);
}

}  // namespace launcher
