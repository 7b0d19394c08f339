// The saved account: "account.json" in the per-user folder, shared with the game.
// {"refresh_token":"..."}, compact; no file means no saved account.
#pragma once
#include <string>
#include <string_view>

namespace launcher {

// The saved refresh token, or "" (missing, unreadable or malformed file).
std::string account_load();
// Writes the token (atomically, readable by its owner only), or deletes the file for "".
void account_save(std::string_view token);

}  // namespace launcher
