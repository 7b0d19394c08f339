// Rollback, channel-swap and freeze protection for releases whose publisher numbers them. A
// manifest carrying a "sequence" must be of the channel that was asked for and numbered at
// least as high as the highest release installed from that channel in this folder (the install
// record's `sequences`); once a channel has shown a number, a manifest for it without one is
// refused too, so an envelope signed before numbering began cannot be served instead. A
// manifest carrying "expires" is refused once that time has passed. Manifests with neither
// member are accepted as they always were: any signed release may replace any other.
//
// Depends on backend/release.h. No state; any thread.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "backend/release.h"

namespace launcher {

// "" when `m`, fetched for `channel`, may be installed at `now` (Unix seconds) in a folder
// whose record holds `sequences`; otherwise the sentence the player reads.
std::string release_guard(const backend::Release_Manifest& m, std::string_view channel,
                          const std::map<std::string, int64_t, std::less<>>& sequences, int64_t now);

}  // namespace launcher
