#include "server/devices.h"

#include "server/tokens.h"

namespace server {

std::string device_known(Lease& db, std::string_view token, std::string_view email_key,
                         int64_t now, bool& failed) {
    failed = false;
    if (token.empty() || token.size() > 64) return "";
    std::string hash = token_hash(token);
    Query q(db, "SELECT 1 FROM devices WHERE hash = ? AND email_key = ? AND seen_at > ?");
    q.bind(hash).bind(email_key).bind(now - device_lifetime);
    if (q.row()) return hash;
    failed = q.failed;
    return "";
}

std::string device_signed_in(Lease& db, std::string_view presented, std::string_view known_hash,
                             std::string_view email_key, int64_t now) {
    if (!known_hash.empty()) {
        Query seen(db, "UPDATE devices SET seen_at = ? WHERE hash = ?");
        seen.bind(now).bind(known_hash);
        return seen.done() ? std::string(presented) : std::string();
    }
    std::string token = new_token();
    Query add(db, "INSERT INTO devices (hash, email_key, seen_at) VALUES (?, ?, ?)");
    add.bind(token_hash(token)).bind(email_key).bind(now);
    return add.done() ? token : std::string();
}

bool devices_prune(Lease& db, int64_t now) {
    Query q(db, "DELETE FROM devices WHERE seen_at <= ?");
    return q.bind(now - device_lifetime).done();
}

}  // namespace server
