#include "server/metrics.h"

#include <cstdio>

namespace server {

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

void head(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void single(std::string& out, std::string_view name, std::string_view type, std::string_view help,
            double value) {
    head(out, name, type, help);
    out += name;
    out += ' ';
    out += number(value);
    out += '\n';
}

}  // namespace

std::string route_label(std::string_view path) {
    static const char* const fixed[] = {"/news.json",       "/account.html",     "/v1/auth/register",
                                        "/v1/auth/login",   "/v1/auth/refresh",  "/v1/auth/logout",
                                        "/v1/me",           "/v1/maps"};
    for (const char* route : fixed)
        if (path == route) return route;
    if (path.substr(0, 7) == "/files/") return "/files/*";
    if (path.substr(0, 9) == "/v1/maps/" && path.size() > 18 &&
        path.substr(path.size() - 9) == "/download")
        return "/v1/maps/*/download";
    return "other";
}

void metrics_record(Metrics& metrics, const std::string& route, int status, double seconds) {
    std::lock_guard guard(metrics.lock);
    Route_Stats& r = metrics.routes[route];
    ++r.by_status[status];
    ++r.count;
    r.seconds += seconds;
    for (size_t i = 0; i < latency_buckets.size(); ++i) {
        if (seconds <= latency_buckets[i]) {
            ++r.buckets[i];
            break;
        }
    }
}

std::string metrics_text(Metrics& metrics, const std::vector<Gauge>& gauges) {
    std::string out;
    {
        std::lock_guard guard(metrics.lock);
        head(out, "tarnwick_http_requests_total", "counter", "Requests answered, by route and status.");
        for (const auto& [route, r] : metrics.routes)
            for (const auto& [status, count] : r.by_status)
                out += "tarnwick_http_requests_total{route=\"" + route + "\",status=\"" +
                       std::to_string(status) + "\"} " + std::to_string(count) + "\n";
        head(out, "tarnwick_http_request_seconds", "histogram",
             "Time from a request's head to its answer, by route.");
        for (const auto& [route, r] : metrics.routes) {
            uint64_t cumulative = 0;
            std::string label = "tarnwick_http_request_seconds_bucket{route=\"" + route + "\",le=\"";
            for (size_t i = 0; i < latency_buckets.size(); ++i) {
                cumulative += r.buckets[i];
                out += label + number(latency_buckets[i]) + "\"} " + std::to_string(cumulative) + "\n";
            }
            out += label + "+Inf\"} " + std::to_string(r.count) + "\n";
            out += "tarnwick_http_request_seconds_sum{route=\"" + route + "\"} " + number(r.seconds) + "\n";
            out += "tarnwick_http_request_seconds_count{route=\"" + route + "\"} " +
                   std::to_string(r.count) + "\n";
        }
    }
    head(out, "tarnwick_http_connections", "gauge", "Open connections, by state.");
    int64_t open = metrics.open.load(), receiving = metrics.receiving.load(),
            handling = metrics.handling.load();
    int64_t other = open - receiving - handling;
    for (const auto& [state, value] : {std::pair<const char*, int64_t>{"receiving_body", receiving},
                                       {"with_worker", handling},
                                       {"idle_or_head", other < 0 ? 0 : other}})
        out += std::string("tarnwick_http_connections{state=\"") + state + "\"} " +
               std::to_string(value) + "\n";
    single(out, "tarnwick_http_per_address_refusals_total", "counter",
           "Connections answered 503 because their address held too many.",
           double(metrics.per_address_refusals.load()));
    single(out, "tarnwick_http_slow_bodies_total", "counter",
           "Request bodies cut with 408 for arriving slower than the minimum rate.",
           double(metrics.slow_bodies.load()));
    single(out, "tarnwick_http_descriptor_waits_total", "counter",
           "Times accepting paused to keep the descriptor reserve.",
           double(metrics.descriptor_waits.load()));
    single(out, "tarnwick_http_busy_files_total", "counter",
           "Files answered 503 because no descriptor was free to open them.",
           double(metrics.busy_files.load()));
    single(out, "tarnwick_limiter_refusals_total", "counter",
           "Sign-ins and registrations answered 429 by the limiter.",
           double(metrics.limiter_refusals.load()));
    for (const Gauge& g : gauges) single(out, g.name, "gauge", g.help, g.value);
    return out;
}

}  // namespace server
