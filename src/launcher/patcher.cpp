// The patcher: start-up and shut-down of its record, the check, the plan, the download pipeline,
// finish and the launcher's own replacement.
//
// Sections: helpers - hash_files - patcher_init / patcher_destroy - patcher_check /
// patcher_update and the manifest answer - plan (the survey, on the planning thread, and what the
// main thread does with it) - next_download - putting parts in place (with the self-update) -
// the job - fail / finish - progress.
#include "launcher/patcher.h"
#include "launcher/words.h"

#include "backend/requests.h"
#include "launcher/install_record.h"
#include "launcher/launcher.h"
#include "launcher/log.h"
#include "launcher/tree.h"
#include "launcher/release_guard.h"
#include "platform/files.h"
#include "platform/links.h"
#include "platform/system.h"

#include "delivery/chunker.h"
#include "delivery/in_place.h"
#include "delivery/job.h"
#include "delivery/kept_cut.h"
#include "delivery/part_file.h"
#include "delivery/rate_limit.h"
#include "delivery/scratch.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <atomic>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace launcher {

namespace {

// ---------------------------------------------------------------------------------------------
// Helpers

// The request table's paths carry one "%s".
std::string fill(const char* format, std::string_view value) {
    std::string out = format;
    size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, value);
    return out;
}

// The game's executables and the launcher sit at the top of the install folder: they are made
// executable as they are put in place, whether or not the manifest marks them (a manifest from
// an older publisher marks no programs; tree_finish handles those it marks).
bool is_program(std::string_view path) {
    if (path == platform::launcher_exe_name) return true;
    for (const char* name : platform::game_exe_names)
        if (path == name) return true;
    return false;
}

// Manifest sizes are the publisher's word and never checked against the files: summing them
// for the progress must neither overflow nor run backwards, whatever a manifest claims.
void add_size(int64_t& sum, int64_t size) {
    if (size <= 0) return;
    sum = size > INT64_MAX - sum ? INT64_MAX : sum + size;
}

// A key that two paths naming the same file always share, on file systems that ignore letter
// case too: ASCII digits and punctuation stay, every letter (and every other character) becomes
// '*', per UTF-16 unit. It lets the stale-file check compare only paths that could match,
// instead of every stale path with every listed one.
std::string case_blind_key(std::string_view path) {
    std::string key;
    key.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (c < 0x80) {
            bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
            key += letter ? '*' : char(c);
        } else if ((c & 0xC0) != 0x80) {
            key += c >= 0xF0 ? "**" : "*";  // four-byte characters are two UTF-16 units
        }
    }
    return key;
}

void reset(Patcher& p) {
    p.dir.clear();
    p.channel.clear();
    p.state = Patch_State::Idle;
    p.failure.clear();
    backend::release_destroy(p.manifest);
    p.has_manifest = false;
    p.record = Install_Record{};
    std::vector<backend::Release_File>().swap(p.to_fetch);
    p.total_bytes = 0;
    p.done_bytes = 0;
    p.installed.clear();
    p.relaunch = false;
    p.manifest_req = 0;
    p.background = false;
    p.playing = false;
    p.plan_work.reset();
    p.job.reset();
    p.job_placed.clear();
    p.fetch_pool.reset();
    p.chunk_done = 0;
    p.chunk_base = 0;
    p.paused = false;
    p.paused_chunked.clear();
    p.chunk_held = 0;
    p.net_base = 0;
    p.speed = 0;
    p.speed_bytes = 0;
    p.speed_ms = 0;
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The bytes the plan still has to put on the disk, less the parts already there, against the
// disk's free space. False after `fail` when they do not fit; true when they fit or the free
// space cannot be queried (the writes then tell). Whole files and chunked ones alike: a release
// of whole files that cannot fit would otherwise fill the disk before it fails.
bool enough_space(Patcher& p) {
    uint64_t free = 0;
    if (!platform::free_space(p.dir, free)) return true;
    int64_t needed = 0;
    for (const backend::Release_File& f : p.to_fetch) {
        platform::File_Status part;
        // A whole file's answer can be no longer than the client takes, whatever its entry claims.
        int64_t size = f.chunk_index.empty() && p.client.max_body > 0 ? std::min(f.size, p.client.max_body) : f.size;
        if (platform::file_status(delivery::part_path(platform::join_path(p.dir, f.path)), part) && part.regular)
            size -= std::min(size, part.size);
        add_size(needed, size);
    }
    if (uint64_t(needed) <= free) return true;
    fail(p, "Not enough disk space: " + human_bytes(double(uint64_t(needed) - free)) + " more is needed in " + p.dir + ".");
    return false;
}

}  // namespace

