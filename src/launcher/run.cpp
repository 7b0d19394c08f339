// Start-up, the frame loop and shut-down.
#include "launcher/account.h"
#include "launcher/install_folder.h"
#include "launcher/launcher.h"
#include "launcher/log.h"
#include "launcher/self_install.h"
#include "launcher/settings.h"
#include "launcher/uninstall.h"

#include "backend/requests.h"
#include "gfx/gfx.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/system.h"

#include <cstdio>

namespace launcher {

std::string game_exe(const std::string& folder) {
    for (const char* name : platform::game_exe_names) {
        std::string path = platform::join_path(folder, name);
        if (platform::is_regular_file(path)) return path;
    }
    return {};
}

std::string install_dir(const Options& opt) {
    if (!opt.dir.empty()) return opt.dir;
    std::string exe = platform::executable_path();
    if (!exe.empty()) {
        std::string own = platform::parent_folder(exe);
        if (!game_exe(own).empty() || platform::is_regular_file(platform::join_path(own, "install.json"))) return own;
    }
    // The folder the player chose, which the shortcuts name too.
    std::string chosen = settings_load().install_dir;
    return chosen.empty() ? platform::default_install_dir() : chosen;
}

static void frame_loop(Launcher& state) {
    while (!gfx::close_requested()) {
        gfx::begin_frame();
        // Another start for this folder asked for this window instead of opening its own.
        if (platform::show_requested(state.lock)) gfx::restore_window();
        update(state);
        ui::begin_frame();
        // A minimised or covered window shows nothing and takes no clicks: laying its screens out
        // anyway (text measuring, wrapping, the backdrop) was most of the launcher's CPU while a
        // game ran.
        if (!gfx::window_unseen()) draw_screens(state);
        gfx::end_frame();   // draws and presents only a frame that differs from the one shown
        if (!state.screenshot.empty() && gfx::time() > state.screenshot_at) {
            gfx::save_screenshot((state.screenshot + ".png").c_str());
            break;
        }
        if (patcher_relaunch(state.patcher)) {
            // The new launcher is in place and recorded: hand over to it and shut down.
            platform::Process next;
            std::string err;
            std::string exe = platform::join_path(state.install_dir, platform::launcher_exe_name);
            platform::unlock_instance(state.lock);   // the new launcher takes the folder as it starts
            if (!platform::start_process(exe, state.install_dir, next, &err))
                log_warning("couldn't start the new launcher: %s", err.c_str());
            break;
        }
        if (state.handed_over) break;   // the copy in the folder the player chose runs now
    }
}

static void shut_down(Launcher& state) {
    state.notice.clear();
    state.error.clear();
    state.news.clear();
    maps_destroy(state.maps);
    patcher_destroy(state.patcher);
    backend::destroy(state.maps_client);
    backend::session_destroy(state.session);
    ui::unload_theme();
    gfx::close_window();
    platform::unlock_instance(state.lock);
}

int run(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    Options opt;
    std::string error;
    std::string program = platform::file_name(argc > 0 ? argv[0] : "launcher");
    switch (parse_options(args, opt, error)) {
    case Parse_Result::Help:
        fputs(usage_text(program).c_str(), stdout);
        return 0;
    case Parse_Result::Error:
        if (args.empty()) fputs(usage_text(program).c_str(), stderr);
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    case Parse_Result::Ok:
        break;
    }

    Launcher state;
    state.backend = opt.backend.empty() ? default_backend : opt.backend;
    state.install_dir = install_dir(opt);
    // One launcher per install folder: a second start shows the running one and ends, before it
    // could copy itself over that one's file or install alongside it.
    if (platform::lock_instance(state.install_dir, state.lock) == platform::Lock_Result::Held) {
        platform::request_show(state.install_dir);
        return 0;
    }
    if (!opt.no_install && opt.screenshot.empty() && self_install(state.install_dir, state.lock)) return 0;
    state.self_install_on = !opt.no_install && opt.screenshot.empty();
    remove_given_up_copy(state.install_dir);

    Settings kept = settings_load();
    lang::use_language(lang::pick_language(opt.lang, platform::env("TARNWICK_LANG"), kept.language));
    gfx::set_display_scale(float(opt.scale));
    if (!gfx::open_window(1100, 680, "Tarnwick")) {
        log_message(Log_Level::Error, "couldn't open the window");
        return 1;
    }
    ui::load_theme();

    backend::session_init(state.session, state.backend);
    if (backend::init(state.maps_client, state.backend, user_agent, 15000))
        state.maps_client.max_body = int64_t(64) << 20;
    apply_download_limit(state, kept.download_limit, false);
    snprintf(state.email, sizeof state.email, "%s", kept.email.c_str());   // the sign-in screen remembers it
    patcher_init(state.patcher, state.install_dir, opt.channel, state.backend);
    state.auto_install_held = install_marked_uninstalled(state.install_dir);
    ask_news(state, lang::current());

    std::string token = account_load();
    if (!token.empty()) {
        backend::session_resume(state.session, token);
        state.signing_in = true;
        state.tab = Tab::Play;
    }
    if (opt.tab == "maps") state.tab = Tab::Maps;
    if (opt.tab == "account") state.tab = Tab::Account;

    state.screenshot = opt.screenshot;
    state.screenshot_at = opt.seconds > 0 ? opt.seconds : 4;

    frame_loop(state);
    shut_down(state);
    return 0;
}

}  // namespace launcher
