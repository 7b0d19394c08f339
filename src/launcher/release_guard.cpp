#include "launcher/release_guard.h"

#include "backend/json.h"
#include "platform/files.h"

#include <cstdio>

namespace launcher {

namespace {

// A file of a few channels is a few hundred bytes; anything far larger is not ours.
constexpr int64_t seen_file_limit = 64 << 10;

// "2031-04-17" for a time in Unix seconds (days to civil date, proleptic Gregorian).
std::string utc_date(int64_t seconds) {
    int64_t z = (seconds >= 0 ? seconds : seconds - 86399) / 86400 + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2);
    char text[72];  // room for any 64-bit year, as the compiler checks
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day));
    return text;
}

int64_t highest(const Release_Seen& seen, std::string_view channel) {
    auto it = seen.find(channel);
    return it == seen.end() ? 0 : it->second;
}

}  // namespace

Release_Seen release_seen_decode(std::string_view bytes) {
    Release_Seen seen;
    json::Value root;
    if (!json::parse(bytes, root)) return seen;
    json::members(root, [&](std::string_view channel, json::Value v) {
        int64_t sequence = 0;
        if (json::get(v, sequence) && sequence > 0) seen[std::string(channel)] = sequence;
        return true;
    });
    return seen;
}

Release_Seen release_seen_load(std::string_view dir) {
    const std::string path = platform::join_path(dir, release_seen_name);
    platform::File_Status st;
    std::string bytes;
    // Checked first: a device or a huge file put here must not be read into memory.
    if (!platform::file_status(path, st) || !st.regular || st.size > seen_file_limit) return {};
    if (!platform::read_file(path, bytes) || int64_t(bytes.size()) > seen_file_limit) return {};
    return release_seen_decode(bytes);
}

std::string release_seen_encode(const Release_Seen& seen) {
    std::string out = "{";
    for (const auto& [channel, sequence] : seen) {
        if (out.size() > 1) out += ',';
        out += "\n\t";
        json::write_json_string(out, channel);
        out += ": " + std::to_string(sequence);
    }
    out += "\n}\n";
    return out;
}

bool release_seen_write(std::string_view dir, const Release_Seen& seen) {
    platform::make_dirs(std::string(dir));
    return platform::write_file_atomic(platform::join_path(dir, release_seen_name), release_seen_encode(seen));
}

std::string release_guard(const backend::Release_Manifest& m, std::string_view channel, const Release_Seen& seen,
                          int64_t now) {
    const std::string release = "release " + m.version;
    const std::string older = "older than one this launcher has already seen: not installing it.";
    if (m.expires > 0 && now >= m.expires)
        return "The update server sent " + release + ", which expired on " + utc_date(m.expires) +
               ": not installing it. Is this computer's clock right?";
    const int64_t top = highest(seen, channel);
    if (m.sequence == 0) {
        if (top == 0) return "";  // a release as publishers always made them
        return "The update server sent " + release + " without a release number, " + older;
    }
    if (m.channel != channel)
        return "The update server sent " + release + " of the " + m.channel + " channel for " + std::string(channel) +
               ": not installing it.";
    if (m.sequence < top)
        return "The update server sent " + release + ", " + older;
    return "";
}

bool release_seen_note(Release_Seen& seen, std::string_view channel, const backend::Release_Manifest& m) {
    if (m.sequence <= highest(seen, channel)) return false;
    seen[std::string(channel)] = m.sequence;
    return true;
}

}  // namespace launcher
