// The HTTP layer: bad and oversized bodies always get an E answer and the server keeps
// serving; bodies without a length are refused; the request log has one line per request and
// never a password, a token or a query value.
#include "fixture.h"
#include "server/log.h"

namespace server_test {
namespace {

using Http = Server_Test;

TEST_F(Http, MalformedJsonBodiesGetBadRequestOnEveryEndpoint) {
    Tokens t = make_account("shape@example.com");
    std::string deep(100000, '[');
    const std::string bodies[] = {
        "{\"email\":",                                    // cut short
        "{'email':'a@b.c','password':'x'}",               // not JSON quotes
        "{\"email\":\"a@b.c\",\"password\":\"\xff\xfe\"}",  // not UTF-8
        deep,                                             // nested past any sane depth
        "null",
        "\"just a string\"",
        "{\"email\":{\"nested\":true},\"password\":[1,2],\"name\":false,\"refresh_token\":1}",
    };
    const char* endpoints[] = {"/v1/auth/register", "/v1/auth/login", "/v1/auth/refresh",
                               "/v1/auth/logout"};
    for (const char* endpoint : endpoints) {
        for (const auto& body : bodies) {
            auto r = post(endpoint, body);
            ASSERT_TRUE(r) << endpoint;
            EXPECT_EQ(r->status, 400) << endpoint << " " << body.substr(0, 40);
            EXPECT_EQ(error_code(r->body), "bad_request") << endpoint << " " << body.substr(0, 40);
        }
    }
    httplib::Headers h{{"Authorization", "Bearer " + t.access}};
    auto r = cli->Patch("/v1/me", h, "{\"name\":", "application/json");
    EXPECT_EQ(error_code(r->body), "bad_request");
    // A multipart body where JSON belongs is just as wrong.
    auto mp = cli->Post("/v1/auth/login",
                        "--b\r\nContent-Disposition: form-data; name=\"email\"\r\n\r\nx\r\n--b--\r\n",
                        "multipart/form-data; boundary=b");
    EXPECT_EQ(error_code(mp->body), "bad_request");
    login("shape@example.com", "correct horse", 200);
}

TEST_F(Http, OversizedBodiesGetTooBigAndTheServerKeepsServing) {
    make_account("big@example.com");
    auto ten = post("/v1/auth/login", std::string(10 * 1000 * 1000, 'x'));
    ASSERT_TRUE(ten);
    EXPECT_EQ(ten->status, 413);
    EXPECT_EQ(error_code(ten->body), "too_big");

    // Past the whole-request limit the body is not even kept, and the answer is the same.
    auto huge = post("/v1/auth/register", std::string(17 * 1024 * 1024, '{'));
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->status, 413);
    EXPECT_EQ(error_code(huge->body), "too_big");
    auto upload = cli->Post("/v1/maps", std::string(17 * 1024 * 1024, 'x'),
                            "multipart/form-data; boundary=b");
    ASSERT_TRUE(upload);
    EXPECT_EQ(upload->status, 413);
    EXPECT_EQ(error_code(upload->body), "too_big");

