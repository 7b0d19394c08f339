// Floods of guesses against one email over HTTP, with every hash slot taken and the queue full
// of strangers' guesses: the player's own device, and a new address that solves the challenge,
// still sign in. Client addresses come from X-Real-IP (the server trusts this machine as its
// proxy), so a flood from many addresses needs no real ones.
#include <optional>

#include "backend/proof_of_work.h"
#include "fixture.h"
#include "server/hash_slots.h"
#include "server/rate_limit.h"

namespace server_test {
namespace {

using Flood = Server_Test;

httplib::Result post_as(int port, const std::string& address, const std::string& body) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(20, 0);
    return c.Post("/v1/auth/login", httplib::Headers{{"X-Real-IP", address}}, body, "application/json");
}

std::string with(std::string body, const std::string& member, const std::string& value) {
    body.pop_back();
    return body + ",\"" + member + "\":\"" + value + "\"}";
}

// What the launcher does: the sign-in, and once more with the proof when a challenge comes back.
int sign_in_solving(int port, const std::string& address, const std::string& body) {
    auto r = post_as(port, address, body);
    if (!r || r->status != 429) return r ? r->status : 0;
    std::string challenge;
    int64_t bits = 0;
    json::Value root;
    if (!json::parse(r->body, root)) return 0;
    json::members(root, [&](std::string_view k, json::Value v) {
        if (k == "challenge") json::get(v, challenge);
        if (k == "bits") json::get(v, bits);
        return true;
    });
    std::atomic<bool> stop{false};
    std::string proof;
    if (!backend::pow_solve(challenge, int(bits), stop, proof)) return 0;
    auto again = post_as(port, address, with(with(body, "challenge", challenge), "proof", proof));
    return again ? again->status : 0;
}

size_t waiting(server::Hash_Slots& slots) {
    std::lock_guard g(slots.lock);
    return slots.waiting.size();
}

// The latest arrival waits with a priority above a stranger's guess.
bool player_in_line(server::Hash_Slots& slots) {
    std::lock_guard g(slots.lock);
    return !slots.waiting.empty() && slots.waiting.back()->priority != server::Hash_Priority::other;
}

TEST_F(Flood, ThePlayersDeviceAndAProvenNewcomerGetPastAFullQueueOfGuesses) {
    enum class Player { known_device, solves_challenge, plain_launcher };
    struct Case {
        const char* what;
        bool flood_from_players_address;
        Player player;
        int status;
    };
    const Case cases[] = {
        {"known device, flood from 40 other addresses", false, Player::known_device, 200},
        {"known device, flood from behind the player's shared address", true, Player::known_device, 200},
        {"new address that solves the challenge", false, Player::solves_challenge, 200},
        {"new address, a launcher that solves nothing: refused before any hash", false, Player::plain_launcher, 429},
    };
    stop();
    server::Options o = options();
    o.trusted_proxies = {"127.0.0.1"};
    o.challenge_bits = 8;
    start(o);
    server::Hash_Slots& slots = srv->hash_slots;
    slots.limit = 1;
    slots.queue = 4;
    slots.longest_wait = std::chrono::milliseconds(15000);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        *now += 61;
        std::string email = "flooded" + std::to_string(n++) + "@example.com";
        make_account(email, "the right one");
        std::string good = json::json_body({"email", email, "password", "the right one"});
        auto first = post_as(http->port, "10.1.0.1", good);
        ASSERT_TRUE(first);
        std::string device = decode_tokens(first->body).device;
        ASSERT_FALSE(device.empty());

        // Every hash slot is taken while 40 guesses arrive at once: the free ones fill the queue.
        std::optional<server::Hash_Slot> held(std::in_place, slots);
        ASSERT_TRUE(held->held());
        std::vector<std::thread> flood;
        std::atomic<int> guessed{0}, answered{0};
        for (int i = 0; i < 40; ++i)
            flood.emplace_back([&, i] {
                std::string from = c.flood_from_players_address ? "10.1.0.1" : "10.2.0." + std::to_string(i);
                auto r = post_as(http->port, from, json::json_body({"email", email, "password", "guess"}));
                if (r && r->status == 401) ++guessed;
                ++answered;
            });
        // Every guess but the ones in line has its answer: the free guesses are all spent.
        for (int i = 0; i < 2000 && (waiting(slots) < slots.queue || answered < 40 - int(slots.queue)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(waiting(slots), slots.queue);
        ASSERT_EQ(answered, 40 - int(slots.queue));

        std::atomic<int> status{0};
        std::thread player([&] {
            if (c.player == Player::known_device) status = post_as(http->port, "10.3.0.1", with(good, "device", device))->status;
            if (c.player == Player::solves_challenge) status = sign_in_solving(http->port, "10.3.0.1", good);
            if (c.player == Player::plain_launcher) status = post_as(http->port, "10.3.0.1", good)->status;
        });
        // The player is in line (it took a stranger's place) or was answered without a hash.
        for (int i = 0; i < 1000 && status == 0 && !player_in_line(slots); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        held.reset();
        player.join();
        for (auto& t : flood) t.join();
        EXPECT_EQ(status, c.status);
        EXPECT_LE(guessed, server::login_limit);  // past the free guesses, none reached a hash
    }
}

}  // namespace
}  // namespace server_test
