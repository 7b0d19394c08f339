// maps: the player-made map catalogue, downloads into the local map store, and sharing the
// player's own maps; the Maps tab draws from this state (maps_tab.cpp).
//
// Depends on the backend client and session (requests go on the session's client; map files
// on the maps client), json, paths (the per-user "maps" folder) and platform files.
// Main thread only; nothing here blocks on the network. One list request, one download and
// one upload can be outstanding at a time; a newer list request supersedes an older one.
#pragma once
#include "backend/client.h"
#include "backend/session.h"
#include "lang/lang.h"
#include "launcher/thumbnails.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

namespace launcher {

enum class Map_Sort : uint8_t { New = 0, Popular = 1, Liked = 2 };

const char* sort_word(Map_Sort s);    // "new", "popular", "liked": the list query's sort=
const char* sort_label(Map_Sort s);   // "Newest", "Popular", "Most liked": the toggle, in English

struct Map_Author {
    std::string name;
};

// One catalogue map.
struct Map_Entry {
    int64_t id = 0;
    std::string name;
    std::string description;
    Map_Author author;
    std::string file_sha256;   // lower-case hex; compared byte for byte with the file's digest
    int64_t size_bytes = 0;
    int64_t downloads = 0;
    int64_t likes = 0;
    int64_t version = 0;
    std::string thumbnail = {};   // where the backend serves its picture ("/files/..."), or ""
};

// The number of maps a list request asks for (its "limit=60"), and the most an answer keeps.
inline constexpr size_t map_list_limit = 60;

// A successful list answer: at most map_list_limit entries, the first ones of the answer.
struct L {
    std::vector<Map_Entry> maps;
};

// A download descriptor: where the map file lives below the backend's "/files/".
struct D {
    std::string url;
    std::string sha256;
};

struct Maps_State {
    bool mine = false;            // false: Browse; true: My maps
    Map_Sort sort = Map_Sort::New;
    char search[48] = {};         // NUL-terminated, edited in place by the search box
    std::vector<Map_Entry> maps;  // the last list received
    uint64_t list_id = 0;
    bool listed = false;          // a list request was sent at least once
    uint64_t info_id = 0;         // outstanding download descriptor
    uint64_t file_id = 0;         // outstanding map file
    Map_Entry downloading;        // own copy: a list answer may replace `maps` mid-download
    uint64_t share_id = 0;        // outstanding upload
    std::string sharing;          // stem of the map being shared, for the success message
    std::string message;          // the Maps tab's message line; empty shows nothing
    bool message_ok = false;
    float scroll = 0;             // Browse list offset in pixels

    // Digests of the maps saved in the map store, by path, each with the size and last write it
    // was taken at: a row says "Update" only when the catalogue's file differs from the saved one.
    struct Saved { int64_t size = 0, mtime_ns = 0; std::string sha256; };
    std::unordered_map<std::string, Saved> saved;

    Thumbnails thumbs;            // the catalogue maps' pictures (thumbnails.h)

    // The Browse scrollbar while it is being dragged (it then holds the widget lock).
    bool dragging = false;
    float grab = 0;               // pointer offset from the thumb's top when the drag began
};

// Texts the player reads.
inline constexpr const char* msg_list_failed = N_("Couldn't load the maps.");
inline constexpr const char* msg_download_failed = N_("Couldn't download that map.");
inline constexpr const char* msg_damaged = N_("That map arrived damaged: try again.");
inline constexpr const char* msg_read_failed = N_("Couldn't read that map.");
inline constexpr const char* msg_share_failed = N_("Couldn't share that map.");
inline constexpr const char* msg_too_big = N_("That map is too big to share.");
inline constexpr const char* msg_bad_name =
    N_("That name isn't allowed: 3 to 32 letters, digits and spaces, nothing rude.");
inline constexpr const char* msg_bad_file = N_("That isn't a Tarnwick map.");

// Every upload uses this boundary; it is not checked against the content.
inline constexpr std::string_view map_boundary = "tnw-launcher-boundary-7f3a9c";
// A thumbnail larger than this goes unsent.
inline constexpr int64_t thumb_limit = 1048576;

// Message line --------------------------------------------------------------------------------
void maps_say(Maps_State& m, std::string_view text, bool ok);
// Empties the list, keeping its storage for the next answer.
void maps_clear(Maps_State& m);
// Frees everything and zeroes the record (its drag, if any, is simply forgotten).
void maps_destroy(Maps_State& m);

// Catalogue -----------------------------------------------------------------------------------
// Percent-encodes a query value: unreserved ASCII stays, every other byte becomes "%XX"
// (upper-case hex); a space is "%20", never "+".
std::string url_encode(std::string_view text);
// `text` without leading and trailing Unicode white space (U+00A0, U+2000..U+200A, U+3000, ...).
std::string_view trim_space(std::string_view text);
// Sends the list request for the current sort and search; its answer supersedes any older one.
void maps_refresh(Maps_State& m, backend::Client& api);
bool decode_l(std::string_view body, L& out);
bool decode_d(std::string_view body, D& out);

// Claims a response answering one of the maps requests and acts on it; false (and nothing
// done) when the response is not the maps subsystem's. `api` is the session's client, `files`
// the maps client. The caller still owns (and destroys) the response.
bool maps_on_response(Maps_State& m, backend::Client& api, backend::Client& files,
                      const backend::Response& r);

// Local map store -----------------------------------------------------------------------------
// The safe file stem of a map name: lower-cased rune by rune; a-z and 0-9 kept; space, '-' and
// '_' each become '_'; everything else (every non-ASCII rune, every invalid UTF-8 byte) dropped;
// "map" when nothing is left.
std::string map_stem(std::string_view name);
// The local file of a catalogue map of that name: "<stem>.tnw" in the per-user "maps" folder,
// which is created (with its parents) on every call.
std::string local_map_path(std::string_view name);
// Starts downloading `entry`: asks the API for its descriptor first.
void maps_download(Maps_State& m, backend::Client& api, const Map_Entry& entry);
// True when a download is in progress (every row button is then disabled).
bool maps_busy(const Maps_State& m);

// Sharing -------------------------------------------------------------------------------------
// The display title of a stem: '_' and '-' become spaces; a lower-case ASCII letter at the
// start or after a space is capitalised. CR and LF bytes are dropped: the title travels inside
// the multipart body, where a line break could forge parts.
std::string map_title(std::string_view stem);
// Appends one file part of the multipart body: its header, the bytes, CR LF.
void file(std::string& body, std::string_view boundary, std::string_view field, std::string_view file_name,
          std::string_view content_type, std::string_view bytes);
// Reads the map at `path` (and "<same>.png" beside it when it is at most 1 MiB) and posts it
// with its title to the backend, on the session's client with the session's access token.
void upload_map(Maps_State& m, backend::Session& session, const std::string& path, std::string_view stem);
// The upload's answer, claimed by maps_on_response: the message, and a fresh list while Browse
// is shown so that the new map can appear in it.
void on_share_answer(Maps_State& m, backend::Client& api, const backend::Response& r);

}  // namespace launcher
