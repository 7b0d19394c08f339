// Hostile clients against the HTTP front: compressed bombs, unauthenticated uploads and endless
// headers are refused before they cost memory (the peak read from /proc); slow and greedy
// clients do not keep a normal client waiting; only the configured proxies name the client.
#include <brotli/encode.h>
#include <zlib.h>

#include <fstream>
#include <sstream>

#include "fixture.h"

namespace server_test {
namespace {

using Hostile = Server_Test;

// A kilobyte figure from /proc/self/status ("VmRSS", "VmHWM").
int64_t status_kib(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
    return -1;
}

// Starts a new peak: the high-water mark drops to what is resident now.
bool reset_peak() { return bool(std::ofstream("/proc/self/clear_refs") << "5"); }

std::string brotli_of_zeros(size_t size) {
    std::string zeros(size, '\0');
    size_t n = BrotliEncoderMaxCompressedSize(size);
    std::string out(n, '\0');
    BrotliEncoderCompress(5, 24, BROTLI_MODE_GENERIC, size,
                          reinterpret_cast<const uint8_t*>(zeros.data()), &n,
                          reinterpret_cast<uint8_t*>(out.data()));
    out.resize(n);
    return out;
}

std::string gzip_of_zeros(size_t size) {
    std::string zeros(size, '\0'), out;
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    out.resize(deflateBound(&z, size));
    z.next_in = reinterpret_cast<Bytef*>(zeros.data());
    z.avail_in = static_cast<uInt>(size);
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A connection from `source` (any 127.x.y.z is this machine); -1 when it fails.
int connect_from(const char* source, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{}, to{};
    local.sin_family = to.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// The status of the first answer on `fd`, 0 when none came.
int read_status(int fd) {
    char buffer[64] = {};
    ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, 0);
    return n >= 12 ? std::atoi(buffer + 9) : 0;
}

TEST_F(Hostile, BombsEndlessHeadersAndStrangersUploadsAreRefusedBeforeTheyCostMemory) {
    std::string head = "POST /v1/auth/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n";
    std::string upload(16 * 1024 * 1024 - 4096, 'x');
    std::string many_lines = "GET /account.html HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 50000; ++i) many_lines += "X-Filler-" + std::to_string(i) + ": y\r\n";
    many_lines += "\r\n";
    struct Case {
        const char* what;
        std::string head;  // up to the blank line, the body's length is added
        std::string body;
        int parallel;
        int status;
    };
    // Each bomb inflates to 256 MiB, an upload is kept whole while parsed: any of them read
    // would raise the peak far past the limit below.
    const Case cases[] = {
        {"brotli bomb", head + "Content-Encoding: br\r\n", brotli_of_zeros(256 << 20), 4, 415},
        {"gzip bomb", head + "Content-Encoding: gzip\r\n", gzip_of_zeros(256 << 20), 4, 415},
        {"uploads without a token",
         "POST /v1/maps HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\n",
         "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"m.tnw\"\r\n\r\n" + upload +
             "\r\n--b--\r\n",
         20, 401},
        {"50,000 header lines", many_lines, "", 4, 431},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string request = c.body.empty() ? c.head
                                             : c.head + "Content-Length: " +
                                                   std::to_string(c.body.size()) + "\r\n\r\n" +
                                                   c.body;
        ASSERT_TRUE(reset_peak());
        int64_t idle = status_kib("VmRSS");
        std::vector<int> status(c.parallel);
        std::vector<std::thread> senders;
        for (int i = 0; i < c.parallel; ++i)
            senders.emplace_back([&, i] {
                int fd = connect_from("127.0.0.1", http->port);
                send_all(fd, request);
                status[i] = read_status(fd);
                ::close(fd);
            });
        for (auto& t : senders) t.join();
        for (int s : status) EXPECT_EQ(s, c.status);
        EXPECT_LT(status_kib("VmHWM") - idle, 100 * 1024) << "KiB above idle";
        EXPECT_EQ(cli->Get("/account.html")->status, 200);
    }
}

TEST_F(Hostile, SlowAndGreedyClientsLeaveANormalClientServed) {
    // 300 connections from other addresses, each with half a request head, dripping.
    std::vector<int> slow;
    for (int i = 0; i < 300; ++i) {
        std::string source = "127.0.1." + std::to_string(1 + i / 60);
        int fd = connect_from(source.c_str(), http->port);
        ASSERT_GE(fd, 0);
        send_all(fd, "GET /account.html HTTP/1.1\r\nHost: x\r\nX-Slow: ");
        slow.push_back(fd);
    }
    for (int round = 0; round < 3; ++round) {
        for (int fd : slow) send_all(fd, "a");
        EXPECT_EQ(cli->Get("/v1/maps?sort=new&limit=60&q=")->status, 200);
    }
    // One address past its cap is turned away at once; another address is not.
    std::vector<int> greedy;
    for (size_t i = 0; i < srv->options.per_address_connections; ++i)
        greedy.push_back(connect_from("127.0.2.1", http->port));
    int over = connect_from("127.0.2.1", http->port);
    EXPECT_EQ(read_status(over), 503);
    ::close(over);
    EXPECT_EQ(cli->Get("/account.html")->status, 200);
    // A head that does not arrive whole within its deadline is answered 408 and closed.
    EXPECT_EQ(read_status(slow.front()), 408);
    for (int fd : slow) ::close(fd);
    for (int fd : greedy) ::close(fd);
}

TEST_F(Hostile, OnlyTheConfiguredProxiesNameTheClient) {
    struct Case {
        std::vector<std::string> proxies;
        const char* recorded;  // the address the failed sign-in is counted for
    };
    const Case cases[] = {
        {{}, "127.0.0.1"},
        {{"10.0.0.9"}, "127.0.0.1"},
        {{"10.0.0.9", "127.0.0.1"}, "203.0.113.7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.recorded);
        stop();
        server::Options o = options();
        o.trusted_proxies = c.proxies;
        start(o);
        {
            server::Lease db(srv->store);
            ASSERT_TRUE(server::Query(db, "DELETE FROM login_failures").done());
        }
        httplib::Headers h{{"X-Real-IP", "203.0.113.7"}};
        auto r = cli->Post("/v1/auth/login", h,
                           json::json_body({"email", "nobody@example.com", "password", "x"}),
                           "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 401);
        server::Lease db(srv->store);
        server::Query q(db, "SELECT address FROM login_failures");
        ASSERT_TRUE(q.row());
        EXPECT_EQ(q.text(0), c.recorded);
    }
}

}  // namespace
}  // namespace server_test
