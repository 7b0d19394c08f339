#include "launcher/settings.h"

#include "backend/json.h"
#include "lang/lang.h"
#include "paths/paths.h"
#include "platform/files.h"
#include "platform/system.h"

namespace launcher {

static bool known_language(std::string_view code) {
    for (const lang::Language& l : lang::languages())
        if (l.code == code) return true;
    return false;
}

static bool offered_step(int64_t mb) {
    for (int step : download_limit_steps)
        if (step == mb) return true;
    return false;
}

Settings settings_load() {
    Settings s;
    std::string path = paths::user_dir("settings.json"), bytes;
    platform::File_Status st;
    // A settings file is a few hundred bytes: anything much larger is not one of ours.
    if (!platform::file_status(path, st) || !st.regular || st.size > 64 * 1024) return s;
    if (!platform::read_file(path, bytes)) return s;
    json::Value root;
    if (!json::parse(bytes, root)) return s;
    std::string dir, email, language;
    int64_t limit = 0;
    json::members(root, [&](std::string_view k, json::Value v) {
        if (k == "install_dir" && json::get(v, dir) && platform::is_absolute_path(dir)) s.install_dir = dir;
        if (k == "download_limit" && json::get(v, limit) && offered_step(limit)) s.download_limit = int(limit);
        if (k == "email" && json::get(v, email) && email.size() < 128) s.email = email;   // the form's room
        // A language this launcher has no catalogue for (written by another version) is ignored.
        if (k == "language" && json::get(v, language) && known_language(language)) s.language = language;
        return true;
    });
    return s;
}

bool settings_save(const Settings& s) {
    std::string body = "{\"install_dir\":";
    json::write_json_string(body, s.install_dir);
    body += ",\"download_limit\":" + std::to_string(s.download_limit);
    if (!s.email.empty()) {
        body += ",\"email\":";
        json::write_json_string(body, s.email);
    }
    if (!s.language.empty()) {
        body += ",\"language\":";
        json::write_json_string(body, s.language);
    }
    body += "}";
    return platform::write_file_atomic(paths::user_dir("settings.json"), body);
}

void settings_save_install_dir(const std::string& folder) {
    Settings s = settings_load();
    if (s.install_dir == folder) return;
    s.install_dir = folder;
    settings_save(s);
}

int64_t download_limit_bytes(int megabytes_per_second) {
    return megabytes_per_second > 0 ? int64_t(megabytes_per_second) * 1000000 : 0;
}

}  // namespace launcher
