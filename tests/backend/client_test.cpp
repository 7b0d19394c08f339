// The client's queue, ids, authorization and life cycle.
#include "backend/client.h"
#include "support/client_wait.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

namespace backend {
namespace {

using support::Recorded_Request;
using support::Reply;

constexpr const char* agent = "TarnwickLauncher/0.1.3";

struct ClientTest : ::testing::Test {
    std::unique_ptr<support::Test_Server> server = support::start_test_server();
    Client client;

    void SetUp() override {
        ASSERT_TRUE(server);
        on(*server, "*", "*", [](const Recorded_Request& r) { return support::text(200, r.target); });
        ASSERT_TRUE(init(client, support::base_url(*server), agent, 5000));
    }
};

TEST_F(ClientTest, RequestsQueuedInOneFrameArriveInOrderWithIncreasingIds) {
    uint64_t a = request_typed(client, Method::GET, "/one");
    uint64_t b = request_typed(client, Method::POST, "/two", "{}");
    uint64_t c = request_typed(client, Method::GET, "/three");
    EXPECT_NE(a, 0u);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);

    std::vector<Response> got = support::poll_until(client, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].id, a);
    EXPECT_EQ(got[0].body, "/one");
    EXPECT_EQ(got[1].id, b);
    EXPECT_EQ(got[1].body, "/two");
    EXPECT_EQ(got[2].id, c);
    EXPECT_EQ(got[2].body, "/three");

    std::vector<Recorded_Request> seen = support::requests(*server);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].target, "/one");
    EXPECT_EQ(seen[1].target, "/two");
    EXPECT_EQ(seen[2].target, "/three");

    EXPECT_TRUE(poll(client).empty());  // each response is handed over once
}

TEST_F(ClientTest, BaseUrlWithTrailingSlashesJoinsWithOneSlash) {
    destroy(client);
    ASSERT_TRUE(init(client, support::base_url(*server) + "///", agent, 5000));
    EXPECT_EQ(client.base_url, support::base_url(*server));
    request_typed(client, Method::PATCH, "/v1/me", "{}");
    Response r = support::wait_response(client);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(support::requests(*server).back().target, "/v1/me");
}

TEST_F(ClientTest, EmptyTokenClearsTheAuthorization) {
    set_token(client, "abc");
    request_typed(client, Method::GET, "/with");
    set_token(client, "");
    request_typed(client, Method::GET, "/without");
    ASSERT_EQ(support::poll_until(client, 2).size(), 2u);
    std::vector<Recorded_Request> seen = support::requests(*server);
    ASSERT_EQ(seen.size(), 2u);
    ASSERT_NE(seen[0].header("Authorization"), nullptr);
    EXPECT_EQ(*seen[0].header("Authorization"), "Bearer abc");
    EXPECT_EQ(seen[1].header("Authorization"), nullptr);
}

TEST_F(ClientTest, QueuedRequestKeepsTheAuthorizationItWasQueuedWith) {
    Reply slow;  // keeps the worker busy so that the next request is still queued
    slow.delay_ms = 200;
    on(*server, "GET", "/slow", slow);

    request_typed(client, Method::GET, "/slow");
    set_authorization(client, "Basic first");
    request_typed(client, Method::GET, "/queued");
    set_authorization(client, "Basic second");
    set_token(client, "third");
    ASSERT_EQ(support::poll_until(client, 2).size(), 2u);

    std::vector<Recorded_Request> seen = support::requests(*server);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].header("Authorization"), nullptr);
    ASSERT_NE(seen[1].header("Authorization"), nullptr);
    EXPECT_EQ(*seen[1].header("Authorization"), "Basic first");
}

TEST_F(ClientTest, PollWithNothingFinishedIsEmpty) {
    EXPECT_TRUE(poll(client).empty());
}

TEST_F(ClientTest, TwoClientsQueueingFromTwoThreadsNeverShareAnId) {
    Client other;
    ASSERT_TRUE(init(other, support::base_url(*server), agent, 5000));
    constexpr int per_client = 200;
    std::vector<uint64_t> mine, theirs;
    std::thread t([&] {
        for (int i = 0; i < per_client; ++i) theirs.push_back(request_typed(other, Method::GET, "/b"));
    });
    for (int i = 0; i < per_client; ++i) mine.push_back(request_typed(client, Method::GET, "/a"));
    t.join();

    std::set<uint64_t> all(mine.begin(), mine.end());
    all.insert(theirs.begin(), theirs.end());
    EXPECT_EQ(all.size(), size_t(2 * per_client));
    EXPECT_EQ(all.count(0), 0u);
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
    EXPECT_TRUE(std::is_sorted(theirs.begin(), theirs.end()));
    destroy(other);  // abandons what is still queued
}

TEST_F(ClientTest, DestroyDuringAStalledReceiveAbortsWithoutDelivering) {
    destroy(client);
    // A time-out far beyond the test's patience: only the abort can end the wait.
    ASSERT_TRUE(init(client, support::base_url(*server), agent, 30000));
    Reply stall;
    stall.stall = true;
    on(*server, "GET", "/stall", stall);
    request_typed(client, Method::GET, "/stall");
    request_typed(client, Method::GET, "/never");  // queued behind it: never performed
    ASSERT_TRUE(support::wait_for_requests(*server, 1, 5000));

    auto start = std::chrono::steady_clock::now();
    destroy(client);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(20));  // did not wait for the time-out

    EXPECT_FALSE(client.ready);
    EXPECT_TRUE(client.pending.empty());
    EXPECT_TRUE(poll(client).empty());
    std::vector<Recorded_Request> seen = support::requests(*server);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/stall");
}

TEST_F(ClientTest, DestroyIsHarmlessTwiceAndTheRecordCanBeInitialisedAgain) {
    set_token(client, "abc");
    client.max_body = 64 << 20;
    destroy(client);
    destroy(client);
    EXPECT_FALSE(client.ready);
    EXPECT_EQ(client.base_url, "");
    EXPECT_EQ(client.authorization, "");
    EXPECT_EQ(client.max_body, 0);

    Client never_initialised;
    destroy(never_initialised);
    EXPECT_FALSE(never_initialised.ready);

    ASSERT_TRUE(init(client, support::base_url(*server), agent, 5000));
    request_typed(client, Method::GET, "/again");
    Response r = support::wait_response(client);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "/again");
    // The authorization of the earlier life is gone.
    EXPECT_EQ(support::requests(*server).back().header("Authorization"), nullptr);
}

TEST_F(ClientTest, InitOnAReadyClientIsRefused) {
    EXPECT_FALSE(init(client, "http://127.0.0.1:1", agent, 5000));
    EXPECT_EQ(client.base_url, support::base_url(*server));  // the live client is untouched
}

TEST(Response, DestroyFreesBodyAndErrAndZeroesTheRecord) {
    Response r{.id = 7, .status = 200, .body = std::string(100000, 'x'), .err = "e"};
    response_destroy(r);
    EXPECT_EQ(r.id, 0u);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.body.empty());
    EXPECT_LT(r.body.capacity(), 100u);
    EXPECT_TRUE(r.err.empty());
}

}  // namespace
}  // namespace backend
