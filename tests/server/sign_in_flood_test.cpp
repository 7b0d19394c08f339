// Floods of guesses at one email over HTTP while every hash slot is taken: the player's device and
// a newcomer who solved the challenge still get in. Addresses come from X-Real-IP (a trusted proxy).
#include <optional>

#include "fixture.h"
#include "server/hash_slots.h"
#include "server/rate_limit.h"

namespace server_test {
namespace {

using Flood = Server_Test;

// A sign-in from `address`; status -1 when no answer came.
httplib::Response post_as(int port, const std::string& address, const std::string& body) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(20, 0);
    auto r = c.Post("/v1/auth/login", httplib::Headers{{"X-Real-IP", address}}, body, "application/json");
    return r ? *r : httplib::Response{};
}

// The latest arrival waits with a priority above a stranger's guess.
bool player_in_line(server::Hash_Slots& slots) {
    std::lock_guard g(slots.lock);
    return !slots.waiting.empty() && slots.waiting.back()->priority != server::Hash_Priority::other;
}

TEST_F(Flood, ThePlayersDeviceAndAProvenNewcomerGetPastAFullQueueOfGuesses) {
    struct Case {
        const char* what;
        bool flood_from_players_address;
        bool known_device;  // else a new address that solves the challenge it is handed
    };
    const Case cases[] = {
        {"known device, flood from 40 other addresses", false, true},
        {"known device, flood from behind the player's shared address", true, true},
        {"new address that solves the challenge", false, false},
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
        std::string device = decode_tokens(post_as(http->port, "10.1.0.1", good).body).device;
        ASSERT_FALSE(device.empty());

        // Every hash slot is taken while 40 guesses arrive at once: the free ones fill the queue.
        std::optional<server::Hash_Slot> held(std::in_place, slots);
        ASSERT_TRUE(held->held());
        std::vector<std::thread> flood;
        std::atomic<int> guessed{0}, answered{0};
        for (int i = 0; i < 40; ++i)
            flood.emplace_back([&, i] {
                std::string from = c.flood_from_players_address ? "10.1.0.1" : "10.2.0." + std::to_string(i);
                guessed += post_as(http->port, from, json::json_body({"email", email, "password", "guess"})).status == 401;
                ++answered;
            });
        // Every guess but the ones in line has its answer: the free guesses are all spent.
        for (int i = 0; i < 2000 && answered < 40 - int(slots.queue); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(answered, 40 - int(slots.queue));

        std::atomic<int> status{0};
        std::thread player([&] {
            if (c.known_device) {
                status = post_as(http->port, "10.3.0.1", with_member(good, "device", device)).status;
                return;
            }
            Solved solved = solve_challenge(post_as(http->port, "10.3.0.1", good).body);
            std::string body = with_member(with_member(good, "challenge", solved.challenge), "proof", solved.proof);
            status = post_as(http->port, "10.3.0.1", body).status;
        });
        // The player is in line: it took a stranger's place.
        for (int i = 0; i < 1000 && status == 0 && !player_in_line(slots); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        held.reset();
        player.join();
        for (auto& t : flood) t.join();
        EXPECT_EQ(status, 200);
        EXPECT_LE(guessed, server::login_limit);  // past the free guesses, none reached a hash
    }
}

}  // namespace
}  // namespace server_test
