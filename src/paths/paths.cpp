#include "paths/paths.h"

#include "platform/files.h"
#include "platform/system.h"

namespace paths {

static bool looked = false;
static std::string base;

std::string user_dir(std::string_view name) {
    if (!looked) {
        looked = true;
        std::string folder = platform::user_data_folder();
        if (folder.empty()) {
            base = ".";
        } else {
            base = platform::join_path(folder, "Tarnwick");
            platform::make_dirs(base);   // failures show up later, when a file is written
        }
    }
    return platform::join_path(base, name);
}

void use_user_folder_for_tests(std::string_view folder) {
    looked = true;
    base = platform::join_path(folder, "Tarnwick");
    platform::make_dirs(base);
}

void reset_user_dir_for_tests() {
    looked = false;
    base.clear();
}

}  // namespace paths
