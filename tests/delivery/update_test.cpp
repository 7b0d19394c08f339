// An update through the job against the recording test server: the kept cut used while the old
// file is unchanged since (nothing of it read to plan) and refused otherwise, in place where
// most chunks stay put and as a new part where an insertion moved them.
#include "delivery/in_place.h"
#include "delivery/job.h"
#include "delivery/kept_cut.h"
#include "delivery/part_file.h"
#include "support/files.h"
#include "support/folders.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

using namespace delivery;
namespace fs = std::filesystem;

namespace {

const Chunk_Params small{4 << 10, 16 << 10, 64 << 10};

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(rng() & 0xFF);
    return s;
}

// Publishes `data` as "data/world.pak" on the server: its index, pages and chunks.
backend::Release_File publish(support::Test_Server& srv, const std::string& data) {
    Chunk_Index x;
    x.params = small;
    for (std::string_view rest = data; !rest.empty();) {
        size_t n = cut_point(reinterpret_cast<const unsigned char*>(rest.data()), rest.size(), small);
        std::string stored = compress_chunk(rest.substr(0, n));
        Digest d = sha256(rest.substr(0, n));
        x.chunks.push_back({d, uint32_t(n), uint32_t(stored.size())});
        support::on(srv, "GET", "/files/chunks/" + hex(d), support::Reply{200, {}, stored});
        rest.remove_prefix(n);
    }
    x.file_size = data.size();
    Encoded_Index e = index_encode(x);
    for (const std::string& page : e.pages)
        support::on(srv, "GET", "/files/indexes/" + hex(sha256(page)), support::Reply{200, {}, page});
    std::string index_name = hex(sha256(e.index));
    support::on(srv, "GET", "/files/indexes/" + index_name, support::Reply{200, {}, e.index});
    return backend::Release_File{"data/world.pak", int64_t(data.size()), hex(sha256(data)), index_name};
}

struct Outcome {
    std::string failure;
    bool in_place = false;
    int64_t old_read = 0;
    int64_t fetched = 0;
};

// One job for the file, and the patcher's step after it: a part is moved over its target.
Outcome run_job(const std::string& dir, const support::Test_Server& srv, const backend::Release_File& f) {
    Job j;
    j.dir = dir;
    j.files = {f};
    j.fetcher.base_url = support::base_url(srv);
    job_main(j);
    Outcome o{j.failure, !j.in_place.empty() && j.in_place[0] != 0, j.old_read_bytes.load(), j.fetched_bytes.load()};
    std::string target = dir + "/data/world.pak";
    if (o.failure.empty() && !o.in_place) fs::rename(part_path(target), target);
    fs::remove(journal_path(target));
    return o;
}

}  // namespace

TEST(Update, KeepsTheCutUsesItWhileTheFileIsUnchangedAndWritesInPlaceWhereThatWritesLess) {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    ASSERT_TRUE(srv);
    fs::path dir = support::test_folder("update");
    const std::string v1 = random_bytes(3 << 20, 7);
    std::string edited = v1;  // three same-size edits
    for (size_t at : {size_t(100000), size_t(1500000), size_t(2900000)})
        edited.replace(at, 5000, random_bytes(5000, uint32_t(at)));
    std::string inserted = v1.substr(0, 1 << 20) + random_bytes(300000, 9) + v1.substr(1 << 20);
    struct Case {
        const char* what;
        std::string next;
        std::function<void(const fs::path&)> meddle;  // with the installed file or its kept cut
        bool kept_used, in_place;
    } cases[] = {
        {"same-size edits, file unchanged since", edited, nullptr, true, true},
        {"appended data", v1 + random_bytes(200000, 3), nullptr, true, true},
        {"an insertion moves the rest", inserted, nullptr, true, false},
        {"file written since (same bytes)", edited,
         [](const fs::path& f) { std::string b = support::slurp(f); support::put(f, b); }, false, true},
        {"kept cut damaged", edited,
         [&](const fs::path&) {
             fs::path cut = kept_cut_path(dir.string(), "data/world.pak");
             std::string b = support::slurp(cut);
             b[b.size() / 2] ^= 1;
             support::put(cut, b);
         },
         false, true},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_EQ(run_job(dir.string(), *srv, publish(*srv, v1)).failure, "") << c.what;
        fs::path target = dir / "data" / "world.pak";
        ASSERT_EQ(support::slurp(target), v1) << c.what;
        ASSERT_TRUE(fs::exists(kept_cut_path(dir.string(), "data/world.pak"))) << c.what;
        if (c.meddle) c.meddle(target);
        Outcome o = run_job(dir.string(), *srv, publish(*srv, c.next));
        EXPECT_EQ(o.failure, "") << c.what;
        EXPECT_EQ(support::slurp(target), c.next) << c.what;
        EXPECT_EQ(o.old_read == 0, c.kept_used) << c.what << ": " << o.old_read << " bytes read to plan";
        EXPECT_EQ(o.in_place, c.in_place) << c.what;
        EXPECT_LT(o.fetched, int64_t(c.next.size() / 2)) << c.what;
        EXPECT_FALSE(fs::exists(undo_path(target.string()))) << c.what;
        EXPECT_FALSE(fs::exists(in_place_journal_path(target.string()))) << c.what;
        // The new file's cut is kept for the update after it.
        Kept_Cut kept;
        platform::File_Status st;
        ASSERT_TRUE(platform::file_status(target.string(), st));
        EXPECT_TRUE(kept_cut_for(kept_cut_path(dir.string(), "data/world.pak"), st, small, kept)) << c.what;
    }
    fs::remove_all(dir);
}
