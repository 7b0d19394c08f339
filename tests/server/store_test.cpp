// What the store must hold when several instances share it: one token refreshed on two
// instances at once, replays of exchanged and dropped tokens, pruning, schema versions; and the
// sign-in and registration limits. Runs on SQLite and (from ctest) on PostgreSQL.
#include <sqlite3.h>

#include "fixture.h"
#include "server/challenges.h"
#include "server/hash_slots.h"
#include "server/rate_limit.h"
#include "server/tokens.h"

namespace server_test {
namespace {

using Store = Server_Test;
using Limits = Server_Test;

int64_t count(server::Server& srv, const char* sql) {
    server::Lease db(srv.store);
    server::Query q(db, sql);
    EXPECT_TRUE(q.row()) << sql;
    return q.integer(0);
}

server::Reply call(server::Server& srv, const std::string& path, const std::string& body,
                   const std::string& client = "127.0.0.1") {
    server::Request q;
    q.method = "POST";
    q.path = path;
    q.client = client;
    q.body = body;
    return server::handle(srv, q);
}

int refresh(server::Server& srv, const std::string& token, Tokens* out = nullptr) {
    auto r = call(srv, "/v1/auth/refresh", json::json_body({"refresh_token", token}));
    if (out) *out = decode_tokens(r.body);
    return r.status;
}

TEST_F(Store, OneTokenRefreshedOnTwoInstancesAtOnceLeavesExactlyOneLiveSuccessor) {
    Tokens t = make_account("race@example.com");
    // A second instance over the same data folder and database, with its own connections.
    server::Server other;
    other.clock = srv->clock;
    other.log = srv->log;
    ASSERT_EQ(server::server_open(other, options()), "");
    server::Http other_http;
    ASSERT_EQ(server::http_start(other, other_http, "127.0.0.1", 0), "");

    constexpr int tries = 20;
    std::vector<int> status(tries);
    std::vector<Tokens> got(tries);
    std::vector<std::thread> threads;
    for (int i = 0; i < tries; ++i)
        threads.emplace_back([&, i] {
            httplib::Client c("127.0.0.1", i % 2 ? other_http.port : http->port);
            auto r = c.Post("/v1/auth/refresh", json::json_body({"refresh_token", t.refresh}),
                            "application/json");
            status[i] = r ? r->status : 0;
            if (r) got[i] = decode_tokens(r->body);
        });
    for (auto& th : threads) th.join();
    server::http_stop(other_http);

    // The first rotates; the others look like the same player retrying a lost answer and get
    // the very same pair: one successor, one chain.
    for (int i = 0; i < tries; ++i) {
        EXPECT_EQ(status[i], 200);
        EXPECT_EQ(got[i].refresh, got[0].refresh);
        EXPECT_EQ(got[i].access, got[0].access);
    }
    EXPECT_EQ(count(*srv, "SELECT COUNT(*) FROM refresh_tokens WHERE used = 0 AND dropped = 0"), 1);
    EXPECT_EQ(count(*srv, "SELECT COUNT(*) FROM access_tokens"), 2);
}

TEST_F(Store, ReplaysGetTheSameSuccessorOnceAndEndTheSignInAfterwards) {
    struct Case {
        const char* what;
        int64_t wait;         // seconds before the first token comes back
        bool successor_used;  // the successor's access token was used before
        bool prune;           // the store was pruned in between
        bool same_pair;       // the replay gets the successor pair again (else 401, sign-in over)
    };
    const Case cases[] = {
        {"retry inside the window", 59, false, false, true},
        {"replay after the successor was used", 30, true, false, false},
        {"replay after the window", 61, false, false, false},
        {"replay eight days later, pruned in between", 8 * 24 * 3600, false, true, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Tokens first = make_account("replay" + std::to_string(n++) + "@example.com");
        Tokens lost;
        ASSERT_EQ(refresh(*srv, first.refresh, &lost), 200);  // its answer never arrives
        if (c.successor_used) {
            httplib::Headers h{{"Authorization", "Bearer " + lost.access}};
            ASSERT_EQ(cli->Patch("/v1/me", h, json::json_body({"name", "Seen"}),
                                 "application/json")
                          ->status,
                      200);
        }
        *now += c.wait;
        Tokens keep_alive;  // the player keeps refreshing over the days
        if (c.prune) {
            ASSERT_EQ(refresh(*srv, lost.refresh, &keep_alive), 200);
            ASSERT_TRUE(server::server_prune(*srv, *now));
        }
        Tokens again;
        int replay = refresh(*srv, first.refresh, &again);
        if (c.same_pair) {
            ASSERT_EQ(replay, 200);
            EXPECT_EQ(again.refresh, lost.refresh);
            EXPECT_EQ(again.access, lost.access);
            EXPECT_EQ(refresh(*srv, again.refresh), 200);  // the chain goes on
        } else {
            EXPECT_EQ(replay, 401);
            // The copy ended the sign-in: no token of it works any longer.
            EXPECT_EQ(refresh(*srv, c.prune ? keep_alive.refresh : lost.refresh), 401);
        }
    }
}

TEST_F(Store, TwoRotationsWithinOneSecondLeaveTheLostAnswerRetryWorking) {
    Tokens first = make_account("quick@example.com");
    Tokens second, lost, again;
    *now_ms = 100;
    ASSERT_EQ(refresh(*srv, first.refresh, &second), 200);
    *now_ms = 200;
    ASSERT_EQ(refresh(*srv, second.refresh, &lost), 200);  // its answer never arrives
    *now_ms = 300;
    ASSERT_EQ(refresh(*srv, second.refresh, &again), 200);
    EXPECT_EQ(again.refresh, lost.refresh);
    EXPECT_EQ(refresh(*srv, first.refresh), 401);  // the first one is a copy: it ends the sign-in
}

TEST_F(Store, PruningDropsEndedSignInsAndKeepsExchangedTokensAsLongAsTheirSignIn) {
    Tokens kept = make_account("keep@example.com");
    Tokens ended = login("keep@example.com", "correct horse");
    ASSERT_EQ(post("/v1/auth/logout", json::json_body({"refresh_token", ended.refresh}))->status, 200);
    Tokens next;
    ASSERT_EQ(refresh(*srv, kept.refresh, &next), 200);
    *now += 7 * 24 * 3600 + 1;
    ASSERT_TRUE(server::server_prune(*srv, *now));
    EXPECT_EQ(count(*srv, "SELECT COUNT(*) FROM sign_ins"), 1);
    EXPECT_EQ(count(*srv, "SELECT COUNT(*) FROM refresh_tokens"), 2);  // live one and evidence
    Tokens third;
    EXPECT_EQ(refresh(*srv, next.refresh, &third), 200);
    // Past the sign-in's last token nothing is kept.
    *now += 31 * 24 * 3600;
    ASSERT_TRUE(server::server_prune(*srv, *now));
    EXPECT_EQ(count(*srv, "SELECT COUNT(*) FROM refresh_tokens"), 0);
    EXPECT_EQ(count(*srv, "SELECT COUNT(*) FROM sign_ins"), 0);
}

TEST_F(Store, ADatabaseOfANewerVersionIsRefused) {
    {
        server::Lease db(srv->store);
        server::Query q(db, "PRAGMA user_version = 99", "UPDATE schema_version SET version = 99");
        ASSERT_TRUE(q.done());
    }
    stop();
    server::Server s;
    EXPECT_NE(server::server_open(s, options()).find("newer version"), std::string::npos);
}

TEST_F(Store, TheFirstReleasesSqliteFileKeepsItsAccountsTokensAndMaps) {
    stop();
    fs::remove(dir / "tarnwick.db");
    std::string hash;
    ASSERT_TRUE(server::password_hash("old password", true, hash));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "tarnwick.db").c_str(), &db), SQLITE_OK);
    std::string sql = R"(
CREATE TABLE accounts (id INTEGER PRIMARY KEY, email TEXT NOT NULL, email_key TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL, password_hash TEXT NOT NULL, banned INTEGER NOT NULL DEFAULT 0,
  created_at INTEGER NOT NULL);
CREATE TABLE sign_ins (id INTEGER PRIMARY KEY, account_id INTEGER NOT NULL REFERENCES accounts(id),
  created_at INTEGER NOT NULL, revoked INTEGER NOT NULL DEFAULT 0);
CREATE TABLE refresh_tokens (hash TEXT PRIMARY KEY, sign_in_id INTEGER NOT NULL REFERENCES sign_ins(id),
  expires_at INTEGER NOT NULL, used INTEGER NOT NULL DEFAULT 0);
CREATE INDEX refresh_tokens_sign_in ON refresh_tokens(sign_in_id);
CREATE TABLE access_tokens (hash TEXT PRIMARY KEY, sign_in_id INTEGER NOT NULL REFERENCES sign_ins(id),
  expires_at INTEGER NOT NULL);
CREATE INDEX access_tokens_sign_in ON access_tokens(sign_in_id);
CREATE TABLE maps (id INTEGER PRIMARY KEY, author_id INTEGER NOT NULL REFERENCES accounts(id),
  name TEXT NOT NULL, name_key TEXT NOT NULL, description TEXT NOT NULL DEFAULT '',
  file_sha256 TEXT NOT NULL, size_bytes INTEGER NOT NULL, has_thumb INTEGER NOT NULL DEFAULT 0,
  downloads INTEGER NOT NULL DEFAULT 0, likes INTEGER NOT NULL DEFAULT 0,
  version INTEGER NOT NULL DEFAULT 1, created_at INTEGER NOT NULL, updated_at INTEGER NOT NULL,
  UNIQUE(author_id, name_key));
INSERT INTO accounts VALUES (7, 'Old@example.com', 'old@example.com', 'Old Timer', ')" + hash + R"(', 0, 1);
INSERT INTO sign_ins VALUES (3, 7, 1, 0);
INSERT INTO refresh_tokens VALUES (')" + server::token_hash("kept-token") + R"(', 3, 1900000000, 0);
INSERT INTO maps VALUES (5, 7, 'Old Map', 'old map', '', 'ab', 10, 0, 4, 2, 1, 1, 1);
PRAGMA user_version = 1;)";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    auto o = options();
    o.database.clear();  // this test is about the SQLite file
    start(o);
    EXPECT_FALSE(srv->created);
    Tokens renewed;
    EXPECT_EQ(refresh(*srv, "kept-token", &renewed), 200);
    EXPECT_EQ(renewed.id, 7);
    EXPECT_EQ(login("old@example.com", "old password").name, "Old Timer");
    auto list = cli->Get("/v1/maps");
    ASSERT_TRUE(list);
    EXPECT_NE(list->body.find("\"Old Map\""), std::string::npos);
}

