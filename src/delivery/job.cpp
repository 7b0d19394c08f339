#include "delivery/job.h"

#include "delivery/index_fetch.h"
#include "delivery/part_file.h"
#include "platform/files.h"

#include <cerrno>
#include <system_error>

namespace delivery {

namespace {

void set_failure(Job& j, std::string message) {
    std::lock_guard<std::mutex> hold(j.lock);
    if (j.failure.empty()) j.failure = std::move(message);
}

std::string cannot_write(const backend::Release_File& f, const std::string& err) {
    return "Couldn't write " + f.path + " (" + err + "). Is the game running?";
}

// The part is whole: checks the file's digest and hands it to the main thread. False after
// set_failure.
bool finish_file(Job& j, std::vector<Part_File>& parts, size_t i) {
    Part_File& part = parts[i];
    const backend::Release_File& f = j.files[i];
    if (!part_sync(part)) {
        set_failure(j, cannot_write(f, platform::error_text(errno)));
        return false;
    }
    part_close(part);
    std::string digest;
    if (!backend::sha256_file_hex(part_path(part.target), digest) || digest != f.sha256) {
        platform::delete_file(part_path(part.target));
        platform::delete_file(journal_path(part.target));
        set_failure(j, damaged(f));
        return false;
    }
    std::lock_guard<std::mutex> hold(j.lock);
    j.ready.push_back(i);
    return true;
}

}  // namespace

std::string cannot_download(const backend::Release_File& f) { return "Couldn't download " + f.path + "."; }
std::string damaged(const backend::Release_File& f) { return f.path + " arrived damaged: try again."; }

void job_main(Job& j) {
    std::vector<Part_File> parts(j.files.size());
    auto end = [&] {
        for (Part_File& p : parts) part_close(p);
        std::lock_guard<std::mutex> hold(j.lock);
        j.finished = true;
    };
    std::string failure;
    if (!fetch_indexes(j, parts, failure)) {
        if (!failure.empty()) set_failure(j, failure);
        return end();
    }

    // Each file's plan: what the part and the old file already hold counts as done.
    std::vector<std::vector<uint32_t>> missing(parts.size());
    std::vector<size_t> left(parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        if (j.fetcher.cancelled.load()) return end();
        std::string err;
        if (!part_open(parts[i], err)) {
            set_failure(j, cannot_write(j.files[i], err));
            return end();
        }
        j.done_bytes += int64_t(parts[i].have_bytes);
        j.reused_bytes += int64_t(parts[i].have_bytes);
        missing[i] = part_missing(parts[i]);
        left[i] = missing[i].size();
        if (left[i] == 0 && !finish_file(j, parts, i)) return end();
    }

    // Every missing chunk of every file, in file order, `parallel` at a time. The tag holds the
    // file's number above the chunk's.
    size_t file = 0, at = 0;
    auto hand_out = [&](Fetch& out) {
        while (file < parts.size() && at == missing[file].size()) {
            ++file;
            at = 0;
        }
        if (file == parts.size()) return false;
        uint32_t n = missing[file][at++];
        const Chunk_Entry& c = parts[file].index.chunks[n];
        out = Fetch{"/files/chunks/" + hex(c.digest), c.stored, (size_t(file) << 32) | n};
        return true;
    };
    std::string bytes;
    auto on_done = [&](Fetch_Result& r) {
        size_t i = r.tag >> 32;
        uint32_t n = uint32_t(r.tag & 0xFFFFFFFFu);
        const backend::Release_File& f = j.files[i];
        Part_File& part = parts[i];
        const Chunk_Entry& c = part.index.chunks[n];
        j.fetched_bytes += int64_t(r.body.size());
        if (r.status != 200) {
            set_failure(j, r.err == answer_too_long ? damaged(f) : cannot_download(f));
            return false;
        }
        if (r.body.size() != c.stored || !restore_chunk(r.body, c.size, bytes) || sha256(bytes) != c.digest) {
            set_failure(j, damaged(f));
            return false;
        }
        uint64_t before = part.have_bytes;
        std::string err;
        if (!part_write(part, c.digest, bytes, err)) {
            set_failure(j, cannot_write(f, err));
            return false;
        }
        j.done_bytes += int64_t(part.have_bytes - before);
        return --left[i] > 0 || finish_file(j, parts, i);
    };
    if (!fetcher_run(j.fetcher, hand_out, on_done) && !j.fetcher.cancelled.load())
        set_failure(j, "Couldn't reach the update server.");
    end();
}

bool job_start(Job& j) {
    try {
        j.thread = std::thread([&j] { job_main(j); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void job_stop(Job& j) {
    fetcher_cancel(j.fetcher);
    if (j.thread.joinable()) j.thread.join();
}

bool job_poll(Job& j, std::vector<size_t>& ready, std::string& failure) {
    std::lock_guard<std::mutex> hold(j.lock);
    ready.insert(ready.end(), j.ready.begin(), j.ready.end());
    j.ready.clear();
    failure = j.failure;
    return j.finished;
}

}  // namespace delivery
