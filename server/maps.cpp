#include "server/maps.h"

#include <sys/stat.h>
#include <unistd.h>

#include "backend/json.h"
#include "server/accounts.h"
#include "server/files.h"
#include "server/tokens.h"
#include "server/validate.h"

namespace server {

namespace {

constexpr int64_t list_limit = 60;
constexpr size_t search_limit = 256;

bool starts_with(std::string_view bytes, std::string_view prefix) {
    return bytes.substr(0, prefix.size()) == prefix;
}

constexpr std::string_view map_magic = "TNWM";
constexpr std::string_view png_magic = "\x89PNG\r\n\x1a\n";

// Writes a content-addressed file unless an identical one is already there.
bool store(const std::string& path, std::string_view bytes) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<size_t>(st.st_size) == bytes.size())
        return true;
    return write_file_atomic(path, bytes);
}

// A map shared again under its name keeps the file of the version before (a player may have
// just been told to download it) and drops the one before that, once no map of any author uses
// those bytes any longer. So a map holds at most two files however often it is shared. After
// the commit, so a failure leaves a stray file at worst, never a catalogue row without its file.
void drop_unused_files(Server& server, Lease& db, const std::string& sha) {
    if (sha.size() != 64 || sha.find_first_not_of("0123456789abcdef") != std::string::npos) return;
    Query used(db, "SELECT COUNT(*) FROM maps WHERE file_sha256 = ? OR previous_sha256 = ?");
    used.bind(sha).bind(sha);
    if (!used.row() || used.integer(0) != 0) return;
    std::string base = server.files_dir + "/maps/" + sha;
    ::unlink((base + ".tnw").c_str());
    ::unlink((base + ".png").c_str());
}

const char* const list_columns =
    "SELECT m.id, m.name, m.description, a.name, m.file_sha256, m.size_bytes, m.downloads, "
    "m.likes, m.version, m.has_thumb FROM maps m JOIN accounts a ON a.id = m.author_id ";

Map_Row read_row(Query& s) {
    Map_Row m;
    m.id = s.integer(0);
    m.name = s.text(1);
    m.description = s.text(2);
    m.author = s.text(3);
    m.file_sha256 = s.text(4);
    m.size_bytes = s.integer(5);
    m.downloads = s.integer(6);
    m.likes = s.integer(7);
    m.version = s.integer(8);
    m.has_thumb = s.integer(9) != 0;
    return m;
}

bool parse_id(std::string_view text, int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + (c - '0');
    }
    return true;
}

}  // namespace

std::string map_json(const Map_Row& m) {
    std::string out = "{\"id\":" + std::to_string(m.id) + ",\"name\":";
    json::write_json_string(out, m.name);
    out += ",\"description\":";
    json::write_json_string(out, m.description);
    out += ",\"author\":{\"name\":";
    json::write_json_string(out, m.author);
    out += "},\"file_sha256\":";
    json::write_json_string(out, m.file_sha256);
    out += ",\"size_bytes\":" + std::to_string(m.size_bytes);
    out += ",\"downloads\":" + std::to_string(m.downloads);
    out += ",\"likes\":" + std::to_string(m.likes);
    out += ",\"version\":" + std::to_string(m.version);
    if (m.has_thumb) out += ",\"thumbnail\":\"/files/maps/" + m.file_sha256 + ".png\"";
    out += "}";
    return out;
}

namespace {

struct List_Query {
    const char* order = nullptr;  // the ORDER BY clause of the sort
    int64_t limit = list_limit;
    std::string q;                // trimmed, as the client sent it
    std::string cache_key;        // the sort and limit, for a page without a search
};

// False for a request the list refuses (400).
bool read_list_query(const Request& request, List_Query& out) {
    std::string sort = "new", limit_text;
    query_value(request, "sort", sort);
    query_value(request, "q", out.q);
    if (sort == "new") out.order = "ORDER BY m.updated_at DESC, m.id DESC ";
    if (sort == "popular") out.order = "ORDER BY m.downloads DESC, m.id DESC ";
    if (sort == "liked") out.order = "ORDER BY m.likes DESC, m.id DESC ";
    if (!out.order) return false;

    if (query_value(request, "limit", limit_text)) {
        // More than the cap is not an error: the launcher and others just get the first 60.
        if (limit_text.size() > 6 || !parse_id(limit_text, out.limit) || out.limit < 1)
            return false;
        if (out.limit > list_limit) out.limit = list_limit;
    }
    std::string& q = out.q;
    while (!q.empty() && q.front() == ' ') q.erase(q.begin());
    while (!q.empty() && q.back() == ' ') q.pop_back();
    if (q.size() > search_limit) return false;
    out.cache_key = sort + " " + std::to_string(out.limit);
    return true;
}

}  // namespace

