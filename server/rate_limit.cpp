#include "server/rate_limit.h"

#include <arpa/inet.h>

#include <cstring>

#include "server/challenges.h"
#include "server/tokens.h"

namespace server {

std::string limit_key(std::string_view address) {
    char text[INET6_ADDRSTRLEN + 4] = "";
    if (address.size() >= sizeof text) return std::string(address);
    std::memcpy(text, address.data(), address.size());
    text[address.size()] = 0;
    unsigned char bytes[16];
    if (::inet_pton(AF_INET6, text, bytes) != 1) return std::string(address);
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes, mapped, sizeof mapped) == 0) {
        ::inet_ntop(AF_INET, bytes + 12, text, sizeof text);
        return text;
    }
    std::memset(bytes + 8, 0, 8);
    ::inet_ntop(AF_INET6, bytes, text, sizeof text);
    return std::string(text) + "/64";
}

namespace {

// PostgreSQL runs transactions side by side, so a count read and a row added are only one step
// when concurrent ones wait: a transaction lock per key (SQLite's writers queue already).
bool lock_key(Lease& db, std::string_view kind, std::string_view key) {
    if (db.engine() != Engine::postgresql) return true;
    std::string name = std::string(kind) + ":" + std::string(key);
    Query q(db, "SELECT 1", "SELECT pg_advisory_xact_lock(hashtextextended($1, 0))");
    q.bind(name);
    return q.row();
}

Verdict device_verdict(Lease& db, const Login_Attempt& a, int64_t now) {
    Query count(db, "SELECT COUNT(*) FROM login_failures WHERE device = ? AND at > ?");
    count.bind(a.device).bind(now - login_window);
    if (!count.row()) return Verdict::failed;
    return count.integer(0) >= login_limit ? Verdict::refused : Verdict::allowed;
}

// Without a known device: free below the limits, else a solved challenge is needed.
Verdict stranger_verdict(Lease& db, const Login_Attempt& a, int64_t now) {
    Query counts(db,
                 "SELECT COALESCE(SUM(CASE WHEN email_key = ?1 AND address = ?2 THEN 1 ELSE 0 END), 0), "
                 "COALESCE(SUM(CASE WHEN address = ?2 THEN 1 ELSE 0 END), 0), "
                 "COALESCE(SUM(CASE WHEN email_key = ?1 THEN 1 ELSE 0 END), 0) "
                 "FROM login_failures WHERE at > ?3 AND device = '' AND (email_key = ?1 OR address = ?2)");
    counts.bind(a.email_key).bind(a.address).bind(now - login_window);
    if (!counts.row()) return Verdict::failed;
    int64_t pair = counts.integer(0), by_address = counts.integer(1), by_email = counts.integer(2);
    if (pair >= login_limit) return Verdict::proof_needed;
    if (by_address < login_limit && by_email < login_limit) return Verdict::allowed;
    Query known(db, "SELECT 1 FROM known_addresses WHERE email_key = ? AND address = ? AND at > ?");
    known.bind(a.email_key).bind(a.address).bind(now - known_address_lifetime);
    if (known.row()) return Verdict::allowed;
    return known.failed ? Verdict::failed : Verdict::proof_needed;
}

}  // namespace

Verdict login_reserve(Lease& db, const Login_Attempt& a, std::string_view challenge_key,
                      int64_t now, std::string& reservation, bool& proven) {
    proven = false;
    Tx tx(db);
    // Always the email first, then the address: no two attempts wait for each other in a ring.
    if (!tx.open() || !lock_key(db, "login-email", a.email_key) ||
        !lock_key(db, "login-address", a.device.empty() ? a.address : a.device))
        return Verdict::failed;
    Verdict v = a.device.empty() ? stranger_verdict(db, a, now) : device_verdict(db, a, now);
    if (v == Verdict::proof_needed && !a.challenge.empty()) {
        Proof p = challenge_redeem(db, challenge_key, a.email_key, a.challenge, a.proof, now);
        if (p == Proof::failed) return Verdict::failed;
        if (p == Proof::good) v = Verdict::allowed;
        proven = p == Proof::good;
    }
    if (v != Verdict::allowed) return v;
    reservation = new_token();
    Query q(db,
            "INSERT INTO login_failures (email_key, address, device, at, attempt) VALUES (?, ?, ?, ?, ?)");
    q.bind(a.email_key).bind(a.address).bind(a.device).bind(now).bind(reservation);
    return q.done() && tx.commit() ? Verdict::allowed : Verdict::failed;
}

bool login_unreserve(Lease& db, std::string_view reservation) {
    Query q(db, "DELETE FROM login_failures WHERE attempt = ?");
    return q.bind(reservation).done();
}

bool login_success(Lease& db, const Login_Attempt& a, int64_t now) {
    Query clear(db, a.device.empty() ? "DELETE FROM login_failures WHERE email_key = ? AND address = ? AND device = ''"
                                     : "DELETE FROM login_failures WHERE email_key = ? AND device = ?");
    clear.bind(a.email_key).bind(a.device.empty() ? a.address : a.device);
    Query known(db,
                "INSERT INTO known_addresses (email_key, address, at) VALUES (?, ?, ?) "
                "ON CONFLICT (email_key, address) DO UPDATE SET at = excluded.at");
    known.bind(a.email_key).bind(a.address).bind(now);
    return clear.done() && known.done();
}

Verdict registration_attempt(Lease& db, std::string_view address, int64_t now) {
    std::string key = limit_key(address);
    Tx tx(db);
    if (!tx.open() || !lock_key(db, "registration", key)) return Verdict::failed;
    Query count(db, "SELECT COUNT(*) FROM registrations WHERE address = ? AND at > ?");
    count.bind(key).bind(now - registration_window);
    if (!count.row()) return Verdict::failed;
    if (count.integer(0) >= registration_limit) return Verdict::refused;
    Query add(db, "INSERT INTO registrations (address, at) VALUES (?, ?)");
    add.bind(key).bind(now);
    return add.done() && tx.commit() ? Verdict::allowed : Verdict::failed;
}

bool limiter_prune(Lease& db, int64_t now) {
    Query failures(db, "DELETE FROM login_failures WHERE at <= ?");
    failures.bind(now - login_window);
    Query known(db, "DELETE FROM known_addresses WHERE at <= ?");
    known.bind(now - known_address_lifetime);
    Query registrations(db, "DELETE FROM registrations WHERE at <= ?");
    registrations.bind(now - registration_window);
    return failures.done() && known.done() && registrations.done() && challenges_prune(db, now);
}

}  // namespace server
