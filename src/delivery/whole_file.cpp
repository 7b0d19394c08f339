#include "delivery/whole_file.h"

#include "backend/requests.h"
#include "delivery/chunker.h"
#include "delivery/part_file.h"
#include "platform/files.h"
#include "platform/system.h"

#include <atomic>
#include <memory>

namespace delivery {

namespace {

// Bytes gathered before a write: a few large writes rather than one per network read.
constexpr size_t write_piece = size_t(1) << 20;

// One whole file on its way into its part. The sink fills it on the transferring thread; the
// job's thread reads it once the transfer has ended.
struct Incoming {
    std::atomic<int64_t>* received = nullptr;  // the job's count of bytes from the network
    std::string part;
    Sha256 digest;
    platform::File_Handle fd = platform::no_file;
    bool made = false;      // the part was made (or its making failed: write_err says so)
    std::string write_err;  // the first failure to make or write the part
    std::string pending;    // received, not yet written
    uint64_t written = 0;
    uint64_t kept = 0;         // bytes of an earlier part asked to go on from (Range)
    std::string content_range; // the answer's, when it is 206
    bool refused = false;      // a 206 for other bytes than those asked for: none are taken
    bool started = false;      // the answer's first bytes were taken
};

bool success(long status) { return status >= 200 && status <= 299; }

// Makes the part anew (never through a link, whatever was there) the first time bytes are due.
void make_part(Incoming& in) {
    if (in.made) return;
    in.made = true;
    platform::make_dirs(platform::parent_folder(in.part));  // a failure shows in the write
    if (!platform::write_new_file(in.part, {}, &in.write_err) || !platform::open_read_write(in.part, in.fd, &in.write_err))
        platform::close_file(in.fd);
}

void write_pending(Incoming& in) {
    if (in.pending.empty()) return;
    if (in.write_err.empty() && !platform::write_at(in.fd, in.pending, in.written, &in.write_err))
        platform::close_file(in.fd);
    in.written += in.pending.size();
    in.pending.clear();
}

// Forgets the bytes of an earlier part: the part is made anew and hashed from its start.
void start_over(Incoming& in) {
    platform::close_file(in.fd);
    in.made = false;
    in.written = in.kept = 0;
    Digest ignored;
    in.digest.finish(ignored);  // hashes afresh
}

// A part left by a transfer cut short (a kill, a lost connection, a stop) holds the blob's first
// bytes, unverified: they are hashed again, and only the rest is asked for. The digest of the
// whole still decides. A part that cannot be read is made anew.
void go_on_from_part(Incoming& in, const backend::Release_File& f, int64_t limit) {
    platform::File_Status st;
    if (!platform::file_status(in.part, st) || !st.regular || st.size <= 0 || st.size >= f.size || st.size >= limit)
        return;
    bool read = platform::read_file_chunks(in.part, [&](std::string_view piece) {
        in.digest.add(piece);
        in.kept += piece.size();
        return true;
    });
    if (!read || in.kept != uint64_t(st.size) || !platform::open_read_write(in.part, in.fd, &in.write_err)) {
        in.write_err.clear();
        start_over(in);
        return;
    }
    in.made = true;
    in.written = in.kept;
}

// The body of an answer with a status of success is hashed, and written unless writing has
// failed already: the digest still decides which failure the player reads.
void take(Incoming& in, long status, std::string_view bytes, const backend::Release_File& f) {
    *in.received += int64_t(bytes.size());
    if (!success(status) || in.refused) return;
    if (!in.started) {
        in.started = true;
        if (status == 206 && in.content_range != "bytes " + std::to_string(in.kept) + "-" +
                                                     std::to_string(f.size - 1) + "/" + std::to_string(f.size)) {
            in.refused = true;
            return;
        }
        if (status != 206 && in.kept > 0) start_over(in);  // the whole body came: from its start
    }
    make_part(in);
    in.digest.add(bytes);
    if (!in.write_err.empty()) return;
    in.pending.append(bytes);
    if (in.pending.size() >= write_piece) write_pending(in);
}

}  // namespace

bool fetch_whole(Job& j, size_t i, std::string& failure) {
    const backend::Release_File& f = j.files[i];
    Incoming in;
    in.received = &j.fetched_bytes;
    in.part = part_path(platform::join_path(j.dir, f.path));
    in.pending.reserve(write_piece);

    const int64_t limit = j.whole_limit > 0 ? j.whole_limit : int64_t(4) << 20;
    go_on_from_part(in, f, limit);
    bool handed = false;
    Fetch_Result result;
    auto next = [&](Fetch& out) {
        if (handed) return false;
        handed = true;
        const std::string_view format = backend::req_release_blob.path;  // "...%s"
        std::string path(format.substr(0, format.find("%s")));
        path += f.sha256;
        out = Fetch{std::move(path), uint64_t(limit), i,
                    [&in, &f](long status, std::string_view bytes) { take(in, status, bytes, f); }};
        out.from = in.kept;
        out.content_range = &in.content_range;
        return true;
    };
    bool answered = false;
    auto done = [&](Fetch_Result& r) {
        result = std::move(r);
        answered = true;
        return true;
    };
    fetcher_run(j.fetcher, next, done);

    auto drop = [&] {
        platform::close_file(in.fd);
        if (in.made) platform::delete_file(in.part);
        return false;
    };
    // Stopped, or cut short on the way: what arrived stays for the next fetch to go on from.
    auto keep = [&] {
        write_pending(in);
        platform::close_file(in.fd);
        return false;
    };
    if (j.fetcher.cancelled.load()) return keep();
    if (!answered || (result.status == 0 && result.err != answer_too_long)) {
        failure = cannot_download(f);
        return in.refused ? drop() : keep();
    }
    // One past the limit, one that is not the file, or a range other than the one asked for.
    if (!success(result.status) || in.refused) {
        failure = cannot_download(f);
        return drop();
    }
    make_part(in);  // an empty file brings no bytes, and still has its part
    write_pending(in);

    Digest got{}, want{};
    bool same = in.digest.finish(got) && from_hex(f.sha256, want) && got == want;
    if (!same) {
        failure = damaged(f);
        return drop();
    }
    if (!in.write_err.empty()) {
        failure = cannot_write(f, in.write_err);
        return drop();
    }
    // Not flushed, as whole files never were: the install record, flushed once every file is in
    // place, vouches only for a file of the size and last write it records, and a flush per file
    // made a release of many files a tenth slower to install.
    platform::close_file(in.fd);
    return true;
}

}  // namespace delivery
