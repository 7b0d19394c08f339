#include "server/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include <httplib.h>

#include "server/accounts.h"
#include "server/gate.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// Each connection is served by one pool thread at a time, so the start of the request being
// served on this thread is enough to time it for the log.
thread_local Clock::time_point request_start{};

using Handled = httplib::Server::HandlerResponse;

// Whether the answer being written asked for the connection to be closed (a request refused
// before its body was read): set by the logger, which sees every answer on this thread.
thread_local bool answer_closes = false;

// The library's request reading and routing, served on the gate's connections instead of its
// own accept loop (which holds a thread per connection from its first byte).
class Front final : public httplib::Server {
public:
    // The library stops writing an answer once its listening socket is gone; there is none
    // here (the gate listens), so a descriptor of no use stands in for it while serving.
    Front() : stand_in_(::eventfd(0, EFD_CLOEXEC)) { svr_sock_ = stand_in_; }
    ~Front() override {
        svr_sock_ = -1;
        if (stand_in_ >= 0) ::close(stand_in_);
    }
    Front(const Front&) = delete;
    Front& operator=(const Front&) = delete;

    bool serve(httplib::Stream& stream, bool close, bool& closed) {
        return process_request(stream, close, closed, nullptr);
    }

private:
    int stand_in_;
};

// A connection as the library sees it: the request head the gate saw arrive is read in one
// piece, then the body straight from the socket, never past its announced length, within a
// deadline that grows with that length.
class Gate_Stream final : public httplib::Stream {
public:
    explicit Gate_Stream(const Gate_Connection& c) : c_(c) {
        deadline_ = Clock::now() + std::chrono::seconds(body_base_seconds +
                                                        c.content_length / body_min_rate);
    }

    // The head is known to be in the socket already; false if it is not there after all.
    bool load_head() {
        head_.resize(c_.head_size);
        size_t got = 0;
        while (got < head_.size()) {
            if (!wait_for(POLLIN, 1000)) return false;
            ssize_t n = ::recv(c_.fd, head_.data() + got, head_.size() - got, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }

    int64_t body_read() const { return body_read_; }

    bool is_readable() const override {
        return head_at_ < head_.size() || wait_for(POLLIN, read_wait_ms());
    }
    bool is_writable() const override { return wait_for(POLLOUT, io_timeout_ms); }

    ssize_t read(char* ptr, size_t size) override {
        if (head_at_ < head_.size()) {
            size_t n = std::min(size, head_.size() - head_at_);
            std::memcpy(ptr, head_.data() + head_at_, n);
            head_at_ += n;
            return static_cast<ssize_t>(n);
        }
        for (;;) {
            int wait = read_wait_ms();
            if (wait <= 0 || !wait_for(POLLIN, wait)) return -1;
            ssize_t n = ::recv(c_.fd, ptr, size, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n > 0) body_read_ += n;
            return n;
        }
    }

    ssize_t write(const char* ptr, size_t size) override {
        for (;;) {
            if (!wait_for(POLLOUT, io_timeout_ms)) return -1;
            ssize_t n = ::send(c_.fd, ptr, size, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return n;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = c_.address;
        port = c_.port;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        ip.clear();
        port = 0;
        if (::getsockname(c_.fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return;
        char text[INET6_ADDRSTRLEN] = "";
        if (addr.ss_family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&addr);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        } else if (addr.ss_family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        }
        ip = text;
    }
    int socket() const override { return c_.fd; }

private:
    static constexpr int io_timeout_ms = 5000;

    // A pause in a body may last the usual read time-out, but never past the body's deadline.
    int read_wait_ms() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now())
                        .count();
        return static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left, io_timeout_ms)));
    }

    bool wait_for(short what, int ms) const {
        pollfd p{c_.fd, what, 0};
        int n;
        do {
            n = ::poll(&p, 1, ms);
        } while (n < 0 && errno == EINTR);
        return n > 0 && (p.revents & what) != 0;
    }

    const Gate_Connection& c_;
    std::string head_;
    size_t head_at_ = 0;
    int64_t body_read_ = 0;
    Clock::time_point deadline_;
};

