#include "launcher/device_tokens.h"

#include <vector>

#include "backend/json.h"
#include "paths/paths.h"
#include "platform/files.h"

namespace launcher {

namespace {

struct Kept {
    std::string email;
    std::string token;
};

// The backend folds emails to ASCII lower case; so does this list.
std::string fold(std::string_view email) {
    std::string out(email);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

// A file that is missing or damaged is an empty list: the next sign-in simply counts as a
// new device.
std::vector<Kept> load_all() {
    std::vector<Kept> out;
    std::string bytes;
    if (!platform::read_file(paths::user_dir("devices.json"), bytes) || bytes.size() > 64 * 1024) return out;
    json::Value root;
    if (!json::parse(bytes, root)) return out;
    json::members(root, [&](std::string_view k, json::Value list) {
        if (k != "devices") return true;
        return json::elements(list, [&](json::Value item) {
            Kept kept;
            json::members(item, [&](std::string_view k2, json::Value v) {
                if (k2 == "email") json::get(v, kept.email);
                if (k2 == "token") json::get(v, kept.token);
                return true;
            });
            if (!kept.email.empty() && !kept.token.empty() && out.size() < device_tokens_kept) out.push_back(kept);
            return true;
        });
    });
    return out;
}

}  // namespace

std::string device_token_load(std::string_view email) {
    std::string key = fold(email);
    for (const Kept& k : load_all())
        if (k.email == key) return k.token;
    return {};
}

void device_token_save(std::string_view email, std::string_view token) {
    if (token.empty() || email.empty()) return;
    std::vector<Kept> list = load_all();
    std::vector<Kept> kept{{fold(email), std::string(token)}};
    for (Kept& k : list)
        if (k.email != kept[0].email && kept.size() < device_tokens_kept) kept.push_back(std::move(k));
    std::string body = "{\"devices\":[";
    for (size_t i = 0; i < kept.size(); ++i) {
        body += i ? ",{\"email\":" : "{\"email\":";
        json::write_json_string(body, kept[i].email);
        body += ",\"token\":";
        json::write_json_string(body, kept[i].token);
        body += '}';
    }
    body += "]}";
    // Owner-only and replaced whole, like the saved sign-in: a token vouches for this device.
    platform::write_file_atomic(paths::user_dir("devices.json"), body, nullptr, 0600);
}

}  // namespace launcher
