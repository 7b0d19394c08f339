#include "delivery/part_file.h"

#include "platform/files.h"
#include "platform/system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

namespace delivery {

namespace {

std::string journal_header(const Part_File& f) { return "TWCJ " + f.index_sha256 + "\n"; }

bool pwrite_all(int fd, std::string_view bytes, uint64_t offset) {
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        bytes.remove_prefix(size_t(n));
        offset += uint64_t(n);
    }
    return true;
}

bool pread_all(int fd, char* to, size_t size, uint64_t offset) {
    while (size > 0) {
        ssize_t n = ::pread(fd, to, size, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        to += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool all_have(const Part_File& f, const std::vector<uint32_t>& numbers) {
    for (uint32_t n : numbers)
        if (!f.have[n]) return false;
    return true;
}

void put_u32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
}

// True when the old file has the size and last write it had when f.old_chunks was cut.
bool old_file_unchanged(const Part_File& f) {
    platform::File_Status now;
    return !f.old_chunks.empty() && platform::file_status(f.target, now) && now.size == f.old_status.size &&
           now.mtime_ns == f.old_status.mtime_ns;
}

// Calls copy(bytes, digest) for every chunk of f.old_chunks that the part still needs, read
// from the old file at its offset, until copy returns false.
void copy_old_chunks(const Part_File& f, const std::function<bool(std::string_view, const Digest&)>& copy) {
    int fd = ::open(f.target.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;  // gone since it was cut: everything is fetched
    std::string buf;
    uint64_t offset = 0;
    for (const Chunk_Entry& c : f.old_chunks) {
        auto it = f.where.find(c.digest);
        if (it != f.where.end() && !all_have(f, it->second)) {
            buf.resize(c.size);
            if (pread_all(fd, buf.data(), c.size, offset) && !copy(buf, c.digest)) break;
        }
        offset += c.size;
    }
    ::close(fd);
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
        if (!pread_all(f.fd, buf.data(), c.size, f.offsets[n]) || sha256(buf) != c.digest) continue;
        f.have[n] = 1;
        f.have_bytes += c.size;
        f.reused_part += c.size;
    }
}

}  // namespace

std::string part_path(const std::string& target) { return target + ".part"; }
std::string journal_path(const std::string& target) { return target + ".part.journal"; }

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
    const std::string part = part_path(f.target), journal = journal_path(f.target);
    f.fd = ::open(part.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (f.fd < 0) {
        err = platform::error_text(errno);
        return false;
    }
    struct stat st {};
    std::string old_journal;
    bool resumable = ::fstat(f.fd, &st) == 0 && uint64_t(st.st_size) == f.index.file_size &&
                     platform::read_file(journal, old_journal) && old_journal.starts_with(journal_header(f));
    if (resumable) resume_from_journal(f, std::string_view(old_journal).substr(journal_header(f).size()));
    if ((!resumable && ::ftruncate(f.fd, 0) != 0) || ::ftruncate(f.fd, off_t(f.index.file_size)) != 0) {
        err = platform::error_text(errno);
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
    if (!platform::write_file(journal, fresh, &err)) {
        part_close(f);
        return false;
    }
    f.journal_fd = ::open(journal.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (f.journal_fd < 0) {
        err = platform::error_text(errno);
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
            if (pread_all(f.fd, buf.data(), buf.size(), f.offsets[n]) && !part_write(f, digest, buf, err)) {
                part_close(f);
                return false;
            }
            break;
        }
    }

    // The old file: every chunk of it that the new one still needs is copied, not fetched.
    if (f.have_bytes < f.index.file_size && platform::is_regular_file(f.target)) {
        bool ok = true;
        auto copy = [&](std::string_view bytes, const Digest& d) {
            auto it = f.where.find(d);
            if (it == f.where.end() || all_have(f, it->second)) return true;
            uint64_t before = f.have_bytes;
            ok = part_write(f, d, bytes, err);
            f.reused_old += f.have_bytes - before;
            return ok;
        };
        if (old_file_unchanged(f))
            copy_old_chunks(f, copy);
        else
            cut_file(f.target, f.index.params, [&](uint64_t, std::string_view bytes, const Digest& d) { return copy(bytes, d); });
        std::vector<Chunk_Entry>().swap(f.old_chunks);
        if (!ok) {
            part_close(f);
            return false;
        }
    }
    return true;
}

bool part_write(Part_File& f, const Digest& d, std::string_view bytes, std::string& err) {
    auto it = f.where.find(d);
    if (it == f.where.end()) return true;
    std::string entries;
    for (uint32_t n : it->second) {
        if (f.have[n]) continue;
        if (!pwrite_all(f.fd, bytes, f.offsets[n])) {
            err = platform::error_text(errno);
            return false;
        }
        f.have[n] = 1;
        f.have_bytes += bytes.size();
        put_u32(entries, n);
    }
    // The journal only ever names chunks already written; a failed append costs a re-fetch.
    if (!entries.empty()) {
        ssize_t written = ::write(f.journal_fd, entries.data(), entries.size());
        (void)written;
    }
    return true;
}

std::vector<uint32_t> part_missing(const Part_File& f) {
    std::vector<uint32_t> out;
    for (const auto& [digest, numbers] : f.where)
        if (!all_have(f, numbers)) out.push_back(numbers.front());
    std::sort(out.begin(), out.end());
    return out;
}

bool part_sync(Part_File& f) {
    return f.fd >= 0 && ::fdatasync(f.fd) == 0;
}

void part_close(Part_File& f) {
    if (f.fd >= 0) ::close(f.fd);
    if (f.journal_fd >= 0) ::close(f.journal_fd);
    f.fd = f.journal_fd = -1;
}

void part_forget_journal(Part_File& f) {
    part_close(f);
    platform::delete_file(journal_path(f.target));
}

}  // namespace delivery
