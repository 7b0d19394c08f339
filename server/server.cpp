#include "server/server.h"

#include <chrono>
#include <climits>
#include <cstdlib>

#include "server/accounts.h"
#include "server/challenges.h"
#include "server/devices.h"
#include "server/files.h"
#include "server/maps.h"
#include "server/rate_limit.h"
#include "server/static_files.h"
#include "server/tokens.h"

namespace server {

namespace {

bool is_digits(std::string_view text) {
    if (text.empty() || text.size() > 18) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool is_json_endpoint(std::string_view path) {
    return path.substr(0, 9) == "/v1/auth/" || path == "/v1/me";
}

Reply wrong_method() { return error_reply(405, "method_not_allowed"); }

}  // namespace

std::string server_open(Server& server, const Options& options) {
    server.options = options;
    if (!server.clock_ms && server.clock) {
        server.clock_ms = [clock = server.clock] { return clock() * 1000; };
    } else if (!server.clock_ms) {
        server.clock_ms = [] {
            return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::system_clock::now().time_since_epoch())
                                            .count());
        };
    }
    if (!server.clock) server.clock = [clock_ms = server.clock_ms] { return clock_ms() / 1000; };
    if (!crypto_ready()) return "libsodium can't be initialised";
    if (options.data_dir.empty()) return "no data folder given";
    if (!make_dirs(options.data_dir + "/files/maps") ||
        !make_dirs(options.data_dir + "/files/blobs") ||
        !make_dirs(options.data_dir + "/files/releases"))
        return "can't create the data folder " + options.data_dir;
    char* real = ::realpath((options.data_dir + "/files").c_str(), nullptr);
    if (!real) return "can't resolve " + options.data_dir + "/files";
    server.files_dir = real;
    std::free(real);
    server.news_path = options.data_dir + "/news.json";

    std::string database =
        options.database.empty() ? options.data_dir + "/tarnwick.db" : options.database;
    std::string error = store_open(server.store, database, server.created);
    if (!error.empty()) return error;
    {
        Lease db(server.store);
        if (!challenge_key_load(db, server.challenge_key)) return "can't read the challenge key";
    }
    // A hash with the same cost as real ones, so an unknown email takes as long as a wrong
    // password and sign-in timing does not reveal who has an account.
    if (!password_hash(new_token(), options.fast_hash, server.dummy_hash))
        return "can't hash passwords";
    return "";
}

int64_t server_now(Server& server) { return server.clock(); }
int64_t server_now_ms(Server& server) { return server.clock_ms(); }

bool server_prune(Server& server, int64_t now) {
    Lease db(server.store);
    return accounts_prune(db, now) && limiter_prune(db, now) && devices_prune(db, now);
}

bool handle_without_store(Server& server, const Request& request, Reply& reply) {
    const std::string& path = request.path;
    bool get = request.method == "GET";
    if (path.substr(0, 7) == "/files/")
        reply = get ? static_file(server, std::string_view(path).substr(7)) : wrong_method();
    else if (path == "/news.json")
        reply = get ? news_file(server) : wrong_method();
    else if (path.starts_with("/news.") && path.ends_with(".json") && path.size() > 11)
        reply = get ? news_file(server, std::string_view(path).substr(6, path.size() - 11)) : wrong_method();
    else if (path == "/account.html")
        reply = get ? account_page() : wrong_method();
    else
        return get && path == "/v1/maps" && maps_list_cached(server, request, reply);
    return true;
}

Reply handle(Server& server, const Request& request) {
    Reply files;
    if (handle_without_store(server, request, files)) return files;
    int64_t now = server_now(server), last = server.last_prune.load();
    if (now - last >= 60 && server.last_prune.compare_exchange_strong(last, now) &&
        !server_prune(server, now))
        server.log("prune: the store failed");
    const std::string& path = request.path;
    const std::string& method = request.method;
    bool get = method == "GET", post = method == "POST";

    if (is_json_endpoint(path) && request.body.size() > json_body_limit)
        return error_reply(413, "too_big");
    if (path == "/v1/auth/register") return post ? auth_register(server, request) : wrong_method();
    if (path == "/v1/auth/login") return post ? auth_login(server, request) : wrong_method();
    if (path == "/v1/auth/refresh") return post ? auth_refresh(server, request) : wrong_method();
    if (path == "/v1/auth/logout") return post ? auth_logout(server, request) : wrong_method();
    if (path == "/v1/me") return method == "PATCH" ? me_rename(server, request) : wrong_method();

    if (path == "/v1/maps") {
        if (get) return maps_list(server, request);
        if (post) return maps_upload(server, request);
        return wrong_method();
    }
    std::string_view rest = path;
    if (rest.substr(0, 9) == "/v1/maps/" && rest.size() > 18 &&
        rest.substr(rest.size() - 9) == "/download") {
        std::string_view id_text = rest.substr(9, rest.size() - 18);
        if (is_digits(id_text)) {
            if (!get) return wrong_method();
            return maps_download(server, std::stoll(std::string(id_text)));
        }
    }
    return error_reply(404, "not_found");
}

}  // namespace server
