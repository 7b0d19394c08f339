// The patcher's side of the benchmark suite: the real planner and download pipeline of the
// `tarnwick` library, measured against the best command-line tool for the same work in the same
// run. scripts/bench builds and drives it; every mode prints one line per figure, starting with
// "row|", which the script gathers into its table.
//
//   patcher_bench gen DIR COUNT BYTES SEED        write COUNT files of BYTES in all (a release)
//   patcher_bench first-check DIR RUNS            plan over 2 GiB in 500 files, no install record,
//                                                 against `openssl dgst -sha256` over the files;
//                                                 then the same check on its planning thread with
//                                                 patcher_update paced like the frame loop: the
//                                                 longest frame against the 60 Hz frame period
//   patcher_bench update-read DIR                 bytes the plan reads of a 1 GiB file unchanged
//                                                 since install whose release changed
//   patcher_bench recheck DIR RUNS                plan over 100,000 small files with a matching
//                                                 record, against `find -printf '%s %T@\n'`
//   patcher_bench install URL CHANNEL DIR [LIMIT] one whole install through patcher_check and
//                                                 patcher_update paced like the frame loop,
//                                                 under a download limit of LIMIT bytes a
//                                                 second when given; prints "wall_ms cpu_ms
//                                                 idle_kib peak_kib", and the frames' work on
//                                                 standard error, with write_bytes, the job's
//                                                 planning reads and its connections
//
// Wall time is what a player waits for, CPU time is what survives a busy machine: the planner
// rows print both and the ratio of the one named in the row.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "backend/release.h"
#include "delivery/rate_limit.h"
#include "install/record.h"
#include "delivery/job.h"
#include "launcher/patcher.h"
#include "platform/files.h"
#include "platform/system.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double wall_ms() { return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(); }

double tv_ms(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

// CPU time of the whole process, every thread included: the planner hashes on several.
double cpu_ms() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return tv_ms(u.ru_utime) + tv_ms(u.ru_stime);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Timing {
    double wall = 0, cpu = 0;
};

// Runs a command with its output thrown away; wall time and the child's own CPU time.
bool run_tool(const std::vector<std::string>& args, Timing& t) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    double t0 = wall_ms();
    pid_t pid;
    int e = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (e != 0) return false;
    int status = 0;
    rusage u{};
    if (wait4(pid, &status, 0, &u) != pid) return false;
    t.wall = wall_ms() - t0;
    t.cpu = tv_ms(u.ru_utime) + tv_ms(u.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Deterministic bytes: the same seed gives the same release on every machine.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    void fill(std::string& buf, size_t n) {
        buf.resize(n);
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t v = next();
            std::memcpy(&buf[i], &v, 8);
        }
        for (uint64_t v = next(); i < n; ++i, v >>= 8) buf[i] = char(v);
    }
};

// File sizes spread like a game's: many small files, a few large ones, adding up to `total`.
std::vector<int64_t> spread_sizes(size_t count, int64_t total, Rng& rng) {
    std::vector<double> weight(count);
    double sum = 0;
    for (double& w : weight) {
        w = std::exp(double(rng.next() % 10000) / 10000.0 * 7.0);  // 1 to ~1100, log-uniform
        sum += w;
    }
    std::vector<int64_t> sizes(count);
    int64_t given = 0;
    for (size_t i = 0; i < count; ++i) {
        sizes[i] = std::max<int64_t>(1, int64_t(double(total) * weight[i] / sum));
        given += sizes[i];
    }
    sizes[count - 1] += total - given;
    return sizes;
}

std::string release_path(size_t i, size_t count) {
    char path[64];
    size_t per_folder = count > 1000 ? 100 : 25;
    std::snprintf(path, sizeof path, "data/pack%04zu/file%06zu.bin", i / per_folder, i);
    return path;
}

// Writes the release's files under `dir` and returns its manifest (digests of what was written).
backend::Release_Manifest generate(const std::string& dir, size_t count, int64_t total, uint64_t seed,
                                   bool small_files) {
    Rng rng{seed};
    std::vector<int64_t> sizes;
    if (small_files) {
        for (size_t i = 0; i < count; ++i) sizes.push_back(int64_t(1 + rng.next() % 2048));
    } else {
        sizes = spread_sizes(count, total, rng);
    }
    backend::Release_Manifest m{"bench", "1.0.0", "2026-01-01T00:00:00Z", {}};
    std::string buf;
    for (size_t i = 0; i < count; ++i) {
        std::string path = release_path(i, count);
        std::string full = platform::join_path(dir, path);
        platform::make_dirs(platform::parent_folder(full));
        rng.fill(buf, size_t(sizes[i]));
        if (!platform::write_file(full, buf)) {
            std::fprintf(stderr, "patcher_bench: can't write %s\n", full.c_str());
            std::exit(1);
        }
        m.files.push_back({path, sizes[i], backend::sha256_hex(buf)});
    }
    return m;
}

