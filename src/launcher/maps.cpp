// The map catalogue (list request and answer), downloads into the local map store, and the
// dispatch of every maps answer. Sharing lives in map_sharing.cpp, the tab in maps_tab.cpp.
//
// Index:
//   Sorts and the message line   sort_word, sort_label, maps_say, maps_clear, maps_destroy
//   Text helpers                 next_rune, trim_space, url_encode, lower_rune, map_stem
//   Catalogue                    decode_l, maps_refresh, on_list
//   Downloads                    local_map_path, maps_download, decode_d, on_descriptor, on_file
//   Dispatch                     maps_on_response
#include "launcher/maps.h"

#include "backend/json.h"
#include "backend/release.h"
#include "backend/requests.h"
#include "paths/paths.h"
#include "platform/files.h"

#include <cstdio>
#include <cstring>

namespace launcher {

// Sorts and the message line ------------------------------------------------------------------

const char* sort_word(Map_Sort s) {
    switch (s) {
    case Map_Sort::Popular: return "popular";
    case Map_Sort::Liked: return "liked";
    case Map_Sort::New: break;
    }
    return "new";
}

const char* sort_label(Map_Sort s) {
    switch (s) {
    case Map_Sort::Popular: return N_("Popular");
    // TRANSLATORS: a sort order of the map list; the toggle is 120 pixels wide.
    case Map_Sort::Liked: return N_("Most liked");
    case Map_Sort::New: break;
    }
    return N_("Newest");
}

void maps_say(Maps_State& m, std::string_view text, bool ok) {
    try {
        m.message.assign(text);
    } catch (const std::bad_alloc&) {
        std::string().swap(m.message);
    }
    m.message_ok = ok;
}

void maps_clear(Maps_State& m) { m.maps.clear(); }

void maps_destroy(Maps_State& m) {
    thumbnails_clear(m.thumbs);
    std::vector<Map_Entry>().swap(m.maps);
    m = Maps_State{};
}

// Text helpers --------------------------------------------------------------------------------

// Decodes the UTF-8 rune at s[i] and advances i past it. A byte that does not start a whole,
// well-formed rune (overlong forms and surrogates included) is one rune of its own: -1.
static int32_t next_rune(std::string_view s, size_t& i) {
    unsigned c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 1) {
        ++i;
        return int32_t(c);
    }
    if (n == 0 || i + n > s.size()) {
        ++i;
        return -1;
    }
    int32_t r = int32_t(c & (0x7F >> n));
    for (size_t k = 1; k < n; ++k) {
        unsigned b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return -1;
        }
        r = (r << 6) | int32_t(b & 0x3F);
    }
    static const int32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (r < smallest[n] || r > 0x10FFFF || (r >= 0xD800 && r <= 0xDFFF)) {
        ++i;
        return -1;
    }
    i += n;
    return r;
}

// Unicode's White_Space property.
static bool is_white_space(int32_t r) {
    return (r >= 0x09 && r <= 0x0D) || r == 0x20 || r == 0x85 || r == 0xA0 || r == 0x1680 ||
           (r >= 0x2000 && r <= 0x200A) || r == 0x2028 || r == 0x2029 || r == 0x202F || r == 0x205F ||
           r == 0x3000;
}

std::string_view trim_space(std::string_view text) {
    size_t begin = text.size(), end = 0;
    for (size_t i = 0; i < text.size();) {
        size_t at = i;
        if (is_white_space(next_rune(text, i))) continue;
        if (begin == text.size()) begin = at;
        end = i;
    }
    return begin < end ? text.substr(begin, end - begin) : std::string_view{};
}

std::string url_encode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                     c == '.' || c == '_' || c == '~';
        if (plain) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Simple (one-to-one) Unicode lower-casing for the scripts map names are written in: Latin-1,
