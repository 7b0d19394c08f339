// Play offline: when a saved sign-in cannot be resumed because the backend does not answer (or
// answers with a server error), and the game is installed, the sign-in screen offers to start the
// game all the same, while the resume is retried in the background until the backend answers.
// A rejection by the backend still signs the player out and takes the offer away.
//
// Depends on the launcher state (launcher.h), the session and the install record. Main thread.
#pragma once

namespace launcher {

struct Launcher;

struct Offline {
    bool offered = false;   // the sign-in screen shows "Play offline"
    int attempts = 0;       // resumes that failed since the offer appeared
    double next_try = 0;    // gfx::time() at which the next background resume starts
};

// Seconds to wait before the next resume after `attempt` failed ones (1, 2, ...): doubling from
// 5 s up to 50 s, scaled by 0.8 to 1.2 with `spread` (0 to 1) so that the launchers of an outage
// do not all return in the same second; never more than a minute.
double offline_retry_delay(int attempt, double spread);

// After session_update: `resuming` says whether a resume was outstanding before it, `events`
// what it reported. Offers, keeps or withdraws "Play offline" and schedules the next resume.
void offline_on_session(Launcher& state, bool resuming, unsigned events);
// Starts the background resume when one is due (never while the game runs or another
// authentication request is outstanding).
void offline_update(Launcher& state);
// Under the sign-in form's message at `y`: "Play offline" while it is offered, and under it when
// the next try is due ("Trying again in 12 s") with "Try again" to try at once. Returns the
// height it took, 0 when nothing was drawn.
float draw_play_offline(Launcher& state, float y);

}  // namespace launcher
