#include "backend/release.h"

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <array>
#include <memory>

#include "backend/base64.h"
#include "backend/json.h"
#include "backend/release_tree.h"
#include "platform/files.h"

namespace backend {

namespace {

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using Pkey_Ptr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Md_Ctx_Ptr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Bn_Ctx_Ptr = std::unique_ptr<BN_CTX, Deleter<BN_CTX, BN_CTX_free>>;

// Decodes the point as RFC 8032 (5.1.3) does and reports whether that succeeds. OpenSSL takes
// any 32 bytes as a public key and only fails later, in verification, which would turn a broken
// built-in key into Bad_Signature on every release instead of No_Key.
bool ed25519_point_ok(std::string_view key) {
    if (key.size() != 32) return false;
    unsigned char y_be[32];
    for (int i = 0; i < 32; ++i) y_be[i] = static_cast<unsigned char>(key[31 - i]);
    const bool x_odd = (y_be[0] & 0x80) != 0;
    y_be[0] &= 0x7f;

    Bn_Ctx_Ptr ctx(BN_CTX_new());
    if (!ctx) return false;
    BN_CTX_start(ctx.get());
    BIGNUM* p = BN_CTX_get(ctx.get());
    BIGNUM* d = BN_CTX_get(ctx.get());
    BIGNUM* y = BN_CTX_get(ctx.get());
    BIGNUM* y2 = BN_CTX_get(ctx.get());
    BIGNUM* u = BN_CTX_get(ctx.get());
    BIGNUM* v = BN_CTX_get(ctx.get());
    BIGNUM* w = BN_CTX_get(ctx.get());
    BIGNUM* e = BN_CTX_get(ctx.get());
    BIGNUM* r = BN_CTX_get(ctx.get());
    bool ok = r != nullptr;
    // p = 2^255 - 19; d = -121665 / 121666 mod p.
    ok = ok && BN_set_bit(p, 255) && BN_sub_word(p, 19);
    ok = ok && BN_dec2bn(&d, "37095705934669439343138083508754565189542113879843219016388785533085940283555");
    ok = ok && BN_bin2bn(y_be, 32, y) != nullptr;
    bool valid = false;
    if (ok && BN_cmp(y, p) < 0) {  // a y of p or more is a non-canonical encoding
        // x^2 = (y^2 - 1) / (d y^2 + 1); the point exists when that is a square mod p. The
        // denominator is never 0, since -1/d is not a square.
        ok = BN_mod_sqr(y2, y, p, ctx.get()) && BN_mod_sub(u, y2, BN_value_one(), p, ctx.get()) &&
             BN_mod_mul(v, d, y2, p, ctx.get()) && BN_mod_add(v, v, BN_value_one(), p, ctx.get()) &&
             BN_mod_inverse(v, v, p, ctx.get()) != nullptr && BN_mod_mul(w, u, v, p, ctx.get());
        if (ok && BN_is_zero(w)) {
            valid = !x_odd;  // x = 0 has no odd twin
        } else if (ok) {
            // Euler's criterion: w^((p-1)/2) is 1 exactly for the non-zero squares.
            ok = BN_copy(e, p) && BN_sub_word(e, 1) && BN_rshift1(e, e) &&
                 BN_mod_exp(r, w, e, p, ctx.get());
            valid = ok && BN_is_one(r);
        }
    }
    BN_CTX_end(ctx.get());
    return valid;
}

bool ed25519_verify(EVP_PKEY* key, std::string_view message, std::string_view signature) {
    Md_Ctx_Ptr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1) return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

// The envelope's members as views into the parser's document: the Base64 manifest of a large
// release is megabytes, and it is only read once, by the decoder.
struct Env_View {
    std::string_view kid, manifest, signature;
};

bool get_view(json::Value v, std::string_view& out) {
    if (v.is_null()) return true;
    return v.get(out) == simdjson::SUCCESS;
}

bool decode_env(std::string_view body, Env_View& env) {
    json::Value root;
    if (!json::parse(body, root)) return false;
    return json::members(root, [&](std::string_view key, json::Value v) {
        if (key == "kid") return get_view(v, env.kid);
        if (key == "manifest") return get_view(v, env.manifest);
        if (key == "signature") return get_view(v, env.signature);
        return true;
    });
}

bool decode_file(json::Value v, Release_File& f) {
    return json::members(v, [&](std::string_view key, json::Value value) {
        if (key == "path") return json::get(value, f.path);
        if (key == "size") return json::get(value, f.size);
        if (key == "sha256") return json::get(value, f.sha256);
        // Optional; a launcher that only knows whole files skips it like any unknown member,
        // so a value of the wrong type is skipped here too rather than refusing the manifest.
        if (key == "chunk_index" && !json::get(value, f.chunk_index)) f.chunk_index.clear();
        if (key == "exec" && !json::get(value, f.exec)) f.exec = false;
        if (key == "chunk_index_size" && (!json::get(value, f.chunk_index_size) || f.chunk_index_size < 0))
            f.chunk_index_size = 0;
        return true;
    });
}

bool decode_files(json::Value v, std::vector<Release_File>& files) {
    if (v.is_null()) return true;
    simdjson::dom::array array;
    if (v.get(array) != simdjson::SUCCESS) return false;
    files.reserve(array.size());
    for (json::Value element : array) {
        Release_File& f = files.emplace_back();
        if (!decode_file(element, f)) return false;
    }
    return true;
}

bool decode_manifest(std::string_view bytes, Release_Manifest& m) {
    json::Value root;
    if (!json::parse(bytes, root)) return false;
    return json::members(root, [&](std::string_view key, json::Value v) {
        if (key == "channel") return json::get(v, m.channel);
        if (key == "version") return json::get(v, m.version);
        if (key == "published") return json::get(v, m.published);
        if (key == "files") return decode_files(v, m.files);
        if (key == "links") return decode_links(v, m.links);
        // Signed promises the launcher acts on: one it cannot read refuses the manifest rather
        // than dropping the protection it asks for.
        if (key == "sequence") return json::get(v, m.sequence) && m.sequence > 0;
        if (key == "expires") return json::get(v, m.expires) && m.expires > 0;
        return true;
    });
}

void to_hex(const unsigned char* digest, size_t n, std::string& out) {
    static const char hex[] = "0123456789abcdef";
    out.resize(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
}

}  // namespace

const char* release_error_name(Release_Error e) {
    switch (e) {
    case Release_Error::None: return "None";
    case Release_Error::Malformed: return "Malformed";
    case Release_Error::Bad_Signature: return "Bad_Signature";
    case Release_Error::No_Key: return "No_Key";
    }
    return "Unknown";
}

Release_Error open_release(std::string_view body, Release_Manifest& out, std::string_view trusted_key_b64) {
    std::string key;
    if (!base64_decode(trusted_key_b64, key) || key.size() != 32) return Release_Error::No_Key;
    if (!ed25519_point_ok(key)) return Release_Error::No_Key;
    Pkey_Ptr pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                              reinterpret_cast<const unsigned char*>(key.data()), key.size()));
    if (!pkey) return Release_Error::No_Key;