TEST_F(Limits, ASuccessClearsItsPairsTyposAndKnownAddressesGetPastOtherPeoplesFailures) {
    make_account("me@example.com", "the right one");
    auto login_from = [&](const std::string& email, const std::string& password,
                          const std::string& client) {
        return call(*srv, "/v1/auth/login",
                    json::json_body({"email", email, "password", password}), client).status;
    };
    // Four typos, a success, one more typo: the success wiped the typos.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(login_from("me@example.com", "typo", "10.1.0.1"), 401);
    EXPECT_EQ(login_from("me@example.com", "the right one", "10.1.0.1"), 200);
    EXPECT_EQ(login_from("me@example.com", "typo", "10.1.0.1"), 401);
    EXPECT_EQ(login_from("me@example.com", "the right one", "10.1.0.1"), 200);

    // Strangers guess this email from many addresses: a new address is refused, the known one
    // still signs in with the right password.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(login_from("me@example.com", "guess", "10.2.0." + std::to_string(i)), 401);
    EXPECT_EQ(login_from("me@example.com", "the right one", "10.3.0.1"), 429);
    EXPECT_EQ(login_from("me@example.com", "the right one", "10.1.0.1"), 200);

    // Someone behind the player's address sprays other emails: the player's pair still works,
    // the sprayer's pairs and unknown ones do not, right password or not.
    *now += 61;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(login_from("spray" + std::to_string(i) + "@example.com", "x", "10.1.0.1"), 401);
    EXPECT_EQ(login_from("me@example.com", "the right one", "10.1.0.1"), 200);
    make_account("new@example.com", "the right one");
    EXPECT_EQ(login_from("new@example.com", "the right one", "10.1.0.1"), 429);
    // A pair with five failures of its own stays shut, known or not.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(login_from("me@example.com", "typo", "10.1.0.1"), 401);
    EXPECT_EQ(login_from("me@example.com", "the right one", "10.1.0.1"), 429);
}

