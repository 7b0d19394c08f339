#include "install/survey.h"

#include "delivery/chunker.h"
#include "delivery/in_place.h"
#include "install/scratch.h"
#include "platform/system.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace install {

namespace {

// SHA-256 of one file as hexadecimal text, its bytes counted into `progress` as they are hashed.
// False when it cannot be read whole, or when the work is asked to stop.
bool hash_file_counted(const std::string& path, std::string& out, Hash_Progress& progress) {
    out.clear();
    delivery::Sha256 hash;
    bool read = platform::read_file_chunks(path, [&](std::string_view piece) {
        if (progress.stop) return false;
        hash.add(piece);
        progress.done += int64_t(piece.size());
        return true;
    });
    delivery::Digest d{};
    if (!read || !hash.finish(d)) return false;
    out = delivery::hex(d);
    return true;
}

}  // namespace

void add_size(int64_t& sum, int64_t size) {
    if (size <= 0) return;
    sum = size > INT64_MAX - sum ? INT64_MAX : sum + size;
}

std::vector<std::string> hash_files(const std::vector<std::string>& paths, unsigned threads, Hash_Progress* progress) {
    std::vector<std::string> digests(paths.size());
    if (paths.empty()) return digests;
    if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    threads = unsigned(std::min<size_t>(threads, paths.size()));
    Hash_Progress uncounted;
    Hash_Progress& counted = progress ? *progress : uncounted;

    // Each worker streams whole files taken from a shared index, so a few large files and many
    // small ones spread over the cores alike; each writes only its own slots of `digests`.
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < paths.size(); i = next++)
            if (!hash_file_counted(paths[i], digests[i], counted)) digests[i].clear();
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back([&work] {
                platform::lower_thread_priority();
                work();
            });
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones we have (and this one) do the rest
        }
    }
    work();
    for (std::thread& t : helpers) t.join();
    return digests;
}

Survey survey(const std::string& dir, const launcher::Install_Record& record,
              const std::vector<backend::Release_File>& files, Hash_Progress& progress, bool rehash) {
    Survey out;
    std::unordered_map<std::string_view, const launcher::Installed_File*> recorded;
    for (const launcher::Installed_File& f : record.files) recorded[f.path] = &f;  // a later duplicate wins

    out.needed.assign(files.size(), 0);
    out.status.resize(files.size());
    std::vector<std::string> to_hash;
    std::vector<size_t> hashed_index;
    int64_t to_hash_bytes = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const backend::Release_File& f = files[i];
        std::string full = platform::join_path(dir, f.path);
        platform::File_Status& st = out.status[i];
        if (!platform::file_status(full, st)) {
            out.needed[i] = 1;
            continue;
        }
        auto it = recorded.find(f.path);
        if (!rehash && it != recorded.end() && st.regular && it->second->size == st.size &&
            it->second->mtime == st.mtime_ns) {
            // Size and time as recorded: the recorded digest is the file's. It vouches for a
            // current file, and proves one that the release changed old: neither is read.
            if (it->second->sha256 != f.sha256) out.needed[i] = 1;
            continue;
        }
        // A file changed since it was recorded may be an update in place that a kill stopped:
        // its journals are cleared up, or it goes on in the job (or is undone first).
        delivery::Undo undo;
        if (delivery::in_place_recover(full, delivery::kept_cut_path(dir, f.path), f.chunk_index, uint64_t(f.size),
                                       undo) != delivery::Leftover::None) {
            out.needed[i] = 1;
            continue;
        }
        if (platform::file_status(full, st) && st.size != f.size) {
            out.needed[i] = 1;
            continue;
        }
        to_hash.push_back(std::move(full));
        hashed_index.push_back(i);
        add_size(to_hash_bytes, st.size);
    }

    // Performance: a first check over a large install hashes every file; spreading the files over
    // the cores cuts the wait to a fraction, at the cost of a few short-lived threads.
    progress.total = to_hash_bytes;
    std::vector<std::string> digests = hash_files(to_hash, 0, &progress);
    for (size_t k = 0; k < hashed_index.size(); ++k) {
        const backend::Release_File& f = files[hashed_index[k]];
        if (digests[k].empty() || digests[k] != f.sha256) {
            out.needed[hashed_index[k]] = 1;
            // Neither release's bytes: a kept cut that still vouches by size and time would have
            // the update copy the damaged chunks, so the file is cut again instead.
            auto it = recorded.find(f.path);
            if (it == recorded.end() || digests[k] != it->second->sha256)
                platform::delete_file(delivery::kept_cut_path(dir, f.path));
            continue;
        }
        // Current, unrecorded: a kill between putting its part in place and removing the part's
        // journal leaves the journal behind, which nothing would look at again.
        platform::delete_file(delivery::journal_path(to_hash[k]));
    }
    return out;
}

}  // namespace install
