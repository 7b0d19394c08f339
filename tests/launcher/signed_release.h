// Releases for the patcher's tests: manifests signed with the development key (the key that
// development builds trust), served with their blobs by the recording test server.
#pragma once
#include "backend/base64.h"
#include "backend/release.h"
#include "delivery/chunk_index.h"
#include "support/test_server.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace signed_release {

// The development private key; null when it cannot be read.
inline EVP_PKEY* dev_key() {
    static EVP_PKEY* key = [] {
        std::string path = std::string(TARNWICK_SOURCE_DIR) + "/keys/development/release-signing-key.pem";
        FILE* f = fopen(path.c_str(), "rb");
        if (!f) return static_cast<EVP_PKEY*>(nullptr);
        EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        fclose(f);
        return k;
    }();
    return key;
}

// True when this build trusts the development key (an official build trusts its own).
inline bool build_trusts_dev_key() {
    EVP_PKEY* key = dev_key();
    if (!key) return false;
    unsigned char raw[32];
    size_t n = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &n) != 1 || n != 32) return false;
    return backend::base64_encode(std::string_view(reinterpret_cast<char*>(raw), n)) == TARNWICK_TRUSTED_KEY;
}

inline std::string sign(std::string_view message) {
    std::string sig(64, '\0');
    size_t n = sig.size();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, dev_key());
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &n,
                   reinterpret_cast<const unsigned char*>(message.data()), message.size());
    EVP_MD_CTX_free(ctx);
    return sig;
}

inline std::string envelope(const backend::Release_Manifest& m) {
    std::string manifest = backend::manifest_encode(m);
    return backend::env_encode(backend::Env{.kid = "dev",
                                            .manifest = backend::base64_encode(manifest),
                                            .signature = backend::base64_encode(sign(manifest))});
}

// `content` cut into chunks of about `avg_size` bytes, as `tarnwick-publish --chunks` cuts it;
// `stored`, when given, receives each chunk's published form by its digest.
inline delivery::Chunk_Index chunk_index(std::string_view content, uint32_t avg_size,
                                         std::map<std::string, std::string>* stored = nullptr) {
    delivery::Chunk_Index x;
    x.params = delivery::Chunk_Params{.min_size = avg_size / 4, .avg_size = avg_size, .max_size = avg_size * 4};
    while (x.file_size < content.size()) {
        std::string_view rest = content.substr(x.file_size);
        std::string_view bytes = rest.substr(0, delivery::cut_point(reinterpret_cast<const unsigned char*>(rest.data()),
                                                                    rest.size(), x.params));
        std::string form = delivery::compress_chunk(bytes);
        x.chunks.push_back(
            {.digest = delivery::sha256(bytes), .size = uint32_t(bytes.size()), .stored = uint32_t(form.size())});
        if (stored) (*stored)[delivery::hex(x.chunks.back().digest)] = std::move(form);
        x.file_size += bytes.size();
    }
    return x;
}

// A release being assembled: file contents by path, in manifest order.
struct Release {
    std::string version = "1.0.0";
    std::vector<std::pair<std::string, std::string>> files;
    uint32_t chunk_size = 0;  // not 0: every file is published as chunks of about this size only
    std::vector<std::string> programs = {};         // paths marked executable
    std::vector<backend::Release_Link> links = {};  // the release's symbolic links

    backend::Release_Manifest manifest() const {
        backend::Release_Manifest m{.channel = "stable", .version = version, .published = "2024-05-01", .files = {}};
        for (auto& [path, content] : files) {
            m.files.push_back({.path = path, .size = int64_t(content.size()), .sha256 = backend::sha256_hex(content)});
            if (chunk_size)
                m.files.back().chunk_index = backend::sha256_hex(delivery::index_encode(chunk_index(content, chunk_size)).index);
        }
        for (auto& f : m.files)
            for (const std::string& program : programs) f.exec = f.exec || f.path == program;
        m.links = links;
        return m;
    }
};

// Serves the release's envelope at the stable channel and every blob by digest (a chunked
// release: every chunk and index). Later calls replace the envelope; blobs accumulate, as on a
// real release server.
struct Release_Server {
    support::Test_Server& srv;
    std::shared_ptr<std::mutex> lock = std::make_shared<std::mutex>();
    std::shared_ptr<std::map<std::string, std::string>> blobs = std::make_shared<std::map<std::string, std::string>>();
    // Chunks and indexes by path ("/files/chunks/<sha256>", "/files/indexes/<sha256>").
    std::shared_ptr<std::map<std::string, std::string>> chunked = std::make_shared<std::map<std::string, std::string>>();

    explicit Release_Server(support::Test_Server& s) : srv(s) {
        auto l = lock;
        auto b = blobs;
        auto c = chunked;
        support::on(srv, "GET", "*", [l, b, c](const support::Recorded_Request& r) {
            const std::string prefix = "/files/blobs/";
            std::string path = r.path();
            std::lock_guard held(*l);
            if (path.rfind(prefix, 0) == 0) {
                auto it = b->find(path.substr(prefix.size()));
                if (it != b->end()) return support::Reply{200, {}, it->second};
            }
            if (auto it = c->find(path); it != c->end()) return support::Reply{200, {}, it->second};
            return support::Reply{404, {}, ""};
        });
    }

    void publish(const Release& r) {
        {
            std::lock_guard held(*lock);
            for (auto& [path, content] : r.files) {
                if (!r.chunk_size) {
                    (*blobs)[backend::sha256_hex(content)] = content;
                    continue;
                }
                std::map<std::string, std::string> stored;
                delivery::Encoded_Index index = delivery::index_encode(chunk_index(content, r.chunk_size, &stored));
                (*chunked)["/files/indexes/" + backend::sha256_hex(index.index)] = index.index;
                for (const std::string& page : index.pages) (*chunked)["/files/indexes/" + backend::sha256_hex(page)] = page;
                for (auto& [digest, form] : stored) (*chunked)["/files/chunks/" + digest] = form;
            }
        }
        support::on(srv, "GET", "/files/releases/stable.json", support::Reply{200, {}, envelope(r.manifest())});
    }
    // The blob served for `content`'s digest becomes `served` instead.
    void replace_blob(const std::string& content, const std::string& served) {
        std::lock_guard held(*lock);
        (*blobs)[backend::sha256_hex(content)] = served;
    }
    // The chunk or index at `path` is served as `served` instead.
    void replace_chunked(const std::string& path, const std::string& served) {
        std::lock_guard held(*lock);
        (*chunked)[path] = served;
    }
    void drop_blob(const std::string& content) {
        std::lock_guard held(*lock);
        blobs->erase(backend::sha256_hex(content));
    }
};

}  // namespace signed_release
