// The chunker's cut points, the chunk index, its pages and their checks, restoring stored chunks,
// and the planner's reuse of the old file and of an earlier partial download; the delta list's
// checks and restoring a chunk from its delta.
#include "delivery/chunk_index.h"
#include "delivery/delta_list.h"
#include "delivery/part_file.h"
#include "delivery/span_list.h"
#include "support/files.h"
#include "support/folders.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

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

std::vector<std::string> cut(std::string_view data, const Chunk_Params& p = small) {
    std::vector<std::string> out;
    while (!data.empty()) {
        size_t n = cut_point(reinterpret_cast<const unsigned char*>(data.data()), data.size(), p);
        out.emplace_back(data.substr(0, n));
        data.remove_prefix(n);
    }
    return out;
}

Chunk_Index index_of(std::string_view data, const Chunk_Params& p = small) {
    Chunk_Index x;
    x.params = p;
    for (const std::string& c : cut(data, p)) {
        x.chunks.push_back(
            {.digest = sha256(c), .size = uint32_t(c.size()), .stored = uint32_t(compress_chunk(c).size())});
        x.file_size += c.size();
    }
    return x;
}

struct Scratch : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("tarnwick-delivery-" + support::process_id());
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
};

// Decodes an encoded index as the launcher does: the index, then each page it names.
bool decode(const std::string& index, const std::vector<std::string>& pages, uint64_t file_size, Chunk_Index& out,
            std::string& why) {
    Index_Head head;
    if (!index_head_decode(index, file_size, head, why)) return false;
    std::map<Digest, std::string> by_digest;
    for (const std::string& p : pages) by_digest[sha256(p)] = p;
    out.chunks.clear();
    for (const Index_Page& page : head.pages) {
        auto it = by_digest.find(page.digest);
        if (it == by_digest.end() || !page_decode(it->second, page.count, head.params.max_size, out.chunks)) {
            why = "page";
            return false;
        }
    }
    return index_finish(head, out, why);
}

std::string with_le(std::string b, size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + size_t(i)] = char((value >> (8 * i)) & 0xFF);
    return b;
}

}  // namespace

TEST(Chunker, AnEditMovesOnlyTheCutPointsNextToIt) {
    const std::string base = random_bytes(2 << 20, 1);
    struct Case {
        const char* what;
        std::string edited;
    } cases[] = {
        {"one byte in front", "x" + base},
        {"a kilobyte inserted mid-way", base.substr(0, 1 << 20) + random_bytes(1000, 2) + base.substr(1 << 20)},
        {"500 bytes deleted", base.substr(0, 700000) + base.substr(700500)},
        {"64 KiB overwritten", base.substr(0, 300000) + random_bytes(65536, 3) + base.substr(365536)},
    };
    std::vector<std::string> before = cut(base);
    std::set<std::string> old_chunks(before.begin(), before.end());
    for (const Case& c : cases) {
        std::vector<std::string> after = cut(c.edited);
        size_t fresh_bytes = 0;
        for (const std::string& chunk : after)
            if (!old_chunks.count(chunk)) fresh_bytes += chunk.size();
        // Only the chunks around the edit are new: a few average chunks' worth, not the file.
        EXPECT_LT(fresh_bytes, 6 * small.avg_size + 65536) << c.what;
    }
}

