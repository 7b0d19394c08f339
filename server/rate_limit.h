// Limits on the requests that cost an Argon2id hash: sign-ins (against guessing passwords) and
// registrations (against burning the server's memory and time). The counts live in the store,
// so every instance of the service sees the same ones.
//
// Sign-in rule. Failures are counted per (email, client address) pair over a sliding minute:
//   1. A pair with `login_limit` failures is refused outright (429), even with the right
//      password: that address was guessing that email's password.
//   2. An address with `login_limit` failures over all emails (spraying one password over many
//      accounts), or an email with `login_limit` failures over all addresses (guessing from many
//      addresses), is refused only for pairs that are not known. A pair becomes known when it
//      signs in with the right password and stays known for 30 days.
// So a stranger can neither lock a player out of their own account (the player's usual address
// is known to it) nor get past the limits by spreading guesses (a stranger's pairs are never
// known: that takes the password). Refusals come before any hashing, and a known pair is
// decided by the address alone, so a refusal says nothing about the password. A successful
// sign-in clears its pair's failures: a typo before it counts no longer.
// Each sign-in attempt is counted as a failure before its password is checked (a reservation,
// taken under a lock on its email and address), so guesses sent at once are counted while their
// hashes run: of any number of parallel guesses at most `login_limit` are checked.
// Registrations: at most `registration_limit` per address per hour.
#pragma once
#include <cstdint>
#include <string_view>

#include "server/store/store.h"

namespace server {

constexpr int64_t login_limit = 5;
constexpr int64_t login_window = 60;
constexpr int64_t known_address_lifetime = 30 * 24 * 3600;
constexpr int64_t registration_limit = 10;
constexpr int64_t registration_window = 3600;

enum class Verdict { allowed, refused, failed };

// `email_key` is the folded email, `address` the client's address.
Verdict login_verdict(Lease& db, std::string_view email_key, std::string_view address, int64_t now);
bool login_failure(Lease& db, std::string_view email_key, std::string_view address, int64_t now);
// The verdict and, when allowed, a failure counted for the attempt, in one transaction that
// concurrent attempts for the same email or address wait for. The failure stays unless the
// attempt succeeds (login_success clears it).
// `attempt` names the counted failure for login_unreserve.
Verdict login_reserve(Lease& db, std::string_view email_key, std::string_view address, int64_t now,
                      std::string& attempt);
// Takes back a reservation whose password was never checked (the server was too busy).
bool login_unreserve(Lease& db, std::string_view attempt);
// Clears the pair's failures and marks the pair known. Inside the sign-in's transaction.
bool login_success(Lease& db, std::string_view email_key, std::string_view address, int64_t now);

// Counts one registration attempt unless the address has used up its hour; `refused` then.
Verdict registration_attempt(Lease& db, std::string_view address, int64_t now);

// Drops counts that can no longer refuse anything.
bool limiter_prune(Lease& db, int64_t now);

}  // namespace server