TEST_F(Limits, RegistrationsAreLimitedPerAddressPerHour) {
    auto register_from = [&](int n, const std::string& client) {
        std::string email = "r" + std::to_string(n) + "@example.com";
        return call(*srv, "/v1/auth/register",
                    json::json_body({"email", email, "password", "long enough", "name", "Someone"}),
                    client).status;
    };
    int n = 0;
    for (int i = 0; i < server::registration_limit; ++i) EXPECT_EQ(register_from(n++, "10.9.0.1"), 201);
    EXPECT_EQ(register_from(n++, "10.9.0.1"), 429);
    EXPECT_EQ(register_from(n++, "10.9.0.2"), 201);
    *now += server::registration_window;
    EXPECT_EQ(register_from(n++, "10.9.0.1"), 201);
}

TEST_F(Limits, ATakenEmailCountsAgainstTheRegistrationLimit) {
    make_account("taken@example.com");
    auto again = [&] {
        return call(*srv, "/v1/auth/register",
                    json::json_body({"email", "taken@example.com", "password", "long enough",
                                     "name", "Someone"}),
                    "10.8.0.1")
            .status;
    };
    for (int i = 0; i < server::registration_limit; ++i) EXPECT_EQ(again(), 409);
    EXPECT_EQ(again(), 429);
}

