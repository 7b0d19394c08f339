// paths: the per-user folder (the saved account, the local map store).
//
// Linux: $XDG_DATA_HOME/Tarnwick, else ~/.local/share/Tarnwick; Windows: Roaming AppData\Tarnwick.
// Found and created once per process; when the system cannot name it, "." is used and nothing
// is created.
#pragma once
#include <string>
#include <string_view>

namespace paths {

// The per-user base folder joined with `name`.
std::string user_dir(std::string_view name);

// Tests: forget the cached base folder so that the next call looks again.
void reset_user_dir_for_tests();
// Tests: take `folder`/Tarnwick as the per-user folder until the next reset (Windows has no
// variable like XDG_DATA_HOME that moves it).
void use_user_folder_for_tests(std::string_view folder);

}  // namespace paths
