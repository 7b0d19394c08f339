#include "server/rate_limit.h"

#include "server/tokens.h"

namespace server {

Verdict login_verdict(Lease& db, std::string_view email_key, std::string_view address, int64_t now) {
    Query counts(db,
                 "SELECT COALESCE(SUM(CASE WHEN email_key = ?1 AND address = ?2 THEN 1 ELSE 0 END), 0), "
                 "COALESCE(SUM(CASE WHEN address = ?2 THEN 1 ELSE 0 END), 0), "
                 "COALESCE(SUM(CASE WHEN email_key = ?1 THEN 1 ELSE 0 END), 0) "
                 "FROM login_failures WHERE at > ?3 AND (email_key = ?1 OR address = ?2)");
    counts.bind(email_key).bind(address).bind(now - login_window);
    if (!counts.row()) return Verdict::failed;
    int64_t pair = counts.integer(0), by_address = counts.integer(1), by_email = counts.integer(2);
    if (pair >= login_limit) return Verdict::refused;
    if (by_address < login_limit && by_email < login_limit) return Verdict::allowed;
    Query known(db, "SELECT 1 FROM known_addresses WHERE email_key = ? AND address = ? AND at > ?");
    known.bind(email_key).bind(address).bind(now - known_address_lifetime);
    if (known.row()) return Verdict::allowed;
    return known.failed ? Verdict::failed : Verdict::refused;
}

bool login_failure(Lease& db, std::string_view email_key, std::string_view address, int64_t now) {
    Query q(db, "INSERT INTO login_failures (email_key, address, at) VALUES (?, ?, ?)");
    return q.bind(email_key).bind(address).bind(now).done();
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

}  // namespace

Verdict login_reserve(Lease& db, std::string_view email_key, std::string_view address,
                      int64_t now, std::string& attempt) {
    Tx tx(db);
    // Always the email first, then the address: no two attempts wait for each other in a ring.
    if (!tx.open() || !lock_key(db, "login-email", email_key) ||
        !lock_key(db, "login-address", address))
        return Verdict::failed;
    Verdict v = login_verdict(db, email_key, address, now);
    if (v != Verdict::allowed) return v;
    attempt = new_token();
    Query q(db, "INSERT INTO login_failures (email_key, address, at, attempt) VALUES (?, ?, ?, ?)");
    q.bind(email_key).bind(address).bind(now).bind(attempt);
    return q.done() && tx.commit() ? Verdict::allowed : Verdict::failed;
}

bool login_unreserve(Lease& db, std::string_view attempt) {
    Query q(db, "DELETE FROM login_failures WHERE attempt = ?");
    return q.bind(attempt).done();
}

bool login_success(Lease& db, std::string_view email_key, std::string_view address, int64_t now) {
    Query clear(db, "DELETE FROM login_failures WHERE email_key = ? AND address = ?");
    clear.bind(email_key).bind(address);
    Query known(db,
                "INSERT INTO known_addresses (email_key, address, at) VALUES (?, ?, ?) "
                "ON CONFLICT (email_key, address) DO UPDATE SET at = excluded.at");
    known.bind(email_key).bind(address).bind(now);
    return clear.done() && known.done();
}

Verdict registration_attempt(Lease& db, std::string_view address, int64_t now) {
    Tx tx(db);
    if (!tx.open() || !lock_key(db, "registration", address)) return Verdict::failed;
    Query count(db, "SELECT COUNT(*) FROM registrations WHERE address = ? AND at > ?");
    count.bind(address).bind(now - registration_window);
    if (!count.row()) return Verdict::failed;
    if (count.integer(0) >= registration_limit) return Verdict::refused;
    Query add(db, "INSERT INTO registrations (address, at) VALUES (?, ?)");
    add.bind(address).bind(now);
    return add.done() && tx.commit() ? Verdict::allowed : Verdict::failed;
}

bool limiter_prune(Lease& db, int64_t now) {
    Query failures(db, "DELETE FROM login_failures WHERE at <= ?");
    failures.bind(now - login_window);
    Query known(db, "DELETE FROM known_addresses WHERE at <= ?");
    known.bind(now - known_address_lifetime);
    Query registrations(db, "DELETE FROM registrations WHERE at <= ?");
    registrations.bind(now - registration_window);
    return failures.done() && known.done() && registrations.done();
}

}  // namespace server
