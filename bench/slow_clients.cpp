// Slow clients beside a normal one: DRIPS connections (from the loopback addresses 127.0.0.2
// on, PER_SOURCE each) drip, and each one the server closes is opened again at once; meanwhile a
// normal client on 127.0.0.1 asks for each PATH in turn on a new connection every 100 ms.
// MODE head (the default): a request head, one byte a second. MODE body: a sign-in's whole head
// announcing a 1 MiB body, then a body byte every 4 s. Prints what the normal client saw:
//   answered N failed N p50_ms X max_ms X drips_open N p99_ms X not_found N
// slow_clients PORT PATH[,PATH...] DRIPS PER_SOURCE SECONDS [head|body]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int open_from(const char* source, int port, bool blocking) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    if (!blocking) ::fcntl(fd, F_SETFL, O_NONBLOCK);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One request on a new connection; milliseconds to the answer's first bytes, -404 for a
// "not found", or -1 for any other failure.
double ask(int port, const std::string& path) {
    auto start = Clock::now();
    int fd = open_from("127.0.0.1", port, true);
    if (fd < 0) return -1;
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    char buffer[64] = {};
    bool ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                  static_cast<ssize_t>(request.size()) &&
              ::recv(fd, buffer, sizeof buffer, 0) >= 12 && std::memcmp(buffer + 9, "200", 3) == 0;
    bool missing = !ok && std::memcmp(buffer + 9, "404", 3) == 0;
    ::close(fd);
    if (missing) return -404;
    if (!ok) return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: slow_clients PORT PATH[,PATH...] DRIPS PER_SOURCE SECONDS [head|body]\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    std::vector<std::string> paths;
    for (std::string list = argv[2]; !list.empty();) {
        size_t comma = list.find(',');
        paths.push_back(list.substr(0, comma));
        list = comma == std::string::npos ? "" : list.substr(comma + 1);
    }
    bool body = argc == 7 && std::string(argv[6]) == "body";
    int drips = std::atoi(argv[3]), per_source = std::max(1, std::atoi(argv[4]));
    int seconds = std::atoi(argv[5]);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    const std::string head =
        body ? "POST /v1/auth/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
               "Content-Length: 1048576\r\n\r\n"
             : "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    int64_t tick = 0;
    std::vector<int> fds(drips, -1);
    std::vector<size_t> sent(drips, 0);
    auto source = [&](int i) { return "127.0.0." + std::to_string(2 + i / per_source); };
    std::atomic<bool> done{false};
    std::atomic<int> open_count{0};
    std::thread dripper([&] {
        while (!done) {
            int open = 0;
            for (int i = 0; i < drips; ++i) {
                if (fds[i] >= 0) {
                    // Closed by the server (or refused): open another in its place.
                    char c;
                    ssize_t r = ::recv(fds[i], &c, 1, MSG_DONTWAIT);
                    if (r == 0 || (r < 0 && errno != EAGAIN && errno != ENOTCONN)) {
                        ::close(fds[i]);
                        fds[i] = -1;
                    }
                }
                if (fds[i] < 0) {
                    fds[i] = open_from(source(i).c_str(), port, false);
                    sent[i] = 0;
                    continue;
                }
                if (body && sent[i] == 0) {
                    // The whole head at once (the connection may still be connecting: retried).
                    if (::send(fds[i], head.data(), head.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
                        static_cast<ssize_t>(head.size()))
                        sent[i] = head.size();
                } else if (!body || (tick + i) % 4 == 0) {
                    char byte = sent[i] < head.size() ? head[sent[i]] : 'a';
                    if (::send(fds[i], &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++sent[i];
                }
                ++open;
            }
            open_count = open;
            ++tick;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(2));  // the drips are in place
    std::vector<double> times;
    int failed = 0, not_found = 0;
    size_t next = 0;
    auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        double ms = ask(port, paths[next++ % paths.size()]);
        if (ms == -404) ++not_found;
        if (ms < 0) ++failed;
        else times.push_back(ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    int drips_open = open_count;
    done = true;
    dripper.join();
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    std::sort(times.begin(), times.end());
    double p50 = times.empty() ? -1 : times[times.size() / 2];
    double max = times.empty() ? -1 : times.back();
    double p99 = times.empty() ? -1 : times[times.size() * 99 / 100];
    std::printf("answered %zu failed %d p50_ms %.1f max_ms %.1f drips_open %d p99_ms %.1f not_found %d\n",
                times.size(), failed, p50, max, drips_open, p99, not_found);
    return 0;
}
