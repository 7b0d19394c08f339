// The manifest's "links" member: decoding and encoding, beside the files in release.cpp.
//
// Depends on backend/json.h and backend/release.h. Keeps no state.
#pragma once
#include <string>
#include <vector>

#include "backend/json.h"
#include "backend/release.h"

namespace backend {

// Decodes an array of {"path", "target"} objects; null counts as none. False for anything else.
bool decode_links(json::Value v, std::vector<Release_Link>& links);
// Appends `,"links":[...]` when there are links; nothing otherwise, so that a release without
// links is encoded exactly as before links existed.
void links_encode(std::string& out, const std::vector<Release_Link>& links);

}  // namespace backend
