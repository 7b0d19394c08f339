// The HTTP front on libmicrohttpd.
//
// Index:
//   Front            the state shared by the loops, the accept thread and the workers
//   Accepting        the accept thread: per-address caps, the descriptor reserve
//   Exchange         one request's state from its head to its answer
//   Answers          Reply to libmicrohttpd response: files, ranges, JSON errors
//   Requests         the access handler: decisions from the head, the body, the hand-over
//   Admin            /metrics, /healthz, /readyz on the admin address
//   Start and stop
#include "server/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "server/accounts.h"
#include "server/metrics.h"
#include "server/multipart.h"
#include "server/ranges.h"
#include "server/workers.h"

namespace server {

// ---------------------------------------------------------------------------------------------
// Front
// ---------------------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

// A connection as the accept thread sees it, for the head deadline.
struct Held {
    std::string address;
    int fd = -1;
    bool in_request = false;     // a head has arrived and its answer is not finished
    Clock::time_point since;     // accepted, or its last answer finished
};

struct Http_Front {
    Server* server = nullptr;
    MHD_Daemon* daemon = nullptr;
    MHD_Daemon* admin = nullptr;
    int listen_fd = -1;
    int admin_fd = -1;
    std::thread acceptor;
    std::atomic<bool> stopping{false};
    Workers workers;
    Metrics metrics;
    size_t connection_cap = 0;  // connections held at once: the descriptor limit less a reserve

