// Accounts and sign-ins: register, sign in, refresh, sign out, rename, and bearer checks.
//
// Depends on the store, tokens.h and the rate limiter (rate_limit.h). A sign-in is a token family: the
// refresh token rotates on every refresh, and presenting one that was already used means it
// was copied, so the whole sign-in is revoked (its newest refresh token and its access tokens
// stop working too). Access tokens live `--token-lifetime` seconds, refresh tokens 30 days.
// Sign-ins and registrations also answer a device token (devices.h) that the launcher presents
// with its next sign-in; a sign-in past the limiter's limits may need a solved challenge first
// (rate_limit.h, challenges.h).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "server/server.h"

namespace server {

Reply auth_register(Server& server, const Request& request);
Reply auth_login(Server& server, const Request& request);
Reply auth_refresh(Server& server, const Request& request);
Reply auth_logout(Server& server, const Request& request);
Reply me_rename(Server& server, const Request& request);

// Resolves "Authorization: Bearer TOKEN" to a live account. On failure `refusal` holds the
// answer to send (401 unauthorized, or 403 banned).
bool bearer(Server& server, const Request& request, int64_t& account_id, Reply& refusal);

// Deletes expired tokens, the tokens of ended sign-ins, used and dropped refresh tokens a week
// after their use, and sign-ins with no token left. False when the store failed.
bool accounts_prune(Lease& db, int64_t now);

// Creates an account outright (seeding). Returns its id, or 0 with `error` set.
int64_t account_create(Server& server, std::string_view email, std::string_view password,
                       std::string_view name, std::string& error);

// Sets or clears the banned flag; a ban also ends every sign-in of the account. False when no
// account has that email.
bool account_ban(Server& server, std::string_view email, bool banned);

}  // namespace server
