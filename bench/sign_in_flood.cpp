// Sign-ins during a guess flood: FLOOD connections keep guessing passwords from 250 loopback
// addresses (127.0.10.1 to 127.0.10.250), half of them at the player's email and half at emails
// nobody has, while (1) the player's launcher, which signed in on this device before, signs in 28
// times with its device token from 127.0.9.1, one after another, and (2) five launchers at new
// addresses sign in with the right password, solving the challenge they are handed. Prints:
//   known_ok N known_p50_ms X known_p99_ms X new_ok N new_max_ms X flood_sent N flood_hashed N flood_busy N
// sign_in_flood PORT EMAIL PASSWORD FLOOD WARMUP_SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "backend/proof_of_work.h"
#include "connect_from.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Answer {
    int status = 0;
    std::string body;
};

// One POST /v1/auth/login from `source` on a connection of its own.
Answer login(const std::string& source, int port, const std::string& body) {
    Answer a;
    int fd = open_from(source, port);
    if (fd < 0) return a;
    timeval tv{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string request = "POST /v1/auth/login HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                          "Content-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
    }
    std::string in;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) in.append(buffer, size_t(n));
    ::close(fd);
    if (in.size() >= 12 && in.compare(0, 5, "HTTP/") == 0) a.status = std::atoi(in.c_str() + 9);
    size_t head = in.find("\r\n\r\n");
    if (head != std::string::npos) a.body = in.substr(head + 4);
    return a;
}

// The string or number after "name": in a flat JSON answer.
std::string member(const std::string& body, const std::string& name) {
    size_t at = body.find("\"" + name + "\":");
    if (at == std::string::npos) return "";
    at += name.size() + 3;
    if (at < body.size() && body[at] == '"') {
        size_t end = body.find('"', at + 1);
        return end == std::string::npos ? "" : body.substr(at + 1, end - at - 1);
    }
    size_t end = body.find_first_of(",}", at);
    return body.substr(at, end - at);
}

std::string with(std::string body, const std::string& name, const std::string& value) {
    body.pop_back();
    return body + ",\"" + name + "\":\"" + value + "\"}";
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: sign_in_flood PORT EMAIL PASSWORD FLOOD WARMUP_SECONDS\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    std::string email = argv[2], password = argv[3];
    int flood = std::atoi(argv[4]), warmup = std::atoi(argv[5]);
    std::string good = "{\"email\":\"" + email + "\",\"password\":\"" + password + "\"}";

    Answer first = login("127.0.9.1", port, good);
    std::string device = member(first.body, "device_token");
    if (first.status != 200 || device.empty()) {
        std::fprintf(stderr, "sign_in_flood: the first sign-in failed (%d)\n", first.status);
        return 1;
    }

    std::atomic<bool> stop{false};
    std::atomic<long> sent{0}, hashed{0}, busy{0};
    std::vector<std::thread> guessers;
    for (int t = 0; t < flood; ++t)
        guessers.emplace_back([&, t] {
            for (long i = t; !stop; i += flood) {
                std::string source = "127.0.10." + std::to_string(1 + i % 250);
                std::string target = i % 2 ? "nobody" + std::to_string(i) + "@example.com" : email;
                Answer a = login(source, port,
                                 "{\"email\":\"" + target + "\",\"password\":\"guess " + std::to_string(i) + "\"}");
                ++sent;
                if (a.status == 401) ++hashed;
                if (a.status == 503) ++busy;
            }
        });
    std::this_thread::sleep_for(std::chrono::seconds(warmup));

    std::vector<double> known;
    int known_ok = 0;
    for (int i = 0; i < 28; ++i) {
        auto start = Clock::now();
        Answer a = login("127.0.9.1", port, with(good, "device", device));
        known.push_back(ms_since(start));
        known_ok += a.status == 200;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }

    int new_ok = 0;
    double new_max = 0;
    for (int i = 0; i < 5; ++i) {
        std::string source = "127.0.9." + std::to_string(10 + i);
        auto start = Clock::now();
        Answer a = login(source, port, good);
        for (int round = 0; round < 2 && a.status == 429 && !member(a.body, "challenge").empty(); ++round) {
            std::string challenge = member(a.body, "challenge"), proof;
            std::atomic<bool> never{false};
            if (!backend::pow_solve(challenge, std::atoi(member(a.body, "bits").c_str()), never, proof)) break;
            a = login(source, port, with(with(good, "challenge", challenge), "proof", proof));
        }
        new_max = std::max(new_max, ms_since(start));
        new_ok += a.status == 200;
    }

    stop = true;
    for (auto& g : guessers) g.join();
    std::sort(known.begin(), known.end());
    // With 28 samples the 99th percentile is the slowest one.
    std::printf("known_ok %d known_p50_ms %.0f known_p99_ms %.0f new_ok %d new_max_ms %.0f flood_sent %ld "
                "flood_hashed %ld flood_busy %ld\n",
                known_ok, known[known.size() / 2], known.back(), new_ok, new_max, sent.load(), hashed.load(),
                busy.load());
    return 0;
}