    std::mutex lock;  // guards per_address, held and each Held
    std::unordered_map<std::string, size_t> per_address;
    std::unordered_set<Held*> held;
};

namespace {

bool same_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string address_text(const sockaddr* addr) {
    char text[INET6_ADDRSTRLEN] = "";
    if (!addr) return text;
    if (addr->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
    else if (addr->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text,
                    sizeof text);
    return text;
}

bool trusted(const Server& server, const std::string& peer) {
    const auto& list = server.options.trusted_proxies;
    return std::find(list.begin(), list.end(), peer) != list.end();
}

// ---------------------------------------------------------------------------------------------
// Accepting
// ---------------------------------------------------------------------------------------------

// Room for the connections the server is meant to hold: the soft limit is often 1,024. Returns
// the soft limit in force afterwards.
size_t raise_descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? size_t(1) << 20 : static_cast<size_t>(limit.rlim_cur);
}

// Descriptors kept free for what requests open: files being sent, database connections, uploads.
size_t descriptor_reserve(size_t limit) { return std::clamp<size_t>(limit / 8, 64, 1024); }

void refuse_busy_address(int fd) {
    static const char answer[] =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
        "Connection: close\r\nRetry-After: 1\r\nContent-Length: 32\r\n\r\n"
        "{\"error\":\"too_many_connections\"}";
    ssize_t ignored = ::send(fd, answer, sizeof answer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
    ::close(fd);
}

void forget_connection(Http_Front& f, const std::string& address) {
    --f.metrics.open;
    std::lock_guard guard(f.lock);
    auto it = f.per_address.find(address);
    if (it != f.per_address.end() && --it->second == 0) f.per_address.erase(it);
}

// A connection must bring a whole request head within `head_deadline_seconds` of its accept or
// of its previous answer, however it trickles it: past that it is shut, which the loop sees as
// the client leaving. Called under no lock, twice a second.
void close_late_heads(Http_Front& f) {
    auto late = Clock::now() - std::chrono::seconds(head_deadline_seconds);
    std::lock_guard guard(f.lock);
    // Under the lock a connection cannot finish closing, so its descriptor is still its own.
    for (Held* h : f.held)
        if (!h->in_request && h->since < late) ::shutdown(h->fd, SHUT_RDWR);
}

// Accepts connections and hands them to the loops. At the connection cap it stops accepting, so
// new clients wait in the kernel's backlog until a connection closes, instead of being accepted
// into a process with no descriptor left for the files they ask for.
void accept_loop(Http_Front& f) {
    bool waiting = false;
    auto last_sweep = Clock::now();
    while (!f.stopping.load()) {
        if (Clock::now() - last_sweep >= std::chrono::milliseconds(500)) {
            last_sweep = Clock::now();
            close_late_heads(f);
        }
        if (static_cast<size_t>(f.metrics.open.load()) >= f.connection_cap) {
            if (!waiting) ++f.metrics.descriptor_waits;
            waiting = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        waiting = false;
        pollfd p{f.listen_fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        int fd = ::accept4(f.listen_fd, reinterpret_cast<sockaddr*>(&addr), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors after all (another part of the process took them): the client
            // stays in the backlog for a moment.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                ++f.metrics.descriptor_waits;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            continue;
        }
        std::string address = address_text(reinterpret_cast<sockaddr*>(&addr));
        {
            std::lock_guard guard(f.lock);
            size_t& count = f.per_address[address];
            if (count >= f.server->options.per_address_connections && !trusted(*f.server, address)) {
                ++f.metrics.per_address_refusals;
                refuse_busy_address(fd);
                continue;
            }
            ++count;
        }
        ++f.metrics.open;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // On failure the library has closed the socket, and will not report it closed.
        if (MHD_add_connection(f.daemon, fd, reinterpret_cast<sockaddr*>(&addr), length) != MHD_YES)
            forget_connection(f, address);
    }
}

// The connection's record: its address (counted at accept) and its place in the head deadline.
void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                   MHD_ConnectionNotificationCode code) {
    auto& f = *static_cast<Http_Front*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        auto* h = new Held;
        h->address = address_text(info ? info->client_addr : nullptr);
        h->fd = fd ? fd->connect_fd : -1;
        h->since = Clock::now();
        *socket_context = h;
        std::lock_guard guard(f.lock);
        f.held.insert(h);
        return;
    }
    auto* h = static_cast<Held*>(*socket_context);
    if (!h) return;
    {
        std::lock_guard guard(f.lock);
        f.held.erase(h);
    }
    forget_connection(f, h->address);
    delete h;
    *socket_context = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Exchange
// ---------------------------------------------------------------------------------------------

enum class Phase {
    checking,  // with a worker: the upload's token
    body,      // the body is arriving
    discarding,  // refused from the head: the body is read and dropped, then `reply` answers
    working,   // with a worker, or answered from the loop: `reply` is queued at the next call
    answered,  // a response is queued
};

struct Exchange {
    Http_Front* front = nullptr;
    MHD_Connection* connection = nullptr;
    Phase phase = Phase::body;
    Request request;
    std::string target;  // for the log: the path and the query's keys
    std::string route;
    Clock::time_point began = Clock::now();
    int status = 0;  // of the queued answer

    uint64_t announced = 0;
    uint64_t received = 0;
    Clock::time_point window_start = began;
    uint64_t window_bytes = 0;
    bool counted_receiving = false;

    int upload_fd = -1;  // an unlinked temporary file the upload is written to
    bool upload_failed = false;
    Reply reply;  // from the worker
    bool refused = false;  // the worker's check refused the request: `reply` says how

    ~Exchange() {
        if (upload_fd >= 0) ::close(upload_fd);
        if (counted_receiving) --front->metrics.receiving;
    }
};

// ---------------------------------------------------------------------------------------------
// Answers
// ---------------------------------------------------------------------------------------------

const char* header(MHD_Connection* c, const char* name) {
    return MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
}

void add_headers(MHD_Response* response, const Reply& reply) {
    MHD_add_response_header(response, "Content-Type", reply.content_type.c_str());
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : reply.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
}

MHD_Response* buffer_response(const Reply& reply) {
    MHD_Response* response = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response) add_headers(response, reply);
    return response;
}

// A file's bytes, a single range of them, or the error that stands for them.
MHD_Response* file_response(Http_Front& f, MHD_Connection* c, const Reply& reply, int& status) {
    int fd = ::open(reply.file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // The file is there but no descriptor is free: a moment later it will be.
        if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) {
            ++f.metrics.busy_files;
            Reply busy = error_reply(503, "busy");
            busy.headers.emplace_back("Retry-After", "1");
            status = 503;
            return buffer_response(busy);
        }
        status = 404;
        return buffer_response(error_reply(404, "not_found"));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        status = 404;
        return buffer_response(error_reply(404, "not_found"));
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    Byte_Range range;
    // A conditional range names a version of the file; none is published, so it never matches
    // and the whole file goes out.
    const char* asked = header(c, "Range");
    if (asked && !header(c, "If-Range")) range = byte_range(asked, size);
    if (range.kind == Byte_Range::unsatisfiable) {
        ::close(fd);
        Reply refused = error_reply(416, "range_not_satisfiable");
        refused.headers.emplace_back("Content-Range", content_range(range, size));
        status = 416;
        return buffer_response(refused);
    }
    uint64_t first = range.kind == Byte_Range::part ? range.first : 0;
    uint64_t length = range.kind == Byte_Range::part ? range.length : size;
    MHD_Response* response = MHD_create_response_from_fd_at_offset64(length, fd, first);
    if (!response) {
        ::close(fd);
        status = 500;
        return buffer_response(error_reply(500, "server_error"));
    }
    add_headers(response, reply);
    MHD_add_response_header(response, "Accept-Ranges", "bytes");
    status = reply.status;
    if (range.kind == Byte_Range::part) {
        status = 206;
        MHD_add_response_header(response, "Content-Range", content_range(range, size).c_str());
    }
    return response;
}

MHD_Result answer(Exchange& x, const Reply& reply) {
    int status = reply.status;
    MHD_Response* response = reply.file.empty()
                                 ? buffer_response(reply)
                                 : file_response(*x.front, x.connection, reply, status);
    if (!response) return MHD_NO;
    x.status = status;
    x.phase = Phase::answered;
    if (status == 429) ++x.front->metrics.limiter_refusals;
    MHD_Result queued = MHD_queue_response(x.connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result answer_error(Exchange& x, int status, std::string_view code) {
    return answer(x, error_reply(status, code));
}

// The library queues no answer while a body is arriving, so the 408 for a body too slow to wait
// for is written straight to the socket (its buffer takes a few hundred bytes at once) and the
// connection is closed.
MHD_Result cut_slow_body(Exchange& x) {
    static const char answer[] =
        "HTTP/1.1 408 Request Timeout\r\nContent-Type: application/json\r\n"
        "X-Content-Type-Options: nosniff\r\nConnection: close\r\nContent-Length: 27\r\n\r\n"
        "{\"error\":\"request_timeout\"}";
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(x.connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) {
        ssize_t ignored = ::send(info->connect_fd, answer, sizeof answer - 1,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)ignored;
        ::shutdown(info->connect_fd, SHUT_WR);
    }
    x.status = 408;
    return MHD_NO;
}

bool expects_continue(MHD_Connection* c) {
    const char* expect = header(c, "Expect");
    return expect && same_folded(expect, "100-continue");
}

// A request refused before its body: a client that waits for 100 Continue is answered at once;
// one that sends its body anyway has it read and dropped first (up to `discard_limit`, at the
// minimum rate), since closing on unread bytes resets the connection and may destroy the answer
// before the client reads it.
MHD_Result refuse(Exchange& x, Reply reply) {
    if (x.announced == 0 || x.announced > discard_limit || expects_continue(x.connection))
        return answer(x, reply);
    x.reply = std::move(reply);
    x.phase = Phase::discarding;
    return MHD_YES;
}

// A request has begun on the connection, or its answer has finished.
void mark_request(Http_Front& f, MHD_Connection* c, bool in_request) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    auto* h = info ? static_cast<Held*>(info->socket_context) : nullptr;
    if (!h) return;
    std::lock_guard guard(f.lock);
    h->in_request = in_request;
    h->since = Clock::now();
}

// Written once the answer has gone out (or the connection ended without one).
void on_completed(void* cls, MHD_Connection* c, void** con_cls, MHD_RequestTerminationCode) {
    auto& f = *static_cast<Http_Front*>(cls);
    auto* x = static_cast<Exchange*>(*con_cls);
    if (!x) return;
    mark_request(f, c, false);
    *con_cls = nullptr;
    if (x->status != 0) {
        auto elapsed = Clock::now() - x->began;
        int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        metrics_record(f.metrics, x->route, x->status,
                       std::chrono::duration<double>(elapsed).count());
        f.server->log(log_line(x->request.method, x->target, x->status, ms));
    }
    delete x;
}

// ---------------------------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------------------------

bool known_method(std::string_view m) {
    return m == "GET" || m == "HEAD" || m == "POST" || m == "PUT" || m == "PATCH" ||
           m == "DELETE" || m == "OPTIONS";
}

bool is_upload(const Request& r) { return r.method == "POST" && r.path == "/v1/maps"; }

// Query arguments as the client sent them, decoded, and the log's target without their values.
MHD_Result collect_argument(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* x = static_cast<Exchange*>(cls);
    x->request.query.emplace_back(key ? key : "", value ? value : "");
    x->target += x->request.query.size() == 1 ? '?' : '&';
    x->target += key ? key : "";
    if (value) x->target += '=';
    return MHD_YES;
}

// Decodes %XX in the path and the query; a decoded NUL becomes DEL, which every route refuses,
// so that a C string cannot end early on the client's word.
size_t unescape(void*, MHD_Connection*, char* s) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    char* out = s;
    for (char* in = s; *in; ++in) {
        int hi, lo;
        if (in[0] == '%' && (hi = hex(in[1])) >= 0 && (lo = hex(in[2])) >= 0) {
            char c = static_cast<char>(hi * 16 + lo);
            *out++ = c == '\0' ? '\x7f' : c;
            in += 2;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    return static_cast<size_t>(out - s);
}

// Hands `job` to a worker with the connection suspended until the job resumes it. False when
// the server is stopping.
bool hand_over(Exchange& x, std::function<void()> job) {
    Http_Front& f = *x.front;
    if (f.stopping.load()) return false;
    ++f.metrics.handling;
    MHD_suspend_connection(x.connection);
    workers_run(f.workers, [&f, &x, job = std::move(job)] {
        try {
            job();
        } catch (const std::exception& e) {
            f.server->log(std::string("error: ") + e.what());
            x.reply = error_reply(500, "server_error");
            x.refused = true;
        }
        --f.metrics.handling;
        MHD_resume_connection(x.connection);
    });
    return true;
}

// The whole request, on a worker: the body from memory or the upload's file, then the handler.
void serve_whole(Exchange& x) {
    Request& r = x.request;
    if (x.upload_fd >= 0) {
        r.body.resize(x.received);
        size_t got = 0;
        while (got < r.body.size()) {
            ssize_t n = ::pread(x.upload_fd, r.body.data() + got, r.body.size() - got,
                                static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        if (got != r.body.size()) {
            x.reply = error_reply(500, "server_error");
            return;
        }
    }
    std::string boundary;
    if (multipart_boundary(r.content_type, boundary)) {
        r.multipart = true;
        if (!multipart_parse(r.body, boundary, r.parts)) {
            x.reply = error_reply(400, "bad_request");
            return;
        }
        r.body.clear();
    }
    x.reply = handle(*x.front->server, r);
}

// Takes a chunk of the body; false when the body has fallen below the minimum rate.
// True when the window that just closed brought less than the minimum rate; starts the next.
bool too_slow(Exchange& x) {
    auto now = Clock::now();
    int64_t window_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - x.window_start).count();
    if (window_ms < body_window_ms) return false;
    if (x.window_bytes * 1000 < static_cast<uint64_t>(body_min_rate * window_ms)) return true;
    x.window_start = now;
    x.window_bytes = 0;
    return false;
}

bool take_body(Exchange& x, const char* data, size_t size) {
    x.received += size;
    x.window_bytes += size;
    if (too_slow(x)) return false;
    if (x.upload_fd >= 0) {
        while (size > 0 && !x.upload_failed) {
            ssize_t n = ::write(x.upload_fd, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) x.upload_failed = true;
            else data += n, size -= static_cast<size_t>(n);
        }
    } else {
        x.request.body.append(data, size);
    }
    return true;
}

// The first call: everything the head decides.
MHD_Result on_head(Http_Front& f, MHD_Connection* c, Exchange& x, const char* url,
                   const char* method) {
    mark_request(f, c, true);
    Request& r = x.request;
    r.method = method;
    r.path = url;
    x.target = url;
    x.route = route_label(r.path);
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, collect_argument, &x);
    const char* authorization = header(c, "Authorization");
    const char* content_type = header(c, "Content-Type");
    r.authorization = authorization ? authorization : "";
    r.content_type = content_type ? content_type : "";
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    r.client = address_text(info ? info->client_addr : nullptr);
    // Behind a proxy every request comes from the proxy's address; it names the real client.
    // Anyone else may write the header too, so it counts only from the configured proxies.
    const char* real = header(c, "X-Real-IP");
    if (real && trusted(*f.server, r.client)) r.client = real;

    if (!known_method(r.method)) return answer_error(x, 501, "not_implemented");
    bool head_request = r.method == "HEAD";
    if (head_request) r.method = "GET";
    // Chunked bodies, and bodies of these methods without a length, have no end known ahead:
    // refused before a byte of them is read.
    const char* length = header(c, "Content-Length");
    bool body_method = r.method == "POST" || r.method == "PUT" || r.method == "PATCH";
    if (header(c, "Transfer-Encoding") || (body_method && !length))
        return answer_error(x, 411, "length_required");
    const char* encoding = header(c, "Content-Encoding");
    if (length) {
        char* end = nullptr;
        errno = 0;
        x.announced = std::strtoull(length, &end, 10);
        if (errno != 0 || end == length || *end != '\0') return answer_error(x, 400, "bad_request");
    }
    if (encoding && !same_folded(encoding, "identity"))
        return refuse(x, error_reply(415, "unsupported_encoding"));
    size_t limit = is_upload(r) ? request_limit : json_body_limit;
    if (x.announced > limit) return refuse(x, error_reply(413, "too_big"));

    // Files are answered from the loop, at the request's end: an answer queued before it would
    // close a kept-alive connection.
    if (x.announced == 0 && handle_without_store(*f.server, r, x.reply)) {
        x.phase = Phase::working;
        return MHD_YES;
    }

    if (is_upload(r)) {
        // An upload is written to disk as it arrives: only for someone signed in, so its token
        // is checked (on a worker: it takes the database) before the body is read.
        x.phase = Phase::checking;
        if (!hand_over(x, [&x] {
                int64_t account = 0;
                x.refused = !bearer(*x.front->server, x.request, account, x.reply);
            }))
            return MHD_NO;
        return MHD_YES;
    }
    x.phase = Phase::body;
    return MHD_YES;
}

MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method,
                      const char*, const char* upload_data, size_t* upload_data_size,
                      void** con_cls) {
    auto& f = *static_cast<Http_Front*>(cls);
    auto* x = static_cast<Exchange*>(*con_cls);
    if (!x) {
        x = new Exchange;
        x->front = &f;
        x->connection = c;
        *con_cls = x;
        return on_head(f, c, *x, url, method);
    }
    switch (x->phase) {
        case Phase::checking:
            if (x->refused) return refuse(*x, x->reply);
            if (x->announced > 0) {
                std::string pattern = f.server->options.data_dir + "/.upload-XXXXXX";
                x->upload_fd = ::mkostemp(pattern.data(), O_CLOEXEC);
                if (x->upload_fd < 0) return answer_error(*x, 503, "busy");
                ::unlink(pattern.c_str());
            }
            x->phase = Phase::body;
            return MHD_YES;
        case Phase::body:
            if (*upload_data_size > 0) {
                if (!x->counted_receiving) {
                    x->counted_receiving = true;
                    ++f.metrics.receiving;
                }
                if (!take_body(*x, upload_data, *upload_data_size)) {
                    ++f.metrics.slow_bodies;
                    return cut_slow_body(*x);
                }
                *upload_data_size = 0;
                return MHD_YES;
            }
            if (x->counted_receiving) {
                x->counted_receiving = false;
                --f.metrics.receiving;
            }
            if (x->upload_failed) return answer_error(*x, 503, "busy");
            x->phase = Phase::working;
            if (!hand_over(*x, [x] { serve_whole(*x); })) return MHD_NO;
            return MHD_YES;
        case Phase::discarding:
            if (*upload_data_size == 0) return answer(*x, x->reply);
            x->received += *upload_data_size;
            x->window_bytes += *upload_data_size;
            *upload_data_size = 0;
            if (too_slow(*x)) {
                ++f.metrics.slow_bodies;
                return cut_slow_body(*x);
            }
            return MHD_YES;
        case Phase::working:
            return answer(*x, x->reply);
        case Phase::answered:
            *upload_data_size = 0;
            return MHD_YES;
    }
    return MHD_NO;
}

// ---------------------------------------------------------------------------------------------
// Admin
// ---------------------------------------------------------------------------------------------

std::vector<Gauge> sampled_gauges(Http_Front& f) {
    Server& s = *f.server;
    std::vector<Gauge> out;
    {
        std::lock_guard guard(s.hash_slots.lock);
        out.push_back({"tarnwick_hash_slots_running", "Password hashes running.",
                       double(s.hash_slots.running)});
        out.push_back({"tarnwick_hash_slots_waiting", "Password hashes waiting for a slot.",
                       double(s.hash_slots.waiting.size())});
    }
    {
        std::lock_guard guard(s.store.lock);
        out.push_back({"tarnwick_db_pool_waiting", "Requests waiting for a database connection.",
                       double(s.store.waiters.size())});
        out.push_back({"tarnwick_db_pool_open", "Database connections open, idle or leased.",
                       double(s.store.open)});
    }
    size_t queued = 0, busy = 0;
    workers_load(f.workers, queued, busy);
    out.push_back({"tarnwick_workers_queued", "Whole requests waiting for a worker.", double(queued)});
    out.push_back({"tarnwick_workers_busy", "Workers serving a request.", double(busy)});
    out.push_back({"tarnwick_connection_cap", "Connections held at most (descriptors less the reserve).",
                   double(f.connection_cap)});
    return out;
}

MHD_Result admin_text(MHD_Connection* c, unsigned status, const std::string& body,
                      const char* type) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", type);
    MHD_Result queued = MHD_queue_response(c, status, response);
    MHD_destroy_response(response);
    return queued;
}

bool store_ready(Server& server) {
    Lease db(server.store);
    if (!db.ok()) return false;
    Query q(db, "SELECT 1");
    return q.row();
}

MHD_Result on_admin(void* cls, MHD_Connection* c, const char* url, const char* method,
                    const char*, const char*, size_t* upload_data_size, void** con_cls) {
    auto& f = *static_cast<Http_Front*>(cls);
    // Bodies are never wanted here: the first call answers.
    if (*con_cls == nullptr) *con_cls = &f;
    *upload_data_size = 0;
    std::string_view path = url, m = method;
    if (m != "GET" && m != "HEAD")
        return admin_text(c, 405, "{\"error\":\"method_not_allowed\"}", "application/json");
    if (path == "/metrics")
        return admin_text(c, 200, metrics_text(f.metrics, sampled_gauges(f)),
                          "text/plain; version=0.0.4; charset=utf-8");
    if (path == "/healthz") return admin_text(c, 200, "{\"status\":\"ok\"}", "application/json");
    if (path == "/readyz") {
        if (f.stopping.load() || !store_ready(*f.server))
            return admin_text(c, 503, "{\"status\":\"not_ready\"}", "application/json");
        return admin_text(c, 200, "{\"status\":\"ready\"}", "application/json");
    }
    return admin_text(c, 404, "{\"error\":\"not_found\"}", "application/json");
}

// ---------------------------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------------------------

int listen_on(const std::string& host, int port, int& bound_port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        error = "can't resolve " + host;
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // A burst of connects queues in the kernel instead of being refused.
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) break;
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        error = "can't listen on " + host + ":" + std::to_string(port);
        return -1;
    }
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    bound_port = addr.ss_family == AF_INET6
                     ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                     : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return fd;
}

void stop_front(Http_Front& f) {
    f.stopping = true;
    if (f.acceptor.joinable()) f.acceptor.join();
    // Queued jobs still run (each resumes its connection) before the loops stop.
    workers_stop(f.workers);
    if (f.daemon) MHD_stop_daemon(f.daemon);
    if (f.admin) MHD_stop_daemon(f.admin);
    f.daemon = f.admin = nullptr;
    for (int fd : {f.listen_fd, f.admin_fd})
        if (fd >= 0) ::close(fd);
    f.listen_fd = f.admin_fd = -1;
}

}  // namespace

