// words: the player's sentences for failures that have a kind (a full disk, a read-only or
// refused folder, a file in use), written once here and called by the install code and the
// screens. Each says what happened and what to do; "Is the game running?" only where a file is
// in use. Depends on platform/files.h (the kinds). Any thread.
#pragma once
#include "platform/files.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

enum class File_Step : uint8_t { Write, Replace };

// A file of the release that could not be written (or moved over the old one), with the system's
// error text and its kind.
std::string file_failure(File_Step step, std::string_view path, std::string_view err, platform::Error_Kind kind);

// A download that stopped on a disk without room: how much more the rest of the release needs in
// `dir`, and the way out (another folder, where the player can still choose one).
std::string disk_full_failure(int64_t more_bytes, std::string_view dir, bool folder_can_change);

// The rename answer for a refused or failed rename: `status` 0 is no answer.
std::string rename_failure(int status);

// How every size reads, in the language in force: the number with its decimal separator and
// the unit as the language writes it ("1.5 GB", "1,5 Go").
enum class Size_Unit : uint8_t { Bytes, KB, MB, GB, TB };
std::string size_words(double value, int decimals, Size_Unit unit);

// A news item's date in the language in force: "28 January 2025" or "2025-01-28" as the language
// writes a date ("28. Januar 2025", "2025年1月28日"); any other text as it came.
std::string news_date(std::string_view date);

// Byte counts as players read them: "950 KB", "48.2 MB", "1.2 GB".
std::string human_bytes(double bytes);

// Names the backend takes, as the rename message says.
inline constexpr int name_min = 3, name_max = 32;

}  // namespace launcher
