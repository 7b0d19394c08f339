#include "install/release_guard.h"

#include <cstdio>

namespace launcher {

namespace {

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

}  // namespace

std::string release_guard(const backend::Release_Manifest& m, std::string_view channel,
                          const std::map<std::string, int64_t, std::less<>>& sequences, int64_t now) {
    const std::string release = "release " + m.version;
    const std::string older = "older than one already installed: not installing it.";
    if (m.expires > 0 && now >= m.expires)
        return "The update server sent " + release + ", which expired on " + utc_date(m.expires) +
               ": not installing it. Is this computer's clock right?";
    auto it = sequences.find(channel);
    const int64_t top = it == sequences.end() ? 0 : it->second;
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

}  // namespace launcher
