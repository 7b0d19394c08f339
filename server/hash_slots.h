// A bound on the password hashes that run at once. Each Argon2id hash takes 64 MiB and a core
// for a tenth of a second or more, so a burst of sign-ins or registrations would otherwise take
// as much memory as it has requests. About one hash per core runs; a short queue waits behind
// them; anything beyond is turned away at once (503 with Retry-After), so memory stays bounded
// under any burst.
//
// Waiters are served by priority, then in order of arrival: a known device's sign-in goes
// before one that paid with a solved challenge, which goes before everyone else's. When the
// queue is full, a newcomer takes the place of the latest waiter of a lower priority (that one
// is turned away), so a flood of guesses cannot keep a player's own device out.
//
// Depends on the standard library only.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace server {

enum class Hash_Priority { other = 0, proven = 1, known_device = 2 };

struct Hash_Waiter {
    Hash_Priority priority;
    bool pushed_out = false;
};

struct Hash_Slots {
    std::mutex lock;
    std::condition_variable freed;
    size_t running = 0;
    std::vector<Hash_Waiter*> waiting;  // in order of arrival
    size_t limit = 0;  // 0: set from the number of cores at the first take
    size_t queue = 0;  // waiting places beyond the running ones
    std::chrono::milliseconds longest_wait{3000};
};

// Seconds a refused client is told to wait before trying again.
constexpr int hash_retry_after = 2;

// Holds one slot for its lifetime; `held()` is false when the slots were full and the queue
// too, the wait ran out, or a waiter of a higher priority took this one's place: the caller
// answers 503 then.
class Hash_Slot {
public:
    explicit Hash_Slot(Hash_Slots& slots, Hash_Priority priority = Hash_Priority::other);
    ~Hash_Slot();
    Hash_Slot(const Hash_Slot&) = delete;
    Hash_Slot& operator=(const Hash_Slot&) = delete;
    bool held() const { return held_; }

private:
    Hash_Slots& slots_;
    bool held_ = false;
};

}  // namespace server
