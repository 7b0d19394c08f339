#include "delivery/job.h"
#include "lang/lang.h"

#include "launcher/words.h"

#include "delivery/delta_fetch.h"
#include "delivery/in_place.h"
#include "delivery/index_fetch.h"
#include "delivery/kept_cut.h"
#include "delivery/part_file.h"
#include "delivery/span_fetch.h"
#include "delivery/whole_file.h"
#include "platform/files.h"
#include "platform/system.h"

#include <algorithm>
#include <chrono>
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

// The threads of one job: the job's own thread fetches; a few checkers restore, check and
// write the chunks that arrived; a finisher follows each file's written beginning, hashing it
// and starting its writing to disk as it grows, and checks and flushes the part once whole. So
// the network, the processor and the disk all work at once, and memory stays flat: at most
// `parallel` answers in flight and `queue_limit` waiting for a checker.
struct Arrival {
    size_t file = 0;
    uint32_t chunk = 0;
    std::string body;
    bool from_old = false;  // a chunk cut from the old file, not a fetched one
    const Delta_Entry* delta = nullptr;  // a delta of the chunk against the old file, not the chunk
    bool fresh = false;     // fetched past the caches: damaged again, the server's own copy is
};

// The finisher's way through one file.
struct Follow {
    std::unique_ptr<Sha256> digest;  // of chunks [0, hashed)
    uint32_t hashed = 0;
    bool ended = false;   // checked and handed over, or failed
    bool queued = false;  // in Work::grown; guarded by Work::lock
};

struct Work {
    Job& j;
    std::vector<Part_File> parts;
    std::vector<size_t> left;                    // per file: chunks still to write
    std::unique_ptr<std::mutex[]> file_locks;    // per file: its part's bookkeeping and `left`
    std::vector<Follow> follow;                  // per file: the finisher's own

    std::mutex lock;                    // guards the queues and the flags below
    std::condition_variable wake_checker, wake_finisher, room;  // room: in `arrivals`
    std::deque<Arrival> arrivals;       // for the checkers
    std::deque<size_t> grown;           // files with more written, for the finisher
    bool no_more_arrivals = false;
    bool no_more_grown = false;         // set once the checkers have ended
    size_t unsettled = 0;               // chunks, old-file chunks and deltas passed on, not yet checked
    std::condition_variable settled;    // unsettled fell to 0
    std::vector<Delta_List> deltas;     // per file: the deltas it may use
    std::vector<std::pair<size_t, uint32_t>> fallback;  // (file, chunk) of deltas that failed
    std::vector<std::pair<size_t, uint32_t>> refetch;   // (file, chunk) that arrived damaged
    std::vector<std::thread> checkers;
    std::thread finisher;

    explicit Work(Job& job) : j(job), parts(job.files.size()), left(job.files.size()),
                              file_locks(new std::mutex[job.files.size()]), follow(job.files.size()) {}
};

constexpr size_t queue_limit = 16;
constexpr size_t read_piece = 1 << 20;

// Keeps the cut of a verified part (in_place: the target) for the next update; a cut that cannot
// be kept only costs that update a read of the file.
void keep_cut(const Part_File& part) {
    Kept_Cut cut;
    platform::File_Status st;
    if (!platform::file_status(part.in_place ? part.target : part_path(part.target), st)) return;
    cut.params = part.index.params;
    cut.size = part.index.file_size;
    cut.mtime_ns = st.mtime_ns;
    cut.chunks = part.index.chunks;
    kept_cut_write(part.kept_cut, cut);
}

