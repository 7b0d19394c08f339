// The player's sentences for failures that have a kind.
#include "launcher/words.h"

#include "launcher/patcher.h"

#include <cstdio>

namespace launcher {

std::string file_failure(File_Step step, std::string_view path, std::string_view err, platform::Error_Kind kind) {
    std::string p(path), e(err);
    const char* verb = step == File_Step::Write ? "write" : "replace";
    switch (kind) {
    case platform::Error_Kind::Disk_Full:
        return "Couldn't write " + p + ": the disk is full. Free up space on it, then try again.";
    case platform::Error_Kind::Read_Only:
        return "Couldn't " + std::string(verb) + " " + p + ": the install folder is on a read-only disk. "
               "Install somewhere else.";
    case platform::Error_Kind::Denied:
        return "Couldn't " + std::string(verb) + " " + p + " (" + e + "): Tarnwick may not write in the install "
               "folder. Install somewhere else, or allow it.";
    case platform::Error_Kind::In_Use:
        return "Couldn't " + std::string(verb) + " " + p + " (" + e + "). Is the game running?";
    case platform::Error_Kind::Other: break;
    }
    return "Couldn't " + std::string(verb) + " " + p + " (" + e + "). Try again.";
}

std::string disk_full_failure(int64_t more_bytes, std::string_view dir, bool folder_can_change) {
    std::string head = "The disk is full: Tarnwick needs " + human_bytes(double(more_bytes)) + " more in " +
                       std::string(dir) + ". ";
    return head + (folder_can_change ? "Free up space and try again, or install somewhere else with Change folder."
                                     : "Free up space on that disk, then try again.");
}

std::string rename_failure(int status) {
    if (status == 0) return "Couldn't reach Tarnwick, so the name wasn't changed. Check your connection.";
    if (status >= 500) return "Tarnwick couldn't change the name just now (server error). Try again in a minute.";
    char line[160];
    snprintf(line, sizeof line, "That name isn't allowed. Names are %d to %d characters.", name_min, name_max);
    return line;
}

std::string human_bytes(double bytes) {
    const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
    int u = 0;
    while (bytes >= 1000 && u < 4) {
        bytes /= 1000;
        ++u;
    }
    char text[32];
    if (u == 0) snprintf(text, sizeof text, "%.0f bytes", bytes);
    else snprintf(text, sizeof text, bytes < 100 ? "%.1f %s" : "%.0f %s", bytes, units[u]);
    return text;
}

}  // namespace launcher
