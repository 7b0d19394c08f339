// Demo content for a new data folder: three accounts, a catalogue of generated maps with
// thumbnails, and the publisher's news. Releases are not seeded here: tarnwick-publish puts
// those in the data folder.
//
// Depends on accounts.h, maps.h and stb_image_write (thumbnails). Everything is generated
// from fixed seeds, so two seeded folders hold identical maps.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "server/server.h"

namespace server {

constexpr const char* demo_email = "demo@tarnwick.test";
constexpr const char* demo_password = "tarnwick-demo";

// Adds the demo content. `lines` receives what to tell the operator (the demo sign-in).
// Returns an error text, empty on success.
std::string seed_demo(Server& server, std::vector<std::string>& lines);

// A valid map file ("TNWM", header, terrain) generated from `seed`, and its PNG thumbnail.
std::string generated_map(uint32_t seed, std::string_view name);
std::string map_thumbnail(std::string_view map_file);

// The news file body: {"news":[{"title","date","body"}...]}.
std::string demo_news();

}  // namespace server
