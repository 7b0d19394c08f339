// Rollback, channel-swap and freeze protection for releases whose publisher numbers them. A
// manifest carrying a "sequence" must be of the channel that was asked for and numbered at
// least as high as the highest this install folder has accepted for that channel; once a
// channel has shown a number, a manifest for it without one is refused too, so an envelope
// signed before numbering began cannot be served instead. A manifest carrying "expires" is
// refused once that time has passed. Manifests with neither member are accepted as they always
// were: any signed release may replace any other.
//
// The highest numbers accepted are kept per channel in "releases_seen.json" beside the install
// record, written atomically. Depends on backend/release.h, backend/json.h, platform/files.h.
// Main thread only; no state between calls.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "backend/release.h"

namespace launcher {

// Channel -> the highest sequence accepted for it.
using Release_Seen = std::map<std::string, int64_t, std::less<>>;

inline constexpr const char* release_seen_name = "releases_seen.json";

// Reads the file in `dir`; missing, too large or damaged: what could be read (possibly nothing).
Release_Seen release_seen_load(std::string_view dir);
Release_Seen release_seen_decode(std::string_view bytes);
std::string release_seen_encode(const Release_Seen& seen);
bool release_seen_write(std::string_view dir, const Release_Seen& seen);

// "" when `m`, fetched for `channel`, may be installed at `now` (Unix seconds); otherwise the
// sentence the player reads.
std::string release_guard(const backend::Release_Manifest& m, std::string_view channel, const Release_Seen& seen,
                          int64_t now);

// Raises the channel's number to the manifest's; true when it changed (the file is then due).
bool release_seen_note(Release_Seen& seen, std::string_view channel, const backend::Release_Manifest& m);

}  // namespace launcher
