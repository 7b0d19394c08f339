// A forwarding proxy in front of the development backend, built on the recording test server:
// every request goes on to the backend as it came (verb, target, body, Authorization and
// Content-Type) and its answer comes back, the release files optionally dripping so that an
// install takes long enough to be interrupted. It counts manifest and release-file requests
// and keeps every answer body, so that tests can see the tokens the launcher was given.
// A test can have it hold one chosen request unanswered (hold_next), learn when that request
// arrived (wait_held) and then let it go (let_go), which answers 502 without passing it on:
// the launcher is then at a moment the test picked, however slowly the machine runs.
#pragma once
#include "backend/client.h"
#include "support/client_wait.h"
#include "support/test_server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace faults {

struct Proxy_State {
    std::atomic<int> blobs{0};
    std::atomic<int> manifests{0};
    std::mutex lock;
    std::vector<std::string> answers;  // every answer body, in order

    // The gate, guarded by gate_lock: the first request `hold` accepts is held until let_go.
    // Held requests are numbered; let_go releases every one held so far.
    std::mutex gate_lock;
    std::condition_variable gate_changed;
    std::function<bool(const support::Recorded_Request&)> hold;
    uint64_t held = 0;
    uint64_t released = 0;
    uint64_t awaited = 0;   // the number wait_held waits for
};

// Holds the request when the gate wants it: true (once let go) when it was held.
inline bool held_at_gate(Proxy_State& state, const support::Recorded_Request& r) {
    std::unique_lock guard(state.gate_lock);
    if (!state.hold || !state.hold(r)) return false;
    state.hold = nullptr;
    uint64_t ticket = ++state.held;
    state.gate_changed.notify_all();
    state.gate_changed.wait(guard, [&] { return state.released >= ticket; });
    return true;
}

// Sends `r` on to the backend and returns its answer (502 when none came).
inline support::Reply forward(const std::string& backend_url, const support::Recorded_Request& r) {
    static const std::map<std::string, backend::Method> verbs = {
        {"GET", backend::Method::GET}, {"POST", backend::Method::POST}, {"PUT", backend::Method::PUT},
        {"PATCH", backend::Method::PATCH}, {"DELETE", backend::Method::DELETE}};
    auto verb = verbs.find(r.method);
    backend::Client c;
    if (verb == verbs.end() || !backend::init(c, backend_url, "proxy", 15000)) return support::Reply{502, {}, ""};
    c.max_body = int64_t(64) << 20;
    if (const std::string* auth = r.header("Authorization")) backend::set_authorization(c, *auth);
    const std::string* type = r.header("Content-Type");
    backend::request_typed(c, verb->second, r.target, r.body, type ? *type : std::string());
    backend::Response got = support::wait_response(c, 15000);
    backend::destroy(c);
    if (got.status == 0) return support::Reply{502, {}, ""};
    return support::Reply{int(got.status), {}, std::move(got.body)};
}

struct Proxy {
    std::unique_ptr<support::Test_Server> front = support::start_test_server();
    std::shared_ptr<Proxy_State> seen = std::make_shared<Proxy_State>();

    // `drip_bytes` of 0 sends release files at full speed.
    Proxy(const std::string& backend_url, uint64_t drip_bytes = 0, int drip_ms = 0) {
        if (!front) return;
        auto state = seen;
        support::on(*front, "*", "*", [state, backend_url, drip_bytes, drip_ms](const support::Recorded_Request& r) {
            bool blob = r.path().rfind("/files/blobs/", 0) == 0;
            if (blob) ++state->blobs;
            if (r.path().rfind("/files/releases/", 0) == 0) ++state->manifests;
            if (held_at_gate(*state, r)) return support::Reply{502, {}, ""};
            support::Reply reply = forward(backend_url, r);
            {
                std::lock_guard held(state->lock);
                state->answers.push_back(reply.body);
            }
            if (blob && drip_bytes) {
                reply.drip_bytes = drip_bytes;
                reply.drip_ms = drip_ms;
            }
            return reply;
        });
    }
    ~Proxy() { let_go(); }
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    std::string url() const { return support::base_url(*front); }

    // Holds the first request from now on that `which` accepts (called on the proxy's threads).
    void hold_next(std::function<bool(const support::Recorded_Request&)> which) {
        std::lock_guard guard(seen->gate_lock);
        seen->hold = std::move(which);
        seen->awaited = seen->held + 1;
    }
    // True once the chosen request is being held; false when it did not come within `ms`.
    bool wait_held(int ms) {
        std::unique_lock guard(seen->gate_lock);
        return seen->gate_changed.wait_for(guard, std::chrono::milliseconds(ms),
                                           [&] { return seen->held >= seen->awaited; });
    }
    // Answers the held requests (502, nothing passed on) and forgets a choice that never came.
    void let_go() {
        std::lock_guard guard(seen->gate_lock);
        seen->hold = nullptr;
        seen->released = seen->held;
        seen->gate_changed.notify_all();
    }
    std::vector<std::string> answers() const {
        std::lock_guard held(seen->lock);
        return seen->answers;
    }
};

}  // namespace faults
