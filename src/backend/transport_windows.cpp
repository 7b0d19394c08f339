// The transport over WinHTTP, synchronous: one session handle per client (opened by
// transport_open), and per request a connection and a request handle that are closed again at
// the end (no connection is kept between requests). Redirects are never followed.
//
// Cancelling: the request handle in progress is published in Transport::request; whoever takes
// it out by atomic exchange closes it. transport_cancel sets `cancelled` first and then takes
// and closes the handle, which makes the worker's blocked send, receive or read fail; the
// worker then reports "cancelled" because the flag is already set.
#include "backend/client.h"
#include "backend/transport.h"
#include "backend/url.h"

#include "platform/wide_windows.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <new>
#include <vector>

#ifdef DELETE
#undef DELETE  // winnt.h defines it; our verb is an enum value
#endif

namespace backend {

namespace {

constexpr DWORD access_automatic_proxy = 4;  // WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY (Windows 8.1 and later)
constexpr DWORD access_default_proxy = 0;    // WINHTTP_ACCESS_TYPE_DEFAULT_PROXY
constexpr int resolve_timeout_ms = 5000;
constexpr int connect_timeout_ms = 5000;
constexpr DWORD option_disable_feature = 63;  // WINHTTP_OPTION_DISABLE_FEATURE
constexpr DWORD disable_redirects = 2;        // WINHTTP_DISABLE_REDIRECTS
constexpr DWORD read_buffer_bytes = 16384;

HINTERNET session_of(Transport& t) { return static_cast<HINTERNET>(t.session); }

const char* reason_of(DWORD code) {
    switch (code) {
    case 12002: return "timed out";                // ERROR_WINHTTP_TIMEOUT
    case 12007: return "server name not found";    // ERROR_WINHTTP_NAME_NOT_RESOLVED
    case 12017: return "cancelled";                // ERROR_WINHTTP_OPERATION_CANCELLED
    case 6: return "cancelled";                    // ERROR_INVALID_HANDLE: closed under the call
    case 12029: return "could not connect";        // ERROR_WINHTTP_CANNOT_CONNECT
    case 12030: return "connection reset";         // ERROR_WINHTTP_CONNECTION_ERROR
    case 12175: return "TLS/certificate error";    // ERROR_WINHTTP_SECURE_FAILURE
    // The finer TLS codes say the same thing to a player: the secure channel could not be set
    // up (Wine reports an untrusted certificate as 12157), or the certificate is not valid.
    case 12157:                                    // ERROR_WINHTTP_SECURE_CHANNEL_ERROR
    case 12037:                                    // ERROR_WINHTTP_SECURE_CERT_DATE_INVALID
    case 12038:                                    // ERROR_WINHTTP_SECURE_CERT_CN_INVALID
    case 12045:                                    // ERROR_WINHTTP_SECURE_INVALID_CA
    case 12169:                                    // ERROR_WINHTTP_SECURE_INVALID_CERT
    case 12170:                                    // ERROR_WINHTTP_SECURE_CERT_REVOKED
    case 12179: return "TLS/certificate error";    // ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE
    // Wine's WinHTTP passes some socket errors through instead of its own codes.
    case 10060: return "timed out";                // WSAETIMEDOUT
    case 10054: return "connection reset";         // WSAECONNRESET
    default: return nullptr;
    }
}

// Right after a WinHTTP call returned failure. Once the transport is cancelled every failure
// is the cancellation's doing, whatever the code says.
void fail_step(Transport& t, Response& r, const char* step, DWORD code) {
    if (t.cancelled.load()) {
        fail(r, "cancelled");
        return;
    }
    char text[96];
    if (const char* reason = reason_of(code))
        std::snprintf(text, sizeof text, "%s: %s", step, reason);
    else
        std::snprintf(text, sizeof text, "%s: WinHTTP error %d", step, int(code));
    fail(r, text);
}

void fail_step(Transport& t, Response& r, const char* step) { fail_step(t, r, step, GetLastError()); }

std::string header_block(Method method, std::string_view body, std::string_view authorization,
                         std::string_view content_type) {
    std::string block = "Accept: application/json\r\n";
    if (!authorization.empty()) block.append("Authorization: ").append(authorization).append("\r\n");
    if (sends_content_type(method, body))
        block.append("Content-Type: ").append(content_type_or_default(content_type)).append("\r\n");
    return block;
}

// The announced Content-Length, or -1 when there is none (chunked answers).
int64_t announced_length(HINTERNET request) {
    wchar_t text[32];
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    int64_t n = 0;
    size_t digits = 0;
    for (const wchar_t* p = text; *p; ++p, ++digits) {
        if (*p < L'0' || *p > L'9' || digits >= 18) return -1;
        n = n * 10 + (*p - L'0');
    }
    return digits ? n : -1;
}

// Steps 5 to 11 of an exchange on a published request handle; fills `r` either way.
void exchange(Transport& t, Response& r, HINTERNET request, Method method, std::string_view body,
              std::string_view authorization, std::string_view content_type, int64_t max_body) {
    DWORD feature = disable_redirects;
    WinHttpSetOption(request, option_disable_feature, &feature, sizeof feature);

    std::string block = header_block(method, body, authorization, content_type);
    if (t.no_cache) block += "Cache-Control: no-cache\r\n";
    std::wstring headers = platform::widen(block);
    if (body.size() > 0xFFFFFFFFu) {
        fail_step(t, r, "send", ERROR_INVALID_PARAMETER);
        return;
    }
    // Between calls a cancel may have closed the handle already; stop instead of handing a
    // closed handle to WinHTTP.
    if (t.cancelled.load()) return fail(r, "cancelled");
    DWORD length = DWORD(body.size());
    if (!WinHttpSendRequest(request, headers.c_str(), DWORD(-1L),
                            body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data()), length, length, 0))
        return fail_step(t, r, "send");
    if (t.cancelled.load()) return fail(r, "cancelled");
    if (!WinHttpReceiveResponse(request, nullptr)) return fail_step(t, r, "receive");
    if (t.cancelled.load()) return fail(r, "cancelled");
    DWORD status = 0;
    DWORD status_size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &status_size, WINHTTP_NO_HEADER_INDEX))
        return fail_step(t, r, "status");

    const int64_t limit = body_limit(max_body);
    int64_t announced = announced_length(request);
    // An answer that says up front it is too large is refused before any of it is read.
    if (announced > limit) return fail(r, "response too large");
    std::string collected;
    try {
        std::vector<char> buffer(read_buffer_bytes, 0);
        // Reserving the announced size means a 512 MiB release file is never copied while it
        // grows: peak memory stays at the body's own size.
        if (announced > 0) collected.reserve(size_t(announced));
        for (;;) {
            if (t.cancelled.load()) return fail(r, "cancelled");
            DWORD count = 0;
            if (!WinHttpReadData(request, buffer.data(), read_buffer_bytes, &count)) return fail_step(t, r, "read");
            if (count == 0) {
                // WinHTTP ends the body quietly when the server closes the connection early;
                // a body shorter than it was announced is cut off, never complete.
                // (204 and 304 answers carry no body whatever length they name.)
                bool bodiless = status == 204 || status == 304 || status < 200;
                if (announced >= 0 && !bodiless && int64_t(collected.size()) != announced) {
                    std::string().swap(collected);
                    return fail_step(t, r, "read", ERROR_WINHTTP_CONNECTION_ERROR);
                }
                break;
            }
            if (int64_t(collected.size()) + int64_t(count) > limit) return fail(r, "response too large");
            collected.append(buffer.data(), count);
            t.received.fetch_add(int64_t(count));
            if (t.on_received) t.on_received(count, t.cancelled);
        }
    } catch (const std::bad_alloc&) {
        std::string().swap(collected);
        return fail(r, t.cancelled.load() ? "cancelled" : "read: out of memory");
    }
    collected.shrink_to_fit();
    r.status = int64_t(status);
    r.body = std::move(collected);
    r.err.clear();
}

}  // namespace

