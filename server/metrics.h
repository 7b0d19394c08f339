// What the server counts for the studio's monitoring, and its rendering in Prometheus' text
// exposition format (version 0.0.4): requests by route and status, a latency histogram per
// route, and counters and gauges the HTTP front and the handlers report.
//
// Depends on the standard library only. Routes are a fixed, small set of labels (a map id or a
// file name never becomes a label), so the series stay bounded whatever clients ask for.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace server {

// Upper bounds of the latency buckets, in seconds.
constexpr std::array<double, 11> latency_buckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                    0.5,   1,    2.5,   5,    10};

struct Route_Stats {
    std::map<int, uint64_t> by_status;
    std::array<uint64_t, latency_buckets.size()> buckets{};  // not cumulative
    uint64_t count = 0;
    double seconds = 0;
};

struct Metrics {
    std::mutex lock;
    std::map<std::string, Route_Stats> routes;
    // Connections by state.
    std::atomic<int64_t> open{0};         // accepted and not yet closed
    std::atomic<int64_t> receiving{0};    // a request body is arriving
    std::atomic<int64_t> handling{0};     // the request is whole and with a worker
    // Refusals.
    std::atomic<uint64_t> per_address_refusals{0};  // 503 at accept: the address's cap
    std::atomic<uint64_t> slow_bodies{0};           // 408: a body under the minimum rate
    std::atomic<uint64_t> descriptor_waits{0};      // accepting paused to keep the reserve
    std::atomic<uint64_t> busy_files{0};            // 503: a file could not be opened for lack of descriptors
    std::atomic<uint64_t> limiter_refusals{0};      // 429 from the sign-in limiter
};

// A value sampled when the metrics are read.
struct Gauge {
    std::string name;
    std::string help;
    double value = 0;
};

// The route label of a request path: the path itself for fixed routes, a pattern for the
// others, "other" for anything unknown.
std::string route_label(std::string_view path);

void metrics_record(Metrics& metrics, const std::string& route, int status, double seconds);

// The whole exposition: the counters above, then `gauges`.
std::string metrics_text(Metrics& metrics, const std::vector<Gauge>& gauges);

}  // namespace server