static void poll_job(Patcher& p);
static void start_job(Patcher& p, std::vector<backend::Release_File>& files);
static void restart_speed(Patcher& p);
static void poll_plan(Patcher& p);

void Job_Delete::operator()(delivery::Job* j) const {
    delivery::job_stop(*j);
    delete j;
}

// ---------------------------------------------------------------------------------------------
// hash_files

namespace {
struct Digest_Free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
}  // namespace

// SHA-256 of one file as hexadecimal text, its bytes counted into `progress` as they are hashed.
// False when it cannot be read whole, or when the work is asked to stop.
static bool hash_file_counted(const std::string& path, std::string& out, Hash_Progress& progress) {
    out.clear();
    std::unique_ptr<EVP_MD_CTX, Digest_Free> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return false;
    bool read = platform::read_file_chunks(path, [&](std::string_view piece) {
        if (progress.stop || EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) != 1) return false;
        progress.done += int64_t(piece.size());
        return true;
    });
    delivery::Digest d{};
    unsigned int n = 0;
    if (!read || EVP_DigestFinal_ex(ctx.get(), d.data(), &n) != 1 || n != d.size()) return false;
    out = delivery::hex(d);
    return true;
}

std::vector<std::string> hash_files(const std::vector<std::string>& paths, unsigned threads, Hash_Progress* progress) {
    std::vector<std::string> digests(paths.size());
    if (paths.empty()) return digests;
    if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    threads = unsigned(std::min<size_t>(threads, paths.size()));

    // Each worker streams whole files taken from a shared index, so a few large files and many
    // small ones spread over the cores alike; each writes only its own slots of `digests`.
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < paths.size(); i = next++) {
            bool hashed = progress ? hash_file_counted(paths[i], digests[i], *progress)
                                   : backend::sha256_file_hex(paths[i], digests[i]);
            if (!hashed) digests[i].clear();
        }
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

// ---------------------------------------------------------------------------------------------
// patcher_init / patcher_destroy

void patcher_init(Patcher& p, std::string_view dir, std::string_view channel, std::string_view base_url) {
    p.dir.assign(dir);
    p.channel.assign(channel.empty() ? std::string_view("stable") : channel);
    // A client that cannot start makes every check fail at once (patcher_check).
    backend::init(p.client, base_url, "TarnwickLauncher/" TARNWICK_VERSION, patcher_timeout_ms);
    p.client.max_body = patcher_max_body;
    p.client.transport.on_received = delivery::download_throttle;   // the player's download limit
    p.installed = install_load(p.dir).version;
    // The launcher that a self-update moved aside; still in use (or absent) is fine.
    platform::delete_file(platform::join_path(p.dir, platform::launcher_old_exe_name));
}

void patcher_destroy(Patcher& p) {
    p.job.reset();        // stops it; a part it verified is never put in place
    p.plan_work.reset();  // stops its hashing and waits for it; nothing is decided
    backend::destroy(p.client);
    reset(p);
}

// ---------------------------------------------------------------------------------------------
// patcher_check / patcher_update

void patcher_check(Patcher& p, bool background) {
    if (p.state == Patch_State::Checking || p.state == Patch_State::Downloading) return;
    p.background = background;
    p.state = Patch_State::Checking;
    if (!p.client.ready) {
        // Its requests would never be answered, leaving the patcher Checking for good.
        fail(p, "Couldn't reach the update server.");
        return;
    }
    p.manifest_req = backend::request_typed(p.client, backend::req_release_manifest.method,
                                            fill(backend::req_release_manifest.path, p.channel));
}

