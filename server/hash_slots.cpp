#include "server/hash_slots.h"

#include <algorithm>
#include <thread>

namespace server {

namespace {

// The waiter a freed slot goes to: the first to arrive of the highest priority.
Hash_Waiter* next_in_line(const Hash_Slots& slots) {
    Hash_Waiter* best = nullptr;
    for (Hash_Waiter* w : slots.waiting)
        if (!best || w->priority > best->priority) best = w;
    return best;
}

// Frees a waiting place for `priority` by turning away the latest waiter below it.
bool push_out_below(Hash_Slots& slots, Hash_Priority priority) {
    auto victim = slots.waiting.end();
    for (auto it = slots.waiting.begin(); it != slots.waiting.end(); ++it)
        if ((*it)->priority < priority &&
            (victim == slots.waiting.end() || (*it)->priority <= (*victim)->priority))
            victim = it;
    if (victim == slots.waiting.end()) return false;
    (*victim)->pushed_out = true;
    slots.waiting.erase(victim);
    return true;
}

}  // namespace

Hash_Slot::Hash_Slot(Hash_Slots& slots, Hash_Priority priority) : slots_(slots) {
    std::unique_lock guard(slots.lock);
    if (slots.limit == 0) {
        slots.limit = std::max<size_t>(2, std::thread::hardware_concurrency());
        if (slots.queue == 0) slots.queue = 4 * slots.limit;
    }
    bool ahead = std::any_of(slots.waiting.begin(), slots.waiting.end(),
                             [&](const Hash_Waiter* w) { return w->priority >= priority; });
    if (slots.running < slots.limit && !ahead) {
        ++slots.running;
        held_ = true;
        return;
    }
    if (slots.waiting.size() >= slots.queue) {
        if (!push_out_below(slots, priority)) return;
        slots.freed.notify_all();
    }
    Hash_Waiter me{priority};
    slots.waiting.push_back(&me);
    bool turn = slots.freed.wait_for(guard, slots.longest_wait, [&] {
        return me.pushed_out || (slots.running < slots.limit && next_in_line(slots) == &me);
    });
    if (me.pushed_out) return;
    slots.waiting.erase(std::find(slots.waiting.begin(), slots.waiting.end(), &me));
    if (!turn) {
        // Gone from the line: the next one may be the one the slot was waiting for.
        slots.freed.notify_all();
        return;
    }
    ++slots.running;
    held_ = true;
}

Hash_Slot::~Hash_Slot() {
    if (!held_) return;
    {
        std::lock_guard guard(slots_.lock);
        --slots_.running;
    }
    // Every waiter checks whether it is next in line: the condition is not the same for all.
    slots_.freed.notify_all();
}

}  // namespace server
