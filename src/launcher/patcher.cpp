// The patcher: start-up and shut-down, the manifest request and its answer, following the check
// into the player's state, pause, and the texts under the progress bar.
#include "launcher/patcher.h"
#include "lang/lang.h"

#include "backend/requests.h"
#include "delivery/rate_limit.h"
#include "install/record.h"
#include "install/release_guard.h"
#include "install/scratch.h"
#include "launcher/log.h"
#include "launcher/words.h"
#include "platform/files.h"
#include "platform/system.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace launcher {

namespace {

// The request table's paths carry one "%s".
std::string fill(const char* format, std::string_view value) {
    std::string out = format;
    size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, value);
    return out;
}

// Starts measuring the speed afresh: at a plan and at a resume, never between the jobs of one
// download, so that files that each take less than a sample still add up to one.
void restart_speed(Patcher& p) {
    p.speed_ms = platform::now_ms();
    p.speed_bytes = install::check_received(p.check);
}

// The network speed over the last moments (bytes received: chunks reused from the disk are not
// the network's), smoothed over a few seconds so that the line under the bar reads steadily;
// sampled at most twice a second.
void measure_speed(Patcher& p) {
    int64_t now = platform::now_ms(), bytes = install::check_received(p.check);
    int64_t dt = now - p.speed_ms;
    if (dt < 500) return;
    double rate = double(bytes - p.speed_bytes) * 1000.0 / double(dt);
    double keep = std::exp(-double(dt) / 3000.0);
    p.speed = p.speed <= 0 ? rate : keep * p.speed + (1 - keep) * rate;
    p.speed_bytes = bytes;
    p.speed_ms = now;
}

// The player's state from the check's, while a check runs.
void follow_check(Patcher& p) {
    // While the manifest is asked for, the check is still the last one.
    if ((p.state != Patch_State::Checking && p.state != Patch_State::Downloading) || p.manifest_req != 0) return;
    switch (p.check.state) {
    case install::Check_State::Surveying: return;
    case install::Check_State::Fetching:
    case install::Check_State::Paused:
        if (p.state == Patch_State::Checking) {
            p.state = Patch_State::Downloading;
            restart_speed(p);
        }
        return measure_speed(p);
    case install::Check_State::Done:
        p.installed = p.manifest.version;
        p.state = Patch_State::Ready;
        p.reread = install::reread_start(p.dir, p.manifest, p.check.progress.unread);
        return;
    case install::Check_State::Failed: return fail(p, p.check.failure);
    case install::Check_State::Idle:  // dropped: nothing is replaced under a running game
        p.state = Patch_State::Ready;
        return;
    }
}