static void on_manifest(Patcher& p, const backend::Response& r) {
    if (r.status == 0) {
        fail(p, "Couldn't reach the update server.");
        return;
    }
    if (r.status < 200 || r.status > 299) {
        fail(p, "The update server said " + std::to_string(r.status) + ".");
        return;
    }
    backend::Release_Manifest m;
    backend::Release_Error e = backend::open_release(r.body, m);
    // A signed release may still not put anything at the names the launcher keeps for itself:
    // a link at install.json would have the record written into whatever it points at.
    if (e == backend::Release_Error::None && delivery::release_uses_reserved_name(m)) e = backend::Release_Error::Malformed;
    if (e != backend::Release_Error::None) {
        fail(p, std::string("The update didn't check out (") + backend::release_error_name(e) +
                    "): not installing it.");
        return;
    }
    // Numbered releases: never another channel's, never older than one installed here.
    const int64_t now = int64_t(std::time(nullptr));
    Install_Record record = install_load(p.dir);
    if (std::string refused = release_guard(m, p.channel, record.sequences, now); !refused.empty()) {
        fail(p, refused);
        return;
    }
    backend::release_destroy(p.manifest);
    p.manifest = std::move(m);
    p.has_manifest = true;
    p.record = std::move(record);
    if (p.background && p.playing) {
        // Nothing is replaced under a running game; the check due when it ends installs this.
        p.state = Patch_State::Ready;
        return;
    }
    plan_start(p);
}

void patcher_pause(Patcher& p) {
    if (p.state != Patch_State::Downloading || p.paused) return;
    p.paused = true;
    if (!p.job) return;
    // A whole file in flight lands; the next waits for the resume (next_download).
    if (p.job->files.front().chunk_index.empty()) return;
    poll_job(p);  // what is verified already goes in place
    if (p.state != Patch_State::Downloading || !p.job) return;
    for (size_t i = 0; i < p.job->files.size(); ++i)
        if (!p.job_placed[i]) p.paused_chunked.push_back(p.job->files[i]);
    p.net_base += p.job->fetched_bytes.load();
    p.job.reset();  // its parts and journals stay for the resume
    // chunk_done keeps what the parts hold verified: the bar keeps its place while paused.
}

void patcher_resume(Patcher& p) {
    if (p.state != Patch_State::Downloading || !p.paused) return;
    p.paused = false;
    if (p.paused_chunked.empty()) {
        restart_speed(p);
        return;  // whole files go on at the next frame
    }
    restart_speed(p);
    int64_t held = p.chunk_done;
    start_job(p, p.paused_chunked);
    p.paused_chunked.clear();
    p.chunk_done = p.chunk_held = held;
}

void patcher_update(Patcher& p) {
    std::vector<backend::Response> answers = backend::poll(p.client);
    for (backend::Response& r : answers) {
        if (p.manifest_req != 0 && r.id == p.manifest_req) {
            p.manifest_req = 0;
            on_manifest(p, r);
        }
        backend::response_destroy(r);
    }
    poll_plan(p);
    poll_job(p);
    next_download(p);
}

// ---------------------------------------------------------------------------------------------
// plan

// finish for a plan that found every file current. Each file's status was queried moments ago,
// so the record is built from those answers rather than by asking again, and a record that says
// what the one on disk already says is not rewritten: a re-check of a large install then costs
// one status query a file, as the install record promises.
static void finish_planned(Patcher& p, const Install_Record& on_disk,
                           const std::vector<platform::File_Status>& status) {
    std::string message;
    if (!tree_finish(p.dir, p.manifest, message)) {
        fail(p, message);
        return;
    }
    Install_Record r;
    r.version = p.manifest.version;
    r.channel = p.manifest.channel;
    r.files.reserve(p.manifest.files.size());
    for (size_t i = 0; i < p.manifest.files.size(); ++i) {
        const backend::Release_File& f = p.manifest.files[i];
        r.files.push_back(Installed_File{f.path, status[i].size, f.sha256, status[i].mtime_ns, f.exec});
    }
    r.links = installed_links(p.dir, p.manifest);
    install_keep_sequences(r, on_disk, p.manifest);
    if (r.version != on_disk.version || r.channel != on_disk.channel || r.files != on_disk.files ||
        r.links != on_disk.links || r.sequences != on_disk.sequences)
        install_write_record(p.dir, r);  // a failed write only costs hashing at the next check
    p.record = std::move(r);
    p.installed = p.manifest.version;
    p.state = Patch_State::Ready;
}

