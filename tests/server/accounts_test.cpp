// Accounts over HTTP: register, sign in, refresh with rotation, sign out, rename, bans, rate
// limits, and the error code of every refusal.
#include <fstream>
#include <iterator>

#include "fixture.h"
#include "server/accounts.h"

namespace server_test {
namespace {

using Accounts = Server_Test;

std::string rename_body(const std::string& name) { return json::json_body({"name", name}); }

int rename(httplib::Client& cli, const std::string& access, const std::string& name,
           std::string* body = nullptr) {
    httplib::Headers h{{"Authorization", "Bearer " + access}};
    auto r = cli.Patch("/v1/me", h, rename_body(name), "application/json");
    if (!r) return 0;
    if (body) *body = r->body;
    return r->status;
}

std::string file_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(Accounts, RegisterAnswersTokensAndSignInMatchesTheEmailWithoutRegardToCase) {
    Tokens made = make_account("Ada@Example.com", "correct horse", "Ada Lovelace");
    EXPECT_TRUE(made.created);
    EXPECT_GE(made.id, 1);
    EXPECT_EQ(made.name, "Ada Lovelace");
    EXPECT_EQ(made.expires_at, *now + 3600);
    EXPECT_EQ(made.access.size(), 43u);  // 32 random bytes, base64url without padding
    EXPECT_EQ(made.refresh.size(), 43u);
    EXPECT_NE(made.access, made.refresh);

    Tokens again = login("ada@EXAMPLE.com", "correct horse");
    EXPECT_FALSE(again.created);
    EXPECT_EQ(again.id, made.id);
    EXPECT_NE(again.access, made.access);
    EXPECT_NE(again.refresh, made.refresh);
    EXPECT_EQ(rename(*cli, again.access, "Countess Ada"), 200);
}

TEST_F(Accounts, NamesMayBeWrittenInAnyScript) {
    Tokens made = make_account("yamada@example.com", "correct horse", "\u5C71\u7530\u592A\u90CE");
    EXPECT_TRUE(made.created);
    EXPECT_EQ(made.name, "\u5C71\u7530\u592A\u90CE");
    for (const char* name : {"\u0410\u0434\u0430 \u041B\u0430\u0432\u043B\u0435\u0439\u0441", "Zo\u00EB M\u00FCller", "\u039D\u03AF\u03BA\u03B7"})
        EXPECT_EQ(rename(*cli, made.access, name), 200) << name;
}

TEST_F(Accounts, NeitherPasswordsNorTokensAreStoredAsTheyAre) {
    Tokens t = make_account("keep@example.com", "a secret nobody knows");
    stop();  // flushes the database files
    std::string stored = file_bytes(dir / "tarnwick.db") + file_bytes(dir / "tarnwick.db-wal");
    EXPECT_EQ(stored.find("a secret nobody knows"), std::string::npos);
    EXPECT_EQ(stored.find(t.access), std::string::npos);
    EXPECT_EQ(stored.find(t.refresh), std::string::npos);
    EXPECT_NE(stored.find("$argon2id$"), std::string::npos);
    start();
}

TEST_F(Accounts, RegistrationRefusalsNameTheRuleThatWasBroken) {
    make_account("taken@example.com");
    struct Case {
        std::string body;
        int status;
        const char* code;
    };
    auto reg = [](std::string e, std::string p, std::string n) {
        return json::json_body({"email", e, "password", p, "name", n});
    };
    const std::string ok_pw = "long enough", ok_name = "Some Name";
    std::vector<Case> cases = {
        {reg("no-at-sign.example.com", ok_pw, ok_name), 400, "bad_email"},
        {reg("@example.com", ok_pw, ok_name), 400, "bad_email"},
        {reg("someone@", ok_pw, ok_name), 400, "bad_email"},
        {reg("someone@localhost", ok_pw, ok_name), 400, "bad_email"},
        {reg("some one@example.com", ok_pw, ok_name), 400, "bad_email"},
        {reg(std::string(243, 'a') + "@example.com", ok_pw, ok_name), 400, "bad_email"},
        {reg("x@example.com", "seven77", ok_name), 400, "bad_password"},
        // Seven characters even though they take fourteen bytes.
        {reg("x@example.com", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", ok_name),
         400, "bad_password"},
        {reg("x@example.com", ok_pw, "ab"), 400, "bad_name"},
        {reg("x@example.com", ok_pw, std::string(33, 'n')), 400, "bad_name"},
        {reg("x@example.com", ok_pw, "Bad_Name"), 400, "bad_name"},
        {reg("x@example.com", ok_pw, "    "), 400, "bad_name"},
        // Letters of any script, but no symbols or invisible characters.
        {reg("x@example.com", ok_pw, "Admin\u202Egnp"), 400, "bad_name"},
        {reg("x@example.com", ok_pw, "Ann\u200Bie"), 400, "bad_name"},
        {reg("x@example.com", ok_pw, "Fox \U0001F98A"), 400, "bad_name"},
        {reg("x@example.com", ok_pw, "\u5C71\u7530"), 400, "bad_name"},
        {reg("x@example.com", ok_pw, "\u5C71\u7530\u592A\u90CE\u5C71\u7530\u592A\u90CE\u5C71\u7530\u592A"), 400,
         "bad_name"},
        {reg("TAKEN@example.com", ok_pw, ok_name), 409, "email_taken"},
        {"not json at all", 400, "bad_request"},
        {"[\"email\",\"password\",\"name\"]", 400, "bad_request"},
        {R"({"email":"x@example.com","password":12345678,"name":"Some Name"})", 400, "bad_request"},
        {R"({"email":"x@example.com","password":"long enough"})", 400, "bad_request"},
        {"", 400, "bad_request"},
    };
    for (const auto& c : cases) {
        auto r = post("/v1/auth/register", c.body);
        ASSERT_TRUE(r) << c.body;
        EXPECT_EQ(r->status, c.status) << c.body;
        EXPECT_EQ(error_code(r->body), c.code) << c.body;
    }
    // The limits themselves are allowed.
    Tokens edge = make_account(std::string(242, 'a') + "@example.com", "\xc3\xa9" "1234567",
                               std::string(32, 'n'));
    EXPECT_TRUE(edge.created);
    make_account("three@example.com", "long enough", "abc");
}

TEST_F(Accounts, WrongPasswordAndUnknownEmailGetTheSameAnswer) {
    make_account("real@example.com", "the right one");
    auto wrong = post("/v1/auth/login",
                      json::json_body({"email", "real@example.com", "password", "the wrong one"}));
    auto unknown = post("/v1/auth/login",
                        json::json_body({"email", "ghost@example.com", "password", "the right one"}));
    ASSERT_TRUE(wrong && unknown);
    EXPECT_EQ(wrong->status, 401);
    EXPECT_EQ(unknown->status, 401);
    EXPECT_EQ(wrong->body, unknown->body);
    EXPECT_EQ(error_code(wrong->body), "invalid_credentials");
    auto bad = post("/v1/auth/login", json::json_body({"email", "nope", "password", "whatever1"}));
    EXPECT_EQ(error_code(bad->body), "bad_email");
}

TEST_F(Accounts, FiveFailuresForOneEmailLockItForTheRestOfTheMinute) {
    make_account("target@example.com", "the right one");
    for (int i = 0; i < 5; ++i) {
        *now += 1;
        login("target@example.com", "guess " + std::to_string(i), 401);
    }
    // Even the right password is refused while the window lasts.
    auto r = post("/v1/auth/login",
                  json::json_body({"email", "TARGET@example.com", "password", "the right one"}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 429);
    EXPECT_EQ(error_code(r->body), "rate_limited");
    // The first failure was at +1: at +60 it is still inside the window, at +61 it has left.
    *now += 55;
    login("target@example.com", "the right one", 429);
    *now += 1;
    login("target@example.com", "the right one", 200);
}

TEST_F(Accounts, TheEmailLockHoldsForEveryClientAddress) {
    make_account("shared@example.com", "the right one");
    auto attempt = [&](const std::string& client, const std::string& password) {
        server::Request q;
        q.method = "POST";
        q.path = "/v1/auth/login";
        q.client = client;
        q.body = json::json_body({"email", "shared@example.com", "password", password});
        return server::handle(*srv, q);
    };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(attempt("10.0.0." + std::to_string(i), "guess").status, 401);
    server::Reply locked = attempt("10.0.1.1", "the right one");
    EXPECT_EQ(locked.status, 429);
    EXPECT_EQ(error_code(locked.body), "rate_limited");
}

TEST_F(Accounts, FiveFailuresFromOneClientLockEveryEmailFromIt) {
    make_account("innocent@example.com", "the right one");
    for (int i = 0; i < 5; ++i)
        login("spray" + std::to_string(i) + "@example.com", "password " + std::to_string(i), 401);
    login("innocent@example.com", "the right one", 429);
    *now += 61;
    login("innocent@example.com", "the right one", 200);
}

TEST_F(Accounts, RefreshRotatesAndReuseEndsTheWholeSignIn) {
    Tokens first = make_account("rot@example.com", "correct horse");
    Tokens other = login("rot@example.com", "correct horse");  // a second, separate sign-in

    *now += 100;
    auto r1 = post("/v1/auth/refresh", json::json_body({"refresh_token", first.refresh}));
    ASSERT_TRUE(r1);
    ASSERT_EQ(r1->status, 200) << r1->body;
    Tokens second = decode_tokens(r1->body);
    EXPECT_NE(second.refresh, first.refresh);
    EXPECT_NE(second.access, first.access);
    EXPECT_EQ(second.expires_at, *now + 3600);
    EXPECT_EQ(second.id, first.id);
    EXPECT_EQ(rename(*cli, second.access, "Still Here"), 200);

    // The rotated token comes back: somebody kept a copy.
    auto reuse = post("/v1/auth/refresh", json::json_body({"refresh_token", first.refresh}));
    ASSERT_TRUE(reuse);
    EXPECT_EQ(reuse->status, 401);
    EXPECT_EQ(error_code(reuse->body), "session_expired");

    // The newest tokens of that sign-in stop working too...
    auto newest = post("/v1/auth/refresh", json::json_body({"refresh_token", second.refresh}));
    EXPECT_EQ(newest->status, 401);
    EXPECT_EQ(error_code(newest->body), "session_expired");
    std::string body;
    EXPECT_EQ(rename(*cli, second.access, "Gone Now", &body), 401);
    EXPECT_EQ(error_code(body), "unauthorized");

    // ...while the other sign-in of the same account is untouched.
    EXPECT_EQ(rename(*cli, other.access, "Other Device"), 200);
    auto fine = post("/v1/auth/refresh", json::json_body({"refresh_token", other.refresh}));
    EXPECT_EQ(fine->status, 200);
}

TEST_F(Accounts, UnknownRefreshTokensAndMalformedRefreshBodiesAreRefused) {
    auto unknown = post("/v1/auth/refresh", json::json_body({"refresh_token", "made-up"}));
    EXPECT_EQ(unknown->status, 401);
    EXPECT_EQ(error_code(unknown->body), "session_expired");
    auto wrong_type = post("/v1/auth/refresh", R"({"refresh_token":42})");
    EXPECT_EQ(wrong_type->status, 400);
    EXPECT_EQ(error_code(wrong_type->body), "bad_request");
}

TEST_F(Accounts, AccessTokensExpireAfterTheirLifetimeAndRefreshTokensAfterThirtyDays) {
    stop();
    auto o = options();
    o.token_lifetime = 60;
    start(o);
    Tokens t = make_account("short@example.com");
    EXPECT_EQ(t.expires_at, *now + 60);
    *now += 59;
    EXPECT_EQ(rename(*cli, t.access, "Just In Time"), 200);
    *now += 1;
    EXPECT_EQ(rename(*cli, t.access, "Too Late"), 401);

    auto r = post("/v1/auth/refresh", json::json_body({"refresh_token", t.refresh}));
    ASSERT_EQ(r->status, 200);
    Tokens renewed = decode_tokens(r->body);
    EXPECT_EQ(renewed.expires_at, *now + 60);
    EXPECT_EQ(rename(*cli, renewed.access, "Back Again"), 200);

    *now += 30 * 24 * 3600;
    auto stale = post("/v1/auth/refresh", json::json_body({"refresh_token", renewed.refresh}));
    EXPECT_EQ(stale->status, 401);
    EXPECT_EQ(error_code(stale->body), "session_expired");
}

TEST_F(Accounts, SignOutEndsTheSignInAndAnswersTheSameForUnknownTokens) {
    Tokens t = make_account("bye@example.com");
    auto out = post("/v1/auth/logout", json::json_body({"refresh_token", t.refresh}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->status, 200);
    EXPECT_EQ(post("/v1/auth/refresh", json::json_body({"refresh_token", t.refresh}))->status, 401);
    EXPECT_EQ(rename(*cli, t.access, "After Logout"), 401);

    auto twice = post("/v1/auth/logout", json::json_body({"refresh_token", t.refresh}));
    auto unknown = post("/v1/auth/logout", json::json_body({"refresh_token", "never issued"}));
    EXPECT_EQ(twice->status, 200);
    EXPECT_EQ(unknown->status, 200);
    EXPECT_EQ(unknown->body, out->body);
    EXPECT_EQ(error_code(post("/v1/auth/logout", "{}")->body), "bad_request");
}

TEST_F(Accounts, RenameNeedsAGoodBearerAndAGoodName) {
    Tokens t = make_account("named@example.com", "correct horse", "First Name");
    std::string body;
    EXPECT_EQ(rename(*cli, t.access, "Second Name", &body), 200);
    EXPECT_EQ(decode_tokens(body).name, "Second Name");
    EXPECT_EQ(login("named@example.com", "correct horse").name, "Second Name");

    EXPECT_EQ(rename(*cli, t.access, "No!", &body), 400);
    EXPECT_EQ(error_code(body), "bad_name");
    EXPECT_EQ(rename(*cli, t.access + "x", "Good Name", &body), 401);
    EXPECT_EQ(error_code(body), "unauthorized");

    auto none = cli->Patch("/v1/me", rename_body("Good Name"), "application/json");
    EXPECT_EQ(none->status, 401);
    EXPECT_EQ(error_code(none->body), "unauthorized");
    httplib::Headers basic{{"Authorization", "Basic " + t.access}};
    EXPECT_EQ(cli->Patch("/v1/me", basic, rename_body("Good Name"), "application/json")->status, 401);
    httplib::Headers lower{{"Authorization", "bearer " + t.access}};
    EXPECT_EQ(cli->Patch("/v1/me", lower, rename_body("Good Name"), "application/json")->status, 200);
    httplib::Headers h{{"Authorization", "Bearer " + t.access}};
    auto wrong = cli->Patch("/v1/me", h, R"({"name":["Good Name"]})", "application/json");
    EXPECT_EQ(error_code(wrong->body), "bad_request");
}

TEST_F(Accounts, ABanRefusesSignInEndsSignInsAndCanBeLifted) {
    Tokens t = make_account("rogue@example.com", "correct horse");
    EXPECT_FALSE(server::account_ban(*srv, "nobody@example.com", true));
    ASSERT_TRUE(server::account_ban(*srv, "ROGUE@example.com", true));

    auto r = post("/v1/auth/login",
                  json::json_body({"email", "rogue@example.com", "password", "correct horse"}));
    EXPECT_EQ(r->status, 403);
    EXPECT_EQ(error_code(r->body), "banned");
    // A wrong password learns nothing about the ban.
    login("rogue@example.com", "not the password", 401);
    EXPECT_EQ(rename(*cli, t.access, "Still Rogue"), 401);
    EXPECT_EQ(post("/v1/auth/refresh", json::json_body({"refresh_token", t.refresh}))->status, 401);

    ASSERT_TRUE(server::account_ban(*srv, "rogue@example.com", false));
    login("rogue@example.com", "correct horse", 200);
}

}  // namespace
}  // namespace server_test
