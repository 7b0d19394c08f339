// The HTTP exchange as the backend sees it, against the in-process recording server.
// Sections: what goes out - what comes back - failures before any answer - time-outs.
#include "backend/client.h"
#include "support/client_wait.h"
#include "support/test_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace backend {
namespace {

using support::Recorded_Request;
using support::Reply;

constexpr const char* agent = "TarnwickLauncher/0.1.3";

std::vector<std::string> header_names(const Recorded_Request& r) {
    std::vector<std::string> names;
    for (const support::Header& h : r.headers) names.push_back(h.name);
    return names;
}

// A header's value, or "(absent)" so that a missing header fails the comparison readably.
std::string value(const Recorded_Request& r, std::string_view name) {
    const std::string* v = r.header(name);
    return v ? *v : "(absent)";
}

struct Exchange : ::testing::Test {
    std::unique_ptr<support::Test_Server> server = support::start_test_server();
    Client client;

    void SetUp() override {
        ASSERT_TRUE(server);
        ASSERT_TRUE(init(client, support::base_url(*server), agent, 5000));
    }

    // Performs one request and returns its response together with what the server saw.
    Response exchange(Method m, std::string_view path, std::string_view body = {},
                      std::string_view content_type = {}) {
        uint64_t id = request_typed(client, m, path, body, content_type);
        Response r = support::wait_response(client);
        EXPECT_EQ(r.id, id);
        return r;
    }

    Recorded_Request last_request() {
        std::vector<Recorded_Request> seen = support::requests(*server);
        EXPECT_FALSE(seen.empty());
        return seen.empty() ? Recorded_Request{} : seen.back();
    }
};

// ---- What goes out -----------------------------------------------------------------------

TEST_F(Exchange, GetSendsOnlyAcceptBesidesHostAndUserAgent) {
    on(*server, "GET", "/news.json", support::text(200, "{}"));
    Response r = exchange(Method::GET, "/news.json");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.err, "");
    Recorded_Request seen = last_request();
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.target, "/news.json");
    EXPECT_EQ(seen.version, "HTTP/1.1");
    EXPECT_EQ(header_names(seen), (std::vector<std::string>{"Host", "User-Agent", "Accept"}));
    EXPECT_EQ(value(seen, "Accept"), "application/json");
    EXPECT_EQ(value(seen, "User-Agent"), agent);
    EXPECT_EQ(value(seen, "Host"), "127.0.0.1:" + std::to_string(server->port));
    EXPECT_EQ(seen.body, "");
}

TEST_F(Exchange, EmptyPostStillCarriesJsonContentType) {
    on(*server, "POST", "/v1/auth/logout", support::text(204, ""));
    Response r = exchange(Method::POST, "/v1/auth/logout");
    EXPECT_EQ(r.status, 204);
    Recorded_Request seen = last_request();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(header_names(seen),
              (std::vector<std::string>{"Host", "User-Agent", "Accept", "Content-Type", "Content-Length"}));
    EXPECT_EQ(value(seen, "Content-Type"), "application/json");
    EXPECT_EQ(value(seen, "Content-Length"), "0");
    EXPECT_EQ(seen.header("Authorization"), nullptr);
    EXPECT_EQ(seen.header("Expect"), nullptr);
}

TEST_F(Exchange, PostWithBodySendsTheBytesAndTheGivenContentType) {
    on(*server, "POST", "*", support::text(200, "ok"));
    std::string body = "{\"email\":\"a@b\",\"password\":\"x\"}";
    exchange(Method::POST, "/v1/auth/login", body);
    Recorded_Request seen = last_request();
    EXPECT_EQ(seen.body, body);
    EXPECT_EQ(value(seen, "Content-Type"), "application/json");
    EXPECT_EQ(value(seen, "Content-Length"), std::to_string(body.size()));

    // Binary bytes and a caller's own content type go out untouched; a body big enough that
    // curl would otherwise ask "Expect: 100-continue" first goes out without it.
    std::string upload(2 << 20, '\0');
    for (size_t i = 0; i < upload.size(); ++i) upload[i] = char(i * 7);
    exchange(Method::POST, "/v1/maps", upload, "multipart/form-data; boundary=b0und");
    seen = last_request();
    EXPECT_EQ(seen.body, upload);
    EXPECT_EQ(value(seen, "Content-Type"), "multipart/form-data; boundary=b0und");
    EXPECT_EQ(seen.header("Expect"), nullptr);
}