// Starts a job for the files (all chunked, or one whole file). Where no thread can be had, the
// job runs here, in one go: slow, but the same outcome.
static void start_job(Patcher& p, std::vector<backend::Release_File>& files) {
    auto job = std::unique_ptr<delivery::Job, Job_Delete>(new delivery::Job);
    job->dir = p.dir;
    job->fetcher.base_url = p.client.base_url;
    job->fetcher.user_agent = p.client.user_agent;
    job->whole_limit = p.client.max_body;
    job->fetcher.pool = p.fetch_pool;
    job->files = std::move(files);
    // What the install record proves each target holds: deltas against it may be fetched.
    // Whole files take none.
    if (!job->files.empty() && !job->files.front().chunk_index.empty()) {
        std::unordered_map<std::string_view, const Installed_File*> recorded;
        for (const Installed_File& f : p.record.files) recorded[f.path] = &f;
        for (const backend::Release_File& f : job->files) {
            auto it = recorded.find(f.path);
            job->old_files.push_back(it == recorded.end() ? delivery::Old_File{}
                                                          : delivery::Old_File{it->second->sha256, it->second->size, it->second->mtime});
        }
    }
    if (!delivery::job_start(*job)) delivery::job_main(*job);
    p.job_placed.assign(job->files.size(), 0);
    p.chunk_done = 0;
    p.job = std::move(job);
}

// Starts measuring the speed afresh: at a plan and at a resume, never between the jobs of one
// download, so that files that each take less than a sample still add up to one.
static void restart_speed(Patcher& p) {
    p.speed_ms = now_ms();
    p.speed_bytes = p.net_base;
}

// Hands the files that have a chunk index to a job of their own; the rest stay in to_fetch, to
// be fetched whole once it is done.
static void start_chunked(Patcher& p) {
    std::vector<backend::Release_File> whole, chunked;
    for (backend::Release_File& f : p.to_fetch) (f.chunk_index.empty() ? whole : chunked).push_back(std::move(f));
    p.to_fetch = std::move(whole);
    if (!chunked.empty()) start_job(p, chunked);
}

// What the planning thread finds in the install folder for the manifest: the record, each
// file's status and whether it must be fetched. Nothing is changed on the disk to find it but
// the journals of an update in place that a kill stopped.
struct Plan_Survey {
    std::vector<char> needed;                   // per manifest file
    std::vector<platform::File_Status> status;  // kept for the record when all is current
};

