#include "server/gate.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

bool same_text_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// A whole short answer written without waiting: the socket's buffer takes it, or the client
// that does not read gets nothing. The connection is closed by the caller.
void answer_and_close(int fd, int status, const char* reason, const char* code,
                      const char* extra = "") {
    std::string body = std::string("{\"error\":\"") + code + "\"}";
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                       "\r\nContent-Type: application/json\r\nConnection: close\r\n" + extra +
                       "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    ssize_t ignored = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
    ::close(fd);
}

// Workers: a thread starts for every connection no idle thread will take, up to the limit, and
// stays for the next ones. A connection reaches a worker only with its head complete, so a
// thread is held for the time a request takes to serve, not for a client's pauses.
class Workers {
public:
    explicit Workers(size_t limit) : limit_(limit) {}

    void run(std::function<void()> job) {
        std::unique_lock guard(lock_);
        jobs_.push_back(std::move(job));
        if (jobs_.size() > idle_ && threads_.size() < limit_) {
            try {
                threads_.emplace_back([this] { work(); });
                return;
            } catch (const std::system_error&) {
                // Out of threads: the job waits for a busy one.
            }
        }
        ready_.notify_one();
    }

    void stop() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (auto& t : threads_) t.join();
        threads_.clear();
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

    size_t limit_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

struct Waiting {
    Gate_Connection connection;
    int64_t deadline_ms = 0;
    bool started = false;  // some of the head has arrived
    bool lingering = false;  // answered and shut for writing: what still comes is dropped
};

}  // namespace

struct Gate {
    Gate_Options options;
    Gate_Serve serve;
    int listen_fd = -1;
    int epoll_fd = -1;
    int wake_fd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::unique_ptr<Workers> workers;

    std::mutex lock;  // guards `per_address` and `returned`
    std::unordered_map<std::string, size_t> per_address;
    std::vector<Gate_Connection> returned;

    // Only the gate's thread touches these.
    std::unordered_map<int, Waiting> waiting;
    int64_t accept_paused_until = 0;
    std::vector<char> peek_buffer = std::vector<char>(head_limit + 1);

    ~Gate() {
        for (int fd : {listen_fd, epoll_fd, wake_fd})
            if (fd >= 0) ::close(fd);
    }
};