// Latin Extended-A, Greek, Cyrillic, fullwidth Latin, and the few letters outside those whose
// lower case is ASCII (Kelvin sign, capital I with dot), which decide what a stem keeps.
static int32_t lower_rune(int32_t r) {
    if (r >= 'A' && r <= 'Z') return r + 32;
    if (r < 0xC0) return r;
    if ((r >= 0xC0 && r <= 0xDE && r != 0xD7)) return r + 32;
    if (r == 0x130) return 'i';
    if (r == 0x178) return 0xFF;
    if ((r >= 0x100 && r <= 0x12F) || (r >= 0x132 && r <= 0x137) || (r >= 0x14A && r <= 0x177))
        return (r % 2 == 0) ? r + 1 : r;
    if ((r >= 0x139 && r <= 0x148) || (r >= 0x179 && r <= 0x17E)) return (r % 2 == 1) ? r + 1 : r;
    if (r == 0x386) return 0x3AC;
    if (r >= 0x388 && r <= 0x38A) return r + 37;
    if (r == 0x38C) return 0x3CC;
    if (r == 0x38E || r == 0x38F) return r + 63;
    if ((r >= 0x391 && r <= 0x3A1) || (r >= 0x3A3 && r <= 0x3AB)) return r + 32;
    if (r >= 0x400 && r <= 0x40F) return r + 80;
    if (r >= 0x410 && r <= 0x42F) return r + 32;
    if ((r >= 0x460 && r <= 0x481) || (r >= 0x48A && r <= 0x4BF) || (r >= 0x4D0 && r <= 0x52F))
        return (r % 2 == 0) ? r + 1 : r;
    if (r == 0x4C0) return 0x4CF;
    if (r >= 0x4C1 && r <= 0x4CE) return (r % 2 == 1) ? r + 1 : r;
    if (r == 0x2126) return 0x3C9;   // Ohm sign
    if (r == 0x212A) return 'k';     // Kelvin sign
    if (r == 0x212B) return 0xE5;    // Angstrom sign
    if (r >= 0xFF21 && r <= 0xFF3A) return r + 32;
    return r;
}

std::string map_stem(std::string_view name) {
    std::string stem;
    for (size_t i = 0; i < name.size();) {
        int32_t r = lower_rune(next_rune(name, i));
        if ((r >= 'a' && r <= 'z') || (r >= '0' && r <= '9')) stem += char(r);
        else if (r == ' ' || r == '-' || r == '_') stem += '_';   // runs stay runs: "a  b" is "a__b"
    }
    if (stem.empty()) stem = "map";
    return stem;
}

// Catalogue -----------------------------------------------------------------------------------

static bool decode_entry(json::Value v, Map_Entry& e) {
    return json::members(v, [&](std::string_view k, json::Value x) {
        if (k == "id") return json::get(x, e.id);
        if (k == "name") return json::get(x, e.name);
        if (k == "description") return json::get(x, e.description);
        if (k == "author")
            return x.is_null() || json::members(x, [&](std::string_view k2, json::Value y) {
                       return k2 == "name" ? json::get(y, e.author.name) : true;
                   });
        if (k == "file_sha256") return json::get(x, e.file_sha256);
        if (k == "size_bytes") return json::get(x, e.size_bytes);
        if (k == "downloads") return json::get(x, e.downloads);
        if (k == "likes") return json::get(x, e.likes);
        if (k == "version") return json::get(x, e.version);
        if (k == "thumbnail") return json::get(x, e.thumbnail);
        return true;
    });
}

bool decode_l(std::string_view body, L& out) {
    json::Value root;
    if (!json::parse(body, root)) return false;
    return json::members(root, [&](std::string_view k, json::Value v) {
        if (k != "maps") return true;
        return json::elements(v, [&](json::Value item) {
            Map_Entry e;
            if (!decode_entry(item, e)) return false;
            // Entries past the number asked for are checked but not kept: a hostile answer of a
            // million entries must cost neither memory nor a list too long to lay out.
            if (out.maps.size() < map_list_limit) out.maps.push_back(std::move(e));
            return true;
        });
    });
}

static bool success(const backend::Response& r) { return r.status >= 200 && r.status <= 299; }

void maps_refresh(Maps_State& m, backend::Client& api) {
    m.listed = true;
    if (!api.ready) {
        // A request queued on a client without a worker would never be answered, leaving "..."
        // on screen for good.
        m.list_id = 0;
        maps_say(m, tr(msg_list_failed), false);
        return;
    }
    std::string_view search(m.search, strnlen(m.search, sizeof m.search));
    std::string q = url_encode(trim_space(search));
    const char* word = sort_word(m.sort);
    std::string path(std::strlen(backend::req_map_list.path) + std::strlen(word) + q.size(), '\0');
    int n = std::snprintf(path.data(), path.size() + 1, backend::req_map_list.path, word, q.c_str());
    path.resize(size_t(n));
    m.list_id = backend::request_typed(api, backend::req_map_list.method, path);
}

