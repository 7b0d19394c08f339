#include "delivery/part_file.h"

#include "delivery/in_place.h"

#include "platform/files.h"
#include "platform/system.h"

#ifdef __linux__
#include <fcntl.h>
#endif

#include <algorithm>
#include <functional>

namespace delivery {

namespace {

std::string journal_header(const Part_File& f) { return "TWCJ " + f.index_sha256 + "\n"; }

bool all_have(const Part_File& f, const std::vector<uint32_t>& numbers) {
    for (uint32_t n : numbers)
        if (!f.have[n]) return false;
    return true;
}

void put_u32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
}

// Puts the chunk with digest `d` (`size` bytes) wherever the part lacks it, with put(offset),
// and journals each place. False when a put fails; the places before it still count.
bool place_chunk(Part_File& f, const Digest& d, uint64_t size, const std::function<bool(uint64_t)>& put) {
    auto it = f.where.find(d);
    if (it == f.where.end()) return true;
    std::string entries;
    bool ok = true;
    for (uint32_t n : it->second) {
        if (f.have[n]) continue;
        if (!(ok = put(f.offsets[n]))) break;
        f.have[n] = 1;
        f.have_bytes += size;
        put_u32(entries, n);
    }
    // The journal only ever names chunks already written; a failed append costs a re-fetch.
    if (!entries.empty()) platform::append(f.journal_fd, entries);
    return ok;
}

// Chunks the journal lists, each read back from the part and checked before it counts.
void resume_from_journal(Part_File& f, std::string_view journal) {
    std::string buf;
    for (size_t at = 0; at + 4 <= journal.size(); at += 4) {  // a torn last entry is ignored
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(journal[at + size_t(i)]);
        if (n >= f.have.size() || f.have[n]) continue;
        const Chunk_Entry& c = f.index.chunks[n];
        buf.resize(c.size);
        if (!platform::read_at(f.fd, buf.data(), c.size, f.offsets[n]) || sha256(buf) != c.digest) continue;
        f.have[n] = 1;
        f.have_bytes += c.size;
        f.reused_part += c.size;
    }
}

// The journal's bytes, read through a handle that never follows a symbolic link, into `out`;
// false (and `out` empty) when it is missing, unreadable or longer than a journal of this index
// can be (a file put there by someone else, not read into memory).
bool read_journal(const Part_File& f, const std::string& path, std::string& out) {
    out.clear();
    platform::File_Handle h = platform::no_file;
    if (!platform::open_read_write(path, h)) return false;
    uint64_t size = 0;
    const uint64_t most = journal_header(f).size() + uint64_t(f.have.size()) * 4;
    bool ok = platform::open_file_size(h, size) && size <= most;
    if (ok) {
        out.resize(size_t(size));
        ok = platform::read_at(h, out.data(), out.size(), 0);
    }
    platform::close_file(h);
    if (!ok) out.clear();
    return ok;
}

// Replaces the journal's bytes by `bytes`, through the same kind of handle.
bool write_journal(const std::string& path, std::string_view bytes, std::string& err) {
    platform::File_Handle h = platform::no_file;
    if (!platform::open_read_write(path, h, &err)) return false;
    bool ok = platform::resize(h, 0, &err) && platform::write_at(h, bytes, 0, &err);
    platform::close_file(h);
    return ok;
}

}  // namespace


