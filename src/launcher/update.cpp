// The per-frame update: the game watch, the session, the answers, the patcher.
#include "launcher/account.h"
#include "launcher/device_tokens.h"
#include "launcher/launcher.h"
#include "launcher/settings.h"
#include "launcher/words.h"

#include "backend/json.h"
#include "backend/requests.h"
#include "gfx/gfx.h"

namespace launcher {

void say(Launcher& state, std::string_view text, bool good) {
    state.notice.assign(text);
    state.notice_good = good;
}

void set_error(Launcher& state, std::string_view text) {
    state.error.assign(text);
}

// The session's client is about to be replaced: answers that already arrived on it are
// delivered, and what the screens still wait for would never be answered, leaving their buttons
// disabled for good: each such flow gets a failed answer now, so that it shows its own failure
// message and the player can try again.
static void end_outstanding(Launcher& state) {
    std::vector<backend::Response> arrived = backend::session_take(state.session);
    for (backend::Response& r : backend::poll(state.session.client)) arrived.push_back(std::move(r));
    for (backend::Response& r : arrived) {
        dispatch_response(state, r);   // an authentication answer is nobody's here: the session goes
        backend::response_destroy(r);
    }
    const uint64_t ids[] = {state.news_req, state.rename_id, state.maps.list_id, state.maps.info_id,
                            state.maps.share_id, state.browser.size_req};
    for (uint64_t id : ids) {
        if (id == 0) continue;
        backend::Response r{id, 0, {}, "client replaced"};
        dispatch_response(state, r);
    }
}

void reload_session(Launcher& state) {
    // The game shares account.json and may have renewed the refresh token meanwhile.
    std::string token = account_load();
    if (token.empty()) return;
    end_outstanding(state);
    backend::session_destroy(state.session);
    backend::session_zero(state.session);
    backend::session_init(state.session, state.backend);
    // On a client that did not start the resume fails at once, with the sign-in form's message.
    backend::session_resume(state.session, token);
}

static void watch_game(Launcher& state) {
    if (!state.playing || !platform::process_ended(state.game)) return;
    state.playing = false;
    state.last_check = -900;   // check for updates at once
    gfx::restore_window();
    reload_session(state);
}

// The email signed in with fills the sign-in form next time, in this run and the next.
static void remember_email(Launcher& state) {
    if (state.email[0] == 0) return;
    Settings s = settings_load();
    if (s.email == state.email) return;
    s.email = state.email;
    settings_save(s);
}

static void update_session(Launcher& state) {
    backend::Session& s = state.session;
    bool resuming = s.pending_kind == backend::Auth_Kind::Resume;
    unsigned events = backend::session_update(s, backend::unix_now());
    if (events & backend::Event_Signed_In) {
        state.signing_in = false;
        device_token_save(s.device_email, s.device_token);
        s.device_token.clear();
        set_error(state, "");
        if (state.tab == Tab::Sign_In) state.tab = Tab::Play;
        remember_email(state);
        if (state.resume_at_sign_in) {
            state.resume_at_sign_in = false;
            if (state.patcher.paused) patcher_resume(state.patcher);
        }
        // The news asked for at start-up found no backend (an outage): ask again now it answers.
        if (state.news_again && state.news_req == 0 && s.ok) {
            state.news_again = false;
            ask_news(state, lang::current());
        }
    }
    if (events & backend::Event_Failed) {
        state.signing_in = false;
        set_error(state, backend::sign_in_message(s.error));
        state.tab = Tab::Sign_In;
    }
    if (events & backend::Event_Expired) state.tab = Tab::Sign_In;
    offline_on_session(state, resuming, events);
    if (s.save_needed) {
        account_save(s.refresh_token);
        s.save_needed = false;
    }
}

void ask_news(Launcher& state, std::string_view language) {
    backend::Session& s = state.session;
    if (!s.ok) return;
    std::string path = backend::req_news.path;
    if (!language.empty() && language != "en" && language != "pseudo") {
        state.news_language = language;
        path = "/news." + std::string(language) + ".json";
    } else {
        state.news_language.clear();
    }
    state.news_req = backend::request_typed(s.client, backend::req_news.method, path);
}

void news_parse(Launcher& state, const backend::Response& r) {
    if (r.status < 200 || r.status > 299) return;
    json::Value root;
    if (!json::parse(r.body, root)) return;
    std::vector<News_Item> items;
    bool ok = json::members(root, [&](std::string_view k, json::Value v) {
        if (k != "news") return true;
        return json::elements(v, [&](json::Value item) {
            News_Item n;
            bool good = json::members(item, [&](std::string_view k2, json::Value v2) {
                if (k2 == "title") return json::get(v2, n.title);
                if (k2 == "date") return json::get(v2, n.date);
                if (k2 == "body") return json::get(v2, n.body);
                return true;
            });
            if (items.size() < 6) items.push_back(std::move(n));
            return good;
        });
    });
    if (!ok || items.empty()) return;
    state.news.clear();   // the news of the language chosen last take the place of any others
    for (News_Item& n : items) state.news.push_back(std::move(n));
}

void on_rename_answer(Launcher& state, const backend::Response& r) {
    if (r.status >= 200 && r.status <= 299) {
        state.account_message = tr("Name changed: it shows in games from your next sign-in.");
        state.account_message_good = true;
        // The launcher shows the new name at once, as it was sent (control characters dropped).
        state.session.account_name.clear();
        for (const char* c = state.rename; *c; ++c)
            if (static_cast<unsigned char>(*c) >= 32) state.session.account_name += *c;
        state.rename[0] = 0;
    } else {
        state.account_message = rename_failure(r.status);
        state.account_message_good = false;
    }
}

void dispatch_response(Launcher& state, backend::Response& r) {
    if (state.news_req != 0 && r.id == state.news_req) {
        state.news_req = 0;
        state.news_again = r.status == 0 || r.status >= 500;   // no backend to answer: try at the next sign-in
        if (r.status == 404 && !state.news_language.empty()) {
            ask_news(state, "");   // none in the player's language: the news everyone gets
            return;
        }
        news_parse(state, r);
    } else if (state.rename_id != 0 && r.id == state.rename_id) {
        state.rename_id = 0;
        on_rename_answer(state, r);
    } else if (state.browser.size_req != 0 && r.id == state.browser.size_req) {
        on_release_size(state, r);
    } else if (state.resume.manifest_req != 0 && r.id == state.resume.manifest_req) {
        on_resume_manifest(state, r);
    } else {
        maps_on_response(state.maps, state.session.client, state.maps_client, r);
    }
}

// The first check of a run is an ordinary one; later ones, every 900 s, are background checks
// that stay out of the player's way. None while the game runs or nobody is signed in.
static void update_patcher(Launcher& state) {
    Patcher& p = state.patcher;
    p.playing = state.playing;
    bool due = !state.checked || gfx::time() - state.last_check >= 900;
    bool busy = p.state == Patch_State::Checking || p.state == Patch_State::Downloading;
    if (busy) state.auto_install_held = false;   // while held, only the player starts checks
    if (due && !busy && !state.playing && !state.auto_install_held &&
        state.session.phase == backend::Session_Phase::Signed_In) {
        patcher_check(p, state.checked);
        state.checked = true;
        state.last_check = gfx::time();
    }
    patcher_update(p);
    // Frames move a check or a download along (placing files, the next one's start) and show
    // its progress: the full frame rate while one runs.
    if (p.state == Patch_State::Checking || p.state == Patch_State::Downloading) gfx::redraw_at(0);
}

void update(Launcher& state) {
    watch_game(state);
    if (!state.playing) update_session(state);
    offline_update(state);

    std::vector<backend::Response> answers = backend::session_take(state.session);
    for (backend::Response& r : backend::poll(state.maps_client)) answers.push_back(std::move(r));
    for (backend::Response& r : answers) {
        dispatch_response(state, r);
        backend::response_destroy(r);
    }

    update_patcher(state);
}

}  // namespace launcher
