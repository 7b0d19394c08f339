// The chunker's cut points, the chunk index and its checks, restoring stored chunks, and the
// planner's reuse of the old file and of an earlier partial download.
#include "delivery/chunk_index.h"
#include "delivery/part_file.h"
#include "support/files.h"
#include "support/folders.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <set>

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
        x.chunks.push_back({sha256(c), uint32_t(c.size()), uint32_t(compress_chunk(c).size())});
        x.file_size += c.size();
    }
    return x;
}

struct Scratch : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("tarnwick-delivery-" + support::process_id());
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
};

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
    Chunk_Index good = index_of(random_bytes(200000, 7));
    std::string bytes = index_encode(good);
    Chunk_Index back;
    std::string why;
    ASSERT_TRUE(index_decode(bytes, back, why)) << why;
    EXPECT_EQ(back.file_size, good.file_size);
    ASSERT_EQ(back.chunks.size(), good.chunks.size());
    EXPECT_EQ(back.chunks[1].digest, good.chunks[1].digest);

    auto with = [&](size_t at, uint32_t value) {
        std::string b = bytes;
        for (int i = 0; i < 4; ++i) b[at + size_t(i)] = char((value >> (8 * i)) & 0xFF);
        return b;
    };
    const size_t first = index_header_bytes;
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"another magic", "XWCI" + bytes.substr(4)},
        {"another format", with(4, 2)},
        {"a cut-off entry", bytes.substr(0, bytes.size() - 1)},
        {"a byte too many", bytes + "x"},
        {"minimum above the average", with(8, 1 << 20)},
        {"average not a power of two", with(12, 20000)},
        {"a chunk of no bytes", with(first + 32, 0)},
        {"a chunk over the maximum", with(first + 32, (64 << 10) + 1)},
        {"stored larger than the chunk", with(first + 36, good.chunks[0].size + 1)},
        {"sizes that do not add up", with(20, uint32_t(good.file_size + 1))},
        {"a count beyond the bytes", with(28, 1000000)},
    };
    for (const Case& c : cases) EXPECT_FALSE(index_decode(c.bytes, back, why)) << c.what;
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
