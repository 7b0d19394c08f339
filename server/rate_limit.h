// Limits on the requests that cost an Argon2id hash: sign-ins (against guessing passwords) and
// registrations (against burning the server's memory and time). The counts live in the store,
// so every instance of the service sees the same ones. Client addresses are counted by their
// limit key: an IPv4 address as it is, an IPv6 address by its /64 (one subscriber's network).
//
// Sign-in rule. Failures are counted over a sliding minute, apart for known devices (a device
// token, devices.h) and for everyone else:
//   1. A known device with `login_limit` failures of its own is refused (429): whoever holds
//      that token was guessing. Other people's failures never touch it.
//   2. Without a known device, failures count per (email, address) pair, per address over all
//      emails (spraying one password over many accounts) and per email over all addresses
//      (guessing from many addresses). A pair at the limit, or an address or email at the limit
//      for a pair that is not known, needs a solved challenge (challenges.h): the answer is 429
//      rate_limited carrying one, and the attempt sent again with its proof goes through. A pair
//      becomes known when it signs in with the right password and stays known for 30 days, which
//      lets a launcher that never solves challenges in from its usual address.
// So nobody is locked out, and past the limits every guess costs its sender a core-second.
// Refusals come before any hashing and do not depend on the password. A good sign-in clears
// the failures of its pair (or its device): a typo before it counts no longer.
// Each attempt is counted as a failure before its password is checked (a reservation, taken
// under a lock on its email and address), so guesses sent at once see each other: of any number
// sent side by side at most `login_limit` free ones are checked. An attempt turned away because
// every hash slot was taken stays counted against its address, so retrying a busy server is no
// free guess; only a known device's is taken back.
// Registrations: at most `registration_limit` per address per hour.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "server/store/store.h"

namespace server {

constexpr int64_t login_limit = 5;
constexpr int64_t login_window = 60;
constexpr int64_t known_address_lifetime = 30 * 24 * 3600;
constexpr int64_t registration_limit = 10;
constexpr int64_t registration_window = 3600;

enum class Verdict { allowed, refused, proof_needed, failed };

// The address as the limits count it: IPv6 by its /64 ("2001:db8:1:2::/64"), an IPv4-mapped
// IPv6 address as the IPv4 one, anything else as it is.
std::string limit_key(std::string_view address);

struct Login_Attempt {
    std::string email_key;  // the folded email
    std::string address;    // limit_key of the client's address
    std::string device;     // the stored hash of a known device token, else empty
    std::string challenge;  // a challenge and its proof as sent, else empty
    std::string proof;
};

// The verdict and, when allowed, a failure counted for the attempt, in one transaction that
// concurrent attempts for the same email or address wait for. A proof is redeemed (spent) only
// when one is needed; `proven` tells that one was. `reservation` names the counted failure for
// login_unreserve.
Verdict login_reserve(Lease& db, const Login_Attempt& attempt, std::string_view challenge_key,
                      int64_t now, std::string& reservation, bool& proven);
// Takes back a reservation whose password was never checked.
bool login_unreserve(Lease& db, std::string_view reservation);
// Clears the failures of the attempt's pair or device and marks the pair known. Inside the
// sign-in's transaction.
bool login_success(Lease& db, const Login_Attempt& attempt, int64_t now);

// Counts one registration attempt unless the address has used up its hour; `refused` then.
Verdict registration_attempt(Lease& db, std::string_view address, int64_t now);

// Drops counts that can no longer refuse anything.
bool limiter_prune(Lease& db, int64_t now);

}  // namespace server
