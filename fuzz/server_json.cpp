// The development backend's JSON and query handlers called directly with any body. The first
// byte picks the endpoint, the second whether the fuzzer's bearer token goes along, the rest
// is the body (or, for the map list, the query "k=v&k=v", and for static files the path).
// Every answer must be well formed, no request may cost a server error, and no password or
// token from the body may reach the log.
#include "server_fixture.h"

namespace {

struct Endpoint {
    const char* method;
    const char* path;
};
const Endpoint endpoints[] = {
    {"POST", "/v1/auth/register"}, {"POST", "/v1/auth/login"}, {"POST", "/v1/auth/refresh"},
    {"POST", "/v1/auth/logout"},   {"PATCH", "/v1/me"},        {"GET", "/v1/maps"},
    {"GET", "/v1/maps/1/download"}, {"GET", "/files/"},        {"GET", "/news.json"},
    {"DELETE", "/v1/me"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Backend& b = fuzz::backend_fixture();
    fuzz::Stream in{data, size};
    const Endpoint& e = endpoints[in.byte() % (sizeof endpoints / sizeof endpoints[0])];
    bool with_token = in.byte() & 1;
    std::string_view rest = in.rest();

    server::Request r;
    r.method = e.method;
    r.path = e.path;
    r.client = "127.0.0.1";
    if (with_token) r.authorization = "Bearer " + b.access_token;
    if (r.path == "/v1/maps") {
        // The query, split as the HTTP layer would hand it over (already decoded).
        size_t start = 0;
        while (start <= rest.size()) {
            size_t amp = rest.find('&', start);
            std::string_view pair = rest.substr(start, amp == rest.npos ? rest.npos : amp - start);
            size_t eq = pair.find('=');
            r.query.emplace_back(std::string(pair.substr(0, eq)),
                                 eq == pair.npos ? std::string() : std::string(pair.substr(eq + 1)));
            if (amp == rest.npos) break;
            start = amp + 1;
        }
    } else if (r.path == "/files/") {
        r.path += rest;
    } else {
        r.body.assign(rest);
    }

    server::Reply reply = server::handle(b.srv, r);
    fuzz::check_reply(reply);
    if (reply.status >= 200 && reply.status < 300 && !reply.file.empty())
        fuzz::check(reply.file.rfind(b.srv.files_dir + "/", 0) == 0 || reply.file == b.srv.news_path,
                    "a static answer names a file outside the data folder");

    // Secrets from the body never reach the log.
    json::Value root;
    std::vector<std::string> secrets = {b.access_token};
    if (json::parse(r.body, root)) {
        json::members(root, [&](std::string_view key, json::Value v) {
            std::string value;
            if ((key == "password" || key == "refresh_token") && json::get(v, value) && value.size() >= 8)
                secrets.push_back(value);
            return true;
        });
    }
    for (const std::string& line : b.log)
        for (const std::string& s : secrets) fuzz::check(line.find(s) == std::string::npos, "a secret reached the log");
    return 0;
}