static Plan_Survey survey(const std::string& dir, const Install_Record& record,
                          const std::vector<backend::Release_File>& files, Hash_Progress& progress) {
    Plan_Survey out;
    std::unordered_map<std::string_view, const Installed_File*> recorded;
    for (const Installed_File& f : record.files) recorded[f.path] = &f;  // a later duplicate wins

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
        if (it != recorded.end() && st.regular && it->second->size == st.size && it->second->mtime == st.mtime_ns) {
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
    for (size_t k = 0; k < hashed_index.size(); ++k)
        if (digests[k].empty() || digests[k] != files[hashed_index[k]].sha256) out.needed[hashed_index[k]] = 1;
    return out;
}

// The main thread's half of a plan: the files to fetch, the free space, the files the release
// dropped, then the download or, with nothing to fetch, the record.
static void apply_plan(Patcher& p, const Plan_Survey& found) {
    const Install_Record& record = p.record;
    p.to_fetch.clear();
    p.total_bytes = 0;
    p.done_bytes = 0;
    p.chunk_base = 0;
    p.chunk_done = 0;
    p.chunk_held = 0;
    p.paused = false;
    p.paused_chunked.clear();
    p.fetch_pool.reset();
    restart_speed(p);

    // Links the last release made and this one dropped go first. A file of this release where the
    // last one had a link was looked at through that link: it is fetched.
    tree_remove_stale_links(p.dir, record, p.manifest);
    std::unordered_set<std::string_view> were_links;
    for (const backend::Release_Link& l : record.links) were_links.insert(l.path);
    const std::vector<backend::Release_File>& files = p.manifest.files;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!found.needed[i] && !were_links.count(files[i].path)) continue;
        p.to_fetch.push_back(files[i]);
        add_size(p.total_bytes, files[i].size);
    }
    // Nothing is changed when the download cannot fit, stale files included.
    if (!p.to_fetch.empty() && !enough_space(p)) return;
    std::string through_link;
    if (!tree_ready_to_write(p.dir, p.to_fetch, through_link)) {
        fail(p, through_link);
        return;
    }

    // Files the release dropped. Record paths are not trusted: one that could leave the install
    // folder is never deleted.
    std::unordered_set<std::string_view> listed;
    for (const backend::Release_File& f : files) listed.insert(f.path);
    // Where the file system ignores letter case, a path whose case changed still names a file the
    // new release lists: deleting it would delete that file. Only paths with the same key can be
    // such a pair, so a release of 100,000 files replacing another costs a hash lookup per path.
    bool case_blind = platform::same_path("a", "A");
    std::unordered_multimap<std::string, std::string> listed_full;  // made only when something looks stale
    for (const Installed_File& old : record.files) {
        if (listed.count(old.path) || !backend::release_path_ok(old.path)) continue;
        std::string full = platform::join_path(p.dir, old.path);
        bool same_file = false;
        if (case_blind) {
            if (listed_full.empty())
                for (const backend::Release_File& f : files)
                    listed_full.emplace(case_blind_key(f.path), platform::join_path(p.dir, f.path));
            auto [from, to] = listed_full.equal_range(case_blind_key(old.path));
            for (auto it = from; it != to && !same_file; ++it) same_file = platform::same_path(it->second, full);
        }
        // Below a link the file is somewhere else: never deleted through it.
        if (!same_file && linked_folder(p.dir, old.path).empty()) platform::delete_file(full);
    }

    if (p.to_fetch.empty()) {
        finish_planned(p, record, found.status);
        return;
    }
    p.state = Patch_State::Downloading;
    start_chunked(p);
}

void plan(Patcher& p) {
    p.record = install_load(p.dir);
    Hash_Progress progress;
    apply_plan(p, survey(p.dir, p.record, p.manifest.files, progress));
}

// The planning thread: it reads the folder, the manifest and the record, which stay as they are
// while the patcher is Checking (no check starts then, and no answer replaces the manifest).
struct Plan_Work {
    Hash_Progress progress;
    Plan_Survey found;
    std::atomic<bool> done{false};
    std::thread thread;
    ~Plan_Work() {
        progress.stop = true;
        if (thread.joinable()) thread.join();
    }
};

void Plan_Work_Delete::operator()(Plan_Work* w) const {
    delete w;
}

void plan_start(Patcher& p) {
    auto work = std::unique_ptr<Plan_Work, Plan_Work_Delete>(new Plan_Work);
    Plan_Work* w = work.get();
    try {
        w->thread = std::thread([w, dir = p.dir, record = &p.record, files = &p.manifest.files] {
            platform::lower_thread_priority();  // hashing a large install must not cost frames
            w->found = survey(dir, *record, *files, w->progress);
            w->done = true;
        });
    } catch (const std::system_error&) {
        Hash_Progress progress;  // no thread to be had: plan here, as in one go
        apply_plan(p, survey(p.dir, p.record, p.manifest.files, progress));
        return;
    }
    p.plan_work = std::move(work);
}

// Hands a finished survey to the main thread's half of the plan. A background check that a game
// started meanwhile changes nothing under it, as when the game ran before the manifest came: the
// check due when the game ends plans afresh.
static void poll_plan(Patcher& p) {
    if (!p.plan_work || !p.plan_work->done) return;
    std::unique_ptr<Plan_Work, Plan_Work_Delete> w = std::move(p.plan_work);
    w->thread.join();
    if (p.state != Patch_State::Checking) return;
    if (p.background && p.playing) {
        p.state = Patch_State::Ready;
        return;
    }
    apply_plan(p, w->found);
}

