// Secrets: random tokens, their stored digests, and password hashing.
//
// Depends on libsodium. Tokens are 32 random bytes in unpadded base64url (43 characters); the
// database only ever holds their SHA-256, so a copy of it signs nobody in. Passwords are hashed
// with Argon2id at libsodium's interactive limits (64 MiB, 2 passes) unless `fast` asks for the
// minimum limits, which only tests should.
#pragma once
#include <string>
#include <string_view>

namespace server {

// Initialises libsodium once; false if the library cannot be used.
bool crypto_ready();

std::string new_token();
// SHA-256 of the token as 64 lower-case hexadecimal characters.
std::string token_hash(std::string_view token);
std::string sha256_hex(std::string_view bytes);

// False when hashing failed (out of memory).
bool password_hash(std::string_view password, bool fast, std::string& out);
bool password_verify(const std::string& hash, std::string_view password);

// Encrypts `plain` under a key derived from `token`, so that only whoever presents that token
// again can read it back (the database holds the token's SHA-256 only). Hexadecimal text.
std::string seal_for_token(std::string_view token, std::string_view plain);
// False when `sealed` was not made by seal_for_token with this token.
bool open_for_token(std::string_view token, std::string_view sealed, std::string& plain);

}  // namespace server
