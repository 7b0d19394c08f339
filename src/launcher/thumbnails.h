// thumbnails: the catalogue maps' pictures in Browse. Each is fetched once (on the maps client,
// one at a time, only for rows on screen), kept in the map store's "thumbnails" folder under the
// map file's digest, and read from there in later runs. The bytes are hostile: at most
// thumb_limit of them, a PNG of at most thumbnail_max_side pixels a side, decoded by gfx; a
// missing, refused or damaged one draws a placeholder and is not asked for again this run.
//
// Depends on backend/client.h, gfx (decoding, images), paths (the map store) and platform
// files. Main thread.
#pragma once
#include "backend/client.h"
#include "gfx/gfx.h"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace launcher {

struct Map_Entry;

inline constexpr int thumbnail_max_side = 512;

struct Thumbnail {
    enum class Stage : uint8_t { Unknown, Fetching, Ready, Missing } stage = Stage::Unknown;
    int image = -1;   // gfx image while Ready
    int width = 0, height = 0;
};

struct Thumbnails {
    std::unordered_map<std::string, Thumbnail> by_digest;   // the map file's SHA-256
    uint64_t request = 0;                                    // the thumbnail in flight
    std::string requested;                                   // its map's digest
};

// Where the thumbnail of the map file with digest `sha256` is kept.
std::string thumbnail_path(const std::string& sha256);

// The thumbnail of `e` as it stands: read from the store the first time it is asked for, else
// fetched when the entry names one (and nothing else is in flight).
const Thumbnail& thumbnail_for(Thumbnails& t, backend::Client& files, const Map_Entry& e);
// Claims the answer to the thumbnail in flight; false when `r` is not it.
bool thumbnail_on_response(Thumbnails& t, const backend::Response& r);
// Draws the thumbnail in the square slot at (x, y): at its own size, or scaled down to fit,
// centred; a placeholder while it is missing or on its way.
void draw_thumbnail(const Thumbnail& th, float x, float y, float slot);
// Frees the images.
void thumbnails_clear(Thumbnails& t);

}  // namespace launcher