// ---------------------------------------------------------------------------------------------
// next_download

// Once no job runs: the next whole file, the last listed first, by a job of its own; or finish
// when none is left. So one whole file is in flight at a time, and the next is asked for in the
// frame that took the last one's job.
void next_download(Patcher& p) {
    if (p.state != Patch_State::Downloading || p.job || p.paused) return;
    if (p.to_fetch.empty()) {
        finish(p);
        return;
    }
    std::vector<backend::Release_File> one;
    one.push_back(std::move(p.to_fetch.back()));
    p.to_fetch.pop_back();
    start_job(p, one);
}

// ---------------------------------------------------------------------------------------------
// Putting parts in place

// Moves the verified part over the target. False after `fail`.
static bool put_in_place(Patcher& p, const std::string& path, const std::string& target) {
    const std::string part = delivery::part_path(target);
    std::string err;
    if (is_program(path)) platform::set_executable(part);
    if (!platform::rename_replace(part, target, &err)) {
        platform::delete_file(part);
        fail(p, file_failure(File_Step::Replace, path, err, platform::last_error_kind()));
        return false;
    }
    return true;
}

// Puts a verified file in place. The running launcher's file cannot be overwritten on Windows,
// but it can be renamed: moving it aside frees the name, and this process runs on from the old
// name.
static bool place_verified(Patcher& p, const std::string& path, const std::string& target) {
    std::string aside;
    bool relaunch_before = p.relaunch;
    // Both resolved: the install folder may be reached through a symbolic link, which the
    // running executable's own path never shows on Linux.
    if (path == platform::launcher_exe_name &&
        platform::same_path(platform::resolved_path(platform::executable_path()), platform::resolved_path(target))) {
        aside = platform::join_path(p.dir, platform::launcher_old_exe_name);
        if (!platform::rename_replace(target, aside)) aside.clear();
        p.relaunch = true;
    }
    if (put_in_place(p, path, target)) return true;
    if (!aside.empty() && platform::rename_replace(aside, target)) {
        // The new launcher could not take its place: put the running one back, so that the
        // folder keeps a launcher and no restart into a missing file is attempted.
        p.relaunch = relaunch_before;
    }
    return false;
}

// The network speed over the last moments (bytes received: chunks reused from the disk are not
// the network's), smoothed over a few seconds so that the line under the bar reads steadily;
// sampled at most twice a second.
static void measure_speed(Patcher& p) {
    int64_t now = now_ms(), bytes = p.net_base + (p.job ? p.job->fetched_bytes.load() : 0);
    int64_t dt = now - p.speed_ms;
    if (dt < 500) return;
    double rate = double(bytes - p.speed_bytes) * 1000.0 / double(dt);
    double keep = std::exp(-double(dt) / 3000.0);
    p.speed = p.speed <= 0 ? rate : keep * p.speed + (1 - keep) * rate;
    p.speed_bytes = bytes;
    p.speed_ms = now;
}

// ---------------------------------------------------------------------------------------------
// The job

// Takes the verified parts the job has finished, puts them in place, and ends the job when it
// is done (or failed: chunked parts and journals stay for the next check to resume from). A
// whole file counts in done_bytes once in place, as progress always moved by whole files; a
// chunked one counts as its chunks are verified.
static void poll_job(Patcher& p) {
    if (!p.job) return;
    delivery::Job& j = *p.job;
    std::vector<size_t> ready;
    std::string failure;
    bool ended = delivery::job_poll(j, ready, failure);
    p.chunk_done = j.done_bytes.load();
    for (size_t i = 0; i < p.job_placed.size(); ++i)
        if (p.job_placed[i] && !j.files[i].chunk_index.empty()) p.chunk_done -= j.files[i].size;
    for (size_t i : ready) {
        const backend::Release_File& f = j.files[i];
        std::string target = platform::join_path(p.dir, f.path);
        // A file updated in place is in place already; any other part is moved over its target.
        if (!j.in_place[i] && !place_verified(p, f.path, target)) return;  // failed: the job is stopped
        p.job_placed[i] = 1;
        if (f.chunk_index.empty()) {
            add_size(p.done_bytes, f.size);
            continue;
        }
        platform::delete_file(delivery::journal_path(target));
        add_size(p.chunk_base, f.size);
        p.chunk_done -= f.size;  // counted once, in chunk_base, from now on
        p.chunk_held = std::max<int64_t>(0, p.chunk_held - f.size);
    }
    // After a resume the new job counts its parts again, file by file, while a file it found
    // whole may already be in place: the bar stays where the pause left it until the count
    // has caught up.
    if (p.chunk_held > 0) {
        if (p.chunk_done >= p.chunk_held) p.chunk_held = 0;
        else p.chunk_done = p.chunk_held;
    }
    if (!failure.empty()) {
        fail(p, failure);
        return;
    }
    measure_speed(p);
    // A job of whole files has nothing left once they are in place: it is ending, so the next
    // file goes out in this frame rather than the next one.
    if (!ended && j.files.front().chunk_index.empty() &&
        std::all_of(p.job_placed.begin(), p.job_placed.end(), [](char placed) { return placed != 0; }))
        ended = true;
    if (ended) {
        p.net_base += j.fetched_bytes.load();
        p.fetch_pool = j.fetcher.pool;
        p.job.reset();
    }
}