// Hashes what was written of file i since the last call, from the start on, and starts writing
// it to disk. Once the part is whole: checks the file's digest, flushes it and hands it to the
// main thread. False after set_failure.
bool follow_file(Work& w, size_t i) {
    Part_File& part = w.parts[i];
    Follow& fo = w.follow[i];
    const backend::Release_File& f = w.j.files[i];
    if (fo.ended) return true;
    const uint32_t count = uint32_t(part.index.chunks.size());
    uint32_t upto = fo.hashed;
    {
        std::lock_guard<std::mutex> hold(w.file_locks[i]);
        while (upto < count && part.have[upto]) ++upto;
    }
    if (upto == fo.hashed && upto < count) return true;
    if (!fo.digest && !part.by_chunks) fo.digest = std::make_unique<Sha256>();
    const uint64_t from = upto > fo.hashed ? part.offsets[fo.hashed] : 0;
    const uint64_t to = upto < count ? part.offsets[upto] : part.index.file_size;
    std::string piece;
    for (uint64_t at = from; fo.digest && at < to;) {
        piece.resize(size_t(std::min<uint64_t>(read_piece, to - at)));
        if (!part_read(part, at, piece.data(), piece.size())) {
            // TRANSLATORS: the reason in "Couldn't write data/world.pak (...)".
            set_failure(w.j, cannot_write(f, std::string(tr("it could not be read back"))));
            return false;
        }
        fo.digest->add(piece);
        at += piece.size();
    }
    part_start_flush(part, from, to - from);
    fo.hashed = upto;
    if (upto < count) return true;
    fo.ended = true;

    Digest whole_digest{}, want{};
    bool whole = part.by_chunks || (fo.digest->finish(whole_digest) && from_hex(f.sha256, want) &&
                                    whole_digest == want);  // the manifest's text, read once
    fo.digest.reset();
    std::string err;
    if (whole && !part_sync(part, err)) {
        set_failure(w.j, cannot_write(f, err));
        return false;
    }
    part_close(part);
    if (!whole) {
        if (part.in_place) {
            undo_restore(part.target);  // the old file again; failing that, the next run restores it
        } else {
            platform::delete_file(part_path(part.target));
            platform::delete_file(journal_path(part.target));
        }
        set_failure(w.j, damaged(f));
        return false;
    }
    // Verified and flushed: its cut is kept, then (in place) the journals go, the undo journal
    // last (it marks the update: without it the other would never be looked at again), and the
    // file is the new one for good. A kept cut that vouches for the file marks journals left by a
    // kill in between as stale.
    keep_cut(part);
    if (part.in_place) {
        platform::delete_file(in_place_journal_path(part.target));
        platform::delete_file(undo_path(part.target));
    }
    std::lock_guard<std::mutex> hold(w.j.lock);
    if (part.in_place) w.j.in_place[i] = part.by_chunks ? 2 : 1;
    w.j.ready.push_back(i);
    return true;
}

// Tells the finisher that file i grew; without a finisher, follows the file here once whole.
bool grew(Work& w, size_t i, bool whole) {
    if (!w.finisher.joinable()) return !whole || follow_file(w, i);
    {
        std::lock_guard<std::mutex> hold(w.lock);
        if (w.follow[i].queued) return true;
        w.follow[i].queued = true;
        w.grown.push_back(i);
    }
    w.wake_finisher.notify_one();
    return true;
}

// A chunk of the old file: written wherever the new file has it. False after set_failure.
bool reuse_chunk(Work& w, const Arrival& a) {
    Part_File& part = w.parts[a.file];
    const Digest d = sha256(a.body);
    std::string err;
    bool ok;
    uint64_t gained;
    {
        std::lock_guard<std::mutex> hold(w.file_locks[a.file]);
        uint64_t before = part.have_bytes;
        ok = part_reuse(part, d, a.body, err);
        gained = part.have_bytes - before;
    }
    {
        std::lock_guard<std::mutex> hold(w.lock);
        if (--w.unsettled == 0) w.settled.notify_all();
    }
    if (!ok) {
        set_failure(w.j, cannot_write(w.j.files[a.file], err));
        return false;
    }
    return gained == 0 || grew(w, a.file, false);
}

// Writes chunk a.chunk, restored and checked. False after set_failure.
bool write_chunk(Work& w, const Arrival& a, std::string_view chunk) {
    const backend::Release_File& f = w.j.files[a.file];
    Part_File& part = w.parts[a.file];
    const Chunk_Entry& c = part.index.chunks[a.chunk];
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
    return grew(w, a.file, now_whole);
}

// A chunk from its delta; one that cannot be restored is left to fetch as it is. False after
// set_failure.
bool apply_delta(Work& w, const Arrival& a, std::string& bytes, std::string& base) {
    bool restored = delta_restore(w.parts[a.file], *a.delta, a.chunk, a.body, base, bytes);
    bool ok = !restored || write_chunk(w, a, bytes);
    std::lock_guard<std::mutex> hold(w.lock);
    if (restored) ++w.j.delta_chunks;
    else w.fallback.emplace_back(a.file, a.chunk);
    if (--w.unsettled == 0) w.settled.notify_all();
    return ok;
}

