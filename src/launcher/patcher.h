// patcher: keeps the install folder at the release the backend publishes for the launcher's
// channel, as the player sees it. A check fetches the signed release manifest, refuses one that
// does not check out or that the release guard turns down, and hands it with the install record
// (read once, here) to an install::Check, which surveys, plans, fetches, places and records
// (install/check.h). The patcher keeps the manifest request, the player's pause, the state the
// screens show with its texts (progress, speed and time left) and the restart into a new
// launcher.
//
// Depends on backend/client.h (its own download client and worker, for the manifest),
// backend/release.h, install/check.h, install/record.h, install/release_guard.h, install/reread.h,
// install/scratch.h, delivery/rate_limit.h, launcher/log.h, launcher/words.h, platform/files.h
// and platform/system.h. Main thread only.
#pragma once
#include "backend/client.h"
#include "backend/release.h"
#include "install/check.h"
#include "install/reread.h"
#include "launcher/words.h"  // human_bytes, for the texts under the bar

#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

enum class Patch_State : uint8_t { Idle = 0, Checking = 1, Downloading = 2, Ready = 3, Failed = 4 };

struct Patcher {
    backend::Client client;  // download client: 600,000 ms time-out, 512 MiB bodies
    std::string dir;         // the install folder
    std::string channel;     // whose manifest is fetched
    Patch_State state = Patch_State::Idle;
    std::string failure;     // the last failure the player saw; kept after later successes
    backend::Release_Manifest manifest;  // the last accepted manifest
    bool has_manifest = false;
    install::Check check;     // the check in progress, or the last one
    std::string installed;    // installed release's version, "" when nothing is installed
    uint64_t manifest_req = 0;  // outstanding manifest request, 0 = none
    bool background = false;    // the check in progress (or the last one) is a background check
    bool playing = false;       // the launcher's playing flag, copied in every frame
    bool paused = false;        // paused by the player: nothing new is fetched
    bool repair = false;        // the check asked for hashes every file, whatever the record says
    // The files the last update proved by their chunks alone, read once more in the background
    // (install/reread.h); a file found not to be the release's is fetched by a check at the next
    // chance the game is not running (`recheck`).
    install::Reread_Ptr reread;
    bool recheck = false;
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
// Stops the client (aborting a download in flight) and the check.
void patcher_destroy(Patcher& p);

// Starts a check; ignored while Checking or Downloading.
void patcher_check(Patcher& p, bool background);
// The player's Repair: a check that hashes every file, whatever the install record says of it,
// and fetches what differs from the release (a byte damaged on disk with its size and last write
// unchanged included). Ignored while Checking or Downloading.
void patcher_repair(Patcher& p);
// Drops the background read of the last update and any check it asked for (the folder is
// being emptied or left).
void patcher_stop_reread(Patcher& p);
// Once per frame: handles finished responses, then moves the check on.
void patcher_update(Patcher& p);

// While Downloading: stops fetching once the whole file or chunks in flight are done with (a
// whole file in flight lands; nothing unverified is put in place; verified chunks stay in their
// parts) / goes on from there.
void patcher_pause(Patcher& p);
void patcher_resume(Patcher& p);

// Plans the check of the manifest the patcher holds with the record on disk: in one go on this
// thread (`plan`), or on a planning thread whose result a later patcher_update takes
// (`plan_start`). Exposed for tests and the bench.
void plan(Patcher& p);
void plan_start(Patcher& p);
// Shows a failure (a background check that cannot get through stays quiet when the game is
// there to play).
void fail(Patcher& p, std::string_view message);
// True when a restart into the launcher a finished update put in place is due.
bool patcher_relaunch(const Patcher& p);

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

}  // namespace launcher
