// A development backend started inside the test process on 127.0.0.1 with a free port, over a
// fresh data folder, with a clock the test moves by hand, cheap password hashing, and the
// request log captured in memory. Plus a raw-socket client for requests no polite client sends.
// With TARNWICK_TEST_POSTGRES set to a PostgreSQL URL, each test gets a fresh database there
// instead of the SQLite file (ctest runs the suite both ways).
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backend/json.h"
#include "backend/proof_of_work.h"
#include "server/http.h"
#include "server/server.h"

namespace server_test {

namespace fs = std::filesystem;

inline fs::path make_temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-server-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    return fs::path(pattern);
}

// The decoded members of an authentication answer.
struct Tokens {
    std::string access;
    std::string refresh;
    int64_t expires_at = 0;
    bool created = false;
    int64_t id = 0;
    std::string name;
    std::string device;  // the device token a sign-in answers
};

inline Tokens decode_tokens(const std::string& body) {
    Tokens t;
    json::Value root;
    if (!json::parse(body, root)) return t;
    json::members(root, [&](std::string_view key, json::Value v) {
        if (key == "access_token") json::get(v, t.access);
        if (key == "refresh_token") json::get(v, t.refresh);
        if (key == "expires_at") json::get(v, t.expires_at);
        if (key == "created") json::get(v, t.created);
        if (key == "device_token") json::get(v, t.device);
        if (key == "account")
            json::members(v, [&](std::string_view k, json::Value a) {
                if (k == "id") json::get(a, t.id);
                if (k == "name") json::get(a, t.name);
                return true;
            });
        return true;
    });
    return t;
}

// The `error` member of an E body; "<not E>" when the body is not one.
inline std::string error_code(const std::string& body) {
    json::Value root;
    std::string code = "<not E>";
    if (!json::parse(body, root)) return code;
    json::members(root, [&](std::string_view key, json::Value v) {
        if (key == "error") json::get(v, code);
        return true;
    });
    return code;
}

// The body with one more member, as a launcher adds its device token or a solved challenge.
inline std::string with_member(std::string body, const std::string& name, const std::string& value) {
    body.pop_back();
    return body + ",\"" + name + "\":\"" + value + "\"}";
}

// The challenge a refusal carries and a proof that solves it, found as the launcher finds one.
struct Solved {
    std::string challenge;
    int64_t bits = 0;
    std::string proof;
};

inline Solved solve_challenge(const std::string& body) {
    Solved s;
    json::Value root;
    if (!json::parse(body, root)) return s;
    json::members(root, [&](std::string_view key, json::Value v) {
        if (key == "challenge") json::get(v, s.challenge);
        if (key == "bits") json::get(v, s.bits);
        return true;
    });
    std::atomic<bool> stop{false};
    if (!s.challenge.empty()) {
        EXPECT_TRUE(backend::pow_solve(s.challenge, int(s.bits), stop, s.proof));
    }
    return s;
}

// The PostgreSQL server the suite runs against, or empty for SQLite: the URL in
// TARNWICK_TEST_POSTGRES, or in the file STATE.url that scripts/postgres-scratch wrote for
// TARNWICK_TEST_POSTGRES_STATE.
inline std::string postgres_admin_url() {
    if (const char* url = std::getenv("TARNWICK_TEST_POSTGRES")) return url;
    const char* state = std::getenv("TARNWICK_TEST_POSTGRES_STATE");
    if (!state) return "";
    std::string url;
    std::ifstream(std::string(state) + ".url") >> url;
    return url;
}

inline bool postgres_admin(const std::string& sql) {
    PGconn* c = PQconnectdb(postgres_admin_url().c_str());
    PGresult* r = PQexec(c, sql.c_str());
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) ADD_FAILURE() << sql << ": " << PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    return ok;
}

// A new empty database on the PostgreSQL server; returns its URL and its name in `name`.
inline std::string make_postgres_database(std::string& name) {
    static std::atomic<int> counter{0};
    name = "t_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    if (!postgres_admin("CREATE DATABASE " + name)) return "";
    std::string url = postgres_admin_url();
    return url + (url.find('?') == std::string::npos ? "?" : "&") + "dbname=" + name;
}

