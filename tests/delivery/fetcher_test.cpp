// The chunk fetcher against the recording test server, the same cases on Linux (libcurl) and on
// Windows (WinHTTP): every answer comes back under its tag, a few at a time, and an answer past
// its limit or one that stalls or trickles is refused, and transfers together keep to the
// download limit; a chunk index's answer is bounded by the size the signed manifest names.
#include "delivery/fetcher.h"
#include "delivery/index_fetch.h"
#include "delivery/rate_limit.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

using namespace delivery;

TEST(Fetcher, AnswersEachFetchByTagAndRefusesWhatPassesItsLimitOrStalls) {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    ASSERT_TRUE(srv);
    auto reply = [](int status, std::string body) { return support::Reply{status, {}, std::move(body)}; };
    support::Reply unannounced = reply(200, "");
    unannounced.no_content_length = true;
    unannounced.fill_size = 1 << 20;
    support::Reply stalled = reply(200, std::string(100, 's'));
    stalled.stall_after = 10;
    // Announces a terabyte, then stalls: refused for its length at once, never reserved for.
    support::Reply huge = stalled;
    huge.content_length = int64_t(1) << 40;
    support::Reply trickle = reply(200, std::string(200, 't'));  // 10 bytes a second: 20 s whole
    trickle.drip_bytes = 1;
    trickle.drip_ms = 100;
    struct Case {
        const char* path;
        support::Reply reply;
        uint64_t limit;
        long status;      // 0: refused
        const char* err;  // when refused: this text, or "" for any
    } cases[] = {
        {"/exact", reply(200, "hello"), 5, 200, ""},
        {"/missing", reply(404, "no"), 100, 404, ""},
        {"/announced-too-long", reply(200, std::string(1000, 'x')), 999, 0, answer_too_long},
        {"/unannounced-too-long", unannounced, 1000, 0, answer_too_long},
        {"/stalled", stalled, 100, 0, ""},
        {"/announced-far-too-long", huge, 100, 0, answer_too_long},
        {"/trickle", trickle, 1000, 0, ""},
    };
    for (const Case& c : cases) support::on(*srv, "GET", c.path, c.reply);
    const size_t numbered = 12;
    for (size_t i = 0; i < numbered; ++i)
        support::on(*srv, "GET", "/n/" + std::to_string(i), reply(200, "answer " + std::to_string(i)));

    Fetcher f;
    f.base_url = support::base_url(*srv);
    f.parallel = 3;
    f.stall_seconds = 1;
    size_t handed = 0;
    std::map<size_t, Fetch_Result> results;
    bool ok = fetcher_run(
        f,
        [&](Fetch& out) {
            size_t i = handed++;
            if (i < std::size(cases)) out = Fetch{.path = cases[i].path, .limit = cases[i].limit, .tag = i};
            else if (i < std::size(cases) + numbered)
                out = Fetch{.path = "/n/" + std::to_string(i - std::size(cases)), .limit = 16, .tag = i};
            return i < std::size(cases) + numbered;
        },
        [&](Fetch_Result& r) {
            EXPECT_FALSE(results.count(r.tag)) << "answered twice: " << r.tag;
            results[r.tag] = std::move(r);
            return true;
        });
    EXPECT_TRUE(ok);
    ASSERT_EQ(results.size(), std::size(cases) + numbered);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const Fetch_Result& r = results[i];
        EXPECT_EQ(r.status, c.status) << c.path << ": " << r.err;
        if (c.status) EXPECT_EQ(r.body, c.reply.body) << c.path;
        else if (*c.err) EXPECT_EQ(r.err, c.err) << c.path;
        else EXPECT_NE(r.err, "") << c.path;
    }
    for (size_t i = 0; i < numbered; ++i) {
        EXPECT_EQ(results[std::size(cases) + i].status, 200);
        EXPECT_EQ(results[std::size(cases) + i].body, "answer " + std::to_string(i));
    }
}

TEST(Fetcher, TransfersInParallelShareOneDownloadLimit) {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    ASSERT_TRUE(srv);
    const size_t answers = 8, size = 100000;
    for (size_t i = 0; i < answers; ++i)
        support::on(*srv, "GET", "/n/" + std::to_string(i), support::Reply{200, {}, std::string(size, char('a' + i))});
    Fetcher f;
    f.base_url = support::base_url(*srv);
    f.parallel = 4;
    size_t handed = 0, whole = 0;
    // 800 KB at 400 KB/s: two seconds, less the half second a budget left idle lets through at
    // once (a quarter second saved up, a quarter second ahead). However long this machine has
    // been up, idle time earns no more.
    set_download_limit(400000);
    const auto start = std::chrono::steady_clock::now();
    bool ok = fetcher_run(
        f,
        [&](Fetch& out) {
            if (handed == answers) return false;
            out = Fetch{.path = "/n/" + std::to_string(handed), .limit = size, .tag = handed};
            ++handed;
            return true;
        },
        [&](Fetch_Result& r) {
            whole += r.status == 200 && r.body == std::string(size, char('a' + r.tag));
            return true;
        });
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    set_download_limit(0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(whole, answers);
    EXPECT_GE(took.count(), 1.4);
}

TEST(Index_Fetch, AnIndexAnswerPastTheSizeTheManifestNamesIsRefusedUnread) {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    ASSERT_TRUE(srv);
    // A 60 GB file's index, named 4 KiB by the manifest, answered with 8 GiB.
    backend::Release_File file{.path = "data/world.pak", .size = int64_t(60) << 30, .sha256 = std::string(64, 'a'),
                               .chunk_index = std::string(64, 'b'), .chunk_index_size = 4096};
    support::Reply announced{200, {}, "", uint64_t(8) << 30}, unannounced = announced;
    unannounced.no_content_length = true;
    for (const support::Reply& reply : {announced, unannounced}) {
        support::on(*srv, "GET", "/files/indexes/" + file.chunk_index, reply);
        Job j;
        j.fetcher.base_url = support::base_url(*srv);
        j.files = {file};
        std::vector<Part_File> parts(1);
        std::string failure;
        EXPECT_FALSE(fetch_indexes(j, parts, failure));
        EXPECT_EQ(failure, damaged(file)) << reply.no_content_length;
    }
}
