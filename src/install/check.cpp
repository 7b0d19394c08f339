// The check: its one state change, the plan (what the main thread does with a survey), the jobs,
// putting parts in place (with the self-update), finish, pause and progress.
#include "install/check.h"
#include "lang/lang.h"

#include "delivery/index_fetch.h"
#include "delivery/job.h"
#include "install/scratch.h"
#include "install/survey.h"
#include "install/tree.h"
#include "launcher/words.h"
#include "platform/files.h"
#include "platform/system.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace install {

// ---------------------------------------------------------------------------------------------
// The state

// Every change of the check's state goes through here.
static void set_state(Check& c, Check_State to) {
    c.state = to;
}

// Notes what the disk lacks for the bytes still to write, once, for the failure's wording.
static void note_shortfall(Check& c, int64_t needed, uint64_t free) {
    if (needed <= 0 || uint64_t(needed) <= free) return;
    c.progress.shortfall = Check_Shortfall{int64_t(uint64_t(needed) - free), c.dir};
}

static void fail(Check& c, std::string message) {
    c.job.reset();  // stops it after the transfers and writes in progress
    c.source.pool.reset();
    c.failure = std::move(message);
    // Whatever the failure said (a write that found the disk full), a disk without room for the
    // rest is worded by what it lacks.
    uint64_t free = 0;
    if (c.progress.shortfall.bytes == 0 && platform::free_space(c.dir, free))
        note_shortfall(c, c.progress.total - c.progress.placed - c.progress.verified, free);
    set_state(c, Check_State::Failed);
}

// ---------------------------------------------------------------------------------------------
// Helpers