    Env_View env;
    if (!decode_env(body, env)) return Release_Error::Malformed;
    // Both decodings happen before either result is judged.
    std::string manifest, signature;
    const bool manifest_ok = base64_decode(env.manifest, manifest);
    const bool signature_ok = base64_decode(env.signature, signature);
    if (!manifest_ok) return Release_Error::Malformed;
    if (!signature_ok || signature.size() != 64) return Release_Error::Malformed;

    if (!ed25519_verify(pkey.get(), manifest, signature)) return Release_Error::Bad_Signature;

    Release_Manifest m;
    if (!decode_manifest(manifest, m)) return Release_Error::Malformed;
    for (Release_File& f : m.files) {
        if (!release_path_ok(f.path)) return Release_Error::Malformed;
        // Only the length: an upper-case digest passes here and simply never matches a file.
        if (f.sha256.size() != 64) return Release_Error::Malformed;
        // It becomes part of a request path: anything but a digest means "no index".
        if (f.chunk_index.size() != 64 ||
            f.chunk_index.find_first_not_of("0123456789abcdef") != std::string::npos)
            f.chunk_index.clear();
        if (f.chunk_index.empty()) f.chunk_index_size = 0;
    }
    if (!release_tree_ok(m)) return Release_Error::Malformed;
    out = std::move(m);
    return Release_Error::None;
}

