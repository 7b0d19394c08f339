// libcurl side of fetcher.h: one multi handle, `parallel` easy handles reused (and with them their
// connections) from one transfer to the next.
#include "delivery/fetcher.h"

#include "backend/curl_options.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace delivery {

namespace {

constexpr curl_off_t reserve_limit = curl_off_t(16) << 20;

struct Transfer {
    CURL* easy = nullptr;
    Fetch fetch;
    std::string body;
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
        if (announced > 0) t.body.reserve(size_t(std::min<curl_off_t>(announced, reserve_limit)));
    }
    if (t.body.size() + n > t.fetch.limit) {
        t.too_long = true;
        return 0;
    }
    t.body.append(data, n);
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
}

struct Multi_Cleanup {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};

}  // namespace

bool fetcher_run(Fetcher& f, const std::function<bool(Fetch&)>& next,
                 const std::function<bool(Fetch_Result&)>& on_done) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::unique_ptr<CURLM, Multi_Cleanup> multi(curl_multi_init());
    if (!multi) return false;
    int parallel = f.parallel < 1 ? 1 : f.parallel;
    curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, long(parallel));
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, long(parallel));
    {
        std::lock_guard<std::mutex> hold(f.lock);
        f.running = multi.get();
    }

    // Easy handles are reused for later transfers, and with them their connections.
    std::vector<std::unique_ptr<Transfer>> slots(static_cast<size_t>(parallel));
    std::vector<Transfer*> idle;
    for (auto& s : slots) {
        s = std::make_unique<Transfer>();
        s->easy = curl_easy_init();
        if (!s->easy) break;
        idle.push_back(s.get());
    }
    auto free_all = [&] {
        for (auto& s : slots) {
            if (!s->easy) continue;
            curl_multi_remove_handle(multi.get(), s->easy);
            curl_easy_cleanup(s->easy);
        }
        std::lock_guard<std::mutex> hold(f.lock);
        f.running = nullptr;
    };
    if (idle.empty()) {
        free_all();
        return false;
    }

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
            t->too_long = t->sized = false;
            configure(f, *t);
            curl_multi_add_handle(multi.get(), t->easy);
            ++active;
        }
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            ok = false;
            break;
        }
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi.get(), &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            Transfer* t = nullptr;
            for (auto& s : slots)
                if (s->easy == m->easy_handle) t = s.get();
            CURLcode code = m->data.result;
            curl_multi_remove_handle(multi.get(), t->easy);
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
        if (ok && active > 0) curl_multi_poll(multi.get(), nullptr, 0, 200, nullptr);
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