// The planner with its manifest in place, as patcher_update leaves it after open_release.
void prepare(launcher::Patcher& p, const std::string& dir, const backend::Release_Manifest& m) {
    p.dir = dir;
    p.channel = "bench";
    p.manifest = m;
    p.has_manifest = true;
    p.state = launcher::Patch_State::Checking;
}

// One line of the suite's table: the work, our median, the reference's median, the unit, our
// share of the reference, what the reference was, and the largest share allowed ("-": none).
// A figure that cannot be had is a line "missing|WORK|why" instead, and the program exits 1:
// scripts/bench lists it as MISSING, never as a ratio.
void print_row(const char* name, double ours, double ref, const char* unit, const char* reference,
               const char* limit) {
    std::printf("row|%s|%.1f|%.1f|%s|%.2f|%s|%s\n", name, ours, ref, unit, ours / ref, reference, limit);
    std::fflush(stdout);
}

int first_check(const std::string& dir, int runs) {
    backend::Release_Manifest m = generate(dir, 500, int64_t(2) << 30, 1, false);
    // One file with the right size and the wrong bytes: the planner must find it by hashing, and
    // since something is left to fetch it writes no record that would spare the next run.
    std::string damaged = platform::join_path(dir, m.files[250].path);
    std::string bytes;
    platform::read_file(damaged, bytes);
    bytes[bytes.size() / 2] ^= 1;
    platform::write_file(damaged, bytes);

    std::vector<std::string> ref_cmd{"openssl", "dgst", "-sha256"};
    for (const backend::Release_File& f : m.files) ref_cmd.push_back(platform::join_path(dir, f.path));
    Timing warm;
    run_tool(ref_cmd, warm);  // the page cache holds the files from here on

    std::vector<double> ours_wall, ours_cpu, ref_wall, ref_cpu;
    for (int r = 0; r < runs; ++r) {
        platform::delete_file(platform::join_path(dir, "install.json"));
        launcher::Patcher p;
        prepare(p, dir, m);
        double w0 = wall_ms(), c0 = cpu_ms();
        launcher::plan(p);
        ours_wall.push_back(wall_ms() - w0);
        ours_cpu.push_back(cpu_ms() - c0);
        if (p.state != launcher::Patch_State::Downloading || p.check.waiting.size() != 1 ||
            p.check.waiting[0].path != m.files[250].path) {
            std::fprintf(stderr, "patcher_bench: the plan did not single out the damaged file\n");
            return 1;
        }
        Timing t;
        if (!run_tool(ref_cmd, t)) {
            std::printf("missing|first check, 2 GiB in 500 files, no record|openssl dgst -sha256 failed\n");
            return 1;
        }
        ref_wall.push_back(t.wall);
        ref_cpu.push_back(t.cpu);
    }
    print_row("first check, 2 GiB in 500 files, no record (wall)", median(ours_wall), median(ref_wall), "ms",
              "openssl dgst -sha256 (wall)", "0.6");
    print_row("  the same, CPU time of all threads", median(ours_cpu), median(ref_cpu), "ms",
              "openssl dgst -sha256 (CPU)", "-");

    // The same check as the window runs it: planned on its own thread while patcher_update runs
    // once per 1/60 s slot. A frame is the time from one frame's start to the next one's, so a
    // frame that waited for the planner, or for a core, counts whole.
    const double period = 1000.0 / 60.0;
    std::vector<double> longest, median_frame, longest_work, idle_longest, loaded_gap;
    for (int r = 0; r < runs; ++r) {
        // The same check while two programs keep both cores busy (`yes > /dev/null`): the
        // longest gap between two frames that the frame did not sleep on purpose. The check's
        // threads run below the window's priority, so the frame should keep its time.
        platform::delete_file(platform::join_path(dir, "install.json"));
        launcher::Patcher loaded;
        prepare(loaded, dir, m);
        pid_t busy[2] = {-1, -1};
        for (pid_t& b : busy) {
            char* argv[] = {const_cast<char*>("yes"), nullptr};
            posix_spawn_file_actions_t fa;
            posix_spawn_file_actions_init(&fa);
            posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
            if (posix_spawnp(&b, "yes", &fa, nullptr, argv, environ) != 0) b = -1;
            posix_spawn_file_actions_destroy(&fa);
        }
        launcher::plan_start(loaded);
        double gap = 0, frame_start = wall_ms();
        while (loaded.state == launcher::Patch_State::Checking) {
            launcher::patcher_update(loaded);
            double now = wall_ms();
            double slept = std::max(0.0, period - (now - frame_start));   // the loop's own sleep
            if (slept > 0) std::this_thread::sleep_for(std::chrono::microseconds(int64_t(slept * 1000)));
            double start = wall_ms();
            gap = std::max(gap, start - frame_start - slept);
            frame_start = start;
        }
        for (pid_t b : busy) {
            if (b <= 0) continue;
            kill(b, SIGTERM);
            waitpid(b, nullptr, 0);
        }
        loaded_gap.push_back(gap);

        platform::delete_file(platform::join_path(dir, "install.json"));
        launcher::Patcher p;
        prepare(p, dir, m);
        launcher::plan_start(p);
        std::vector<double> frames;
        double last = wall_ms(), next_frame = last;
        double work = 0;
        while (p.state == launcher::Patch_State::Checking) {
            double w0 = wall_ms();
            launcher::patcher_update(p);
            double now = wall_ms();
            work = std::max(work, now - w0);
            if (next_frame < now - period) next_frame = now;
            next_frame += period;
            double wait = next_frame - now;
            if (wait > 0) std::this_thread::sleep_for(std::chrono::microseconds(int64_t(wait * 1000)));
            double start = wall_ms();
            frames.push_back(start - last);
            last = start;
        }
        // The frame that took the plan also asked for the file (no client here: it fails at once).
        if (!p.check.waiting.empty() || !p.check.job || p.check.job->files.front().path != m.files[250].path) {
            std::printf("missing|longest frame during a first check|the check on its thread did not single out "
                        "the damaged file\n");
            return 1;
        }
        longest.push_back(*std::max_element(frames.begin(), frames.end()));
        longest_work.push_back(work);
        // The same loop just as long with nothing to do: what the machine itself gives a frame.
        launcher::Patcher idle;
        double idle_last = wall_ms(), idle_next = idle_last, idle_end = idle_last + (frames.size() * period);
        double idle_worst = 0;
        while (idle_last < idle_end) {
            launcher::patcher_update(idle);
            double now = wall_ms();
            if (idle_next < now - period) idle_next = now;
            idle_next += period;
            if (idle_next > now) std::this_thread::sleep_for(std::chrono::microseconds(int64_t((idle_next - now) * 1000)));
            double start = wall_ms();
            idle_worst = std::max(idle_worst, start - idle_last);
            idle_last = start;
        }
        idle_longest.push_back(idle_worst);
        median_frame.push_back(median(frames));
    }
    char note[192];
    std::snprintf(note, sizeof note,
                  "a frame at 60 Hz (median frame %.1f ms; longest patcher_update %.1f ms; the longest frame of "
                  "the same loop idle as long: %.1f ms)",
                  median(median_frame), median(longest_work), median(idle_longest));
    print_row("longest frame during a first check, 2 GiB in 500 files, no record", median(longest), period, "ms", note,
              "1.5");
    print_row("  the same, longest busy gap between frames with two `yes > /dev/null` beside it", median(loaded_gap),
              period, "ms", "a frame at 60 Hz", "1.5");
    return 0;
}

