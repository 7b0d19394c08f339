// The map list's first pages (no search), kept in memory for a second. On a busy day nearly
// every launcher asks for the same few pages; an answer from memory is served from the HTTP
// loop without a worker or a database round trip, which under load cost far more than the query.
//
// Depends on the standard library only. A write this instance makes to what the list shows (a
// share, a download count, a rename, a ban) empties it at once; another instance's write shows
// here within `list_cache_ms`. At most one page per (sort, limit): a few hundred at worst.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace server {

constexpr int64_t list_cache_ms = 1000;

struct List_Cache {
    struct Page {
        std::string body;
        int64_t at_ms = 0;         // when it was read from the database
        uint64_t generation = 0;   // of the cache when the read began
    };
    std::mutex lock;
    std::unordered_map<std::string, Page> pages;  // by sort and limit
    uint64_t generation = 0;  // raised by every write that changes what lists show
};

// The page under `key` read less than `list_cache_ms` before `now_ms` and since the last write.
bool list_cache_get(List_Cache& cache, const std::string& key, int64_t now_ms, std::string& body);
// The generation to hand to list_cache_put: taken before the database is read, so a write
// that lands during the read keeps the page it may have missed out of the cache.
uint64_t list_cache_generation(List_Cache& cache);
void list_cache_put(List_Cache& cache, const std::string& key, uint64_t generation, int64_t now_ms,
                    std::string body);
// A write changed what lists show: every page is stale.
void list_cache_forget(List_Cache& cache);

}  // namespace server
