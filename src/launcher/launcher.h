// launcher: the state of the running launcher, its start-up, frame loop and per-frame update.
//
// Everything here runs on the main thread; the clients' workers only meet it through poll.
#pragma once
#include "backend/session.h"
#include "launcher/folder_browser.h"
#include "launcher/maps.h"
#include "launcher/offline.h"
#include "launcher/options.h"
#include "launcher/patcher.h"
#include "launcher/resume_hint.h"
#include "platform/instance_lock.h"
#include "platform/system.h"
#include "ui/ui.h"

#include <cstdint>
#include <string>
#include <vector>

namespace launcher {

enum class Tab : uint8_t { Sign_In = 0, Play = 1, Maps = 2, Account = 3 };

struct News_Item {
    std::string title, date, body;
};

struct Launcher {
    std::string backend;
    std::string install_dir;
    platform::Instance_Lock lock;   // held for install_dir while this launcher runs
    backend::Session session;
    Patcher patcher;
    backend::Client maps_client;   // map files (64 MiB); lists, descriptors and uploads use the session's
    Maps_State maps;
    Tab tab = Tab::Sign_In;
    bool signing_in = false;
    std::string error;          // the sign-in form's message line
    std::string notice;         // the status line
    bool notice_good = false;
    std::vector<News_Item> news;
    float news_scroll = 0;      // pixels of the news list scrolled up
    bool news_more = false;     // last frame's list went on below the panel
    uint64_t news_req = 0;
    bool news_again = false;    // the news request found no backend: asked again once one answers
    std::string news_language;  // the language the news request in flight asked for; "" for news.json
    platform::Process game;
    bool playing = false;
    std::string screenshot;
    double screenshot_at = 4;
    bool checked = false;
    double last_check = 0;

    // Sign-in screen and Account tab
    bool create_mode = false;
    char email[128] = {};
    char new_name[33] = {};
    ui::Secret password;
    // Which field takes typing is the ui's one focus record (ui.h); the screens only give the
    // first field the focus as they open.
    bool sign_in_shown = false;   // the sign-in screen was drawn last frame (its focus is set)
    bool create_shown = false;    // create mode as the sign-in screen last drew it
    char rename[33] = {};         // the backend takes names of up to 32 bytes
    uint64_t rename_id = 0;
    std::string account_message;
    bool account_message_good = false;

    // Playing offline, choosing the install folder, uninstalling
    Offline offline;
    Folder_Browser browser;
    bool confirm_uninstall = false;    // the uninstall question is showing
    bool confirm_sign_out = false;     // the sign-out question is showing
    bool was_downloading = false;      // the game downloaded last frame (the notice when it is done)
    bool resume_at_sign_in = false;    // signing out paused the game's download: go on at the next sign-in
    std::string uninstall_message;     // the install panel's line after an uninstall
    bool uninstall_good = false;
    bool auto_install_held = false;    // uninstalled: no automatic check installs the game again
    bool self_install_on = false;      // a chosen folder is applied by self-install and a hand-over
    bool handed_over = false;          // the copy in the chosen folder runs: leave the frame loop
    int download_limit = 0;            // MB/s for the game's downloads together, 0: none (settings.h)
    Resume_Hint resume;                // how much of an interrupted install is on disk
};

// The launcher's entry: parses the command line and runs until the window closes.
int run(int argc, char** argv);

// Settles the install folder: -dir as given; else the launcher's own folder when the game or an
// install record is there; else the folder the player chose (settings.h); else the platform's
// default install folder.
std::string install_dir(const Options& opt);
// The game's executable in `folder` ("Tarnwick", else "client"; ".exe" on Windows), or "".
std::string game_exe(const std::string& folder);

// Once per frame, before drawing.
void update(Launcher& state);
// Replace the status line / the sign-in form's message line.
void say(Launcher& state, std::string_view text, bool good);
void set_error(Launcher& state, std::string_view text);

// After the game exits: reload the saved account and resume with a fresh client.
void reload_session(Launcher& state);
// Hand one gathered response to whichever request of this state it answers.
void dispatch_response(Launcher& state, backend::Response& r);

// Draws the chrome and the current tab; starts work from this frame's clicks.
void draw_screens(Launcher& state);
void draw_sign_in(Launcher& state);
void draw_account(Launcher& state);
void draw_play(Launcher& state);
void draw_maps(Launcher& state);
void draw_install_panel(Launcher& state);
// The install panel's download limit row at `y`; returns the height it took.
float draw_download_limit(Launcher& state, float y);
// Puts a limit of `megabytes_per_second` (0: none) in force; `keep` saves it in the settings.
void apply_download_limit(Launcher& state, int megabytes_per_second, bool keep);
// The PLAY button: saves the session's token for the game, starts it in the install folder and
// minimises the window; the status line says why when it cannot start.
void start_game(Launcher& state);
// The sign-out question over the Account tab, while it shows.
void draw_sign_out_confirm(Launcher& state);
// "120 MB of 302 MB" while the game downloads ("" while nothing is planned).
std::string download_sizes(const Patcher& p);
// The rename answer.
void on_rename_answer(Launcher& state, const backend::Response& r);
// News answer.
void news_parse(Launcher& state, const backend::Response& r);
// Asks for the news in `language` (news.<language>.json; a 404 falls back to news.json), or for
// news.json when it is "", "en" or "pseudo". Callers pass lang::current().
void ask_news(Launcher& state, std::string_view language);

}  // namespace launcher