TEST_F(Limits, GuessesSentAtOnceAreCheckedNoMoreThanTheLimit) {
    // Real Argon2id cost, so that the guesses overlap while their hashes run.
    stop();
    server::Options o = options();
    o.fast_hash = false;
    start(o);
    make_account("target@example.com", "the right one");
    constexpr int guesses = 30;
    std::vector<int> status(guesses);
    std::vector<std::thread> threads;
    for (int i = 0; i < guesses; ++i)
        threads.emplace_back([&, i] {
            httplib::Client c("127.0.0.1", http->port);
            c.set_read_timeout(30, 0);
            auto r = c.Post("/v1/auth/login",
                            json::json_body({"email", "target@example.com", "password",
                                             "guess " + std::to_string(i)}),
                            "application/json");
            status[i] = r ? r->status : 0;
        });
    for (auto& t : threads) t.join();
    int checked = 0, refused = 0;
    for (int s : status) {
        checked += s == 401;
        refused += s == 429 || s == 503;   // turned away by the limit, or by busy hash slots
    }
    EXPECT_LE(checked, server::login_limit);
    EXPECT_EQ(checked + refused, guesses);
}

TEST_F(Limits, PasswordHashesBeyondTheSlotsAndTheirQueueAreTurnedAway) {
    make_account("busy@example.com", "the right one");
    srv->hash_slots.limit = 1;
    srv->hash_slots.queue = 0;
    for (int i = 0; i < server::login_limit; ++i) {
        server::Hash_Slot held(srv->hash_slots);
        ASSERT_TRUE(held.held());
        auto r = cli->Post("/v1/auth/login",
                           json::json_body({"email", "busy@example.com", "password", "wrong"}),
                           "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 503);
        EXPECT_EQ(r->get_header_value("Retry-After"), "2");
    }
    // Turned away, they still counted against the address: retrying a busy server is no free
    // guess. This launcher has no device token, so it is asked for a proof of work now.
    auto r = post("/v1/auth/login", json::json_body({"email", "busy@example.com", "password", "the right one"}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 429);
    EXPECT_NE(r->body.find("\"challenge\""), std::string::npos);
}

// A sign-in as a launcher sends it: the device token it holds, the challenge it solved.
server::Reply sign_in(server::Server& srv, const std::string& email, const std::string& password,
                      const std::string& client, const std::string& device = "",
                      const Solved& solved = {}) {
    std::string body = json::json_body({"email", email, "password", password});
    if (!device.empty()) body = with_member(body, "device", device);
    if (!solved.challenge.empty())
        body = with_member(with_member(body, "challenge", solved.challenge), "proof", solved.proof);
    return call(srv, "/v1/auth/login", body, client);
}

TEST_F(Limits, UnderAttackAKnownDeviceGetsInAndAStrangerPaysWithAProofOfWork) {
    enum class Device { none, own, other_emails, own_after_its_own_failures };
    enum class Proof { none, solved, solved_for_other_email, spent, expired, wrong };
    struct Case {
        const char* what;
        Device device;
        Proof proof;
        int status;
        bool challenge;  // the answer carries a new challenge
    };
    const Case cases[] = {
        {"the player's device, from a new address", Device::own, Proof::none, 200, false},
        {"no device: the plain sign-in is refused as before, with a challenge", Device::none, Proof::none, 429, true},
        {"no device, challenge solved", Device::none, Proof::solved, 200, false},
        {"another email's device counts as none", Device::other_emails, Proof::none, 429, true},
        {"a challenge solved for another email", Device::none, Proof::solved_for_other_email, 429, true},
        {"a challenge spent before", Device::none, Proof::spent, 429, true},
        {"a challenge answered after it expired", Device::none, Proof::expired, 429, true},
        {"a proof that does not solve it", Device::none, Proof::wrong, 429, true},
        {"the player's device after five failures of its own", Device::own_after_its_own_failures, Proof::none, 429, false},
    };
    server::Server& s = *srv;
    s.options.challenge_bits = 8;
    make_account("other@example.com", "the right one");
    std::string other_device = decode_tokens(sign_in(s, "other@example.com", "the right one", "10.0.0.9").body).device;
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        *now += 61;  // the last case's failures are gone
        std::string email = "p" + std::to_string(n++) + "@example.com";
        make_account(email, "the right one");
        std::string device = decode_tokens(sign_in(s, email, "the right one", "10.1.0.1").body).device;
        ASSERT_FALSE(device.empty());
        // Strangers guess this email's password from many addresses.
        auto attack = [&] {
            for (int i = 0; i < 5; ++i)
                ASSERT_EQ(sign_in(s, email, "guess", "10.2.0." + std::to_string(i)).status, 401);
        };
        attack();
        if (c.device == Device::own_after_its_own_failures) {
            for (int i = 0; i < 5; ++i) ASSERT_EQ(sign_in(s, email, "typo", "10.1.0.1", device).status, 401);
        }
        std::string use = c.device == Device::none           ? ""
                          : c.device == Device::other_emails ? other_device
                                                             : device;
        Solved solved;
        if (c.proof != Proof::none) {
            std::string other = server::challenge_issue(s.challenge_key, "other@example.com", 8, *now);
            solved = solve_challenge(c.proof == Proof::solved_for_other_email
                                         ? "{\"challenge\":\"" + other + "\",\"bits\":8}"
                                         : sign_in(s, email, "x", "10.3.0.1").body);
            ASSERT_EQ(solved.bits, 8);
            if (c.proof == Proof::wrong) {
                solved.proof = std::to_string(std::stoll(solved.proof) + 1);
                if (backend::pow_check(solved.challenge, 8, solved.proof)) solved.proof = "x";
            }
            if (c.proof == Proof::spent) {
                ASSERT_EQ(sign_in(s, email, "guess", "10.3.0.2", "", solved).status, 401);
            }
            if (c.proof == Proof::expired) {
                *now += server::challenge_lifetime;
                attack();  // still under attack
            }
        }
        server::Reply r = sign_in(s, email, "the right one", "10.4.0.1", use, solved);
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_EQ(r.body.find("\"challenge\"") != std::string::npos, c.challenge) << r.body;
    }
}

TEST_F(Limits, AddressesAreCountedByTheirSubscribersNetwork) {
    struct Case {
        const char* what;
        const char* sprayer;
        const char* then;
        int status;
    };
    const Case cases[] = {
        {"IPv6: another address of the same /64", "2001:db8:1:2::1", "2001:db8:1:2:ffff::9", 429},
        {"IPv6: the next /64", "2001:db8:1:2::1", "2001:db8:1:3::1", 200},
        {"IPv4 written as IPv6 is the IPv4 address", "10.5.0.1", "::ffff:10.5.0.1", 429},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        *now += 61;
        std::string email = "net" + std::to_string(n++) + "@example.com";
        make_account(email, "the right one");
        for (int i = 0; i < 5; ++i)
            ASSERT_EQ(sign_in(*srv, "spray" + std::to_string(i) + "@example.com", "x", c.sprayer).status, 401);
        EXPECT_EQ(sign_in(*srv, email, "the right one", c.then).status, c.status);
    }
}

}  // namespace
}  // namespace server_test
