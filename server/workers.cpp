#include "server/workers.h"

namespace server {

namespace {

void work(Workers& w) {
    std::unique_lock guard(w.lock);
    for (;;) {
        w.ready.wait(guard, [&] { return w.stopping || !w.jobs.empty(); });
        if (w.jobs.empty()) return;
        auto job = std::move(w.jobs.front());
        w.jobs.pop_front();
        ++w.busy;
        guard.unlock();
        job();
        guard.lock();
        --w.busy;
    }
}

}  // namespace

void workers_start(Workers& workers, size_t count) {
    for (size_t i = 0; i < count; ++i) workers.threads.emplace_back([&workers] { work(workers); });
}

void workers_run(Workers& workers, std::function<void()> job) {
    {
        std::lock_guard guard(workers.lock);
        workers.jobs.push_back(std::move(job));
    }
    workers.ready.notify_one();
}

void workers_stop(Workers& workers) {
    {
        std::lock_guard guard(workers.lock);
        workers.stopping = true;
    }
    workers.ready.notify_all();
    for (auto& t : workers.threads) t.join();
    workers.threads.clear();
}

void workers_load(Workers& workers, size_t& queued, size_t& busy) {
    std::lock_guard guard(workers.lock);
    queued = workers.jobs.size();
    busy = workers.busy;
}

}  // namespace server
