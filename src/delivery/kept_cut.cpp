#include "delivery/kept_cut.h"

#include "backend/release.h"
#include "platform/system.h"

#include <algorithm>
#include <cstring>

namespace delivery {

namespace {

constexpr char magic[4] = {'T', 'W', 'K', 'C'};
constexpr uint32_t format = 1;
constexpr size_t header_bytes = 4 + 4 + 12 + 8 + 8 + 8;
constexpr size_t entry_bytes = 36;
constexpr size_t trailer_bytes = 32;

// The most chunks a file of `size` bytes can have with these parameters: all but the last are
// at least the minimum.
uint64_t max_chunks(uint64_t size, const Chunk_Params& p) { return size / std::max<uint32_t>(p.min_size, 1) + 1; }

}  // namespace

std::string kept_cut_encode(const Kept_Cut& c) {
    std::string out(magic, 4);
    put_le(out, format, 4);
    put_le(out, c.params.min_size, 4);
    put_le(out, c.params.avg_size, 4);
    put_le(out, c.params.max_size, 4);
    put_le(out, c.size, 8);
    put_le(out, uint64_t(c.mtime_ns), 8);
    put_le(out, c.chunks.size(), 8);
    out.reserve(out.size() + c.chunks.size() * entry_bytes + trailer_bytes);
    for (const Chunk_Entry& e : c.chunks) {
        out.append(reinterpret_cast<const char*>(e.digest.data()), e.digest.size());
        put_le(out, e.size, 4);
    }
    Digest d = sha256(out);
    out.append(reinterpret_cast<const char*>(d.data()), d.size());
    return out;
}

bool kept_cut_decode(std::string_view bytes, Kept_Cut& out) {
    if (bytes.size() < header_bytes + trailer_bytes || std::memcmp(bytes.data(), magic, 4) != 0 ||
        get_le(bytes, 4, 4) != format)
        return false;
    out.params = {uint32_t(get_le(bytes, 8, 4)), uint32_t(get_le(bytes, 12, 4)), uint32_t(get_le(bytes, 16, 4))};
    out.size = get_le(bytes, 20, 8);
    out.mtime_ns = int64_t(get_le(bytes, 28, 8));
    uint64_t count = get_le(bytes, 36, 8);
    if (!params_ok(out.params) || count > max_chunks(out.size, out.params) ||
        bytes.size() != header_bytes + count * entry_bytes + trailer_bytes)
        return false;
    Digest trailer;
    std::memcpy(trailer.data(), bytes.data() + bytes.size() - trailer_bytes, trailer_bytes);
    if (sha256(bytes.substr(0, bytes.size() - trailer_bytes)) != trailer) return false;
    out.chunks.resize(size_t(count));
    uint64_t total = 0;
    for (size_t n = 0, at = header_bytes; n < count; ++n, at += entry_bytes) {
        Chunk_Entry& e = out.chunks[n];
        std::memcpy(e.digest.data(), bytes.data() + at, 32);
        e.size = e.stored = uint32_t(get_le(bytes, at + 32, 4));
        if (e.size == 0 || e.size > out.params.max_size) return false;
        total += e.size;
    }
    return total == out.size;
}

bool kept_cut_write(const std::string& file, const Kept_Cut& c) {
    platform::make_dirs(platform::parent_folder(file));  // a failure shows in the write
    // Not flushed: a cut torn by a power cut fails its trailer and is cut again, while a flush
    // per file would cost an install of many small files more than their cuts ever save.
    const std::string tmp = file + ".tmp";
    if (platform::write_file(tmp, kept_cut_encode(c)) && platform::rename_replace(tmp, file)) return true;
    platform::delete_file(tmp);
    return false;
}

bool kept_cut_vouches(const std::string& file, const platform::File_Status& now, Kept_Cut& out) {
    if (!now.regular || now.size < 0) return false;
    // Bounded as for chunks of 64 bytes on average, and 256 MiB at most, whatever it claims.
    uint64_t most = std::min<uint64_t>(header_bytes + (uint64_t(now.size) / 64 + 1) * entry_bytes + trailer_bytes,
                                       uint64_t(256) << 20);
    platform::File_Handle fd = platform::no_file;
    if (!platform::open_read(file, fd)) return false;
    uint64_t size = 0;
    std::string bytes;
    bool ok = platform::open_file_size(fd, size) && size <= most;
    if (ok) {
        bytes.resize(size_t(size));
        ok = platform::read_at(fd, bytes.data(), bytes.size(), 0);
    }
    platform::close_file(fd);
    return ok && kept_cut_decode(bytes, out) && out.size == uint64_t(now.size) && out.mtime_ns == now.mtime_ns;
}

bool kept_cut_for(const std::string& file, const platform::File_Status& now, const Chunk_Params& params,
                  Kept_Cut& out) {
    if (!now.regular || now.size < 0) return false;
    // A cut with these parameters has at most this many bytes: nothing longer is read.
    uint64_t most = header_bytes + max_chunks(uint64_t(now.size), params) * entry_bytes + trailer_bytes;
    platform::File_Status cut;
    return platform::file_status(file, cut) && uint64_t(cut.size) <= most && kept_cut_vouches(file, now, out) &&
           out.params.min_size == params.min_size && out.params.avg_size == params.avg_size &&
           out.params.max_size == params.max_size;
}

}  // namespace delivery
