// One development backend for a fuzz target: a data folder of its own, fast password hashing,
// a clock that moves a minute per input (so that rate limits do not shut the fuzzer out), one
// account signed in with a bearer token, and a log kept in memory for the secret checks.
#pragma once
#include <string>
#include <vector>

#include "backend/json.h"
#include "backend/session.h"
#include "fuzz_support.h"
#include "server/accounts.h"
#include "server/server.h"

namespace fuzz {

struct Backend {
    server::Server srv;
    std::string access_token;
    std::vector<std::string> log;
    int64_t now = 1'800'000'000;
};

inline Backend& backend_fixture() {
    static Backend* b = [] {
        auto* b = new Backend;
        server::Options o;
        o.data_dir = temp_dir() + "/server";
        o.fast_hash = true;
        o.token_lifetime = int64_t(1) << 40;  // the fuzzer's own token never runs out
        b->srv.clock = [b] { return b->now; };
        b->srv.log = [b](std::string_view line) {
            if (b->log.size() < 1000) b->log.emplace_back(line);
        };
        if (!server::server_open(b->srv, o).empty()) broken("the server does not open");
        std::string error;
        if (!server::account_create(b->srv, "fuzz@example.com", "correct horse battery", "Fuzzer", error))
            broken("no account");
        server::Request login;
        login.method = "POST";
        login.path = "/v1/auth/login";
        login.body = json::json_body({"email", "fuzz@example.com", "password", "correct horse battery"});
        server::Reply reply = server::handle(b->srv, login);
        backend::Answer answer;
        if (reply.status != 200 || !backend::decode_answer(reply.body, answer)) broken("no sign-in");
        b->access_token = answer.access_token;
        return b;
    }();
    b->now += 61;
    b->log.clear();
    return *b;
}

// Every answer is a status the backend documents, and an error answer carries an `E` body
// with a code.
inline void check_reply(const server::Reply& r) {
    check(r.status >= 200 && r.status <= 599, "status out of range");
    check(r.status != 500, "server error on client input");
    if (r.status >= 400) {
        backend::E e;
        check(backend::decode_e(r.body, e) && !e.error.empty(), "error answer without a code");
    }
}

}  // namespace fuzz