namespace {

// The game's executables and the launcher sit at the top of the install folder: they are made
// executable as they are put in place, whether or not the manifest marks them (a manifest from
// an older publisher marks no programs; tree_finish handles those it marks).
bool is_program(std::string_view path) {
    if (path == platform::launcher_exe_name) return true;
    for (const char* name : platform::game_exe_names)
        if (path == name) return true;
    return false;
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

// The bytes the plan still has to put on the disk, less the parts already there, against the
// disk's free space. False after `fail` when they do not fit; true when they fit or the free
// space cannot be queried (the writes then tell).
bool enough_space(Check& c) {
    uint64_t free = 0;
    if (!platform::free_space(c.dir, free)) return true;
    int64_t needed = 0;
    for (const backend::Release_File& f : c.waiting) {
        platform::File_Status part;
        int64_t size = delivery::most_bytes(f, c.source.max_body);
        if (platform::file_status(delivery::part_path(platform::join_path(c.dir, f.path)), part) && part.regular)
            size -= std::min(size, part.size);
        add_size(needed, size);
    }
    if (uint64_t(needed) <= free) return true;
    note_shortfall(c, needed, free);
    // TRANSLATORS: %1$s is a size ("126 MB"), %2$s the install folder.
    fail(c, fmt(tr("Not enough disk space: %1$s more is needed in %2$s."),
                {launcher::human_bytes(double(c.progress.shortfall.bytes)), c.dir}));
    return false;
}

// Deletes the files of the old record the release dropped. Record paths are not trusted: one
// that could leave the install folder is never deleted.
void delete_dropped(const Check& c) {
    const std::vector<backend::Release_File>& files = c.manifest->files;
    std::unordered_set<std::string_view> listed;
    for (const backend::Release_File& f : files) listed.insert(f.path);
    // Where the file system ignores letter case, a path whose case changed still names a file the
    // new release lists: deleting it would delete that file. Only paths with the same key can be
    // such a pair, so a release of 100,000 files replacing another costs a hash lookup per path.
    bool case_blind = platform::same_path("a", "A");
    std::unordered_multimap<std::string, std::string> listed_full;  // made only when something looks stale
    for (const launcher::Installed_File& old : c.record.files) {
        if (listed.count(old.path) || !backend::release_path_ok(old.path)) continue;
        std::string full = platform::join_path(c.dir, old.path);
        bool same_file = false;
        if (case_blind) {
            if (listed_full.empty())
                for (const backend::Release_File& f : files)
                    listed_full.emplace(case_blind_key(f.path), platform::join_path(c.dir, f.path));
            auto [from, to] = listed_full.equal_range(case_blind_key(old.path));
            for (auto it = from; it != to && !same_file; ++it) same_file = platform::same_path(it->second, full);
        }
        // Below a link the file is somewhere else: never deleted through it.
        if (!same_file && launcher::linked_folder(c.dir, old.path).empty()) platform::delete_file(full);
    }
}

}  // namespace

void Job_Delete::operator()(delivery::Job* j) const {
    delivery::job_stop(*j);
    delete j;
}

// ---------------------------------------------------------------------------------------------
// Finish

// Writes the record for the release once its files are in place. `status`, when given, holds
// each file's status queried moments ago by the survey, so a check that found everything
// current asks nothing again, and a record that says what the one on disk says is not
// rewritten: a re-check of a large install costs one status query a file.
static void finish(Check& c, const std::vector<platform::File_Status>* status) {
    const backend::Release_Manifest& m = *c.manifest;
    std::string message;
    if (!launcher::tree_finish(c.dir, m, message)) {
        fail(c, message);
        return;
    }
    launcher::Install_Record r;
    if (status) {
        r.version = m.version;
        r.channel = m.channel;
        r.files.reserve(m.files.size());
        for (size_t i = 0; i < m.files.size(); ++i) {
            const backend::Release_File& f = m.files[i];
            r.files.push_back(launcher::Installed_File{f.path, (*status)[i].size, f.sha256, (*status)[i].mtime_ns, f.exec});
        }
        r.links = launcher::installed_links(c.dir, m);
    } else {
        r = launcher::install_record_for(c.dir, m);
    }
    launcher::install_keep_sequences(r, c.record, m);
    if (!status || r.version != c.record.version || r.channel != c.record.channel || r.files != c.record.files ||
        r.links != c.record.links || r.sequences != c.record.sequences)
        launcher::install_write_record(c.dir, r);  // a failed write only costs hashing at the next check
    c.record = std::move(r);
    set_state(c, Check_State::Done);
}

// ---------------------------------------------------------------------------------------------
// Jobs

// Starts a job for the files. Where no thread can be had, the job runs here, in one go: slow, but
// the same outcome.
static void start_job(Check& c, std::vector<backend::Release_File> files) {
    auto job = std::unique_ptr<delivery::Job, Job_Delete>(new delivery::Job);
    job->dir = c.dir;
    job->fetcher.base_url = c.source.base_url;
    job->fetcher.user_agent = c.source.user_agent;
    job->whole_limit = c.source.max_body;
    job->fetcher.pool = c.source.pool;
    job->files = std::move(files);
    // What the install record proves each target holds: deltas against it may be fetched.
    std::unordered_map<std::string_view, const launcher::Installed_File*> recorded;
    for (const launcher::Installed_File& f : c.record.files) recorded[f.path] = &f;
    for (const backend::Release_File& f : job->files) {
        auto it = recorded.find(f.path);
        job->old_files.push_back(it == recorded.end() ? delivery::Old_File{}
                                                      : delivery::Old_File{it->second->sha256, it->second->size, it->second->mtime});
    }
    if (!delivery::job_start(*job)) delivery::job_main(*job);
    c.placed.assign(job->files.size(), 0);
    c.job = std::move(job);
}

// The next job, for every file waiting. With nothing waiting the release is in place and the
// record is written.
static void next_job(Check& c) {
    if (c.state != Check_State::Fetching || c.job) return;
    if (c.waiting.empty()) return finish(c, nullptr);
    start_job(c, std::move(c.waiting));
    c.waiting.clear();
}

// ---------------------------------------------------------------------------------------------
// Putting parts in place

// Moves the verified part over the target. The running launcher's file cannot be overwritten on
// Windows, but it can be renamed: moving it aside frees the name, and this process runs on from
// the old name. False after `fail`.
static bool place(Check& c, const std::string& path) {
    const std::string target = platform::join_path(c.dir, path);
    const std::string part = delivery::part_path(target);
    std::string aside, err;
    // Both resolved: the install folder may be reached through a symbolic link, which the
    // running executable's own path never shows on Linux.
    if (path == platform::launcher_exe_name &&
        platform::same_path(platform::resolved_path(platform::executable_path()), platform::resolved_path(target))) {
        aside = platform::join_path(c.dir, platform::launcher_old_exe_name);
        if (!platform::rename_replace(target, aside)) aside.clear();
    }
    if (is_program(path)) platform::set_executable(part);
    if (platform::rename_replace(part, target, &err)) {
        c.relaunch = c.relaunch || !aside.empty();
        return true;
    }
    platform::delete_file(part);
    // The new launcher could not take its place: the running one goes back, so that the folder
    // keeps a launcher and no restart into a missing file is attempted.
    if (!aside.empty()) platform::rename_replace(aside, target);
    fail(c, launcher::file_failure(launcher::File_Step::Replace, path, err, platform::last_error_kind()));
    return false;
}

// Ends the job, its files not in place waiting again (for a resume); connections it kept alive
// go to the next one.
static void end_job(Check& c) {
    delivery::Job& j = *c.job;
    for (size_t i = 0; i < j.files.size(); ++i)
        if (!c.placed[i]) c.waiting.push_back(j.files[i]);
    c.progress.received += j.fetched_bytes.load();
    c.source.pool = j.fetcher.pool;
    c.job.reset();  // parts and journals stay for the next job to go on from
}

// Takes the verified parts the job has finished, puts them in place, and ends the job when it is
// done (or failed: parts and journals stay for the next check to resume from). A file counts as
// its chunks are verified, then once in place.
static void poll_job(Check& c) {
    if (!c.job) return;
    delivery::Job& j = *c.job;
    std::vector<size_t> ready;
    std::string failure;
    bool ended = delivery::job_poll(j, ready, failure);
    Check_Progress& n = c.progress;
    // After a resume the new job counts its parts again, file by file, from nothing: the bar
    // keeps its place until the count has caught up, and falls only as files go in place.
    int64_t placed = 0;   // sizes come from the manifest: summed without wrapping, negatives as 0
    for (size_t i = 0; i < c.placed.size(); ++i)
        if (c.placed[i]) add_size(placed, j.files[i].size);
    n.verified = std::max(n.verified, std::max<int64_t>(0, j.done_bytes.load()) - placed);
    for (size_t i : ready) {
        const backend::Release_File& f = j.files[i];
        // A file updated in place is in place already; any other part is moved over its target.
        if (!j.in_place[i] && !place(c, f.path)) return;  // failed: the job is stopped
        c.placed[i] = 1;
        if (j.in_place[i] == 2) n.unread.push_back(f.path);
        add_size(n.placed, f.size);
        platform::delete_file(delivery::journal_path(platform::join_path(c.dir, f.path)));
        n.verified = std::max<int64_t>(0, n.verified - std::max<int64_t>(0, f.size));  // counted once, in `placed`, from now on
    }
    if (!failure.empty()) return fail(c, failure);
    // A job with every file in place has nothing left: it is ending, so the record is written in
    // this frame rather than the next one.
    if (ended || std::all_of(c.placed.begin(), c.placed.end(), [](char placed) { return placed != 0; })) end_job(c);
}

// ---------------------------------------------------------------------------------------------
// The plan

// The planning thread: it reads the folder, the manifest and the record, which stay as they are
// while the check surveys.
struct Survey_Work {
    Hash_Progress progress;
    Survey found;
    std::atomic<bool> done{false};
    std::thread thread;
    ~Survey_Work() {
        progress.stop = true;
        if (thread.joinable()) thread.join();
    }
};

void Survey_Work_Delete::operator()(Survey_Work* w) const {
    delete w;
}

// The main thread's half of a plan: the files to fetch, the free space, the files the release
// dropped, then the download or, with nothing to fetch, the record.
static void apply_plan(Check& c, const Survey& found) {
    // Links the last release made and this one dropped go first. A file of this release where the
    // last one had a link was looked at through that link: it is fetched.
    launcher::tree_remove_stale_links(c.dir, c.record, *c.manifest);
    std::unordered_set<std::string_view> were_links;
    for (const backend::Release_Link& l : c.record.links) were_links.insert(l.path);
    const std::vector<backend::Release_File>& files = c.manifest->files;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!found.needed[i] && !were_links.count(files[i].path)) continue;
        c.waiting.push_back(files[i]);
        add_size(c.progress.total, files[i].size);
    }
    // Nothing is changed when the download cannot fit, stale files included.
    if (!c.waiting.empty() && !enough_space(c)) return;
    std::string through_link;
    if (!launcher::tree_ready_to_write(c.dir, c.waiting, through_link)) return fail(c, through_link);
    delete_dropped(c);
    if (c.waiting.empty()) return finish(c, &found.status);
    set_state(c, Check_State::Fetching);  // the first job starts at the next check_update
}

