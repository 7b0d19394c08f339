#include "server/challenges.h"

#include <sodium.h>

#include <charconv>

#include "backend/proof_of_work.h"
#include "server/tokens.h"

namespace server {

namespace {

std::string mac_hex(std::string_view key, std::string_view signed_text) {
    unsigned char mac[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(key.data()), key.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(signed_text.data()),
                                  signed_text.size());
    crypto_auth_hmacsha256_final(&state, mac);
    char hex[sizeof mac * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, mac, sizeof mac);
    return hex;
}

// The email goes into the MAC, not into the text: a challenge says nothing about whom it is for.
std::string signed_part(std::string_view email_key, std::string_view body) {
    std::string s(email_key);
    s += '\n';
    s += body;
    return s;
}

bool read_number(std::string_view text, int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= 0;
}

}  // namespace

bool challenge_key_load(Lease& db, std::string& key) {
    Query add(db,
              "INSERT INTO server_secrets (name, value) VALUES ('challenge', ?) "
              "ON CONFLICT (name) DO NOTHING");
    add.bind(new_token());
    if (!add.done()) return false;
    Query read(db, "SELECT value FROM server_secrets WHERE name = 'challenge'");
    if (!read.row()) return false;
    key = read.text(0);
    return !key.empty();
}

std::string challenge_issue(std::string_view key, std::string_view email_key, int bits, int64_t now) {
    std::string body = std::to_string(now + challenge_lifetime) + "." + std::to_string(bits) +
                       "." + new_token().substr(0, 22);
    return body + "." + mac_hex(key, signed_part(email_key, body));
}

Proof challenge_redeem(Lease& db, std::string_view key, std::string_view email_key,
                       std::string_view challenge, std::string_view proof, int64_t now) {
    if (challenge.size() > 200) return Proof::bad;
    size_t mac_at = challenge.rfind('.');
    if (mac_at == std::string_view::npos) return Proof::bad;
    std::string_view body = challenge.substr(0, mac_at);
    std::string expected = mac_hex(key, signed_part(email_key, body));
    std::string_view mac = challenge.substr(mac_at + 1);
    if (mac.size() != expected.size() || sodium_memcmp(mac.data(), expected.data(), mac.size()) != 0)
        return Proof::bad;
    size_t a = body.find('.'), b = a == std::string_view::npos ? a : body.find('.', a + 1);
    int64_t expires = 0, bits = 0;
    if (b == std::string_view::npos || !read_number(body.substr(0, a), expires) ||
        !read_number(body.substr(a + 1, b - a - 1), bits))
        return Proof::bad;
    if (expires <= now || !backend::pow_check(challenge, int(bits), proof)) return Proof::bad;
    // Spent once it has let an attempt through: the same solution never pays for a second one.
    Query spend(db, "INSERT INTO spent_challenges (nonce, expires_at) VALUES (?, ?)");
    spend.bind(body.substr(b + 1)).bind(expires);
    if (spend.done()) return Proof::good;
    return spend.unique ? Proof::bad : Proof::failed;
}

bool challenges_prune(Lease& db, int64_t now) {
    Query q(db, "DELETE FROM spent_challenges WHERE expires_at <= ?");
    return q.bind(now).done();
}

}  // namespace server
