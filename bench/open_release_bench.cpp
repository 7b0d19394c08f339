// Times open_release on a 100,000-file manifest against SHA-512 over the same manifest bytes,
// which Ed25519 verification must do anyway: the floor no verifier can go below. Prints both
// and their ratio, and the same against `openssl dgst -sha512` run on the bytes (its CPU time,
// start-up included, as a player's machine would spend it). Medians of 15 runs; the "row|"
// lines are what scripts/bench gathers into its table.
//
//   bench/open_release.sh            (builds this against the library and runs it)
//   scripts/bench                    (the whole suite)
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "backend/base64.h"
#include "backend/release.h"
#include "platform/files.h"

extern char** environ;

using namespace backend;
using clock_type = std::chrono::steady_clock;

// CPU time of this thread: the machines that run this are often busy with builds, and wall time
// would measure them too.
double cpu_ms() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

template <class F>
double median_ms(int runs, F&& f) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        double t0 = cpu_ms();
        f();
        times.push_back(cpu_ms() - t0);
    }
    return median(times);
}

double tv_ms(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

// `openssl dgst -sha512 file`, output discarded: the median of the child's CPU time (user and
// system) and of its wall time, or -1 when it fails.
void tool_ms(int runs, const std::string& file, double& cpu, double& wall) {
    std::vector<double> cpus, walls;
    for (int i = 0; i < runs; ++i) {
        const char* argv[] = {"openssl", "dgst", "-sha512", file.c_str(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        auto t0 = clock_type::now();
        pid_t pid;
        int e = posix_spawnp(&pid, "openssl", &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        int status = 0;
        rusage u{};
        if (e != 0 || wait4(pid, &status, 0, &u) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            cpu = wall = -1;
            return;
        }
        walls.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
        cpus.push_back(tv_ms(u.ru_utime) + tv_ms(u.ru_stime));
    }
    cpu = median(cpus);
    wall = median(walls);
}

int main() {
    Release_Manifest m{"stable", "1.0.0", "2026-12-07T20:15:00Z", {}};
    for (int i = 0; i < 100000; ++i) {
        char path[96];
        std::snprintf(path, sizeof path, "data/pack%03d/assets/texture_%06d.bin", i % 500, i);
        m.files.push_back({path, int64_t(i) * 4099, sha256_hex(path)});
    }
    const std::string manifest = manifest_encode(m);

    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    unsigned char raw[32];
    size_t raw_n = sizeof raw;
    EVP_PKEY_get_raw_public_key(key, raw, &raw_n);
    std::string sig(64, '\0');
    size_t sig_n = 64;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key);
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &sig_n,
                   reinterpret_cast<const unsigned char*>(manifest.data()), manifest.size());
    EVP_MD_CTX_free(ctx);
    const std::string trusted = base64_encode(std::string_view(reinterpret_cast<char*>(raw), 32));
    const std::string body = env_encode(Env{"bench", base64_encode(manifest), base64_encode(sig)});

    Release_Manifest out;
    if (open_release(body, out, trusted) != Release_Error::None || out.files.size() != m.files.size()) {
        std::fprintf(stderr, "open_release refused the benchmark manifest\n");
        return 1;
    }
    const int runs = 15;
    // The result is freed outside the measured time: a caller keeps it.
    std::vector<double> opens;
    for (int i = 0; i < runs; ++i) {
        Release_Manifest r;
        double t0 = cpu_ms();
        open_release(body, r, trusted);
        opens.push_back(cpu_ms() - t0);
    }
    double open_ms = median(opens);
    unsigned char digest[64];
    double sha_ms = median_ms(runs, [&] {
        unsigned int n;
        EVP_Digest(manifest.data(), manifest.size(), digest, &n, EVP_sha512(), nullptr);
    });

    // The command-line tool over the same bytes.
    char file[] = "/tmp/tarnwick-bench-manifest-XXXXXX";
    int fd = mkstemp(file);
    if (fd < 0) return 1;
    close(fd);
    platform::write_file(file, manifest);
    double cli_cpu = 0, cli_wall = 0;
    tool_ms(runs, file, cli_cpu, cli_wall);
    platform::delete_file(file);
    if (cli_cpu <= 0) {
        std::printf("missing|open_release, 100,000-file manifest|openssl dgst -sha512 failed\n");
        return 1;
    }

    std::printf("manifest: %zu files, %.1f MB (envelope %.1f MB)\n", m.files.size(), manifest.size() / 1e6,
                body.size() / 1e6);
    std::printf("open_release                 %8.2f ms CPU (median of %d)\n", open_ms, runs);
    std::printf("SHA-512 of the manifest      %8.2f ms CPU (in process)\n", sha_ms);
    std::printf("openssl dgst -sha512         %8.2f ms CPU, %.2f ms wall\n", cli_cpu, cli_wall);
    std::printf("row|open_release, 100,000-file manifest (CPU)|%.1f|%.1f|ms|%.2f|openssl dgst -sha512 (CPU)|4\n",
                open_ms, cli_cpu, open_ms / cli_cpu);
    std::printf("row|  the same against SHA-512 in process|%.1f|%.1f|ms|%.2f|EVP sha512, no start-up|-\n",
                open_ms, sha_ms, open_ms / sha_ms);
    EVP_PKEY_free(key);
    return 0;
}
