#include "server/http.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include <httplib.h>

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// Each connection is served by one pool thread at a time, so the start of the request being
// served on this thread is enough to time it for the log.
thread_local Clock::time_point request_start{};

using Handled = httplib::Server::HandlerResponse;

// The library serves each connection on one pool thread for as long as the connection is kept
// alive, so a fixed pool of 8 threads left every ninth client waiting for another to hang up.
// This pool starts a thread whenever a connection arrives and none is idle, up to
// `thread_limit`; threads are kept for the next connections.
constexpr size_t thread_limit = 1024;

class Growing_Pool final : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> job) override {
        std::unique_lock guard(lock_);
        jobs_.push_back(std::move(job));
        // A thread for every job no idle thread will take: a job is a whole kept-alive
        // connection, so one left queued waits for another connection to close (seconds).
        // Counting only idle threads would miss a second job queued before the first woke one.
        if (jobs_.size() > idle_ && threads_.size() < thread_limit) {
            try {
                threads_.emplace_back([this] { work(); });
                return;
            } catch (const std::system_error&) {
                // Out of threads: the job waits for a busy one to finish.
            }
        }
        ready_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (auto& t : threads_) t.join();
    }

private:
    void work() {
        std::unique_lock guard(lock_);
        for (;;) {
            ++idle_;
            ready_.wait(guard, [&] { return stopping_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) return;
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            guard.unlock();
            job();
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

const char* code_for(int status) {
    switch (status) {
        case 404: return "not_found";
        case 405: return "method_not_allowed";
        case 411: return "length_required";
        case 413: return "too_big";
        case 414: return "uri_too_long";
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

Request convert(const httplib::Request& req, bool trust_proxy) {
    Request r;
    r.method = req.method == "HEAD" ? "GET" : req.method;
    r.path = req.path;
    for (const auto& [k, v] : req.params) r.query.emplace_back(k, v);
    r.authorization = req.get_header_value("Authorization");
    r.content_type = req.get_header_value("Content-Type");
    r.client = req.remote_addr;
    // Behind a proxy every request comes from the proxy's address; it names the real client.
    if (trust_proxy && req.has_header("X-Real-IP")) r.client = req.get_header_value("X-Real-IP");
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
    Reply reply = handle(server, convert(req, server.options.trust_proxy));
    res.set_header("X-Content-Type-Options", "nosniff");
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
    http.http = std::make_unique<httplib::Server>();
    httplib::Server& svr = *http.http;
    http.host = host;
    svr.set_payload_max_length(request_limit);
    // Small answers go out at once. Without this, an answer written in two pieces (headers,
    // then body) waits for the client's delayed acknowledgement of the first (Nagle), about
    // 40 ms on every kept-alive request.
    svr.set_tcp_nodelay(true);
    svr.set_keep_alive_max_count(1000);
    svr.new_task_queue = [] { return new Growing_Pool; };

    svr.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        request_start = Clock::now();
        bool body_method = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
        // The library reads chunked bodies, and bodies of these methods without a length
        // (until the peer closes), with no size limit at all: refuse them before any is read.
        if (req.has_header("Transfer-Encoding") ||
            (body_method && !req.has_header("Content-Length"))) {
            set_error(res, 411);
            res.set_header("Connection", "close");
            return Handled::Handled;
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
        int64_t ms = 0;
        if (request_start != Clock::time_point{}) {
            ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                       request_start)
                     .count();
            request_start = Clock::time_point{};
        }
        server.log(log_line(req.method, req.target, res.status, ms));
    });

    if (port == 0) {
        int bound = svr.bind_to_any_port(host);
        if (bound <= 0) return "can't listen on " + host;
        http.port = bound;
    } else {
        if (!svr.bind_to_port(host, port)) return "can't listen on " + base_url(host, port);
        http.port = port;
    }
    http.thread = std::thread([&svr] { svr.listen_after_bind(); });
    // Wait until the loop runs: a stop() that came before it would be lost and the join in
    // http_stop would then wait forever.
    for (int i = 0; i < 5000 && !svr.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!svr.is_running()) {
        // listen_after_bind has given up (it returns at once when it cannot serve).
        svr.stop();
        http.thread.join();
        http.http.reset();
        return "the server did not start on " + base_url(host, http.port);
    }
    return "";
}

void http_stop(Http& http) {
    if (!http.http) return;
    http.http->stop();
    if (http.thread.joinable()) http.thread.join();
    http.http.reset();
}

}  // namespace server