TEST(Chunker, SizesStayWithinTheirBoundsAndAddUp) {
    struct Case {
        const char* what;
        std::string data;
        size_t chunks;  // expected count, 0: not checked
    } cases[] = {
        {"empty", "", 0},
        {"one byte", "a", 1},
        {"just below the minimum", std::string(small.min_size - 1, 'm'), 1},
        {"a run of one value", std::string(1 << 20, '\0'), 0},
        {"random", random_bytes(1 << 20, 4), 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> chunks = cut(c.data);
        size_t total = 0;
        for (size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_LE(chunks[i].size(), small.max_size) << c.what;
            if (i + 1 < chunks.size()) {
                EXPECT_GE(chunks[i].size(), small.min_size) << c.what;
            }
            total += chunks[i].size();
        }
        EXPECT_EQ(total, c.data.size()) << c.what;
        if (c.chunks || c.data.empty()) {
            EXPECT_EQ(chunks.size(), c.chunks) << c.what;
        }
    }
    // The cut points are part of the format: a launcher and a publisher of different versions
    // must agree on every one of them, so they are pinned for a fixed input.
    std::vector<size_t> ends;
    for (const std::string& chunk : cut(random_bytes(1 << 18, 11))) ends.push_back((ends.empty() ? 0 : ends.back()) + chunk.size());
    EXPECT_EQ(ends, (std::vector<size_t>{16833, 35644, 39853, 44255, 61085, 84370, 103074, 109673, 139665, 161467,
                                         179899, 200139, 225753, 258966, 262144}));
    // A random megabyte averages near the chosen size.
    size_t n = cut(random_bytes(4 << 20, 5)).size();
    EXPECT_GT(n, (4u << 20) / small.avg_size / 2);
    EXPECT_LT(n, (4u << 20) / small.avg_size * 2);
}

TEST_F(Scratch, CuttingAFileMatchesCuttingItsBytes) {
    std::string data = random_bytes(300000, 6);
    support::put(dir / "f", data);
    std::vector<std::string> from_file;
    EXPECT_TRUE(cut_file((dir / "f").string(), small, [&](uint64_t offset, std::string_view bytes, const Digest& d) {
        EXPECT_EQ(d, sha256(bytes));
        EXPECT_EQ(data.substr(offset, bytes.size()), bytes);
        from_file.emplace_back(bytes);
        return true;
    }));
    EXPECT_EQ(from_file, cut(data));
}

TEST(Chunk_Index, DecodesWhatItEncodesAndRefusesEveryDamage) {
    Chunk_Index good =
        index_of(random_bytes(2 << 20, 7), Chunk_Params{.min_size = 256, .avg_size = 1024, .max_size = 4096});
    good.chunks[3].stored = good.chunks[3].size / 2;  // as if zstd had halved it
    Encoded_Index e = index_encode(good);
    ASSERT_GT(e.pages.size(), 4u);
    Chunk_Index back;
    std::string why;
    ASSERT_TRUE(decode(e.index, e.pages, good.file_size, back, why)) << why;
    EXPECT_EQ(back.file_size, good.file_size);
    ASSERT_EQ(back.chunks.size(), good.chunks.size());
    for (size_t i = 0; i < good.chunks.size(); ++i) {
        ASSERT_EQ(back.chunks[i].digest, good.chunks[i].digest);
        ASSERT_EQ(back.chunks[i].size, good.chunks[i].size);
        ASSERT_EQ(back.chunks[i].stored, good.chunks[i].stored);
    }

    // A frame that decompresses to a megabyte, put where the body belongs.
    std::string bomb(ZSTD_compressBound(1 << 20), '\0');
    bomb.resize(ZSTD_compress(bomb.data(), bomb.size(), std::string(1 << 20, '\0').data(), 1 << 20, 3));
    const std::string header = e.index.substr(0, index_header_bytes);
    const uint64_t count = good.chunks.size();
    std::vector<std::string> short_page = e.pages;
    short_page[1].pop_back();
    struct Case {
        const char* what;
        std::string index;
        std::vector<std::string> pages;
        const char* why = nullptr;  // the reason, where the case must be refused for it
    } cases[] = {
        {"empty", "", e.pages},

        {"another magic", "XWCI" + e.index.substr(4), e.pages},
        {"another format", with_le(e.index, 4, 1, 4), e.pages},
        {"minimum above the average", with_le(e.index, 8, 1 << 20, 4), e.pages},
        {"average not a power of two", with_le(e.index, 12, 20000, 4), e.pages},
        // The count is bounded before anything is allocated for it: one above the bound is
        // refused for its count, at the bound it passes on to the body's length.
        {"more chunks than the file can hold", with_le(e.index, 28, good.file_size / 256 + 2, 8), e.pages,
         "bad chunk count"},
        {"as many chunks as the file can hold", with_le(e.index, 28, good.file_size / 256 + 1, 8), e.pages,
         "wrong length"},
        {"a chunk count the body does not hold", with_le(e.index, 28, count - 1, 8), e.pages},
        {"a page count the body does not hold", with_le(e.index, 36, e.pages.size() + 1, 8), e.pages},
        {"a body cut off", e.index.substr(0, e.index.size() - 1), e.pages},
        {"a byte after the body", e.index + "x", e.pages},
        {"a body that decompresses to more than declared", header + bomb, e.pages},
        {"the index of a file of another size", with_le(e.index, 20, good.file_size + 1, 8), e.pages},
        {"a page missing", e.index, {e.pages.begin() + 1, e.pages.end()}},
    };
    for (const Case& c : cases) {
        why.clear();
        EXPECT_FALSE(decode(c.index, c.pages, good.file_size, back, why)) << c.what;
        if (c.why) {
            EXPECT_EQ(why, c.why) << c.what;
        }
    }

    // The checks of a page's bytes and of the completed index.
    std::vector<Chunk_Entry> entries;
    const uint32_t n = uint32_t(e.pages[0].size() / page_entry_bytes);
    EXPECT_TRUE(page_decode(e.pages[0], n, 4096, entries));
    struct Page_Case {
        const char* what;
        std::string bytes;
        uint32_t count;
    } page_cases[] = {
        {"cut off", e.pages[0].substr(0, e.pages[0].size() - 1), n},
        {"a chunk more than declared", e.pages[0], n - 1},
        {"a chunk of no bytes", with_le(e.pages[0], 32, 0, 4), n},
        {"a chunk over the maximum", with_le(e.pages[0], 32, 4097, 4), n},
    };
    for (const Page_Case& c : page_cases) EXPECT_FALSE(page_decode(c.bytes, c.count, 4096, entries)) << c.what;

    Index_Head head;
    ASSERT_TRUE(index_head_decode(e.index, good.file_size, head, why)) << why;
    struct Finish_Case {
        const char* what;
        std::function<void(Index_Head&, Chunk_Index&)> damage;
    } finish_cases[] = {
        {"stored in no bytes", [](Index_Head& h, Chunk_Index& x) { h.saved[0] = x.chunks[0].size; }},
        {"a short chunk before the last", [](Index_Head&, Chunk_Index& x) {
             x.chunks[1].size += x.chunks[0].size - 255;
             x.chunks[0].size = 255;
         }},
        {"a chunk fewer than the index counts", [](Index_Head&, Chunk_Index& x) { x.chunks.pop_back(); }},
        {"sizes that do not add up to the file", [](Index_Head&, Chunk_Index& x) { x.chunks.back().size += 1; }},
    };
    for (const Finish_Case& c : finish_cases) {
        Index_Head h = head;
        Chunk_Index x = good;
        c.damage(h, x);
        EXPECT_FALSE(index_finish(h, x, why)) << c.what;
    }
}

TEST(Chunk_Index, AnEditChangesOnlyThePagesAroundIt) {
    const Chunk_Params tiny{.min_size = 64, .avg_size = 256, .max_size = 1024};
    auto pages_of = [&](std::string_view data) {
        std::vector<Chunk_Entry> chunks;
        for (const std::string& c : cut(data, tiny))
            chunks.push_back({.digest = sha256(c), .size = uint32_t(c.size())});
        return make_pages(chunks);
    };
    const std::string base = random_bytes(2 << 20, 11);
    std::vector<Index_Page> before = pages_of(base);
    ASSERT_GT(before.size(), 50u);
    std::set<Digest> known;
    for (const Index_Page& p : before) known.insert(p.digest);
    struct Case {
        const char* what;
        std::string edited;
    } cases[] = {
        {"a kilobyte inserted near the start", base.substr(0, 5000) + random_bytes(1000, 12) + base.substr(5000)},
        {"16 KiB overwritten mid-way", base.substr(0, 1 << 20) + random_bytes(16384, 13) + base.substr((1 << 20) + 16384)},
    };
    for (const Case& c : cases) {
        size_t fresh = 0;
        for (const Index_Page& p : pages_of(c.edited)) fresh += !known.count(p.digest);
        EXPECT_GE(fresh, 1u) << c.what;
        EXPECT_LE(fresh, 3u) << c.what;
    }
}

TEST(Chunk_Index, RestoresOnlyExactlyTheDeclaredBytes) {
    std::string text(50000, 'a');
    std::string packed = compress_chunk(text);
    ASSERT_LT(packed.size(), text.size());
    std::string noise = random_bytes(5000, 8);
    ASSERT_EQ(compress_chunk(noise), noise);  // stored as it is when zstd does not help
    std::string bomb(ZSTD_compressBound(1 << 20), '\0');
    bomb.resize(ZSTD_compress(bomb.data(), bomb.size(), std::string(1 << 20, 'b').data(), 1 << 20, 3));

    struct Case {
        const char* what;
        std::string stored;
        uint32_t size;
        bool ok;
    } cases[] = {
        {"compressed", packed, 50000, true},
        {"stored as it is", noise, 5000, true},
        {"says less than it holds", bomb, 50000, false},
        {"says more than it holds", packed, 60000, false},
        {"longer than the chunk", noise + "x", 5000, false},
        {"not a zstd frame", noise.substr(0, 100), 5000, false},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(restore_chunk(c.stored, c.size, out), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(out.size(), c.size) << c.what;
        }
    }
}

TEST(Delta_List, DecodesWhatItEncodesAndRefusesEveryDamage) {
    Chunk_Index index = index_of(random_bytes(1 << 20, 5));
    ASSERT_GT(index.chunks.size(), 8u);
    const uint64_t old_size = 900000;
    Delta_List good{
        .old_size = old_size,
        .new_size = index.file_size,
        .deltas = {{.chunk = 2, .offset = 0, .length = 70000, .size = 100, .digest = sha256("a")},
                   {.chunk = 5, .offset = old_size - 1000, .length = 1000, .size = 200, .digest = sha256("b")}}};
    const std::string e = delta_list_encode(good);
    ASSERT_EQ(e.size(), delta_list_header_bytes + 2 * delta_entry_bytes);
    Delta_List back;
    std::string why;
    ASSERT_TRUE(delta_list_decode(e, old_size, index, back, why)) << why;
    ASSERT_EQ(back.deltas.size(), 2u);
    EXPECT_EQ(back.deltas[1].offset, old_size - 1000);
    EXPECT_EQ(back.deltas[1].digest, sha256("b"));
    EXPECT_LE(e.size(), delta_list_max_bytes(index.chunks.size()));

    const size_t second = delta_list_header_bytes + delta_entry_bytes;  // the second entry
    struct Case {
        const char* what;
        std::string bytes;
        const char* why;
    } cases[] = {
        {"empty", "", "not a delta list"},
        {"another format", with_le(e, 4, 2, 4), "unknown delta list format"},
        {"for another old file", with_le(e, 8, old_size + 1, 8), "a list for other files"},
        {"for another new file", with_le(e, 16, index.file_size - 1, 8), "a list for other files"},
        // The count is bounded by the index before anything is reserved for it.
        {"more deltas than chunks", with_le(e, 24, index.chunks.size() + 1, 4), "bad delta count"},
        {"a count the body does not hold", with_le(e, 24, 3, 4), "wrong length"},
        {"a byte after the body", e + "x", "wrong length"},
        {"a chunk past the index", with_le(e, second, index.chunks.size(), 4), "bad chunk number"},
        {"chunks out of order", with_le(e, second, 2, 4), "bad chunk number"},
        {"a region past the old file", with_le(e, second + 4, old_size - 999, 8), "bad region"},
        {"a region wrapping around", with_le(e, second + 4, ~uint64_t(0) - 10, 8), "bad region"},
        {"an empty region", with_le(e, second + 12, 0, 4), "bad region"},
        {"a region longer than a delta may read",
         with_le(with_le(e, second + 4, 0, 8), second + 12, delta_region_max(index.params.max_size) + 1, 4), "bad region"},
        {"a delta no smaller than its chunk", with_le(e, second + 16, index.chunks[5].stored, 4), "bad delta size"},
        {"an empty delta", with_le(e, second + 16, 0, 4), "bad delta size"},
    };
    for (const Case& c : cases) {
        why.clear();
        EXPECT_FALSE(delta_list_decode(c.bytes, old_size, index, back, why)) << c.what;
        EXPECT_EQ(why, c.why) << c.what;
    }

    // A delta restores its chunk against its own base only, and never more than the chunk's size.
    const std::string base = random_bytes(300000, 6);
    std::string chunk = base.substr(100000, 60000);
    chunk[30000] ^= 1;
    const std::string delta = delta_make(base, chunk, 3);
    ASSERT_LT(delta.size(), 1000u);
    std::string other_base = base;
    other_base[100010] ^= 1;
    std::string out;
    EXPECT_TRUE(delta_apply(delta, base, 60000, out));
    EXPECT_EQ(out, chunk);
    EXPECT_TRUE(!delta_apply(delta, other_base, 60000, out) || out != chunk);
    EXPECT_FALSE(delta_apply(delta, base, 59999, out));
    EXPECT_FALSE(delta_apply(delta.substr(0, delta.size() - 1), base, 60000, out));
}

TEST(Span_List, DecodesWhatItEncodesAndRefusesRangesRegionsAndSizesNoPublisherMakes) {
    // 200 chunks of 64 KiB: 12.5 MiB, more than one span may yield.
    Chunk_Index index;
    index.params = {16 << 10, 64 << 10, 256 << 10};
    index.chunks.assign(200, Chunk_Entry{{}, 64 << 10, 60000});
    index.file_size = 200 * (64 << 10);
    const uint64_t old_size = 40 << 20;
    Span_List good{old_size, index.file_size, {{0, 10, 0, span_region_max, 5000, sha256("a")},
                                               {10, 128, old_size - 100, 100, 7000, sha256("b")}}};
    const std::string e = span_list_encode(good);
    Span_List back;
    std::string why;
    ASSERT_TRUE(span_list_decode(e, old_size, index, back, why)) << why;
    ASSERT_EQ(back.spans.size(), 2u);
    EXPECT_EQ(back.spans[1].count, 128u);
    EXPECT_EQ(back.spans[1].digest, sha256("b"));
    EXPECT_EQ(span_bytes(index, back.spans[1]), uint64_t(span_new_max));
    EXPECT_LE(e.size(), span_list_max_bytes(index.chunks.size()));

    const size_t second = span_list_header_bytes + span_entry_bytes;
    struct Case {
        const char* what;
        std::string bytes;
        const char* why;
    } cases[] = {
        {"a delta list", std::string("TWDL") + e.substr(4), "not a span list"},
        {"for another old file", with_le(e, 8, old_size - 1, 8), "a list for other files"},
        {"more spans than chunks", with_le(e, 24, 201, 4), "bad span count"},
        {"a count the body does not hold", with_le(e, 24, 3, 4), "wrong length"},
        {"overlapping the span before", with_le(e, second, 9, 4), "bad chunk range"},
        {"no chunks", with_le(e, second + 4, 0, 4), "bad chunk range"},
        {"past the index", with_le(e, second + 4, 191, 4), "bad chunk range"},
        {"a count wrapping around", with_le(e, second + 4, ~uint32_t(0) - 5, 4), "bad chunk range"},
        {"yielding more than a span may", with_le(e, second + 4, 129, 4), "a span too long"},
        {"a region past the old file", with_le(e, second + 8, old_size - 99, 8), "bad region"},
        {"a region longer than a span may read", with_le(with_le(e, second + 8, 0, 8), second + 16, span_region_max + 1, 4),
         "bad region"},
        {"no smaller than its chunks", with_le(e, second + 20, 128 * 60000, 4), "bad span size"},
    };
    for (const Case& c : cases) {
        why.clear();
        EXPECT_FALSE(span_list_decode(c.bytes, old_size, index, back, why)) << c.what;
        EXPECT_EQ(why, c.why) << c.what;
    }

    // A span restores its bytes against its own prefix only, never more than it is asked for,
    // and refuses a prefix or a size past its bounds.
    const std::string base = random_bytes(2 << 20, 8);
    std::string bytes = base.substr(1500000, 300000) + base.substr(10000, 300000);
    bytes[1000] ^= 1;
    const std::string span = span_make(base, bytes, 3);
    ASSERT_LT(span.size(), 2000u);
    std::string out;
    EXPECT_TRUE(span_apply(span, base, uint32_t(bytes.size()), out));
    EXPECT_EQ(out, bytes);
    EXPECT_FALSE(span_apply(span, base, uint32_t(bytes.size() - 1), out));
    EXPECT_FALSE(span_apply(span, base + "x", uint32_t(bytes.size()), out) && out == bytes);
    EXPECT_FALSE(span_apply(span, std::string(span_region_max + 1, 'x'), uint32_t(bytes.size()), out));
}

TEST_F(Scratch, ThePlannerReusesTheOldFileAndTheVerifiedPartOnly) {
    std::string v1 = random_bytes(1 << 20, 9);
    std::string v2 = v1.substr(0, 400000) + random_bytes(30000, 10) + v1.substr(400000);
    std::string target = (dir / "game.pak").string();

    // The old file is there: only the chunks around the insertion are missing.
    support::put(target, v1);
    Part_File f;
    f.target = target;
    f.index_sha256 = std::string(64, 'a');
    f.index = index_of(v2);
    std::string err;
    ASSERT_TRUE(part_open(f, err)) << err;
    ASSERT_TRUE(cut_file(target, f.index.params, [&](uint64_t, std::string_view bytes, const Digest& d) {
        return part_reuse(f, d, bytes, err);
    })) << err;
    EXPECT_GT(f.reused_old, v2.size() * 8 / 10);
    std::vector<uint32_t> missing = part_missing(f);
    ASSERT_FALSE(missing.empty());
    EXPECT_LT(missing.size(), 8u);
    // Fetching the first missing chunk, then stopping (as a killed launcher would).
    std::vector<uint64_t> offsets = f.offsets;
    const Chunk_Entry& c = f.index.chunks[missing[0]];
    ASSERT_TRUE(part_write(f, c.digest, v2.substr(offsets[missing[0]], c.size), err));
    part_close(f);

    struct Case {
        const char* what;
        std::function<void()> before;
        std::string index_sha256;
        size_t missing;  // chunks still to fetch when the part is opened again
    } cases[] = {
        {"the part resumes, the old file gone", [&] { fs::remove(target); }, f.index_sha256, missing.size() - 1},
        {"a damaged chunk in the part is fetched again",
         [&] {
             std::string part = support::slurp(part_path(target));
             part[offsets[missing[0]]] ^= 1;
             support::put(part_path(target), part);
         },
         f.index_sha256, missing.size()},
        {"a journal of another index counts for nothing", [] {}, std::string(64, 'b'), f.where.size()},
    };
    for (const Case& k : cases) {
        k.before();
        Part_File again;
        again.target = target;
        again.index_sha256 = k.index_sha256;
        again.index = f.index;
        ASSERT_TRUE(part_open(again, err)) << err;
        EXPECT_EQ(part_missing(again).size(), k.missing) << k.what;
        part_close(again);
    }
}

#ifndef _WIN32
TEST_F(Scratch, APartOrJournalThatIsASymbolicLinkIsNeverWrittenThrough) {
    const std::string target = (dir / "game.pak").string(), outside = (dir / "outside").string();
    for (const std::string& link : {part_path(target), journal_path(target)}) {
        support::put(outside, "the player's own file");
        fs::remove(part_path(target)), fs::remove(journal_path(target));
        fs::create_symlink(outside, link);
        Part_File f;
        f.target = target;
        f.index_sha256 = std::string(64, 'a');
        f.index = index_of(random_bytes(100000, 3));
        std::string err;
        EXPECT_FALSE(part_open(f, err)) << link;
        EXPECT_EQ(support::slurp(outside), "the player's own file") << link;
    }
}
#endif

TEST_F(Scratch, ThePlannerCopiesFromTheCutGivenOnlyWhileTheOldFileIsUnchanged) {
    std::string v1 = random_bytes(1 << 20, 14);
    std::string v2 = v1.substr(0, 600000) + random_bytes(20000, 15) + v1.substr(600000);
    std::string target = (dir / "game.pak").string();
    auto plan = [&](const std::string& on_disk, std::vector<Chunk_Entry> old_chunks, bool written_since) {
        fs::remove(part_path(target));
        fs::remove(journal_path(target));
        support::put(target, on_disk);
        Part_File f;
        f.target = target;
        f.index_sha256 = std::string(64, 'a');
        f.index = index_of(v2);
        f.old_chunks = std::move(old_chunks);
        EXPECT_TRUE(platform::file_status(target, f.old_status));
        if (written_since) f.old_status.mtime_ns -= 1;
        std::string err;
        EXPECT_TRUE(part_open(f, err)) << err;
        std::mutex lock;
        part_take_old(f, lock, [] {}, [&](std::string_view bytes) { return part_reuse(f, sha256(bytes), bytes, err); });
        part_close(f);
        return part_missing(f).size();
    };
    const std::vector<Chunk_Entry> cut_v1 = index_of(v1).chunks;
    const size_t missing = plan(v1, {}, false);
    std::string changed = v1;
    changed[10] ^= 1;  // in the first chunk, which the new version keeps
    struct Case {
        const char* what;
        std::string on_disk;
        bool written_since;
        size_t missing;
    } cases[] = {
        {"the file as it was cut", v1, false, missing},
        {"a file written since it was cut is cut again", changed, true, missing + 1},
    };
    for (const Case& c : cases) EXPECT_EQ(plan(c.on_disk, cut_v1, c.written_since), c.missing) << c.what;
    // Only what the cut lists is read: given half of it, the other half is fetched.
    std::vector<Chunk_Entry> half(cut_v1.begin(), cut_v1.begin() + ptrdiff_t(cut_v1.size() / 2));
    EXPECT_GT(plan(v1, half, false), missing + cut_v1.size() / 4);
}
