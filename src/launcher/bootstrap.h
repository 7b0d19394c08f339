// The packaged launcher as a bootstrapper: which folders hold a packaged launcher, and the
// versions of launcher executables, read from their files and compared.
#pragma once
#include <string>
#include <string_view>

namespace launcher {

// The version a launcher executable carries (read from the file, not by running it); "" when
// the file holds none (not a launcher, or one built before versions were stamped into it).
std::string launcher_file_version(const std::string& exe);

// Whether `exe` lies in a system program folder (.../usr/games, .../usr/bin, the same under
// /usr/local), where the Linux package puts the launcher; the prefix before them may be any
// folder (a package unpacked elsewhere behaves the same).
bool packaged_launcher(std::string_view exe);

// Compares dotted version numbers part by part ("0.10" > "0.9", "1.0" == "1"): negative, zero or
// positive. A part that is not a number counts as 0.
int compare_versions(std::string_view a, std::string_view b);

}  // namespace launcher
