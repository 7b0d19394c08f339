// The player's sentences for failures that have a kind.
#include "launcher/words.h"

#include "launcher/patcher.h"
#include "lang/lang.h"

#include <cstdio>

namespace launcher {

std::string file_failure(File_Step step, std::string_view path, std::string_view err, platform::Error_Kind kind) {
    // Whole sentences for each step, so that a translation words each as it must.
    bool write = step == File_Step::Write;
    switch (kind) {
    case platform::Error_Kind::Disk_Full:
        // TRANSLATORS: %1$s is a file of the game, as "data/world.pak".
        return fmt(tr("Couldn't write %1$s: the disk is full. Free up space on it, then try again."), {path});
    case platform::Error_Kind::Read_Only:
        return fmt(write ? tr("Couldn't write %1$s: the install folder is on a read-only disk. Install somewhere else.")
                         : tr("Couldn't replace %1$s: the install folder is on a read-only disk. Install somewhere else."),
                   {path});
    case platform::Error_Kind::Denied:
        // TRANSLATORS: %1$s is a file of the game; %2$s the system's own words for the error.
        return fmt(write ? tr("Couldn't write %1$s (%2$s): Tarnwick may not write in the install folder. Install "
                              "somewhere else, or allow it.")
                         : tr("Couldn't replace %1$s (%2$s): Tarnwick may not write in the install folder. Install "
                              "somewhere else, or allow it."),
                   {path, err});
    case platform::Error_Kind::In_Use:
        return fmt(write ? tr("Couldn't write %1$s (%2$s). Is the game running?")
                         : tr("Couldn't replace %1$s (%2$s). Is the game running?"),
                   {path, err});
    case platform::Error_Kind::Other: break;
    }
    return fmt(write ? tr("Couldn't write %1$s (%2$s). Try again.") : tr("Couldn't replace %1$s (%2$s). Try again."),
               {path, err});
}

std::string disk_full_failure(int64_t more_bytes, std::string_view dir, bool folder_can_change) {
    std::string more = human_bytes(double(more_bytes));
    // TRANSLATORS: %1$s is a size ("126 MB"), %2$s the install folder.
    return folder_can_change ? fmt(tr("The disk is full: Tarnwick needs %1$s more in %2$s. Free up space and try again, "
                                      "or install somewhere else with Change folder."),
                                   {more, dir})
                             : fmt(tr("The disk is full: Tarnwick needs %1$s more in %2$s. Free up space on that disk, "
                                      "then try again."),
                                   {more, dir});
}

std::string rename_failure(int status) {
    if (status == 0) return std::string(tr("Couldn't reach Tarnwick, so the name wasn't changed. Check your connection."));
    if (status >= 500)
        return std::string(tr("Tarnwick couldn't change the name just now (server error). Try again in a minute."));
    // TRANSLATORS: %1$s and %2$s are the shortest and longest name, in characters.
    return fmt(tr("That name isn't allowed. Names are %1$s to %2$s characters."),
               {std::to_string(name_min), std::to_string(name_max)});
}

std::string size_words(double value, int decimals, Size_Unit unit) {
    std::string n = lang::number(value, decimals);
    switch (unit) {
    // TRANSLATORS: a size in bytes; the language's own byte word.
    case Size_Unit::Bytes: return fmt(trn("%1$s byte", "%1$s bytes", uint64_t(value)), {n});
    // TRANSLATORS: kilobytes, as "950 KB" (French "950 ko").
    case Size_Unit::KB: return fmt(tr("%1$s KB"), {n});
    // TRANSLATORS: megabytes, as "48.2 MB" (French "48,2 Mo").
    case Size_Unit::MB: return fmt(tr("%1$s MB"), {n});
    // TRANSLATORS: gigabytes, as "1.5 GB" (French "1,5 Go").
    case Size_Unit::GB: return fmt(tr("%1$s GB"), {n});
    // TRANSLATORS: terabytes, as "1.5 TB" (French "1,5 To").
    case Size_Unit::TB: break;
    }
    return fmt(tr("%1$s TB"), {n});
}

static const char* const month_names[12] = {N_("January"), N_("February"), N_("March"),     N_("April"),
                                             N_("May"),     N_("June"),     N_("July"),      N_("August"),
                                             N_("September"), N_("October"), N_("November"), N_("December")};

// Digits only, at most `most` of them; -1 for anything else.
static int small_number(std::string_view s, size_t most) {
    if (s.empty() || s.size() > most) return -1;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string news_date(std::string_view date) {
    int day = -1, month = -1, year = -1;
    if (date.size() == 10 && date[4] == '-' && date[7] == '-') {   // 2025-01-28
        year = small_number(date.substr(0, 4), 4);
        month = small_number(date.substr(5, 2), 2);
        day = small_number(date.substr(8, 2), 2);
    } else if (size_t a = date.find(' '), b = date.rfind(' '); a != b && b != std::string_view::npos) {   // 28 January 2025
        day = small_number(date.substr(0, a), 2);
        year = small_number(date.substr(b + 1), 4);
        for (int m = 0; m < 12; ++m)
            if (date.substr(a + 1, b - a - 1) == month_names[m]) month = m + 1;
    }
    if (day < 1 || day > 31 || month < 1 || month > 12 || year < 0) return std::string(date);
    // TRANSLATORS: a news date: %1$s the day, %2$s the month's name, %3$s the year ("28 January 2025").
    return fmt(tr("%1$s %2$s %3$s"), {std::to_string(day), tr(month_names[month - 1]), std::to_string(year)});
}

std::string human_bytes(double bytes) {
    int u = 0;
    while (bytes >= 1000 && u < 4) {
        bytes /= 1000;
        ++u;
    }
    return size_words(bytes, u == 0 || bytes >= 100 ? 0 : 1, Size_Unit(u));
}

}  // namespace launcher