// A fetched chunk that is not what the index says. A cache on the way (a CDN) may keep serving
// a damaged copy, so it is fetched once more past the caches; damaged then, the server's own
// copy is, and trying again at once would only fetch the same bytes. False after set_failure.
bool arrived_damaged(Work& w, size_t file, uint32_t chunk, bool fresh) {
    if (fresh) {
        set_failure(w.j, damaged_on_server(w.j.files[file]));
        return false;
    }
    std::lock_guard<std::mutex> hold(w.lock);
    w.refetch.emplace_back(file, chunk);
    return true;
}

// Restores, checks and writes one fetched chunk. False after set_failure.
bool check_fetched(Work& w, const Arrival& a, std::string& bytes) {
    const Chunk_Entry& c = w.parts[a.file].index.chunks[a.chunk];
    // A chunk stored as it is needs no copy: its answer is its bytes.
    bool plain = a.body.size() == c.size;
    if (a.body.size() != c.stored || (!plain && !restore_chunk(a.body, c.size, bytes)))
        return arrived_damaged(w, a.file, a.chunk, a.fresh);
    std::string_view chunk = plain ? std::string_view(a.body) : std::string_view(bytes);
    if (sha256(chunk) != c.digest) return arrived_damaged(w, a.file, a.chunk, a.fresh);
    return write_chunk(w, a, chunk);
}

// Restores, checks and writes one chunk that arrived. False after set_failure.
bool check_chunk(Work& w, const Arrival& a, std::string& bytes, std::string& base) {
    if (a.from_old) return reuse_chunk(w, a);
    if (a.delta) return apply_delta(w, a, bytes, base);
    bool ok = check_fetched(w, a, bytes);
    std::lock_guard<std::mutex> hold(w.lock);
    if (--w.unsettled == 0) w.settled.notify_all();
    return ok;
}

void checker_main(Work& w) {
    std::string bytes, base;
    for (;;) {
        Arrival a;
        {
            std::unique_lock<std::mutex> hold(w.lock);
            w.wake_checker.wait(hold, [&] { return w.no_more_arrivals || !w.arrivals.empty(); });
            if (w.arrivals.empty()) return;
            a = std::move(w.arrivals.front());
            w.arrivals.pop_front();
        }
        w.room.notify_one();
        // What arrived before a stop is still written: it would cost a second fetch otherwise.
        if (!check_chunk(w, a, bytes, base)) fetcher_cancel(w.j.fetcher);
    }
}

void finisher_main(Work& w) {
    for (;;) {
        size_t i;
        {
            std::unique_lock<std::mutex> hold(w.lock);
            w.wake_finisher.wait(hold, [&] { return w.no_more_grown || !w.grown.empty(); });
            if (w.grown.empty()) return;
            i = w.grown.front();
            w.grown.pop_front();
            w.follow[i].queued = false;
        }
        // Once stopped, the parts wait for the next run, which checks what they hold again.
        if (w.j.fetcher.cancelled.load()) continue;
        if (!follow_file(w, i)) fetcher_cancel(w.j.fetcher);
    }
}

void start_threads(Work& w) {
    unsigned cores = std::thread::hardware_concurrency();
    unsigned count = cores < 2 ? 1 : cores > 4 ? 4 : cores;
    try {
        w.finisher = std::thread([&w] {
            platform::lower_thread_priority();
            finisher_main(w);
        });
        for (unsigned t = 0; t < count; ++t)
            w.checkers.emplace_back([&w] {
                platform::lower_thread_priority();
                checker_main(w);
            });
    } catch (const std::system_error&) {
        // fewer threads: with no checker the fetch thread checks, with no finisher the checkers finish
    }
}

// Lets the checkers empty their queue, then the finisher, which may get work from the checkers
// until they end.
void stop_threads(Work& w) {
    auto end = [&w](bool& flag, std::condition_variable& wake) {
        {
            std::lock_guard<std::mutex> hold(w.lock);
            flag = true;
        }
        wake.notify_all();
    };
    end(w.no_more_arrivals, w.wake_checker);
    for (std::thread& t : w.checkers) t.join();
    end(w.no_more_grown, w.wake_finisher);
    if (w.finisher.joinable()) w.finisher.join();
}

