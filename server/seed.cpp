#include "server/seed.h"

#include <cmath>

#include "backend/json.h"
#include "server/accounts.h"
#include "server/files.h"
#include "server/maps.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image_write.h>
#pragma GCC diagnostic pop

namespace server {

namespace {

// The map layout written by generated_map: magic, format 1, width, height (little-endian
// 16-bit), player count, name length and name, then one terrain byte per tile.
constexpr size_t header_size = 4 + 2 + 2 + 2 + 1 + 1;
enum Terrain : uint8_t { Water, Sand, Grass, Forest, Rock };

struct Rng {
    uint64_t state;
    uint32_t next() {
        // splitmix64: small, and good enough for terrain.
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
    }
    double unit() { return next() / 4294967296.0; }
};

void put16(std::string& out, unsigned value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

unsigned get16(std::string_view in, size_t at) {
    return static_cast<unsigned char>(in[at]) | (static_cast<unsigned char>(in[at + 1]) << 8);
}

// Value noise: random heights on a coarse grid, smoothly interpolated, in a few octaves.
double height_at(const std::vector<double>& grid, int cells, double x, double y) {
    int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    double fx = x - x0, fy = y - y0;
    fx = fx * fx * (3 - 2 * fx);
    fy = fy * fy * (3 - 2 * fy);
    auto at = [&](int gx, int gy) { return grid[(gy % cells) * cells + (gx % cells)]; };
    double top = at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx;
    double bottom = at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx;
    return top * (1 - fy) + bottom * fy;
}

struct Demo_Map {
    const char* name;
    const char* description;
    int author;  // index into the demo accounts
    int64_t downloads;
    int64_t likes;
    int versions;
    int age_days;
};

const Demo_Map demo_maps[] = {
    {"Harbor Siege", "Two fleets, one narrow harbor mouth. Hold the lighthouse to see the whole bay.",
     1, 4812, 611, 3, 41},
    {"Frostmere Pass", "A mountain pass in deep snow: supply lines freeze if you push too far.", 2,
     2290, 402, 1, 33},
    {"Twin Rivers", "Classic 2v2. Each team owns a river delta; the ford in the middle decides it.",
     0, 7355, 948, 2, 58},
    {"Ashfall Crater", "Lava vents open every ten minutes. Build on the rim, not in the bowl.", 1,
     1530, 377, 1, 12},
    {"The Long Road", "A single winding road through the marches, ambush points every few bends.", 2,
     960, 88, 1, 9},
    {"Saltmarsh", "Reeds, shallows and fog. Scouts matter more than swords here.", 1, 3104, 215, 2,
     27},
    {"Kings Hollow", "A sunken valley with one castle and six ways in. Free for all, up to six.", 0,
     5120, 730, 1, 50},
    {"Emberwood", "Dense forest that burns. Fire arrows recommended, patience required.", 2, 640,
     154, 1, 4},
    {"Island Hop", "Seven islands, boats only. The middle island has the only quarry.", 1, 2875,
     506, 2, 19},
    {"Old Quarry", "Tight tunnels and a collapsing quarry floor for fast 1v1 games.", 2, 1410, 97,
     1, 15},
    {"Sunken Abbey", "Ruins half under water; the bell tower is the only high ground.", 1, 390, 61,
     1, 2},
    {"Training Grounds", "", 0, 8890, 120, 1, 63},
};

struct Demo_Account {
    const char* email;
    const char* name;
};

const Demo_Account demo_accounts[] = {
    {demo_email, "Demo Player"},
    {"mira@tarnwick.test", "Mira Vance"},
    {"tobin@tarnwick.test", "Tobin Hale"},
};

struct News_Item {
    const char* title;
    const char* date;
    const char* body;
};

const News_Item news_items[] = {
    {"Patch 0.9.4: harbors and hotkeys", "12 March 2025",
     "Harbors now repair docked ships over time, and every build menu has its own hotkeys. "
     "We also fixed the desync that could end long four-player games at the 90-minute mark."},
    {"Map makers' spring contest", "3 March 2025",
     "Share a map from the launcher's Maps tab before 31 March and it enters the contest. "
     "The three most liked maps ship with the next release, with credit to their authors."},
    {"Servers moving on 20 February", "14 February 2025",
     "We are moving the game servers to a new data centre. Expect up to an hour of downtime "
     "from 06:00 UTC; the launcher will tell you when everything is back."},
    {"Winter balance update", "28 January 2025",
     "Archers cost 10 more wood, cavalry charge damage is down 15%, and walls take a little "
     "longer to build. Full notes are on the forum."},
    {"Two-factor sign-in is coming", "9 January 2025",
     "Later this year you will be able to protect your account with a second step at sign-in. "
     "Until then, use a password you don't use anywhere else."},
    {"Thank you for a great first year", "20 December 2024",
     "Tarnwick turned one this month. Over 40,000 players and 3,000 shared maps later, we are "
     "just getting started. See you on the battlefield."},
};

}  // namespace

std::string generated_map(uint32_t seed, std::string_view name) {
    Rng rng{seed * 7919ull + 17};
    unsigned width = 96 + (rng.next() % 5) * 16;
    unsigned height = 96 + (rng.next() % 5) * 16;
    unsigned players = 2 + rng.next() % 5;
    if (name.size() > 255) name = name.substr(0, 255);

    std::string out = "TNWM";
    put16(out, 1);
    put16(out, width);
    put16(out, height);
    out += static_cast<char>(players);
    out += static_cast<char>(name.size());
    out += name;

    const int cells = 16;
    std::vector<double> coarse(cells * cells), fine(cells * cells);
    for (auto& v : coarse) v = rng.unit();
    for (auto& v : fine) v = rng.unit();
    double water_level = 0.30 + rng.unit() * 0.15;
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
            double h = 0.7 * height_at(coarse, cells, u * 5, v * 5) +
                       0.3 * height_at(fine, cells, u * 13, v * 13);
            Terrain t = h < water_level          ? Water
                        : h < water_level + 0.04 ? Sand
                        : h < 0.62               ? Grass
                        : h < 0.74               ? Forest
                                                 : Rock;
            out += static_cast<char>(t);
        }
    }
    return out;
}

