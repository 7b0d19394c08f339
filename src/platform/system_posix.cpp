#include "platform/system.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {

bool lower_thread_priority() {
    // Linux keeps a nice value per thread: this one only, never the main thread's.
    // A launcher started nicer than that stays as nice as it was.
    const id_t self = id_t(gettid());
    errno = 0;
    int now = getpriority(PRIO_PROCESS, self);
    bool nicer = (errno == 0 && now >= 10) || setpriority(PRIO_PROCESS, self, 10) == 0;
    sched_param none{};
    bool batch = pthread_setschedparam(pthread_self(), SCHED_BATCH, &none) == 0;
    return nicer && batch;
}

const char* const game_exe_names[2] = {"Tarnwick", "client"};
const char* const launcher_exe_name = "launcher";
const char* const launcher_old_exe_name = "launcher.old";

std::string executable_path() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, size_t(n));
}

std::string parent_folder(std::string_view path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return {};
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string file_name(std::string_view path) {
    size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::vector<std::string> user_languages() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (std::string v = env(name); !v.empty()) return {v};
    return {};
}

std::string env(const char* name) {
    const char* v = getenv(name);
    return v ? std::string(v) : std::string();
}

void set_env(const char* name, std::string_view value) {
    if (value.empty()) unsetenv(name);
    else setenv(name, std::string(value).c_str(), 1);
}

static std::string home() {
    return env("HOME");
}

std::string user_data_folder() {
    std::string xdg = env("XDG_DATA_HOME");
    if (!xdg.empty() && xdg[0] == '/') return xdg;   // relative values are invalid by the XDG rules
    std::string h = home();
    return h.empty() ? std::string() : h + "/.local/share";
}

std::string default_install_dir() {
    std::string h = home();
    return h.empty() ? std::string() : h + "/Games/Tarnwick";
}

std::string clean_path(std::string_view path) {
    bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view seg = path.substr(i, j - i);
        if (seg.empty() || seg == ".") {
        } else if (seg == "..") {
            if (!parts.empty() && parts.back() != "..") parts.pop_back();
            else if (!absolute) parts.push_back(seg);
        } else {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::string out = absolute ? "/" : "";
    for (size_t k = 0; k < parts.size(); k++) {
        if (k) out += '/';
        out += parts[k];
    }
    if (out.empty()) out = ".";
    return out;
}

bool is_absolute_path(std::string_view path) { return !path.empty() && path[0] == '/'; }

bool same_path(std::string_view a, std::string_view b) {
    // Linux file systems are case-sensitive: only the exact text names the same file.
    return a == b;
}

std::string resolved_path(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return clean_path(path);
    std::string out(real);
    free(real);
    return out;
}

bool start_process(const std::string& exe, const std::string& working_dir, Process& out, std::string* err) {
    // posix_spawn has no portable working-folder attribute before glibc 2.29's
    // posix_spawn_file_actions_addchdir_np; Debian 12 has it.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!working_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());
    char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        if (err) *err = strerror(rc);
        return false;
    }
    out.handle = pid;
    return true;
}

bool process_ended(Process& p) {
    if (p.handle == 0) return true;
    int status = 0;
    pid_t r = waitpid(pid_t(p.handle), &status, WNOHANG);
    if (r == 0) return false;
    p.handle = 0;   // ended, or not our child any more: either way there is nothing to watch
    return true;
}

bool wait_process(Process& p, int ms) {
    for (int waited = 0;; waited += 10) {
        if (process_ended(p)) return true;
        if (waited >= ms) return false;
        usleep(10 * 1000);
    }
}

}  // namespace platform
