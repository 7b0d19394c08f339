// Index: sockets (POSIX or Winsock) - connection I/O (plain or TLS) - request reading - reply
// writing - server lifecycle.
#include "support/test_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace support {

namespace {

// ---- Sockets ------------------------------------------------------------------------------

#ifdef _WIN32
using Socket = SOCKET;
const Socket no_socket = INVALID_SOCKET;
const int send_flags = 0;
const int shut_both = SD_BOTH;
void close_socket(Socket s) { closesocket(s); }
int socket_error() { return WSAGetLastError(); }
void start_sockets() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
}
#else
using Socket = int;
const Socket no_socket = -1;
const int send_flags = MSG_NOSIGNAL;   // a client hanging up mid-answer must not end the test run
const int shut_both = SHUT_RDWR;
void close_socket(Socket s) { close(s); }
int socket_error() { return errno; }
// SSL_write writes without MSG_NOSIGNAL: a client hanging up must not end the test run.
void start_sockets() { signal(SIGPIPE, SIG_IGN); }
#endif

Socket as_socket(intptr_t s) { return Socket(s); }

// ---- Connection I/O ----------------------------------------------------------------------

struct Conn {
    Socket fd = no_socket;
    SSL* ssl = nullptr;
};

long conn_read(Conn& c, char* buffer, size_t size) {
    if (c.ssl) {
        int n = SSL_read(c.ssl, buffer, int(size));
        return n > 0 ? n : -1;
    }
    long n = long(recv(c.fd, buffer, int(size), 0));
    return n > 0 ? n : -1;
}

bool conn_write(Conn& c, std::string_view data) {
    while (!data.empty()) {
        long n;
        if (c.ssl)
            n = SSL_write(c.ssl, data.data(), int(data.size()));
        else
            n = long(send(c.fd, data.data(), int(data.size()), send_flags));
        if (n <= 0) return false;
        data.remove_prefix(size_t(n));
    }
    return true;
}

// Waits up to ms, or until the server stops; false when it is stopping.
bool pause(Test_Server& s, int ms) {
    std::unique_lock held(s.lock);
    return !s.changed.wait_for(held, std::chrono::milliseconds(ms), [&] { return s.stopping; });
}