namespace {

// Bytes that end a segment or rule a path out: control bytes, '/', ':' and '\'.
constexpr std::array<bool, 256> make_special() {
    std::array<bool, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = true;
    t['/'] = t[':'] = t['\\'] = true;
    return t;
}
constexpr std::array<bool, 256> special = make_special();

bool segment_ok(const unsigned char* begin, const unsigned char* end) {
    size_t n = size_t(end - begin);
    return n != 0 && !(n == 1 && begin[0] == '.') && !(n == 2 && begin[0] == '.' && begin[1] == '.');
}

}  // namespace

bool release_path_ok(std::string_view path) {
    if (path.empty()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(path.data());
    const auto* end = p + path.size();
    const unsigned char* segment = p;
    for (; p != end; ++p) {
        if (!special[*p]) continue;
        if (*p != '/') return false;
        if (!segment_ok(segment, p)) return false;  // also catches a leading "/"
        segment = p + 1;
    }
    return segment_ok(segment, end);
}

std::string sha256_hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    std::string out;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_sha256(), nullptr) != 1) return out;
    to_hex(digest, n, out);
    return out;
}

bool sha256_file_hex(const std::string& path, std::string& out) {
    out.clear();
    Md_Ctx_Ptr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return false;
    bool hashed = true;
    bool read = platform::read_file_chunks(path, [&](std::string_view chunk) {
        hashed = EVP_DigestUpdate(ctx.get(), chunk.data(), chunk.size()) == 1;
        return hashed;
    });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!read || !hashed || EVP_DigestFinal_ex(ctx.get(), digest, &n) != 1) return false;
    to_hex(digest, n, out);
    return true;
}

void release_destroy(Release_Manifest& m) { m = Release_Manifest{}; }

std::string manifest_encode(const Release_Manifest& m) {
    std::string out;
    out.reserve(64 + m.files.size() * 128);
    out += "{\"channel\":";
    json::write_json_string(out, m.channel);
    out += ",\"version\":";
    json::write_json_string(out, m.version);
    out += ",\"published\":";
    json::write_json_string(out, m.published);
    if (m.sequence > 0) out += ",\"sequence\":" + std::to_string(m.sequence);
    if (m.expires > 0) out += ",\"expires\":" + std::to_string(m.expires);
    out += ",\"files\":[";
    for (size_t i = 0; i < m.files.size(); ++i) {
        const Release_File& f = m.files[i];
        if (i) out += ',';
        out += "{\"path\":";
        json::write_json_string(out, f.path);
        out += ",\"size\":";
        out += std::to_string(f.size);
        out += ",\"sha256\":";
        json::write_json_string(out, f.sha256);
        if (!f.chunk_index.empty()) {
            out += ",\"chunk_index\":";
            json::write_json_string(out, f.chunk_index);
            if (f.chunk_index_size > 0) out += ",\"chunk_index_size\":" + std::to_string(f.chunk_index_size);
        }
        if (f.exec) out += ",\"exec\":true";
        out += '}';
    }
    out += ']';
    links_encode(out, m.links);
    out += '}';
    return out;
}

std::string env_encode(const Env& e) {
    return json::json_body({"kid", e.kid, "manifest", e.manifest, "signature", e.signature});
}

}  // namespace backend
