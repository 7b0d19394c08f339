// patcher: installs the game into the install folder and keeps it at the release the backend
// publishes for the launcher's channel. A check fetches the signed release manifest, plans on a
// planning thread which files must be fetched (the install record, which proves a file current or
// the old release's when its size and time match it, else size, else SHA-256 of the file on
// disk), and hands that back to the main thread, which deletes files the release dropped, then
// has the files fetched by a delivery::Job and puts each part the job verified in place with a
// rename. When nothing is left, finish writes the install record. A release carrying a new
// launcher replaces the running one (moved aside to the old-launcher name) and asks the frame
// loop to restart into it.
//
// Depends on backend/client.h (its own download client and worker, for the manifest),
// backend/release.h, delivery/job.h, launcher/install_record.h, platform/files.h and
// platform/system.h. Main thread only, apart from the planning thread (it only reads the folder
// and the manifest, which no check changes while it runs), the hashing threads that plan starts
// and joins within the call, and the job's threads.
// Files whose manifest entry names a chunk index go to one job together (chunks fetched in
// parallel, reused from the old file and from an earlier partial download, assembled in the
// part on the job's thread). The others are fetched whole afterwards, one at a time, last listed
// first, each by a job of its own: streamed into its part and hashed off the main thread, its
// progress counted once it is in place. Before anything is fetched, the bytes to fetch of a
// chunked release are compared with the install disk's free space.
// Limits: one whole file in flight, its answer at most the client's body limit (512 MiB); a
// whole file cut short is fetched again from its start.
// The game's executables and the launcher at the top of the install folder are always made
// executable; other files when the manifest marks them, and its links are made last (tree.h).
#pragma once
#include "backend/client.h"
#include "backend/release.h"
#include "launcher/install_record.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {
struct Job;
}

namespace launcher {

// Stops and frees a chunked install job (patcher.cpp).
struct Job_Delete {
    void operator()(delivery::Job* j) const;
};

// The planning thread of a check in progress (patcher.cpp).
struct Plan_Work;
struct Plan_Work_Delete {
    void operator()(Plan_Work* w) const;
};

// Bytes hashed by a plan, read by the frame loop while a planning thread hashes, and the request
// to stop hashing early (the result is then thrown away).
struct Hash_Progress {
    std::atomic<int64_t> total{0};  // bytes of the files to hash, once they are known
    std::atomic<int64_t> done{0};
    std::atomic<bool> stop{false};
};

enum class Patch_State : uint8_t { Idle = 0, Checking = 1, Downloading = 2, Ready = 3, Failed = 4 };

struct Patcher {
    backend::Client client;  // download client: 600,000 ms time-out, 512 MiB bodies
    std::string dir;         // the install folder
    std::string channel;     // whose manifest is fetched
    Patch_State state = Patch_State::Idle;
    std::string failure;     // the last failure the player saw; kept after later successes
    backend::Release_Manifest manifest;  // the last accepted manifest
    bool has_manifest = false;
    // The install record as the check in progress read it, once, with its manifest: the guard,
    // the plan, the jobs and finish all take it from here.
    Install_Record record;
    std::vector<backend::Release_File> to_fetch;  // still to download; taken from the back
    int64_t total_bytes = 0;  // manifest sizes of everything the last plan chose to download
    int64_t done_bytes = 0;   // manifest sizes of those put in place so far
    std::string installed;    // installed release's version, "" when nothing is installed
    bool relaunch = false;    // the running launcher was moved aside: restart once Ready
    uint64_t manifest_req = 0;  // outstanding manifest request, 0 = none
    bool background = false;    // the check in progress (or the last one) is a background check
    bool playing = false;       // the launcher's playing flag, copied in every frame

    // The check's planning thread while it surveys and hashes the folder (state Checking).
    std::unique_ptr<Plan_Work, Plan_Work_Delete> plan_work;

    // The job fetching the chunked files, or one whole file; none when null.
    std::unique_ptr<delivery::Job, Job_Delete> job;
    std::vector<char> job_placed;  // per file of the job: put in place already
    // The connections a finished job kept alive, for the next job of the same check.
    std::shared_ptr<void> fetch_pool;
    int64_t chunk_done = 0;       // file bytes verified by the running job (reused ones included)
    int64_t chunk_base = 0;       // file bytes of chunked files put in place by earlier jobs
    // Paused by the player: nothing new is fetched; the chunked files still to do wait here.
    bool paused = false;
    std::vector<backend::Release_File> paused_chunked;
    // After a resume, the bytes the pause left verified: the bar stays there until the new job
    // has counted its parts again.
    int64_t chunk_held = 0;
    int64_t net_base = 0;         // bytes received by jobs that have ended
    // The smoothed network speed in bytes a second (0: not measured yet) and its last sample.
    double speed = 0;
    int64_t speed_bytes = 0;
    int64_t speed_ms = 0;
};

inline constexpr int patcher_timeout_ms = 600000;
inline constexpr int64_t patcher_max_body = int64_t(512) << 20;

// Keeps copies of the folder and channel ("stable" when empty), starts the download client,
// reads the installed version from the install record and deletes a leftover old launcher.
void patcher_init(Patcher& p, std::string_view dir, std::string_view channel, std::string_view base_url);
// Stops the client (aborting a download in flight) and empties the record.
void patcher_destroy(Patcher& p);

// Starts a check; ignored while Checking or Downloading. Its manifest's answer reads the install
// record (once a check).
void patcher_check(Patcher& p, bool background);
// Once per frame: handles finished responses, then starts the next download.
void patcher_update(Patcher& p);

// While Downloading: stops fetching once the whole file or chunks in flight are done with (a
// whole file in flight lands; nothing unverified is put in place; verified chunks stay in their
// parts) / goes on from there.
void patcher_pause(Patcher& p);
void patcher_resume(Patcher& p);

// The steps of a check, called by patcher_update; exposed for tests. plan reads the install
// record and decides in one go on the calling thread; plan_start does the same work with the
// record the check read on a planning thread, whose result a later patcher_update hands back (as
// one plan would have done it then), or in one go when no thread can be had.
void plan(Patcher& p);
void plan_start(Patcher& p);
void next_download(Patcher& p);
void fail(Patcher& p, std::string_view message);
void finish(Patcher& p);

// The download's progress: done over total as a fraction (0 while nothing is planned) and as a
// whole percentage, cut toward zero.
float patcher_progress(const Patcher& p);
int patcher_percent(const Patcher& p);
// While a planning thread hashes the files on disk: bytes hashed over bytes to hash, from 0 to
// 1; -1 when no check is hashing (none running, or still listing the files).
float patcher_check_progress(const Patcher& p);

// The line under the progress bar while files download: the smoothed speed and the time
// left ("48.2 MB/s, 2 min left"); "Paused" while paused; "" while there is no job or
// no speed measured yet.
std::string patcher_speed_text(const Patcher& p);
// Byte counts as players read them: "950 KB", "48.2 MB", "1.2 GB".
std::string human_bytes(double bytes);

// SHA-256 digests of the files, in the order given, streamed in fixed-size pieces on up to
// `threads` threads (0: one per core, at most 8). "" for a file that cannot be read whole.
// `progress`, when given, counts the bytes hashed and stops the work early when asked (the
// files not hashed then are "").
std::vector<std::string> hash_files(const std::vector<std::string>& paths, unsigned threads = 0,
                                    Hash_Progress* progress = nullptr);

}  // namespace launcher