// Bytes read while planning the update of a file that is unchanged since its install: its size
// and time match the record and the release changed its digest. Read from /proc/self/io (rchar:
// every byte the process read through system calls, the record included); the plan fetches
// nothing, so all of it is the folder's.
long long bytes_read() {
    FILE* f = std::fopen("/proc/self/io", "r");
    if (!f) return -1;
    char line[128];
    long long n = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "rchar: %lld", &n) == 1) break;
    std::fclose(f);
    return n;
}

int update_read(const std::string& dir) {
    backend::Release_Manifest m = generate(dir, 1, int64_t(1) << 30, 5, false);
    launcher::install_write(dir, m);
    m.version = "1.1.0";
    m.files[0].sha256 = std::string(64, 'e');  // the new release's file: another digest
    launcher::Patcher p;
    prepare(p, dir, m);
    long long before = bytes_read();
    launcher::plan(p);
    long long after = bytes_read();
    if (before < 0 || after < 0 || p.check.waiting.size() != 1) {
        std::printf("missing|old-file bytes read to plan an update of a file unchanged since install|%s\n",
                    before < 0 ? "no /proc/self/io" : "the plan did not choose the file");
        return 1;
    }
    print_row("old-file bytes the check reads to plan an update of a 1 GiB file unchanged since install", double(after - before),
              double(m.files[0].size), "bytes", "the file's size", "0.01");
    return 0;
}