TEST_F(Exchange, PatchCarriesAuthorizationBetweenAcceptAndContentType) {
    on(*server, "PATCH", "/v1/me", support::text(200, "{}"));
    set_token(client, "tok.en");
    exchange(Method::PATCH, "/v1/me", "{\"name\":\"Wren\"}");
    Recorded_Request seen = last_request();
    EXPECT_EQ(seen.method, "PATCH");
    EXPECT_EQ(header_names(seen), (std::vector<std::string>{"Host", "User-Agent", "Accept", "Authorization",
                                                            "Content-Type", "Content-Length"}));
    EXPECT_EQ(value(seen, "Authorization"), "Bearer tok.en");
    EXPECT_EQ(seen.body, "{\"name\":\"Wren\"}");
}

TEST_F(Exchange, EveryVerbGoesOutAsItsOwnWordAndBodiesTravelWithAnyVerb) {
    on(*server, "*", "*", support::text(200, ""));
    exchange(Method::PUT, "/p");  // empty PUT: a content type, like POST
    Recorded_Request seen = last_request();
    EXPECT_EQ(seen.method, "PUT");
    EXPECT_EQ(value(seen, "Content-Type"), "application/json");

    exchange(Method::DELETE, "/d");  // empty DELETE: no content type
    seen = last_request();
    EXPECT_EQ(seen.method, "DELETE");
    EXPECT_EQ(seen.header("Content-Type"), nullptr);

    exchange(Method::DELETE, "/d", "x");  // with a body it carries one
    seen = last_request();
    EXPECT_EQ(value(seen, "Content-Type"), "application/json");
    EXPECT_EQ(seen.body, "x");

    exchange(Method::GET, "/g", "[1]", "text/plain");
    seen = last_request();
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(value(seen, "Content-Type"), "text/plain");
    EXPECT_EQ(seen.body, "[1]");
}

TEST_F(Exchange, PathGoesOutAsGivenWithUnsafeBytesEscaped) {
    on(*server, "*", "*", support::text(200, ""));
    exchange(Method::GET, "/v1/maps?sort=new&limit=60&q=a%20b");
    EXPECT_EQ(last_request().target, "/v1/maps?sort=new&limit=60&q=a%20b");

    exchange(Method::GET, "/a/../b/./c");  // no dot-segment clean-up
    EXPECT_EQ(last_request().target, "/a/../b/./c");

    // A line break in a path must not end the request line and start a header of its own.
    exchange(Method::GET, "/x y\r\nX-Injected: 1\r\n\xc3\xa9");
    Recorded_Request seen = last_request();
    EXPECT_EQ(seen.target, "/x%20y%0D%0AX-Injected:%201%0D%0A%C3%A9");
    EXPECT_EQ(seen.header("X-Injected"), nullptr);
}

TEST_F(Exchange, HeaderValueWithLineBreakIsRefusedWithoutSending) {
    set_authorization(client, "Bearer abc\r\nX-Injected: 1");
    Response r = exchange(Method::GET, "/v1/maps");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "bad header");

    set_authorization(client, "");
    r = exchange(Method::POST, "/v1/maps", "b", "text/plain\nX-Injected: 1");
    EXPECT_EQ(r.err, "bad header");
    EXPECT_EQ(support::connection_count(*server), 0u);
}

// ---- What comes back ---------------------------------------------------------------------