void check_start(Check& c, const backend::Release_Manifest& manifest, launcher::Install_Record record, bool threaded,
                 bool rehash) {
    check_stop(c);
    c.manifest = &manifest;
    c.record = std::move(record);
    c.failure.clear();
    c.waiting.clear();
    c.progress = Check_Progress{};
    c.source.pool.reset();
    set_state(c, Check_State::Surveying);
    auto work = std::unique_ptr<Survey_Work, Survey_Work_Delete>(new Survey_Work);
    Survey_Work* w = work.get();
    try {
        if (threaded)
            w->thread = std::thread([w, dir = c.dir, record = &c.record, files = &manifest.files, rehash] {
                platform::lower_thread_priority();  // hashing a large install must not cost frames
                w->found = survey(dir, *record, *files, w->progress, rehash);
                w->done = true;
            });
    } catch (const std::system_error&) {
        threaded = false;  // no thread to be had: plan here, as in one go
    }
    if (!threaded) return apply_plan(c, survey(c.dir, c.record, manifest.files, w->progress, rehash));
    c.survey = std::move(work);
}

// ---------------------------------------------------------------------------------------------
// Each frame, pause, stop

void check_update(Check& c, bool hold) {
    if (c.survey && c.survey->done) {
        std::unique_ptr<Survey_Work, Survey_Work_Delete> w = std::move(c.survey);
        w->thread.join();
        if (hold) set_state(c, Check_State::Idle);
        else apply_plan(c, w->found);
    }
    poll_job(c);
    next_job(c);
}

