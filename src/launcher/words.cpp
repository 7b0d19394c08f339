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

std::string human_bytes(double bytes) {
    int u = 0;
    while (bytes >= 1000 && u < 4) {
        bytes /= 1000;
        ++u;
    }
    return size_words(bytes, u == 0 || bytes >= 100 ? 0 : 1, Size_Unit(u));
}

}  // namespace launcher