    // Just under the JSON limit it is judged as JSON again.
    std::string padded = "{\"email\":\"big@example.com\",\"password\":\"correct horse\",\"pad\":\"" +
                         std::string((1 << 20) - 100, ' ') + "\"}";
    ASSERT_LE(padded.size(), size_t(1) << 20);
    EXPECT_EQ(post("/v1/auth/login", padded)->status, 200);
}

TEST_F(Http, BodiesWithoutALengthAreRefusedBeforeTheyAreRead) {
    std::string chunked = raw(
        "POST /v1/auth/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
        "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n5\r\n{\"a\":\r\n0\r\n\r\n");
    EXPECT_EQ(raw_status(chunked), 411);
    EXPECT_EQ(error_code(raw_body(chunked)), "length_required");
    std::string open_ended = raw(
        "POST /v1/auth/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
        "Connection: close\r\n\r\n{}");
    EXPECT_EQ(raw_status(open_ended), 411);
    EXPECT_EQ(cli->Get("/account.html")->status, 200);
}

TEST_F(Http, UnknownPathsAndWrongVerbsGetErrorBodies) {
    auto unknown = cli->Get("/v2/anything");
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(error_code(unknown->body), "not_found");
    auto verb = cli->Get("/v1/auth/login");
    EXPECT_EQ(verb->status, 405);
    EXPECT_EQ(error_code(verb->body), "method_not_allowed");
    EXPECT_EQ(cli->Put("/v1/maps", "{}", "application/json")->status, 405);
    std::string garbage = raw("BLAH\r\n\r\n");
    EXPECT_NE(raw_status(garbage), 200);
    EXPECT_EQ(cli->Get("/account.html")->status, 200);
}

TEST_F(Http, TheLogHasOneLinePerRequestAndNoSecrets) {
    const std::string password = "hunter2-but-longer";
    Tokens t = make_account("log@example.com", password, "Log Watcher");
    Tokens again = login("log@example.com", password);
    auto refreshed = post("/v1/auth/refresh", json::json_body({"refresh_token", again.refresh}));
    Tokens third = decode_tokens(refreshed->body);
    httplib::Headers h{{"Authorization", "Bearer " + third.access}};
    cli->Patch("/v1/me", h, json::json_body({"name", "Renamed"}), "application/json");
    post("/v1/auth/logout", json::json_body({"refresh_token", third.refresh}));
    cli->Get("/v1/maps?sort=new&limit=60&q=my%20secret%20search");
    login("log@example.com", "a wrong password", 401);

    auto lines = log_with(7);
    ASSERT_EQ(lines.size(), 7u);
    // Two requests' lines may swap places (each is written by the thread that served it).
    auto has = [&](const std::string& start) {
        for (const auto& line : lines)
            if (line.rfind(start, 0) == 0) return true;
        return false;
    };
    EXPECT_TRUE(has("POST /v1/auth/register 201 "));
    EXPECT_TRUE(has("PATCH /v1/me 200 "));
    EXPECT_TRUE(has("GET /v1/maps?sort=&limit=&q= 200 "));
    EXPECT_TRUE(has("POST /v1/auth/login 401 "));
    for (const auto& line : lines) {
        EXPECT_EQ(line.substr(line.size() - 3), " ms") << line;
        for (const std::string& secret : {password, std::string("a wrong password"), t.access,
                                          t.refresh, again.access, again.refresh, third.access,
                                          third.refresh, std::string("secret")})
            EXPECT_EQ(line.find(secret), std::string::npos) << line;
    }
}

TEST_F(Http, TheAdminAddressServesMetricsAndHealthAndThePublicOneDoesNot) {
    stop();
    server::Options o = options();
    o.admin_port = 0;
    start(o);
    ASSERT_GT(http->admin_port, 0);
    login("nobody@example.com", "wrong password", 401);
    EXPECT_EQ(cli->Get("/account.html")->status, 200);
    EXPECT_EQ(cli->Get("/metrics")->status, 404);
    log_with(3);  // the three requests are counted once their lines are written

    httplib::Client admin("127.0.0.1", http->admin_port);
    struct Case {
        const char* path;
        int status;
        std::vector<std::string> lines;  // each must be in the body
    };
    const Case cases[] = {
        {"/metrics", 200,
         {"# TYPE tarnwick_http_requests_total counter",
          "tarnwick_http_requests_total{route=\"/v1/auth/login\",status=\"401\"} 1",
          "tarnwick_http_requests_total{route=\"/account.html\",status=\"200\"} 1",
          "tarnwick_http_requests_total{route=\"other\",status=\"404\"} 1",
          "tarnwick_http_request_seconds_bucket{route=\"/v1/auth/login\",le=\"+Inf\"} 1",
          "tarnwick_http_request_seconds_count{route=\"/account.html\"} 1",
          "tarnwick_http_connections{state=\"with_worker\"} 0", "tarnwick_hash_slots_waiting 0",
          "tarnwick_db_pool_waiting 0", "tarnwick_limiter_refusals_total 0"}},
        {"/healthz", 200, {}},
        {"/readyz", 200, {}},
        {"/news.json", 404, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto r = admin.Get(c.path);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status);
        for (const auto& line : c.lines)
            EXPECT_NE(r->body.find("\n" + line + "\n"), std::string::npos) << line;
    }
}

TEST(Log, TargetsKeepQueryKeysDropValuesAndEscapeOddBytes) {
    EXPECT_EQ(server::log_target("/v1/maps?sort=new&limit=60&q="), "/v1/maps?sort=&limit=&q=");
    EXPECT_EQ(server::log_target("/v1/maps?q=a%20b&flag"), "/v1/maps?q=&flag");
    EXPECT_EQ(server::log_target("/v1/maps"), "/v1/maps");
    EXPECT_EQ(server::log_target("/a b\n\x7f\xc3\xa9?k\t=v"), "/a%20b%0A%7F%C3%A9?k%09=");
    EXPECT_EQ(server::log_line("GET", "/files/x?token=abc", 404, 3), "GET /files/x?token= 404 3 ms");
    EXPECT_EQ(server::log_line("", "", 400, 0), "- - 400 0 ms");
}

}  // namespace
}  // namespace server_test
