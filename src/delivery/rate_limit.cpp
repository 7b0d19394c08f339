#include "delivery/rate_limit.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace delivery {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int64_t> limit{0};
std::mutex lock;
// The moment the budget has paid for every byte taken so far (a virtual clock: each piece
// moves it on by its size over the rate). A piece waits until it is at most a burst ahead.
Clock::time_point paid_until{};

constexpr std::chrono::milliseconds burst{250};
constexpr std::chrono::milliseconds longest_sleep{50};

}  // namespace

void set_download_limit(int64_t bytes_per_second) {
    limit.store(std::max<int64_t>(0, bytes_per_second));
}

int64_t download_limit() {
    return limit.load();
}

void download_throttle(size_t bytes, const std::atomic<bool>& cancelled) {
    int64_t rate = limit.load();
    if (rate <= 0 || bytes == 0) return;
    Clock::time_point due;
    {
        std::lock_guard<std::mutex> hold(lock);
        Clock::time_point now = Clock::now();
        // Idle time earns at most a burst.
        if (paid_until < now - burst) paid_until = now - burst;
        paid_until += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(bytes) / double(rate)));
        due = paid_until - burst;
    }
    while (!cancelled.load()) {
        Clock::time_point now = Clock::now();
        if (now >= due || limit.load() <= 0) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, longest_sleep));
    }
}

}  // namespace delivery
