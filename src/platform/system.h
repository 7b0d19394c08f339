// platform/system: the running executable, known folders, the environment and child processes.
//
// Same meaning on every platform; Linux implementation in system_posix.cpp, Windows in
// system_windows.cpp. Paths are UTF-8.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Full path of the running executable, or "" when the system cannot say.
std::string executable_path();
// The folder part of a path ("" when it has none).
std::string parent_folder(std::string_view path);
// The last component of a path.
std::string file_name(std::string_view path);

// An environment variable, "" when unset.
std::string env(const char* name);
// Sets an environment variable for this process and the processes it starts; "" removes it.
void set_env(const char* name, std::string_view value);

// The player's preferred interface languages, most preferred first, as the system writes them:
// Linux the first set of LC_ALL, LC_MESSAGES and LANG ("pt_BR.UTF-8"); Windows the user's
// preferred UI languages ("pt-BR", "zh-Hans-CN"), else the user's default UI language.
std::vector<std::string> user_languages();

// Linux: $XDG_DATA_HOME, else ~/.local/share. Windows: Roaming AppData. "" when unknown.
std::string user_data_folder();
// Where the game installs by default: Linux ~/Games/Tarnwick; Windows LOCALAPPDATA\Tarnwick
// (LOCALAPPDATA, else the Local AppData known folder). "" when unknown.
std::string default_install_dir();

// "." and ".." resolved and separators collapsed, textually (the file system is not asked).
std::string clean_path(std::string_view path);
// Whether a path names one place whatever the working folder: "/..." on Linux; "C:\..." or
// "\\server\share..." on Windows ("\x" and "C:x" depend on the current drive or folder).
bool is_absolute_path(std::string_view path);
// Whether two cleaned paths name the same file: exact on Linux, case-insensitive on Windows.
bool same_path(std::string_view a, std::string_view b);
// The path as the file system names it, symbolic links (and "." and "..") resolved, for
// comparing with same_path; clean_path(path) when it cannot be resolved (no such file).
std::string resolved_path(const std::string& path);

// Executable names in the install folder.
extern const char* const game_exe_names[2];   // "Tarnwick", "client" (".exe" on Windows)
extern const char* const launcher_exe_name;    // "launcher"
extern const char* const launcher_old_exe_name; // "launcher.old"

// Child processes ------------------------------------------------------------------------------
struct Process {
    intptr_t handle = 0;   // pid on Linux, HANDLE on Windows; 0 = none
};
// Starts `exe` with no arguments in `working_dir`. On failure returns false and a short reason.
bool start_process(const std::string& exe, const std::string& working_dir, Process& out, std::string* err = nullptr);
// Without waiting: true when the process has ended (and releases it).
bool process_ended(Process& p);
// Waits at most `ms` for the process to end; true when it ended.
bool wait_process(Process& p, int ms);

// Time ------------------------------------------------------------------------------------------
// Milliseconds of a steady clock, for durations only (never a date).
inline int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Threads ---------------------------------------------------------------------------------------
// Puts the calling thread below the window's priority for the rest of its life, so that hashing,
// checking and writing an install leave the frame its time on a busy processor: on Linux a
// nicer thread (nice 10) under SCHED_BATCH, on Windows below-normal priority. Call it only at
// the start of a thread of one's own, never on the main thread. False when the system refused
// (the thread then runs on as it was).
bool lower_thread_priority();

}  // namespace platform
