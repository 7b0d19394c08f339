// Device tokens: a launcher that signed in to an email on this device before says so with the
// token it got then, and its sign-ins are counted and served apart from everyone else's (its
// own failures lock only that token out, and it goes first for the hash slots), so a flood of
// guesses at its email from elsewhere neither locks it out nor queues it behind the guesses.
//
// A token is 32 random bytes (tokens.h), bound to one email, stored as its SHA-256 only, and
// lives `device_lifetime` seconds after its last good sign-in. Depends on the store.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "server/store/store.h"

namespace server {

constexpr int64_t device_lifetime = 365 * 24 * 3600;

// The stored hash of `token` when it is a live device token of `email_key`, else "" (unknown,
// expired, another email's, or empty). `failed` is set when the store failed.
std::string device_known(Lease& db, std::string_view token, std::string_view email_key,
                         int64_t now, bool& failed);

// After a good sign-in: the token to answer with. The device's own when it was known (its life
// starts again), else a new one. Empty when the store failed.
std::string device_signed_in(Lease& db, std::string_view presented, std::string_view known_hash,
                             std::string_view email_key, int64_t now);

bool devices_prune(Lease& db, int64_t now);

}  // namespace server