void Http_Front_Free::operator()(Http_Front* front) const {
    stop_front(*front);
    delete front;
}

std::string base_url(const std::string& host, int port) {
    bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string http_start(Server& server, Http& http, const std::string& host, int port) {
    http_stop(http);
    std::unique_ptr<Http_Front, Http_Front_Free> front(new Http_Front);
    Http_Front& f = *front;
    f.server = &server;
    size_t limit = raise_descriptor_limit();
    f.connection_cap = limit - std::min(limit / 2, descriptor_reserve(limit));
    std::string error;
    f.listen_fd = listen_on(host, port, http.port, error);
    if (f.listen_fd < 0) return error;

    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    // Handlers mostly wait (for the database, for a hash slot): more workers than cores.
    workers_start(f.workers, std::max<size_t>(16, 8 * cores));
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TURBO | MHD_ALLOW_SUSPEND_RESUME |
                     MHD_USE_NO_LISTEN_SOCKET;
    f.daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, on_request, &f, MHD_OPTION_THREAD_POOL_SIZE, cores,
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(f.connection_cap + 64),
        MHD_OPTION_CONNECTION_TIMEOUT, connection_timeout_seconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        connection_memory, MHD_OPTION_NOTIFY_COMPLETED, on_completed, &f,
        MHD_OPTION_NOTIFY_CONNECTION, on_connection, &f, MHD_OPTION_UNESCAPE_CALLBACK, unescape,
        nullptr, MHD_OPTION_END);
    if (!f.daemon) return "can't start the HTTP loops";

    if (server.options.admin_port >= 0) {
        int admin_port = 0;
        f.admin_fd = listen_on(server.options.admin_host, server.options.admin_port, admin_port, error);
        if (f.admin_fd < 0) return "admin address: " + error;
        f.admin = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr,
                                   nullptr, on_admin, &f, MHD_OPTION_LISTEN_SOCKET, f.admin_fd,
                                   MHD_OPTION_CONNECTION_TIMEOUT, connection_timeout_seconds,
                                   MHD_OPTION_CONNECTION_LIMIT, 64u, MHD_OPTION_END);
        if (!f.admin) return "can't start the admin address";
        f.admin_fd = -1;  // the library closes it when it stops
        http.admin_port = admin_port;
    }
    f.acceptor = std::thread([&f] { accept_loop(f); });
    http.host = host;
    http.front = std::move(front);
    return "";
}

void http_stop(Http& http) { http.front.reset(); }

}  // namespace server
