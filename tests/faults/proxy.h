// A forwarding proxy in front of the development backend, built on the recording test server:
// every request goes on to the backend as it came (verb, target, body, Authorization and
// Content-Type) and its answer comes back, the release files optionally dripping so that an
// install takes long enough to be interrupted. It counts manifest and release-file requests
// and keeps every answer body, so that tests can see the tokens the launcher was given.
#pragma once
#include "backend/client.h"
#include "support/client_wait.h"
#include "support/test_server.h"

#include <atomic>
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
};

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
    std::string url() const { return support::base_url(*front); }
    std::vector<std::string> answers() const {
        std::lock_guard held(seen->lock);
        return seen->answers;
    }
};

}  // namespace faults
