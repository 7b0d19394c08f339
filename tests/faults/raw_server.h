// A server that answers every connection with bytes of the test's choosing, for answers no
// HTTP library would produce: a broken status line, an endless header, a chunk size past 64
// bits. It reads the request head, then calls the script with the socket, then closes.
//
// POSIX sockets on 127.0.0.1; header-only so that every test folder that needs it can use it.
// Stopping closes every connection, which ends a script that writes forever.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace faults {

// Writes all of `bytes`; false once the peer has gone or the server is stopping.
inline bool send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

struct Raw_Server {
    using Script = std::function<void(int fd)>;

    int listen_fd = -1;
    uint16_t port = 0;
    Script script;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<int> open_fds;
    std::vector<std::thread> threads;
    std::thread acceptor;

    explicit Raw_Server(Script s) : script(std::move(s)) {
        listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listen_fd < 0 || ::bind(listen_fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(listen_fd, 16) != 0 || ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        acceptor = std::thread([this] { accept_loop(); });
    }

    ~Raw_Server() { stop(); }
    Raw_Server(const Raw_Server&) = delete;
    Raw_Server& operator=(const Raw_Server&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }

    void stop() {
        if (stopping.exchange(true)) return;
        if (listen_fd >= 0) ::shutdown(listen_fd, SHUT_RDWR);
        {
            std::lock_guard held(lock);
            for (int fd : open_fds) ::shutdown(fd, SHUT_RDWR);
        }
        if (acceptor.joinable()) acceptor.join();
        for (std::thread& t : threads) t.join();
        if (listen_fd >= 0) ::close(listen_fd);
    }

private:
    void accept_loop() {
        while (!stopping) {
            pollfd p{listen_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int fd = ::accept(listen_fd, nullptr, nullptr);
            if (fd < 0) continue;
            std::lock_guard held(lock);
            if (stopping) {
                ::close(fd);
                break;
            }
            open_fds.push_back(fd);
            threads.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        // The request head: read until the blank line (the tests send no bodies).
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            head.append(buffer, size_t(n));
        }
        if (!stopping) script(fd);
        std::lock_guard held(lock);
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        for (int& open : open_fds)
            if (open == fd) open = -1;
    }
};

}  // namespace faults