// After an answer that left its request's body unread: the client may still be sending it, and
// closing a socket with unread bytes resets the connection, which can destroy the answer before
// the client reads it. So the rest is read and dropped for a short while first.
void drain(int fd, int64_t left) {
    ::shutdown(fd, SHUT_WR);
    auto until = Clock::now() + std::chrono::seconds(2);
    char sink[65536];
    while (left > 0) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (ms <= 0 || ::poll(&p, 1, static_cast<int>(ms)) <= 0) return;
        ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return;
        left -= n;
    }
}

// One request of a connection; true when the connection may carry the next one.
bool serve_one(Front& front, const Gate_Connection& c) {
    Gate_Stream stream(c);
    if (!stream.load_head()) return false;
    answer_closes = false;
    bool closed = false;
    bool ok = front.serve(stream, c.must_close, closed);
    // A body left unread (a request refused before it) would be taken for the next request.
    if (stream.body_read() < c.content_length) {
        if (ok) drain(c.fd, c.content_length - stream.body_read());
        return false;
    }
    return ok && !closed && !c.must_close && !answer_closes;
}

// True when `value` is `token`, ignoring case and surrounding blanks.
bool same_token(std::string_view value, std::string_view token) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (value.size() != token.size()) return false;
    for (size_t i = 0; i < value.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(value[i])) != token[i]) return false;
    return true;
}

bool trusted(const Server& server, const std::string& peer) {
    const auto& list = server.options.trusted_proxies;
    return std::find(list.begin(), list.end(), peer) != list.end();
}

const char* code_for(int status) {
    switch (status) {
        case 404: return "not_found";
        case 405: return "method_not_allowed";
        case 411: return "length_required";
        case 413: return "too_big";
        case 414: return "uri_too_long";
        case 415: return "unsupported_encoding";
        default: return status >= 500 ? "server_error" : "bad_request";
    }
}

void set_error(httplib::Response& res, int status) {
    res.status = status;
    std::string body = "{\"error\":\"";
    body += code_for(status);
    body += "\"}";
    res.set_content(body, "application/json");
}

Request convert(const httplib::Request& req, const Server& server) {
    Request r;
    r.method = req.method == "HEAD" ? "GET" : req.method;
    r.path = req.path;
    for (const auto& [k, v] : req.params) r.query.emplace_back(k, v);
    r.authorization = req.get_header_value("Authorization");
    r.content_type = req.get_header_value("Content-Type");
    r.client = req.remote_addr;
    // Behind a proxy every request comes from the proxy's address; it names the real client.
    // Anyone else may write the header too, so it counts only from the configured proxies.
    if (req.has_header("X-Real-IP") && trusted(server, req.remote_addr))
        r.client = req.get_header_value("X-Real-IP");
    r.multipart = req.is_multipart_form_data();
    if (r.multipart) {
        for (const auto& [name, part] : req.files)
            r.parts.push_back(Part{part.name, part.filename, part.content_type, part.content});
    } else {
        r.body = req.body;
    }
    return r;
}

