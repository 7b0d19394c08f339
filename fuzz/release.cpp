// open_release on any envelope. The first input byte picks the form:
//   even: the rest is the response body as served, checked against the fuzz key;
//   odd:  the rest is manifest text, which this target signs with the fuzz key and wraps in a
//         well-formed envelope, so that the decoding and path rules behind the signature
//         check are reached too.
// A manifest that comes out accepted must hold only safe paths and 64-byte digests.
#include <openssl/evp.h>

#include "backend/base64.h"
#include "backend/release.h"
#include "fuzz_support.h"

namespace {

// A fixed Ed25519 key for this target only (never a release key).
const unsigned char seed[32] = {'t', 'a', 'r', 'n', 'w', 'i', 'c', 'k', '-', 'f', 'u', 'z', 'z',
                                '-', 'k', 'e', 'y', '-', 'o', 'n', 'l', 'y', '-', 'n', 'o', 't',
                                '-', 'r', 'e', 'a', 'l', '!'};

EVP_PKEY* key() {
    static EVP_PKEY* k = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, sizeof seed);
    return k;
}

const std::string& public_b64() {
    static const std::string text = [] {
        unsigned char raw[32];
        size_t n = sizeof raw;
        if (!key() || EVP_PKEY_get_raw_public_key(key(), raw, &n) != 1) fuzz::broken("no fuzz key");
        return backend::base64_encode(std::string_view(reinterpret_cast<char*>(raw), n));
    }();
    return text;
}

std::string sign(std::string_view message) {
    std::string sig(64, '\0');
    size_t n = sig.size();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key());
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &n,
                   reinterpret_cast<const unsigned char*>(message.data()), message.size());
    EVP_MD_CTX_free(ctx);
    return sig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string body;
    if (data[0] & 1) {
        backend::Env env{"fuzz", backend::base64_encode(rest), backend::base64_encode(sign(rest))};
        body = backend::env_encode(env);
    } else {
        body.assign(rest);
    }

    backend::Release_Manifest m;
    m.version = "kept";
    backend::Release_Error e = backend::open_release(body, m, public_b64());
    if (e != backend::Release_Error::None) {
        fuzz::check(m.version == "kept" && m.files.empty(), "a refused manifest replaced the old one");
        return 0;
    }
    for (const backend::Release_File& f : m.files) {
        fuzz::check(backend::release_path_ok(f.path), "accepted manifest with an unsafe path");
        fuzz::check(f.sha256.size() == 64, "accepted manifest with a bad digest length");
    }
    // The same manifest re-encoded and re-signed opens to the same record.
    std::string again = backend::manifest_encode(m);
    std::string envelope = backend::env_encode({"fuzz", backend::base64_encode(again), backend::base64_encode(sign(again))});
    backend::Release_Manifest second;
    fuzz::check(backend::open_release(envelope, second, public_b64()) == backend::Release_Error::None,
                "re-encoded manifest refused");
    fuzz::check(second.files.size() == m.files.size() && second.version == m.version &&
                    second.channel == m.channel && second.published == m.published &&
                    second.sequence == m.sequence && second.expires == m.expires,
                "re-encoded manifest differs");
    for (size_t i = 0; i < m.files.size(); ++i)
        fuzz::check(second.files[i].path == m.files[i].path && second.files[i].size == m.files[i].size &&
                        second.files[i].sha256 == m.files[i].sha256 &&
                        second.files[i].chunk_index_size == m.files[i].chunk_index_size,
                    "re-encoded file entry differs");
    return 0;
}
