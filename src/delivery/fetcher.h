// Parallel GET requests over kept-alive connections, for chunk and index files and whole files:
// an answer is held in memory (small files) or handed to its fetch's sink as it arrives (whole
// files of up to hundreds of MiB). An answer longer than its limit is
// refused as soon as it says so (Content-Length) or its bytes pass the limit; a transfer that
// moves fewer than `low_speed` bytes a second for `stall_seconds` fails, so a server trickling
// bytes cannot hold the transfers for ever.
//
// Depends on the platform's HTTP stack: fetcher_curl.cpp (libcurl's multi interface) on Linux,
// fetcher_windows.cpp (WinHTTP, a worker thread per transfer at a time) on Windows. One thread
// runs a Fetcher; fetcher_cancel may be called from any other.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace delivery {

struct Fetch {
    std::string path;     // below the base URL, starting with "/"
    uint64_t limit = 0;   // the most bytes the answer may have
    size_t tag = 0;       // the caller's
    // When set, the answer's body goes here with the answer's status instead of into
    // Fetch_Result::body (which stays empty), on the thread that transfers: piece by piece as it
    // arrives over libcurl, whole once received over WinHTTP (whose transport holds it). Bytes
    // past the limit never reach it.
    std::function<void(long status, std::string_view bytes)> sink = {};
    // Asks the caches on the way (a CDN, a proxy) for a fresh copy: "Cache-Control: no-cache".
    bool no_cache = false;
    // Above 0: asks for the answer from this byte on ("Range: bytes=N-"); a server may still
    // answer 200 with the whole body. Over WinHTTP it is not asked for (the answer is whole).
    uint64_t from = 0;
    // When set, receives the answer's Content-Range ("" when it has none) before the first byte
    // of its body reaches the sink.
    std::string* content_range = nullptr;
};

// Fetch_Result::err of an answer refused for passing its limit.
inline constexpr const char* answer_too_long = "longer than declared";

struct Fetch_Result {
    size_t tag = 0;
    long status = 0;      // 0: no answer, `err` says why
    std::string body;
    std::string err;       // the HTTP stack's text, or answer_too_long
};

struct Fetcher {
    std::string base_url;  // without a trailing "/"
    std::string user_agent;
    int parallel = 8;      // transfers at a time
    long stall_seconds = 60;
    // Bytes a second. A published chunk is 4 MiB at most: at this speed it still arrives within
    // hours, and eight transfers at it take 2 KiB/s, below any link that can install a game.
    long low_speed = 256;
    std::atomic<bool> cancelled{false};
    std::mutex lock;          // guards running
    void* running = nullptr;  // while fetcher_run runs: its CURLM* (libcurl) or its workers (WinHTTP)
    // The connections, kept alive from one run to the next for the Fetcher's life, so that a
    // job's index heads, pages and chunks share them: made by the first run, used by one run at
    // a time (the libcurl multi handle and its easy handles; the WinHTTP sessions). A Fetcher
    // whose runs are over may hand it to the next one (the patcher's jobs of one check).
    std::shared_ptr<void> pool;
    std::atomic<int64_t> connections{0};  // opened so far (libcurl; WinHTTP does not tell)
};

// Fetches what `next` hands out (false: nothing more), `parallel` at a time, calling on_done on
// this thread for each as it finishes. Stops early when on_done returns false or the fetcher is
// cancelled. False when it stopped early or could not start. Each run reuses the connections
// the runs before it kept alive (`pool`).
bool fetcher_run(Fetcher& f, const std::function<bool(Fetch&)>& next,
                 const std::function<bool(Fetch_Result&)>& on_done);

// Makes a running fetcher_run return soon; later runs return at once.
void fetcher_cancel(Fetcher& f);

}  // namespace delivery
