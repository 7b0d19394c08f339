// The HTTP front of the server, on libmicrohttpd: one epoll loop per core holds every
// connection, whatever its state (head, body, idle), for a bounded number of bytes and no
// thread; a request whose route needs the database or a password hash goes to a worker pool
// only once it is whole. Static files are answered from the loop itself (sendfile).
//
// What is decided from the head, before any body byte is read: unknown methods 501; a body
// without a Content-Length (chunked, or none on POST/PUT/PATCH) 411; a compressed body 415;
// a length past the route's limit 413 (JSON 1 MiB, map uploads 16 MiB); an upload without a
// valid token 401. `100 Continue` goes out only after those checks. A body must then keep
// `body_min_rate` averaged over each `body_window_ms` from its start, or it is cut with 408 (a
// body that stops altogether is closed after `connection_timeout_seconds`). Map uploads are written to an unlinked temporary file as they arrive, not held in memory.
//
// Connections: an address holds at most `per_address_connections` (503 beyond, the trusted
// proxies excepted); the soft descriptor limit is raised to the hard one at start and a reserve
// below it is kept for files, the database and uploads: at the limit new connections wait in
// the kernel's backlog. A file that cannot be opened for lack of descriptors is 503, never 404.
// A connection quiet for `connection_timeout_seconds` is closed, and so is one that has not
// brought a whole request head within `head_deadline_seconds` of its accept or its previous
// answer, however it trickles it. A connection has `connection_memory` bytes for its head and
// buffers, whatever its state: heads past about half of it get 431.
//
// Optionally a second address (--admin) serves /metrics (Prometheus text), /healthz and
// /readyz; never the public one.
//
// Depends on libmicrohttpd (Debian 0.9.75), server.h, workers.h, metrics.h, ranges.h and
// multipart.h. Linux only.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "server/server.h"

namespace server {

constexpr unsigned connection_timeout_seconds = 10;
constexpr int head_deadline_seconds = 10;
constexpr size_t connection_memory = 12 * 1024;
constexpr int64_t body_window_ms = 10000;
constexpr int64_t body_min_rate = 1024;  // bytes per second, averaged over a window
// A body refused from the head is still read and dropped up to this length when its client did
// not wait for 100 Continue, so that the client reads the answer rather than a reset.
constexpr uint64_t discard_limit = 64 << 20;

struct Http_Front;
struct Http_Front_Free {
    void operator()(Http_Front* front) const;
};

struct Http {
    std::unique_ptr<Http_Front, Http_Front_Free> front;
    std::string host;
    int port = 0;
    int admin_port = 0;  // 0: no admin address
};

// Binds `host`:`port` (port 0 picks a free one, stored in `Http::port`), and the admin address
// of the server's options when it has one, and serves on background threads. Returns an error
// text, empty on success.
std::string http_start(Server& server, Http& http, const std::string& host, int port);
// Stops serving and joins every thread; does nothing when not started.
void http_stop(Http& http);

// "http://HOST:PORT", with brackets around an IPv6 host.
std::string base_url(const std::string& host, int port);

}  // namespace server
