// WinHTTP side of fetcher.h: `parallel` worker threads, each with a transport of its own
// (backend/transport.h: a WinHTTP session, the system's TLS and proxy settings), so each keeps its
// connection alive from one fetch to the next in the session's pool. The transports (and so
// their connections) are kept in the Fetcher's pool for its life, from one run to the next. The
// thread in fetcher_run
// hands fetches out and takes answers back, so `next` and `on_done` run on it alone, as with
// libcurl; the workers only transfer.
//
// Cancelling closes each worker's request in progress (transport_cancel); fetcher_run then waits
// for the workers to end. Wine's WinHTTP does not end a blocked receive when its handle is
// closed (Windows does): there a stalled transfer holds the stop up to `stall_seconds`.
#include "delivery/fetcher.h"

#include "backend/client.h"
#include "backend/transport.h"
#include "backend/url.h"
#include "delivery/rate_limit.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace delivery {

namespace {

struct Workers {
    std::mutex lock;  // guards the three below
    std::condition_variable work_waiting, answer_waiting;
    std::deque<Fetch> queue;          // handed out, not yet taken by a worker
    std::deque<Fetch_Result> answers;  // finished, not yet seen by on_done
    bool stopping = false;
    std::vector<backend::Transport*> transports;  // one a worker, from the pool
};

// The Fetcher's pool: one transport (WinHTTP session) a transfer at a time.
struct Pool {
    std::vector<std::unique_ptr<backend::Transport>> transports;
    ~Pool() {
        for (auto& t : transports) backend::transport_close(*t);
    }
};

Fetch_Result fetch_one(const Fetcher& f, backend::Transport& t, const Fetch& fetch) {
    Fetch_Result r;
    r.tag = fetch.tag;
    backend::Url_Parts url;
    if (!backend::split_url(f.base_url + fetch.path, url)) {
        r.err = "bad URL";
        return r;
    }
    backend::Response answer;
    // The transport refuses an answer past the limit as soon as its length or bytes say so.
    int64_t limit = int64_t(std::min<uint64_t>(std::max<uint64_t>(fetch.limit, 1), uint64_t(INT64_MAX)));
    backend::transport_perform(t, answer, backend::Method::GET, url, {}, {}, {}, limit);
    if (answer.err == "response too large" || answer.body.size() > fetch.limit) {
        r.err = answer_too_long;
    } else if (answer.status == 0) {
        r.err = answer.err;
    } else {
        r.status = long(answer.status);
        r.body = std::move(answer.body);
    }
    return r;
}

void work(const Fetcher& f, Workers& w, backend::Transport& t) {
    for (;;) {
        Fetch fetch;
        {
            std::unique_lock<std::mutex> hold(w.lock);
            w.work_waiting.wait(hold, [&] { return w.stopping || !w.queue.empty(); });
            if (w.stopping) return;
            fetch = std::move(w.queue.front());
            w.queue.pop_front();
        }
        Fetch_Result r = fetch_one(f, t, fetch);
        std::lock_guard<std::mutex> hold(w.lock);
        w.answers.push_back(std::move(r));
        w.answer_waiting.notify_one();
    }
}

void cancel_transfers(Workers& w) {
    for (auto& t : w.transports) backend::transport_cancel(*t);
}

}  // namespace

bool fetcher_run(Fetcher& f, const std::function<bool(Fetch&)>& next,
                 const std::function<bool(Fetch_Result&)>& on_done) {
    Workers w;
    std::vector<std::thread> threads;
    int parallel = f.parallel < 1 ? 1 : f.parallel;
    int stall_ms = f.stall_seconds > 0 && f.stall_seconds < INT32_MAX / 1000 ? int(f.stall_seconds * 1000) : 0;
    if (!f.pool) f.pool = std::make_shared<Pool>();
    Pool& pool = *static_cast<Pool*>(f.pool.get());
    while (pool.transports.size() < size_t(parallel)) {
        auto t = std::make_unique<backend::Transport>();
        if (!backend::transport_open(*t, f.user_agent, stall_ms)) break;
        t->on_received = download_throttle;   // the workers share the download limit
        pool.transports.push_back(std::move(t));
    }
    for (auto& t : pool.transports) {
        try {
            threads.emplace_back(work, std::cref(f), std::ref(w), std::ref(*t));
        } catch (const std::system_error&) {
            break;  // fewer transfers at a time, as many as there are threads
        }
        w.transports.push_back(t.get());
    }
    {
        std::lock_guard<std::mutex> hold(f.lock);
        f.running = &w;
    }

    bool ok = !threads.empty(), more = true;
    size_t active = 0;
    while (ok && (more || active > 0)) {
        if (f.cancelled.load()) {
            ok = false;
            break;
        }
        while (more && active < threads.size()) {
            Fetch fetch;
            if (!(more = next(fetch))) break;
            std::lock_guard<std::mutex> hold(w.lock);
            w.queue.push_back(std::move(fetch));
            w.work_waiting.notify_one();
            ++active;
        }
        std::deque<Fetch_Result> answers;
        {
            std::unique_lock<std::mutex> hold(w.lock);
            w.answer_waiting.wait(hold, [&] { return !w.answers.empty() || f.cancelled.load() || active == 0; });
            answers.swap(w.answers);
        }
        for (Fetch_Result& r : answers) {
            --active;
            if (ok && !f.cancelled.load() && !on_done(r)) ok = false;
        }
    }

    {
        std::lock_guard<std::mutex> hold(w.lock);
        w.stopping = true;
        w.work_waiting.notify_all();
    }
    if (!ok) cancel_transfers(w);  // the answers still coming are of no use
    for (std::thread& t : threads) t.join();
    {
        std::lock_guard<std::mutex> hold(f.lock);
        f.running = nullptr;
    }
    if (!ok) f.pool.reset();  // cancelled transports serve no later run
    return ok;
}

void fetcher_cancel(Fetcher& f) {
    f.cancelled.store(true);
    std::lock_guard<std::mutex> hold(f.lock);
    if (!f.running) return;
    Workers& w = *static_cast<Workers*>(f.running);
    cancel_transfers(w);
    std::lock_guard<std::mutex> wake(w.lock);
    w.answer_waiting.notify_all();
}

}  // namespace delivery