class Server_Test : public ::testing::Test {
protected:
    fs::path dir;
    std::string database;       // the PostgreSQL URL, empty on SQLite
    std::string database_name;
    std::unique_ptr<server::Server> srv;
    std::unique_ptr<server::Http> http;
    std::unique_ptr<httplib::Client> cli;
    std::shared_ptr<std::atomic<int64_t>> now = std::make_shared<std::atomic<int64_t>>(1700000000);
    // Milliseconds past `now`'s second, for what the server orders within one second.
    std::shared_ptr<std::atomic<int64_t>> now_ms = std::make_shared<std::atomic<int64_t>>(0);
    std::shared_ptr<std::mutex> log_lock = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<std::string>> log_lines =
        std::make_shared<std::vector<std::string>>();

    void SetUp() override {
        dir = make_temp_dir();
        if (!postgres_admin_url().empty()) database = make_postgres_database(database_name);
        start();
    }

    void TearDown() override {
        stop();
        std::error_code ec;
        fs::remove_all(dir, ec);
        if (!database_name.empty()) postgres_admin("DROP DATABASE " + database_name + " WITH (FORCE)");
    }

    server::Options options() {
        server::Options o;
        o.data_dir = dir.string();
        o.database = database;
        o.port = 0;
        o.fast_hash = true;
        return o;
    }

    void start(server::Options o) {
        srv = std::make_unique<server::Server>();
        auto clock = now;
        srv->clock = [clock] { return clock->load(); };
        srv->clock_ms = [clock, ms = now_ms] { return clock->load() * 1000 + ms->load(); };
        auto lines = log_lines;
        auto lock = log_lock;
        srv->log = [lines, lock](std::string_view line) {
            std::lock_guard g(*lock);
            lines->emplace_back(line);
        };
        ASSERT_EQ(server::server_open(*srv, o), "");
        http = std::make_unique<server::Http>();
        ASSERT_EQ(server::http_start(*srv, *http, "127.0.0.1", 0), "");
        cli = std::make_unique<httplib::Client>("127.0.0.1", http->port);
        cli->set_read_timeout(20, 0);
        cli->set_write_timeout(20, 0);
    }
    void start() { start(options()); }

    void stop() {
        cli.reset();
        if (http) server::http_stop(*http);
        http.reset();
        srv.reset();
    }

    std::vector<std::string> log() {
        std::lock_guard g(*log_lock);
        return *log_lines;
    }

    // The log once it has `count` lines: the server writes a line after the answer has gone
    // out, so the client can be a little ahead of it. Gives up after ten seconds.
    std::vector<std::string> log_with(size_t count) {
        for (int i = 0; i < 1000 && log().size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return log();
    }

    httplib::Result post(const std::string& path, const std::string& body) {
        return cli->Post(path.c_str(), body, "application/json");
    }

    // Registers an account and returns its tokens; fails the test when refused.
    Tokens make_account(const std::string& email, const std::string& password = "correct horse",
                        const std::string& name = "Test Player") {
        auto r = post("/v1/auth/register",
                      json::json_body({"email", email, "password", password, "name", name}));
        EXPECT_TRUE(r);
        if (!r) return {};
        EXPECT_EQ(r->status, 201) << r->body;
        return decode_tokens(r->body);
    }

    Tokens login(const std::string& email, const std::string& password, int expect = 200) {
        auto r = post("/v1/auth/login", json::json_body({"email", email, "password", password}));
        EXPECT_TRUE(r);
        if (!r) return {};
        EXPECT_EQ(r->status, expect) << r->body;
        return decode_tokens(r->body);
    }

    // Sends `request` as it is on a new connection and returns everything the server sent
    // until it closed the connection (requests should say "Connection: close").
    std::string raw(const std::string& request) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(http->port));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        timeval tv{20, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return {};
        }
        size_t sent = 0;
        while (sent < request.size()) {
            ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) out.append(buffer, n);
        ::close(fd);
        return out;
    }

    std::string get_raw(const std::string& target) {
        return raw("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }
};

// The status code of a raw HTTP answer, 0 when there is none.
inline int raw_status(const std::string& answer) {
    if (answer.compare(0, 9, "HTTP/1.1 ") != 0 || answer.size() < 12) return 0;
    return std::atoi(answer.substr(9, 3).c_str());
}

inline std::string raw_body(const std::string& answer) {
    auto end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

}  // namespace server_test
