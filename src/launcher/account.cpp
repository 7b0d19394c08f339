#include "launcher/account.h"

#include "backend/json.h"
#include "paths/paths.h"
#include "platform/files.h"

namespace launcher {

std::string account_load() {
    std::string bytes;
    if (!platform::read_file(paths::user_dir("account.json"), bytes)) return {};
    json::Value root;
    std::string token;
    if (!json::parse(bytes, root)) return {};
    bool ok = json::members(root, [&](std::string_view k, json::Value v) {
        return k == "refresh_token" ? json::get(v, token) : true;
    });
    return ok ? token : std::string();
}

void account_save(std::string_view token) {
    std::string path = paths::user_dir("account.json");
    if (token.empty()) {
        platform::delete_file(path);
        return;
    }
    std::string body = "{\"refresh_token\":";
    json::write_json_string(body, token);
    body += '}';
    // Replaced whole through a .part file, so a crash mid-write never loses the saved sign-in;
    // owner-only, since it is a long-lived credential.
    platform::write_file_atomic(path, body, nullptr, 0600);
}

}  // namespace launcher
