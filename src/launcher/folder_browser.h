// The folder browser behind the Play tab's "Change folder" link: a dialog drawn with the
// launcher's own widgets, the same on every platform. It shows the folder being chosen (an
// editable path), its sub-folders to step into, Up, New folder, the free space of that disk
// against the release's size, and Cancel and Choose. Choosing checks the folder and applies it
// (install_folder.h); a refused folder keeps the dialog open with the reason in red.
//
// Depends on install_folder.h, platform/files.h and the launcher state. Main thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace backend {
struct Response;
}

namespace launcher {

struct Launcher;

struct Folder_Browser {
    bool open = false;
    std::string path;                  // the folder shown and chosen; "" lists the drives (Windows)
    char typed[1024] = {};             // the path box
    bool typing = false;               // the path box takes the keyboard
    std::vector<std::string> folders;  // sub-folders of `path` (or the drives)
    bool listed = false;               // `path` could be read (a missing folder is created on Choose)
    bool exists = false;
    int first = 0;                     // first row shown (wheel scrolling)
    bool free_known = false;
    uint64_t free_bytes = 0;
    bool naming = false;               // the new-folder name box is showing
    char new_name[256] = {};
    std::string message;               // why a folder was refused, in red
    // The release's size while the patcher holds no manifest (after an uninstall, say): asked
    // for with the manifest when the browser opens.
    uint64_t release_bytes = 0;
    uint64_t size_req = 0;
};

// Whether the Play tab offers "Change folder": while no release is installed, before the first
// install, while it downloads or is paused (not during a background check), and after it failed
// or was interrupted.
bool folder_change_offered(const Launcher& state);
// The link at `y` of the game panel while it is offered, under the folder the download goes to
// while one runs. Returns the height it took.
float draw_change_folder_link(Launcher& state, float y);
// Opens the browser on `path`.
void open_folder_browser(Launcher& state, const std::string& path);
// Shows `path` (cleaned): its sub-folders and the free space of its disk.
void browse_to(Folder_Browser& b, const std::string& path);
// The dialog over the whole window, while it is open.
void draw_folder_browser(Launcher& state);
// The manifest answer to the browser's size request: a manifest that checks out gives the size.
void on_release_size(Launcher& state, const backend::Response& r);

}  // namespace launcher
