// The transport over libcurl. Each exchange runs on a fresh easy handle inside the client's
// one multi handle, so that transport_cancel can wake a blocked wait at once
// (curl_multi_wakeup) and the send/receive time-out can be measured as time without progress
// rather than as total length: a slow but steady download of a large release file must not
// time out, a silent server must.
//
// Index: callbacks (headers, body, progress) - failure texts (step, reason) - request line and
// headers - configure and run one transfer - transport_open/cancel/close/perform.
#include "backend/client.h"
#include "backend/curl_options.h"
#include "backend/transport.h"
#include "backend/url.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>

namespace backend {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long connect_timeout_ms = 5000;  // name resolution and connecting, TLS included
constexpr int idle_wait_ms = 1000;         // longest single wait when no time-out is nearer

bool global_init() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

// What the callbacks learn about one exchange. Only the worker thread touches it.
struct Exchange {
    CURL* easy = nullptr;
    const std::atomic<bool>* cancelled = nullptr;
    void (*on_received)(size_t, const std::atomic<bool>&) = nullptr;
    int64_t limit = 0;
    std::string body;
    bool too_large = false;
    bool out_of_memory = false;
    bool sized = false;         // Content-Length looked at (first body bytes)
    bool answered = false;      // some byte of the answer arrived
    bool headers_done = false;  // the final (non-1xx) header block is complete
    long interim_status = 0;    // status of the header block being read
    curl_off_t uploaded = 0;
    curl_off_t downloaded = 0;
    Clock::time_point last_progress{};
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto& x = *static_cast<Exchange*>(user);
    size_t length = size * count;
    std::string_view line(data, length);
    x.answered = true;
    x.last_progress = Clock::now();
    if (line.starts_with("HTTP/")) {
        size_t space = line.find(' ');
        long status = 0;
        if (space != std::string_view::npos)
            for (size_t i = space + 1; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
                status = status * 10 + (line[i] - '0');
        x.interim_status = status;
    } else if (line == "\r\n" || line == "\n") {
        // 1xx answers end with a blank line too; only the final header block counts.
        if (x.interim_status >= 200) x.headers_done = true;
    }
    return length;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto& x = *static_cast<Exchange*>(user);
    size_t length = size * count;
    x.answered = true;
    x.last_progress = Clock::now();
    try {
        if (!x.sized) {
            x.sized = true;
            curl_off_t announced = -1;
            curl_easy_getinfo(x.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
            if (announced > x.limit) {
                x.too_large = true;
                return 0;
            }
            // Reserving the announced size up front means a 512 MiB release file is never
            // copied while it grows: peak memory stays at the body's own size.
            if (announced > 0) x.body.reserve(size_t(announced));
        }
        if (int64_t(x.body.size()) + int64_t(length) > x.limit) {
            x.too_large = true;
            return 0;
        }
        x.body.append(data, length);
        if (x.on_received) x.on_received(length, *x.cancelled);
    } catch (const std::bad_alloc&) {
        x.out_of_memory = true;
        return 0;
    }
    return length;
}

int on_progress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto& x = *static_cast<Exchange*>(user);
    if (x.cancelled->load()) return 1;
    if (uploaded != x.uploaded || downloaded != x.downloaded) {
        x.uploaded = uploaded;
        x.downloaded = downloaded;
        x.last_progress = Clock::now();
    }
    return 0;
}

// Connected means ready to send: TCP is up and, for https, the TLS handshake is done.
bool connected(CURL* easy, bool secure) {
    curl_off_t tcp = 0, tls = 0;
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &tcp);
    if (!secure) return tcp > 0;
    curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &tls);
    return tcp > 0 && tls > 0;
}

// Where the exchange stood when it failed, named after the step that was waiting.
const char* step_of(const Exchange& x, bool is_connected, size_t body_size, CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_URL_MALFORMAT:
        return "connect";
    case CURLE_SEND_ERROR:
        return "send";
    default:
        break;
    }
    if (!is_connected && !x.answered) return "connect";
    if (x.headers_done) return "read";
    if (!x.answered && x.uploaded < curl_off_t(body_size)) return "send";
    return "receive";
}

