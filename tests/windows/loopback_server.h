// A small HTTP/1.1 server on 127.0.0.1 for the WinHTTP transport tests, over Winsock so that it
// runs inside the Windows test program (and so under Wine) next to the client it serves.
//
// It records every request as received (method, target, headers, body by Content-Length) and
// answers with the Reply that `answer` picks: any status, headers and body, or a misbehaving
// answer (stalled before the status line, a body cut short, no length at all). One request
// per connection. stop() (or destruction) wakes every stall and closes every connection.
// Windows only; header-only because tests/<folder> compiles only its *_test.cpp files.
#pragma once
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace loopback {

struct Request {
    std::string method, target;
    std::vector<std::pair<std::string, std::string>> headers;  // names as sent
    std::string body;

    // The first header of that name, compared without regard to case; null when absent.
    const std::string* header(std::string_view name) const {
        for (const auto& [n, v] : headers)
            if (n.size() == name.size() &&
                std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) { return tolower(a) == tolower(b); }))
                return &v;
        return nullptr;
    }
};

struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int64_t content_length = -1;  // -1: the body's true length; otherwise announced as given
    bool no_length = false;       // no Content-Length: the body ends when the connection closes
    int stall_ms = 0;             // wait this long (or until stop) before answering at all
    int64_t cut_after = -1;       // send only this many body bytes, then close
};

class Server {
public:
    explicit Server(std::function<Reply(const Request&)> answer) : answer_(std::move(answer)) {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        int len = sizeof addr;
        if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server() {
        stop();
        WSACleanup();
    }

    int port() const { return port_; }
    std::string url(std::string_view path = "") const {
        return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
    }

    std::vector<Request> requests() {
        std::lock_guard held(lock_);
        return requests_;
    }
    // How many answers went out whole (stalls that were cut short by stop() don't count).
    int answered() {
        std::lock_guard held(lock_);
        return answered_;
    }

    void stop() {
        {
            std::lock_guard held(lock_);
            if (stopped_) return;
            stopped_ = true;
            for (SOCKET s : open_) shutdown(s, SD_BOTH);
        }
        wake_.notify_all();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        if (acceptor_.joinable()) acceptor_.join();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

private:
    void accept_loop() {
        for (;;) {
            SOCKET s = accept(listener_, nullptr, nullptr);
            if (s == INVALID_SOCKET) return;
            std::lock_guard held(lock_);
            if (stopped_) {
                closesocket(s);
                return;
            }
            open_.push_back(s);
            workers_.emplace_back([this, s] { serve(s); });
        }
    }

    static bool send_all(SOCKET s, std::string_view bytes) {
        while (!bytes.empty()) {
            int n = send(s, bytes.data(), int(std::min<size_t>(bytes.size(), 1 << 20)), 0);
            if (n <= 0) return false;
            bytes.remove_prefix(size_t(n));
        }
        return true;
    }

    void serve(SOCKET s) {
        std::string in;
        char buf[8192];
        size_t head_end;
        while ((head_end = in.find("\r\n\r\n")) == std::string::npos) {
            int n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) return finish(s);
            in.append(buf, size_t(n));
        }
        Request r;
        std::string_view head(in.data(), head_end);
        size_t eol = head.find("\r\n");
        std::string_view line = head.substr(0, eol);
        size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
        r.method = std::string(line.substr(0, sp1));
        r.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
        while (eol != std::string_view::npos) {
            size_t next = head.find("\r\n", eol + 2);
            std::string_view h = head.substr(eol + 2, next == std::string_view::npos ? head.npos : next - eol - 2);
            size_t colon = h.find(':');
            if (colon != std::string_view::npos) {
                std::string_view v = h.substr(colon + 1);
                while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
                r.headers.emplace_back(std::string(h.substr(0, colon)), std::string(v));
            }
            eol = next;
        }
        size_t want = 0;
        if (const std::string* cl = r.header("Content-Length")) want = size_t(std::stoull(*cl));
        r.body = in.substr(head_end + 4);
        while (r.body.size() < want) {
            int n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            r.body.append(buf, size_t(n));
        }
        {
            std::lock_guard held(lock_);
            requests_.push_back(r);
        }
        Reply reply = answer_(r);
        if (reply.stall_ms > 0) {
            bool stopping;
            {
                std::unique_lock held(lock_);
                wake_.wait_for(held, std::chrono::milliseconds(reply.stall_ms), [&] { return stopped_; });
                stopping = stopped_;
            }
            if (stopping) return finish(s);
        }
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nConnection: close\r\n";
        if (!reply.no_length)
            out += "Content-Length: " +
                   std::to_string(reply.content_length >= 0 ? reply.content_length : int64_t(reply.body.size())) + "\r\n";
        for (const auto& [n, v] : reply.headers) out += n + ": " + v + "\r\n";
        out += "\r\n";
        std::string_view body = reply.body;
        if (reply.cut_after >= 0) body = body.substr(0, size_t(reply.cut_after));
        if (send_all(s, out) && send_all(s, body)) {
            std::lock_guard held(lock_);
            answered_++;
        }
        finish(s);
    }

    void finish(SOCKET s) {
        shutdown(s, SD_SEND);
        // Let the client read to the end before the socket goes: a close with unread input
        // would reset the connection under the answer.
        char buf[512];
        timeval tv{1, 0};
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        if (select(0, &set, nullptr, nullptr, &tv) > 0) recv(s, buf, sizeof buf, 0);
        std::lock_guard held(lock_);
        open_.erase(std::remove(open_.begin(), open_.end(), s), open_.end());
        closesocket(s);
    }

    std::function<Reply(const Request&)> answer_;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<SOCKET> open_;
    std::vector<Request> requests_;
    int answered_ = 0;
    bool stopped_ = false;
};

}  // namespace loopback
#endif
