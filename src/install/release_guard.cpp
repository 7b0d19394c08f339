#include "install/release_guard.h"
#include "lang/lang.h"

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
    // TRANSLATORS: %1$s is the release's version ("1.4.2"); %2$s the date it expired (2025-01-28).
    if (m.expires > 0 && now >= m.expires)
        return fmt(tr("The update server sent release %1$s, which expired on %2$s: not installing it. Is this "
                      "computer's clock right?"),
                   {m.version, utc_date(m.expires)});
    auto it = sequences.find(channel);
    const int64_t top = it == sequences.end() ? 0 : it->second;
    if (m.sequence == 0) {
        if (top == 0) return "";  // a release as publishers always made them
        return fmt(tr("The update server sent release %1$s without a release number, older than one already "
                      "installed: not installing it."),
                   {m.version});
    }
    if (m.channel != channel)
        // TRANSLATORS: %2$s is the channel the release is for, %3$s the channel asked for ("stable").
        return fmt(tr("The update server sent release %1$s of the %2$s channel for %3$s: not installing it."),
                   {m.version, m.channel, channel});
    if (m.sequence < top)
        return fmt(tr("The update server sent release %1$s, older than one already installed: not installing it."),
                   {m.version});
    return "";
}

}  // namespace launcher
