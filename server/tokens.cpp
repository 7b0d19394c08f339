#include "server/tokens.h"

#include <sodium.h>

namespace server {

bool crypto_ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::string new_token() {
    crypto_ready();
    unsigned char raw[32];
    randombytes_buf(raw, sizeof raw);
    char text[sodium_base64_ENCODED_LEN(sizeof raw, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
    sodium_bin2base64(text, sizeof text, raw, sizeof raw, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    sodium_memzero(raw, sizeof raw);
    return text;
}

std::string sha256_hex(std::string_view bytes) {
    crypto_ready();
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

std::string token_hash(std::string_view token) { return sha256_hex(token); }

bool password_hash(std::string_view password, bool fast, std::string& out) {
    if (!crypto_ready()) return false;
    char hash[crypto_pwhash_STRBYTES];
    unsigned long long ops = fast ? crypto_pwhash_argon2id_OPSLIMIT_MIN
                                  : crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE;
    size_t mem = fast ? crypto_pwhash_argon2id_MEMLIMIT_MIN
                      : crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE;
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), ops, mem,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return false;
    out = hash;
    return true;
}

bool password_verify(const std::string& hash, std::string_view password) {
    if (!crypto_ready() || hash.empty()) return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

namespace {

// A key of its own for sealing: a different hash of the token than the stored digest, so the
// digest does not open what is sealed.
void sealing_key(std::string_view token, unsigned char (&key)[crypto_secretbox_KEYBYTES]) {
    static const unsigned char label[] = "tarnwick sealed successor";
    crypto_generichash(key, sizeof key, reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), label, sizeof label - 1);
}

}  // namespace

std::string seal_for_token(std::string_view token, std::string_view plain) {
    crypto_ready();
    unsigned char key[crypto_secretbox_KEYBYTES];
    sealing_key(token, key);
    std::string raw(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + plain.size(), '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(raw.data());
    randombytes_buf(bytes, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(bytes + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), bytes,
                          key);
    sodium_memzero(key, sizeof key);
    std::string hex(raw.size() * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, raw.size());
    hex.pop_back();
    return hex;
}

bool open_for_token(std::string_view token, std::string_view sealed, std::string& plain) {
    crypto_ready();
    size_t overhead = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;
    if (sealed.size() % 2 != 0 || sealed.size() / 2 < overhead || sealed.size() > 4096)
        return false;
    std::string raw(sealed.size() / 2, '\0');
    size_t length = 0;
    if (sodium_hex2bin(reinterpret_cast<unsigned char*>(raw.data()), raw.size(), sealed.data(),
                       sealed.size(), nullptr, &length, nullptr) != 0 ||
        length != raw.size())
        return false;
    unsigned char key[crypto_secretbox_KEYBYTES];
    sealing_key(token, key);
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
    plain.assign(raw.size() - overhead, '\0');
    bool ok = crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.data()),
                                         bytes + crypto_secretbox_NONCEBYTES,
                                         raw.size() - crypto_secretbox_NONCEBYTES, bytes, key) == 0;
    sodium_memzero(key, sizeof key);
    return ok;
}

}  // namespace server
