// Proof-of-work challenges for sign-ins to an email under attack: instead of refusing an unknown
// device outright, the server hands it a challenge (backend/proof_of_work.h) and lets the
// attempt through once it comes back solved. Every guess then costs its sender about a second
// of a core, and nobody is locked out.
//
// A challenge is text the server can check without storing it: "expiry.bits.nonce.mac", the
// MAC (HMAC-SHA-256 under a key kept in the store, so every instance shares it) binding the
// email, the expiry and the bits. Issuing one writes nothing; a solved one is recorded as spent
// until it expires, so each is good for one attempt. Depends on libsodium and the store.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "server/store/store.h"

namespace server {

// How long a challenge may be answered: the solve and a slow network, with room to spare.
constexpr int64_t challenge_lifetime = 120;

// The sealing key every instance shares: made by the first instance, read by the others.
// False when the store failed.
bool challenge_key_load(Lease& db, std::string& key);

// A challenge for `email_key` whose proof needs `bits` zero bits (20: about a second of one core
// for the launcher's solver).
std::string challenge_issue(std::string_view key, std::string_view email_key, int bits, int64_t now);

enum class Proof { good, bad, failed };

// Checks `proof` for `challenge` (issued for `email_key`, not expired, solved) and spends it.
// `bad` for anything forged, expired, unsolved or spent before. Inside the caller's transaction.
Proof challenge_redeem(Lease& db, std::string_view key, std::string_view email_key,
                       std::string_view challenge, std::string_view proof, int64_t now);

bool challenges_prune(Lease& db, int64_t now);

}  // namespace server
