// What a release's chunks cost at each zstd level, and what deltas of the new chunks against the
// old file's bytes around the same place would cost, measured on real trees.
//
//   chunk_levels NEW_TREE [OLD_TREE [EVERY]]
//
// Cuts every file of NEW_TREE as `tarnwick-publish --chunks 64` does and compresses each chunk
// alone at levels 3, 9, 15 and 19 on two threads: "all" is every distinct chunk (what a publish
// stores and the time it spends), "new" the chunks no file of OLD_TREE has (what an update
// fetches). With OLD_TREE, each new chunk of a file that OLD_TREE has under the same path is also
// compressed with the old file's bytes around the same relative place as a raw-content prefix
// (ZSTD_CCtx_refPrefix; the window covers prefix and chunk, so long-distance matching has nothing
// more to find), and the smaller of delta and chunk counted. With EVERY, only every EVERY-th
// distinct chunk is compressed (a sample, for a busy machine). Prints one line per row.
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "delivery/chunker.h"
#include "platform/files.h"

namespace fs = std::filesystem;

namespace {

struct Chunk {
    std::string path;   // relative, in the new tree
    uint64_t offset = 0;
    std::string bytes;
    bool fresh = false;  // no file of the old tree has it
};

std::vector<std::string> files_of(const fs::path& root) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file(/* follows */) && !e.is_symlink()) out.push_back(fs::relative(e.path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

size_t compress(ZSTD_CCtx* c, const std::string& bytes, int level, std::string_view prefix) {
    std::string out(ZSTD_compressBound(bytes.size()), '\0');
    ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
    if (!prefix.empty()) {
        int log = 10;
        while ((size_t(1) << log) < prefix.size() + bytes.size() && log < 27) ++log;
        ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, log);
        ZSTD_CCtx_refPrefix(c, prefix.data(), prefix.size());
    }
    size_t n = ZSTD_compress2(c, out.data(), out.size(), bytes.data(), bytes.size());
    if (ZSTD_isError(n)) return bytes.size();
    return std::min(n, bytes.size());
}

// Runs work(i) for i < n on two threads; returns the seconds it took.
template <class F>
double on_two_threads(size_t n, F&& work) {
    auto t0 = std::chrono::steady_clock::now();
    std::atomic<size_t> next{0};
    auto loop = [&] {
        ZSTD_CCtx* c = ZSTD_createCCtx();
        for (size_t i = next++; i < n; i = next++) work(c, i);
        ZSTD_freeCCtx(c);
    };
    std::thread helper(loop);
    loop();
    helper.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: chunk_levels NEW_TREE [OLD_TREE]\n");
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const fs::path new_root = argv[1], old_root = argc > 2 ? argv[2] : "";
    const size_t every = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    delivery::Chunk_Params params;  // 16 / 64 / 256 KiB, as --chunks 64
    std::set<delivery::Digest> old_digests;
    if (!old_root.empty())
        for (const std::string& f : files_of(old_root))
            delivery::cut_file((old_root / f).string(), params, [&](uint64_t, std::string_view, const delivery::Digest& d) {
                old_digests.insert(d);
                return true;
            });
    std::vector<Chunk> chunks;
    std::set<delivery::Digest> seen;
    uint64_t raw_new = 0, raw_all = 0;
    for (const std::string& f : files_of(new_root))
        delivery::cut_file((new_root / f).string(), params, [&](uint64_t at, std::string_view b, const delivery::Digest& d) {
            if (!seen.insert(d).second || (seen.size() - 1) % every != 0) return true;
            bool fresh = !old_digests.count(d);
            chunks.push_back({f, at, std::string(b), fresh});
            raw_all += b.size();
            if (fresh) raw_new += b.size();
            return true;
        });
    std::printf("chunks: %zu distinct, %.1f MB; new against the old tree: %.1f MB\n", chunks.size(), raw_all / 1e6,
                raw_new / 1e6);

    const int levels[] = {3, 9, 15, 19};
    for (int level : levels) {
        std::vector<size_t> sizes(chunks.size());
        double s = on_two_threads(chunks.size(), [&](ZSTD_CCtx* c, size_t i) { sizes[i] = compress(c, chunks[i].bytes, level, {}); });
        uint64_t all = 0, fresh = 0;
        for (size_t i = 0; i < chunks.size(); ++i) {
            all += sizes[i];
            if (chunks[i].fresh) fresh += sizes[i];
        }
        std::printf("level|%d|all %.2f MB|new %.2f MB|%.1f s\n", level, all / 1e6, fresh / 1e6, s);
    }
    if (old_root.empty()) return 0;

    // Deltas: the old file's bytes around the chunk's place, scaled by the two files' sizes.
    for (uint64_t margin : {uint64_t(256) << 10, uint64_t(1) << 20}) {
        for (int level : {3, 19}) {
            std::vector<size_t> plain(chunks.size()), delta(chunks.size());
            std::mutex io;
            double s = on_two_threads(chunks.size(), [&](ZSTD_CCtx* c, size_t i) {
                const Chunk& k = chunks[i];
                if (!k.fresh) return;
                plain[i] = compress(c, k.bytes, level, {});
                delta[i] = plain[i];
                platform::File_Status old_st, new_st;
                std::string old_path = (old_root / k.path).string();
                if (!platform::file_status(old_path, old_st) || !platform::file_status((new_root / k.path).string(), new_st) ||
                    old_st.size == 0)
                    return;
                double at = double(k.offset) * double(old_st.size) / double(std::max<int64_t>(new_st.size, 1));
                uint64_t from = uint64_t(std::max(0.0, at - double(margin)));
                uint64_t to = std::min<uint64_t>(uint64_t(old_st.size), uint64_t(at) + k.bytes.size() + margin);
                std::string region(to - from, '\0');
                platform::File_Handle f;
                if (!platform::open_read(old_path, f)) return;
                bool ok = platform::read_at(f, region.data(), region.size(), from);
                platform::close_file(f);
                if (ok) delta[i] = std::min(plain[i], compress(c, k.bytes, level, region));
            });
            uint64_t p = 0, d = 0;
            for (size_t i = 0; i < chunks.size(); ++i) {
                p += plain[i];
                d += delta[i];
            }
            std::printf("delta|margin %llu KiB|level %d|chunks %.2f MB|deltas %.2f MB|%.1f s\n",
                        (unsigned long long)(margin >> 10), level, p / 1e6, d / 1e6, s);
        }
    }
    return 0;
}
