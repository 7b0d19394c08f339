#include "backend/client.h"

#include <new>
#include <system_error>

namespace backend {

namespace {

// Shared by every client so that an id names one request in the whole process; 0 never does.
std::atomic<uint64_t> last_id{0};

}  // namespace

const char* method_text(Method m) {
    static const char* const verbs[] = {"GET", "POST", "PUT", "PATCH", "DELETE"};
    return verbs[size_t(m)];
}

Client::~Client() { destroy(*this); }

bool init(Client& c, std::string_view base_url, std::string_view user_agent, int timeout_ms) {
    if (c.ready) return false;  // init twice without destroy would leak a running worker
    if (!transport_open(c.transport, user_agent, timeout_ms)) return false;
    while (base_url.ends_with('/')) base_url.remove_suffix(1);
    c.base_url.assign(base_url);
    c.user_agent.assign(user_agent);
    c.quit = false;
    c.ready = true;
    try {
        c.thread = std::thread(worker_main, std::ref(c));
    } catch (const std::system_error&) {
        // Without a worker no request would ever be answered: refuse the client instead.
        c.ready = false;
        transport_close(c.transport);
        std::string().swap(c.base_url);
        std::string().swap(c.user_agent);
        return false;
    }
    return true;
}

void destroy(Client& c) {
    if (!c.ready) return;
    {
        std::lock_guard held(c.lock);
        c.quit = true;
    }
    c.cond.notify_one();
    transport_cancel(c.transport);
    if (c.thread.joinable()) c.thread.join();
    transport_close(c.transport);

    std::deque<Pending>().swap(c.pending);
    std::vector<Response>().swap(c.done);
    std::string().swap(c.base_url);
    std::string().swap(c.user_agent);
    std::string().swap(c.authorization);
    c.max_body = 0;
    c.quit = false;
    c.ready = false;
}

void set_authorization(Client& c, std::string_view header_value) {
    std::string copy(header_value);
    std::lock_guard held(c.lock);
    c.authorization.swap(copy);
}

void set_token(Client& c, std::string_view access_token) {
    if (access_token.empty()) {
        set_authorization(c, {});
        return;
    }
    std::string value = "Bearer ";
    value += access_token;
    set_authorization(c, value);
}

uint64_t request_typed(Client& c, Method m, std::string_view path, std::string_view body,
                       std::string_view content_type) {
    std::lock_guard held(c.lock);
    uint64_t id = ++last_id;
    if (!c.ready) {
        // No worker would ever take it: the caller's next poll gets it back as a failure, so
        // that its own failure message shows instead of "Working..." for good.
        try {
            c.done.push_back(Response{id, 0, {}, "client not started"});
        } catch (const std::bad_alloc&) {
        }
        return id;
    }
    try {
        Pending& p = c.pending.emplace_back();
        p.id = id;
        p.method = m;
        p.url.reserve(c.base_url.size() + path.size());
        p.url.append(c.base_url).append(path);
        p.body.assign(body);
        p.authorization = c.authorization;
        p.content_type.assign(content_type);
    } catch (const std::bad_alloc&) {
        // Sending a login without its body, or a rename without its token, would be worse than
        // not sending it: the caller gets its id answered with a failure instead.
        if (!c.pending.empty() && c.pending.back().id == id) c.pending.pop_back();
        try {
            c.done.push_back(Response{id, 0, {}, "out of memory"});
        } catch (const std::bad_alloc&) {
        }
        return id;
    }
    c.cond.notify_one();
    return id;
}

std::vector<Response> poll(Client& c) {
    std::vector<Response> out;
    std::lock_guard held(c.lock);
    out.swap(c.done);
    return out;
}

void response_destroy(Response& r) {
    std::string().swap(r.body);
    std::string().swap(r.err);
    r.id = 0;
    r.status = 0;
}

}  // namespace backend
