#include "server/hash_slots.h"

#include <algorithm>
#include <thread>

namespace server {

Hash_Slot::Hash_Slot(Hash_Slots& slots) : slots_(slots) {
    std::unique_lock guard(slots.lock);
    if (slots.limit == 0) {
        slots.limit = std::max<size_t>(2, std::thread::hardware_concurrency());
        if (slots.queue == 0) slots.queue = 4 * slots.limit;
    }
    if (slots.running < slots.limit) {
        ++slots.running;
        held_ = true;
        return;
    }
    if (slots.waiting >= slots.queue) return;
    ++slots.waiting;
    held_ = slots.freed.wait_for(guard, slots.longest_wait,
                                 [&] { return slots.running < slots.limit; });
    --slots.waiting;
    if (held_) ++slots.running;
}

Hash_Slot::~Hash_Slot() {
    if (!held_) return;
    {
        std::lock_guard guard(slots_.lock);
        --slots_.running;
    }
    slots_.freed.notify_one();
}

}  // namespace server
