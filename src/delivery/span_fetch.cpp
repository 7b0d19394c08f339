#include "delivery/span_fetch.h"

#include "delivery/delta_fetch.h"

#include <algorithm>

namespace delivery {

namespace {

// Two spans in flight: the network stays busy while one is decoded, and memory stays bounded.
constexpr int spans_at_a_time = 2;

struct Wanted {
    size_t file = 0;
    Span_Entry span;
};

// The span list of every file with chunks missing and a proven old file; empty where there is
// none (missing, refused or unreachable: no spans). False when the job was cancelled.
bool fetch_span_lists(Job& j, const std::vector<Part_File>& parts, const std::vector<std::vector<uint32_t>>& missing,
                      std::vector<Span_List>& lists) {
    lists.assign(parts.size(), {});
    std::vector<Fetch> asks;
    for (size_t i = 0; i < parts.size(); ++i) {
        uint64_t lacking = 0;
        for (uint32_t k : missing[i]) lacking += parts[i].index.chunks[k].size;
        std::string old = proven_old(j, parts[i], i);
        if (lacking < span_least || old.empty() || old == j.files[i].sha256) continue;
        asks.push_back(Fetch{span_list_path(old, parts[i].index_sha256),
                             span_list_max_bytes(parts[i].index.chunks.size()), i});
    }
    size_t next = 0;
    auto hand_out = [&](Fetch& out) { return next < asks.size() && (out = asks[next++], true); };
    auto on_done = [&](Fetch_Result& r) {
        const Part_File& part = parts[r.tag];
        j.fetched_bytes += int64_t(r.body.size());
        std::string why;
        if (r.status != 200 || !span_list_decode(r.body, uint64_t(part.old_status.size), part.index, lists[r.tag], why))
            lists[r.tag] = {};
        return true;
    };
    fetcher_run(j.fetcher, hand_out, on_done);
    return !j.fetcher.cancelled.load();
}

}  // namespace

uint64_t span_missing_stored(const Chunk_Index& index, const Span_Entry& s, const std::vector<uint32_t>& missing) {
    uint64_t sum = 0;
    for (auto it = std::lower_bound(missing.begin(), missing.end(), s.first);
         it != missing.end() && uint64_t(*it) < uint64_t(s.first) + s.count; ++it)
        sum += index.chunks[*it].stored;
    return sum;
}

bool fetch_spans(Job& j, const std::vector<Part_File>& parts, std::vector<std::vector<uint32_t>>& missing,
                 const Span_Chunk& write) {
    std::vector<Span_List> lists;
    if (!fetch_span_lists(j, parts, missing, lists)) return false;
    std::vector<Wanted> wanted;
    for (size_t i = 0; i < lists.size(); ++i)
        for (const Span_Entry& s : lists[i].spans)
            if (s.size < span_missing_stored(parts[i].index, s, missing[i])) wanted.push_back({i, s});
    if (wanted.empty()) return true;

    std::vector<std::vector<char>> served(parts.size());
    for (const Wanted& w : wanted) served[w.file].assign(parts[w.file].index.chunks.size(), 0);
    std::string base, out;
    bool written = true;
    size_t next = 0;
    auto hand_out = [&](Fetch& f) {
        if (next == wanted.size()) return false;
        f = Fetch{"/files/spans/" + hex(wanted[next].span.digest), wanted[next].span.size, next};
        ++next;
        return true;
    };
    auto on_done = [&](Fetch_Result& r) {
        const Wanted& w = wanted[r.tag];
        const Span_Entry& s = w.span;
        const Part_File& part = parts[w.file];
        j.fetched_bytes += int64_t(r.body.size());
        const uint64_t size = span_bytes(part.index, s);
        if (r.status != 200 || r.body.size() != s.size || sha256(r.body) != s.digest ||
            !read_old_region(part, s.offset, s.length, base) || !span_apply(r.body, base, uint32_t(size), out)) {
            ++j.span_fallbacks;
            return true;
        }
        const std::vector<uint32_t>& left = missing[w.file];
        uint64_t at = 0;
        bool all = true;
        for (uint32_t k = s.first; k < s.first + s.count; ++k) {
            const Chunk_Entry& c = part.index.chunks[k];
            std::string_view piece = std::string_view(out).substr(size_t(at), c.size);
            at += c.size;
            if (!std::binary_search(left.begin(), left.end(), k) || served[w.file][k]) continue;
            if (sha256(piece) != c.digest) {
                all = false;
                continue;
            }
            if (!write(w.file, k, piece)) return written = false;
            served[w.file][k] = 1;
            ++j.span_chunks;
        }
        if (!all) ++j.span_fallbacks;
        return true;
    };
    const int parallel = j.fetcher.parallel;
    j.fetcher.parallel = std::min(parallel, spans_at_a_time);
    fetcher_run(j.fetcher, hand_out, on_done);
    j.fetcher.parallel = parallel;
    // Neither its bytes nor its answers are needed any more: give the memory back before the chunks.
    std::string().swap(base);
    std::string().swap(out);
    for (size_t i = 0; i < parts.size(); ++i)
        if (!served[i].empty())
            std::erase_if(missing[i], [&](uint32_t k) { return served[i][k] != 0; });
    return written && !j.fetcher.cancelled.load();
}

}  // namespace delivery
