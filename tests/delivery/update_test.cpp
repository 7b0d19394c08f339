// An update through the job against the recording test server: the kept cut used while the old
// file is unchanged since (nothing of it read to plan) and refused otherwise, in place where
// most chunks stay put (its undo journal on the disk before it takes its name) and as a new part
// where an insertion moved them; an update in place that fails its check puts the old file back
// whole; deltas and spans against an old file proven to be theirs, and the chunks fetched
// wherever a delta or a span fails.
#include "delivery/delta_list.h"
#include "delivery/span_list.h"
#include "delivery/in_place.h"
#include "delivery/job.h"
#include "delivery/kept_cut.h"
#include "delivery/part_file.h"
#include "platform/files.h"
#include "support/files.h"
#include "support/folders.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

using namespace delivery;
namespace fs = std::filesystem;

namespace {

const Chunk_Params small{.min_size = 4 << 10, .avg_size = 16 << 10, .max_size = 64 << 10};

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
        x.chunks.push_back({.digest = d, .size = uint32_t(n), .stored = uint32_t(stored.size())});
        support::on(srv, "GET", "/files/chunks/" + hex(d), support::Reply{200, {}, stored});
        rest.remove_prefix(n);
    }
    x.file_size = data.size();
    Encoded_Index e = index_encode(x);
    for (const std::string& page : e.pages)
        support::on(srv, "GET", "/files/indexes/" + hex(sha256(page)), support::Reply{200, {}, page});
    std::string index_name = hex(sha256(e.index));
    support::on(srv, "GET", "/files/indexes/" + index_name, support::Reply{200, {}, e.index});
    return backend::Release_File{.path = "data/world.pak", .size = int64_t(data.size()), .sha256 = hex(sha256(data)),
                                 .chunk_index = index_name};
}

// Publishes the deltas of `next`'s chunks that `old` lacks against `old`'s bytes around the same
// place, as the publisher does, and their list for the index `index_name`; their paths and bytes.
std::vector<std::pair<std::string, std::string>> publish_deltas(support::Test_Server& srv, const std::string& old, const std::string& next,
                                        const std::string& index_name) {
    std::set<Digest> old_chunks;
    for (std::string_view rest = old; !rest.empty();) {
        size_t n = cut_point(reinterpret_cast<const unsigned char*>(rest.data()), rest.size(), small);
        old_chunks.insert(sha256(rest.substr(0, n)));
        rest.remove_prefix(n);
    }
    Delta_List list{.old_size = old.size(), .new_size = next.size(), .deltas = {}};
    std::vector<std::pair<std::string, std::string>> paths;
    uint64_t at = 0;
    for (uint32_t k = 0; at < next.size(); ++k) {
        std::string_view chunk = std::string_view(next).substr(at);
        chunk = chunk.substr(0, cut_point(reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size(), small));
        uint64_t from = at > delta_margin ? at - delta_margin : 0;
        uint64_t to = std::min<uint64_t>(old.size(), at + chunk.size() + delta_margin);
        at += chunk.size();
        if (old_chunks.count(sha256(chunk))) continue;
        std::string delta = delta_make(std::string_view(old).substr(from, to - from), chunk, 3);
        list.deltas.push_back({.chunk = k,
                               .offset = from,
                               .length = uint32_t(to - from),
                               .size = uint32_t(delta.size()),
                               .digest = sha256(delta)});
        paths.emplace_back("/files/deltas/" + hex(sha256(delta)), delta);
        support::on(srv, "GET", paths.back().first, support::Reply{200, {}, delta});
    }
    support::on(srv, "GET", delta_list_path(hex(sha256(old)), index_name),
                support::Reply{200, {}, delta_list_encode(list)});
    return paths;
}

// What reached the disk, in order, through the platform layer's hook: flushes (by the name the
// handle was opened with) and renames.
struct Disk_Step {
    platform::File_Step step;
    std::string name, to;
};
std::mutex disk_lock;
std::map<platform::File_Handle, std::string> open_names;
std::vector<Disk_Step> disk_steps;

void record_step(platform::File_Step step, platform::File_Handle f, std::string_view path, std::string_view to) {
    std::lock_guard<std::mutex> hold(disk_lock);
    if (step == platform::File_Step::Opened) open_names[f] = path;
    else if (step == platform::File_Step::Flushed) disk_steps.push_back({step, open_names[f], ""});
    else disk_steps.push_back({step, std::string(path), std::string(to)});
}

