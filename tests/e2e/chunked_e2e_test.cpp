// Chunked delivery end to end: the built launcher against the development backend and a release
// published with chunks. A fresh install, a delta update that fetches only the chunks an edit
// touched, deltas for a player two releases behind, resuming after the connection was cut and after the launcher was killed, a damaged
// and an over-long chunk (refused, nothing put in place, the next check repairs it) and a disk
// too small for the update (the message, nothing changed); an update in place killed at each of
// its writes, finished by the next start.
#include "stack.h"

#include "../launcher/signed_release.h"
#include "delivery/chunker.h"
#include "delivery/job.h"
#include "install/move_download.h"
#include "install/scratch.h"
#include "kill_at_write.h"
#include "launcher/install_folder.h"
#include "launcher/launcher.h"
#include "launcher/patcher.h"
#include "launcher/settings.h"
#include "paths/paths.h"

#include <random>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>   // POSIX only: the backend and the tools run on Linux

using namespace e2e;

namespace {

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(rng() & 0xFF);
    return s;
}

// Copies a folder, last writes included (the record and the kept cuts vouch by them).
void copy_tree(const fs::path& from, const fs::path& to) {
    fs::remove_all(to);
    fs::create_directories(to);
    fs::copy(from, to, fs::copy_options::recursive);
    for (auto& e : fs::recursive_directory_iterator(from))
        if (e.is_regular_file()) fs::last_write_time(to / fs::relative(e.path(), from), e.last_write_time());
}

struct Chunked_E2E : ::testing::Test {
    fs::path root, home, install, release;
    Backend server;
    std::string big;  // the large file of the release

    void SetUp() override {
        root = scratch("chunked");
        home = root / "home";
        install = root / "install";
        release = root / "release";
        ASSERT_TRUE(server.start(root / "server"));
        save_account(home, server.demo_refresh_token());
        big = random_bytes(24 << 20, 1);
        put(release / "Tarnwick", "#!/bin/sh\nexit 0\n");
        put(release / "data" / "world.pak", big);
        put(release / "data" / "readme.txt", std::string(100000, 'r'));
    }
    void TearDown() override {
        end(server.pid);
        server.pid = -1;
        fs::remove_all(root);
    }

    // Publishes the release folder with chunks of `chunk_kib` KiB.
    bool publish(const std::string& version, const char* chunk_kib = "16") {
        pid_t p = spawn(publish_exe,
                        {"publish", "--key", dev_key, "--channel", "stable", "--version", version, "--from",
                         release.string(), "--to", server.data.string(), "--chunks", chunk_kib},
                        root, {}, root / "publish.out", root / "publish.out");
        return wait_exit(p, 120000) == 0;
    }

    pid_t start_launcher(double seconds) {
        return spawn(launcher_exe,
                     {"-backend:" + server.url, "-dir:" + install.string(), "-no-install",
                      "-screenshot:" + (root / "shot").string(), "-seconds:" + std::to_string(seconds)},
                     root, headless_env(home), root / "launcher.log", root / "launcher.log");
    }

    // Runs the launcher until its check has an outcome (the install record changed, or the
    // patcher logged a failure), or it quits by itself; its log. Stopping at the outcome rather
    // than after a fixed time keeps the test independent of how fast a loaded machine installs.
    std::string run_launcher(double seconds = 90) {
        std::string record = slurp(install / "install.json");
        pid_t pid = start_launcher(seconds);
        for (int waited = 0; waited < seconds * 1000 + 30000; waited += 50) {
            if (wait_exit(pid, 50) != -1) return slurp(root / "launcher.log");
            if (slurp(install / "install.json") != record ||
                slurp(root / "launcher.log").find("patcher:") != std::string::npos)
                break;
        }
        end(pid);
        return slurp(root / "launcher.log");
    }

