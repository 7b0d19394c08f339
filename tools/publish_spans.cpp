#include "publish_spans.h"

#include "publish_deltas.h"

#include "platform/files.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace publisher {

namespace {

using delivery::Chunk_Entry;
using delivery::Digest;
using delivery::Span_Entry;

// Measured on a browser's 280 MB program six versions on (a sample of 16 MiB of spans, zstd's
// own tables for the level): spans of 1, 2 and 4 MiB store 31.6, 31.2 and 31.1 % of their
// bytes against 16 MiB of old bytes at level 6, the smaller ones taking longer, as zstd indexes
// the region anew for every span; regions of 8, 16, 32 and 64 MiB store 32.6, 31.2, 31.1 and
// 31.1 % (the old bytes a span came from are rarely further away), the larger ones taking up
// to twice as long. Level 3 stores 33.7 %, 9 29.8 % at four times level 6's time, 12 24.2 %
// at thirteen times; level 6 with larger tables (span_make) 24.4 % at four times.
constexpr uint64_t span_target = 4 << 20;
constexpr uint32_t region_bytes = delivery::span_region_max;
constexpr int span_level = 6;
// A span is kept only where it saves at least 1/64 of the bytes it yields: where the chunks'
// deltas already come close, reading 16 MiB of the old file to save a few KiB is no gain, and a
// span lost on the way costs all of its chunks' deltas after it.
constexpr uint64_t span_least_gain = 64;

// The runs of consecutive chunks in `fresh`, cut where a span would pass span_target.
std::vector<Span_Entry> runs_of(const delivery::Chunk_Index& index, const std::vector<char>& fresh) {
    std::vector<Span_Entry> out;
    uint64_t bytes = 0;
    for (uint32_t k = 0; k < index.chunks.size(); ++k) {
        if (!fresh[k]) continue;
        const uint32_t size = index.chunks[k].size;
        bool extends = !out.empty() && out.back().first + out.back().count == k;
        if (!extends || bytes + size > span_target) {
            out.push_back(Span_Entry{k, 0});
            bytes = 0;
        }
        out.back().count += 1;
        bytes += size;
    }
    return out;
}

}  // namespace

bool make_spans(const std::string& source, const delivery::Chunk_Index& index, const std::string& index_sha256,
                const std::string& old_file, const std::string& old_sha256, const delivery::Delta_List& deltas,
                const std::string& files, unsigned threads, Span_Totals& totals, std::string& error) {
    std::set<Digest> old_chunks;
    uint64_t old_size = 0;
    if (!delivery::cut_file(old_file, index.params, [&](uint64_t offset, std::string_view bytes, const Digest& d) {
            old_chunks.insert(d);
            old_size = offset + bytes.size();
            return true;
        })) {
        error = "could not read " + old_file;
        return false;
    }
    if (old_size == 0) return true;
    // What each chunk costs without a span: its delta where one was kept, else its stored form.
    std::vector<uint64_t> cost(index.chunks.size());
    std::vector<uint64_t> offsets(index.chunks.size());
    std::vector<char> fresh(index.chunks.size());
    uint64_t at = 0;
    for (size_t k = 0; k < index.chunks.size(); ++k) {
        offsets[k] = at;
        at += index.chunks[k].size;
        cost[k] = index.chunks[k].stored;
        fresh[k] = !old_chunks.count(index.chunks[k].digest);
    }
    for (const delivery::Delta_Entry& d : deltas.deltas) cost[d.chunk] = d.size;
    std::vector<Span_Entry> spans = runs_of(index, fresh);
    std::erase_if(spans, [&](const Span_Entry& s) { return delivery::span_bytes(index, s) < delivery::span_least; });

    Read_Pair h;
    if (!platform::open_read(old_file, h.old_file) || !platform::open_read(source, h.source)) {
        error = "could not read " + old_file + " or " + source;
        return false;
    }
    const std::string folder = platform::join_path(files, "spans");
    First_Error failure;
    std::vector<uint64_t> replaced(spans.size());
    auto work = [&](unsigned first) {
        std::string bytes, base;
        for (size_t w = first; w < spans.size() && !failure.failed.load(); w += threads) {
            Span_Entry& s = spans[w];
            const uint64_t from = offsets[s.first];
            const uint64_t size = delivery::span_bytes(index, s);
            uint64_t without = 0;
            for (uint32_t k = s.first; k < s.first + s.count; ++k) without += cost[k];
            // Where the deltas already cost less than the least a span must save, no span can
            // be kept: not even tried, which spares most of the time on slightly changed files.
            if (without <= size / span_least_gain) continue;
            // The old bytes around the same relative place, clipped to the old file.
            const uint64_t length = std::min<uint64_t>(region_bytes, old_size);
            const uint64_t centre = index.file_size ? uint64_t(double(from + size / 2) * double(old_size) / double(index.file_size)) : 0;
            s.offset = std::min(old_size - length, centre > length / 2 ? centre - length / 2 : 0);
            s.length = uint32_t(length);
            bytes.resize(size_t(size));
            base.resize(size_t(length));
            if (!platform::read_at(h.source, bytes.data(), bytes.size(), from) ||
                !platform::read_at(h.old_file, base.data(), base.size(), s.offset)) {
                failure.set("could not read " + source + " or " + old_file);
                return;
            }
            std::string span = delivery::span_make(base, bytes, span_level);
            if (span.empty() || span.size() + size / span_least_gain >= without) continue;
            s.size = uint32_t(span.size());
            s.digest = delivery::sha256(span);
            std::string err;
            if (!keep_by_digest(folder, s.digest, span, err)) {
                failure.set(err);
                return;
            }
            replaced[w] = without;
        }
    };
    threads = std::max(1u, threads);
    on_threads(threads, work);
    if (failure.failed.load()) {
        error = failure.text;
        return false;
    }

    delivery::Span_List list;
    list.old_size = old_size;
    list.new_size = index.file_size;
    for (size_t w = 0; w < spans.size(); ++w) {
        if (spans[w].size == 0) continue;
        list.spans.push_back(spans[w]);
        totals.spans += 1;
        totals.span_bytes += spans[w].size;
        totals.replaced += replaced[w];
    }
    if (list.spans.empty()) return true;
    const std::string bytes = delivery::span_list_encode(list);
    totals.span_bytes += bytes.size();
    // Named by the pair, not by content: written anew whenever the pair is published again.
    const std::string name = old_sha256 + "-" + index_sha256;
    if (!platform::write_file_atomic(platform::join_path(folder, name), bytes, &error)) {
        error = "could not write the span list " + name + " (" + error + ")";
        return false;
    }
    return true;
}

}  // namespace publisher