// ---------------------------------------------------------------------------------------------
// fail / finish

void fail(Patcher& p, std::string_view message) {
    if (p.background && p.state == Patch_State::Checking && !game_exe(p.dir).empty()) {
        // A periodic check that cannot get through must not get in the way of playing.
        log_warning("patcher: background check: %.*s", int(message.size()), message.data());
        p.state = Patch_State::Ready;
        return;
    }
    p.job.reset();  // stops it after the transfers and writes in progress
    p.fetch_pool.reset();
    p.failure.assign(message);
    p.state = Patch_State::Failed;
    log_warning("patcher: %.*s", int(message.size()), message.data());
}

void finish(Patcher& p) {
    std::string message;
    if (!tree_finish(p.dir, p.manifest, message)) {
        fail(p, message);
        return;
    }
    // The record the check read keeps the release numbers; a failed write only costs hashing at
    // the next check.
    Install_Record r = install_record_for(p.dir, p.manifest);
    install_keep_sequences(r, p.record, p.manifest);
    install_write_record(p.dir, r);
    p.record = std::move(r);
    p.installed = p.manifest.version;
    p.state = Patch_State::Ready;
}

// ---------------------------------------------------------------------------------------------
// Progress

float patcher_progress(const Patcher& p) {
    if (p.total_bytes <= 0) return 0;
    return float(std::min(1.0, double(p.done_bytes + p.chunk_base + p.chunk_done) / double(p.total_bytes)));
}

int patcher_percent(const Patcher& p) {
    return int(patcher_progress(p) * 100);
}

float patcher_check_progress(const Patcher& p) {
    if (p.state != Patch_State::Checking || !p.plan_work) return -1;
    int64_t total = p.plan_work->progress.total.load(), done = p.plan_work->progress.done.load();
    if (total <= 0) return -1;
    return float(std::min(1.0, double(done) / double(total)));
}

std::string human_bytes(double bytes) {
    const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
    int u = 0;
    while (bytes >= 1000 && u < 4) {
        bytes /= 1000;
        ++u;
    }
    char text[32];
    if (u == 0) snprintf(text, sizeof text, "%.0f bytes", bytes);
    else snprintf(text, sizeof text, bytes < 100 ? "%.1f %s" : "%.0f %s", bytes, units[u]);
    return text;
}

std::string patcher_speed_text(const Patcher& p) {
    if (p.paused) return "Paused";
    if (!p.job || p.speed <= 0) return "";
    double left = double(p.total_bytes - p.done_bytes - p.chunk_base - p.chunk_done) / p.speed;
    char when[32];
    if (left < 60) snprintf(when, sizeof when, "%d s left", std::max(1, int(left)));
    else if (left < 3600) snprintf(when, sizeof when, "%d min left", int(left / 60 + 0.5));
    else snprintf(when, sizeof when, "%d h %d min left", int(left / 3600), int(std::fmod(left, 3600) / 60));
    return human_bytes(p.speed) + "/s, " + when;
}

}  // namespace launcher