int recheck(const std::string& dir, int runs) {
    backend::Release_Manifest m = generate(dir, 100000, 0, 2, true);
    launcher::install_write(dir, m);

    std::vector<std::string> ref_cmd{"find", dir, "-type", "f", "-printf", "%s %T@\\n"};
    Timing warm;
    run_tool(ref_cmd, warm);

    std::vector<double> ours_wall, ours_cpu, ref_wall, ref_cpu;
    for (int r = 0; r < runs; ++r) {
        launcher::Patcher p;
        prepare(p, dir, m);
        double w0 = wall_ms(), c0 = cpu_ms();
        launcher::plan(p);
        ours_wall.push_back(wall_ms() - w0);
        ours_cpu.push_back(cpu_ms() - c0);
        if (p.state != launcher::Patch_State::Ready || !p.check.waiting.empty()) {
            std::fprintf(stderr, "patcher_bench: the re-check did not find the install current\n");
            return 1;
        }
        Timing t;
        if (!run_tool(ref_cmd, t)) {
            std::printf("missing|re-check, 100,000 files, matching record|find failed\n");
            return 1;
        }
        ref_wall.push_back(t.wall);
        ref_cpu.push_back(t.cpu);
    }
    print_row("re-check, 100,000 files, matching record (CPU)", median(ours_cpu), median(ref_cpu), "ms",
              "find -printf '%s %T@' (CPU)", "2");
    print_row("  the same, wall time", median(ours_wall), median(ref_wall), "ms", "find -printf (wall)", "-");
    return 0;
}

long rss_kib() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld", &kib) == 1) break;
    std::fclose(f);
    return kib;
}

int install_run(const std::string& url, const std::string& channel, const std::string& dir) {
    launcher::Patcher p;
    launcher::patcher_init(p, dir, channel, url);
    long idle = rss_kib();
    double w0 = wall_ms(), c0 = cpu_ms();
    launcher::patcher_check(p, false);
    // Paced like the window's frame loop: one patcher_update per 1/60 s slot, sleeping, never
    // catching up after a long frame.
    const double period = 1000.0 / 60.0;
    double next_frame = w0, busy = 0, longest = 0;
    long frames = 0;
    std::vector<double> frame_ms;
    int64_t planning_read = 0, connections = 0;  // of the job, taken while it runs
    double job_from = -1, job_to = -1;            // when a job was first and last seen
    while (p.state == launcher::Patch_State::Checking || p.state == launcher::Patch_State::Downloading) {
        double f0 = wall_ms();
        launcher::patcher_update(p);
        if (p.check.job) {
            if (job_from < 0) job_from = wall_ms();  // the frame that planned and started it has ended
            job_to = wall_ms();
            planning_read = std::max<int64_t>(planning_read, p.check.job->old_read_bytes.load());
            connections = std::max<int64_t>(connections, p.check.job->fetcher.connections.load());
        }
        double now = wall_ms();
        busy += now - f0;
        longest = std::max(longest, now - f0);
        frame_ms.push_back(now - f0);
        ++frames;
        if (next_frame < now - period) next_frame = now;
        next_frame += period;
        double wait = next_frame - now;
        if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(int(wait)));
    }
    double wall = wall_ms() - w0, cpu = cpu_ms() - c0;
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    bool ok = p.state == launcher::Patch_State::Ready;
    if (!ok) std::fprintf(stderr, "patcher_bench: install failed: %s\n", p.failure.c_str());
    launcher::patcher_destroy(p);
    std::printf("%.1f %.1f %ld %ld\n", wall, cpu, idle, u.ru_maxrss);
    // Where the wall time went: the frames in which the patcher worked (hashing and writing the
    // blobs), and the longest of them, which is how long the window would have stalled.
    std::fprintf(stderr, "frames %ld, patcher_update busy %.0f ms, longest frame %.1f ms, median frame %.2f ms\n",
                 frames, busy, longest, median(frame_ms));
    // What the process wrote to the disk (page cache included), and the job's planning reads
    // of the old file and connections opened.
    long long written = -1;
    if (FILE* io = std::fopen("/proc/self/io", "r")) {
        char line[128];
        while (std::fgets(line, sizeof line, io))
            if (std::sscanf(line, "write_bytes: %lld", &written) == 1) break;
        std::fclose(io);
    }
    std::fprintf(stderr, "write_bytes %lld, job planning read %lld bytes, job connections %lld\n", written,
                 (long long)planning_read, (long long)connections);
    std::fprintf(stderr, "job %.0f ms\n", job_from < 0 ? 0.0 : job_to - job_from);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 5 && a[0] == "gen") {
        generate(a[1], std::stoul(a[2]), std::stoll(a[3]), std::stoull(a[4]), false);
        return 0;
    }
    if (a.size() == 3 && a[0] == "first-check") return first_check(a[1], std::stoi(a[2]));
    if (a.size() == 3 && a[0] == "recheck") return recheck(a[1], std::stoi(a[2]));
    if (a.size() == 2 && a[0] == "update-read") return update_read(a[1]);
    if (a.size() == 4 && a[0] == "install") return install_run(a[1], a[2], a[3]);
    if (a.size() == 5 && a[0] == "install") {
        delivery::set_download_limit(std::stoll(a[4]));
        return install_run(a[1], a[2], a[3]);
    }
    std::fprintf(stderr, "usage: see the top of bench/patcher_bench.cpp\n");
    return 2;
}
