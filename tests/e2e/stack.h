// The whole system for end-to-end tests: the development backend (tarnwick-server) on a free
// loopback port with its demo data, releases published into it with tarnwick-publish and the
// development key, the demo account's refresh token, and the built programs started headless.
//
// Every process started here is ended by its own id. Programs that might reach for the built-in
// backend (a launcher restarted without arguments) are given a dead loopback HTTPS proxy, so
// nothing leaves the machine.
#pragma once
#include "support/files.h"
#include "support/folders.h"
#include "backend/client.h"
#include "backend/session.h"
#include "support/client_wait.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

inline const std::string bin = TARNWICK_BINARY_DIR;
inline const std::string launcher_exe = bin + "/tarnwick-launcher";
inline const std::string killable_launcher_exe = bin + "/tests/tarnwick-launcher-killable";  // killable_launcher.cpp
inline const std::string server_exe = bin + "/server/tarnwick-server";
inline const std::string publish_exe = bin + "/tools/tarnwick-publish";
inline const std::string demo_game_exe = bin + "/demo/tarnwick-demo-game";
inline const std::string dev_key = std::string(TARNWICK_SOURCE_DIR) + "/keys/development/release-signing-key.pem";

using support::slurp;
using support::put;


// Starts `exe` with `args` in `cwd`, with the test's environment plus `env` ("NAME=value",
// replacing an inherited entry of that name). Standard output goes to `out` and standard error
// to `err` when given; the same path for both gathers them in one file.
inline pid_t spawn(const std::string& exe, const std::vector<std::string>& args, const fs::path& cwd,
                   const std::vector<std::string>& env, const fs::path& out = {}, const fs::path& err = {}) {
    // Everything is prepared before fork: the child only opens, changes folder and executes.
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& mine : env)
            if (entry.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0) replaced = true;
        if (!replaced) entries.push_back(entry);
    }
    entries.insert(entries.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_copy = args;
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (std::string& a : arg_copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string out_path = out.string(), err_path = err.string(), dir = cwd.string();

    pid_t pid = fork();
    if (pid == 0) {
        int out_fd = -1;
        if (!out_path.empty()) {
            out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out_fd >= 0) dup2(out_fd, 1);
        }
        if (!err_path.empty()) {
            int fd = err_path == out_path ? out_fd : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) dup2(fd, 2);
        }
        if (chdir(dir.c_str()) != 0) _exit(127);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// The exit code, -2 for a signal, or -1 when it still ran after `ms`.
inline int wait_exit(pid_t pid, int ms) {
    for (int waited = 0; waited <= ms; waited += 20) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

inline void end(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (wait_exit(pid, 5000) == -1) {
        kill(pid, SIGKILL);
        wait_exit(pid, 5000);
    }
}

// Processes whose executable is `exe` (Linux: read from /proc).
inline std::vector<pid_t> processes_of(const fs::path& exe) {
    std::vector<pid_t> out;
    for (auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code ec;
        if (fs::read_symlink(entry.path() / "exe", ec) == exe && !ec) out.push_back(pid_t(std::stoi(name)));
    }
    return out;
}

// A scratch folder per test, removed afterwards.
inline fs::path scratch(const char* what) { return support::test_folder(what); }

struct Backend {
    fs::path data;
    pid_t pid = -1;
    std::string url;

    ~Backend() { end(pid); }

    // Starts the server on `data` with the demo accounts; false when it does not come up.
    // `listen` 127.0.0.1:PORT brings a stopped server back on its old address.
    bool start(const fs::path& folder, const std::string& listen = "127.0.0.1:0") {
        for (const std::string& exe : {server_exe, publish_exe, launcher_exe, demo_game_exe})
            if (!fs::exists(exe)) {
                ADD_FAILURE() << exe << " is not built (build every target before the end-to-end tests)";
                return false;
            }
        data = folder;
        fs::create_directories(data);
        fs::path out = data.parent_path() / "server.out";
        pid = spawn(server_exe, {"--data", data.string(), "--listen", listen, "--seed"}, data, {}, out,
                    data.parent_path() / "server.log");
        for (int i = 0; i < 500 && url.empty(); ++i) {
            std::string text = slurp(out);
            size_t nl = text.find('\n');
            if (nl != std::string::npos) url = text.substr(0, nl);
            else std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return !url.empty();
    }

    // Publishes `from` as version `version` of the stable channel, as whole files: these runs
    // follow the whole-file downloads (chunked_e2e_test covers the chunks).
    bool publish(const fs::path& from, const std::string& version) {
        pid_t p = spawn(publish_exe,
                        {"publish", "--key", dev_key, "--channel", "stable", "--version", version, "--from",
                         from.string(), "--to", data.string(), "--whole-files"},
                        data, {}, data.parent_path() / "publish.out", data.parent_path() / "publish.out");
        return wait_exit(p, 60000) == 0;
    }

    // Signs the demo account in and returns its refresh token ("" on failure).
    std::string demo_refresh_token() {
        backend::Client c;
        if (!backend::init(c, url, "e2e", 15000)) return {};
        backend::request_typed(c, backend::Method::POST, "/v1/auth/login",
                               "{\"email\":\"demo@tarnwick.test\",\"password\":\"tarnwick-demo\"}");
        backend::Response r = support::wait_response(c);
        backend::destroy(c);
        backend::Answer a;
        if (r.status != 200 || !backend::decode_answer(r.body, a)) return {};
        return a.refresh_token;
    }
};

// Environment for a headless launcher with its per-user folder under `home`.
inline std::vector<std::string> headless_env(const fs::path& home) {
    return {"SDL_VIDEODRIVER=offscreen", "SDL_RENDER_DRIVER=software", "HOME=" + home.string(),
            "XDG_DATA_HOME=" + (home / "share").string(), "https_proxy=http://127.0.0.1:9",
            "HTTPS_PROXY=http://127.0.0.1:9", "ALL_PROXY=http://127.0.0.1:9",
            "no_proxy=127.0.0.1,localhost", "NO_PROXY=127.0.0.1,localhost"};
}

inline void save_account(const fs::path& home, const std::string& token) {
    put(home / "share" / "Tarnwick" / "account.json", "{\"refresh_token\":\"" + token + "\"}");
}

}  // namespace e2e
