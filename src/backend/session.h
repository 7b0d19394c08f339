// session: keeps the player signed in (access token, refresh token, account) over the session's
// client. Never talks to the player: it reports events and an error code.
//
// Depends on client (the session owns it) and json. Main thread only; the current time is passed
// in as whole Unix seconds so that tests control it.
#pragma once
#include "backend/client.h"
#include "backend/proof_of_work.h"
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace backend {

enum class Session_Phase : uint8_t { Signed_Out = 0, Working = 1, Signed_In = 2 };
enum class Auth_Kind : uint8_t { None = 0, Sign_In = 1, Resume = 2, Refresh = 3 };

// Bits returned by session_update.
enum Session_Event : unsigned { Event_Signed_In = 1, Event_Failed = 2, Event_Expired = 4 };

struct Session {
    Client client;
    bool ok = false;
    Session_Phase phase = Session_Phase::Signed_Out;
    std::string access_token;
    int64_t expires_at = 0;
    std::string refresh_token;
    bool save_needed = false;
    int64_t account_id = 0;
    std::string account_name;
    std::string error;
    Auth_Kind pending_kind = Auth_Kind::None;
    uint64_t pending_id = 0;
    int64_t retry_at = 0;
    std::vector<Response> others;

    // Device token and challenge (the backend's defence against guessing): the launcher sends
    // the token it holds for the email with the sign-in and keeps the one a sign-in answers.
    // A sign-in refused with a challenge is solved on a thread of its own (the form stays
    // busy) and sent again with its proof.
    std::string device_email;   // the email of the sign-in under way, set by the form
    std::string device_token;   // from the last sign-in answer, until the launcher keeps it
    std::string sign_in_body;   // the login body, kept while a challenge may follow
    int challenge_rounds = 0;   // challenges solved for this sign-in
    std::unique_ptr<Proof_Search> search;
};

// A 2xx answer of login, register and refresh.
struct Answer {
    std::string access_token;
    int64_t expires_at = 0;
    std::string refresh_token;
    bool created = false;
    std::string device_token;   // login and register only: the device's token for the email
    struct { int64_t id = 0; std::string name; } account;
};
bool decode_answer(std::string_view body, Answer& out);

// The server's error body.
struct E {
    std::string error;
};
bool decode_e(std::string_view body, E& out);

// A rate_limited refusal that carries a challenge: solving it lets the sign-in through.
struct Challenge {
    std::string challenge;
    int64_t bits = 0;
};
bool decode_challenge(std::string_view body, Challenge& out);

// Stores `value` unless the field already holds the same bytes.
void set_string(std::string& field, std::string_view value);

// Initialises the session's client (15,000 ms) and sets `ok` when that worked.
bool session_init(Session& s, std::string_view base_url);
void session_resume(Session& s, std::string_view refresh_token);
// Starts signing in (login) or creating an account (register) with a prepared JSON body.
void session_sign_in(Session& s, bool create, std::string_view body);
unsigned session_update(Session& s, int64_t now);
void on_answer(Session& s, Auth_Kind kind, const Answer& a);
std::vector<Response> session_take(Session& s);
void session_sign_out(Session& s);
void session_destroy(Session& s);
// Every field but the client back to zero (the client is left as it is).
void session_zero(Session& s);

// The current time in whole Unix seconds.
int64_t unix_now();

// The code of a failed (non-2xx) response: "unreachable" for status 0, the server's `error`,
// or "http_error".
std::string error_code(const Response& r);
// The sentence the sign-in form shows for a code.
std::string sign_in_message(std::string_view code);

}  // namespace backend
