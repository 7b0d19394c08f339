#include "server/list_cache.h"

namespace server {

bool list_cache_get(List_Cache& cache, const std::string& key, int64_t now_ms, std::string& body) {
    std::lock_guard guard(cache.lock);
    auto it = cache.pages.find(key);
    if (it == cache.pages.end()) return false;
    const List_Cache::Page& page = it->second;
    // A clock set back counts as stale too.
    if (page.generation != cache.generation || now_ms < page.at_ms ||
        now_ms - page.at_ms >= list_cache_ms)
        return false;
    body = page.body;
    return true;
}

uint64_t list_cache_generation(List_Cache& cache) {
    std::lock_guard guard(cache.lock);
    return cache.generation;
}

void list_cache_put(List_Cache& cache, const std::string& key, uint64_t generation, int64_t now_ms,
                    std::string body) {
    std::lock_guard guard(cache.lock);
    if (generation != cache.generation) return;
    List_Cache::Page& page = cache.pages[key];
    page.body = std::move(body);
    page.at_ms = now_ms;
    page.generation = generation;
}

void list_cache_forget(List_Cache& cache) {
    std::lock_guard guard(cache.lock);
    ++cache.generation;
    cache.pages.clear();
}

}  // namespace server