void check_pause(Check& c) {
    if (c.state != Check_State::Fetching) return;
    set_state(c, Check_State::Paused);
    if (!c.job) return;
    // A streamed file in flight lands (cut short, it would be asked for again); the next waits
    // for the resume.
    c.job->wind_down = true;
    if (c.job->streaming.load()) return;
    poll_job(c);  // what is verified already goes in place
    if (c.state != Check_State::Paused || !c.job) return;
    end_job(c);
    // `verified` keeps what the parts hold: the bar keeps its place while paused.
}

void check_resume(Check& c) {
    if (c.state != Check_State::Paused) return;
    set_state(c, Check_State::Fetching);
    next_job(c);  // unless a streamed file is still landing
}

void check_stop(Check& c) {
    c.job.reset();     // stops it; a part it verified is never put in place
    c.survey.reset();  // stops its hashing and waits for it; nothing is decided
    if (c.state == Check_State::Surveying || c.state == Check_State::Fetching || c.state == Check_State::Paused)
        set_state(c, Check_State::Idle);
}

// ---------------------------------------------------------------------------------------------
// Progress

float check_hash_progress(const Check& c) {
    if (c.state != Check_State::Surveying || !c.survey) return -1;
    int64_t total = c.survey->progress.total.load(), done = c.survey->progress.done.load();
    if (total <= 0) return -1;
    return float(std::min(1.0, double(done) / double(total)));
}

int64_t check_received(const Check& c) {
    return c.progress.received + (c.job ? c.job->fetched_bytes.load() : 0);
}

bool check_fetching(const Check& c) {
    return c.job != nullptr;
}

}  // namespace install
