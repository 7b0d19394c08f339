// A small HTTP/1.1 server on 127.0.0.1 for the WinHTTP transport tests, over Winsock so that it
// runs inside the Windows test program (and so under Wine) next to the client it serves.
//
// It records every request as received (method, target, headers, body by Content-Length) and
// answers with the Reply that `answer` picks: any status, headers and body, or a misbehaving
// answer (stalled before the status line, a body cut short, no length at all). One request
// per connection. With tls = true it speaks HTTPS (OpenSSL) with a self-signed certificate
// made at start-up, which a verifying client must refuse. stop() (or destruction) wakes every
// stall and closes every connection.
// Windows only; header-only because tests/<folder> compiles only its *_test.cpp files.
#pragma once
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace loopback {

struct Request {
    std::string method, target;
    std::vector<std::pair<std::string, std::string>> headers;  // names as sent
    std::string body;

    // The first header of that name, compared without regard to case; null when absent.
    const std::string* header(std::string_view name) const {
        for (const auto& [n, v] : headers)
            if (n.size() == name.size() &&
                std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) { return tolower(a) == tolower(b); }))
                return &v;
        return nullptr;
    }
};

struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int64_t content_length = -1;  // -1: the body's true length; otherwise announced as given
    bool no_length = false;       // no Content-Length: the body ends when the connection closes
    int stall_ms = 0;             // wait this long (or until stop) before answering at all
    int64_t cut_after = -1;       // send only this many body bytes, then close
    std::string raw;              // when not empty, sent as it is instead of an HTTP answer
};