bool part_open(Part_File& f, std::string& err) {
    const std::vector<Chunk_Entry>& chunks = f.index.chunks;
    f.offsets.resize(chunks.size());
    uint64_t at = 0;
    f.where.clear();
    for (uint32_t n = 0; n < chunks.size(); ++n) {
        f.offsets[n] = at;
        at += chunks[n].size;
        f.where[chunks[n].digest].push_back(n);
    }
    f.have.assign(chunks.size(), 0);
    f.have_bytes = f.reused_part = f.reused_old = 0;

    platform::make_dirs(platform::parent_folder(f.target));  // a failure shows in the open
    const std::string part = f.in_place ? f.target : part_path(f.target);
    const std::string journal = f.in_place ? in_place_journal_path(f.target) : journal_path(f.target);
    if (!platform::open_read_write(part, f.fd, &err)) return false;
    for (uint32_t n = 0; f.in_place && n < chunks.size() && n < f.untouched.size(); ++n) {
        if (!f.untouched[n]) continue;
        f.have[n] = 1;
        f.have_bytes += chunks[n].size;
        f.reused_old += chunks[n].size;
    }
    uint64_t size = 0;
    std::string old_journal;
    bool resumable = platform::open_file_size(f.fd, size) && size == f.index.file_size &&
                     read_journal(f, journal, old_journal) && old_journal.starts_with(journal_header(f));
    if (resumable) resume_from_journal(f, std::string_view(old_journal).substr(journal_header(f).size()));
    // In place, the undo journal holds whatever a resize cuts off.
    if ((!resumable && !f.in_place && !platform::resize(f.fd, 0, &err)) ||
        !platform::resize(f.fd, f.index.file_size, &err)) {
        part_close(f);
        return false;
    }

    // A fresh journal holding exactly what was verified, then appended to as chunks land. It
    // is not flushed to the disk: whatever it says is checked against the part when read, so
    // a journal torn by a crash costs a re-fetch, not a wrong byte (and a flush per file would
    // cost more than many small files take to fetch).
    std::string fresh = journal_header(f);
    for (uint32_t n = 0; n < f.have.size(); ++n)
        if (f.have[n]) put_u32(fresh, n);
    if (!write_journal(journal, fresh, err)) {
        part_close(f);
        return false;
    }
    if (!platform::open_append(journal, f.journal_fd, &err)) {
        part_close(f);
        return false;
    }

    // A chunk that occurs more than once and is in the part at one place only: copied over.
    std::string buf;
    for (const auto& [digest, numbers] : f.where) {
        if (numbers.size() < 2 || all_have(f, numbers)) continue;
        for (uint32_t n : numbers) {
            if (!f.have[n]) continue;
            buf.resize(f.index.chunks[n].size);
            if (platform::read_at(f.fd, buf.data(), buf.size(), f.offsets[n]) && !part_write(f, digest, buf, err)) {
                part_close(f);
                return false;
            }
            break;
        }
    }

    return true;
}

bool part_write(Part_File& f, const Digest& d, std::string_view bytes, std::string& err) {
    return place_chunk(f, d, bytes.size(), [&](uint64_t at) { return platform::write_at(f.fd, bytes, at, &err); });
}

bool part_reuse(Part_File& f, const Digest& d, std::string_view bytes, std::string& err) {
    uint64_t before = f.have_bytes;
    bool ok = part_write(f, d, bytes, err);
    f.reused_old += f.have_bytes - before;
    return ok;
}

void part_take_old(Part_File& f, std::mutex& lock, const std::function<void()>& copied,
                   const std::function<bool(std::string_view)>& offer) {
    platform::File_Status now;
    platform::File_Handle old = platform::no_file;
    bool unchanged = !f.old_chunks.empty() && platform::file_status(f.target, now) &&
                     now.size == f.old_status.size && now.mtime_ns == f.old_status.mtime_ns;
    if (unchanged && platform::open_read(f.target, old)) {
        uint64_t offset = 0;
        for (const Chunk_Entry& c : f.old_chunks) {
            {
                std::lock_guard<std::mutex> hold(lock);
                uint64_t before = f.have_bytes;
                // A chunk that cannot be copied is fetched instead.
                place_chunk(f, c.digest, c.size,
                            [&](uint64_t at) { return platform::copy_range(old, offset, f.fd, at, c.size); });
                f.reused_old += f.have_bytes - before;
            }
            copied();
            offset += c.size;
        }
        platform::close_file(old);
    } else {
        cut_file_spans(f.target, f.index.params, [&](uint64_t, std::string_view bytes) { return offer(bytes); });
    }
    std::vector<Chunk_Entry>().swap(f.old_chunks);
}

std::vector<uint32_t> part_missing(const Part_File& f) {
    std::vector<uint32_t> out;
    for (const auto& [digest, numbers] : f.where)
        if (!all_have(f, numbers)) out.push_back(numbers.front());
    std::sort(out.begin(), out.end());
    return out;
}

bool part_sync(Part_File& f, std::string& err) {
    if (f.fd != platform::no_file) return platform::flush_to_disk(f.fd, &err);
    err = "not open";
    return false;
}

bool part_read(const Part_File& f, uint64_t offset, char* to, size_t size) {
    return platform::read_at(f.fd, to, size, offset);
}

void part_start_flush(Part_File& f, uint64_t offset, uint64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
    if (f.fd != platform::no_file && length > 0)
        ::sync_file_range(int(f.fd), off_t(offset), off_t(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)f, (void)offset, (void)length;
#endif
}

void part_close(Part_File& f) {
    platform::close_file(f.fd);
    platform::close_file(f.journal_fd);
}

}  // namespace delivery
