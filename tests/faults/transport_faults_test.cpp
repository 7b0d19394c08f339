// Network faults between the launcher and its backend, at the client: each fault ends in one
// failure with no partial body, and the same client then completes the next request as if
// nothing had happened (a later check must always be able to finish what a fault broke).
#include "backend/client.h"
#include "raw_server.h"
#include "support/client_wait.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using backend::Client;
using backend::Method;
using backend::Response;
using support::Reply;

constexpr const char* agent = "TarnwickLauncher/0.1.3";
const std::string good_body(70000, 'g');

struct Fault {
    const char* name;
    Reply reply;
    const char* err;  // the whole error text
};

Reply body_of(std::string body) {
    Reply r;
    r.body = std::move(body);
    return r;
}

std::vector<Fault> faults() {
    std::vector<Fault> out;
    Reply reset = body_of(std::string(200000, 'r'));
    reset.cut_after = 5000;
    out.push_back({"reset mid-body", reset, "read: connection reset"});

    Reply endless;  // no length: the body would end only when the connection closes
    endless.fill_size = uint64_t(1) << 40;
    endless.no_content_length = true;
    out.push_back({"endless body without a length", endless, "response too large"});

    Reply endless_chunked;
    endless_chunked.fill_size = uint64_t(1) << 40;
    endless_chunked.chunked = true;
    out.push_back({"endless chunked body", endless_chunked, "response too large"});

    Reply announced_huge = body_of("small");  // refused on the announcement, before reading
    announced_huge.content_length = int64_t(1) << 40;
    out.push_back({"length announcing a terabyte", announced_huge, "response too large"});

    Reply longer = body_of(std::string(3000, 'l'));  // more announced than ever comes
    longer.content_length = 9000;
    out.push_back({"length announcing more than is sent", longer, "read: connection reset"});

    Reply stalled = body_of(std::string(5000, 's'));
    stalled.stall_after = 100;
    out.push_back({"stall mid-body", stalled, "read: timed out"});

    Reply silent;
    silent.stall = true;
    out.push_back({"no answer at all", silent, "receive: timed out"});

    Reply hang_up;
    hang_up.hang_up = true;
    out.push_back({"hang-up without an answer", hang_up, "receive: connection reset"});
    return out;
}

TEST(TransportFaults, EachFaultFailsWholeAndTheSameClientRecoversAtOnce) {
    auto server = support::start_test_server();
    ASSERT_TRUE(server);
    Client client;
    ASSERT_TRUE(backend::init(client, support::base_url(*server), agent, 700));
    client.max_body = 1 << 20;
    on(*server, "GET", "/good", body_of(good_body));

    for (const Fault& f : faults()) {
        SCOPED_TRACE(f.name);
        on(*server, "GET", "/fault", f.reply);
        uint64_t id = backend::request_typed(client, Method::GET, "/fault");
        Response r = support::wait_response(client, 20000);
        EXPECT_EQ(r.id, id);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, f.err);
        EXPECT_EQ(r.body, "") << "a partial body came through";

        id = backend::request_typed(client, Method::GET, "/good");
        r = support::wait_response(client, 20000);
        EXPECT_EQ(r.id, id);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.body, good_body);
    }
    backend::destroy(client);
}

TEST(TransportFaults, LengthAnnouncingLessThanIsSentNeverYieldsMoreThanAnnounced) {
    auto server = support::start_test_server();
    ASSERT_TRUE(server);
    Reply shorter = body_of("0123456789abcdef");
    shorter.content_length = 10;
    on(*server, "GET", "/short", shorter);
    Client client;
    ASSERT_TRUE(backend::init(client, support::base_url(*server), agent, 1000));
    backend::request_typed(client, Method::GET, "/short");
    Response r = support::wait_response(client);
    // HTTP ends the body at the announced length: the extra bytes are never taken as body, so
    // a digest check downstream sees exactly what the server committed to.
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "0123456789");
}

TEST(TransportFaults, DripSlowerThanTheTimeOutInTotalCompletes) {
    auto server = support::start_test_server();
    ASSERT_TRUE(server);
    Reply drip = body_of("drip-drop");  // one byte every 150 ms: 1.35 s in all, 3 time-outs' worth
    drip.drip_bytes = 1;
    drip.drip_ms = 150;
    on(*server, "GET", "/drip", drip);
    Client client;
    ASSERT_TRUE(backend::init(client, support::base_url(*server), agent, 450));
    backend::request_typed(client, Method::GET, "/drip");
    Response r = support::wait_response(client, 20000);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "drip-drop");
}

