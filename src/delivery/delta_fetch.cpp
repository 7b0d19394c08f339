#include "delivery/delta_fetch.h"

#include "platform/files.h"

#include <algorithm>

namespace delivery {

std::string proven_old(const Job& j, const Part_File& part, size_t i) {
    if (part.in_place || !part.old_status.regular || part.old_status.size <= 0) return {};
    if (!part.old_sha256.empty()) return part.old_sha256;
    if (i < j.old_files.size() && j.old_files[i].sha256.size() == 64 && j.old_files[i].size == part.old_status.size &&
        j.old_files[i].mtime_ns == part.old_status.mtime_ns)
        return j.old_files[i].sha256;
    return {};
}

bool fetch_delta_lists(Job& j, const std::vector<Part_File>& parts, const std::vector<std::vector<uint32_t>>& missing,
                       std::vector<Delta_List>& lists) {
    lists.assign(parts.size(), {});
    std::vector<size_t> wanted;
    std::vector<std::string> paths;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string old = proven_old(j, parts[i], i);
        // The same file again (a part whose target is already new) has nothing to gain.
        if (missing[i].empty() || old.empty() || old == j.files[i].sha256) continue;
        wanted.push_back(i);
        paths.push_back(delta_list_path(old, parts[i].index_sha256));
    }
    size_t next = 0;
    auto hand_out = [&](Fetch& out) {
        if (next == wanted.size()) return false;
        out = Fetch{paths[next], delta_list_max_bytes(parts[wanted[next]].index.chunks.size()), next};
        ++next;
        return true;
    };
    auto on_done = [&](Fetch_Result& r) {
        const Part_File& part = parts[wanted[r.tag]];
        j.fetched_bytes += int64_t(r.body.size());
        std::string why;
        if (r.status != 200 ||
            !delta_list_decode(r.body, uint64_t(part.old_status.size), part.index, lists[wanted[r.tag]], why))
            lists[wanted[r.tag]] = {};
        return true;
    };
    fetcher_run(j.fetcher, hand_out, on_done);
    return !j.fetcher.cancelled.load();
}

const Delta_Entry* delta_for(const Delta_List& list, uint32_t n) {
    auto it = std::lower_bound(list.deltas.begin(), list.deltas.end(), n,
                               [](const Delta_Entry& d, uint32_t chunk) { return d.chunk < chunk; });
    return it != list.deltas.end() && it->chunk == n ? &*it : nullptr;
}

bool delta_restore(const Part_File& part, const Delta_Entry& d, uint32_t n, std::string_view body, std::string& base,
                   std::string& out) {
    const Chunk_Entry& c = part.index.chunks[n];
    if (body.size() != d.size || sha256(body) != d.digest) return false;
    return read_old_region(part, d.offset, d.length, base) && delta_apply(body, base, c.size, out) &&
           sha256(out) == c.digest;
}

bool read_old_region(const Part_File& part, uint64_t offset, uint32_t length, std::string& out) {
    platform::File_Status now;
    if (!platform::file_status(part.target, now) || now.size != part.old_status.size ||
        now.mtime_ns != part.old_status.mtime_ns)
        return false;
    platform::File_Handle old = platform::no_file;
    if (!platform::open_read(part.target, old)) return false;
    out.resize(length);
    bool read = platform::read_at(old, out.data(), out.size(), offset);
    platform::close_file(old);
    return read;
}

}  // namespace delivery
