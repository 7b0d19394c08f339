// The device tokens: "devices.json" in the per-user folder, the token the backend gave this
// device for each email signed in here, sent with the next sign-in to that email so that the
// backend tells this launcher from strangers guessing the same email's password.
// {"devices":[{"email":"...","token":"..."}, ...]}, newest first, at most `device_tokens_kept`.
//
// Depends on paths, platform files and json. Main thread. The game never reads this file.
#pragma once
#include <string>
#include <string_view>

namespace launcher {

constexpr size_t device_tokens_kept = 8;

// The token kept for `email` (compared without regard to ASCII case), or "".
std::string device_token_load(std::string_view email);
// Keeps `token` for `email` first in the list (owner-only, replaced whole); "" does nothing.
void device_token_save(std::string_view email, std::string_view token);

}  // namespace launcher
