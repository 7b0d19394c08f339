// proof_of_work: the small sum a sign-in to an email under attack does first, hashcash with
// SHA-256: a proof is good when SHA-256(challenge ":" proof) starts with `bits` zero bits. The
// server hands out the challenge (single-use, expiring, bound to the email) and checks a proof
// with one hash; the launcher searches for one, about a second of one core at the server's bits.
//
// Depends on OpenSSL's libcrypto. Limits: bits from 1 to pow_max_bits (24: sixteen times the
// server's usual ask, a quarter of a minute; a server asking for more is not obliged); a proof is
// a decimal number of at most 20 digits. The functions share no state; a Proof_Search runs one
// search on a thread of its own so that the window keeps drawing meanwhile.
#pragma once
#include <atomic>
#include <string>
#include <string_view>
#include <thread>

namespace backend {

constexpr int pow_max_bits = 24;

// Leading zero bits of SHA-256(challenge ":" proof), 0 to 256.
int pow_zero_bits(std::string_view challenge, std::string_view proof);

// True when `proof` is a decimal number of at most 20 digits and has `bits` leading zero bits.
bool pow_check(std::string_view challenge, int bits, std::string_view proof);

// Tries the proofs 0, 1, 2, ... until one is good. False when `bits` is out of range or `stop`
// turned true first.
bool pow_solve(std::string_view challenge, int bits, const std::atomic<bool>& stop, std::string& proof);

// One search on its own thread. `proof` and `found` may be read once `done` is true; the
// destructor stops the search and waits for its thread (a few milliseconds).
struct Proof_Search {
    std::string challenge;
    int bits = 0;
    std::string proof;
    bool found = false;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread thread;

    Proof_Search(std::string_view challenge, int bits);
    ~Proof_Search();
    Proof_Search(const Proof_Search&) = delete;
    Proof_Search& operator=(const Proof_Search&) = delete;
};

}  // namespace backend