const char* reason_of(CURLcode code) {
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return "timed out";
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return "server name not found";
    case CURLE_ABORTED_BY_CALLBACK: return "cancelled";
    case CURLE_COULDNT_CONNECT: return "could not connect";
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:  // the connection closed before the announced length arrived
    case CURLE_GOT_NOTHING: return "connection reset";
    case CURLE_OUT_OF_MEMORY: return "out of memory";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT: return "TLS/certificate error";
    default: return nullptr;
    }
}

void fail_step(Transport& t, Response& r, const char* step, int code, const char* reason) {
    // After transport_cancel every failure is the cancellation's doing, whatever curl says.
    if (t.cancelled.load()) {
        fail(r, "cancelled");
        return;
    }
    char text[96];
    if (reason)
        std::snprintf(text, sizeof text, "%s: %s", step, reason);
    else
        std::snprintf(text, sizeof text, "%s: curl error %d", step, code);
    fail(r, text);
}

bool add_header(curl_slist*& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (!grown) return false;
    list = grown;
    return true;
}

std::string origin(const Url_Parts& url) {
    std::string out = url.secure ? "https://" : "http://";
    bool ipv6 = url.host.find(':') != std::string::npos;
    if (ipv6) out += '[';
    out += url.host;
    if (ipv6) out += ']';
    out += ':';
    out += std::to_string(url.port);
    out += '/';
    return out;
}

// Our Accept and Content-Type replace curl's own; "Expect:" stops curl from waiting for a
// 100 Continue before large bodies. Null when memory ran out.
curl_slist* header_block(std::string_view authorization, std::string_view content_type, bool has_content) {
    curl_slist* headers = nullptr;
    bool listed = add_header(headers, "Accept: application/json");
    if (listed && !authorization.empty())
        listed = add_header(headers, std::string("Authorization: ").append(authorization));
    if (listed && has_content)
        listed = add_header(headers, std::string("Content-Type: ").append(content_type_or_default(content_type)));
    if (listed) listed = add_header(headers, "Expect:");
    if (listed) return headers;
    curl_slist_free_all(headers);
    return nullptr;
}

// curl copies every text option, so the URL and target may die with this call; the body
// (POSTFIELDS) is not copied and must outlive the exchange.
void configure(CURL* easy, Exchange& x, const Transport& t, Method method, const Url_Parts& url,
               std::string_view body, bool has_content) {
    std::string base = origin(url);
    std::string target = request_target(url.path);
    curl_easy_setopt(easy, CURLOPT_URL, base.c_str());
    curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, target.c_str());
    set_common_curl_options(easy, t.user_agent, connect_timeout_ms);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method_text(method));
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &x);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &x);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &x);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    if (has_content) {
        // An empty body still goes out as a body of length 0 ("Content-Length: 0").
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.empty() ? "" : body.data());
    }
}

struct Outcome {
    CURLcode result = CURLE_OK;  // curl's verdict when the transfer finished
    CURLMcode multi_error = CURLM_OK;
    bool timed_out = false;      // no progress for the send/receive time-out
    bool aborted = false;        // transport_cancel
    bool connected = false;
};

// Drives the transfer until it finishes, stalls past the time-out or is cancelled. Each wait
// is bounded by the time left before the time-out, and transport_cancel cuts it short.
Outcome run(Transport& t, CURLM* multi, Exchange& x, bool secure) {
    Outcome o;
    o.multi_error = curl_multi_add_handle(multi, x.easy);
    x.last_progress = Clock::now();
    bool finished = false;
    while (o.multi_error == CURLM_OK) {
        int running = 0;
        o.multi_error = curl_multi_perform(multi, &running);
        if (o.multi_error != CURLM_OK) break;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == x.easy) {
                finished = true;
                o.result = message->data.result;
            }
        }
        if (finished) break;
        if (t.cancelled.load()) {
            o.aborted = true;
            break;
        }
        Clock::time_point now = Clock::now();
        if (!o.connected && connected(x.easy, secure)) {
            o.connected = true;
            // The send/receive clock starts once the connection is up; before that curl's
            // connect time-out applies.
            x.last_progress = std::max(x.last_progress, now);
        }
        int wait_ms = idle_wait_ms;
        if (o.connected && t.timeout_ms > 0) {
            auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - x.last_progress);
            if (idle.count() >= t.timeout_ms) {
                o.timed_out = true;
                break;
            }
            wait_ms = int(std::min<int64_t>(wait_ms, t.timeout_ms - idle.count()));
        }
        curl_multi_poll(multi, nullptr, 0, wait_ms, nullptr);
    }
    if (!o.connected) o.connected = connected(x.easy, secure);
    return o;
}

}  // namespace

