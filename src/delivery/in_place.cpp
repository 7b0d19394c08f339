#include "delivery/in_place.h"

#include "delivery/kept_cut.h"
#include "delivery/part_file.h"

#include "platform/files.h"


#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace delivery {

namespace {

constexpr char magic[4] = {'T', 'W', 'U', 'J'};
constexpr uint32_t format = 1;
constexpr size_t header_bytes = 4 + 4 + 64 + 8 + 8 + 8;
constexpr size_t region_bytes = 16;
constexpr size_t trailer_bytes = 32;
constexpr uint64_t max_regions = 1u << 20;
constexpr size_t piece = 1 << 20;

void add_region(std::vector<Region>& regions, uint64_t offset, uint64_t end) {
    if (end <= offset) return;
    if (!regions.empty() && regions.back().offset + regions.back().length >= offset) {
        Region& r = regions.back();
        r.length = std::max(r.offset + r.length, end) - r.offset;
    } else {
        regions.push_back({offset, end - offset});
    }
}

// Copies `length` bytes from `from` at `from_at` to `to` at `to_at` through `buf`, hashing them
// into `h` when given.
bool copy_piecewise(platform::File_Handle from, uint64_t from_at, platform::File_Handle to, uint64_t to_at,
                    uint64_t length, std::string& buf, Sha256* h, std::string* err) {
    for (uint64_t done = 0; done < length;) {
        buf.resize(size_t(std::min<uint64_t>(piece, length - done)));
        if (!platform::read_at(from, buf.data(), buf.size(), from_at + done)) {
            if (err) *err = "it could not be read";
            return false;
        }
        if (h) h->add(buf);
        if (!platform::write_at(to, buf, to_at + done, err)) return false;
        done += buf.size();
    }
    return true;
}

}  // namespace

In_Place_Plan in_place_plan(const std::vector<Chunk_Entry>& old_chunks, uint64_t old_size, const Chunk_Index& index) {
    In_Place_Plan plan;
    std::unordered_map<uint64_t, const Chunk_Entry*> old_at;  // offset -> old chunk there
    std::unordered_map<Digest, char, Digest_Hash> old_digests;
    uint64_t at = 0;
    for (const Chunk_Entry& c : old_chunks) {
        old_at.emplace(at, &c);
        old_digests.emplace(c.digest, 1);
        at += c.size;
    }
    plan.same.assign(index.chunks.size(), 0);
    at = 0;
    for (size_t n = 0; n < index.chunks.size(); ++n) {
        const Chunk_Entry& c = index.chunks[n];
        auto it = old_at.find(at);
        if (it != old_at.end() && it->second->size == c.size && it->second->digest == c.digest) {
            plan.same[n] = 1;
            plan.same_bytes += c.size;
        } else {
            if (old_digests.count(c.digest)) plan.elsewhere_bytes += c.size;
            if (at < old_size) add_region(plan.regions, at, std::min<uint64_t>(at + c.size, old_size));
        }
        at += c.size;
    }
    if (index.file_size < old_size) add_region(plan.regions, index.file_size, old_size);
    return plan;
}

bool in_place_worth(const In_Place_Plan& plan, uint64_t new_size) {
    uint64_t changed = new_size - std::min(new_size, plan.same_bytes);
    return new_size > 0 && plan.same_bytes >= new_size / 2 && 2 * changed <= new_size / 2 &&
           plan.elsewhere_bytes <= std::max<uint64_t>(new_size / 64, 1 << 20) && plan.regions.size() <= max_regions;
}

bool undo_write(const std::string& target, const std::string& index_sha256, uint64_t old_size, uint64_t new_size,
                const std::vector<Region>& regions, std::string& err) {
    const std::string tmp = scratch_path(target, Scratch_Kind::Undo_Temp);
    platform::delete_file(tmp);
    std::string head(magic, 4);
    put_le(head, format, 4);
    head += index_sha256.substr(0, 64);
    head.resize(4 + 4 + 64, '0');
    put_le(head, old_size, 8);
    put_le(head, new_size, 8);
    put_le(head, regions.size(), 8);
    for (const Region& r : regions) {
        put_le(head, r.offset, 8);
        put_le(head, r.length, 8);
    }
    Sha256 h;
    platform::File_Handle out = platform::no_file, old = platform::no_file;
    bool ok = platform::open_read_write(tmp, out, &err) && platform::resize(out, 0, &err) &&
              platform::write_at(out, head, 0, &err);
    if (ok && !platform::open_read(target, old)) {
        err = "it could not be read";
        ok = false;
    }
    h.add(head);
    uint64_t at = head.size();
    std::string buf;
    for (size_t i = 0; ok && i < regions.size(); ++i) {
        ok = copy_piecewise(old, regions[i].offset, out, at, regions[i].length, buf, &h, &err);
        at += regions[i].length;
    }
    Digest d{};
    if (ok && !h.finish(d)) {
        err = "out of memory";
        ok = false;
    }
    ok = ok &&
         platform::write_at(out, std::string_view(reinterpret_cast<const char*>(d.data()), d.size()), at, &err) &&
         platform::flush_to_disk(out, &err);
    platform::close_file(old);
    platform::close_file(out);
    if (ok) {
        ok = platform::rename_replace(tmp, undo_path(target), &err);
    }
    if (!ok) platform::delete_file(tmp);
    return ok;
}

