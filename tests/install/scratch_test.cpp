// The files the launcher keeps beside an installed file: what a change of install folder carries
// along and what it drops, and the names a release may not use.
#include "install/scratch.h"
#include "install/move_download.h"
#include "support/files.h"
#include "support/folders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

using namespace delivery;
namespace fs = std::filesystem;

namespace {

// Every file below `root`, relative, with '/' between names.
std::set<std::string> files_below(const fs::path& root) {
    std::set<std::string> out;
    if (!fs::exists(root)) return out;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) out.insert(fs::relative(e.path(), root).generic_string());
    return out;
}

}  // namespace

TEST(Scratch_Files, AFolderMoveCarriesWhatStillVouchesForTheDownloadAndDropsTheRest) {
    const fs::path root = support::test_folder("scratch-move");
    const fs::path from = root / "from", to = root / "to";
    backend::Release_Manifest m;
    m.files.push_back(backend::Release_File{"data/world.pak", 10, std::string(64, 'a'), ""});
    const std::string cut = fs::relative(kept_cut_path(from.string(), "data/world.pak"), from).generic_string();
    struct Case {
        const char* what;
        std::vector<std::string> beside;  // suffixes of data/world.pak in the folder given up
        bool kept_cut;
        std::set<std::string> arrive;     // what the new folder then holds
    } cases[] = {
        {"an update in place, stopped", {"", ".undo", ".inplace.journal"}, false,
         {"data/world.pak", "data/world.pak.undo", "data/world.pak.inplace.journal"}},
        {"a part with its journal", {".part", ".part.journal"}, false,
         {"data/world.pak.part", "data/world.pak.part.journal"}},
        {"a part without its journal holds nothing verified", {".part"}, false, {}},
        {"an undo journal torn while it was written", {"", ".undo.tmp"}, false, {"data/world.pak"}},
        {"a file and its kept cut", {""}, true, {"data/world.pak", cut}},
    };
    for (const Case& c : cases) {
        fs::remove_all(root);
        for (const std::string& suffix : c.beside) support::put(from / ("data/world.pak" + suffix), "bytes");
        if (c.kept_cut) support::put(from / cut, "a cut");
        support::put(from / "notes.txt", "the player's own");
        launcher::move_download(m, from.string(), to.string());
        EXPECT_EQ(files_below(to), c.arrive) << c.what;
        EXPECT_EQ(files_below(from), std::set<std::string>{"notes.txt"}) << c.what;
    }
    fs::remove_all(root);
}

TEST(Scratch_Files, AReleaseMayNotUseTheNamesTheLauncherKeepsForItself) {
    struct Case {
        const char* path;
        bool link;
        bool reserved;
    } cases[] = {
        {"install.json", false, true},
        {"Install.JSON", false, true},      // the same file where letter case is ignored
        {"install.json", true, true},
        {"install.cuts/0a1b", false, true},
        {"launcher.old", false, true},
        {"launcher.old.exe", false, true},
        {"launcher", true, true},           // a link would make the self-update write elsewhere
        {"launcher.exe", true, true},
        {"launcher/inside", false, true},   // the launcher's name as a folder
        {"launcher", false, false},         // the self-update itself
        {"launcher.exe", false, false},
        {"data/install.json", false, false},
        {"launcher.txt", false, false},
        {"Tarnwick", true, false},
    };
    for (const Case& c : cases) EXPECT_EQ(reserved_name(c.path, c.link), c.reserved) << c.path << (c.link ? " (link)" : "");
}
