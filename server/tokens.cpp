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

}  // namespace server
