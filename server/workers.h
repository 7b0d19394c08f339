// A fixed pool of threads for the work that may block: handlers that touch the database or
// hash a password. The HTTP front hands a request over only once it is whole, so a thread is
// held for the time a request takes to serve, never for a client's pauses.
//
// Depends on the standard library only. Jobs wait in one queue, first come first served; the
// queue is not bounded here (the front bounds it by its connection limit).
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace server {

struct Workers {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::function<void()>> jobs;
    std::vector<std::thread> threads;
    size_t busy = 0;
    bool stopping = false;
};

// Starts `count` threads.
void workers_start(Workers& workers, size_t count);
void workers_run(Workers& workers, std::function<void()> job);
// Runs what is queued, then joins the threads.
void workers_stop(Workers& workers);
// Jobs waiting for a thread, and threads running one.
void workers_load(Workers& workers, size_t& queued, size_t& busy);

}  // namespace server