bool maps_list_cached(Server& server, const Request& request, Reply& reply) {
    List_Query query;
    std::string body;
    if (!read_list_query(request, query) || !query.q.empty() ||
        !list_cache_get(server.map_lists, query.cache_key, server_now_ms(server), body))
        return false;
    reply = json_reply(200, std::move(body));
    return true;
}

Reply maps_list(Server& server, const Request& request) {
    List_Query query;
    if (!read_list_query(request, query)) return error_reply(400, "bad_request");
    std::string_view order = query.order;

    // A search compares ASCII-folded text: instr() rather than LIKE, so "%" and "_" in it are
    // plain characters; on PostgreSQL strpos() under the "C" collation, whose lower() folds
    // ASCII only, like SQLite's.
    std::string sqlite_sql = std::string(list_columns) +
        "WHERE a.banned = 0 AND (?1 = '' OR instr(lower(m.name), ?1) > 0 "
        "OR instr(lower(m.description), ?1) > 0 OR instr(lower(a.name), ?1) > 0) " +
        std::string(order) + "LIMIT ?2";
    std::string postgres_sql = std::string(list_columns) +
        "WHERE a.banned = 0 AND ($1 = '' OR strpos(lower(m.name COLLATE \"C\"), $1) > 0 "
        "OR strpos(lower(m.description COLLATE \"C\"), $1) > 0 "
        "OR strpos(lower(a.name COLLATE \"C\"), $1) > 0) " + std::string(order) + "LIMIT $2";

    uint64_t generation = list_cache_generation(server.map_lists);
    int64_t read_at = server_now_ms(server);
    std::string body = "{\"maps\":[";
    {
        Lease db(server.store);
        Query s(db, sqlite_sql.c_str(), postgres_sql.c_str());
        s.bind(fold(query.q)).bind(query.limit);
        bool first = true;
        while (s.row()) {
            if (!first) body += ",";
            first = false;
            body += map_json(read_row(s));
        }
        if (s.failed) return error_reply(500, "server_error");
    }
    body += "]}";
    if (query.q.empty()) list_cache_put(server.map_lists, query.cache_key, generation, read_at, body);
    return json_reply(200, std::move(body));
}

Reply maps_download(Server& server, int64_t id) {
    Lease db(server.store);
    Query s(db,
            "UPDATE maps SET downloads = downloads + 1 WHERE id = ? AND author_id IN "
           "(SELECT id FROM accounts WHERE banned = 0) RETURNING file_sha256");
    s.bind(id);
    if (!s.row()) return s.failed ? error_reply(500, "server_error") : error_reply(404, "not_found");
    std::string sha = s.text(0);
    list_cache_forget(server.map_lists);  // its download count changed
    std::string url = "/files/maps/" + sha + ".tnw";
    std::string body = "{\"url\":";
    json::write_json_string(body, url);
    body += ",\"sha256\":";
    json::write_json_string(body, sha);
    body += "}";
    return json_reply(200, std::move(body));
}

