#include "server/rate_limit.h"

namespace server {

namespace {

void age(std::deque<int64_t>& times, int64_t now, int64_t window) {
    while (!times.empty() && times.front() <= now - window) times.pop_front();
}

}  // namespace

bool rate_limited(Rate_Limiter& limiter, std::string_view key, int64_t now) {
    std::lock_guard guard(limiter.lock);
    auto it = limiter.failures.find(std::string(key));
    if (it == limiter.failures.end()) return false;
    age(it->second, now, limiter.window);
    return static_cast<int>(it->second.size()) >= limiter.limit;
}

void rate_fail(Rate_Limiter& limiter, std::string_view key, int64_t now) {
    std::lock_guard guard(limiter.lock);
    if (now - limiter.last_sweep >= limiter.window) {
        limiter.last_sweep = now;
        for (auto it = limiter.failures.begin(); it != limiter.failures.end();) {
            age(it->second, now, limiter.window);
            it = it->second.empty() ? limiter.failures.erase(it) : std::next(it);
        }
    }
    auto& times = limiter.failures[std::string(key)];
    age(times, now, limiter.window);
    times.push_back(now);
}

void rate_clear(Rate_Limiter& limiter, std::string_view key) {
    std::lock_guard guard(limiter.lock);
    limiter.failures.erase(std::string(key));
}

}  // namespace server