void start_check(Patcher& p, Install_Record record, bool threaded) {
    p.paused = false;
    p.speed = 0;
    p.check.dir = p.dir;  // the folder may have changed since the last check
    p.reread.reset();     // this check reads whatever it needs itself
    install::check_start(p.check, p.manifest, std::move(record), threaded, p.repair);
    p.repair = false;
    follow_check(p);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// patcher_init / patcher_destroy

void patcher_init(Patcher& p, std::string_view dir, std::string_view channel, std::string_view base_url) {
    p.dir.assign(dir);
    p.channel.assign(channel.empty() ? std::string_view("stable") : channel);
    // A client that cannot start makes every check fail at once (patcher_check).
    backend::init(p.client, base_url, "TarnwickLauncher/" TARNWICK_VERSION, patcher_timeout_ms);
    p.client.max_body = patcher_max_body;
    p.client.transport.on_received = delivery::download_throttle;   // the player's download limit
    p.check.source = install::Check_Source{p.client.base_url, p.client.user_agent, p.client.max_body, nullptr};
    p.installed = install_load(p.dir).version;
    // The launcher that a self-update moved aside; still in use (or absent) is fine.
    platform::delete_file(platform::join_path(p.dir, platform::launcher_old_exe_name));
}

void patcher_destroy(Patcher& p) {
    patcher_stop_reread(p);
    install::check_stop(p.check);
    backend::destroy(p.client);
    backend::release_destroy(p.manifest);
    p.check = install::Check{};
    p.dir.clear();
    p.channel.clear();
    p.state = Patch_State::Idle;
    p.failure.clear();
    p.has_manifest = false;
    p.installed.clear();
    p.manifest_req = 0;
    p.background = p.playing = p.paused = false;
    p.speed = 0;
    p.speed_bytes = p.speed_ms = 0;
}

// ---------------------------------------------------------------------------------------------
// patcher_check / patcher_update

void patcher_check(Patcher& p, bool background) {
    if (p.state == Patch_State::Checking || p.state == Patch_State::Downloading) return;
    p.repair = false;
    p.background = background;
    p.state = Patch_State::Checking;
    if (!p.client.ready) {
        // Its requests would never be answered, leaving the patcher Checking for good.
        fail(p, std::string(tr("Couldn't reach the update server.")));
        return;
    }
    p.manifest_req = backend::request_typed(p.client, backend::req_release_manifest.method,
                                            fill(backend::req_release_manifest.path, p.channel));
}

static void on_manifest(Patcher& p, const backend::Response& r) {
    if (r.status == 0) {
        fail(p, std::string(tr("Couldn't reach the update server.")));
        return;
    }
    if (r.status < 200 || r.status > 299) {
        // TRANSLATORS: %1$s is the HTTP status the server answered with, as 503.
        fail(p, fmt(tr("The update server said %1$s."), {std::to_string(r.status)}));
        return;
    }
    backend::Release_Manifest m;
    backend::Release_Error e = backend::open_release(r.body, m);
    // A signed release may still not put anything at the names the launcher keeps for itself:
    // a link at install.json would have the record written into whatever it points at.
    if (e == backend::Release_Error::None && delivery::release_uses_reserved_name(m)) e = backend::Release_Error::Malformed;
    if (e != backend::Release_Error::None) {
        // TRANSLATORS: %1$s names what was wrong with the release, as "Bad_Signature".
        fail(p, fmt(tr("The update didn't check out (%1$s): not installing it."), {backend::release_error_name(e)}));
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
    if (p.background && p.playing) {
        // Nothing is replaced under a running game; the check due when it ends installs this.
        p.state = Patch_State::Ready;
        return;
    }
    start_check(p, std::move(record), true);
}

void patcher_stop_reread(Patcher& p) {
    p.reread.reset();
    p.recheck = false;
}

void patcher_repair(Patcher& p) {
    if (p.state == Patch_State::Checking || p.state == Patch_State::Downloading) return;
    patcher_check(p, false);
    p.repair = p.state == Patch_State::Checking;
}

void plan(Patcher& p) {
    p.state = Patch_State::Checking;
    start_check(p, install_load(p.dir), false);
}

void plan_start(Patcher& p) {
    p.state = Patch_State::Checking;
    start_check(p, install_load(p.dir), true);
}

void patcher_pause(Patcher& p) {
    if (p.state != Patch_State::Downloading || p.paused) return;
    p.paused = true;
    install::check_pause(p.check);
    follow_check(p);
}

void patcher_resume(Patcher& p) {
    if (p.state != Patch_State::Downloading || !p.paused) return;
    p.paused = false;
    install::check_resume(p.check);
    restart_speed(p);
    follow_check(p);
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
    // A background check that a game started meanwhile changes nothing under it, as when the
    // game ran before the manifest came: the check due when the game ends plans afresh.
    install::check_update(p.check, p.background && p.playing);
    follow_check(p);
    std::vector<std::string> differing;
    if (p.reread && install::reread_poll(*p.reread, differing)) {
        p.reread.reset();
        if (!differing.empty()) {
            install::reread_mark(p.dir, p.check.record, differing);
            p.recheck = true;
        }
    }
    // Never under a running game: the files are fetched once it has ended.
    if (p.recheck && !p.playing && p.state == Patch_State::Ready) {
        p.recheck = false;
        patcher_check(p, true);
    }
}

// ---------------------------------------------------------------------------------------------
// fail

void fail(Patcher& p, std::string_view message) {
    install::check_stop(p.check);  // stops the job after the transfers and writes in progress
    if (p.background && p.state == Patch_State::Checking && !p.installed.empty()) {
        // A periodic check that cannot get through must not get in the way of playing.
        log_warning("patcher: background check: %.*s", int(message.size()), message.data());
        p.state = Patch_State::Ready;
        return;
    }
    p.failure.assign(message);
    p.state = Patch_State::Failed;
    log_warning("patcher: %.*s", int(message.size()), message.data());
}

bool patcher_relaunch(const Patcher& p) {
    return p.check.relaunch && p.state == Patch_State::Ready;
}

// ---------------------------------------------------------------------------------------------
// Progress

float patcher_progress(const Patcher& p) {
    const install::Check_Progress& n = p.check.progress;
    if (n.total <= 0) return 0;
    return float(std::min(1.0, double(n.placed + n.verified) / double(n.total)));
}

int patcher_percent(const Patcher& p) {
    return int(patcher_progress(p) * 100);
}

float patcher_check_progress(const Patcher& p) {
    return p.state == Patch_State::Checking ? install::check_hash_progress(p.check) : -1;
}

std::string patcher_speed_text(const Patcher& p) {
    if (p.paused) return std::string(tr("Paused"));
    if (!install::check_fetching(p.check) || p.speed <= 0) return "";
    const install::Check_Progress& n = p.check.progress;
    double left = double(n.total - n.placed - n.verified) / p.speed;
    std::string when;
    // TRANSLATORS: time left for the download, in seconds, minutes, or hours and minutes.
    if (left < 60) when = fmt(tr("%1$s s left"), {std::to_string(std::max(1, int(left)))});
    else if (left < 3600) when = fmt(tr("%1$s min left"), {std::to_string(int(left / 60 + 0.5))});
    else
        when = fmt(tr("%1$s h %2$s min left"),
                   {std::to_string(int(left / 3600)), std::to_string(int(std::fmod(left, 3600) / 60))});
    // TRANSLATORS: the download's speed ("48.2 MB") and the time left.
    return fmt(tr("%1$s/s, %2$s"), {human_bytes(p.speed), when});
}

}  // namespace launcher
