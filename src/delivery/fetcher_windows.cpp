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
//
// WinHTTP's time-outs are per receive, so a server sending a byte now and then would hold a
// transfer for ever: fetcher_run's thread watches each worker's received bytes and cancels a
// transfer that moved fewer than `low_speed` bytes a second over `stall_seconds` (as libcurl's
// low-speed limit does); its worker then opens its transport afresh.
#include "delivery/fetcher.h"
#include "platform/system.h"

#include "backend/client.h"
#include "backend/transport.h"
#include "backend/url.h"
#include "delivery/rate_limit.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace delivery {

namespace {

// One worker's transfer as the lowest-speed watch sees it.
struct Watch {
    bool busy = false;      // a transfer is in progress (guarded by Workers::lock)
    bool cut = false;       // the watch cancelled it (guarded by Workers::lock)
    uint64_t started = 0;   // transfers begun (guarded by Workers::lock)
    // fetcher_run's thread only: the window being measured.
    uint64_t seen_started = 0;
    int64_t since_ms = 0;
    int64_t since_bytes = 0;
};

struct Workers {
    std::mutex lock;  // guards the three below and the watches' shared fields
    std::condition_variable work_waiting, answer_waiting;
    std::deque<Fetch> queue;          // handed out, not yet taken by a worker
    std::deque<Fetch_Result> answers;  // finished, not yet seen by on_done
    bool stopping = false;
    std::vector<backend::Transport*> transports;  // one a worker, from the pool
    std::vector<std::unique_ptr<Watch>> watches;  // one a worker
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
    t.no_cache = fetch.no_cache;
    backend::transport_perform(t, answer, backend::Method::GET, url, {}, {}, {}, limit);
    if (answer.err == "response too large" || answer.body.size() > fetch.limit) {
        r.err = answer_too_long;
    } else if (answer.status == 0) {
        r.err = answer.err;
    } else {
        r.status = long(answer.status);
        if (fetch.sink) fetch.sink(r.status, answer.body);  // the transport held it whole
        else r.body = std::move(answer.body);
    }
    return r;
}

int stall_ms(const Fetcher& f) {
    return f.stall_seconds > 0 && f.stall_seconds < INT32_MAX / 1000 ? int(f.stall_seconds * 1000) : 0;
}

void work(const Fetcher& f, Workers& w, backend::Transport& t, Watch& watch) {
    for (;;) {
        Fetch fetch;
        {
            std::unique_lock<std::mutex> hold(w.lock);
            w.work_waiting.wait(hold, [&] { return w.stopping || !w.queue.empty(); });
            if (w.stopping) return;
            fetch = std::move(w.queue.front());
            w.queue.pop_front();
            t.received.store(0);
            watch.busy = true;
            watch.cut = false;
            ++watch.started;
        }
        Fetch_Result r = fetch_one(f, t, fetch);
        bool cut = false;
        {
            std::lock_guard<std::mutex> hold(w.lock);
            watch.busy = false;
            cut = watch.cut;
        }
        if (cut) {
            // The cancel is for good on a transport: this worker's next transfer needs a new one.
            if (r.status == 0) r.err = "receive: timed out";
            // A transport that cannot be opened again fails its later transfers ("connect").
            backend::transport_close(t);
            backend::transport_open(t, f.user_agent, stall_ms(f));
            t.on_received = download_throttle;
            if (f.cancelled.load()) backend::transport_cancel(t);
        }
        std::lock_guard<std::mutex> hold(w.lock);
        w.answers.push_back(std::move(r));
        w.answer_waiting.notify_one();
    }
}

void cancel_transfers(Workers& w) {
    for (auto& t : w.transports) backend::transport_cancel(*t);
}

// Cancels every transfer that moved fewer than low_speed bytes a second over the last
// stall_seconds; each transfer's window starts when the watch first sees it.
void cut_slow(const Fetcher& f, Workers& w) {
    if (f.low_speed <= 0 || stall_ms(f) == 0) return;
    const int64_t now = platform::now_ms();
    std::lock_guard<std::mutex> hold(w.lock);
    for (size_t i = 0; i < w.watches.size(); ++i) {
        Watch& watch = *w.watches[i];
        backend::Transport& t = *w.transports[i];
        if (!watch.busy || watch.cut) continue;
        const int64_t received = t.received.load();
        if (watch.seen_started != watch.started) {
            watch.seen_started = watch.started;
            watch.since_ms = now;
            watch.since_bytes = received;
        } else if (now - watch.since_ms >= stall_ms(f)) {
            if (received - watch.since_bytes < int64_t(f.low_speed) * f.stall_seconds) {
                watch.cut = true;
                backend::transport_cancel(t);
            }
            watch.since_ms = now;
            watch.since_bytes = received;
        }
    }
}

}  // namespace

bool fetcher_run(Fetcher& f, const std::function<bool(Fetch&)>& next,
                 const std::function<bool(Fetch_Result&)>& on_done) {
    Workers w;
    std::vector<std::thread> threads;
    int parallel = f.parallel < 1 ? 1 : f.parallel;
    if (!f.pool) f.pool = std::make_shared<Pool>();
    Pool& pool = *static_cast<Pool*>(f.pool.get());
    while (pool.transports.size() < size_t(parallel)) {
        auto t = std::make_unique<backend::Transport>();
        if (!backend::transport_open(*t, f.user_agent, stall_ms(f))) break;
        t->on_received = download_throttle;   // the workers share the download limit
        pool.transports.push_back(std::move(t));
    }
    // Every transport and watch is listed before the first thread starts: the watch walks them.
    for (auto& t : pool.transports) {
        w.transports.push_back(t.get());
        w.watches.push_back(std::make_unique<Watch>());
    }
    for (size_t i = 0; i < w.transports.size(); ++i) {
        try {
            threads.emplace_back(work, std::cref(f), std::ref(w), std::ref(*w.transports[i]), std::ref(*w.watches[i]));
        } catch (const std::system_error&) {
            break;  // fewer transfers at a time, as many as there are threads
        }
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
            w.answer_waiting.wait_for(hold, std::chrono::seconds(1),
                                      [&] { return !w.answers.empty() || f.cancelled.load() || active == 0; });
            answers.swap(w.answers);
        }
        cut_slow(f, w);
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
