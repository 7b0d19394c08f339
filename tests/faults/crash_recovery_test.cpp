// Pulling the plug mid-update: the real launcher program installs a multi-file release from the
// real development backend (through a proxy) and is killed with SIGKILL at twenty different
// points: during start-up and sign-in, while the manifest is fetched, in the middle of
// downloads, and right around the last file's write, rename and the install record. Each point
// is a moment the test controls, never a time: the proxy holds the chosen request unanswered
// until the kill, or the test waits for the install folder to reach the chosen state, so a
// loaded machine reaches the same points as an idle one. It is started again after every kill.
// It must end with every file matching the manifest, a whole and current "install.json",
// nothing outside the install folder changed, and the saved account still signing in.
#include "backend/json.h"
#include "backend/release.h"
#include "e2e/stack.h"
#include "install/record.h"
#include "proxy.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <map>
#include <mutex>

namespace {

using namespace e2e;

struct Release_Files {
    std::string version;
    std::map<std::string, std::string> files;  // path -> contents
};

// Bytes that differ per file and version, so that every digest is its own.
std::string content(const std::string& seed, size_t size) {
    std::string out;
    out.reserve(size);
    uint32_t x = 2166136261u;
    for (char c : seed) x = (x ^ uint8_t(c)) * 16777619u;
    while (out.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out += char(x & 0xFF);
    }
    return out;
}

Release_Files release(int version) {
    Release_Files r;
    r.version = std::to_string(version) + ".0";
    std::string v = "v" + std::to_string(version);
    r.files["Tarnwick"] = "#!/bin/sh\n# " + v + "\n" + content(v + "exe", 90000);
    r.files["data/level1.pak"] = content(v + "l1", 160000);
    r.files["data/level2.pak"] = content(version % 2 ? "l2-odd" : "l2-even", 120000);  // changes every other version
    r.files["data/sounds/wind.ogg"] = content("wind", 70000);  // never changes
    r.files["data/deep/nested/tile.bin"] = content(v + "tile", 40000);
    r.files["readme.txt"] = "Tarnwick " + r.version + "\n";
    r.files["empty.dat"] = "";
    r.files["v" + std::to_string(version) + "/only-in-this-version.txt"] = v;  // dropped by the next one
    return r;
}

// What the install folder holds, for the log line of each kill point.
std::string describe(const fs::path& dir, const Release_Files& want) {
    int current = 0, parts = 0;
    for (auto& [path, bytes] : want.files) {
        fs::path p = dir / path;
        if (fs::exists(p) && slurp(p) == bytes) ++current;
    }
    if (fs::exists(dir))
        for (auto& e : fs::recursive_directory_iterator(dir))
            if (e.path().extension() == ".part") ++parts;
    launcher::Install_Record rec = launcher::install_load(dir.string());
    return std::to_string(current) + "/" + std::to_string(want.files.size()) + " files of " + want.version +
           " current, " + std::to_string(parts) + " .part left, install.json " +
           (rec.version.empty() ? std::string("absent") : rec.version);
}

// True when `dir` holds every file of the release with its bytes and the install record is
// whole, current and names every file with its digest. Files the release does not list may stay:
// one put in place by an update that was interrupted and then superseded was never recorded, so
// nothing marks it as the launcher's to delete (see leftovers()).
bool converged(const fs::path& dir, const Release_Files& want, std::string* why = nullptr) {
    auto no = [&](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    for (auto& [path, bytes] : want.files)
        if (!fs::exists(dir / path) || slurp(dir / path) != bytes) return no(path + " is not the release's");
    std::string text = slurp(dir / "install.json");
    json::Value root;
    if (!json::parse(text, root)) return no("install.json is not whole JSON");
    launcher::Install_Record rec = launcher::install_decode(text);
    if (rec.version != want.version) return no("install.json names " + rec.version);
    if (rec.files.size() != want.files.size()) return no("install.json lists the wrong number of files");
    for (const launcher::Installed_File& f : rec.files) {
        auto it = want.files.find(f.path);
        if (it == want.files.end() || f.sha256 != backend::sha256_hex(it->second))
            return no("install.json entry " + f.path + " is wrong");
    }
    return true;
}

// Files in `dir` that are neither the release's nor the install record.
std::vector<std::string> leftovers(const fs::path& dir, const Release_Files& want) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        std::string rel = fs::relative(e.path(), dir).string();
        if (e.is_regular_file() && rel != "install.json" && !want.files.count(rel)) out.push_back(rel);
    }
    return out;
}