std::string map_thumbnail(std::string_view map) {
    if (map.size() < header_size) return {};
    unsigned width = get16(map, 6), height = get16(map, 8);
    size_t tiles = header_size + static_cast<unsigned char>(map[11]);
    if (width == 0 || height == 0 || map.size() < tiles + size_t(width) * height) return {};
    static const unsigned char palette[][3] = {
        {38, 84, 124}, {214, 196, 140}, {92, 140, 70}, {44, 92, 52}, {128, 122, 116}};
    const int side = 64;
    std::vector<unsigned char> pixels(side * side * 3);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            unsigned tx = x * width / side, ty = y * height / side;
            unsigned char t = static_cast<unsigned char>(map[tiles + ty * width + tx]);
            if (t > Rock) t = Rock;
            for (int c = 0; c < 3; ++c) pixels[(y * side + x) * 3 + c] = palette[t][c];
        }
    }
    std::string png;
    stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                                       static_cast<size_t>(size));
        },
        &png, side, side, 3, pixels.data(), side * 3);
    return png;
}

std::string demo_news() {
    std::string out = "{\"news\":[\n";
    bool first = true;
    for (const auto& item : news_items) {
        if (!first) out += ",\n";
        first = false;
        out += "  {\"title\":";
        json::write_json_string(out, item.title);
        out += ",\"date\":";
        json::write_json_string(out, item.date);
        out += ",\"body\":";
        json::write_json_string(out, item.body);
        out += "}";
    }
    out += "\n]}\n";
    return out;
}

std::string seed_demo(Server& server, std::vector<std::string>& lines) {
    int64_t ids[std::size(demo_accounts)] = {};
    for (size_t i = 0; i < std::size(demo_accounts); ++i) {
        std::string error;
        ids[i] = account_create(server, demo_accounts[i].email, demo_password,
                                demo_accounts[i].name, error);
        if (!ids[i]) return std::string("seed: ") + demo_accounts[i].email + ": " + error;
    }
    int64_t now = server_now(server);
    uint32_t seed = 1;
    for (const auto& m : demo_maps) {
        // Older versions are published first, a few days apart, so the catalogue shows the
        // version count and the latest publication time.
        for (int v = 0; v < m.versions; ++v) {
            Map_Input input;
            input.author_id = ids[m.author];
            input.name = m.name;
            input.description = m.description;
            input.file = generated_map(seed++, m.name);
            input.thumb = map_thumbnail(input.file);
            input.at = now - int64_t(m.age_days) * 86400 + int64_t(v) * 3 * 86400 -
                       int64_t(m.versions - 1) * 3 * 86400;
            input.downloads = m.downloads;
            input.likes = m.likes;
            Map_Row row;
            std::string error = map_publish(server, input, row);
            if (!error.empty()) return std::string("seed: ") + m.name + ": " + error;
        }
    }
    // The operator's own news file is never replaced.
    std::string existing;
    if (!read_file(server.news_path, existing) && !write_file_atomic(server.news_path, demo_news()))
        return "seed: can't write " + server.news_path;

    lines.push_back(std::string("demo account: ") + demo_email + " / " + demo_password);
    lines.push_back("seeded " + std::to_string(std::size(demo_accounts)) + " accounts, " +
                    std::to_string(std::size(demo_maps)) + " maps and " +
                    std::to_string(std::size(news_items)) + " news items");
    return "";
}

}  // namespace server