// Passes an answer to a checker, waiting while the queue is full; checks it here without one.
bool pass_on(Work& w, Arrival a) {
    if (w.checkers.empty()) {
        std::string bytes, base;
        return check_chunk(w, a, bytes, base);
    }
    {
        std::unique_lock<std::mutex> hold(w.lock);
        w.room.wait(hold, [&] { return w.arrivals.size() < queue_limit || w.j.fetcher.cancelled.load(); });
        w.arrivals.push_back(std::move(a));
    }
    w.wake_checker.notify_one();
    return !w.j.fetcher.cancelled.load();
}

// Takes what the old file of file i holds: the chunks found while the index's pages were
// rebuilt are copied from it at their offsets while it is unchanged since; otherwise it is cut
// again and the checkers hash each chunk and write those the new file still has. Waits until
// they have. False when stopped or failed.
bool offer_old_file(Work& w, size_t i) {
    auto offer = [&](std::string_view bytes) {
        {
            std::lock_guard<std::mutex> hold(w.lock);
            ++w.unsettled;
        }
        return pass_on(w, Arrival{i, 0, std::string(bytes), true});
    };
    Part_File& part = w.parts[i];
    uint64_t before = part.reused_old;
    part_take_old(part, w.file_locks[i], [&] { grew(w, i, false); }, offer);
    {
        std::unique_lock<std::mutex> hold(w.lock);
        w.settled.wait(hold, [&] { return w.unsettled == 0; });
    }
    // Copied here or written by the checkers, all of it is counted in reused_old now.
    w.j.done_bytes += int64_t(part.reused_old - before);
    w.j.reused_bytes += int64_t(part.reused_old - before);
    std::lock_guard<std::mutex> hold(w.j.lock);
    return w.j.failure.empty() && !w.j.fetcher.cancelled.load();
}

// Decides whether the part's file is updated in place (in_place.h) and, if so, journals what the
// update may overwrite. Only a file whose cut is known and that is unchanged since, with no part
// of an earlier download beside it, and writable. False with `err` when the journal cannot be
// written (the file is untouched).
bool choose_in_place(Part_File& part, std::string& err) {
    constexpr uint64_t smallest = 1 << 20;  // below this a new part costs next to nothing
    platform::File_Status now;
    if (part.old_chunks.empty() || part.index.file_size < smallest ||
        platform::is_regular_file(part_path(part.target)) || !platform::file_status(part.target, now) ||
        now.size != part.old_status.size || now.mtime_ns != part.old_status.mtime_ns)
        return true;
    In_Place_Plan plan = in_place_plan(part.old_chunks, uint64_t(now.size), part.index);
    platform::File_Handle probe = platform::no_file;
    if (!in_place_worth(plan, part.index.file_size) || !platform::open_read_write(part.target, probe)) return true;
    platform::close_file(probe);
    if (!undo_write(part.target, part.index_sha256, uint64_t(now.size), part.index.file_size, plan.regions, err))
        return false;
    platform::delete_file(part.kept_cut);  // it no longer vouches for the file
    platform::delete_file(in_place_journal_path(part.target));
    part.in_place = part.by_chunks = true;
    part.untouched = std::move(plan.same);
    std::vector<Chunk_Entry>().swap(part.old_chunks);
    return true;
}

}  // namespace

// TRANSLATORS: %1$s is a file of the game, as "data/world.pak".
std::string cannot_download(const backend::Release_File& f) { return fmt(tr("Couldn't download %1$s."), {f.path}); }
std::string damaged(const backend::Release_File& f) { return fmt(tr("%1$s arrived damaged: try again."), {f.path}); }
std::string damaged_on_server(const backend::Release_File& f) {
    return fmt(tr("The update server's copy of %1$s is damaged: try again later."), {f.path});
}
std::string cannot_write(const backend::Release_File& f, const std::string& err) {
    return launcher::file_failure(launcher::File_Step::Write, f.path, err, platform::last_error_kind());
}

