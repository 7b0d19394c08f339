// The development backend: its options, its state, and the router that turns one request into
// one reply.
//
// Depends on the store (store/store.h) and the handler modules (accounts, maps, static_files).
// The data folder holds files/ (release blobs and envelopes, map files and thumbnails),
// news.json and, unless --database names a PostgreSQL server, the SQLite file tarnwick.db.
// Several instances may share one data folder and one PostgreSQL database: all shared state is
// in the database and files are written under a temporary name, then renamed. Limits: JSON
// bodies up to 1 MiB, whole requests up to 16 MiB (enforced by the HTTP layer from the head).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/hash_slots.h"
#include "server/list_cache.h"
#include "server/log.h"
#include "server/request.h"
#include "server/store/store.h"

namespace server {

constexpr size_t json_body_limit = 1 << 20;
constexpr size_t request_limit = 16 << 20;
constexpr size_t map_file_limit = 8 << 20;
constexpr size_t thumb_limit = 1 << 20;
constexpr int64_t refresh_lifetime = 30 * 24 * 3600;

struct Options {
    std::string data_dir;
    std::string database;  // a PostgreSQL URL; empty: DATA/tarnwick.db
    std::string host = "127.0.0.1";
    int port = -1;  // -1: no --listen, only the admin work (seed, ban) is done
    int64_t token_lifetime = 3600;
    bool seed = false;
    bool help = false;       // --help: print the usage, nothing else
    // Peers whose X-Real-IP names the client (the proxies in front); empty: none.
    std::vector<std::string> trusted_proxies;
    size_t per_address_connections = 128;
    // Where /metrics, /healthz and /readyz are served; -1: nowhere.
    std::string admin_host = "127.0.0.1";
    int admin_port = -1;
    bool fast_hash = false;  // minimum Argon2id limits: for tests only
    int challenge_bits = 20;  // work a sign-in challenge asks for (challenges.h); tests ask less
    std::vector<std::string> ban;
    std::vector<std::string> unban;
};

struct Server {
    Options options;
    Store store;
    bool created = false;     // the database was new at server_open
    std::string files_dir;    // canonical path of DATA/files
    std::string news_path;    // DATA/news.json
    std::string dummy_hash;   // verified against when an email is unknown, so timing says nothing
    std::atomic<int64_t> last_prune{0};
    Hash_Slots hash_slots;
    List_Cache map_lists;  // the map list's first pages (list_cache.h)
    std::function<int64_t()> clock;  // Unix seconds; tests replace it
    // Unix milliseconds, for what must keep the order of events within one second. Unset: the
    // seconds clock's second when that was replaced (tests), else the system clock.
    std::function<int64_t()> clock_ms;
    std::string challenge_key;  // seals sign-in challenges (challenges.h), shared by instances
    Log_Sink log = log_to_stderr;
};

// Creates the data folder's layout and opens the database. Returns an error text, empty on
// success.
std::string server_open(Server& server, const Options& options);

int64_t server_now(Server& server);
int64_t server_now_ms(Server& server);

// Deletes what can never be accepted again: expired tokens, the tokens of ended sign-ins, used
// refresh tokens once their sign-in is over, sign-ins with no token left, and stale limiter counts.
// `handle` calls it at most once a minute. False when the store failed.
bool server_prune(Server& server, int64_t now);

// Routes one request to its handler. Never throws for bad input.
Reply handle(Server& server, const Request& request);

// The routes answered without the database (static files, news, the account page, and a map
// list page still in memory): answered into `reply` and true, or false for every other request.
// `handle` starts with it.
bool handle_without_store(Server& server, const Request& request, Reply& reply);

}  // namespace server
