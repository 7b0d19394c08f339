// The server's memory for idle kept-alive connections: opens COUNT connections (from the
// loopback addresses 127.0.5.1 on, PER_SOURCE each), asks for PATH once on each and keeps them
// open; then reads the server's resident memory (/proc/PID/status) against the figure before.
// Prints: held N kib_before X kib_after X kib_each X
// idle_connections PORT PID PATH COUNT PER_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "connect_from.h"

namespace {

long resident_kib(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: idle_connections PORT PID PATH COUNT PER_SOURCE\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    std::string pid = argv[2];
    std::string request = std::string("GET ") + argv[3] + " HTTP/1.1\r\nHost: x\r\n\r\n";
    int count = std::atoi(argv[4]), per_source = std::max(1, std::atoi(argv[5]));
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    long before = resident_kib(pid);
    std::vector<pollfd> open;
    for (int i = 0; i < count; ++i) {
        std::string source = "127.0.5." + std::to_string(1 + i / per_source);
        int fd = open_from(source, port);
        if (fd < 0) continue;
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            ::close(fd);
            continue;
        }
        open.push_back(pollfd{fd, POLLIN, 0});
    }
    // Each answer read (a head, and a small body in the same packet), so each connection is idle.
    size_t answered = 0;
    std::vector<bool> done(open.size(), false);
    char buffer[65536];
    for (int round = 0; round < 50 && answered < open.size(); ++round) {
        if (::poll(open.data(), open.size(), 100) <= 0) continue;
        for (size_t i = 0; i < open.size(); ++i) {
            if (done[i] || !(open[i].revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = ::recv(open[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0 && std::strncmp(buffer, "HTTP/1.1 200", 12) == 0) ++answered;
            done[i] = true;
            open[i].events = 0;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long after = resident_kib(pid);
    // Still held: a peek sees no end of stream.
    int held = 0;
    for (auto& p : open) {
        ssize_t n = ::recv(p.fd, buffer, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && errno == EAGAIN) ++held;
    }
    for (auto& p : open) ::close(p.fd);
    std::printf("held %d answered %zu kib_before %ld kib_after %ld kib_each %.1f\n", held, answered,
                before, after, held > 0 ? double(after - before) / held : -1.0);
    return 0;
}