void hold_until_stopped(Test_Server& s) {
    std::unique_lock held(s.lock);
    s.changed.wait(held, [&] { return s.stopping; });
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// ---- Request reading ----------------------------------------------------------------------

// Reads into `buffer` until it holds at least `want` bytes; false on end of stream.
bool fill_to(Conn& c, std::string& buffer, size_t want) {
    char chunk[16384];
    while (buffer.size() < want) {
        long n = conn_read(c, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer.append(chunk, size_t(n));
    }
    return true;
}

bool read_line(Conn& c, std::string& buffer, size_t& at, std::string& line) {
    for (;;) {
        size_t end = buffer.find("\r\n", at);
        if (end != std::string::npos) {
            line = buffer.substr(at, end - at);
            at = end + 2;
            return true;
        }
        if (!fill_to(c, buffer, buffer.size() + 1)) return false;
    }
}

// The body's remaining bytes in pieces of at most `piece`, one every `every_ms`: a slow reader.
bool fill_slowly(Test_Server& s, Conn& c, std::string& buffer, size_t want, uint64_t piece, int every_ms) {
    std::string chunk(size_t(piece), '\0');
    while (buffer.size() < want) {
        if (!pause(s, every_ms)) return false;
        long n = conn_read(c, chunk.data(), std::min<size_t>(chunk.size(), want - buffer.size()));
        if (n <= 0) return false;
        buffer.append(chunk.data(), size_t(n));
    }
    return true;
}

bool read_request(Test_Server& s, Conn& c, Recorded_Request& r) {
    std::string buffer;
    size_t at = 0;
    std::string line;
    if (!read_line(c, buffer, at, line)) return false;
    size_t a = line.find(' '), b = line.rfind(' ');
    if (a == std::string::npos || a == b) return false;
    r.method = line.substr(0, a);
    r.target = line.substr(a + 1, b - a - 1);
    r.version = line.substr(b + 1);
    for (;;) {
        if (!read_line(c, buffer, at, line)) return false;
        if (line.empty()) break;
        size_t colon = line.find(':');
        if (colon == std::string::npos) return false;
        r.headers.push_back({line.substr(0, colon), std::string(trim(std::string_view(line).substr(colon + 1)))});
    }
    const std::string* expect = r.header("Expect");
    if (expect && same_name(*expect, "100-continue") && !conn_write(c, "HTTP/1.1 100 Continue\r\n\r\n"))
        return false;
    const std::string* encoding = r.header("Transfer-Encoding");
    if (encoding && same_name(*encoding, "chunked")) {
        for (;;) {
            if (!read_line(c, buffer, at, line)) return false;
            size_t size = std::stoul(line, nullptr, 16);
            if (size == 0) {
                while (read_line(c, buffer, at, line) && !line.empty()) {
                }
                return true;
            }
            if (!fill_to(c, buffer, at + size + 2)) return false;
            r.body.append(buffer, at, size);
            at += size + 2;
        }
    }
    const std::string* length = r.header("Content-Length");
    size_t size = length ? std::stoul(*length) : 0;
    uint64_t piece = 0, slow = 0;
    int every_ms = 0;
    {
        std::lock_guard held(s.lock);
        piece = s.read_bytes;
        every_ms = s.read_ms;
        slow = std::min<uint64_t>(s.read_slowly_up_to, size);
    }
    if (piece && !fill_slowly(s, c, buffer, at + size_t(slow), piece, every_ms)) return false;
    if (!fill_to(c, buffer, at + size)) return false;
    r.body.assign(buffer, at, size);
    return true;
}

// ---- Reply writing ------------------------------------------------------------------------

const char* reason_text(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool has_header(const Reply& reply, std::string_view name) {
    for (const Header& h : reply.headers)
        if (same_name(h.name, name)) return true;
    return false;
}

// Writes the body in pieces, honouring drip, cut and stall. False when the connection must
// simply be dropped (cut, stall ended by stop, or the peer went away).
bool write_body(Test_Server& s, Conn& c, const Reply& reply) {
    uint64_t total = reply.fill_size ? reply.fill_size : reply.body.size();
    uint64_t piece = reply.drip_bytes ? reply.drip_bytes : 65536;
    uint64_t limit = total;
    if (reply.cut_after >= 0) limit = std::min<uint64_t>(limit, uint64_t(reply.cut_after));
    if (reply.stall_after >= 0) limit = std::min<uint64_t>(limit, uint64_t(reply.stall_after));
    std::string scratch;
    for (uint64_t sent = 0; sent < limit;) {
        if (reply.drip_bytes && sent > 0 && !pause(s, reply.drip_ms)) return false;
        uint64_t n = std::min(piece, limit - sent);
        std::string_view data;
        if (reply.fill_size) {
            scratch.assign(size_t(n), reply.fill);
            data = scratch;
        } else {
            data = std::string_view(reply.body).substr(size_t(sent), size_t(n));
        }
        if (reply.chunked) {
            char size_line[32];
            std::snprintf(size_line, sizeof size_line, "%llx\r\n", (unsigned long long)n);
            if (!conn_write(c, size_line) || !conn_write(c, data) || !conn_write(c, "\r\n")) return false;
        } else if (!conn_write(c, data)) {
            return false;
        }
        sent += n;
    }
    if (reply.cut_after >= 0 && uint64_t(reply.cut_after) < total) return false;
    if (reply.stall_after >= 0 && uint64_t(reply.stall_after) < total) {
        hold_until_stopped(s);
        return false;
    }
    if (reply.chunked) return conn_write(c, "0\r\n\r\n");
    return true;
}

void write_reply(Test_Server& s, Conn& c, const Reply& reply) {
    if (reply.delay_ms > 0 && !pause(s, reply.delay_ms)) return;
    if (reply.stall) {
        hold_until_stopped(s);
        return;
    }
    if (reply.hang_up) return;
    uint64_t total = reply.fill_size ? reply.fill_size : reply.body.size();
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason_text(reply.status) + "\r\n";
    if (reply.chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else if (!reply.no_content_length && !has_header(reply, "Content-Length"))
        head += "Content-Length: " +
                std::to_string(reply.content_length >= 0 ? uint64_t(reply.content_length) : total) + "\r\n";
    for (const Header& h : reply.headers) head += h.name + ": " + h.value + "\r\n";
    head += "Connection: close\r\n\r\n";
    if (!conn_write(c, head)) return;
    write_body(s, c, reply);
}

Reply route(Test_Server& s, const Recorded_Request& r) {
    Handler handler;
    {
        std::lock_guard held(s.lock);
        std::string path = r.path();
        for (auto it = s.routes.rbegin(); it != s.routes.rend(); ++it) {
            if ((it->method == "*" || it->method == r.method) && (it->path == "*" || it->path == path)) {
                handler = it->handler;
                break;
            }
        }
    }
    if (!handler) return text(404, "");
    return handler(r);
}

void serve(Test_Server& s, Socket fd) {
    Conn c{fd, nullptr};
    if (s.tls) {
        c.ssl = SSL_new(static_cast<SSL_CTX*>(s.tls));
        SSL_set_fd(c.ssl, int(fd));
        if (SSL_accept(c.ssl) <= 0) c.fd = no_socket;  // the client refused our certificate, as it should
    }
    Recorded_Request request;
    bool complete = false;
    try {
        complete = c.fd != no_socket && read_request(s, c, request);
    } catch (const std::exception&) {  // a length that is not a number
        complete = false;
    }
    if (complete) {
        {
            std::lock_guard held(s.lock);
            s.recorded.push_back(request);
        }
        s.changed.notify_all();
        write_reply(s, c, route(s, request));
        if (c.ssl) SSL_shutdown(c.ssl);
    }
    if (c.ssl) SSL_free(c.ssl);
    {
        std::lock_guard held(s.lock);
        s.open_fds.erase(intptr_t(fd));
        shutdown(fd, shut_both);
        close_socket(fd);
    }
}

// ---- Server lifecycle ---------------------------------------------------------------------

SSL_CTX* make_tls_context() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    SSL_CTX* ctx = nullptr;
    if (key && cert) {
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -60);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char*)"127.0.0.1", -1, -1, 0);
        X509_set_issuer_name(cert, name);
        if (X509_sign(cert, key, EVP_sha256()) > 0) {
            ctx = SSL_CTX_new(TLS_server_method());
            if (ctx && (SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1)) {
                SSL_CTX_free(ctx);
                ctx = nullptr;
            }
        }
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
}

// Stopping wakes the acceptor with a connection of its own (see stop()).
void accept_loop(Test_Server& s) {
    for (;;) {
        Socket fd = accept(as_socket(s.listen_fd), nullptr, nullptr);
        std::lock_guard held(s.lock);
        if (s.stopping) {
            if (fd != no_socket) close_socket(fd);
            return;
        }
        if (fd == no_socket) continue;
        ++s.accepted;
        s.open_fds.insert(intptr_t(fd));
        s.connections.emplace_back(serve, std::ref(s), fd);
    }
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

std::string Recorded_Request::path() const { return target.substr(0, target.find('?')); }

const std::string* Recorded_Request::header(std::string_view name) const {
    for (const Header& h : headers)
        if (same_name(h.name, name)) return &h.value;
    return nullptr;
}

Test_Server::~Test_Server() { stop(*this); }

std::unique_ptr<Test_Server> start_test_server(bool tls) {
    start_sockets();
    auto s = std::make_unique<Test_Server>();
    if (tls) {
        s->tls = make_tls_context();
        if (!s->tls) {
            ADD_FAILURE() << "test server: cannot make a TLS certificate";
            return nullptr;
        }
    }
    Socket listener = socket(AF_INET, SOCK_STREAM, 0);
    s->listen_fd = intptr_t(listener);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (listener == no_socket || bind(listener, (sockaddr*)&address, sizeof address) != 0 || listen(listener, 64) != 0 ||
        getsockname(listener, (sockaddr*)&address, &size) != 0) {
        ADD_FAILURE() << "test server: cannot listen on 127.0.0.1: system error " << socket_error();
        return nullptr;
    }
    s->port = ntohs(address.sin_port);
    s->acceptor = std::thread(accept_loop, std::ref(*s));
    return s;
}

void stop(Test_Server& s) {
    {
        std::lock_guard held(s.lock);
        if (s.stopping) return;
        s.stopping = true;
    }
    s.changed.notify_all();
    if (s.acceptor.joinable()) {
        // The acceptor waits in accept(): one connection of our own wakes it to see `stopping`.
        // Failing that, closing the listening socket ends the wait as well.
        Socket wake = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(s.port);
        if (wake == no_socket || connect(wake, (sockaddr*)&address, sizeof address) != 0) {
            shutdown(as_socket(s.listen_fd), shut_both);
            close_socket(as_socket(s.listen_fd));
            s.listen_fd = intptr_t(no_socket);
        }
        s.acceptor.join();
        if (wake != no_socket) close_socket(wake);
    }
    {
        std::lock_guard held(s.lock);
        for (intptr_t fd : s.open_fds) shutdown(as_socket(fd), shut_both);  // wakes reads blocked on a silent client
    }
    for (std::thread& t : s.connections) t.join();
    s.connections.clear();
    if (s.listen_fd != intptr_t(no_socket)) close_socket(as_socket(s.listen_fd));
    s.listen_fd = intptr_t(no_socket);
    if (s.tls) SSL_CTX_free(static_cast<SSL_CTX*>(s.tls));
    s.tls = nullptr;
}

std::string base_url(const Test_Server& s) {
    return std::string(s.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(s.port);
}

void read_slowly(Test_Server& s, uint64_t bytes, int every_ms, uint64_t up_to) {
    std::lock_guard held(s.lock);
    s.read_bytes = bytes;
    s.read_ms = every_ms;
    s.read_slowly_up_to = up_to;
    // Set on the listening socket, the buffer shapes the window that connections offer from
    // their first packet: the client can then run only this far ahead of the slow reader.
    int size = bytes ? int(std::min<uint64_t>(bytes, 1 << 20)) : 131072;
    setsockopt(s.listen_fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
}

void on(Test_Server& s, std::string method, std::string path, Reply reply) {
    on(s, std::move(method), std::move(path), Handler([reply](const Recorded_Request&) { return reply; }));
}

void on(Test_Server& s, std::string method, std::string path, Handler handler) {
    std::lock_guard held(s.lock);
    s.routes.push_back({std::move(method), std::move(path), std::move(handler)});
}

std::vector<Recorded_Request> requests(const Test_Server& s) {
    std::lock_guard held(s.lock);
    return s.recorded;
}

bool wait_for_requests(Test_Server& s, size_t n, int timeout_ms) {
    std::unique_lock held(s.lock);
    return s.changed.wait_for(held, std::chrono::milliseconds(timeout_ms), [&] { return s.recorded.size() >= n; });
}

size_t connection_count(const Test_Server& s) {
    std::lock_guard held(s.lock);
    return s.accepted;
}

Reply redirect(int status, std::string location) {
    Reply reply;
    reply.status = status;
    reply.headers.push_back({"Location", std::move(location)});
    return reply;
}

Reply text(int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

}  // namespace support
