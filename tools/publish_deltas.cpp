#include "publish_deltas.h"

#include "platform/files.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace publisher {

namespace {

using delivery::Chunk_Entry;
using delivery::Delta_Entry;
using delivery::Digest;

struct Digest_Hash {
    size_t operator()(const Digest& d) const {
        size_t h;
        std::memcpy(&h, d.data(), sizeof h);
        return h;
    }
};

// Each delta is made against a dictionary of about half a MiB, which zstd indexes anew for every
// chunk, so the level costs far more than it does for a chunk alone. Measured on real updates:
// on an office suite's security fix (782 deltas) levels 3, 9 and 15 all save 16.4 MB of the
// chunks' 23.1 MB, the publisher taking 10 s, 17 s and 44 s or more for the release; on a
// browser six versions on (a sample of its program's new chunks) level 6 stores 10 % less than
// level 3 and 2 % more than 9, at 60 % of 9's time.
constexpr int delta_level = 6;

// Where a new chunk's bytes were in the old file, found by content: 32-byte windows whose rolling
// hash has its low 8 bits zero are anchors, and the old offsets of the anchors a chunk shares
// with the old file vote for its shift. Code that moved (a program several versions on) thus
// gets the old bytes it came from: on a browser's program the deltas shrank by a third against
// the old bytes at the same place; on files that barely moved the two are within a few percent.
constexpr int anchor_window = 32;
constexpr uint64_t anchor_mask = 0xFF;

const std::array<uint64_t, 256>& gear() {
    static const std::array<uint64_t, 256> table = [] {
        std::array<uint64_t, 256> t{};
        uint64_t x = 0x9E3779B97F4A7C15u;
        for (uint64_t& v : t) {  // xorshift: any fixed table of mixed bits will do
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            v = x;
        }
        return t;
    }();
    return table;
}

uint64_t rotate(uint64_t x, int by) { return (x << by) | (x >> (64 - by)); }

// Calls found(hash, offset of the window's last byte) for every anchor of `bytes`, which follow
// `before` bytes of the same stream (`history`: its last anchor_window - 1 bytes, updated).
template <class Found>
void anchors_of(std::string_view bytes, uint64_t before, uint64_t& hash, std::string& history, Found&& found) {
    const auto& g = gear();
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint64_t at = before + i;
        hash = rotate(hash, 1) ^ g[uint8_t(bytes[i])];
        if (at >= anchor_window) {
            // The byte leaving the window: in this piece, or in the history of the pieces before.
            uint8_t out = i >= anchor_window ? uint8_t(bytes[i - anchor_window])
                                             : uint8_t(history[history.size() - (anchor_window - i)]);
            hash ^= rotate(g[out], anchor_window);
        }
        if (at + 1 >= anchor_window && (hash & anchor_mask) == 0) found(hash, at);
    }
    if (bytes.size() >= anchor_window) {
        history.assign(bytes.substr(bytes.size() - anchor_window));
    } else {
        history.append(bytes);
        if (history.size() > anchor_window) history.erase(0, history.size() - anchor_window);
    }
}

// (hash, old offset) of every anchor that occurs once in the old file, by hash.
using Anchors = std::vector<std::pair<uint64_t, uint64_t>>;

void keep_unique(Anchors& a) {
    std::sort(a.begin(), a.end());
    size_t out = 0;
    for (size_t i = 0; i < a.size();) {
        size_t j = i;
        while (j < a.size() && a[j].first == a[i].first) ++j;
        if (j == i + 1) a[out++] = a[i];
        i = j;
    }
    a.resize(out);
    a.shrink_to_fit();
}

// Where the old file's region for the chunk at `offset` of the new file is centred: the shift
// most of its anchors agree on (bucketed by 128 KiB, the median within), else the same
// relative place.
uint64_t old_place(const Anchors& anchors, std::string_view chunk, uint64_t offset, uint64_t old_size,
                   uint64_t new_size) {
    std::map<int64_t, std::vector<int64_t>> votes;
    uint64_t hash = 0;
    std::string history;
    anchors_of(chunk, 0, hash, history, [&](uint64_t h, uint64_t at) {
        auto it = std::lower_bound(anchors.begin(), anchors.end(), std::make_pair(h, uint64_t(0)));
        if (it == anchors.end() || it->first != h) return;
        int64_t shift = int64_t(it->second) - int64_t(offset + at);
        votes[shift >> 17].push_back(shift);
    });
    std::vector<int64_t>* best = nullptr;
    for (auto& [bucket, shifts] : votes)
        if (!best || shifts.size() > best->size()) best = &shifts;
    if (!best) return new_size ? uint64_t(double(offset) * double(old_size) / double(new_size)) : 0;
    std::nth_element(best->begin(), best->begin() + ptrdiff_t(best->size() / 2), best->end());
    int64_t place = int64_t(offset) + (*best)[best->size() / 2];
    return place < 0 ? 0 : uint64_t(place);
}

// The old file's region around [place, place + size), clipped to the old file; past its end,
// its last bytes.
void region_for(uint64_t place, uint32_t size, uint64_t old_size, uint64_t& begin, uint32_t& length) {
    const uint64_t want = uint64_t(size) + 2 * delivery::delta_margin;
    uint64_t from = place > delivery::delta_margin ? place - delivery::delta_margin : 0;
    uint64_t to = std::min(old_size, place + size + delivery::delta_margin);
    if (from >= to) {
        to = old_size;
        from = old_size > want ? old_size - want : 0;
    }
    begin = from;
    length = uint32_t(to - from);
}

}  // namespace