    // The killable launcher, ended just before its n-th change in the install folder: its exit
    // status (137 when killed), or 0 when it got the release `version` installed first.
    int kill_run(int n, const std::string& version) {
        std::vector<std::string> env = headless_env(home);
        env.push_back("TARNWICK_TEST_KILL_AFTER_WRITES=" + std::to_string(n));
        pid_t pid = spawn(killable_launcher_exe,
                          {"-backend:" + server.url, "-dir:" + install.string(), "-no-install",
                           "-screenshot:" + (root / "shot").string(), "-seconds:60"},
                          root, env, root / "launcher.log", root / "launcher.log");
        for (int waited = 0; waited < 90000; waited += 50) {
            int code = wait_exit(pid, 50);
            if (code != -1) return code;
            if (slurp(install / "install.json").find("\"version\": \"" + version + "\"") != std::string::npos) break;
        }
        end(pid);  // the run ended before its n-th change
        return 0;
    }

    // Chunk requests the backend has answered so far.
    size_t chunk_requests() {
        std::string log = slurp(server.data.parent_path() / "server.log");
        size_t n = 0;
        for (size_t at = log.find("/files/chunks/"); at != std::string::npos; at = log.find("/files/chunks/", at + 1)) ++n;
        return n;
    }

    std::vector<fs::path> chunk_files() {
        std::vector<fs::path> out;
        for (auto& e : fs::directory_iterator(server.data / "files" / "chunks")) out.push_back(e.path());
        std::sort(out.begin(), out.end());
        return out;
    }

    bool installed_equals_release() {
        return slurp(install / "data" / "world.pak") == slurp(release / "data" / "world.pak") &&
               slurp(install / "data" / "readme.txt") == slurp(release / "data" / "readme.txt") &&
               fs::exists(install / "Tarnwick");
    }

    // Waits until the big file's part holds at least `chunks` journaled chunks.
    bool wait_for_journal(size_t chunks) {
        fs::path journal = install / "data" / "world.pak.part.journal";
        for (int i = 0; i < 6000; ++i) {
            std::error_code ec;
            auto size = fs::file_size(journal, ec);
            if (!ec && size > 70 + 4 * chunks) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
};

}  // namespace

TEST_F(Chunked_E2E, InstallsFromChunksThenFetchesOnlyWhatAnEditTouched) {
    ASSERT_TRUE(publish("1.0.0"));
    std::string log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    EXPECT_EQ(log.find("patcher:"), std::string::npos) << log;
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"1.0.0\""), std::string::npos);
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak.part"));
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak.part.journal"));
    size_t first = chunk_requests();
    EXPECT_GT(first, (24u << 20) / (64u << 10));

    // 64 KiB overwritten and 100 KiB inserted: a handful of chunks, not the file.
    big = big.substr(0, 5 << 20) + random_bytes(65536, 2) + big.substr((5 << 20) + 65536);
    big.insert(17 << 20, random_bytes(100000, 3));
    put(release / "data" / "world.pak", big);
    ASSERT_TRUE(publish("2.0.0"));
    log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"2.0.0\""), std::string::npos);
    EXPECT_LT(chunk_requests() - first, 40u);
}

TEST_F(Chunked_E2E, AnUpdateThatChangesEveryChunkFetchesDeltasAgainstTheInstalledFile) {
    ASSERT_TRUE(publish("1.0.0"));
    std::string log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    size_t first = chunk_requests();

    // A rebuilt program: a byte changed every 8 KiB, so every chunk is new, yet nearly all of it
    // is what the player has.
    for (size_t at = 1000; at < big.size(); at += 8192) big[at] ^= 0x5A;
    put(release / "data" / "world.pak", big);
    ASSERT_TRUE(publish("2.0.0"));
    log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"2.0.0\""), std::string::npos);
    size_t deltas = 0;
    uint64_t delta_bytes = 0;
    std::string served = slurp(server.data.parent_path() / "server.log");
    for (size_t at = served.find("GET /files/deltas/"); at != std::string::npos; at = served.find("GET /files/deltas/", at + 1)) {
        std::string path = served.substr(at + 4, served.find(' ', at + 4) - at - 4);
        ++deltas;
        delta_bytes += fs::file_size(server.data.string() + path);
    }
    EXPECT_GT(deltas, (24u << 20) / (16u << 10) / 2);
    EXPECT_LT(delta_bytes, big.size() / 20);
    EXPECT_LT(chunk_requests() - first, 10u);
}