class Server {
public:
    // On 127.0.0.1, or on [::1] when `ipv6`. port() is 0 when the address cannot be had.
    explicit Server(std::function<Reply(const Request&)> answer, bool ipv6 = false, bool tls = false)
        : answer_(std::move(answer)), ipv6_(ipv6) {
        if (tls && !(tls_ = self_signed_context())) return;
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        listener_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_storage addr = {};
        int len;
        if (ipv6) {
            auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
            a6.sin6_family = AF_INET6;
            a6.sin6_addr = in6addr_loopback;
            len = sizeof a6;
        } else {
            auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
            a4.sin_family = AF_INET;
            a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof a4;
        }
        if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(addr).sin6_port : reinterpret_cast<sockaddr_in&>(addr).sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server() {
        stop();
        if (tls_) SSL_CTX_free(tls_);
        WSACleanup();
    }

    int port() const { return port_; }
    std::string url(std::string_view path = "") const {
        return std::string(tls_ ? "https://" : "http://") + (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_) +
               std::string(path);
    }

    std::vector<Request> requests() {
        std::lock_guard held(lock_);
        return requests_;
    }
    // How many answers went out whole (stalls that were cut short by stop() don't count).
    int answered() {
        std::lock_guard held(lock_);
        return answered_;
    }

    void stop() {
        {
            std::lock_guard held(lock_);
            if (stopped_) return;
            stopped_ = true;
            for (SOCKET s : open_) shutdown(s, SD_BOTH);
        }
        wake_.notify_all();
        if (acceptor_.joinable()) acceptor_.join();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

private:
    // Nothing here blocks for long: accept waits in short selects that look at `stopped_`, and
    // every connection has send and receive time-outs, so stop() never hangs on a peer that
    // went quiet (Wine does not always wake a blocked call when another thread shuts the
    // socket down).
    void accept_loop() {
        for (;;) {
            {
                std::lock_guard held(lock_);
                if (stopped_) return;
            }
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listener_, &set);
            timeval tv{0, 50000};
            int ready = select(0, &set, nullptr, nullptr, &tv);
            if (ready < 0) return;
            if (ready == 0) continue;
            SOCKET s = accept(listener_, nullptr, nullptr);
            if (s == INVALID_SOCKET) return;
            DWORD limit_ms = 15000;
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit_ms), sizeof limit_ms);
            setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit_ms), sizeof limit_ms);
            std::lock_guard held(lock_);
            if (stopped_) {
                closesocket(s);
                return;
            }
            open_.push_back(s);
            workers_.emplace_back([this, s] { serve(s); });
        }
    }

    // A key and a certificate for 127.0.0.1 signed by that same key: no client trusts it.
    static SSL_CTX* self_signed_context() {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        bool ok = ctx && key && cert;
        if (ok) {
            ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
            X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
            X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
            X509_set_pubkey(cert, key);
            X509_NAME* name = X509_get_subject_name(cert);
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                                       -1, -1, 0);
            X509_set_issuer_name(cert, name);
            ok = X509_sign(cert, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, cert) == 1 &&
                 SSL_CTX_use_PrivateKey(ctx, key) == 1;
        }
        X509_free(cert);
        EVP_PKEY_free(key);
        if (!ok && ctx) {
            SSL_CTX_free(ctx);
            ctx = nullptr;
        }
        return ctx;
    }

    struct Conn {
        SOCKET s;
        SSL* ssl = nullptr;
        int read(char* buf, int size) { return ssl ? SSL_read(ssl, buf, size) : recv(s, buf, size, 0); }
        bool send_all(std::string_view bytes) {
            while (!bytes.empty()) {
                int want = int(std::min<size_t>(bytes.size(), 1 << 20));
                int n = ssl ? SSL_write(ssl, bytes.data(), want) : send(s, bytes.data(), want, 0);
                if (n <= 0) return false;
                bytes.remove_prefix(size_t(n));
            }
            return true;
        }
    };

    void serve(SOCKET s) {
        Conn c{s};
        if (tls_) {
            c.ssl = SSL_new(tls_);
            SSL_set_fd(c.ssl, int(s));
            if (SSL_accept(c.ssl) != 1) return finish(c);   // the client refused the certificate
        }
        std::string in;
        char buf[8192];
        size_t head_end;
        while ((head_end = in.find("\r\n\r\n")) == std::string::npos) {
            int n = c.read(buf, sizeof buf);
            if (n <= 0) return finish(c);
            in.append(buf, size_t(n));
        }
        Request r;
        std::string_view head(in.data(), head_end);
        size_t eol = head.find("\r\n");
        std::string_view line = head.substr(0, eol);
        size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
        r.method = std::string(line.substr(0, sp1));
        r.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
        while (eol != std::string_view::npos) {
            size_t next = head.find("\r\n", eol + 2);
            std::string_view h = head.substr(eol + 2, next == std::string_view::npos ? head.npos : next - eol - 2);
            size_t colon = h.find(':');
            if (colon != std::string_view::npos) {
                std::string_view v = h.substr(colon + 1);
                while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
                r.headers.emplace_back(std::string(h.substr(0, colon)), std::string(v));
            }
            eol = next;
        }
        size_t want = 0;
        if (const std::string* cl = r.header("Content-Length")) want = size_t(std::stoull(*cl));
        r.body = in.substr(head_end + 4);
        while (r.body.size() < want) {
            int n = c.read(buf, sizeof buf);
            if (n <= 0) break;
            r.body.append(buf, size_t(n));
        }
        {
            std::lock_guard held(lock_);
            requests_.push_back(r);
        }
        Reply reply = answer_(r);
        if (reply.stall_ms > 0) {
            bool stopping;
            {
                std::unique_lock held(lock_);
                wake_.wait_for(held, std::chrono::milliseconds(reply.stall_ms), [&] { return stopped_; });
                stopping = stopped_;
            }
            if (stopping) return finish(c);
        }
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nConnection: close\r\n";
        if (!reply.no_length)
            out += "Content-Length: " +
                   std::to_string(reply.content_length >= 0 ? reply.content_length : int64_t(reply.body.size())) + "\r\n";
        for (const auto& [n, v] : reply.headers) out += n + ": " + v + "\r\n";
        out += "\r\n";
        std::string_view body = reply.body;
        if (reply.cut_after >= 0) body = body.substr(0, size_t(reply.cut_after));
        if (!reply.raw.empty()) {
            out = reply.raw;
            body = {};
        }
        if (c.send_all(out) && c.send_all(body)) {
            std::lock_guard held(lock_);
            answered_++;
        }
        finish(c);
    }

    void finish(Conn& c) {
        SOCKET s = c.s;
        if (c.ssl) {
            SSL_shutdown(c.ssl);
            SSL_free(c.ssl);
        }
        shutdown(s, SD_SEND);
        // Let the client read to the end before the socket goes: a close with unread input
        // would reset the connection under the answer.
        char buf[512];
        timeval tv{1, 0};
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        if (select(0, &set, nullptr, nullptr, &tv) > 0) recv(s, buf, sizeof buf, 0);
        std::lock_guard held(lock_);
        open_.erase(std::remove(open_.begin(), open_.end(), s), open_.end());
        closesocket(s);
    }

    std::function<Reply(const Request&)> answer_;
    bool ipv6_ = false;
    SSL_CTX* tls_ = nullptr;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<SOCKET> open_;
    std::vector<Request> requests_;
    int answered_ = 0;
    bool stopped_ = false;
};

}  // namespace loopback
#endif