bool make_deltas(const std::string& source, const delivery::Chunk_Index& index, const std::string& index_sha256,
                 const std::string& old_file, const std::string& old_sha256, const std::string& files, unsigned threads,
                 Delta_Totals& totals, delivery::Delta_List& made, std::string& error) {
    // The chunks the old file has are found by the launcher in the old file itself.
    std::unordered_set<Digest, Digest_Hash> old_chunks;
    uint64_t old_size = 0;
    Anchors anchors;
    uint64_t hash = 0;
    std::string history;
    if (!delivery::cut_file(old_file, index.params, [&](uint64_t offset, std::string_view bytes, const Digest& d) {
            old_chunks.insert(d);
            old_size = offset + bytes.size();
            anchors_of(bytes, offset, hash, history, [&](uint64_t h, uint64_t at) { anchors.emplace_back(h, at); });
            return true;
        })) {
        error = "could not read " + old_file;
        return false;
    }
    if (old_size == 0) return true;
    keep_unique(anchors);

    // A launcher fetches each digest once, under its first chunk number.
    std::vector<uint32_t> wanted;
    std::vector<uint64_t> offsets(index.chunks.size());
    std::unordered_set<Digest, Digest_Hash> seen;
    uint64_t at = 0;
    for (size_t k = 0; k < index.chunks.size(); ++k) {
        const Chunk_Entry& c = index.chunks[k];
        offsets[k] = at;
        at += c.size;
        if (old_chunks.count(c.digest) || !seen.insert(c.digest).second) continue;
        wanted.push_back(uint32_t(k));
        totals.chunks += 1;
        totals.chunk_bytes += c.stored;
    }

    Read_Pair h;
    if (!platform::open_read(old_file, h.old_file) || !platform::open_read(source, h.source)) {
        error = "could not read " + old_file + " or " + source;
        return false;
    }
    const std::string folder = platform::join_path(files, "deltas");
    std::vector<Delta_Entry> kept(wanted.size());  // size 0: none
    First_Error failure;
    auto fail = [&](std::string text) { failure.set(std::move(text)); };
    auto work = [&](unsigned first) {
        std::string chunk, base;
        for (size_t w = first; w < wanted.size() && !failure.failed.load(); w += threads) {
            const uint32_t k = wanted[w];
            const Chunk_Entry& c = index.chunks[k];
            Delta_Entry d;
            d.chunk = k;
            chunk.resize(c.size);
            if (!platform::read_at(h.source, chunk.data(), chunk.size(), offsets[k])) {
                fail("could not read " + source);
                return;
            }
            region_for(old_place(anchors, chunk, offsets[k], old_size, index.file_size), c.size, old_size, d.offset,
                       d.length);
            base.resize(d.length);
            if (!platform::read_at(h.old_file, base.data(), base.size(), d.offset)) {
                fail("could not read " + source + " or " + old_file);
                return;
            }
            std::string delta = delivery::delta_make(base, chunk, delta_level);
            if (delta.empty() || delta.size() >= c.stored) continue;
            d.size = uint32_t(delta.size());
            d.digest = delivery::sha256(delta);
            std::string err;
            if (!keep_by_digest(folder, d.digest, delta, err)) {
                fail(err);
                return;
            }
            kept[w] = d;
        }
    };
    threads = std::max(1u, threads);
    on_threads(threads, work);
    if (failure.failed.load()) {
        error = failure.text;
        return false;
    }

    delivery::Delta_List& list = made;
    list = {};
    list.old_size = old_size;
    list.new_size = index.file_size;
    for (const Delta_Entry& d : kept) {
        if (d.size == 0) continue;
        list.deltas.push_back(d);
        totals.deltas += 1;
        totals.delta_bytes += d.size;
        totals.delta_chunk_bytes += index.chunks[d.chunk].stored;
    }
    if (list.deltas.empty()) return true;
    const std::string bytes = delivery::delta_list_encode(list);
    totals.delta_bytes += bytes.size();
    // Named by the pair, not by content: written anew whenever the pair is published again.
    const std::string name = old_sha256 + "-" + index_sha256;
    if (!platform::write_file_atomic(platform::join_path(folder, name), bytes, &error)) {
        error = "could not write the delta list " + name + " (" + error + ")";
        return false;
    }
    return true;
}

Read_Pair::~Read_Pair() {
    if (old_file != platform::no_file) platform::close_file(old_file);
    if (source != platform::no_file) platform::close_file(source);
}

void First_Error::set(std::string what) {
    std::lock_guard<std::mutex> hold(lock);
    if (!failed.exchange(true)) text = std::move(what);
}

void on_threads(unsigned threads, const std::function<void(unsigned first)>& work) {
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work, t);
    work(0);
    for (std::thread& t : pool) t.join();
}

bool keep_by_digest(const std::string& folder, const delivery::Digest& digest, std::string_view bytes,
                    std::string& error) {
    const std::string path = platform::join_path(folder, delivery::hex(digest));
    std::string err;
    if (platform::is_regular_file(path)) return true;
    if (platform::write_file(path + ".part", bytes, &err) && platform::rename_replace(path + ".part", path, &err)) return true;
    platform::delete_file(path + ".part");
    error = "could not write " + path + " (" + err + ")";
    return false;
}

}  // namespace publisher
