#include "delivery/index_fetch.h"
#include "lang/lang.h"

#include "delivery/kept_cut.h"
#include "platform/files.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

namespace delivery {

namespace {

struct Page_Want {
    size_t file = 0;
    size_t page = 0;
};

// The entries of every page of `head` that the part's target (the old file) holds, by page
// number; the others are left empty. The part gets the old file's chunks and status, for the
// planner: from its kept cut while the file is unchanged since, else by cutting it (counted in
// `read`). Stops early (with what it has) once the fetcher is cancelled. A file in the middle of
// an update in place is not cut: its pages are fetched.
void pages_on_disk(Part_File& part, const Index_Head& head, const Fetcher& fetcher,
                   std::vector<std::vector<Chunk_Entry>>& entries, std::atomic<int64_t>& read) {
    if (part.in_place || !platform::file_status(part.target, part.old_status) || !part.old_status.regular) return;
    std::vector<Chunk_Entry>& chunks = part.old_chunks;
    Kept_Cut kept;
    if (kept_cut_for(part.kept_cut, part.old_status, head.params, kept)) {
        chunks = std::move(kept.chunks);
        part.old_cut_kept = true;
    } else {
        // Hashed whole on the way: the file is then proven to be the one a delta list names.
        Sha256 whole;
        bool cut = cut_file(part.target, head.params, [&](uint64_t, std::string_view bytes, const Digest& d) {
            chunks.push_back({d, uint32_t(bytes.size()), 0});
            read += int64_t(bytes.size());
            whole.add(bytes);
            return !fetcher.cancelled.load();
        });
        Digest d{};
        platform::File_Status after;
        if (cut && whole.finish(d) &&
            platform::file_status(part.target, after) && after.size == part.old_status.size &&
            after.mtime_ns == part.old_status.mtime_ns)
            part.old_sha256 = hex(d);
    }
    std::vector<size_t> first;
    std::vector<Index_Page> local = make_pages(chunks, &first);
    std::unordered_map<Digest, size_t, Digest_Hash> by_digest;
    for (size_t p = 0; p < local.size(); ++p) by_digest.emplace(local[p].digest, p);
    for (size_t p = 0; p < head.pages.size(); ++p) {
        auto it = by_digest.find(head.pages[p].digest);
        if (it == by_digest.end() || local[it->second].count != head.pages[p].count) continue;
        auto begin = chunks.begin() + ptrdiff_t(first[it->second]);
        entries[p].assign(begin, begin + head.pages[p].count);
    }
}

}  // namespace

bool fetch_indexes(Job& j, std::vector<Part_File>& parts, std::string& failure) {
    const std::string unreachable(tr("Couldn't reach the update server."));
    std::vector<Index_Head> heads(j.files.size());
    size_t next = 0;
    auto hand_out_heads = [&](Fetch& out) {
        if (next == j.files.size()) return false;
        const backend::Release_File& f = j.files[next];
        // The signed manifest's word for the index's size is the tight bound; without it (a
        // release published before manifests named it) the most the file's size allows.
        uint64_t limit = index_max_bytes(uint64_t(f.size));
        if (f.chunk_index_size > 0) limit = std::min(limit, uint64_t(f.chunk_index_size));
        out = Fetch{"/files/indexes/" + f.chunk_index, limit, next};
        ++next;
        return true;
    };
    auto on_head = [&](Fetch_Result& r) {
        const backend::Release_File& f = j.files[r.tag];
        j.fetched_bytes += int64_t(r.body.size());
        std::string why;
        if (r.status != 200)
            failure = r.err == answer_too_long ? damaged(f) : cannot_download(f);
        else if (backend::sha256_hex(r.body) != f.chunk_index ||
                 !index_head_decode(r.body, uint64_t(f.size), heads[r.tag], why))
            failure = damaged(f);
        return failure.empty();
    };
    if (!fetcher_run(j.fetcher, hand_out_heads, on_head)) {
        if (failure.empty() && !j.fetcher.cancelled.load()) failure = unreachable;
        return false;
    }

    // Pages from the files on disk, then the rest from the server.
    std::vector<std::vector<std::vector<Chunk_Entry>>> entries(j.files.size());
    std::vector<Page_Want> wants;
    for (size_t i = 0; i < j.files.size(); ++i) {
        parts[i].target = platform::join_path(j.dir, j.files[i].path);
        parts[i].index_sha256 = j.files[i].chunk_index;
        parts[i].kept_cut = kept_cut_path(j.dir, j.files[i].path);
        entries[i].resize(heads[i].pages.size());
        pages_on_disk(parts[i], heads[i], j.fetcher, entries[i], j.old_read_bytes);
        if (j.fetcher.cancelled.load()) return false;
        for (size_t p = 0; p < heads[i].pages.size(); ++p)
            if (entries[i][p].empty()) wants.push_back({i, p});
    }
    next = 0;
    auto hand_out_pages = [&](Fetch& out) {
        if (next == wants.size()) return false;
        const Index_Page& page = heads[wants[next].file].pages[wants[next].page];
        out = Fetch{"/files/indexes/" + hex(page.digest), uint64_t(page.count) * page_entry_bytes, next};
        ++next;
        return true;
    };
    auto on_page = [&](Fetch_Result& r) {
        const Page_Want& w = wants[r.tag];
        const backend::Release_File& f = j.files[w.file];
        const Index_Page& page = heads[w.file].pages[w.page];
        j.fetched_bytes += int64_t(r.body.size());
        if (r.status != 200)
            failure = r.err == answer_too_long ? damaged(f) : cannot_download(f);
        else if (sha256(r.body) != page.digest ||
                 !page_decode(r.body, page.count, heads[w.file].params.max_size, entries[w.file][w.page]))
            failure = damaged(f);
        return failure.empty();
    };
    if (!fetcher_run(j.fetcher, hand_out_pages, on_page)) {
        if (failure.empty() && !j.fetcher.cancelled.load()) failure = unreachable;
        return false;
    }

    for (size_t i = 0; i < j.files.size(); ++i) {
        Chunk_Index& index = parts[i].index;
        index.chunks.clear();
        index.chunks.reserve(size_t(heads[i].chunk_count));
        for (std::vector<Chunk_Entry>& page : entries[i]) {
            index.chunks.insert(index.chunks.end(), page.begin(), page.end());
            std::vector<Chunk_Entry>().swap(page);
        }
        std::string why;
        if (!index_finish(heads[i], index, why)) {
            failure = damaged(j.files[i]);
            return false;
        }
    }
    return true;
}

}  // namespace delivery