static void on_list(Maps_State& m, const backend::Response& r) {
    if (!success(r)) {
        maps_say(m, tr(msg_list_failed), false);
        return;
    }
    L answer;
    if (!decode_l(r.body, answer)) return;   // a garbled answer leaves the list as it was
    maps_clear(m);
    for (Map_Entry& e : answer.maps) m.maps.push_back(std::move(e));
}

// Downloads -----------------------------------------------------------------------------------

std::string local_map_path(std::string_view name) {
    std::string folder = paths::user_dir("maps");
    platform::make_dirs(folder);   // a failure shows up when the map is saved
    return platform::join_path(folder, map_stem(name) + ".tnw");
}

bool maps_busy(const Maps_State& m) { return m.info_id != 0 || m.file_id != 0; }

void maps_download(Maps_State& m, backend::Client& api, const Map_Entry& entry) {
    m.downloading = entry;
    char path[64];
    std::snprintf(path, sizeof path, "/v1/maps/%lld/download", static_cast<long long>(entry.id));
    m.info_id = backend::request_typed(api, backend::req_map_download.method, path);
}

bool decode_d(std::string_view body, D& out) {
    json::Value root;
    if (!json::parse(body, root)) return false;
    return json::members(root, [&](std::string_view k, json::Value v) {
        if (k == "url") return json::get(v, out.url);
        if (k == "sha256") return json::get(v, out.sha256);
        return true;
    });
}

// The descriptor's url becomes the path of a request: it must stay below "/files/" and be a
// plain path, with no spaces or control bytes that could bend the request line, and no ".."
// segment that would climb out of "/files/" once the URL is normalised.
static bool file_url_ok(std::string_view url) {
    if (!url.starts_with("/files/")) return false;
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7F || c == '\\') return false;
    for (size_t at = 0; (at = url.find("..", at)) != std::string_view::npos; ++at) {
        bool starts = at > 0 && url[at - 1] == '/';
        bool ends = at + 2 == url.size() || url[at + 2] == '/' || url[at + 2] == '?' || url[at + 2] == '#';
        if (starts && ends) return false;
    }
    return true;
}

static void on_descriptor(Maps_State& m, backend::Client& files, const backend::Response& r) {
    D d;
    if (!success(r) || !decode_d(r.body, d) || !file_url_ok(d.url) || !files.ready) {
        maps_say(m, tr(msg_download_failed), false);
        return;
    }
    m.file_id = backend::request_typed(files, backend::req_map_file.method, d.url);
}

static void on_file(Maps_State& m, const backend::Response& r) {
    // The catalogue's digest must match exactly: digests travel as lower-case hex, so an
    // upper-case one in the catalogue never passes.
    bool intact = success(r) && backend::sha256_hex(r.body) == m.downloading.file_sha256 &&
                  r.body.starts_with("TNWM");
    if (!intact) {
        maps_say(m, tr(msg_damaged), false);
        return;
    }
    // Written as "<stem>.tnw.part" and moved over the map: a failed write keeps the map the
    // player already had instead of leaving half a file.
    std::string err;
    if (!platform::write_file_atomic(local_map_path(m.downloading.name), r.body, &err)) {
        // TRANSLATORS: %1$s is the system's reason.
        maps_say(m, fmt(tr("Couldn't save it (%1$s)."), {err.empty() ? tr("unknown error") : std::string_view(err)}), false);
        return;
    }
    // TRANSLATORS: %1$s is the map's name.
    maps_say(m, fmt(tr("%1$s is in your maps: pick it in Play offline, or host it."), {m.downloading.name}), true);
}

// Dispatch ------------------------------------------------------------------------------------

bool maps_on_response(Maps_State& m, backend::Client& api, backend::Client& files, const backend::Response& r) {
    if (r.id == 0) return false;
    if (r.id == m.list_id) {
        m.list_id = 0;
        on_list(m, r);
    } else if (r.id == m.info_id) {
        m.info_id = 0;
        on_descriptor(m, files, r);
    } else if (r.id == m.file_id) {
        m.file_id = 0;
        on_file(m, r);
    } else if (r.id == m.share_id) {
        m.share_id = 0;
        on_share_answer(m, api, r);
    } else if (!thumbnail_on_response(m.thumbs, r)) {
        return false;
    }
    return true;
}

}  // namespace launcher
