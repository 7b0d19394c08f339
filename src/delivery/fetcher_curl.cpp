// libcurl side of fetcher.h: one multi handle and `parallel` easy handles for the Fetcher's life,
// reused (and with them the multi handle's kept-alive connections) from one transfer and one run
// to the next.
#include "delivery/fetcher.h"

#include "backend/curl_options.h"
#include "delivery/rate_limit.h"

#include <cctype>
#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace delivery {

namespace {

constexpr curl_off_t reserve_limit = curl_off_t(16) << 20;

struct Transfer {
    CURL* easy = nullptr;
    const std::atomic<bool>* cancelled = nullptr;
    Fetch fetch;
    std::string body;
    uint64_t received = 0;  // body bytes so far
    bool too_long = false;
    bool sized = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    size_t n = size * count;
    if (!t.sized) {
        t.sized = true;
        curl_off_t announced = -1;
        curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        if (announced > 0 && uint64_t(announced) > t.fetch.limit) {
            t.too_long = true;
            return 0;
        }
        // Room for what is announced, up to a few MiB: a limit of gigabytes (the index of a
        // huge file) must not be taken at the answer's word before its bytes arrive.
        if (announced > 0 && !t.fetch.sink) t.body.reserve(size_t(std::min<curl_off_t>(announced, reserve_limit)));
    }
    if (n > t.fetch.limit - t.received) {
        t.too_long = true;
        return 0;
    }
    t.received += n;
    if (t.fetch.sink) {
        long status = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
        t.fetch.sink(status, std::string_view(data, n));
    } else {
        t.body.append(data, n);
    }
    // One thread drives every transfer: waiting here holds them all to the limit together.
    download_throttle(n, *t.cancelled);
    return n;
}

// The answer's Content-Range, for a fetch that asked for it; each status line (a redirect, an
// interim answer) starts the headers afresh.
size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    size_t n = size * count;
    if (!t.fetch.content_range) return n;
    std::string_view line(data, n);
    constexpr std::string_view name = "content-range:";
    if (line.substr(0, 5) == "HTTP/") t.fetch.content_range->clear();
    if (line.size() < name.size()) return n;
    for (size_t i = 0; i < name.size(); ++i)
        if (char(std::tolower(static_cast<unsigned char>(line[i]))) != name[i]) return n;
    line.remove_prefix(name.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.remove_suffix(1);
    t.fetch.content_range->assign(line);
    return n;
}

void configure(Fetcher& f, Transfer& t) {
    CURL* e = t.easy;
    std::string url = f.base_url + t.fetch.path;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    backend::set_common_curl_options(e, f.user_agent, 5000L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, f.low_speed > 0 ? f.low_speed : 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, f.stall_seconds);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    if (t.fetch.content_range) t.fetch.content_range->clear();
    // The handles are reused: a fetch without a range must not inherit the last one's.
    std::string range = t.fetch.from > 0 ? std::to_string(t.fetch.from) + "-" : std::string();
    curl_easy_setopt(e, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
    t.cancelled = &f.cancelled;
}

// Every request says what the launcher's requests have always said they accept (as over
// WinHTTP, whose transport sends it too); the list lives as long as the pool.
curl_slist* accept_header() {
    return curl_slist_append(nullptr, "Accept: application/json");
}

// The Fetcher's pool: the multi handle (its connection cache) and the easy handles.
struct Pool {
    CURLM* multi = nullptr;
    curl_slist* headers = nullptr;
    curl_slist* no_cache_headers = nullptr;  // the same, asking caches for a fresh copy
    std::vector<std::unique_ptr<Transfer>> slots;
    ~Pool() {
        for (auto& s : slots)
            if (s->easy) curl_easy_cleanup(s->easy);
        if (multi) curl_multi_cleanup(multi);
        curl_slist_free_all(headers);
        curl_slist_free_all(no_cache_headers);
    }
};

// The fetcher's pool, made at its first run; null when libcurl cannot give one.
Pool* pool_of(Fetcher& f, int parallel) {
    if (f.pool) return static_cast<Pool*>(f.pool.get());
    auto pool = std::make_shared<Pool>();
    pool->multi = curl_multi_init();
    pool->headers = accept_header();
    pool->no_cache_headers = accept_header();
    curl_slist* fresh = pool->no_cache_headers ? curl_slist_append(pool->no_cache_headers, "Cache-Control: no-cache") : nullptr;
    if (!pool->multi || !pool->headers || !fresh) return nullptr;  // the pool frees what it has
    curl_multi_setopt(pool->multi, CURLMOPT_MAXCONNECTS, long(parallel));
    curl_multi_setopt(pool->multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(parallel));
    for (int i = 0; i < parallel; ++i) {
        auto t = std::make_unique<Transfer>();
        t->easy = curl_easy_init();
        if (!t->easy) break;
        pool->slots.push_back(std::move(t));
    }
    if (pool->slots.empty()) return nullptr;
    f.pool = pool;
    return pool.get();
}

}  // namespace

bool fetcher_run(Fetcher& f, const std::function<bool(Fetch&)>& next,
                 const std::function<bool(Fetch_Result&)>& on_done) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    int parallel = f.parallel < 1 ? 1 : f.parallel;
    Pool* pool = pool_of(f, parallel);
    if (!pool) return false;
    CURLM* multi = pool->multi;
    {
        std::lock_guard<std::mutex> hold(f.lock);
        f.running = multi;
    }
    std::vector<Transfer*> idle;
    for (auto& s : pool->slots) idle.push_back(s.get());
    // Transfers cut short are taken off the multi handle; their connections are closed, the
    // others stay in its cache for the next run.
    auto free_all = [&] {
        for (auto& s : pool->slots) curl_multi_remove_handle(multi, s->easy);
        std::lock_guard<std::mutex> hold(f.lock);
        f.running = nullptr;
    };