TEST(TransportFaults, UploadSlowerThanTheTimeOutInTotalCompletes) {
    // A map shared over a slow uplink: the server takes the first 8 MiB of the body 64 KiB at a
    // time, one piece every 16 ms (some 4 MB/s), two seconds or more in all, twice the
    // time-out; every piece the client can send on is progress. The rest, with whatever the
    // client's system buffered meanwhile, is taken at once.
    auto server = support::start_test_server();
    ASSERT_TRUE(server);
    support::read_slowly(*server, 65536, 16, size_t(8) << 20);
    on(*server, "POST", "/v1/maps", support::text(201, "{}"));
    Client client;
    ASSERT_TRUE(backend::init(client, support::base_url(*server), agent, 1000));
    const std::string map(size_t(16) << 20, 'm');
    backend::request_typed(client, Method::POST, "/v1/maps", map, "application/octet-stream");
    Response r = support::wait_response(client, 60000);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 201);
    auto seen = support::requests(*server);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body.size(), map.size());
}

TEST(TransportFaults, ServerStoppingMidBodyFailsAndARestartedServerIsReachedAgain) {
    auto server = support::start_test_server();
    ASSERT_TRUE(server);
    Reply slow = body_of(std::string(100, 'p'));
    slow.drip_bytes = 10;
    slow.drip_ms = 100;
    on(*server, "GET", "/blob", slow);
    Client client;
    ASSERT_TRUE(backend::init(client, support::base_url(*server), agent, 5000));
    backend::request_typed(client, Method::GET, "/blob");
    ASSERT_TRUE(support::wait_for_requests(*server, 1, 5000));
    support::stop(*server);
    Response r = support::wait_response(client, 20000);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.body, "");

    // The backend comes back (on another port, so through a new client as after a restart).
    auto again = support::start_test_server();
    ASSERT_TRUE(again);
    on(*again, "GET", "/blob", body_of("whole"));
    backend::destroy(client);
    ASSERT_TRUE(backend::init(client, support::base_url(*again), agent, 5000));
    backend::request_typed(client, Method::GET, "/blob");
    r = support::wait_response(client);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "whole");
}

TEST(TransportFaults, UntrustedCertificateIsATlsErrorAndNothingIsSent) {
    auto server = support::start_test_server(true);
    ASSERT_TRUE(server);
    on(*server, "GET", "/files/releases/stable.json", body_of("{}"));
    Client client;
    ASSERT_TRUE(backend::init(client, support::base_url(*server), agent, 5000));
    backend::request_typed(client, Method::GET, "/files/releases/stable.json");
    Response r = support::wait_response(client);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("TLS/certificate error"), std::string::npos) << r.err;
    EXPECT_TRUE(support::requests(*server).empty());
}

// ---- Answers no HTTP server should give -------------------------------------------------

struct Hostile {
    const char* name;
    faults::Raw_Server::Script script;
};

// Writes `unit` again and again until the client goes away.
faults::Raw_Server::Script forever(std::string head, std::string unit) {
    return [head, unit](int fd) {
        if (!faults::send_all(fd, head)) return;
        std::string block;
        while (block.size() < 65536) block += unit;
        while (faults::send_all(fd, block)) {
        }
    };
}

faults::Raw_Server::Script once(std::string bytes) {
    return [bytes](int fd) { faults::send_all(fd, bytes); };
}

TEST(HostileAnswers, EndWithAFailureWithinBoundedTimeAndMemory) {
    const Hostile cases[] = {
        {"not HTTP at all", once("SSH-2.0-OpenSSH_9.2\r\n\r\n")},
        {"status line without a code", once("HTTP/1.1 OK\r\nContent-Length: 2\r\n\r\nhi")},
        {"negative length", once("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nhello")},
        {"chunk size past 64 bits", once("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFF\r\nx")},
        {"endless header line", forever("HTTP/1.1 200 OK\r\nX-Endless: ", "a")},
        {"endless list of headers", forever("HTTP/1.1 200 OK\r\n", "X-More: yes\r\n")},
        {"endless interim answers", forever("", "HTTP/1.1 100 Continue\r\n\r\n")},
        {"endless chunk extensions", forever("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;", "e")},
    };
    for (const Hostile& h : cases) {
        SCOPED_TRACE(h.name);
        faults::Raw_Server server(h.script);
        ASSERT_NE(server.port, 0);
        Client client;
        ASSERT_TRUE(backend::init(client, server.url(), agent, 2000));
        client.max_body = 1 << 20;
        backend::request_typed(client, Method::GET, "/files/releases/stable.json");
        // Generous: a failure must come on its own, long before the endless answers end.
        Response r = support::wait_response(client, 30000);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.err, "");
        EXPECT_NE(r.err, "no response") << "the client kept reading an endless answer";
        EXPECT_EQ(r.body, "");
        backend::destroy(client);
        server.stop();
    }
}

}  // namespace
