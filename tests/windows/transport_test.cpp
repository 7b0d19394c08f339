// The WinHTTP transport against a loopback server in the same process (run under Wine).
#ifdef _WIN32
#include "loopback_server.h"

#include <gtest/gtest.h>

#include "backend/client.h"
#include "backend/transport.h"
#include "backend/url.h"
#include "support/client_wait.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using backend::Method;
using backend::Response;
using loopback::Reply;
using loopback::Request;

constexpr const char* agent = "TarnwickLauncher/0.1.3";

// One exchange straight through the transport, as the worker performs it.
struct Exchange {
    backend::Transport t;
    Exchange(int timeout_ms = 5000) { EXPECT_TRUE(backend::transport_open(t, agent, timeout_ms)); }
    ~Exchange() { backend::transport_close(t); }

    Response perform(const std::string& url, Method m, std::string_view body = {}, std::string_view auth = {},
                     std::string_view type = {}, int64_t max_body = 0) {
        Response r;
        r.id = 1;
        backend::Url_Parts parts;
        EXPECT_TRUE(backend::split_url(url, parts)) << url;
        backend::transport_perform(t, r, m, parts, body, auth, type, max_body);
        return r;
    }
};

Reply ok(std::string body = "{}") {
    Reply r;
    r.body = std::move(body);
    return r;
}

TEST(WinHttpTransport, GetSendsAcceptAndUserAgentButNoContentType) {
    loopback::Server server([](const Request&) { return ok("{\"a\":1}"); });
    Exchange x;
    Response r = x.perform(server.url("/v1/maps?sort=new&limit=60&q="), Method::GET);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"a\":1}");
    auto got = server.requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method, "GET");
    EXPECT_EQ(got[0].target, "/v1/maps?sort=new&limit=60&q=");
    ASSERT_NE(got[0].header("Accept"), nullptr);
    EXPECT_EQ(*got[0].header("Accept"), "application/json");
    ASSERT_NE(got[0].header("User-Agent"), nullptr);
    EXPECT_EQ(*got[0].header("User-Agent"), agent);
    EXPECT_EQ(got[0].header("Content-Type"), nullptr);
    EXPECT_EQ(got[0].header("Authorization"), nullptr);
}

TEST(WinHttpTransport, ContentTypeAndAuthorizationFollowTheVerbAndBody) {
    loopback::Server server([](const Request&) { return ok(); });
    Exchange x;
    std::string binary("part\0one\r\n", 10);
    EXPECT_EQ(x.perform(server.url("/v1/auth/logout"), Method::POST).status, 200);
    EXPECT_EQ(x.perform(server.url("/v1/me"), Method::PATCH, "{\"name\":\"b\"}", "Bearer tok").status, 200);
    EXPECT_EQ(x.perform(server.url("/v1/maps"), Method::POST, binary, "", "multipart/form-data; boundary=xyz").status, 200);
    EXPECT_EQ(x.perform(server.url("/v1/maps/3"), Method::DELETE).status, 200);
    EXPECT_EQ(x.perform(server.url("/v1/maps/4"), Method::DELETE, "{}").status, 200);
    EXPECT_EQ(x.perform(server.url("/v1/x"), Method::PUT).status, 200);

    auto got = server.requests();
    ASSERT_EQ(got.size(), 6u);
    // An empty POST still says it carries JSON, with a length of zero.
    EXPECT_EQ(got[0].method, "POST");
    ASSERT_NE(got[0].header("Content-Type"), nullptr);
    EXPECT_EQ(*got[0].header("Content-Type"), "application/json");
    ASSERT_NE(got[0].header("Content-Length"), nullptr);
    EXPECT_EQ(*got[0].header("Content-Length"), "0");

    EXPECT_EQ(got[1].method, "PATCH");
    EXPECT_EQ(got[1].body, "{\"name\":\"b\"}");
    ASSERT_NE(got[1].header("Authorization"), nullptr);
    EXPECT_EQ(*got[1].header("Authorization"), "Bearer tok");

    EXPECT_EQ(got[2].body, binary);   // bytes as they are, NUL and CR LF included
    ASSERT_NE(got[2].header("Content-Type"), nullptr);
    EXPECT_EQ(*got[2].header("Content-Type"), "multipart/form-data; boundary=xyz");

    EXPECT_EQ(got[3].method, "DELETE");
    EXPECT_EQ(got[3].header("Content-Type"), nullptr);
    ASSERT_NE(got[4].header("Content-Type"), nullptr);
    EXPECT_EQ(got[4].body, "{}");
    EXPECT_EQ(got[5].method, "PUT");
    EXPECT_NE(got[5].header("Content-Type"), nullptr);
}