std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root))
        out[fs::relative(e.path(), root).string()] = e.is_regular_file() ? slurp(e.path()) : "<dir>";
    return out;
}

bool wait_until(const std::function<bool()>& done, int ms) {
    for (int waited = 0; waited < ms; waited += 5) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

TEST(CrashRecovery, KilledAtTwentyPointsOfAnUpdateTheLauncherConvergesToTheRelease) {
    fs::path root = scratch("crash");
    fs::path dir = root / "install", home = root / "home", outside = root / "outside";
    put(outside / "precious.txt", "not the launcher's");
    put(home / "share" / "Tarnwick" / "maps" / "mine.tnw", "TNWM my own map");

    Backend backend;
    ASSERT_TRUE(backend.start(root / "data"));
    faults::Proxy proxy(backend.url);
    ASSERT_TRUE(proxy.front);
    std::string token = backend.demo_refresh_token();
    ASSERT_FALSE(token.empty());
    save_account(home, token);

    std::map<int, Release_Files> published;  // by version number
    auto publish = [&](const Release_Files& r) {
        published[std::stoi(r.version)] = r;
        fs::path from = root / ("build-" + r.version);
        for (auto& [path, bytes] : r.files) put(from / path, bytes);
        ASSERT_TRUE(backend.publish(from, r.version));
    };
    std::vector<std::string> args = {"-no-install", "-backend:" + proxy.url(), "-dir:" + dir.string()};
    auto start = [&] { return spawn(launcher_exe, args, root, headless_env(home), root / "launcher.out", root / "launcher.out"); };
    auto before_outside = tree(outside);

    // An installed release to update from.
    Release_Files installed = release(1);
    publish(installed);
    pid_t pid = start();
    bool first = wait_until([&] { return converged(dir, installed); }, 60000);
    kill(pid, SIGKILL);
    wait_exit(pid, 5000);
    ASSERT_TRUE(first) << describe(dir, installed);

    // New releases, one every five kills at least. A kill point is a request the proxy holds
    // unanswered (the launcher's first request, its sign-in, the manifest, the n-th release file
    // of this run, -1: the last one), or a state of the install folder: every file of the
    // release in place (the last rename done, the record perhaps not yet), or the record current.
    enum class At : uint8_t { First_Request, Sign_In, Manifest, Blob, Files_In_Place, Record_Current };
    struct Point {
        const char* when;
        At at;
        int blob = 0;
    };
    const Point points[] = {
        {"start-up", At::First_Request},    {"sign-in", At::Sign_In},           {"manifest asked", At::Manifest},
        {"1st file", At::Blob, 1},           {"2nd file", At::Blob, 2},          {"last file", At::Blob, -1},
        {"files in place", At::Files_In_Place}, {"3rd file", At::Blob, 3},       {"4th file", At::Blob, 4},
        {"record current", At::Record_Current}, {"1st file", At::Blob, 1},      {"last file", At::Blob, -1},
        {"files in place", At::Files_In_Place}, {"manifest asked", At::Manifest}, {"2nd file", At::Blob, 2},
        {"sign-in", At::Sign_In},            {"3rd file", At::Blob, 3},          {"last file", At::Blob, -1},
        {"files in place", At::Files_In_Place}, {"start-up", At::First_Request},
    };
    auto files_in_place = [&](const Release_Files& r) {
        for (auto& [path, bytes] : r.files)
            if (!fs::exists(dir / path) || slurp(dir / path) != bytes) return false;
        return true;
    };
    Release_Files want = installed;
    int latest = 1;
    std::vector<std::string> outcomes;
    for (int i = 0; i < 20; ++i) {
        // A new release every five kills, and whenever the last one's files are already in:
        // every kill point then falls into an update that still has files to fetch.
        if (i % 5 == 0 || files_in_place(want)) {
            want = release(++latest);
            publish(want);
        }
        const Point& at = points[i];
        // How many files this run asks for: what differs from what is on disk.
        int differing = 0;
        for (auto& [path, bytes] : want.files)
            if (!fs::exists(dir / path) || slurp(dir / path) != bytes) ++differing;
        const int blobs_before = proxy.seen->blobs;
        const int nth = at.blob < 0 ? differing : std::min(at.blob, differing);
        switch (at.at) {
        case At::First_Request: proxy.hold_next([](const support::Recorded_Request&) { return true; }); break;
        case At::Sign_In:
            proxy.hold_next([](const support::Recorded_Request& r) { return r.path() == "/v1/auth/refresh"; });
            break;
        case At::Manifest:
            proxy.hold_next([](const support::Recorded_Request& r) { return r.path().starts_with("/files/releases/"); });
            break;
        case At::Blob: {
            auto seen = proxy.seen;
            proxy.hold_next([seen, target = blobs_before + nth](const support::Recorded_Request& r) {
                return r.path().starts_with("/files/blobs/") && seen->blobs == target;
            });
            break;
        }
        case At::Files_In_Place:
        case At::Record_Current: break;
        }
        pid = start();
        bool reached = false;
        if (at.at == At::Files_In_Place) reached = wait_until([&] { return files_in_place(want); }, 60000);
        else if (at.at == At::Record_Current) reached = wait_until([&] { return converged(dir, want); }, 60000);
        else reached = proxy.wait_held(60000);
        kill(pid, SIGKILL);
        EXPECT_EQ(wait_exit(pid, 5000), -2);
        proxy.let_go();
        EXPECT_TRUE(reached) << at.when << " never came: " << slurp(root / "launcher.out");
        std::string line = "kill " + std::to_string(i + 1) + " (" + want.version + ", " + at.when + "): " + describe(dir, want);
        outcomes.push_back(line);
        std::cout << line << "\n";
        // Whatever the moment, no file ever holds anything but a version's published bytes.
        for (auto& [path, bytes] : want.files) {
            if (!fs::exists(dir / path)) continue;
            bool known = false;
            std::string on_disk = slurp(dir / path);
            for (int v = 1; v <= latest && !known; ++v) {
                const Release_Files& r = published[v];
                known = r.files.count(path) && r.files.at(path) == on_disk;
            }
            EXPECT_TRUE(known) << path << " holds bytes no release has (" << line << ")";
        }
        std::string text = slurp(dir / "install.json");
        json::Value parsed;
        EXPECT_TRUE(text.empty() || json::parse(text, parsed)) << "install.json cut off at " << line;
    }

    // Started once more and left alone, it finishes the update.
    pid = start();
    std::string why;
    bool done = wait_until([&] { return converged(dir, want, &why); }, 90000);
    end(pid);
    EXPECT_TRUE(done) << why << "\n" << slurp(root / "launcher.out");
    EXPECT_TRUE(converged(dir, want, &why)) << why;
    for (const std::string& rel : leftovers(dir, want)) {
        std::cout << "left in the install folder: " << rel << "\n";
        // Only what an interrupted, superseded update put there: files of the releases in between.
        EXPECT_TRUE(rel.find("/only-in-this-version.txt") != std::string::npos || rel.ends_with(".part")) << rel;
    }

    // Nothing outside the install folder changed; the player's own map is still there.
    EXPECT_EQ(tree(outside), before_outside);
    EXPECT_EQ(slurp(home / "share" / "Tarnwick" / "maps" / "mine.tnw"), "TNWM my own map");

    // The saved account survived every kill: its refresh token still signs in.
    std::string saved = slurp(home / "share" / "Tarnwick" / "account.json");
    backend::Client c;
    ASSERT_TRUE(backend::init(c, backend.url, "test", 15000));
    json::Value v;
    std::string refresh;
    ASSERT_TRUE(json::parse(saved, v)) << saved;
    json::members(v, [&](std::string_view k, json::Value x) { return k != "refresh_token" || json::get(x, refresh); });
    backend::request_typed(c, backend::Method::POST, "/v1/auth/refresh", json::json_body({"refresh_token", refresh}));
    backend::Response r = support::wait_response(c);
    EXPECT_EQ(r.status, 200) << "the saved account was lost: " << r.body;
    backend::destroy(c);

    ::testing::Test::RecordProperty("outcomes", std::to_string(outcomes.size()));
    fs::remove_all(root);
}

}  // namespace