bool transport_open(Transport& t, std::string_view user_agent, int timeout_ms) {
    std::wstring agent = platform::widen(user_agent);
    HINTERNET session = WinHttpOpen(agent.c_str(), access_automatic_proxy, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    // Automatic proxy needs Windows 8.1; older systems take the default (registry) proxy.
    if (!session)
        session = WinHttpOpen(agent.c_str(), access_default_proxy, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return false;
    int io = timeout_ms > 0 ? timeout_ms : 0;   // 0 waits forever
    WinHttpSetTimeouts(session, resolve_timeout_ms, connect_timeout_ms, io, io);
    // Waiting for the status line and headers has a time-out of its own (90 s on Windows,
    // none at all in Wine); the receive time-out is meant to cover that wait as well.
    DWORD headers_ms = timeout_ms > 0 ? DWORD(timeout_ms) : INFINITE;
    WinHttpSetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers_ms, sizeof headers_ms);
    t.session = session;
    t.cancelled.store(false);
    t.request.store(nullptr);
    t.user_agent.assign(user_agent);
    t.timeout_ms = timeout_ms;
    return true;
}

void transport_cancel(Transport& t) {
    t.cancelled.store(true);
    // Exactly one side takes a non-null handle out, and that side closes it.
    if (void* request = t.request.exchange(nullptr)) WinHttpCloseHandle(static_cast<HINTERNET>(request));
}

void transport_close(Transport& t) {
    if (void* request = t.request.exchange(nullptr)) WinHttpCloseHandle(static_cast<HINTERNET>(request));
    if (t.session) WinHttpCloseHandle(session_of(t));
    t.session = nullptr;
    t.cancelled.store(false);
    std::string().swap(t.user_agent);
    t.timeout_ms = 0;
    t.on_received = nullptr;
}

void transport_perform(Transport& t, Response& r, Method method, const Url_Parts& url,
                       std::string_view body, std::string_view authorization,
                       std::string_view content_type, int64_t max_body) {
    if (unsafe_header_value(authorization) || unsafe_header_value(content_type)) return fail(r, "bad header");
    if (!t.session) {
        SetLastError(ERROR_INVALID_HANDLE);
        return fail_step(t, r, "connect");
    }
    // An IPv6 literal goes in with its brackets, as WinHttpCrackUrl hands it over: WinHTTP
    // resolves it without them and writes the Host header with them.
    std::wstring host = platform::widen(url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host);
    HINTERNET connection = WinHttpConnect(session_of(t), host.c_str(), INTERNET_PORT(url.port), 0);
    if (!connection) return fail_step(t, r, "connect");

    std::wstring verb = platform::widen(method_text(method));
    std::wstring path = platform::widen(request_target(url.path));
    HINTERNET request = WinHttpOpenRequest(connection, verb.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request) {
        fail_step(t, r, "open request");
        WinHttpCloseHandle(connection);
        return;
    }

    t.request.exchange(request);
    t.received.store(0);
    if (t.cancelled.load())
        fail(r, "cancelled");   // destroyed before anything was sent: build and send nothing
    else
        exchange(t, r, request, method, body, authorization, content_type, max_body);

    // If transport_cancel took the handle out first, it has closed it already.
    if (void* mine = t.request.exchange(nullptr)) WinHttpCloseHandle(static_cast<HINTERNET>(mine));
    WinHttpCloseHandle(connection);
}

}  // namespace backend
