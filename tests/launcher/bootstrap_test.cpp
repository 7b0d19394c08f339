// Which launcher the packaged bootstrapper leaves in place: version order and system folders.
#include "launcher/bootstrap.h"

#include <gtest/gtest.h>

TEST(BootstrapRules, VersionsCompareNumberByNumber) {
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"0.1.3", "0.1.3", 0},
             {"0.1.3", "0.1.10", -1},
             {"0.10", "0.9", 1},
             {"1.0", "1", 0},
             {"1.0.1", "1", 1},
             {"2", "10", -1},
             {"", "0.0.1", -1},
             {"1.x.5", "1.0.5", 0},                             // a part that is no number counts as 0
             {"99999999999999999999999.1", "0.2", -1},          // so does one too large for 64 bits
         }) {
        EXPECT_EQ(launcher::compare_versions(c.a, c.b), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(launcher::compare_versions(c.b, c.a), -c.order) << c.b << " vs " << c.a;
    }
}

TEST(BootstrapRules, OnlyTheSystemProgramFoldersHoldThePackagedLauncher) {
    for (const char* packaged : {"/usr/games/tarnwick-launcher", "/usr/bin/tarnwick-launcher",
                                 "/usr/local/games/tarnwick-launcher", "/tmp/root/usr/games/tarnwick-launcher"})
        EXPECT_TRUE(launcher::packaged_launcher(packaged)) << packaged;
    for (const char* not_packaged : {"/home/p/Games/Tarnwick/launcher", "/home/p/Downloads/tarnwick-launcher",
                                     "/usr/games", "/home/p/myusr/games/launcher", "C:\\usr\\games\\launcher.exe"})
        EXPECT_FALSE(launcher::packaged_launcher(not_packaged)) << not_packaged;
}