// Whether the file renamed to `name` was flushed before it took that name.
bool on_disk_before_named(const std::string& name) {
    std::lock_guard<std::mutex> hold(disk_lock);
    auto named = std::find_if(disk_steps.begin(), disk_steps.end(), [&](const Disk_Step& s) {
        return s.step == platform::File_Step::Renamed && s.to == name;
    });
    return named != disk_steps.end() && std::any_of(disk_steps.begin(), named, [&](const Disk_Step& s) {
               return s.step == platform::File_Step::Flushed && s.name == named->name;
           });
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

std::set<Digest> digests_of(std::string_view data) {
    std::set<Digest> out;
    for (std::string_view rest = data; !rest.empty();) {
        size_t n = cut_point(reinterpret_cast<const unsigned char*>(rest.data()), rest.size(), small);
        out.insert(sha256(rest.substr(0, n)));
        rest.remove_prefix(n);
    }
    return out;
}

// Publishes spans of `next`'s chunks that `old` lacks, runs of about 1 MiB against the whole old
// file, and their list for the index `index_name`.
struct Published_Spans {
    Span_List list;
    std::vector<std::string> bodies, runs;  // per span: its bytes, and the chunks' bytes it yields
};

Published_Spans publish_spans(support::Test_Server& srv, const std::string& old, const std::string& next,
                              const std::string& index_name) {
    const std::set<Digest> old_chunks = digests_of(old);
    Published_Spans p{.list = {.old_size = old.size(), .new_size = next.size(), .spans = {}}, .bodies = {}, .runs = {}};
    auto close = [&] {
        if (p.runs.size() == p.bodies.size()) return;
        Span_Entry& s = p.list.spans.back();
        p.bodies.push_back(span_make(old, p.runs.back(), 3));
        s.length = uint32_t(old.size());
        s.size = uint32_t(p.bodies.back().size());
        s.digest = sha256(p.bodies.back());
        support::on(srv, "GET", "/files/spans/" + hex(s.digest), support::Reply{200, {}, p.bodies.back()});
    };
    uint32_t k = 0;
    for (std::string_view rest = next; !rest.empty(); ++k) {
        std::string_view chunk = rest.substr(0, cut_point(reinterpret_cast<const unsigned char*>(rest.data()), rest.size(), small));
        rest.remove_prefix(chunk.size());
        const bool fresh = !old_chunks.count(sha256(chunk));
        if (!fresh || (!p.runs.empty() && p.runs.back().size() > (1 << 20))) close();
        if (!fresh) continue;
        if (p.runs.size() == p.bodies.size()) {
            p.list.spans.push_back({.first = k, .count = 0});
            p.runs.emplace_back();
        }
        p.list.spans.back().count += 1;
        p.runs.back() += chunk;
    }
    close();
    support::on(srv, "GET", span_list_path(hex(sha256(old)), index_name), support::Reply{200, {}, span_list_encode(p.list)});
    return p;
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
        {
            std::lock_guard<std::mutex> hold(disk_lock);
            disk_steps.clear();
        }
        platform::file_step_hook = record_step;
        Outcome o = run_job(dir.string(), *srv, publish(*srv, c.next));
        platform::file_step_hook = nullptr;
        EXPECT_EQ(o.failure, "") << c.what;
        // A power cut must find the undo journal whole once it has its name.
        if (c.in_place) {
            EXPECT_TRUE(on_disk_before_named(undo_path(platform::join_path(dir.string(), "data/world.pak")))) << c.what;
        }
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

// An update in place that goes on from its journals after a stop has nothing to vouch for the
// chunks it did not write: the whole file is checked, and a file that fails puts the old one back.
TEST(Update, AnUpdateInPlaceGoingOnFromItsJournalThatFailsTheWholeFileCheckPutsTheOldFileBack) {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    ASSERT_TRUE(srv);
    fs::path dir = support::test_folder("undo");
    const fs::path target = dir / "data" / "world.pak";
    const std::string v1 = random_bytes(3 << 20, 5);
    std::string edited = v1;
    edited.replace(1 << 20, 5000, random_bytes(5000, 6));
    struct Case {
        const char* what;
        std::string next;
    } cases[] = {
        {"a same-size edit", edited},
        {"a shorter file: the old tail was cut off", edited.substr(0, 5 << 19)},
        {"a longer file", edited + random_bytes(200000, 8)},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_EQ(run_job(dir.string(), *srv, publish(*srv, v1)).failure, "") << c.what;
        // The platform layer's times, to the 100 ns on Windows too, where the C++ library's are
        // whole seconds and an update within the same second would look unwritten.
        platform::File_Status installed, after;
        ASSERT_TRUE(platform::file_status(target.string(), installed));
        backend::Release_File f = publish(*srv, c.next);
        f.sha256 = hex(sha256(c.next + "?"));   // every chunk checks out, the whole file does not
        // Stopped right after its undo journal was written: the kept cut no longer vouches.
        std::string err;
        ASSERT_TRUE(undo_write(target.string(), f.chunk_index, v1.size(), c.next.size(), {{0, v1.size()}}, err)) << err;
        fs::remove(kept_cut_path(dir.string(), "data/world.pak"));
        EXPECT_EQ(run_job(dir.string(), *srv, f).failure, "data/world.pak arrived damaged: try again.") << c.what;
        ASSERT_TRUE(platform::file_status(target.string(), after));
        EXPECT_NE(after.mtime_ns, installed.mtime_ns) << c.what << ": not written in place";
        EXPECT_TRUE(support::slurp(target) == v1) << c.what << ": the old file is not back whole";
        EXPECT_FALSE(fs::exists(undo_path(target.string()))) << c.what;
        EXPECT_FALSE(fs::exists(in_place_journal_path(target.string()))) << c.what;
    }
    fs::remove_all(dir);
}

TEST(Update, UsesDeltasAgainstAProvenOldFileAndFetchesTheChunkWhereverOneFails) {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    ASSERT_TRUE(srv);
    fs::path dir = support::test_folder("deltas");
    const fs::path target = dir / "data" / "world.pak";
    const std::string v1 = random_bytes(3 << 20, 11);
    std::string next = v1;  // a rebuilt program: a byte changed every 8 KiB, so every chunk is new
    for (size_t at = 100; at < next.size(); at += 8192) next[at] ^= 0x5A;
    std::atomic<const Job*> running{nullptr};
    struct Case {
        const char* what;
        bool record;  // the caller's install record proves the old file
        std::function<void(const std::vector<std::pair<std::string, std::string>>& deltas)> meddle;  // server, old file
        bool deltas_used, some_fail;
        bool old_edited = false;  // the player writes the old file during the update
    } cases[] = {
        {"proven by the install record", true, nullptr, true, false},
        {"proven by hashing it while it is cut again", false,
         [&](const auto&) { fs::remove(kept_cut_path(dir.string(), "data/world.pak")); }, true, false},
        {"nothing proves the old file", false, nullptr, false, false},
        {"a damaged delta", true,
         [&](const auto& deltas) {
             std::string b = deltas[3].second;
             b[b.size() / 2] ^= 1;
             support::on(*srv, "GET", deltas[3].first, support::Reply{200, {}, b});
         },
         true, true},
        {"a delta missing", true, [&](const auto& deltas) { support::on(*srv, "GET", deltas[5].first, support::text(404, "")); },
         true, true},
        {"a wrong base with the record's size and time", true,
         [&](const auto&) {
             auto when = fs::last_write_time(target);
             std::string b = support::slurp(target);
             b[200000] ^= 1;
             support::put(target, b);
             fs::last_write_time(target, when);
         },
         true, true},
        {"the old file changed after its check", true,
         [&](const auto& deltas) {
             support::on(*srv, "GET", deltas[2].first, [&, body = deltas[2].second](const support::Recorded_Request&) {
                 // Once another delta was applied (fetches run in parallel, in any order).
                 for (int i = 0; i < 30000 && !(running.load() && running.load()->delta_chunks.load() > 0); ++i)
                     std::this_thread::sleep_for(std::chrono::milliseconds(1));
                 support::put(target, support::slurp(target) + "!");
                 return support::Reply{200, {}, body};
             });
         },
         true, true, true},
    };
    for (const Case& c : cases) {
#ifdef _WIN32
        // The C++ library there sets a file's time to the second only: the edited file would no
        // longer match its record and kept cut, and be hashed instead. Same code on every system.
        if (std::string_view(c.what).starts_with("a wrong base")) continue;
#endif
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_EQ(run_job(dir.string(), *srv, publish(*srv, v1)).failure, "") << c.what;
        platform::File_Status st;
        ASSERT_TRUE(platform::file_status(target.string(), st));
        backend::Release_File f = publish(*srv, next);
        std::vector<std::pair<std::string, std::string>> deltas = publish_deltas(*srv, v1, next, f.chunk_index);
        ASSERT_GT(deltas.size(), 100u) << c.what;
        if (c.meddle) c.meddle(deltas);
        const std::string before = support::slurp(target);
        size_t requests = support::requests(*srv).size();

        Job j;
        j.dir = dir.string();
        j.files = {f};
        j.fetcher.base_url = support::base_url(*srv);
        if (c.record) j.old_files = {Old_File{.sha256 = hex(sha256(v1)), .size = st.size, .mtime_ns = st.mtime_ns}};
        running = &j;
        job_main(j);
        running = nullptr;
        EXPECT_EQ(j.failure, "") << c.what;
        // The old file is read, never written; the part holds the new file whole.
        EXPECT_EQ(support::slurp(target), c.old_edited ? before + "!" : before) << c.what;
        EXPECT_EQ(support::slurp(part_path(target.string())), next) << c.what;
        size_t delta_requests = 0;
        std::vector<support::Recorded_Request> seen = support::requests(*srv);
        for (size_t r = requests; r < seen.size(); ++r) delta_requests += seen[r].path().starts_with("/files/deltas/");
        EXPECT_EQ(j.delta_chunks > 0, c.deltas_used) << c.what;
        EXPECT_EQ(j.delta_fallbacks > 0, c.some_fail) << c.what;
        EXPECT_EQ(delta_requests > 0, c.record || c.deltas_used) << c.what;
        if (c.deltas_used && !c.some_fail) {
            EXPECT_LT(j.fetched_bytes.load(), int64_t(next.size() / 10)) << c.what;
        }
    }
    fs::remove_all(dir);
}

TEST(Update, AChunkArrivingDamagedIsFetchedOncePastTheCachesThenTheServersCopyIsBlamed) {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    ASSERT_TRUE(srv);
    fs::path dir = support::test_folder("damaged-copy");
    const std::string data = random_bytes(1 << 20, 5);
    const backend::Release_File f = publish(*srv, data);
    const size_t n = cut_point(reinterpret_cast<const unsigned char*>(data.data()), data.size(), small);
    const std::string victim = "/files/chunks/" + hex(sha256(std::string_view(data).substr(0, n)));
    const std::string stored = compress_chunk(std::string_view(data).substr(0, n));
    struct Case {
        const char* what;
        bool fresh_copy_good;  // only a cache on the way held it damaged
        bool overlong;         // damaged by being longer than declared
        std::string failure;
    } cases[] = {
        {"a cache's damaged copy", true, false, ""},
        {"a cache's overlong copy", true, true, ""},
        {"the server's own copy damaged", false, false, damaged_on_server(f)},
        {"the server's own copy overlong", false, true, damaged_on_server(f)},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        support::on(*srv, "GET", victim, [&](const support::Recorded_Request& r) {
            const std::string* cache = r.header("Cache-Control");
            if (cache && *cache == "no-cache" && c.fresh_copy_good) return support::Reply{200, {}, stored};
            std::string bad = stored;
            if (c.overlong) bad += std::string(4096, 'x');
            else bad[bad.size() / 2] ^= 1;
            return support::Reply{200, {}, bad};
        });
        size_t before = support::requests(*srv).size();
        Outcome o = run_job(dir.string(), *srv, f);
        EXPECT_EQ(o.failure, c.failure) << c.what;
        std::vector<std::string> asked;   // the Cache-Control of each request for the victim
        std::vector<support::Recorded_Request> all = support::requests(*srv);
        for (size_t k = before; k < all.size(); ++k)
            if (all[k].path() == victim) asked.push_back(all[k].header("Cache-Control") ? *all[k].header("Cache-Control") : "");
        EXPECT_EQ(asked, (std::vector<std::string>{"", "no-cache"})) << c.what;   // once more, never again
        if (c.failure.empty()) EXPECT_EQ(support::slurp(dir / "data" / "world.pak"), data) << c.what;
        else EXPECT_FALSE(fs::exists(dir / "data" / "world.pak")) << c.what;
    }
    fs::remove_all(dir);
}

TEST(Update, SpansServeRunsOfNewChunksAndAHostileMirrorsSpansCostOnlyAFetchOfTheirChunks) {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    ASSERT_TRUE(srv);
    fs::path dir = support::test_folder("spans");
    const fs::path target = dir / "data" / "world.pak";
    const std::string v1 = random_bytes(3 << 20, 21);
    // A relinked program: pieces of the old file from all over it, each slightly changed, so
    // the old bytes around a chunk's place hold little of it and only the whole file does.
    std::string next;
    std::mt19937 rng(22);
    while (next.size() < v1.size()) {
        next += v1.substr(rng() % (v1.size() - 4096), 4096);
        next[next.size() - 100] ^= 0x11;
    }
    // The mirror's changes: to span n's bytes (its list entry follows them), or to the list.
    auto serve = [&](Published_Spans& p, size_t n, const std::string& bytes) {
        p.list.spans[n].size = uint32_t(bytes.size());
        p.list.spans[n].digest = sha256(bytes);
        support::on(*srv, "GET", "/files/spans/" + hex(sha256(bytes)), support::Reply{200, {}, bytes});
    };
    struct Case {
        const char* what;
        std::function<void(Published_Spans& p)> meddle;
        bool some_fail;
    } cases[] = {
        {"spans as published", nullptr, false},
        {"a bomb: a span that decodes to 64 MiB past its chunks",
         [&](Published_Spans& p) { serve(p, 1, span_make(v1, p.runs[1] + std::string(64 << 20, '\0'), 3)); }, true},
        {"a span made against another old file", [&](Published_Spans& p) { serve(p, 0, span_make(v1 + "x", p.runs[0], 3)); },
         true},
        {"a list naming one old byte fewer as the base", [&](Published_Spans& p) { p.list.spans[2].length -= 1; }, true},
        {"a list naming a span for other chunks", [&](Published_Spans& p) { p.list.spans[0].count -= 1; }, true},
        {"a span longer than its list says",
         [&](Published_Spans& p) {
             support::on(*srv, "GET", "/files/spans/" + hex(p.list.spans[2].digest), support::Reply{200, {}, p.bodies[2] + "more"});
         },
         true},
        {"a damaged span",
         [&](Published_Spans& p) {
             std::string d = p.bodies[1];
             d[d.size() / 2] ^= 1;
             support::on(*srv, "GET", "/files/spans/" + hex(p.list.spans[1].digest), support::Reply{200, {}, d});
         },
         true},
        {"a span missing",
         [&](Published_Spans& p) {
             support::on(*srv, "GET", "/files/spans/" + hex(p.list.spans[0].digest), support::text(404, ""));
         },
         true},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_EQ(run_job(dir.string(), *srv, publish(*srv, v1)).failure, "") << c.what;
        backend::Release_File f = publish(*srv, next);
        Published_Spans p = publish_spans(*srv, v1, next, f.chunk_index);
        ASSERT_GT(p.list.spans.size(), 2u) << c.what;
        if (c.meddle) {
            c.meddle(p);
            support::on(*srv, "GET", span_list_path(hex(sha256(v1)), f.chunk_index),
                        support::Reply{200, {}, span_list_encode(p.list)});
        }
        platform::File_Status st;
        ASSERT_TRUE(platform::file_status(target.string(), st));

        Job j;
        j.dir = dir.string();
        j.files = {f};
        j.fetcher.base_url = support::base_url(*srv);
        j.old_files = {Old_File{hex(sha256(v1)), st.size, st.mtime_ns}};
        job_main(j);
        EXPECT_EQ(j.failure, "") << c.what;
        EXPECT_EQ(support::slurp(target), v1) << c.what;
        EXPECT_EQ(support::slurp(part_path(target.string())), next) << c.what;
        EXPECT_GT(j.span_chunks.load(), 0) << c.what;
        EXPECT_EQ(j.span_fallbacks > 0, c.some_fail) << c.what;
        if (!c.some_fail) {
            EXPECT_LT(j.fetched_bytes.load(), int64_t(next.size() / 4)) << c.what;
        }
    }
    fs::remove_all(dir);
}
