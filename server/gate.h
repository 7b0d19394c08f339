// The connection gate: accepts connections and holds each in one epoll loop, without a thread,
// until a whole request head (request line and headers) has arrived; only then does a worker
// thread serve the request. Slow or silent clients therefore cost a file descriptor, never a
// thread, and a client dripping its headers a byte at a time cannot hold the workers.
//
// Limits, each answered the way a browser or proxy understands:
//   - a request head must arrive whole within `head_deadline` of its first byte (408, closed);
//     a kept-alive connection may stay quiet `idle_timeout` between requests (closed);
//   - a head is at most `head_limit` bytes and `header_line_limit` lines (431, closed);
//   - a client address holds at most `Gate_Options::per_address` connections (503 to the rest),
//     except the trusted proxies, which carry many clients;
//   - the listen backlog is the system's maximum (SOMAXCONN), so a burst of connects queues in
//     the kernel instead of being refused or retried after a second.
// A body is read by the worker, with a deadline that grows with its announced length
// (`body_base_seconds` plus a second per `body_min_rate` bytes), so a trickled body is cut off.
//
// Depends on Linux epoll and the standard library only.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace server {

constexpr int head_deadline_ms = 5000;
constexpr int idle_timeout_ms = 5000;
constexpr size_t head_limit = 32 * 1024;
constexpr size_t header_line_limit = 100;
constexpr int64_t body_base_seconds = 10;
constexpr int64_t body_min_rate = 16 * 1024;  // bytes per second, averaged over the body

// One connection handed to a worker, its request head complete in the socket.
struct Gate_Connection {
    int fd = -1;
    std::string address;  // the peer's address, as text
    int port = 0;
    size_t head_size = 0;         // bytes of the request head waiting in the socket
    int64_t content_length = 0;   // announced body length (0 if none)
    bool must_close = false;      // the head asks for something the connection can't survive
};

struct Gate_Options {
    size_t per_address = 64;
    std::vector<std::string> unlimited;  // addresses without a per-address cap
    size_t worker_limit = 1024;
};

// Serves the request(s) of a connection; true hands the connection back to the gate to wait
// for its next request, false closes it.
using Gate_Serve = std::function<bool(Gate_Connection&)>;

struct Gate;
struct Gate_Free {
    void operator()(Gate* gate) const;
};
using Gate_Handle = std::unique_ptr<Gate, Gate_Free>;

// Binds host:port (0 picks a free port) and starts the gate's thread. Returns an error text,
// empty on success; `bound_port` gets the port.
std::string gate_start(Gate_Handle& gate, const std::string& host, int port,
                       const Gate_Options& options, Gate_Serve serve, int& bound_port);
// Stops accepting, closes the waiting connections and joins every thread.
void gate_stop(Gate_Handle& gate);

// What the gate learned from a complete head: the announced body length, and whether the head
// forces the connection closed after the answer. False when the head breaks the caps.
bool gate_read_head(std::string_view head, Gate_Connection& out);

}  // namespace server
