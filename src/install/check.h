// check: one check of the install folder against a release, from its manifest to its install
// record. A planning thread surveys the folder (survey.h); the main thread then removes links
// and files the release dropped, compares the bytes to fetch with the disk's free space and has
// the files fetched by delivery::Job, putting each part the job verified in place with a rename
// (a release's launcher replaces the running one, moved aside to the old-launcher name). When
// nothing is left, the tree is finished (tree.h) and the record written, once.
//
// Every file waiting goes to one job (a file without a chunk index is a file of one chunk there);
// a pause ends it, a resume starts the next with the files not yet in place.
//
// One state, Check_State, changed only by set_state in check.cpp: a reader finds every
// transition there.
//
// Depends on backend/release.h, delivery/job.h, delivery/index_fetch.h, install/record.h, install/survey.h,
// install/tree.h, install/scratch.h, platform/files.h and platform/system.h. Main thread, apart
// from the planning thread (it reads the folder, the manifest and the record, which nothing
// changes while it runs) and the job's threads.
// Limits: one streamed file in flight, its answer at most `Check_Source::max_body`; one cut short
// goes on from its part.
#pragma once
#include "backend/release.h"
#include "install/record.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace delivery {
struct Job;
}

namespace install {

enum class Check_State : uint8_t {
    Idle,       // none started, or the survey's result was dropped (check_update's `hold`)
    Surveying,  // the planning thread reads and hashes the folder
    Fetching,   // a job fetches; verified parts go in place as they come
    Paused,     // nothing new is fetched; the files left wait in `waiting`
    Done,       // the record names the release
    Failed,     // `failure` says why
};

// Where and how files are fetched, set by the owner of the check.
struct Check_Source {
    std::string base_url;
    std::string user_agent;
    int64_t max_body = 0;          // the most bytes of a whole file's answer
    std::shared_ptr<void> pool;    // connections a finished job kept alive, for the next job
};

// What the disk lacked for the rest of the download when the check failed: found once, by the
// free-space check or at a failure, so that nobody asks the disk again to word it.
struct Check_Shortfall {
    int64_t bytes = 0;  // 0: none known
    std::string dir;    // the folder whose disk lacks them
};

// Bytes of the files the plan chose to fetch, counted one way for every file: manifest sizes.
struct Check_Progress {
    int64_t total = 0;     // every file to fetch
    int64_t placed = 0;    // files put in place
    int64_t verified = 0;  // verified in parts, not yet in place (kept through a pause: the bar
                           // does not run backwards while a new job counts its parts again)
    int64_t received = 0;  // received from the network by jobs that have ended
    Check_Shortfall shortfall;
    // Files updated in place and proven by their chunks, not read whole: for the owner to read
    // once more in the background once the check is done (reread.h).
    std::vector<std::string> unread;
};

struct Survey_Work;
struct Survey_Work_Delete {
    void operator()(Survey_Work* w) const;
};
struct Job_Delete {
    void operator()(delivery::Job* j) const;
};

struct Check {
    std::string dir;  // the install folder
    Check_Source source;
    const backend::Release_Manifest* manifest = nullptr;  // the owner's; unchanged while running
    launcher::Install_Record record;  // read once, with the manifest; written once, by finish
    Check_State state = Check_State::Idle;
    std::string failure;
    std::unique_ptr<Survey_Work, Survey_Work_Delete> survey;
    std::unique_ptr<delivery::Job, Job_Delete> job;
    std::vector<char> placed;                    // per file of the job: put in place already
    std::vector<backend::Release_File> waiting;  // still to fetch, by the next job
    Check_Progress progress;
    bool relaunch = false;  // the running launcher was moved aside: restart into the new one
};

// Starts a check of `manifest` (kept by the caller until the check ends) with the record read
// beside it: the survey on a planning thread, or here in one go when `threaded` is false or no
// thread can be had. With `rehash`, every file on disk is hashed, whatever the record says of it
// (a repair).
void check_start(Check& c, const backend::Release_Manifest& manifest, launcher::Install_Record record,
                 bool threaded = true, bool rehash = false);
// Once per frame: hands a finished survey to the plan (or, with `hold`, drops it: nothing is
// changed under a running game), puts verified parts in place and starts the next fetch.
void check_update(Check& c, bool hold = false);
// Stops fetching once the transfers in flight are done with (a streamed file in flight lands;
// verified chunks stay in their parts) / goes on from there.
void check_pause(Check& c);
void check_resume(Check& c);
// Stops the survey and the job, leaving what they verified on the disk; the check is Idle.
void check_stop(Check& c);

// Bytes hashed over bytes to hash while surveying, from 0 to 1; -1 otherwise.
float check_hash_progress(const Check& c);
// Bytes received from the network so far, for the speed.
int64_t check_received(const Check& c);
// True while a job runs (a transfer may be in flight).
bool check_fetching(const Check& c);

}  // namespace install
