// The player's sentence for each kind of file failure, from the system's own error numbers.
#include "launcher/words.h"

#include <gtest/gtest.h>

#include <cerrno>

#ifndef _WIN32
TEST(Words, EachFileFailureSaysWhatHappenedAndWhatToDo) {
    using launcher::File_Step;
    struct Case { int err; File_Step step; const char* sentence; } cases[] = {
        {ENOSPC, File_Step::Write, "Couldn't write data/world.pak: the disk is full. Free up space on it, then try again."},
        {EROFS, File_Step::Write,
         "Couldn't write data/world.pak: the install folder is on a read-only disk. Install somewhere else."},
        {EACCES, File_Step::Replace,
         "Couldn't replace data/world.pak (Permission denied): Tarnwick may not write in the install folder. "
         "Install somewhere else, or allow it."},
        {ETXTBSY, File_Step::Replace, "Couldn't replace data/world.pak (Text file busy). Is the game running?"},
        {EIO, File_Step::Write, "Couldn't write data/world.pak (Input/output error). Try again."},
    };
    for (const Case& c : cases) {
        std::string text = platform::error_text(c.err);   // notes the kind, as the file calls do
        EXPECT_EQ(launcher::file_failure(c.step, "data/world.pak", text, platform::last_error_kind()), c.sentence);
    }
}
#endif

TEST(Words, AFullDiskSaysHowMuchMoreAndTheWayOut) {
    EXPECT_EQ(launcher::disk_full_failure(120 << 20, "/home/ada/Games/Tarnwick", true),
              "The disk is full: Tarnwick needs 126 MB more in /home/ada/Games/Tarnwick. Free up space and try "
              "again, or install somewhere else with Change folder.");
    EXPECT_EQ(launcher::disk_full_failure(950 * 1000, "D:\\Games", false),
              "The disk is full: Tarnwick needs 950 KB more in D:\\Games. Free up space on that disk, then try again.");
}