TEST_F(Chunked_E2E, APlayerTwoReleasesBehindGetsDeltasAgainstTheReleaseTheyHave) {
    big = random_bytes(4 << 20, 4);  // three releases to publish: a smaller file will do
    put(release / "data" / "world.pak", big);
    ASSERT_TRUE(publish("1.0.0"));
    std::string log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    const std::string had = backend::sha256_hex(big);
    size_t first = chunk_requests();

    // Two rebuilds the player skips the first of: every chunk new in each.
    for (std::string version : {"2.0.0", "3.0.0"}) {
        for (size_t at = version == "2.0.0" ? 1000 : 5000; at < big.size(); at += 8192) big[at] ^= 0x5A;
        put(release / "data" / "world.pak", big);
        ASSERT_TRUE(publish(version));
    }
    log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"3.0.0\""), std::string::npos);
    std::string served = slurp(server.data.parent_path() / "server.log");
    EXPECT_NE(served.find("GET /files/deltas/" + had + "-"), std::string::npos);
    EXPECT_LT(chunk_requests() - first, 10u);
}

TEST_F(Chunked_E2E, ResumesFromTheVerifiedChunksAfterACutConnectionAndAfterAKill) {
    ASSERT_TRUE(publish("1.0.0"));
    size_t total = chunk_files().size();

    // The connection is cut: the backend dies mid-way and comes back on another port.
    pid_t launcher = start_launcher(60);
    ASSERT_TRUE(wait_for_journal(total / 4));
    end(server.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    end(launcher);
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak"));
    server.url.clear();
    fs::remove(root / "server.out");   // else the dead backend's address may be read back
    ASSERT_TRUE(server.start(server.data));
    size_t before = chunk_requests();   // the restarted backend's log starts empty

    // Killed at any moment: the next start goes on from what the part holds.
    launcher = start_launcher(60);
    ASSERT_TRUE(wait_for_journal(total / 2));
    kill(launcher, SIGKILL);
    wait_exit(launcher, 5000);
    size_t after_kill = chunk_requests();
    EXPECT_LT(after_kill - before, total * 3 / 4);

    std::string log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    EXPECT_LT(chunk_requests() - after_kill, total * 3 / 4);
    // At least a quarter was verified before the cut; after it nothing verified was fetched
    // again, give or take the transfers in flight at each stop.
    EXPECT_LE(chunk_requests(), total * 3 / 4 + 32);
}

TEST_F(Chunked_E2E, AWholeFileKilledMidDownloadGoesOnFromItsPartWithARange) {
    std::string digest = backend::sha256_hex(big);
    pid_t p = spawn(publish_exe,
                    {"publish", "--key", dev_key, "--channel", "stable", "--version", "1.0.0", "--from",
                     release.string(), "--to", server.data.string(), "--whole-files"},
                    root, {}, root / "publish.out", root / "publish.out");
    ASSERT_EQ(wait_exit(p, 120000), 0) << slurp(root / "publish.out");
    // 5 MB/s: the 24 MiB file is seconds on its way, long enough to be killed in the middle.
    put(home / "share" / "Tarnwick" / "settings.json", "{\"download_limit\":5}");

    pid_t launcher = start_launcher(60);
    fs::path part = install / "data" / "world.pak.part";
    uintmax_t kept = 0;
    for (int i = 0; i < 30000 && kept < (4u << 20); i += 5) {
        std::error_code ec;
        kept = fs::file_size(part, ec);
        if (ec) kept = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(launcher, SIGKILL);
    wait_exit(launcher, 5000);
    ASSERT_GE(kept, 4u << 20);
    kept = fs::file_size(part);
    ASSERT_LT(kept, big.size());

    put(home / "share" / "Tarnwick" / "settings.json", "{\"download_limit\":0}");
    std::string log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    // The second fetch of the blob asked only for what the part lacked, and got it (206): it
    // moved size - kept bytes, not the whole file again.
    std::string served = slurp(server.data.parent_path() / "server.log");
    EXPECT_NE(served.find("/files/blobs/" + digest + " 206"), std::string::npos) << served;
}

TEST_F(Chunked_E2E, ADamagedOrOverlongChunkIsRefusedAndTheNextCheckRepairsIt) {
    ASSERT_TRUE(publish("1.0.0"));
    std::vector<fs::path> chunks = chunk_files();
    struct Case {
        const char* what;
        std::function<std::string(std::string)> serve;
        bool repair_from_part = false;   // the next run keeps what was verified, fetching the rest
    } cases[] = {
        {"one byte flipped", [](std::string b) { b[b.size() / 2] ^= 0x20; return b; }, true},
        {"longer than declared", [](std::string b) { return b + std::string(4096, 'x'); }},
    };
    size_t k = 0;
    for (const Case& c : cases) {
        // Each case from an empty folder: a part left by the case before may already hold the
        // next victim, which would then never be fetched.
        fs::remove_all(install);
        fs::path victim = chunks[chunks.size() / 3 + k++];
        std::string good = slurp(victim);
        put(victim, c.serve(good));
        std::string log = run_launcher();
        // Fetched once more past the caches, damaged again: the server's copy is to blame.
        EXPECT_NE(log.find("The update server's copy of data/world.pak is damaged: try again later."), std::string::npos)
            << c.what << "\n" << log;
        EXPECT_FALSE(fs::exists(install / "data" / "world.pak")) << c.what;
        EXPECT_FALSE(fs::exists(install / "install.json")) << c.what;
        put(victim, good);
        if (c.repair_from_part) {
            // The damaged chunk was refused before it reached the part: the chunks verified
            // before it stay, and the repair fetches only what the journal does not list.
            std::error_code ec;
            uintmax_t journal = fs::file_size(install / "data" / "world.pak.part.journal", ec);
            ASSERT_FALSE(ec) << c.what;
            size_t kept = size_t(journal - 70) / 4, before = chunk_requests();
            ASSERT_GT(kept, 0u);
            log = run_launcher();
            ASSERT_TRUE(installed_equals_release()) << log;
            EXPECT_LE(chunk_requests() - before, chunks.size() - kept) << c.what;
        }
    }
    // Every chunk right, the whole file not what the signed manifest says: nothing is put in place.
    fs::path channel = server.data / "files" / "releases" / "stable.json";
    const std::string published = slurp(channel);
    backend::Release_Manifest m;
    ASSERT_EQ(backend::open_release(published, m), backend::Release_Error::None);
    for (backend::Release_File& f : m.files)
        if (f.path == "data/world.pak") f.sha256 = backend::sha256_hex("another world");
    put(channel, signed_release::envelope(m));
    std::string log = run_launcher();
    EXPECT_NE(log.find("data/world.pak arrived damaged"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak"));
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak.part"));
    put(channel, published);

    log = run_launcher();
    EXPECT_TRUE(installed_equals_release()) << log;
}

TEST_F(Chunked_E2E, AnUpdateTooBigForTheDiskSaysSoAndChangesNothing) {
    put(release / "data" / "old.txt", "dropped by the next release");
    ASSERT_TRUE(publish("1.0.0"));
    std::string log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;

    // The next release claims a file larger than any disk (signed like a real one).
    fs::path channel = server.data / "files" / "releases" / "stable.json";
    backend::Release_Manifest m;
    ASSERT_EQ(backend::open_release(slurp(channel), m), backend::Release_Error::None);
    m.version = "2.0.0";
    for (auto it = m.files.begin(); it != m.files.end();)
        it = it->path == "data/old.txt" ? m.files.erase(it) : it + 1;
    for (backend::Release_File& f : m.files)
        if (f.path == "data/world.pak") {
            f.size = int64_t(1) << 60;
            f.sha256 = backend::sha256_hex("another world");
        }
    put(channel, signed_release::envelope(m));

    log = run_launcher();
    EXPECT_NE(log.find("Not enough disk space: "), std::string::npos) << log;
    EXPECT_NE(log.find(" more is needed in " + install.string() + "."), std::string::npos) << log;
    EXPECT_TRUE(fs::exists(install / "data" / "old.txt"));
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"1.0.0\""), std::string::npos);
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak.part"));
}

TEST_F(Chunked_E2E, APausedDownloadFetchesNothingAndResumesFromTheVerifiedChunks) {
    ASSERT_TRUE(publish("1.0.0"));
    size_t total = chunk_files().size();
    launcher::Patcher p;
    launcher::patcher_init(p, install.string(), "stable", server.url);
    launcher::patcher_check(p, false);
    auto run_until = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 20000 && !done(); ++i) {
            launcher::patcher_update(p);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    };
    ASSERT_TRUE(run_until([&] { return launcher::patcher_percent(p) >= 25; })) << p.failure;
    launcher::patcher_pause(p);
    ASSERT_TRUE(p.paused);
    auto idle_a_while = [&] {
        for (int i = 0; i < 300; ++i) {
            launcher::patcher_update(p);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    // The backend logs an answer once written: one cut short by the pause may still show up,
    // later on a loaded machine. The count is taken once it has held still for a while.
    size_t at_pause = chunk_requests();
    for (int settled = 0, round = 0; settled < 3 && round < 20; ++round) {
        idle_a_while();
        size_t now = chunk_requests();
        settled = now == at_pause ? settled + 1 : 0;
        at_pause = now;
    }
    idle_a_while();
    EXPECT_EQ(chunk_requests(), at_pause);
    EXPECT_EQ(p.state, launcher::Patch_State::Downloading);
    EXPECT_FALSE(fs::exists(install / "data" / "world.pak"));
    EXPECT_FALSE(fs::exists(install / "install.json"));

    launcher::patcher_resume(p);
    ASSERT_TRUE(run_until([&] { return p.state != launcher::Patch_State::Downloading; }));
    EXPECT_EQ(p.state, launcher::Patch_State::Ready) << p.failure;
    launcher::patcher_destroy(p);
    EXPECT_TRUE(installed_equals_release());
    // Only the transfers cut short by the pause are fetched again.
    EXPECT_LE(chunk_requests(), total + 8);
}

TEST_F(Chunked_E2E, AnUpdateInPlaceKilledAtAnyStepIsFinishedByTheNextStart) {
    ASSERT_TRUE(publish("1.0.0"));
    std::string log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    // The installed folder as 1.0.0 left it, last writes included (the record and the kept cut
    // vouch by them).
    fs::path kept = root / "kept";
    copy_tree(install, kept);

    // Two small same-size edits: most chunks stay where they are, and each kill point costs two
    // starts of the launcher.
    for (size_t at : {size_t(3) << 20, size_t(20) << 20}) big.replace(at, 1000, random_bytes(1000, uint32_t(at)));
    put(release / "data" / "world.pak", big);
    ASSERT_TRUE(publish("2.0.0"));
    const std::string new_digest = backend::sha256_hex(big);
    fs::path world = install / "data" / "world.pak";
    auto converged = [&](const std::string& what, bool start = true) {
        std::string log = start ? run_launcher() : "";
        EXPECT_TRUE(installed_equals_release()) << what << "\n" << log;
        std::string record = slurp(install / "install.json");
        EXPECT_NE(record.find("\"version\": \"2.0.0\""), std::string::npos) << what;
        EXPECT_NE(record.find(new_digest), std::string::npos) << what;
        EXPECT_FALSE(fs::exists(world.string() + ".part")) << what;
        // The journals of the update are used and gone, whichever start finished it.
        EXPECT_FALSE(fs::exists(world.string() + ".undo")) << what;
        EXPECT_FALSE(fs::exists(world.string() + ".inplace.journal")) << what;
    };

    // Undisturbed: the bytes change in the installed file itself (no part moved over it), over
    // no more connections than transfers at a time.
    struct stat before {}, after {};
    ASSERT_EQ(stat(world.c_str(), &before), 0);
    launcher::Patcher p;
    launcher::patcher_init(p, install.string(), "stable", server.url);
    launcher::patcher_check(p, false);
    int64_t connections = 0;
    for (int i = 0; i < 30000 && (p.state == launcher::Patch_State::Checking || p.state == launcher::Patch_State::Downloading); ++i) {
        launcher::patcher_update(p);
        if (p.check.job) connections = std::max<int64_t>(connections, p.check.job->fetcher.connections.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(p.state, launcher::Patch_State::Ready) << p.failure;
    launcher::patcher_destroy(p);
    EXPECT_GT(connections, 0);
    EXPECT_LE(connections, 8);
    converged("undisturbed", false);
    ASSERT_EQ(stat(world.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    // Killed after the n-th write of the update (journal, resize, chunks, commit), then started
    // again: each time the next start ends with the new file and a record that names it.
    int n = 1;
    for (; n <= 60; ++n) {
        copy_tree(kept, install);
        if (kill_run(n, "2.0.0") != 137) break;
        EXPECT_NE(slurp(install / "install.json").find("\"version\": \"1.0.0\""), std::string::npos) << n;
        converged("killed after write " + std::to_string(n));
    }
    EXPECT_GT(n, 4);  // the journal, each chunk and the commit were each a kill point
}

// The loop of the frame: the patcher's update until `done` holds.
static bool update_until(launcher::Patcher& p, const std::function<bool()>& done) {
    for (int i = 0; i < 20000 && !done(); ++i) {
        launcher::patcher_update(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

TEST_F(Chunked_E2E, PausedTheBarKeepsItsPercentageAndResumeGoesOnFromThere) {
    ASSERT_TRUE(publish("1.0.0"));
    launcher::Patcher p;
    launcher::patcher_init(p, install.string(), "stable", server.url);
    launcher::patcher_check(p, false);
    ASSERT_TRUE(update_until(p, [&] { return launcher::patcher_percent(p) >= 25; })) << p.failure;
    launcher::patcher_pause(p);
    int paused_at = launcher::patcher_percent(p);
    EXPECT_GE(paused_at, 25);
    for (int i = 0; i < 300; ++i) launcher::patcher_update(p);
    EXPECT_EQ(launcher::patcher_percent(p), paused_at);
    EXPECT_EQ(launcher::patcher_speed_text(p), "Paused");

    launcher::patcher_resume(p);
    int lowest = 100;
    ASSERT_TRUE(update_until(p, [&] {
        if (p.state == launcher::Patch_State::Downloading) lowest = std::min(lowest, launcher::patcher_percent(p));
        return p.state != launcher::Patch_State::Downloading;
    }));
    EXPECT_GE(lowest, paused_at);   // the new job counting its parts again never shows less
    EXPECT_EQ(p.state, launcher::Patch_State::Ready) << p.failure;
    launcher::patcher_destroy(p);
}

TEST_F(Chunked_E2E, ChangingTheFolderDuringTheDownloadTakesTheVerifiedChunksAlong) {
    put(release / "data" / "levels" / "one.pak", std::string(50000, 'l'));   // folders in folders
    ASSERT_TRUE(publish("1.0.0"));
    size_t total = chunk_files().size();
    setenv("XDG_DATA_HOME", (root / "share").c_str(), 1);   // the folder setting goes there
    paths::reset_user_dir_for_tests();
    put(install / "notes.txt", "the player's own");
    auto state = std::make_unique<launcher::Launcher>();
    state->backend = server.url;
    state->install_dir = install.string();
    launcher::Patcher& p = state->patcher;
    launcher::patcher_init(p, install.string(), "stable", server.url);
    launcher::patcher_check(p, false);
    ASSERT_TRUE(update_until(p, [&] { return launcher::patcher_percent(p) >= 25; })) << p.failure;

    fs::path chosen = root / "chosen";
    launcher::apply_install_folder(*state, chosen.string());
    EXPECT_EQ(state->install_dir, chosen.string());
    EXPECT_EQ(support::tree(install), std::vector<std::string>{"notes.txt"});   // nothing of the game stays
    EXPECT_TRUE(fs::exists(chosen / "data" / "world.pak.part.journal"));
    EXPECT_EQ(launcher::settings_load().install_dir, chosen.string());

    launcher::patcher_check(p, false);   // the first check in the new folder, as the frame loop starts it
    ASSERT_TRUE(update_until(p, [&] { return p.state != launcher::Patch_State::Downloading &&
                                             p.state != launcher::Patch_State::Checking; }));
    EXPECT_EQ(p.state, launcher::Patch_State::Ready) << p.failure;
    launcher::patcher_destroy(p);
    platform::unlock_instance(state->lock);
    install = chosen;
    EXPECT_TRUE(installed_equals_release());
    // Only the transfers the change cut short are fetched again (up to one a transfer slot, and
    // the chunks checked but not yet journalled).
    EXPECT_LE(chunk_requests(), total + 16);
    paths::reset_user_dir_for_tests();
}

// Every scratch file below `folder` (the names install/scratch.h declares beside a target).
static std::vector<std::string> scratch_below(const fs::path& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator(); ++it)
        for (const delivery::Scratch_Name& n : delivery::scratch_names)
            if (it->path().string().ends_with(n.suffix)) out.push_back(fs::relative(it->path(), folder).string());
    std::sort(out.begin(), out.end());
    return out;
}

// Killed just before each change the launcher makes in its install folder, for a first install,
// an update of chunked files, an update in place and a move of the download to another folder,
// then started again: the next start ends with the release installed and its record, and every
// scratch file was used and removed, or carried along to the new folder.
TEST_F(Chunked_E2E, KilledBeforeAnyChangeOfAnInstallUpdateOrMoveTheNextStartEndsRight) {
    big = random_bytes(1200 << 10, 7);   // above the smallest file updated in place
    put(release / "data" / "world.pak", big);
    backend::Release_Manifest manifest;   // of the last release, as the patcher read it
    auto converge = [&](const fs::path& dir, const std::string& what) {
        launcher::Patcher p;
        launcher::patcher_init(p, dir.string(), "stable", server.url);
        launcher::patcher_check(p, false);
        update_until(p, [&] { return p.state != launcher::Patch_State::Checking && p.state != launcher::Patch_State::Downloading; });
        EXPECT_EQ(p.state, launcher::Patch_State::Ready) << what << ": " << p.failure;
        manifest = p.manifest;
        launcher::patcher_destroy(p);
        EXPECT_EQ(scratch_below(dir), std::vector<std::string>{}) << what;
    };
    // Killed before the n-th change, for n = 1, 2, ... until a run ends without one; each killed
    // run is followed by a start that must finish the job. `before` is the folder as the
    // scenario starts; `reached` whether the killed run got as far as the release `version`.
    auto each_kill = [&](const std::string& scenario, const fs::path& before, const std::string& version) {
        int n = 1;
        for (; n <= 80; ++n) {
            copy_tree(before, install);
            if (kill_run(n, version) != 137) break;
            converge(install, scenario + ", killed before change " + std::to_string(n));
            EXPECT_TRUE(installed_equals_release()) << scenario << " " << n;
        }
        EXPECT_GT(n, 3) << scenario;
        EXPECT_LE(n, 80) << scenario << ": the run never ended";
        return n;
    };
    const fs::path empty = root / "empty", v1 = root / "v1", v2 = root / "v2";
    fs::create_directories(empty);
    ASSERT_TRUE(publish("1.0.0", "128"));
    each_kill("first install", empty, "1.0.0");
    copy_tree(install, v1);

    put(release / "data" / "readme.txt", std::string(90000, 's'));   // below the in-place size: a new part
    ASSERT_TRUE(publish("2.0.0", "128"));
    each_kill("chunked update", v1, "2.0.0");
    copy_tree(install, v2);

    big.replace(600 << 10, 1000, random_bytes(1000, 8));   // one chunk, same size: in place
    put(release / "data" / "world.pak", big);
    ASSERT_TRUE(publish("3.0.0", "128"));
    each_kill("update in place", v2, "3.0.0");

    // A download under way (a first install of 4.0.0 killed half-way, its parts and journals
    // beside the files) moved to another folder, killed before each change of the move, then
    // moved again and finished there: nothing is left in the old folder, nothing verified lost.
    put(release / "data" / "world.pak", random_bytes(1200 << 10, 9));
    ASSERT_TRUE(publish("4.0.0", "128"));
    const fs::path moving = root / "moving", from = moving / "from", to = moving / "to", half = root / "half";
    converge(install, "4.0.0 for its manifest");
    for (int n = 1;; ++n) {   // the first kill that leaves a part with its journal
        ASSERT_LE(n, 80);
        copy_tree(empty, install);
        ASSERT_EQ(kill_run(n, "4.0.0"), 137);
        if (fs::exists(install / "data" / "world.pak.part.journal") && fs::file_size(install / "data" / "world.pak.part.journal") > 70) break;
    }
    copy_tree(install, half);
    // What the move carries: every scratch file that travels; a part without its journal holds
    // nothing verified and may go.
    const std::vector<std::string> left = scratch_below(half);
    std::vector<std::string> carried;
    for (const std::string& name : left)
        if (!name.ends_with(".undo.tmp") && !(name.ends_with(".part") && !fs::exists(half / (name + ".journal"))))
            carried.push_back(name);
    ASSERT_FALSE(carried.empty());
    int n = 1;
    for (; n <= 80; ++n) {
        copy_tree(half, from);
        fs::remove_all(to);
        pid_t child = fork();
        if (child == 0) {
            e2e::kill_at_write(n, moving.string());
            launcher::move_download(manifest, from.string(), to.string());
            std::_Exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        bool killed = WIFEXITED(status) && WEXITSTATUS(status) == 137;
        // Each scratch file is in one folder or the other, never lost on the way.
        std::vector<std::string> now = scratch_below(from), there = scratch_below(to);
        now.insert(now.end(), there.begin(), there.end());
        std::sort(now.begin(), now.end());
        EXPECT_TRUE(std::includes(now.begin(), now.end(), carried.begin(), carried.end()) &&
                    std::includes(left.begin(), left.end(), now.begin(), now.end()))
            << "move killed before change " << n;
        launcher::move_download(manifest, from.string(), to.string());   // chosen again
        EXPECT_EQ(scratch_below(from), std::vector<std::string>{}) << n;
        install = to;
        converge(to, "move killed before change " + std::to_string(n));
        EXPECT_TRUE(installed_equals_release()) << n;
        install = root / "install";
        if (!killed) break;
    }
    EXPECT_GT(n, 3);
}

// An update in place proves the file by its chunks and reads it once more in the background: a
// byte of a chunk the update keeps, damaged on disk with the file's time put back, passes the
// update (no whole read catches it), is found by the background read, and the check that follows
// fetches the chunk it sits in and not the file.
TEST_F(Chunked_E2E, ADamagedKeptChunkPassesTheUpdateInPlaceAndTheBackgroundReadHasItFetched) {
    ASSERT_TRUE(publish("1.0.0"));
    std::string log = run_launcher();
    ASSERT_TRUE(installed_equals_release()) << log;
    big.replace(3 << 20, 1000, random_bytes(1000, 11));
    put(release / "data" / "world.pak", big);
    ASSERT_TRUE(publish("2.0.0"));
    const fs::path world = install / "data" / "world.pak";
    const auto when = fs::last_write_time(world);
    std::string damaged = slurp(world);
    const size_t at = 20 << 20;
    damaged[at] = char(damaged[at] ^ 1);
    put(world, damaged);
    fs::last_write_time(world, when);

    launcher::Patcher p;
    launcher::patcher_init(p, install.string(), "stable", server.url);
    const size_t before = chunk_requests();
    launcher::patcher_check(p, false);
    auto settled = [&] { return p.state == launcher::Patch_State::Ready || p.state == launcher::Patch_State::Failed; };
    ASSERT_TRUE(update_until(p, settled));
    ASSERT_EQ(p.state, launcher::Patch_State::Ready) << p.failure;
    EXPECT_EQ(p.check.progress.unread, std::vector<std::string>{"data/world.pak"});
    EXPECT_EQ(slurp(world)[at], damaged[at]);
    EXPECT_NE(slurp(install / "install.json").find("\"version\": \"2.0.0\""), std::string::npos);
    const size_t updated = chunk_requests();
    EXPECT_LT(updated - before, 10u);

    // The background read marks the file; the check it starts fetches the damaged chunk.
    ASSERT_TRUE(update_until(p, [&] { return !p.reread && !p.recheck && p.state == launcher::Patch_State::Checking; }));
    ASSERT_TRUE(update_until(p, settled));
    EXPECT_EQ(p.state, launcher::Patch_State::Ready) << p.failure;
    EXPECT_TRUE(installed_equals_release());
    EXPECT_GE(chunk_requests() - updated, 1u);
    EXPECT_LE(chunk_requests() - updated, 2u);
    EXPECT_NE(slurp(install / "install.json").find(backend::sha256_hex(big)), std::string::npos);
    launcher::patcher_destroy(p);
}
