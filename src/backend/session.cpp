#include "backend/session.h"
#include "lang/lang.h"

#include "backend/json.h"
#include "backend/requests.h"

#include <chrono>

namespace backend {

static const char* const session_user_agent = "TarnwickLauncher/0.1.3";

bool decode_answer(std::string_view body, Answer& out) {
    json::Value root;
    if (!json::parse(body, root)) return false;
    return json::members(root, [&](std::string_view k, json::Value v) {
        if (k == "access_token") return json::get(v, out.access_token);
        if (k == "expires_at") return json::get(v, out.expires_at);
        if (k == "refresh_token") return json::get(v, out.refresh_token);
        if (k == "created") return json::get(v, out.created);
        if (k == "device_token") return json::get(v, out.device_token);
        if (k == "account")
            return v.is_null() || json::members(v, [&](std::string_view k2, json::Value v2) {
                if (k2 == "id") return json::get(v2, out.account.id);
                if (k2 == "name") return json::get(v2, out.account.name);
                return true;
            });
        return true;
    });
}

bool decode_challenge(std::string_view body, Challenge& out) {
    json::Value root;
    if (!json::parse(body, root)) return false;
    bool ok = json::members(root, [&](std::string_view k, json::Value v) {
        if (k == "challenge") return json::get(v, out.challenge);
        if (k == "bits") return json::get(v, out.bits);
        return true;
    });
    return ok && !out.challenge.empty() && out.challenge.size() <= 512;
}

bool decode_e(std::string_view body, E& out) {
    json::Value root;
    if (!json::parse(body, root)) return false;
    return json::members(root, [&](std::string_view k, json::Value v) {
        return k == "error" ? json::get(v, out.error) : true;
    });
}

void set_string(std::string& field, std::string_view value) {
    if (field != value) field.assign(value);
}

bool session_init(Session& s, std::string_view base_url) {
    s.ok = init(s.client, base_url, session_user_agent, 15000);
    return s.ok;
}

static uint64_t queue_refresh(Session& s, const Request& req) {
    set_token(s.client, "");
    return request_typed(s.client, req.method, req.path, json::json_body({"refresh_token", s.refresh_token}));
}

void session_resume(Session& s, std::string_view refresh_token) {
    if (refresh_token.empty()) return;
    set_string(s.refresh_token, refresh_token);
    s.phase = Session_Phase::Working;
    s.pending_kind = Auth_Kind::Resume;
    s.pending_id = queue_refresh(s, req_refresh);
}

void session_sign_in(Session& s, bool create, std::string_view body) {
    set_token(s.client, "");
    s.phase = Session_Phase::Working;
    s.pending_kind = Auth_Kind::Sign_In;
    const Request& req = create ? req_register : req_login;
    s.pending_id = request_typed(s.client, req.method, req.path, body);
    s.search.reset();
    s.challenge_rounds = 0;
    s.sign_in_body = create ? std::string() : std::string(body);
}

// A login refused with a challenge: solve it on its own thread, at most twice per sign-in (one
// more in case the first expired on the way). The form stays busy meanwhile.
static bool start_solving(Session& s, const Response& r) {
    Challenge c;
    if (r.status != 429 || s.sign_in_body.empty() || s.challenge_rounds >= 2 ||
        !decode_challenge(r.body, c) || c.bits < 1 || c.bits > pow_max_bits)
        return false;
    ++s.challenge_rounds;
    s.search = std::make_unique<Proof_Search>(c.challenge, int(c.bits));
    s.pending_kind = Auth_Kind::Sign_In;
    s.pending_id = 0;   // nothing outstanding until the proof is found
    return true;
}

// The login body again, with the challenge and its proof as two more members.
static std::string with_proof(std::string_view body, const Proof_Search& search) {
    std::string out(body.substr(0, body.size() - 1));
    out += ",\"challenge\":";
    json::write_json_string(out, search.challenge);
    out += ",\"proof\":";
    json::write_json_string(out, search.proof);
    out += '}';
    return out;
}

// A finished search sends the login again; one that found nothing fails it as the refusal did.
static unsigned finish_solving(Session& s) {
    if (!s.search || !s.search->done.load(std::memory_order_acquire)) return 0;
    std::unique_ptr<Proof_Search> search = std::move(s.search);
    if (search->thread.joinable()) search->thread.join();
    if (!search->found || s.pending_kind != Auth_Kind::Sign_In || s.pending_id != 0) return 0;
    s.pending_id = request_typed(s.client, req_login.method, req_login.path, with_proof(s.sign_in_body, *search));
    return 0;
}

// Forgets both tokens; the saved refresh token goes at the next save.
static void forget_tokens(Session& s) {
    s.access_token.clear();
    if (!s.refresh_token.empty()) s.save_needed = true;
    s.refresh_token.clear();
    s.expires_at = 0;
}

void on_answer(Session& s, Auth_Kind kind, const Answer& a) {
    s.access_token = a.access_token;
    s.expires_at = a.expires_at;
    if (!a.refresh_token.empty() && a.refresh_token != s.refresh_token) {
        s.refresh_token = a.refresh_token;
        s.save_needed = true;
    }
    s.account_id = a.account.id;
    s.account_name = a.account.name;
    s.retry_at = 0;
    s.error.clear();
    if (!a.device_token.empty() && kind == Auth_Kind::Sign_In) s.device_token = a.device_token;
    if (kind == Auth_Kind::Sign_In || kind == Auth_Kind::Resume) s.phase = Session_Phase::Signed_In;
}

static unsigned handle_auth_answer(Session& s, Auth_Kind kind, const Response& r, int64_t now) {
    if (r.status >= 200 && r.status <= 299) {
        s.sign_in_body.clear();
        Answer a;
        if (!decode_answer(r.body, a) || a.access_token.empty() || a.account.id < 1) {
            s.error = "bad_response";
            if (kind == Auth_Kind::Refresh) {
                // A garbled refresh answer is the server's fault, like a 5xx: the player stays
                // signed in and the next try waits out the hold instead of coming next frame.
                s.retry_at = now + 30;
                return 0;
            }
            s.phase = Session_Phase::Signed_Out;
            return Event_Failed;
        }
        on_answer(s, kind, a);
        if (kind != Auth_Kind::Refresh) return Event_Signed_In;
        // A token that is already due again (expired, or no expiry at all) would otherwise be
        // refreshed on every frame: one refresh per hold at most.
        if (now >= s.expires_at - 300) s.retry_at = now + 30;
        return 0;
    }
    s.error = error_code(r);
    bool rejected = r.status >= 1 && r.status <= 499;
    switch (kind) {
    case Auth_Kind::Sign_In:
        if (start_solving(s, r)) return 0;
        s.sign_in_body.clear();
        s.phase = Session_Phase::Signed_Out;
        return Event_Failed;
    case Auth_Kind::Resume:
        s.phase = Session_Phase::Signed_Out;
        if (rejected) forget_tokens(s);   // offline or a server fault keeps the saved token
        return Event_Failed;
    case Auth_Kind::Refresh:
        if (rejected) {
            forget_tokens(s);
            s.phase = Session_Phase::Signed_Out;
            return Event_Expired;
        }
        s.retry_at = now + 30;   // stay signed in; try again in half a minute
        return 0;
    case Auth_Kind::None:
        break;
    }
    return 0;
}

unsigned session_update(Session& s, int64_t now) {
    unsigned events = finish_solving(s);
    if (s.pending_kind == Auth_Kind::Sign_In && s.pending_id == 0 && !s.search) {
        // The search gave up (a challenge beyond what the launcher solves): refused as before.
        s.pending_kind = Auth_Kind::None;
        s.sign_in_body.clear();
        s.error = "rate_limited";
        s.phase = Session_Phase::Signed_Out;
        events |= Event_Failed;
    }
    for (Response& r : poll(s.client)) {
        if (s.pending_kind != Auth_Kind::None && r.id == s.pending_id) {
            Auth_Kind kind = s.pending_kind;
            s.pending_kind = Auth_Kind::None;
            events |= handle_auth_answer(s, kind, r, now);
            response_destroy(r);
        } else {
            s.others.push_back(std::move(r));
        }
    }
    // Refresh five minutes before expiry, one at a time, and not during the hold after a failure.
    if (s.phase == Session_Phase::Signed_In && s.pending_kind == Auth_Kind::None && !s.refresh_token.empty() &&
        now >= s.expires_at - 300 && now >= s.retry_at) {
        s.pending_kind = Auth_Kind::Refresh;
        s.pending_id = queue_refresh(s, req_refresh);
    }
    return events;
}

std::vector<Response> session_take(Session& s) {
    std::vector<Response> out = std::move(s.others);
    s.others.clear();
    return out;
}

void session_sign_out(Session& s) {
    if (!s.refresh_token.empty()) queue_refresh(s, req_logout);   // its answer is ignored
    forget_tokens(s);
    s.phase = Session_Phase::Signed_Out;
    s.pending_kind = Auth_Kind::None;
    s.search.reset();
    s.sign_in_body.clear();
}

void session_zero(Session& s) {
    s.ok = false;
    s.phase = Session_Phase::Signed_Out;
    s.access_token.clear();
    s.expires_at = 0;
    s.refresh_token.clear();
    s.save_needed = false;
    s.account_id = 0;
    s.account_name.clear();
    s.error.clear();
    s.pending_kind = Auth_Kind::None;
    s.pending_id = 0;
    s.retry_at = 0;
    for (Response& r : s.others) response_destroy(r);
    s.others.clear();
    s.search.reset();
    s.device_email.clear();
    s.device_token.clear();
    s.sign_in_body.clear();
    s.challenge_rounds = 0;
}

void session_destroy(Session& s) {
    if (!s.ok) return;
    destroy(s.client);
    session_zero(s);
}

int64_t unix_now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::string error_code(const Response& r) {
    if (r.status == 0) return "unreachable";
    E e;
    if (decode_e(r.body, e) && !e.error.empty()) return e.error;
    return "http_error";
}

std::string sign_in_message(std::string_view code) {
    struct Row { const char* code; const char* message; };
    static const Row rows[] = {
        {"invalid_credentials", N_("That email and password don't match an account.")},
        {"email_taken", N_("There's already an account with that email: sign in instead.")},
        {"bad_password", N_("Pick a longer password (at least 8 characters).")},
        {"bad_email", N_("That doesn't look like an email address.")},
        {"banned", N_("This account is banned.")},
        {"rate_limited", N_("Too many tries: wait a minute and try again.")},
        {"session_expired", N_("You were signed out: sign in again.")},
        {"unreachable", N_("Couldn't reach Tarnwick. Check your connection.")},
    };
    for (const Row& row : rows)
        if (code == row.code) return std::string(tr(row.message));
    // A code names the kind of refusal; anything else in its place is a server's own words, which
    // the player never reads.
    bool a_code = !code.empty() && code.size() <= 40;
    for (char c : code) a_code = a_code && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_');
    // TRANSLATORS: %1$s is the backend's code for the refusal, as "internal".
    std::string line = a_code ? fmt(tr("Sign-in didn't work (%1$s)."), {code}) : std::string(tr("Sign-in didn't work."));
    // The backend's own failure, not the player's: say that waiting helps.
    if (code == "internal") line += tr(" The server had a problem: try again in a minute.");
    return line;
}

}  // namespace backend