bool transport_open(Transport& t, std::string_view user_agent, int timeout_ms) {
    if (!global_init()) return false;
    CURLM* multi = curl_multi_init();
    if (!multi) return false;
    t.session = multi;
    t.cancelled.store(false);
    t.user_agent.assign(user_agent);
    t.timeout_ms = timeout_ms;
    return true;
}

void transport_cancel(Transport& t) {
    t.cancelled.store(true);
    // Wakes the worker out of curl_multi_poll (or makes its next poll return at once); the
    // worker then sees `cancelled` and drops the exchange.
    if (t.session) curl_multi_wakeup(static_cast<CURLM*>(t.session));
}

void transport_close(Transport& t) {
    if (t.session) curl_multi_cleanup(static_cast<CURLM*>(t.session));
    t.session = nullptr;
    t.cancelled.store(false);
    std::string().swap(t.user_agent);
    t.timeout_ms = 0;
    t.on_received = nullptr;
}

void transport_perform(Transport& t, Response& r, Method method, const Url_Parts& url,
                       std::string_view body, std::string_view authorization,
                       std::string_view content_type, int64_t max_body) {
    if (unsafe_header_value(authorization) || unsafe_header_value(content_type)) {
        fail(r, "bad header");
        return;
    }
    auto* multi = static_cast<CURLM*>(t.session);
    CURL* easy = multi ? curl_easy_init() : nullptr;
    if (!easy) {
        fail_step(t, r, "connect", CURLE_FAILED_INIT, nullptr);
        return;
    }
    if (t.cancelled.load()) {  // destroy came first: nothing is sent
        curl_easy_cleanup(easy);
        fail(r, "cancelled");
        return;
    }

    Exchange x;
    x.easy = easy;
    x.cancelled = &t.cancelled;
    x.on_received = t.on_received;
    x.limit = body_limit(max_body);
    bool has_content = sends_content_type(method, body);
    curl_slist* headers = header_block(authorization, content_type, has_content);
    if (!headers) {
        curl_easy_cleanup(easy);
        fail_step(t, r, "send", CURLE_OUT_OF_MEMORY, "out of memory");
        return;
    }
    configure(easy, x, t, method, url, body, has_content);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

    Outcome o = run(t, multi, x, url.secure);
    if (o.aborted) {
        fail(r, "cancelled");
    } else if (o.timed_out) {
        fail_step(t, r, step_of(x, o.connected, body.size(), CURLE_OPERATION_TIMEDOUT),
                  CURLE_OPERATION_TIMEDOUT, "timed out");
    } else if (o.multi_error != CURLM_OK) {
        fail_step(t, r, step_of(x, o.connected, body.size(), CURLE_OK), int(o.multi_error), nullptr);
    } else if (x.too_large) {
        fail(r, "response too large");
    } else if (x.out_of_memory) {
        fail_step(t, r, "read", CURLE_OUT_OF_MEMORY, "out of memory");
    } else if (o.result != CURLE_OK) {
        fail_step(t, r, step_of(x, o.connected, body.size(), o.result), int(o.result), reason_of(o.result));
    } else {
        long status = 0;
        CURLcode info = curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (info != CURLE_OK || status == 0) {
            fail_step(t, r, "status", info != CURLE_OK ? int(info) : int(CURLE_WEIRD_SERVER_REPLY), nullptr);
        } else {
            r.status = status;
            r.body = std::move(x.body);
            r.body.shrink_to_fit();  // a no-op when Content-Length sized it exactly
            r.err.clear();
        }
    }

    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
}

}  // namespace backend
