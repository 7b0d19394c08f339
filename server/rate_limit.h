// Counting failed sign-ins so that passwords cannot be guessed at speed.
//
// Keys are free text ("email:..." or "client:..."). A key is limited while it has `limit` or
// more failures within the last `window` seconds (a sliding window). Thread-safe. Memory stays
// bounded: keys whose failures have all aged out are swept as new failures arrive.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace server {

struct Rate_Limiter {
    int limit = 5;
    int64_t window = 60;
    std::mutex lock;
    std::unordered_map<std::string, std::deque<int64_t>> failures;
    int64_t last_sweep = 0;
};

bool rate_limited(Rate_Limiter& limiter, std::string_view key, int64_t now);
void rate_fail(Rate_Limiter& limiter, std::string_view key, int64_t now);
void rate_clear(Rate_Limiter& limiter, std::string_view key);

}  // namespace server