bool undo_read(const std::string& target, Undo& out) {
    platform::File_Handle fd = platform::no_file;
    if (!platform::open_read(undo_path(target), fd)) return false;
    uint64_t size = 0;
    std::string head(header_bytes, '\0');
    bool ok = platform::open_file_size(fd, size) && size >= header_bytes + trailer_bytes &&
              platform::read_at(fd, head.data(), head.size(), 0) && std::memcmp(head.data(), magic, 4) == 0 &&
              get_le(head, 4, 4) == format;
    uint64_t count = ok ? get_le(head, 88, 8) : 0;
    ok = ok && count <= max_regions && header_bytes + count * region_bytes + trailer_bytes <= size;
    std::string table;
    if (ok) {
        table.resize(size_t(count * region_bytes));
        ok = platform::read_at(fd, table.data(), table.size(), header_bytes);
    }
    if (ok) {
        out.index_sha256 = head.substr(8, 64);
        out.old_size = get_le(head, 72, 8);
        out.new_size = get_le(head, 80, 8);
        out.regions.resize(size_t(count));
        uint64_t data = 0, end = 0;
        for (size_t i = 0; ok && i < count; ++i) {
            Region& r = out.regions[i];
            r.offset = get_le(table, i * region_bytes, 8);
            r.length = get_le(table, i * region_bytes + 8, 8);
            // In order, apart, inside the old file: so the lengths add up to at most its size.
            ok = r.offset >= end && r.length > 0 && r.length <= out.old_size && r.offset <= out.old_size - r.length;
            end = r.offset + r.length;
            data += r.length;
        }
        ok = ok && size == header_bytes + count * region_bytes + data + trailer_bytes;
    }
    // The trailer: the digest of everything before it.
    Sha256 h;
    std::string buf;
    for (uint64_t at = 0; ok && at < size - trailer_bytes;) {
        buf.resize(size_t(std::min<uint64_t>(piece, size - trailer_bytes - at)));
        ok = platform::read_at(fd, buf.data(), buf.size(), at);
        h.add(buf);
        at += buf.size();
    }
    Digest want{}, got{};
    ok = ok && h.finish(got) && platform::read_at(fd, reinterpret_cast<char*>(want.data()), want.size(),
                                                       size - trailer_bytes) && want == got;
    platform::close_file(fd);
    return ok;
}

bool undo_restore(const std::string& target) {
    Undo undo;
    if (!undo_read(target, undo) || !platform::is_regular_file(target)) {
        // Nothing was overwritten before a journal was whole; a missing target has nothing to restore.
        platform::delete_file(in_place_journal_path(target));
        platform::delete_file(undo_path(target));
        return true;
    }
    platform::File_Handle from = platform::no_file, to = platform::no_file;
    bool ok = platform::open_read(undo_path(target), from) && platform::open_read_write(target, to);
    uint64_t at = header_bytes + undo.regions.size() * region_bytes;
    std::string buf;
    for (size_t i = 0; ok && i < undo.regions.size(); ++i) {
        ok = copy_piecewise(from, at, to, undo.regions[i].offset, undo.regions[i].length, buf, nullptr, nullptr);
        at += undo.regions[i].length;
    }
    ok = ok && platform::resize(to, undo.old_size) && platform::flush_to_disk(to);
    platform::close_file(from);
    platform::close_file(to);
    if (!ok) return false;
    platform::delete_file(in_place_journal_path(target));  // the undo journal, the marker, last
    platform::delete_file(undo_path(target));
    return true;
}

Leftover in_place_recover(const std::string& target, const std::string& cut, const std::string& index_sha256,
                          uint64_t new_size, Undo& undo) {
    if (!platform::is_regular_file(undo_path(target))) return Leftover::None;
    platform::File_Status now;
    Kept_Cut kept;
    if (platform::file_status(target, now) && kept_cut_vouches(cut, now, kept)) {
        platform::delete_file(in_place_journal_path(target));
        platform::delete_file(undo_path(target));
        return Leftover::None;
    }
    if (!index_sha256.empty() && undo_read(target, undo) && undo.index_sha256 == index_sha256 &&
        undo.new_size == new_size)
        return Leftover::Resume;
    return undo_restore(target) ? Leftover::None : Leftover::Unrestorable;
}

std::vector<char> untouched_chunks(const Undo& undo, const Chunk_Index& index) {
    std::vector<char> out(index.chunks.size(), 0);
    size_t r = 0;
    uint64_t at = 0;
    for (size_t n = 0; n < index.chunks.size(); ++n) {
        uint64_t end = at + index.chunks[n].size;
        while (r < undo.regions.size() && undo.regions[r].offset + undo.regions[r].length <= at) ++r;
        bool overlaps = r < undo.regions.size() && undo.regions[r].offset < end;
        out[n] = end <= undo.old_size && !overlaps;
        at = end;
    }
    return out;
}

}  // namespace delivery