namespace {

// Ends the job: its threads joined, its parts closed.
void end_job(Work& w) {
    stop_threads(w);
    for (Part_File& p : w.parts) part_close(p);
    std::lock_guard<std::mutex> hold(w.j.lock);
    w.j.finished = true;
}

// Every file's target and index. An update in place that was stopped goes on from its journals
// where the same update is asked for again; any other starts from the old file, restored first.
// False after set_failure, or when stopped.
bool prepare_parts(Work& w, std::vector<Undo>& undos) {
    Job& j = w.j;
    for (size_t i = 0; i < j.files.size(); ++i) {
        Part_File& part = w.parts[i];
        part.target = platform::join_path(j.dir, j.files[i].path);
        Leftover left = in_place_recover(part.target, kept_cut_path(j.dir, j.files[i].path), j.files[i].chunk_index,
                                         uint64_t(j.files[i].size), undos[i]);
        part.in_place = left == Leftover::Resume;
        if (left == Leftover::Unrestorable) {
            // TRANSLATORS: the reason in "Couldn't write data/world.pak (...)".
            set_failure(j, cannot_write(j.files[i], std::string(tr("its update in place could not be undone"))));
            return false;
        }
    }
    std::string failure;
    if (fetch_indexes(j, w.parts, failure)) return true;
    if (!failure.empty()) set_failure(j, failure);
    return false;
}

// Each file's plan: what the part and the old file already hold counts as done; `missing` gets
// the chunks left to fetch. A streamed file's one chunk is fetched last, by fetch_streamed.
// False after set_failure, or when stopped.
bool plan_parts(Work& w, const std::vector<Undo>& undos, std::vector<std::vector<uint32_t>>& missing) {
    Job& j = w.j;
    for (size_t i = 0; i < w.parts.size(); ++i) {
        if (j.fetcher.cancelled.load()) return false;
        Part_File& part = w.parts[i];
        if (part.streamed) continue;
        std::string err;
        if (part.in_place) part.untouched = untouched_chunks(undos[i], part.index);
        else if (!choose_in_place(part, err)) {
            set_failure(j, cannot_write(j.files[i], err));
            return false;
        }
        if (!part_open(part, err)) {
            set_failure(j, cannot_write(j.files[i], err));
            return false;
        }
        j.done_bytes += int64_t(part.have_bytes);
        j.reused_bytes += int64_t(part.have_bytes);
        if (!part.in_place && part.have_bytes < part.index.file_size && platform::is_regular_file(part.target) &&
            !offer_old_file(w, i))
            return false;
        missing[i] = part_missing(part);
        w.left[i] = missing[i].size();
        if (!grew(w, i, w.left[i] == 0)) return false;
    }
    return true;
}

// Fetches every missing chunk: runs of new chunks as spans against the old file; what they do not
// serve, as deltas or chunks, `parallel` at a time in file order; then the chunks of deltas that
// failed (round 1), then those that arrived damaged, past the caches (round 2). False when
// stopped or failed.
bool fetch_chunks(Work& w, std::vector<std::vector<uint32_t>>& missing) {
    Job& j = w.j;
    auto span_chunk = [&](size_t i, uint32_t n, std::string_view bytes) {
        return write_chunk(w, Arrival{i, n, {}, false, nullptr}, bytes);
    };
    if (!fetch_spans(j, w.parts, missing, span_chunk) || !fetch_delta_lists(j, w.parts, missing, w.deltas)) return false;

    // The tag holds the file's number above the chunk's.
    size_t file = 0, at = 0;
    auto hand_out = [&](Fetch& out) {
        while (file < w.parts.size() && at == missing[file].size()) {
            ++file;
            at = 0;
        }
        if (file == w.parts.size()) return false;
        uint32_t n = missing[file][at++];
        if (const Delta_Entry* d = delta_for(w.deltas[file], n)) {
            out = Fetch{"/files/deltas/" + hex(d->digest), d->size, (size_t(file) << 32) | n};
            return true;
        }
        const Chunk_Entry& c = w.parts[file].index.chunks[n];
        out = Fetch{"/files/chunks/" + hex(c.digest), c.stored, (size_t(file) << 32) | n};
        return true;
    };
    std::vector<std::pair<size_t, uint32_t>> again;
    int round = 0;
    auto hand_out_again = [&](Fetch& out) {
        if (at == again.size()) return false;
        auto [i, n] = again[at++];
        const Chunk_Entry& c = w.parts[i].index.chunks[n];
        out = Fetch{"/files/chunks/" + hex(c.digest), c.stored, (size_t(i) << 32) | n};
        out.no_cache = round == 2;
        return true;
    };
    auto on_done = [&](Fetch_Result& r) {
        size_t i = r.tag >> 32;
        uint32_t n = uint32_t(r.tag & 0xFFFFFFFFu);
        j.fetched_bytes += int64_t(r.body.size());
        const Delta_Entry* d = round == 0 ? delta_for(w.deltas[i], n) : nullptr;
        if (d && r.status != 200) {
            std::lock_guard<std::mutex> hold(w.lock);
            w.fallback.emplace_back(i, n);
            return true;
        }
        if (r.status != 200 && r.err == answer_too_long) return arrived_damaged(w, i, n, round == 2);
        if (r.status != 200) {
            set_failure(j, cannot_download(j.files[i]));
            return false;
        }
        {
            std::lock_guard<std::mutex> hold(w.lock);
            ++w.unsettled;
        }
        return pass_on(w, Arrival{i, n, std::move(r.body), false, d, round == 2});
    };
    // Waits until every chunk passed on is checked, then takes the next round's list.
    auto settle_into = [&](std::vector<std::pair<size_t, uint32_t>>& list) {
        std::unique_lock<std::mutex> hold(w.lock);
        w.settled.wait(hold, [&] { return w.unsettled == 0; });
        again = std::move(list);
        list.clear();
        std::sort(again.begin(), again.end());
        at = 0;
    };
    bool ran = fetcher_run(j.fetcher, hand_out, on_done);
    if (ran) settle_into(w.fallback);
    if (ran && !again.empty()) {
        j.delta_fallbacks += int64_t(again.size());
        round = 1;
        ran = fetcher_run(j.fetcher, hand_out_again, on_done);
    }
    if (ran) settle_into(w.refetch);
    if (ran && !again.empty()) {
        round = 2;
        ran = fetcher_run(j.fetcher, hand_out_again, on_done);
    }
    if (!ran && !j.fetcher.cancelled.load()) set_failure(j, std::string(tr("Couldn't reach the update server.")));
    return ran;
}

// The streamed files, one at a time and the last listed first, each taken by the owner once
// verified before the next is asked for (so each is in place before the next download); none is
// started once the owner has asked the job to wind down.
void fetch_streamed(Work& w) {
    Job& j = w.j;
    j.fetcher.parallel = 1;  // one transfer: no idle connections or WinHTTP workers made for nothing
    j.streaming = true;
    for (size_t i = j.files.size(); i-- > 0 && !j.wind_down.load();) {
        if (!w.parts[i].streamed) continue;
        std::string failure;
        if (!fetch_whole(j, i, failure)) {
            if (!failure.empty()) set_failure(j, std::move(failure));
            return;
        }
        j.done_bytes += j.files[i].size;
        std::unique_lock<std::mutex> hold(j.lock);
        j.ready.push_back(i);
        while (j.own_thread && !j.ready.empty() && !j.fetcher.cancelled.load())
            j.taken.wait_for(hold, std::chrono::milliseconds(20));
    }
}

}  // namespace

void job_main(Job& j) {
    Work w(j);
    j.in_place.assign(j.files.size(), 0);
    std::vector<Undo> undos(j.files.size());
    std::vector<std::vector<uint32_t>> missing(j.files.size());
    if (!prepare_parts(w, undos)) return end_job(w);
    start_threads(w);
    if (plan_parts(w, undos, missing) && fetch_chunks(w, missing)) fetch_streamed(w);
    end_job(w);
}

bool job_start(Job& j) {
    j.own_thread = true;
    try {
        j.thread = std::thread([&j] {
            platform::lower_thread_priority();  // below the window: the frame keeps its time
            job_main(j);
        });
    } catch (const std::system_error&) {
        j.own_thread = false;
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
    j.taken.notify_all();
    failure = j.failure;
    return j.finished;
}

}  // namespace delivery