    bool ok = true, more = true;
    int active = 0;
    while (ok && (more || active > 0)) {
        if (f.cancelled.load()) {
            ok = false;
            break;
        }
        while (more && !idle.empty()) {
            Transfer* t = idle.back();
            if (!(more = next(t->fetch))) break;
            idle.pop_back();
            t->body.clear();
            t->received = 0;
            t->too_long = t->sized = false;
            configure(f, *t);
            curl_easy_setopt(t->easy, CURLOPT_HTTPHEADER, t->fetch.no_cache ? pool->no_cache_headers : pool->headers);
            curl_multi_add_handle(multi, t->easy);
            ++active;
        }
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            ok = false;
            break;
        }
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            Transfer* t = nullptr;
            for (auto& s : pool->slots)
                if (s->easy == m->easy_handle) t = s.get();
            CURLcode code = m->data.result;
            curl_multi_remove_handle(multi, t->easy);
            long opened = 0;
            if (curl_easy_getinfo(t->easy, CURLINFO_NUM_CONNECTS, &opened) == CURLE_OK) f.connections += opened;
            --active;
            Fetch_Result r;
            r.tag = t->fetch.tag;
            if (t->too_long) {
                r.err = answer_too_long;
            } else if (code != CURLE_OK) {
                r.err = curl_easy_strerror(code);
            } else {
                curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &r.status);
                r.body = std::move(t->body);
            }
            t->body = std::string();
            idle.push_back(t);
            if (ok && !on_done(r)) ok = false;
        }
        if (ok && active > 0) curl_multi_poll(multi, nullptr, 0, 200, nullptr);
    }
    free_all();
    return ok;
}

void fetcher_cancel(Fetcher& f) {
    f.cancelled.store(true);
    std::lock_guard<std::mutex> hold(f.lock);
    if (f.running) curl_multi_wakeup(static_cast<CURLM*>(f.running));
}

}  // namespace delivery