TEST(WinHttpTransport, ErrorStatusesAndRedirectsComeBackAsTheyAre) {
    loopback::Server server([](const Request& q) {
        Reply r;
        if (q.target == "/missing") {
            r.status = 404;
            r.body = "{\"error\":\"not_found\"}";
        } else if (q.target == "/moved") {
            r.status = 301;
            r.headers = {{"Location", "/elsewhere"}};
            r.body = "moved";
        } else if (q.target == "/broken") {
            r.status = 500;
        }
        return r;
    });
    Exchange x;
    Response missing = x.perform(server.url("/missing"), Method::GET);
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body, "{\"error\":\"not_found\"}");
    EXPECT_EQ(missing.err, "");

    Response moved = x.perform(server.url("/moved"), Method::GET);
    EXPECT_EQ(moved.status, 301);
    EXPECT_EQ(moved.body, "moved");
    EXPECT_EQ(moved.err, "");

    Response broken = x.perform(server.url("/broken"), Method::GET);
    EXPECT_EQ(broken.status, 500);
    EXPECT_EQ(broken.body, "");
    EXPECT_EQ(broken.err, "");

    // The redirect was not followed: /elsewhere was never asked for.
    auto got = server.requests();
    ASSERT_EQ(got.size(), 3u);
    for (const Request& q : got) EXPECT_NE(q.target, "/elsewhere");
}

TEST(WinHttpTransport, BodyOfExactlyTheLimitIsKeptOneByteMoreIsRefused) {
    constexpr int64_t limit = 100000;   // several reads of 16 KiB, and a partial one
    loopback::Server server([](const Request& q) {
        Reply r;
        r.body.assign(size_t(q.target == "/exact" || q.target == "/exact-unsized" ? limit : limit + 1), 'z');
        r.no_length = q.target.ends_with("-unsized");   // the limit must hold while reading too
        return r;
    });
    Exchange x;
    for (const char* path : {"/exact", "/exact-unsized"}) {
        Response r = x.perform(server.url(path), Method::GET, {}, {}, {}, limit);
        EXPECT_EQ(r.err, "") << path;
        EXPECT_EQ(r.status, 200) << path;
        EXPECT_EQ(int64_t(r.body.size()), limit) << path;
    }
    for (const char* path : {"/over", "/over-unsized"}) {
        Response r = x.perform(server.url(path), Method::GET, {}, {}, {}, limit);
        EXPECT_EQ(r.err, "response too large") << path;
        EXPECT_EQ(r.status, 0) << path;
        EXPECT_TRUE(r.body.empty()) << path;
    }
}

TEST(WinHttpTransport, NoLimitMeansFourMebibytes) {
    constexpr size_t four_mib = size_t(4) << 20;
    loopback::Server server([](const Request& q) {
        Reply r;
        if (q.target == "/four")
            r.body.assign(four_mib, 'q');
        else
            r.content_length = int64_t(four_mib) + 1;   // refused on the announcement alone
        return r;
    });
    Exchange x;
    EXPECT_EQ(x.perform(server.url("/four"), Method::GET, {}, {}, {}, 0).body.size(), four_mib);
    EXPECT_EQ(x.perform(server.url("/more"), Method::GET, {}, {}, {}, -5).err, "response too large");
}

TEST(WinHttpTransport, AFailureMidwayNeverLeavesAPartialBody) {
    loopback::Server server([](const Request&) {
        Reply r;
        r.body.assign(50000, 'p');
        r.cut_after = 20000;   // announces 50,000 bytes, closes after 20,000
        return r;
    });
    Exchange x;
    Response r = x.perform(server.url("/cut"), Method::GET);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.body.empty());
    EXPECT_EQ(r.err.rfind("read: ", 0), 0u) << r.err;
}

TEST(WinHttpTransport, ACodeWithoutATextOfItsOwnIsNamedByNumber) {
    loopback::Server server([](const Request&) {
        Reply r;
        r.raw = "SPDY/9 banana\r\nnonsense\r\n\r\n";
        return r;
    });
    Exchange x;
    Response r = x.perform(server.url("/"), Method::GET);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.body.empty());
    EXPECT_EQ(r.err, "receive: WinHTTP error 12152");   // ERROR_WINHTTP_INVALID_SERVER_RESPONSE
}

TEST(WinHttpTransport, NobodyListeningIsCouldNotConnect) {
    int port;
    {
        loopback::Server gone([](const Request&) { return ok(); });
        port = gone.port();
    }
    Exchange x;
    Response r = x.perform("http://127.0.0.1:" + std::to_string(port) + "/", Method::GET);
    EXPECT_EQ(r.status, 0);
    // WinHTTP connects when the request is sent, so that is the step that fails.
    EXPECT_EQ(r.err, "send: could not connect");
}

TEST(WinHttpTransport, ASilentServerTimesOut) {
    loopback::Server server([](const Request&) {
        Reply r = ok();
        r.stall_ms = 20000;
        return r;
    });
    Exchange x(700);
    Response r = x.perform(server.url("/slow"), Method::GET);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "receive: timed out");
    EXPECT_EQ(server.answered(), 0);   // given up before the server spoke
}

