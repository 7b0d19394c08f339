#include "delivery/job.h"

#include "delivery/part_file.h"
#include "platform/files.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <system_error>

namespace delivery {

namespace {

void set_failure(Job& j, std::string message) {
    std::lock_guard<std::mutex> hold(j.lock);
    if (j.failure.empty()) j.failure = std::move(message);
}

std::string cannot_download(const backend::Release_File& f) { return "Couldn't download " + f.path + "."; }
std::string damaged(const backend::Release_File& f) { return f.path + " arrived damaged: try again."; }
std::string cannot_write(const backend::Release_File& f, const std::string& err) {
    return "Couldn't write " + f.path + " (" + err + "). Is the game running?";
}

// Fetches and checks every file's index into parts[i].index. False after set_failure (or when
// cancelled).
bool fetch_indexes(Job& j, std::vector<Part_File>& parts) {
    size_t next = 0;
    auto hand_out = [&](Fetch& out) {
        if (next == j.files.size()) return false;
        const backend::Release_File& f = j.files[next];
        out = Fetch{"/files/indexes/" + f.chunk_index, index_max_bytes(uint64_t(f.size)), next};
        ++next;
        return true;
    };
    auto on_done = [&](Fetch_Result& r) {
        const backend::Release_File& f = j.files[r.tag];
        j.fetched_bytes += int64_t(r.body.size());
        if (r.status != 200) {
            set_failure(j, r.err == answer_too_long ? damaged(f) : cannot_download(f));
            return false;
        }
        Part_File& part = parts[r.tag];
        std::string why;
        if (backend::sha256_hex(r.body) != f.chunk_index || !index_decode(r.body, part.index, why) ||
            part.index.file_size != uint64_t(f.size)) {
            set_failure(j, damaged(f));
            return false;
        }
        part.target = platform::join_path(j.dir, f.path);
        part.index_sha256 = f.chunk_index;
        return true;
    };
    if (fetcher_run(j.fetcher, hand_out, on_done)) return true;
    if (!j.fetcher.cancelled.load()) set_failure(j, "Couldn't reach the update server.");
    return false;
}

// The threads of one job: the job's own thread fetches; a few checkers restore, check and
// write the chunks that arrived; a finisher checks each whole part against the manifest and
// flushes it. So the network, the processor and the disk all work at once, and memory stays
// flat: at most `parallel` answers in flight and `queue_limit` waiting for a checker.
struct Arrival {
    size_t file = 0;
    uint32_t chunk = 0;
    std::string body;
};

struct Work {
    Job& j;
    std::vector<Part_File> parts;
    std::vector<size_t> left;                    // per file: chunks still to write
    std::unique_ptr<std::mutex[]> file_locks;    // per file: its part's bookkeeping and `left`

    std::mutex lock;                  // guards the queues and the flags below
    std::condition_variable wake;     // work for a checker or the finisher, or an end
    std::condition_variable room;     // room in `arrivals`
    std::deque<Arrival> arrivals;     // for the checkers
    std::deque<size_t> whole;         // files for the finisher
    bool no_more_arrivals = false;
    bool no_more_whole = false;       // set once the checkers have ended
    std::vector<std::thread> checkers;
    std::thread finisher;