Reply maps_upload(Server& server, const Request& request) {
    int64_t author = 0;
    Reply refusal;
    if (!bearer(server, request, author, refusal)) return refusal;
    if (!request.multipart) return error_reply(400, "bad_request");

    const Part* name = find_part(request, "name");
    const Part* file = find_part(request, "file");
    const Part* thumb = find_part(request, "thumb");
    if (file && file->content.size() > map_file_limit) return error_reply(413, "too_big");
    if (thumb && thumb->content.size() > thumb_limit) return error_reply(413, "too_big");
    if (!name || !name_ok(name->content)) return error_reply(400, "bad_name");
    if (!file || !starts_with(file->content, map_magic)) return error_reply(400, "bad_file");

    Map_Input input;
    input.author_id = author;
    input.name = name->content;
    input.file = file->content;
    // A thumbnail that is not a PNG is left out rather than served under a PNG name; the map
    // itself is still shared.
    if (thumb && starts_with(thumb->content, png_magic)) input.thumb = thumb->content;
    input.at = server_now(server);
    Map_Row row;
    std::string error = map_publish(server, input, row);
    if (!error.empty()) {
        server.log("maps: " + error);
        return error_reply(500, "server_error");
    }
    return json_reply(201, "{\"map\":" + map_json(row) + "}");
}

std::string map_publish(Server& server, const Map_Input& input, Map_Row& out) {
    std::string sha = sha256_hex(input.file);
    std::string base = server.files_dir + "/maps/" + sha;
    if (!make_dirs(server.files_dir + "/maps")) return "can't create the maps folder";
    // Files first: a catalogue row must never point at a file that is not there.
    if (!store(base + ".tnw", input.file)) return "can't write the map file";
    if (!input.thumb.empty() && !store(base + ".png", input.thumb))
        return "can't write the thumbnail";

    Lease db(server.store);
    Tx tx(db);
    if (!tx.open()) return "can't start a transaction";
    int64_t id = 0;
    std::string current_sha, dropped_sha;
    {
        Query find(db,
                   "SELECT id, file_sha256, previous_sha256 FROM maps WHERE author_id = ? AND "
                   "name_key = ?");
        find.bind(input.author_id).bind(fold(input.name));
        if (find.row()) {
            id = find.integer(0);
            current_sha = find.text(1);
            dropped_sha = find.text(2);
        }
        if (find.failed) return "can't read the catalogue";
    }
    // The same bytes shared again keep the version before as it was.
    std::string previous_sha = current_sha == sha ? dropped_sha : current_sha;
    if (current_sha == sha) dropped_sha.clear();
    if (id) {
        Query up(db,
                 "UPDATE maps SET name = ?, file_sha256 = ?, previous_sha256 = ?, size_bytes = ?, "
                 "has_thumb = ?, version = version + 1, updated_at = ? WHERE id = ?");
        up.bind(input.name).bind(sha).bind(previous_sha)
            .bind(static_cast<int64_t>(input.file.size())).bind(input.thumb.empty() ? 0 : 1)
            .bind(input.at).bind(id);
        if (!up.done()) return "can't update the map";
    } else {
        Query add(db,
                  "INSERT INTO maps (author_id, name, name_key, description, file_sha256, "
                  "size_bytes, has_thumb, downloads, likes, created_at, updated_at) "
                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id");
        add.bind(input.author_id).bind(input.name).bind(fold(input.name)).bind(input.description)
            .bind(sha).bind(static_cast<int64_t>(input.file.size()))
            .bind(input.thumb.empty() ? 0 : 1).bind(input.downloads).bind(input.likes)
            .bind(input.at).bind(input.at);
        // Another instance adding the same author's map of that name at the same moment
        // breaks the unique key: sharing again then makes it a new version.
        if (!add.row()) return add.unique ? "the map was shared twice at once; share it again"
                                          : "can't add the map";
        id = add.integer(0);
    }
    {
        std::string sql = std::string(list_columns) + "WHERE m.id = ?";
        Query s(db, sql.c_str());
        s.bind(id);
        if (!s.row()) return "can't read the map back";
        out = read_row(s);
    }
    if (!tx.commit()) return "can't commit the map";
    list_cache_forget(server.map_lists);
    if (!dropped_sha.empty() && dropped_sha != sha) drop_unused_files(server, db, dropped_sha);
    // Another instance may have dropped these very files as unused between our writing them and
    // our commit (it replaced a map of the same bytes): write them again then.
    if (!store(base + ".tnw", input.file)) return "can't write the map file";
    if (!input.thumb.empty() && !store(base + ".png", input.thumb))
        return "can't write the thumbnail";
    return "";
}

}  // namespace server