TEST_F(Exchange, ErrorStatusesAndRedirectsArriveAsTheyAre) {
    on(*server, "GET", "/missing", support::text(404, "{\"error\":\"not_found\"}"));
    on(*server, "GET", "/moved", support::redirect(301, "/news.json"));
    on(*server, "GET", "/news.json", support::text(200, "followed"));
    on(*server, "GET", "/broken", support::text(500, "oops"));

    Response r = exchange(Method::GET, "/missing");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "{\"error\":\"not_found\"}");
    EXPECT_EQ(r.err, "");

    r = exchange(Method::GET, "/moved");
    EXPECT_EQ(r.status, 301);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.err, "");

    r = exchange(Method::GET, "/broken");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "oops");
    for (const Recorded_Request& seen : support::requests(*server)) EXPECT_NE(seen.path(), "/news.json");
}

TEST_F(Exchange, BodyOfExactlyTheLimitIsKeptAndOneMoreByteIsRefused) {
    client.max_body = 100000;
    Reply exact;
    exact.fill_size = 100000;
    on(*server, "GET", "/exact", exact);
    Reply over = exact;
    over.fill_size = 100001;
    on(*server, "GET", "/over", over);
    Reply over_chunked = over;  // no announced length: the limit is found while reading
    over_chunked.chunked = true;
    on(*server, "GET", "/over-chunked", over_chunked);
    Reply exact_chunked = exact;
    exact_chunked.chunked = true;
    exact_chunked.drip_bytes = 999;  // many small pieces across the limit's arithmetic
    on(*server, "GET", "/exact-chunked", exact_chunked);

    Response r = exchange(Method::GET, "/exact");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, std::string(100000, 'x'));

    r = exchange(Method::GET, "/exact-chunked");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), 100000u);

    for (const char* path : {"/over", "/over-chunked"}) {
        r = exchange(Method::GET, path);
        EXPECT_EQ(r.status, 0) << path;
        EXPECT_EQ(r.body, "") << path;
        EXPECT_EQ(r.err, "response too large") << path;
    }
}

TEST_F(Exchange, DefaultLimitIsFourMebibytes) {
    Reply exact;
    exact.fill_size = 4 << 20;
    on(*server, "GET", "/exact", exact);
    Reply over;
    over.fill_size = (4 << 20) + 1;
    on(*server, "GET", "/over", over);
    EXPECT_EQ(exchange(Method::GET, "/exact").body.size(), size_t(4 << 20));
    EXPECT_EQ(exchange(Method::GET, "/over").err, "response too large");
}

TEST_F(Exchange, ConnectionLostMidBodyGivesNoPartialBody) {
    Reply cut;
    cut.body = std::string(5000, 'b');
    cut.cut_after = 1000;
    on(*server, "GET", "/cut", cut);
    Reply liar;  // announces more than it sends, then closes
    liar.body = "short";
    liar.content_length = 50;
    on(*server, "GET", "/liar", liar);
    Reply hang_up;
    hang_up.hang_up = true;
    on(*server, "GET", "/hang-up", hang_up);

    Response r = exchange(Method::GET, "/cut");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.err, "read: connection reset");

    r = exchange(Method::GET, "/liar");
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.err, "read: connection reset");

    r = exchange(Method::GET, "/hang-up");
    EXPECT_EQ(r.err, "receive: connection reset");
}

TEST_F(Exchange, BodyEndingAtCloseWithoutLengthIsComplete) {
    Reply reply;
    reply.body = "until the end";
    reply.no_content_length = true;
    on(*server, "GET", "/close", reply);
    Response r = exchange(Method::GET, "/close");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "until the end");
}

// ---- Failures before any answer ----------------------------------------------------------

