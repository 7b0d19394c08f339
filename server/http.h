// The HTTP front of the server, on cpp-httplib: turns each HTTP request into a `Request`,
// routes it with `handle`, writes the `Reply`, and logs one line per request.
//
// Depends on cpp-httplib (Debian 0.11), gate.h (connections, slow clients, head caps) and
// server.h. Limits: bodies must come with a Content-Length (chunked or open-ended bodies get
// 411, since the library would read those without bound) and without a Content-Encoding (415:
// the library would inflate them whole before any limit); at most 16 MiB per request (413); an
// upload's token is checked before its body is read; every error answer is a JSON `E` body.
#pragma once
#include <memory>
#include <string>

#include "server/gate.h"
#include "server/server.h"

namespace httplib {
class Server;
}

namespace server {

struct Http {
    std::unique_ptr<httplib::Server> http;
    Gate_Handle gate;
    std::string host;
    int port = 0;

    Http();
    Http(const Http&) = delete;
    Http& operator=(const Http&) = delete;
    ~Http();
};

// Binds `host`:`port` (port 0 picks a free one, stored in `Http::port`) and serves on a
// background thread. Returns an error text, empty on success.
std::string http_start(Server& server, Http& http, const std::string& host, int port);
// Stops serving and joins the thread; does nothing when not started.
void http_stop(Http& http);

// "http://HOST:PORT", with brackets around an IPv6 host.
std::string base_url(const std::string& host, int port);

}  // namespace server