    explicit Work(Job& job) : j(job), parts(job.files.size()), left(job.files.size()),
                              file_locks(new std::mutex[job.files.size()]) {}
};

constexpr size_t queue_limit = 16;

// The part is whole: checks the file's digest, flushes it and hands it to the main thread.
// False after set_failure.
bool finish_file(Work& w, size_t i) {
    Part_File& part = w.parts[i];
    const backend::Release_File& f = w.j.files[i];
    part_start_flush(part);  // the disk writes while the file is read back for its digest
    std::string digest;
    bool whole = backend::sha256_file_hex(part_path(part.target), digest) && digest == f.sha256;
    if (whole && !part_sync(part)) {
        set_failure(w.j, cannot_write(f, platform::error_text(errno)));
        return false;
    }
    part_close(part);
    if (!whole) {
        platform::delete_file(part_path(part.target));
        platform::delete_file(journal_path(part.target));
        set_failure(w.j, damaged(f));
        return false;
    }
    std::lock_guard<std::mutex> hold(w.j.lock);
    w.j.ready.push_back(i);
    return true;
}

// Queues a whole part for the finisher, or finishes it here when there is none.
bool hand_over(Work& w, size_t i) {
    if (!w.finisher.joinable()) return finish_file(w, i);
    {
        std::lock_guard<std::mutex> hold(w.lock);
        w.whole.push_back(i);
    }
    w.wake.notify_all();
    return true;
}

// Restores, checks and writes one chunk that arrived. False after set_failure.
bool check_chunk(Work& w, const Arrival& a, std::string& bytes) {
    const backend::Release_File& f = w.j.files[a.file];
    Part_File& part = w.parts[a.file];
    const Chunk_Entry& c = part.index.chunks[a.chunk];
    // A chunk stored as it is needs no copy: its answer is its bytes.
    bool plain = a.body.size() == c.size;
    if (a.body.size() != c.stored || (!plain && !restore_chunk(a.body, c.size, bytes))) {
        set_failure(w.j, damaged(f));
        return false;
    }
    std::string_view chunk = plain ? std::string_view(a.body) : std::string_view(bytes);
    if (sha256(chunk) != c.digest) {
        set_failure(w.j, damaged(f));
        return false;
    }
    bool now_whole;
    {
        std::lock_guard<std::mutex> hold(w.file_locks[a.file]);
        uint64_t before = part.have_bytes;
        std::string err;
        if (!part_write(part, c.digest, chunk, err)) {
            set_failure(w.j, cannot_write(f, err));
            return false;
        }
        w.j.done_bytes += int64_t(part.have_bytes - before);
        now_whole = --w.left[a.file] == 0;
    }
    return !now_whole || hand_over(w, a.file);
}

// A checker's or the finisher's next piece of work; false once `ended` with nothing left.
template <typename T>
bool take(Work& w, std::deque<T>& from, const bool& ended, T& out) {
    std::unique_lock<std::mutex> hold(w.lock);
    w.wake.wait(hold, [&] { return ended || !from.empty(); });
    if (from.empty()) return false;
    out = std::move(from.front());
    from.pop_front();
    w.room.notify_one();
    return true;
}

void checker_main(Work& w) {
    Arrival a;
    std::string bytes;
    // What arrived before a stop is still written: it would cost a second fetch otherwise.
    while (take(w, w.arrivals, w.no_more_arrivals, a))
        if (!check_chunk(w, a, bytes)) fetcher_cancel(w.j.fetcher);
}

void finisher_main(Work& w) {
    size_t i;
    while (take(w, w.whole, w.no_more_whole, i)) {
        // Once stopped, the parts left wait for the next run, which finds them whole.
        if (w.j.fetcher.cancelled.load()) continue;
        if (!finish_file(w, i)) fetcher_cancel(w.j.fetcher);
    }
}

void start_threads(Work& w) {
    unsigned cores = std::thread::hardware_concurrency();
    unsigned count = cores < 2 ? 1 : cores > 4 ? 4 : cores;
    try {
        w.finisher = std::thread([&w] { finisher_main(w); });
        for (unsigned t = 0; t < count; ++t) w.checkers.emplace_back([&w] { checker_main(w); });
    } catch (const std::system_error&) {
        // fewer threads: with no checker the fetch thread checks, with no finisher the checkers finish
    }
}

// Lets the checkers empty their queue, then the finisher, which
// may get work from the checkers until they end.
void stop_threads(Work& w) {
    auto end = [&w](bool& flag) {
        {
            std::lock_guard<std::mutex> hold(w.lock);
            flag = true;
        }
        w.wake.notify_all();
    };
    end(w.no_more_arrivals);
    for (std::thread& t : w.checkers) t.join();
    end(w.no_more_whole);
    if (w.finisher.joinable()) w.finisher.join();
}

// Passes an answer to a checker, waiting while the queue is full; checks it here without one.
bool pass_on(Work& w, Arrival a) {
    if (w.checkers.empty()) {
        std::string bytes;
        return check_chunk(w, a, bytes);
    }
    {
        std::unique_lock<std::mutex> hold(w.lock);
        w.room.wait(hold, [&] { return w.arrivals.size() < queue_limit || w.j.fetcher.cancelled.load(); });
        w.arrivals.push_back(std::move(a));
    }
    w.wake.notify_all();
    return !w.j.fetcher.cancelled.load();
}

}  // namespace

void job_main(Job& j) {
    Work w(j);
    auto end = [&] {
        stop_threads(w);
        for (Part_File& p : w.parts) part_close(p);
        std::lock_guard<std::mutex> hold(j.lock);
        j.finished = true;
    };
    if (!fetch_indexes(j, w.parts)) return end();
    start_threads(w);

    // Each file's plan: what the part and the old file already hold counts as done.
    std::vector<std::vector<uint32_t>> missing(w.parts.size());
    for (size_t i = 0; i < w.parts.size(); ++i) {
        if (j.fetcher.cancelled.load()) return end();
        std::string err;
        if (!part_open(w.parts[i], err)) {
            set_failure(j, cannot_write(j.files[i], err));
            return end();
        }
        j.done_bytes += int64_t(w.parts[i].have_bytes);
        j.reused_bytes += int64_t(w.parts[i].have_bytes);
        missing[i] = part_missing(w.parts[i]);
        w.left[i] = missing[i].size();
        if (w.left[i] == 0 && !hand_over(w, i)) return end();
    }

    // Every missing chunk of every file, in file order, `parallel` at a time. The tag holds the
    // file's number above the chunk's.
    size_t file = 0, at = 0;
    auto hand_out = [&](Fetch& out) {
        while (file < w.parts.size() && at == missing[file].size()) {
            ++file;
            at = 0;
        }
        if (file == w.parts.size()) return false;
        uint32_t n = missing[file][at++];
        const Chunk_Entry& c = w.parts[file].index.chunks[n];
        out = Fetch{"/files/chunks/" + hex(c.digest), c.stored, (size_t(file) << 32) | n};
        return true;
    };
    auto on_done = [&](Fetch_Result& r) {
        size_t i = r.tag >> 32;
        j.fetched_bytes += int64_t(r.body.size());
        if (r.status != 200) {
            set_failure(j, r.err == answer_too_long ? damaged(j.files[i]) : cannot_download(j.files[i]));
            return false;
        }
        return pass_on(w, Arrival{i, uint32_t(r.tag & 0xFFFFFFFFu), std::move(r.body)});
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