TEST(TransportFailure, ClosedPortCannotConnect) {
    // A port that was just free and is not listening: the OS refuses at once.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(probe, (sockaddr*)&address, sizeof address), 0);
    ASSERT_EQ(getsockname(probe, (sockaddr*)&address, &size), 0);
    close(probe);

    Client client;
    ASSERT_TRUE(init(client, "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), agent, 5000));
    request_typed(client, Method::GET, "/news.json");
    Response r = support::wait_response(client);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "connect: could not connect");
    destroy(client);
}

TEST(TransportFailure, UnresolvableNameIsServerNameNotFound) {
    // A 64-character label can never be a DNS name, so the resolver fails it locally without
    // asking any server (a plain ".invalid" name would still be sent to the configured DNS).
    Client client;
    ASSERT_TRUE(init(client, "http://" + std::string(64, 'a') + ".invalid", agent, 5000));
    request_typed(client, Method::GET, "/news.json");
    Response r = support::wait_response(client);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "connect: server name not found");
    destroy(client);
}

TEST(TransportFailure, BadUrlMakesNoNetworkCall) {
    auto server = support::start_test_server();
    ASSERT_TRUE(server);
    std::string port = std::to_string(server->port);
    const std::string bases[] = {"ftp://127.0.0.1:" + port, "http://user@127.0.0.1:" + port,
                                 "http://127.0.0.1:" + port + "?q", "http://127.0.0.1:0",
                                 "http://[127.0.0.1:" + port};
    for (const std::string& base : bases) {
        Client client;
        ASSERT_TRUE(init(client, base, agent, 5000));
        request_typed(client, Method::GET, "/news.json");
        Response r = support::wait_response(client);
        EXPECT_EQ(r.status, 0) << base;
        EXPECT_EQ(r.err, "bad URL") << base;
    }
    EXPECT_EQ(support::connection_count(*server), 0u);
}

TEST(TransportFailure, SelfSignedCertificateIsRefused) {
    auto server = support::start_test_server(true);
    ASSERT_TRUE(server);
    on(*server, "GET", "*", support::text(200, "secret"));
    Client client;
    ASSERT_TRUE(init(client, support::base_url(*server), agent, 5000));
    request_typed(client, Method::GET, "/news.json");
    Response r = support::wait_response(client);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.err, "connect: TLS/certificate error");
    EXPECT_TRUE(support::requests(*server).empty());
}

// ---- Time-outs ---------------------------------------------------------------------------

struct Timeouts : ::testing::Test {
    std::unique_ptr<support::Test_Server> server = support::start_test_server();
    Client client;
    void SetUp() override {
        ASSERT_TRUE(server);
        ASSERT_TRUE(init(client, support::base_url(*server), agent, 500));
    }
    void TearDown() override {
        destroy(client);
        if (server) stop(*server);
    }
};

TEST_F(Timeouts, SilenceBeforeTheStatusLineTimesOutInReceive) {
    Reply silent;
    silent.stall = true;
    on(*server, "GET", "/silent", silent);
    request_typed(client, Method::GET, "/silent");
    Response r = support::wait_response(client);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "receive: timed out");
}

TEST_F(Timeouts, SilenceMidBodyTimesOutInRead) {
    Reply stalled;
    stalled.body = std::string(1000, 's');
    stalled.stall_after = 10;
    on(*server, "GET", "/stalled", stalled);
    request_typed(client, Method::GET, "/stalled");
    Response r = support::wait_response(client);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.err, "read: timed out");
}

TEST_F(Timeouts, SlowButSteadyBodyLongerThanTheTimeOutCompletes) {
    Reply drip;  // about a second in all, never more than 50 ms without a byte
    drip.body = std::string(210, 'd');
    drip.drip_bytes = 10;
    drip.drip_ms = 50;
    on(*server, "GET", "/drip", drip);
    Reply late;  // an answer that starts a little before the time-out
    late.delay_ms = 250;
    late.body = "late";
    on(*server, "GET", "/late", late);

    request_typed(client, Method::GET, "/drip");
    Response r = support::wait_response(client);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.body, drip.body);

    request_typed(client, Method::GET, "/late");
    r = support::wait_response(client);
    EXPECT_EQ(r.body, "late");
}

}  // namespace
}  // namespace backend
