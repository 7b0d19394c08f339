// An HTTP/1.1 server inside the test process, on 127.0.0.1 with a port chosen by the OS.
//
// It records every request exactly as received (method, target with query, each header in
// order with its name as sent, body bytes) and answers each with a Reply chosen by method and
// path: any status, headers and body, or a misbehaving answer (late, dripping, cut, lying
// about its length, stalled, redirected, very large). It can also read request bodies slowly
// (read_bytes, read_ms), as a slow uplink takes them. One request per connection: each answer
// carries "Connection: close". With tls = true it speaks HTTPS with a self-signed certificate
// made at start-up, which a verifying client must refuse.
//
// Depends on the system's sockets (POSIX or Winsock, so it serves the Windows tests under Wine
// too) and OpenSSL. Stopping (stop() or destruction) wakes every delay, drip and stall and
// closes every connection.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace support {

struct Header {
    std::string name;
    std::string value;
};

struct Recorded_Request {
    std::string method;
    std::string target;   // as on the request line: path with query
    std::string version;  // "HTTP/1.1"
    std::vector<Header> headers;
    std::string body;     // decoded when it came chunked

    std::string path() const;  // target without the query
    // The first header of that name (compared without regard to case), or null.
    const std::string* header(std::string_view name) const;
};

struct Reply {
    int status = 200;
    std::vector<Header> headers;  // sent in this order after the length header
    std::string body;
    uint64_t fill_size = 0;       // when not 0 the body is this many `fill` bytes, made while sending
    char fill = 'x';
    int64_t content_length = -1;  // -1: the body's true length; otherwise announced as given (a lie)
    bool no_content_length = false;  // no length at all: the body ends when the connection closes
    bool chunked = false;
    int delay_ms = 0;             // before the status line
    uint64_t drip_bytes = 0;      // send the body in pieces of this size...
    int drip_ms = 0;              // ...one every drip_ms
    int64_t cut_after = -1;       // close the connection after this many body bytes
    int64_t stall_after = -1;     // stop after this many body bytes, holding the connection open
    bool stall = false;           // never answer; hold the connection until the server stops
    bool hang_up = false;         // close the connection without answering
};

using Handler = std::function<Reply(const Recorded_Request&)>;

struct Route {
    std::string method;  // or "*"
    std::string path;    // exact path without query, or "*"
    Handler handler;
};

struct Test_Server {
    intptr_t listen_fd = -1;   // a socket: int on POSIX, SOCKET on Windows
    uint16_t port = 0;
    void* tls = nullptr;  // SSL_CTX* in TLS mode

    mutable std::mutex lock;
    std::condition_variable changed;  // a request was recorded, or the server is stopping
    bool stopping = false;
    std::vector<Route> routes;
    std::vector<Recorded_Request> recorded;
    uint64_t read_bytes = 0;  // see read_slowly
    int read_ms = 0;
    uint64_t read_slowly_up_to = 0;
    size_t accepted = 0;
    std::set<intptr_t> open_fds;
    std::thread acceptor;
    std::vector<std::thread> connections;

    Test_Server() = default;
    Test_Server(const Test_Server&) = delete;
    Test_Server& operator=(const Test_Server&) = delete;
    ~Test_Server();
};

// Null (with a gtest failure added) when the server cannot be started.
std::unique_ptr<Test_Server> start_test_server(bool tls = false);
void stop(Test_Server& s);

// "http://127.0.0.1:PORT" (or https in TLS mode), without a trailing slash.
std::string base_url(const Test_Server& s);

// From now on the first `up_to` bytes of request bodies (with a Content-Length) are read in
// pieces of at most `bytes`, one every `every_ms`, through a receive buffer of about that size,
// so that the client's sending is paced by the reading, as on a slow uplink; the rest is read at
// full speed. 0 bytes reads at full speed again.
void read_slowly(Test_Server& s, uint64_t bytes, int every_ms, uint64_t up_to = UINT64_MAX);

// The latest route matching a request wins; a request matching none gets 404 with an empty body.
void on(Test_Server& s, std::string method, std::string path, Reply reply);
void on(Test_Server& s, std::string method, std::string path, Handler handler);

std::vector<Recorded_Request> requests(const Test_Server& s);  // thread-safe copy
bool wait_for_requests(Test_Server& s, size_t n, int timeout_ms);
size_t connection_count(const Test_Server& s);  // connections accepted so far

Reply redirect(int status, std::string location);
Reply text(int status, std::string body);

}  // namespace support