TEST(WinHttpTransport, CancellingDuringASlowReceiveSaysExactlyCancelled) {
    loopback::Server server([](const Request&) {
        Reply r = ok();
        r.stall_ms = 30000;
        return r;
    });
    // On Windows closing the handle ends the blocked receive at once. Wine's WinHTTP lets the
    // receive run on to its time-out instead; either way the result must be exactly
    // "cancelled", never the time-out's own text.
    Exchange x(4000);
    Response r;
    std::thread worker([&] { r = x.perform(server.url("/slow"), Method::GET); });
    for (int i = 0; i < 500 && server.requests().empty(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server.requests().size(), 1u);
    backend::transport_cancel(x.t);
    worker.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "cancelled");
    EXPECT_EQ(server.answered(), 0);
    EXPECT_EQ(x.t.request.load(), nullptr);   // the handle went back, closed by exactly one side
}

TEST(WinHttpTransport, ACancelledTransportSendsNothing) {
    loopback::Server server([](const Request&) { return ok(); });
    Exchange x;
    backend::transport_cancel(x.t);
    Response r = x.perform(server.url("/v1/auth/login"), Method::POST, "{\"password\":\"secret\"}");
    EXPECT_EQ(r.err, "cancelled");
    EXPECT_EQ(r.status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(server.requests().empty());
}

TEST(WinHttpTransport, HeaderValuesCannotSmuggleHeadersOrLines) {
    loopback::Server server([](const Request&) { return ok(); });
    Exchange x;
    EXPECT_EQ(x.perform(server.url("/a"), Method::GET, {}, "Bearer x\r\nX-Admin: 1").err, "bad header");
    EXPECT_EQ(x.perform(server.url("/a"), Method::POST, "{}", {}, "text/plain\nX-Admin: 1").err, "bad header");
    // A path that would end the request line early goes out percent-encoded instead.
    Response r = x.perform(server.url("/maps/a b\r\nX-Admin: 1"), Method::GET);
    EXPECT_EQ(r.status, 200);
    auto got = server.requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].target, "/maps/a%20b%0D%0AX-Admin:%201");
    EXPECT_EQ(got[0].header("X-Admin"), nullptr);
}

TEST(WinHttpTransport, AnUntrustedCertificateIsATlsError) {
    loopback::Server server([](const Request&) { return ok(); }, false, true);
    ASSERT_NE(server.port(), 0);
    Exchange x;
    Response r = x.perform(server.url("/v1/auth/login"), Method::POST, "{\"password\":\"secret\"}");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "send: TLS/certificate error");
    EXPECT_TRUE(server.requests().empty());   // the password never left the client
}

TEST(WinHttpTransport, ABracketedIPv6HostIsReached) {
    loopback::Server server([](const Request& q) { return ok(q.header("Host") ? *q.header("Host") : ""); }, true);
    if (server.port() == 0) GTEST_SKIP() << "no IPv6 loopback here";
    Exchange x;
    Response r = x.perform(server.url("/v1/maps"), Method::GET);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "[::1]:" + std::to_string(server.port()));   // the Host header keeps its brackets
}

TEST(WinHttpClient, RequestsGoOutInOrderAndComeBackById) {
    loopback::Server server([](const Request& q) { return ok(q.target); });
    backend::Client c;
    ASSERT_TRUE(backend::init(c, server.url("/"), agent, 5000));
    backend::set_token(c, "abc");
    uint64_t first = backend::request_typed(c, Method::GET, "/news.json");
    uint64_t second = backend::request_typed(c, Method::POST, "/v1/auth/refresh", "{}");
    auto got = support::poll_until(c, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, first);
    EXPECT_EQ(got[0].body, "/news.json");
    EXPECT_EQ(got[1].id, second);
    EXPECT_EQ(got[1].body, "/v1/auth/refresh");
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    ASSERT_NE(seen[1].header("Authorization"), nullptr);
    EXPECT_EQ(*seen[1].header("Authorization"), "Bearer abc");
    backend::destroy(c);
}

TEST(WinHttpClient, DestroyAbortsARequestInFlight) {
    loopback::Server server([](const Request&) {
        Reply r = ok();
        r.stall_ms = 30000;
        return r;
    });
    backend::Client c;
    ASSERT_TRUE(backend::init(c, server.url(), agent, 4000));
    backend::request_typed(c, Method::GET, "/slow");
    for (int i = 0; i < 500 && server.requests().empty(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server.requests().size(), 1u);
    backend::destroy(c);
    EXPECT_FALSE(c.ready);
    EXPECT_EQ(server.answered(), 0);   // destroy did not wait for the answer
    EXPECT_TRUE(backend::poll(c).empty());
}

}  // namespace
#endif