namespace {

bool capped(const Gate& gate, const std::string& address) {
    const auto& u = gate.options.unlimited;
    return std::find(u.begin(), u.end(), address) == u.end();
}

void release(Gate& gate, const Gate_Connection& c) {
    std::lock_guard guard(gate.lock);
    auto it = gate.per_address.find(c.address);
    if (it != gate.per_address.end() && --it->second == 0) gate.per_address.erase(it);
}

void close_connection(Gate& gate, const Gate_Connection& c) {
    ::close(c.fd);
    release(gate, c);
}

void forget(Gate& gate, int fd) {
    ::epoll_ctl(gate.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    gate.waiting.erase(fd);
}

// How long a worker waits for a kept-alive client's next request before handing the
// connection back to the gate: a client that answers at once (most do: the next request is
// ready) is served without a trip through the gate; a pause costs the worker this much only.
constexpr int next_request_wait_ms = 2;

enum class Head { waiting, complete, too_big, closed };
Head peek_head(int fd, std::vector<char>& buffer, Gate_Connection& c);

void hand_to_worker(Gate& gate, Gate_Connection c) {
    gate.workers->run([&gate, c]() mutable {
        thread_local std::vector<char> buffer(head_limit + 1);
        for (;;) {
            if (gate.stopping.load() || !gate.serve(c) || gate.stopping.load()) {
                close_connection(gate, c);
                return;
            }
            pollfd p{c.fd, POLLIN, 0};
            if (::poll(&p, 1, next_request_wait_ms) != 1) break;
            Gate_Connection next = c;
            if (peek_head(c.fd, buffer, next) != Head::complete) break;
            c = next;
        }
        {
            std::lock_guard guard(gate.lock);
            gate.returned.push_back(c);
        }
        uint64_t one = 1;
        ssize_t ignored = ::write(gate.wake_fd, &one, sizeof one);
        (void)ignored;
    });
}

// Looks at what has arrived on a connection without taking it from the socket: the worker
// reads the head itself once it is whole. `c` gets what the head announces.
Head peek_head(int fd, std::vector<char>& buffer, Gate_Connection& c) {
    ssize_t n;
    do {
        n = ::recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Head::waiting;
    if (n <= 0) return Head::closed;
    std::string_view seen(buffer.data(), static_cast<size_t>(n));
    size_t end = seen.find("\r\n\r\n");
    if (end == std::string_view::npos) return seen.size() > head_limit ? Head::too_big : Head::waiting;
    c.head_size = end + 4;
    c.must_close = false;
    return gate_read_head(seen.substr(0, c.head_size), c) ? Head::complete : Head::too_big;
}

void answer_and_linger(Gate& gate, Gate_Connection c, int status, const char* reason,
                       const char* code);

void check(Gate& gate, int fd) {
    auto it = gate.waiting.find(fd);
    if (it == gate.waiting.end()) return;
    Waiting& w = it->second;
    Gate_Connection c = w.connection;
    if (w.lingering) {
        ssize_t n;
        while ((n = ::recv(fd, gate.peek_buffer.data(), gate.peek_buffer.size(), MSG_DONTWAIT)) > 0) {
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            forget(gate, fd);
            close_connection(gate, c);
        }
        return;
    }
    Head head = peek_head(fd, gate.peek_buffer, c);
    if (head == Head::waiting) {
        // Some bytes (or none yet): the head's deadline runs from its first byte.
        if (!w.started) {
            char byte;
            if (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1) {
                w.started = true;
                w.deadline_ms = std::min(w.deadline_ms, now_ms() + head_deadline_ms);
            }
        }
        return;
    }
    forget(gate, fd);
    if (head == Head::closed) {
        close_connection(gate, c);
    } else if (head == Head::too_big) {
        answer_and_linger(gate, c, 431, "Request Header Fields Too Large", "headers_too_large");
    } else {
        hand_to_worker(gate, c);
    }
}

// Answers a connection that cannot go on and drops what its client still sends for a moment
// before closing it: closing a socket with unread bytes resets the connection, which can
// destroy the answer before the client has read it.
constexpr int linger_ms = 2000;

void answer_and_linger(Gate& gate, Gate_Connection c, int status, const char* reason,
                       const char* code) {
    int fd = c.fd;
    std::string body = std::string("{\"error\":\"") + code + "\"}";
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                       "\r\nContent-Type: application/json\r\nConnection: close\r\n"
                       "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    ssize_t ignored = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
    ::shutdown(fd, SHUT_WR);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    ev.data.fd = fd;
    if (::epoll_ctl(gate.epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0 && errno != EEXIST) {
        close_connection(gate, c);
        return;
    }
    Waiting w;
    w.connection = std::move(c);
    w.deadline_ms = now_ms() + linger_ms;
    w.started = true;
    w.lingering = true;
    gate.waiting[fd] = std::move(w);
    check(gate, fd);
}

void watch(Gate& gate, Gate_Connection c, int64_t deadline_ms) {
    int fd = c.fd;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    ev.data.fd = fd;
    if (::epoll_ctl(gate.epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        close_connection(gate, c);
        return;
    }
    gate.waiting[fd] = Waiting{std::move(c), deadline_ms, false};
    // Bytes that came before the watch (a pipelined request) raise no edge: look now.
    check(gate, fd);
}

void accept_all(Gate& gate) {
    for (;;) {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        int fd = ::accept4(gate.listen_fd, reinterpret_cast<sockaddr*>(&addr), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the listening socket stays readable, so stop looking at
                // it for a moment instead of spinning; the kernel's backlog holds the clients.
                epoll_event ev{};
                ev.data.fd = gate.listen_fd;
                ::epoll_ctl(gate.epoll_fd, EPOLL_CTL_MOD, gate.listen_fd, &ev);
                gate.accept_paused_until = now_ms() + 100;
            }
            return;
        }
        Gate_Connection c;
        c.fd = fd;
        char text[INET6_ADDRSTRLEN] = "";
        if (addr.ss_family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&addr);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            c.port = ntohs(a->sin_port);
        } else if (addr.ss_family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            c.port = ntohs(a->sin6_port);
        }
        c.address = text;
        {
            std::lock_guard guard(gate.lock);
            size_t& count = gate.per_address[c.address];
            if (count >= gate.options.per_address && capped(gate, c.address)) {
                answer_and_close(fd, 503, "Service Unavailable", "too_many_connections",
                                 "Retry-After: 1\r\n");
                continue;
            }
            ++count;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        watch(gate, std::move(c), now_ms() + head_deadline_ms);
    }
}

void expire(Gate& gate, int64_t now) {
    std::vector<int> late;
    for (const auto& [fd, w] : gate.waiting)
        if (w.deadline_ms <= now) late.push_back(fd);
    for (int fd : late) {
        Waiting w = gate.waiting[fd];
        forget(gate, fd);
        if (w.started && !w.lingering)
            answer_and_linger(gate, w.connection, 408, "Request Timeout", "request_timeout");
        else
            close_connection(gate, w.connection);
    }
}

void gate_loop(Gate& gate) {
    epoll_event events[256];
    int64_t last_scan = now_ms();
    while (!gate.stopping.load()) {
        int n = ::epoll_wait(gate.epoll_fd, events, 256, 100);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == gate.listen_fd) {
                accept_all(gate);
            } else if (fd == gate.wake_fd) {
                uint64_t count;
                ssize_t ignored = ::read(gate.wake_fd, &count, sizeof count);
                (void)ignored;
                std::vector<Gate_Connection> back;
                {
                    std::lock_guard guard(gate.lock);
                    back.swap(gate.returned);
                }
                int64_t deadline = now_ms() + idle_timeout_ms;
                for (auto& c : back) watch(gate, std::move(c), deadline);
            } else {
                check(gate, fd);
            }
        }
        int64_t now = now_ms();
        if (gate.accept_paused_until && now >= gate.accept_paused_until) {
            gate.accept_paused_until = 0;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = gate.listen_fd;
            ::epoll_ctl(gate.epoll_fd, EPOLL_CTL_MOD, gate.listen_fd, &ev);
        }
        if (now - last_scan >= 100) {
            last_scan = now;
            expire(gate, now);
        }
    }
    for (auto& [fd, w] : gate.waiting) close_connection(gate, w.connection);
    gate.waiting.clear();
}

// Room for the connections the gate is meant to hold: the soft descriptor limit is often 1,024.
void raise_descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

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

}  // namespace

bool gate_read_head(std::string_view head, Gate_Connection& out) {
    if (head.size() > head_limit) return false;
    size_t lines = 0;
    bool length_seen = false;
    out.content_length = 0;
    size_t at = head.find('\n');
    if (at == std::string_view::npos) return false;
    for (++at; at < head.size();) {
        size_t end = head.find('\n', at);
        if (end == std::string_view::npos) end = head.size();
        std::string_view line = head.substr(at, end - at);
        at = end + 1;
        if (trim(line).empty()) continue;
        if (++lines > header_line_limit) return false;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = trim(line.substr(0, colon)), value = trim(line.substr(colon + 1));
        if (same_text_folded(name, "content-length")) {
            int64_t n = 0;
            bool digits = !value.empty() && value.size() <= 12;
            for (char ch : value) {
                if (ch < '0' || ch > '9') digits = false;
                else n = n * 10 + (ch - '0');
            }
            // Two lengths, or one that is not a number: the body's end is unknown, so whatever
            // the answer, the connection cannot carry another request.
            if (!digits || (length_seen && n != out.content_length)) out.must_close = true;
            length_seen = true;
            out.content_length = digits ? n : 0;
        } else if (same_text_folded(name, "transfer-encoding")) {
            out.must_close = true;
        }
    }
    return true;
}

std::string gate_start(Gate_Handle& gate, const std::string& host, int port,
                       const Gate_Options& options, Gate_Serve serve, int& bound_port) {
    raise_descriptor_limit();
    Gate_Handle g(new Gate);
    g->options = options;
    g->serve = std::move(serve);
    std::string error;
    g->listen_fd = listen_on(host, port, bound_port, error);
    if (g->listen_fd < 0) return error;
    g->epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    g->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (g->epoll_fd < 0 || g->wake_fd < 0) return "can't start the connection gate";
    for (int fd : {g->listen_fd, g->wake_fd}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (::epoll_ctl(g->epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0)
            return "can't start the connection gate";
    }
    g->workers = std::make_unique<Workers>(options.worker_limit);
    Gate& ref = *g;
    g->thread = std::thread([&ref] { gate_loop(ref); });
    gate = std::move(g);
    return "";
}

void Gate_Free::operator()(Gate* gate) const { delete gate; }

void gate_stop(Gate_Handle& gate) {
    if (!gate) return;
    gate->stopping = true;
    uint64_t one = 1;
    ssize_t ignored = ::write(gate->wake_fd, &one, sizeof one);
    (void)ignored;
    if (gate->thread.joinable()) gate->thread.join();
    gate->workers->stop();
    for (auto& c : gate->returned) close_connection(*gate, c);
    gate->returned.clear();
    gate.reset();
}

}  // namespace server
