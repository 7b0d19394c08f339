// HTTP transport: performs one request synchronously on a client's worker thread and turns
// every outcome into a filled Response (status and body, or status 0 and an error text).
//
// Depends on the platform's HTTP stack only inside its implementation: transport_curl.cpp
// (libcurl) on Linux, transport_windows.cpp (WinHTTP) on Windows; this header includes
// neither. Limits: one exchange at a time per Transport, no redirects followed, no connection
// kept between requests, no proxy configuration beyond the platform's own.
//
// Failure texts: "bad URL", "bad header", "cancelled", "response too large", or
// "<step>: <reason>" with the step one of connect, send, receive, status, read and the reason
// one of "timed out", "server name not found", "could not connect", "connection reset",
// "TLS/certificate error", "out of memory", or the stack's own error number.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace backend {

enum class Method : uint8_t;
struct Response;
struct Url_Parts;

// Embedded in each Client. `session` is the stack's long-lived handle (a CURLM* multi handle
// on Linux, the WinHTTP session on Windows). `cancelled` is set once by transport_cancel and
// never cleared while the client lives; it is the only field written from two threads.
struct Transport {
    void* session = nullptr;
    std::atomic<bool> cancelled{false};
    std::string user_agent;
    int timeout_ms = 0;  // send/receive time-out: the longest wait without progress; 0 or less waits forever
    // Called on the worker thread after each piece of an answer's body arrived (the game's
    // downloads hand it the download limit, which waits as the limit asks); none when null.
    void (*on_received)(size_t bytes, const std::atomic<bool>& cancelled) = nullptr;
#ifdef _WIN32
    std::atomic<void*> request{nullptr};  // the request handle in progress, taken by atomic exchange
    // Body bytes received in the exchange in progress, for a watcher on another thread (the
    // chunk fetcher's lowest-speed limit); reset as each exchange starts.
    std::atomic<int64_t> received{0};
    // Asks the caches on the way for a fresh copy ("Cache-Control: no-cache"): set by the chunk
    // fetcher for the one more try of an object that arrived damaged.
    bool no_cache = false;
#endif
};

// Opens the stack's session. False when no session can be had; the Transport then stays closed.
bool transport_open(Transport& t, std::string_view user_agent, int timeout_ms);

// Any thread: marks the transport cancelled and aborts the exchange in progress at once.
void transport_cancel(Transport& t);

// After the worker has been joined: closes the session and clears the record.
void transport_close(Transport& t);

// Performs the exchange and fills `r` (whose id is already set). `max_body` of 0 or less
// means 4 MiB. A body over the limit or a failure midway never leaves a partial body.
void transport_perform(Transport& t, Response& r, Method method, const Url_Parts& url,
                       std::string_view body, std::string_view authorization,
                       std::string_view content_type, int64_t max_body);

// status 0, body freed, err = text.
void fail(Response& r, std::string_view text);

// A CR, LF or NUL in a header value would let its source (a token from a server answer, say)
// add headers of its own to the request: such a request fails with "bad header".
bool unsafe_header_value(std::string_view value);

// The path goes out as given, query and fragment included, except that bytes which cannot
// appear in a request line (controls, blanks, non-ASCII) are percent-encoded, as WinHTTP does:
// a CR LF in a path must never end the request line early. Both transports send the same line.
std::string request_target(std::string_view path);

// Whether the header block carries a Content-Type: with a body, and always for POST, PUT and
// PATCH (an empty POST still says what it carries); a GET or DELETE only with a body.
bool sends_content_type(Method method, std::string_view body);
// The caller's content type, or "application/json" when it gave none.
std::string_view content_type_or_default(std::string_view content_type);

// The body limit in bytes for a client's max_body.
inline int64_t body_limit(int64_t max_body) { return max_body > 0 ? max_body : int64_t(4) << 20; }

}  // namespace backend
