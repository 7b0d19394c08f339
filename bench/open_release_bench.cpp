// Times open_release on a 100,000-file manifest against SHA-512 over the same manifest bytes,
// which Ed25519 verification must do anyway: the floor no verifier can go below. Prints both
// and their ratio; also times `openssl dgst -sha512` on the bytes, start-up subtracted.
//
//   bench/open_release.sh            (builds this against the library and runs it)
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "backend/base64.h"
#include "backend/release.h"
#include "platform/files.h"

using namespace backend;
using clock_type = std::chrono::steady_clock;

// CPU time of this thread: the machines that run this are often busy with builds, and wall time
// would measure them too.
double cpu_ms() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

template <class F>
double best_ms(int runs, F&& f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        double t0 = cpu_ms();
        f();
        best = std::min(best, cpu_ms() - t0);
    }
    return best;
}

double wall_best_ms(int runs, const std::string& command) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        auto t0 = clock_type::now();
        if (std::system(command.c_str()) != 0) return -1;
        best = std::min(best, std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
    }
    return best;
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
    double open_ms = 1e300;
    for (int i = 0; i < runs; ++i) {
        Release_Manifest r;
        double t0 = cpu_ms();
        open_release(body, r, trusted);
        open_ms = std::min(open_ms, cpu_ms() - t0);
    }
    unsigned char digest[64];
    double sha_ms = best_ms(runs, [&] {
        unsigned int n;
        EVP_Digest(manifest.data(), manifest.size(), digest, &n, EVP_sha512(), nullptr);
    });

    // The command-line tool over the same bytes, its start-up measured on an empty file.
    const std::string file = "/tmp/tarnwick-bench-manifest.json", empty = "/tmp/tarnwick-bench-empty";
    platform::write_file(file, manifest);
    platform::write_file(empty, "");
    double cli_ms = wall_best_ms(5, "openssl dgst -sha512 " + file + " > /dev/null");
    double cli_start_ms = wall_best_ms(5, "openssl dgst -sha512 " + empty + " > /dev/null");
    platform::delete_file(file);
    platform::delete_file(empty);

    std::printf("manifest: %zu files, %.1f MB (envelope %.1f MB)\n", m.files.size(), manifest.size() / 1e6,
                body.size() / 1e6);
    std::printf("open_release                 %8.2f ms CPU (best of %d)\n", open_ms, runs);
    std::printf("SHA-512 of the manifest      %8.2f ms CPU (in process, best of %d)\n", sha_ms, runs);
    std::printf("openssl dgst -sha512         %8.2f ms wall (%.2f ms without start-up)\n", cli_ms, cli_ms - cli_start_ms);
    std::printf("ratio open_release / SHA-512 %8.2f (in process), %.2f (command line)\n", open_ms / sha_ms,
                open_ms / (cli_ms - cli_start_ms));
    EVP_PKEY_free(key);
    return 0;
}
