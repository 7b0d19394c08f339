// Backend client: the one way the launcher talks to the backend. A caller on the main thread
// queues a request and gets an id back at once; a few frames later the Response with that id
// comes out of poll. Each Client has its own worker thread that performs its requests one at a
// time, oldest first, through the transport.
//
// Depends on transport.h (the HTTP stack) and url.h. Knows no endpoint and decodes nothing:
// callers build paths and bodies (requests.h names them) and decode the answers themselves.
// Limits: requests on one client are strictly sequential; a Client must not be copied or
// moved, and init/destroy/request_typed/poll/set_* belong to one (main) thread.
#pragma once
#include "backend/transport.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifdef DELETE
#undef DELETE  // windows.h defines it; our verb is an enum value
#endif

namespace backend {

enum class Method : uint8_t { GET = 0, POST, PUT, PATCH, DELETE };

// One finished request. status 0 means no answer came and err says why; otherwise err is
// empty and body holds the whole answer, whatever the status (3xx, 4xx and 5xx included).
struct Response {
    uint64_t id = 0;
    int64_t status = 0;
    std::string body;
    std::string err;
};

// One queued request; owns private copies of everything it sends.
struct Pending {
    uint64_t id = 0;
    Method method = Method::GET;
    std::string url;            // base URL followed directly by the path
    std::string body;
    std::string authorization;  // as the client held it when the request was queued
    std::string content_type;   // empty: "application/json" where one is sent
};

struct Client {
    std::string base_url;  // without trailing "/"
    std::string user_agent;
    Transport transport;
    std::thread thread;
    std::mutex lock;  // guards pending, done, authorization and quit
    std::condition_variable cond;
    std::deque<Pending> pending;  // oldest first
    std::vector<Response> done;   // completion order
    std::string authorization;
    int64_t max_body = 0;  // set by the owner after init; 0 or less means 4 MiB
    bool quit = false;
    bool ready = false;

    Client() = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client();  // destroys the client if its owner did not
};

// True when the client is usable. timeout_ms is the send/receive time-out: how long the
// transport waits without any progress before giving up.
bool init(Client& c, std::string_view base_url, std::string_view user_agent, int timeout_ms);

// Stops the worker, aborts a request in progress (its response is never delivered), frees
// every queued request and undelivered response and resets the record, which can then be
// init'ed again. Harmless on a client that is not ready.
void destroy(Client& c);

void set_token(Client& c, std::string_view access_token);  // "Bearer <token>"; "" clears
void set_authorization(Client& c, std::string_view header_value);

// Queues a request and returns its id (never 0, unique in the process). Never blocks on the
// network. An empty content type means "application/json". On a client that is not ready the
// request is not sent: the next poll answers it with status 0 and err "client not started".
uint64_t request_typed(Client& c, Method m, std::string_view path, std::string_view body = {},
                       std::string_view content_type = {});

// Every finished response, in completion order; the caller owns them now.
std::vector<Response> poll(Client& c);

void response_destroy(Response& r);  // frees body and err and zeroes the record
const char* method_text(Method m);   // "GET", "POST", "PUT", "PATCH", "DELETE"

// The worker thread's procedure (worker.cpp): performs queued requests until destroy.
void worker_main(Client& c);

}  // namespace backend
