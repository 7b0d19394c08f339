// The worker side of a client: takes queued requests oldest first and files their responses.
#include "backend/client.h"
#include "backend/url.h"

namespace backend {

void fail(Response& r, std::string_view text) {
    r.status = 0;
    std::string().swap(r.body);
    r.err.assign(text);
}

void worker_main(Client& c) {
    for (;;) {
        Pending p;
        int64_t max_body = 0;
        {
            std::unique_lock held(c.lock);
            c.cond.wait(held, [&] { return c.quit || !c.pending.empty(); });
            // Requests still queued when destroy arrives are never performed; destroy frees them.
            if (c.quit) return;
            p = std::move(c.pending.front());
            c.pending.pop_front();
            max_body = c.max_body;
        }

        Response r;
        r.id = p.id;
        Url_Parts url;
        if (!split_url(p.url, url))
            fail(r, "bad URL");
        else
            transport_perform(c.transport, r, p.method, url, p.body, p.authorization,
                              p.content_type, max_body);
        p = Pending{};  // free the request's buffers before taking the lock again

        std::lock_guard held(c.lock);
        // A request aborted by destroy is dropped here, undelivered.
        if (c.quit) return;
        c.done.push_back(std::move(r));
    }
}

}  // namespace backend