// Streams a file from an open descriptor; the descriptor closes with the response.
bool send_file(httplib::Response& res, const Reply& reply) {
    int fd = ::open(reply.file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    auto shared = std::make_shared<int>(fd);
    res.status = reply.status;
    res.set_content_provider(
        static_cast<size_t>(st.st_size), reply.content_type,
        [shared](size_t offset, size_t length, httplib::DataSink& sink) {
            char buffer[65536];
            size_t want = length < sizeof buffer ? length : sizeof buffer;
            ssize_t n;
            do {
                n = ::pread(*shared, buffer, want, static_cast<off_t>(offset));
            } while (n < 0 && errno == EINTR);
            // A file that shrank under us ends the answer early rather than padding it.
            if (n <= 0) return false;
            return sink.write(buffer, static_cast<size_t>(n));
        },
        [shared](bool) { ::close(*shared); });
    return true;
}

void dispatch(Server& server, const httplib::Request& req, httplib::Response& res) {
    Reply reply = handle(server, convert(req, server));
    res.set_header("X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : reply.headers) res.set_header(name, value);
    if (!reply.file.empty()) {
        if (!send_file(res, reply)) set_error(res, 404);
        return;
    }
    res.status = reply.status;
    res.set_content(reply.body, reply.content_type);
}

}  // namespace

Http::Http() = default;
Http::~Http() { http_stop(*this); }

std::string base_url(const std::string& host, int port) {
    bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string http_start(Server& server, Http& http, const std::string& host, int port) {
    auto front = std::make_unique<Front>();
    Front& svr = *front;
    http.host = host;
    svr.set_payload_max_length(request_limit);
    svr.set_keep_alive_max_count(1000);

    svr.set_pre_routing_handler([&server](const httplib::Request& req, httplib::Response& res) {
        request_start = Clock::now();
        bool body_method = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
        auto refuse = [&](int status) {
            set_error(res, status);
            res.set_header("Connection", "close");
            return Handled::Handled;
        };
        // The library reads chunked bodies, and bodies of these methods without a length
        // (until the peer closes), with no size limit at all: refuse them before any is read.
        if (req.has_header("Transfer-Encoding") ||
            (body_method && !req.has_header("Content-Length")))
            return refuse(411);
        // Too big to be read at all: answered before a byte of it is taken.
        if (std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) >
            request_limit)
            return refuse(413);
        // The library would inflate a compressed body whole before any size limit applies (a
        // few kilobytes of brotli become gigabytes). No client of this service compresses.
        if (req.has_header("Content-Encoding") &&
            !same_token(req.get_header_value("Content-Encoding"), "identity"))
            return refuse(415);
        // An upload is parsed into memory part by part: only for someone signed in.
        if (req.method == "POST" && req.path == "/v1/maps") {
            Request who;
            who.authorization = req.get_header_value("Authorization");
            int64_t account = 0;
            Reply refusal;
            if (!bearer(server, who, account, refusal)) {
                res.status = refusal.status;
                res.set_content(refusal.body, refusal.content_type);
                res.set_header("Connection", "close");
                return Handled::Handled;
            }
        }
        return Handled::Unhandled;
    });

    auto route = [&server](const httplib::Request& req, httplib::Response& res) {
        dispatch(server, req, res);
    };
    svr.Get(".*", route);
    svr.Post(".*", route);
    svr.Put(".*", route);
    svr.Patch(".*", route);
    svr.Delete(".*", route);
    svr.Options(".*", route);

    // Errors the library produces itself (413, 400 for a broken multipart body, ...) get an
    // `E` body too; answers our handlers already wrote are left alone.
    svr.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& res) {
            if (!res.body.empty() || res.content_length_ > 0) return Handled::Unhandled;
            set_error(res, res.status);
            return Handled::Handled;
        }));
    svr.set_exception_handler(
        [&server](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "unknown exception";
            try {
                if (ep) std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            server.log("error: " + what);
            res.body.clear();
            set_error(res, 500);
        });
    svr.set_logger([&server](const httplib::Request& req, const httplib::Response& res) {
        // A request that could not be read leaves the connection at an unknown place.
        answer_closes = res.get_header_value("Connection") == "close" || req.method.empty();
        int64_t ms = 0;
        if (request_start != Clock::time_point{}) {
            ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                       request_start)
                     .count();
            request_start = Clock::time_point{};
        }
        server.log(log_line(req.method, req.target, res.status, ms));
    });

    Gate_Options options;
    options.per_address = server.options.per_address_connections;
    // A proxy carries many players' connections from one address.
    options.unlimited = server.options.trusted_proxies;
    std::string error = gate_start(
        http.gate, host, port, options,
        [&svr](Gate_Connection& c) { return serve_one(svr, c); }, http.port);
    if (!error.empty()) return error;
    http.http = std::move(front);
    return "";
}

void http_stop(Http& http) {
    gate_stop(http.gate);
    http.http.reset();
}

}  // namespace server
