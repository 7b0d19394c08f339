// Accounts and sign-ins.
//
// Index:
//   helpers       read_strings (request bodies), issue / start_sign_in / revoke (tokens),
//                 answer (the launcher's Answer body), refresh_once (one refresh transaction)
//   handlers      auth_register, auth_login, auth_refresh, auth_logout, me_rename
//   bearer        the Authorization check used by every authenticated endpoint
//   admin         accounts_prune, account_create (seeding), account_ban
#include "server/accounts.h"

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "backend/json.h"
#include "server/challenges.h"
#include "server/devices.h"
#include "server/rate_limit.h"
#include "server/tokens.h"
#include "server/validate.h"

namespace server {

namespace {

// Decodes a JSON object in which the first `required` members named in `names` must be present
// as strings, and the others may be (left empty when absent). Other members are ignored. False
// for anything else: that is a bad request.
bool read_strings(std::string_view body, std::initializer_list<std::string_view> names,
                  std::vector<std::string>& values, size_t required = SIZE_MAX) {
    values.assign(names.size(), {});
    std::vector<bool> seen(names.size(), false);
    json::Value root;
    if (!json::parse(body, root)) return false;
    bool ok = json::members(root, [&](std::string_view key, json::Value value) {
        size_t i = 0;
        for (auto name : names) {
            if (name == key) {
                if (!value.is_string() || !json::get(value, values[i])) return false;
                seen[i] = true;
            }
            ++i;
        }
        return true;
    });
    if (!ok) return false;
    for (size_t i = 0; i < seen.size() && i < required; ++i)
        if (!seen[i]) return false;
    return true;
}

struct Issued {
    std::string access;
    std::string refresh;
    int64_t expires_at = 0;
};

Issued new_pair(Server& server, int64_t now) {
    Issued out;
    out.access = new_token();
    out.refresh = new_token();
    out.expires_at = now + server.options.token_lifetime;
    return out;
}

// Adds the pair to the sign-in. Inside a transaction.
bool add_pair(Lease& db, int64_t sign_in, int64_t now, const Issued& pair) {
    Query a(db, "INSERT INTO access_tokens (hash, sign_in_id, expires_at) VALUES (?, ?, ?)");
    a.bind(token_hash(pair.access)).bind(sign_in).bind(pair.expires_at);
    Query r(db, "INSERT INTO refresh_tokens (hash, sign_in_id, expires_at) VALUES (?, ?, ?)");
    r.bind(token_hash(pair.refresh)).bind(sign_in).bind(now + refresh_lifetime);
    return a.done() && r.done();
}

// Starts a new sign-in for the account. Inside a transaction.
bool start_sign_in(Server& server, Lease& db, int64_t account, int64_t now, Issued& out) {
    Query s(db, "INSERT INTO sign_ins (account_id, created_at) VALUES (?, ?) RETURNING id");
    s.bind(account).bind(now);
    if (!s.row()) return false;
    out = new_pair(server, now);
    return add_pair(db, s.integer(0), now, out);
}

// Ends a sign-in: its refresh tokens are refused from now on and its access tokens are gone.
bool revoke(Lease& db, int64_t sign_in) {
    Query s(db, "UPDATE sign_ins SET revoked = 1 WHERE id = ?");
    s.bind(sign_in);
    Query a(db, "DELETE FROM access_tokens WHERE sign_in_id = ?");
    a.bind(sign_in);
    return s.done() && a.done();
}

std::string account_json(int64_t id, std::string_view name) {
    std::string out = "{\"id\":" + std::to_string(id) + ",\"name\":";
    json::write_json_string(out, name);
    out += "}";
    return out;
}

// `device` is the device token to keep for the next sign-in (login and register only).
Reply answer(int status, const Issued& issued, bool created, int64_t id, std::string_view name,
             std::string_view device = {}) {
    std::string body = "{\"access_token\":";
    json::write_json_string(body, issued.access);
    body += ",\"expires_at\":" + std::to_string(issued.expires_at) + ",\"refresh_token\":";
    json::write_json_string(body, issued.refresh);
    body += created ? ",\"created\":true" : ",\"created\":false";
    body += ",\"account\":" + account_json(id, name);
    if (!device.empty()) {
        body += ",\"device_token\":";
        json::write_json_string(body, device);
    }
    body += "}";
    return json_reply(status, std::move(body));
}

Reply server_error() { return error_reply(500, "server_error"); }

// The limiter's refusal; with a challenge when solving one lets the attempt through. Launchers
// that know nothing of challenges read it as the plain rate_limited it has always been.
Reply rate_limited(Server& server, std::string_view email_key, int64_t now, bool with_challenge) {
    Reply r = error_reply(429, "rate_limited");
    if (!with_challenge) return r;
    r.body.pop_back();
    r.body += ",\"challenge\":";
    int bits = server.options.challenge_bits;
    json::write_json_string(r.body, challenge_issue(server.challenge_key, email_key, bits, now));
    r.body += ",\"bits\":" + std::to_string(bits) + "}";
    return r;
}

// Every hashing slot and waiting place taken: come back shortly.
Reply busy() {
    Reply r = error_reply(503, "busy");
    r.headers.emplace_back("Retry-After", std::to_string(hash_retry_after));
    return r;
}

// refresh_tokens.used: 0 while a token is fresh; the Unix time in milliseconds it was exchanged
// once it has been;
// -1 for a fresh token whose answer is known to have arrived (its access token was used).
// refresh_tokens.successor: for an exchanged token, the pair it was exchanged for, sealed under
// a key only the exchanged token gives (tokens.h).
// refresh_tokens.dropped: the time (milliseconds) a fresh token was given up for a retried refresh (servers
// before the sealed successor did that), else 0.
// How long an exchanged refresh token may be presented again while nothing shows that its
// successor ever reached the player: the answer carrying it may have been lost (a connection
// dropped mid-answer, a launcher killed before it saved the token), and that must not sign the
// player out. The retry gets the very same pair again, so the sign-in stays one chain whoever
// sends it. Once the successor is used or exchanged, a second use is a copy: see auth_refresh.
// A minute is what a retry needs; times are in milliseconds.
constexpr int64_t refresh_retry_window_ms = 60 * 1000;

// Inside the refresh transaction. True when the presented token was exchanged (at `used_at`,
// in milliseconds) less than the window ago and its successor `next` was neither exchanged nor
// seen in use since. The successor is named exactly, so rotations of one sign-in within the
// same second or millisecond never pass for each other.
bool successor_lost(Lease& db, const Issued& next, int64_t used_at, int64_t now_ms, bool& failed) {
    if (now_ms - used_at > refresh_retry_window_ms) return false;
    Query s(db, "SELECT used, dropped FROM refresh_tokens WHERE hash = ?");
    s.bind(token_hash(next.refresh));
    if (!s.row()) {
        failed = s.failed;
        return false;
    }
    return s.integer(0) == 0 && s.integer(1) == 0;
}

// The successor pair as sealed in the exchanged token's row: "access refresh expires_at".
std::string successor_text(const Issued& issued) {
    return issued.access + " " + issued.refresh + " " + std::to_string(issued.expires_at);
}

bool read_successor(std::string_view token, std::string_view sealed, Issued& out) {
    std::string plain;
    if (!open_for_token(token, sealed, plain)) return false;
    size_t a = plain.find(' '), b = a == std::string::npos ? a : plain.find(' ', a + 1);
    if (b == std::string::npos || a == 0 || b == a + 1) return false;
    std::string_view expiry = std::string_view(plain).substr(b + 1);
    if (expiry.empty() || expiry.size() > 18) return false;
    int64_t expires_at = 0;
    for (char c : expiry) {
        if (c < '0' || c > '9') return false;
        expires_at = expires_at * 10 + (c - '0');
    }
    out.access = plain.substr(0, a);
    out.refresh = plain.substr(a + 1, b - a - 1);
    out.expires_at = expires_at;
    return true;
}

// Adds the successor pair to the sign-in and marks the presented token (`hash`) exchanged, with
// the pair sealed in its row. Inside the refresh transaction. On PostgreSQL the three writes are
// one statement, one round trip instead of three. `retry` as in refresh_once.
bool rotate(Lease& db, int64_t sign_in, const std::string& hash, const std::string& sealed,
            const Issued& next, int64_t now, int64_t now_ms, bool& retry) {
    if (db.engine() == Engine::postgresql) {
        Query q(db,
                "WITH a AS (INSERT INTO access_tokens (hash, sign_in_id, expires_at) "
                "VALUES (?1, ?2, ?3)), n AS (INSERT INTO refresh_tokens (hash, sign_in_id, "
                "expires_at) VALUES (?4, ?2, ?5)) UPDATE refresh_tokens SET used = ?6, "
                "successor = ?7 WHERE hash = ?8");
        q.bind(token_hash(next.access)).bind(sign_in).bind(next.expires_at)
            .bind(token_hash(next.refresh)).bind(now + refresh_lifetime).bind(now_ms).bind(sealed)
            .bind(hash);
        bool done = q.done();
        retry = q.retry;
        return done;
    }
    Query mark(db, "UPDATE refresh_tokens SET used = ?, successor = ? WHERE hash = ?");
    mark.bind(now_ms).bind(sealed).bind(hash);
    bool done = add_pair(db, sign_in, now, next) && mark.done();
    retry = mark.retry;
    return done;
}

// One try of a refresh in its own transaction. `retry` is set when the engine gave up on it for
// a concurrent one (PostgreSQL deadlock or serialization failure); nothing was changed then.
Reply refresh_once(Server& server, Lease& db, const std::string& token, int64_t now_ms,
                   bool& retry) {
    int64_t now = now_ms / 1000;
    std::string hash = token_hash(token);
    Tx tx(db);
    if (!tx.open()) return server_error();
    auto fail = [&](const Query& q) {
        retry = q.retry;
        return q.failed ? server_error() : error_reply(401, "session_expired");
    };
    int64_t sign_in = 0;
    {
        // Every refresh of one sign-in waits here for the one before it to commit, so the token
        // states read below are final: two instances can never both rotate one token. Found
        // and locked in one statement; SQLite's transaction holds the write lock already.
        Query lock(db,
                   "SELECT sign_in_id FROM refresh_tokens WHERE hash = ?",
                   "SELECT s.id FROM refresh_tokens r JOIN sign_ins s ON s.id = r.sign_in_id "
                   "WHERE r.hash = $1 FOR UPDATE OF s");
        lock.bind(hash);
        if (!lock.row()) return fail(lock);
        sign_in = lock.integer(0);
    }
    int64_t expires_at = 0, account = 0, used_at = 0, dropped = 0;
    bool revoked = false, banned = false;
    std::string name, successor;
    {
        // A statement of its own, so that it sees what the refresh before it committed.
        Query s(db,
                "SELECT r.expires_at, r.used, r.dropped, s.revoked, a.id, a.name, a.banned, "
                "r.successor FROM refresh_tokens r JOIN sign_ins s ON s.id = r.sign_in_id "
                "JOIN accounts a ON a.id = s.account_id WHERE r.hash = ?");
        s.bind(hash);
        if (!s.row()) return fail(s);
        expires_at = s.integer(0);
        used_at = s.integer(1);
        dropped = s.integer(2);
        revoked = s.integer(3) != 0;
        account = s.integer(4);
        name = s.text(5);
        banned = s.integer(6) != 0;
        successor = s.text(7);
    }
    if (revoked) return error_reply(401, "session_expired");
    auto end_sign_in = [&] {
        if (!revoke(db, sign_in) || !tx.commit()) return server_error();
        return error_reply(401, "session_expired");
    };
    // A dropped token was handed out once and replaced because the token before it came back
    // (a lost answer, as it seemed). That both come back means two parties held the sign-in.
    if (dropped > 0) return end_sign_in();
    // Exchanged tokens are kept as long as their sign-in, so a copy presented at any later
    // time (even past its own expiry) still ends the sign-in.
    if (used_at > 0) {
        bool failed = false;
        Issued again;
        if (!banned && read_successor(token, successor, again) &&
            successor_lost(db, again, used_at, now_ms, failed))
            return answer(200, again, false, account, name);
        if (failed) return server_error();
        // Someone holds a copy of a token that was already exchanged: end the whole sign-in
        // so that neither the thief's nor the player's newer tokens work any longer.
        return end_sign_in();
    }
    if (expires_at <= now) return error_reply(401, "session_expired");
    if (banned) {
        if (!revoke(db, sign_in) || !tx.commit()) return server_error();
        return error_reply(403, "banned");
    }
    Issued issued = new_pair(server, now);
    if (!rotate(db, sign_in, hash, seal_for_token(token, successor_text(issued)), issued, now,
                now_ms > 0 ? now_ms : 1, retry))
        return server_error();
    if (!tx.commit()) return server_error();
    return answer(200, issued, false, account, name);
}

}  // namespace

Reply auth_register(Server& server, const Request& request) {
    std::vector<std::string> f;
    if (!read_strings(request.body, {"email", "password", "name"}, f))
        return error_reply(400, "bad_request");
    const std::string &email = f[0], &password = f[1], &name = f[2];
    if (!email_ok(email)) return error_reply(400, "bad_email");
    if (!password_ok(password)) return error_reply(400, "bad_password");
    if (!name_ok(name)) return error_reply(400, "bad_name");
    std::string key = fold(email);
    int64_t now = server_now(server);
    {
        Lease db(server.store);
        // Each registration costs a hash of 64 MiB: an address gets a few an hour. A taken
        // email counts too, or asking "does this account exist" would be free and unlimited.
        Verdict v = registration_attempt(db, request.client, now);
        if (v == Verdict::refused) return error_reply(429, "rate_limited");
        if (v == Verdict::failed) return server_error();
        // Checked before hashing so a taken email costs no Argon2 time; the UNIQUE key below
        // still settles two registrations racing for one email.
        Query s(db, "SELECT 1 FROM accounts WHERE email_key = ?");
        s.bind(key);
        if (s.row()) return error_reply(409, "email_taken");
        if (s.failed) return server_error();
    }
    std::string hash;
    {
        Hash_Slot slot(server.hash_slots);
        if (!slot.held()) return busy();
        if (!password_hash(password, server.options.fast_hash, hash)) return server_error();
    }

    Lease db(server.store);
    Tx tx(db);
    if (!tx.open()) return server_error();
    Query insert(db,
                 "INSERT INTO accounts (email, email_key, name, password_hash, created_at) "
                 "VALUES (?, ?, ?, ?, ?) RETURNING id");
    insert.bind(email).bind(key).bind(name).bind(hash).bind(now);
    if (!insert.row()) {
        if (insert.unique) return error_reply(409, "email_taken");
        return server_error();
    }
    int64_t id = insert.integer(0);
    Issued issued;
    if (!start_sign_in(server, db, id, now, issued)) return server_error();
    std::string device = device_signed_in(db, "", "", key, now);
    if (device.empty() || !tx.commit()) return server_error();
    return answer(201, issued, true, id, name, device);
}

Reply auth_login(Server& server, const Request& request) {
    // "device", "challenge" and "proof" come only from launchers that hold a device token or
    // were handed a challenge; the plain sign-in is email and password.
    std::vector<std::string> f;
    if (!read_strings(request.body, {"email", "password", "device", "challenge", "proof"}, f, 2))
        return error_reply(400, "bad_request");
    const std::string &email = f[0], &password = f[1];
    if (!email_ok(email)) return error_reply(400, "bad_email");

    int64_t now = server_now(server);
    Login_Attempt attempt{fold(email), limit_key(request.client), "", f[3], f[4]};
    const std::string& key = attempt.email_key;
    int64_t id = 0;
    std::string name, hash;
    bool banned = false;
    std::string reservation;
    bool proven = false;
    {
        Lease db(server.store);
        bool failed = false;
        attempt.device = device_known(db, f[2], key, now, failed);
        if (failed) return server_error();
        // The attempt counts as a failure from here on, so guesses sent side by side see each
        // other before any of them is checked; refused ones never wait for a hashing slot.
        Verdict v = login_reserve(db, attempt, server.challenge_key, now, reservation, proven);
        if (v == Verdict::refused) return rate_limited(server, key, now, false);
        if (v == Verdict::proof_needed) return rate_limited(server, key, now, true);
        if (v == Verdict::failed) return server_error();
        Query s(db, "SELECT id, name, password_hash, banned FROM accounts WHERE email_key = ?");
        s.bind(key);
        if (s.row()) {
            id = s.integer(0);
            name = s.text(1);
            hash = s.text(2);
            banned = s.integer(3) != 0;
        }
        if (s.failed) return server_error();
    }
    Hash_Priority priority = !attempt.device.empty()   ? Hash_Priority::known_device
                             : proven                 ? Hash_Priority::proven
                                                      : Hash_Priority::other;
    Hash_Slot slot(server.hash_slots, priority);
    if (!slot.held()) {
        // Nothing was checked. A stranger's attempt still counts against its address, or
        // retrying a busy server would be a free guess; a known device's is taken back.
        if (!attempt.device.empty()) {
            Lease db(server.store);
            if (!login_unreserve(db, reservation)) return server_error();
        }
        return busy();
    }
    // Hashing happens without a connection held: it is the slow part, on purpose.
    bool good = password_verify(id ? hash : server.dummy_hash, password) && id != 0;
    Lease db(server.store);
    if (!good) return error_reply(401, "invalid_credentials");
    if (banned) return error_reply(403, "banned");

    Tx tx(db);
    if (!tx.open()) return server_error();
    Issued issued;
    if (!login_success(db, attempt, now) || !start_sign_in(server, db, id, now, issued))
        return server_error();
    std::string device = device_signed_in(db, f[2], attempt.device, key, now);
    if (device.empty() || !tx.commit()) return server_error();
    return answer(200, issued, false, id, name, device);
}

Reply auth_refresh(Server& server, const Request& request) {
    std::vector<std::string> f;
    if (!read_strings(request.body, {"refresh_token"}, f)) return error_reply(400, "bad_request");
    int64_t now_ms = server_now_ms(server);
    Lease db(server.store);
    Reply reply;
    for (int attempt = 0; attempt < 5; ++attempt) {
        bool retry = false;
        reply = refresh_once(server, db, f[0], now_ms, retry);
        if (!retry) break;
    }
    return reply;
}

Reply auth_logout(Server& server, const Request& request) {
    std::vector<std::string> f;
    if (!read_strings(request.body, {"refresh_token"}, f)) return error_reply(400, "bad_request");
    Lease db(server.store);
    Tx tx(db);
    if (!tx.open()) return server_error();
    int64_t sign_in = 0;
    {
        Query s(db, "SELECT sign_in_id FROM refresh_tokens WHERE hash = ?");
        s.bind(token_hash(f[0]));
        if (s.row()) sign_in = s.integer(0);
        if (s.failed) return server_error();
    }
    if (sign_in && (!revoke(db, sign_in) || !tx.commit())) return server_error();
    // An unknown token is answered the same way: signing out twice is not an error, and the
    // answer must not tell whether a token ever existed.
    return json_reply(200, "{}");
}

Reply me_rename(Server& server, const Request& request) {
    int64_t account = 0;
    Reply refusal;
    if (!bearer(server, request, account, refusal)) return refusal;
    std::vector<std::string> f;
    if (!read_strings(request.body, {"name"}, f)) return error_reply(400, "bad_request");
    if (!name_ok(f[0])) return error_reply(400, "bad_name");
    Lease db(server.store);
    Query s(db, "UPDATE accounts SET name = ? WHERE id = ?");
    s.bind(f[0]).bind(account);
    if (!s.done()) return server_error();
    list_cache_forget(server.map_lists);  // lists show the author's name
    return json_reply(200, "{\"account\":" + account_json(account, f[0]) + "}");
}

bool bearer(Server& server, const Request& request, int64_t& account_id, Reply& refusal) {
    refusal = error_reply(401, "unauthorized");
    std::string_view header = request.authorization;
    if (header.size() < 8 || fold(header.substr(0, 7)) != "bearer ") return false;
    std::string_view token = header.substr(7);
    while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
    while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
    if (token.empty()) return false;

    Lease db(server.store);
    int64_t sign_in = 0;
    {
        Query s(db,
                "SELECT s.account_id, a.banned, s.id FROM access_tokens t "
                "JOIN sign_ins s ON s.id = t.sign_in_id JOIN accounts a ON a.id = s.account_id "
                "WHERE t.hash = ? AND t.expires_at > ? AND s.revoked = 0");
        s.bind(token_hash(token)).bind(server_now(server));
        if (!s.row()) {
            if (s.failed) refusal = server_error();
            return false;
        }
        if (s.integer(1) != 0) {
            refusal = error_reply(403, "banned");
            return false;
        }
        account_id = s.integer(0);
        sign_in = s.integer(2);
    }
    // The answer that carried this access token arrived, and with it its refresh token: from now
    // on presenting the token before that one again is a copy, never a lost answer.
    Query seen(db,
               "UPDATE refresh_tokens SET used = -1 WHERE sign_in_id = ? AND used = 0 AND dropped = 0");
    seen.bind(sign_in);
    seen.done();
    return true;
}

bool accounts_prune(Lease& db, int64_t now) {
    Tx tx(db);
    Query access(db, "DELETE FROM access_tokens WHERE expires_at <= ?");
    access.bind(now);
    // Fresh tokens go when they expire; exchanged and dropped ones stay as evidence until their
    // sign-in is over (ended, or no fresh token of it left that could still be exchanged). Three
    // statements rather than one with OR: each gets its index or one anti-join, where the one
    // statement scanned the table twice (120 ms at 60,000 tokens, against 45 ms).
    Query expired(db,
                  "DELETE FROM refresh_tokens WHERE expires_at <= ? AND used <= 0 AND dropped = 0");
    expired.bind(now);
    Query ended(db,
                "DELETE FROM refresh_tokens WHERE sign_in_id IN "
                "(SELECT id FROM sign_ins WHERE revoked = 1)");
    Query spent(db,
                "DELETE FROM refresh_tokens WHERE sign_in_id IN (SELECT s.id FROM sign_ins s "
                "WHERE NOT EXISTS (SELECT 1 FROM refresh_tokens f WHERE f.sign_in_id = s.id "
                "AND f.expires_at > ? AND f.used <= 0 AND f.dropped = 0))");
    spent.bind(now);
    Query sign_ins(db,
                   "DELETE FROM sign_ins WHERE NOT EXISTS (SELECT 1 FROM refresh_tokens r WHERE "
                   "r.sign_in_id = sign_ins.id) AND NOT EXISTS (SELECT 1 FROM access_tokens t "
                   "WHERE t.sign_in_id = sign_ins.id)");
    return tx.open() && access.done() && expired.done() && ended.done() && spent.done() &&
           sign_ins.done() && tx.commit();
}

int64_t account_create(Server& server, std::string_view email, std::string_view password,
                       std::string_view name, std::string& error) {
    if (!email_ok(email) || !password_ok(password) || !name_ok(name)) {
        error = "the account's email, password or name breaks the rules";
        return 0;
    }
    std::string hash;
    if (!password_hash(password, server.options.fast_hash, hash)) {
        error = "can't hash the password";
        return 0;
    }
    Lease db(server.store);
    Query s(db,
            "INSERT INTO accounts (email, email_key, name, password_hash, created_at) "
            "VALUES (?, ?, ?, ?, ?) RETURNING id");
    s.bind(email).bind(fold(email)).bind(name).bind(hash).bind(server_now(server));
    if (!s.row()) {
        error = s.unique ? "the email is taken" : "can't write the account";
        return 0;
    }
    return s.integer(0);
}

bool account_ban(Server& server, std::string_view email, bool banned) {
    Lease db(server.store);
    Tx tx(db);
    if (!tx.open()) return false;
    int64_t id = 0;
    {
        Query s(db, "SELECT id FROM accounts WHERE email_key = ?");
        s.bind(fold(email));
        if (s.row()) id = s.integer(0);
    }
    if (id == 0) return false;
    Query flag(db, "UPDATE accounts SET banned = ? WHERE id = ?");
    flag.bind(banned ? 1 : 0).bind(id);
    if (!flag.done()) return false;
    if (banned) {
        std::vector<int64_t> sign_ins;
        {
            Query ids(db, "SELECT id FROM sign_ins WHERE account_id = ? AND revoked = 0");
            ids.bind(id);
            while (ids.row()) sign_ins.push_back(ids.integer(0));
            if (ids.failed) return false;
        }
        for (int64_t sign_in : sign_ins)
            if (!revoke(db, sign_in)) return false;
    }
    if (!tx.commit()) return false;
    list_cache_forget(server.map_lists);  // a banned author's maps are not listed
    return true;
}

}  // namespace server
