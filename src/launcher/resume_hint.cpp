#include "launcher/resume_hint.h"

#include "launcher/launcher.h"

#include "backend/client.h"
#include "backend/requests.h"
#include "delivery/part_progress.h"
#include "install/scratch.h"
#include "platform/files.h"

#include <algorithm>

namespace launcher {

// The publisher cuts chunks of 64 KiB on average; a chunk count beyond what the smallest chunks
// could make of the file is no journal of ours.
static constexpr uint64_t average_chunk = 64 << 10, smallest_chunk = 256;

int64_t release_bytes_on_disk(const std::string& dir, const backend::Release_Manifest& m) {
    int64_t on_disk = 0;
    for (const backend::Release_File& f : m.files) {
        if (f.size <= 0 || !backend::release_path_ok(f.path)) continue;
        const std::string target = platform::join_path(dir, f.path);
        platform::File_Status st, journal;
        bool assembling = platform::file_status(delivery::journal_path(target), journal);
        if (!assembling && platform::file_status(target, st) && st.regular && st.size == f.size) {
            on_disk += f.size;
            continue;
        }
        if (f.chunk_index.empty()) continue;
        uint64_t size = uint64_t(f.size);
        uint64_t chunks = std::max<uint64_t>(1, (size + average_chunk / 2) / average_chunk);
        uint64_t journaled = delivery::part_chunks_journaled(target, f.chunk_index, size / smallest_chunk + 1);
        on_disk += int64_t(std::min(size, size * std::min(journaled, chunks) / chunks));
    }
    return on_disk;
}

static int percent_of(const std::string& dir, const backend::Release_Manifest& m) {
    int64_t total = 0;
    for (const backend::Release_File& f : m.files) total += std::max<int64_t>(0, f.size);
    if (total <= 0) return 0;
    return int(std::clamp<int64_t>(release_bytes_on_disk(dir, m) * 100 / total, 0, 99));
}

int resume_percent(Launcher& state) {
    Resume_Hint& h = state.resume;
    const Patcher& p = state.patcher;
    if (h.known && h.dir == state.install_dir && h.seen == uint8_t(p.state) && h.had_manifest == p.has_manifest)
        return h.percent;
    h.known = true;
    h.dir = state.install_dir;
    h.seen = uint8_t(p.state);
    h.had_manifest = p.has_manifest;
    h.percent = 0;
    if (p.has_manifest) {
        h.percent = percent_of(state.install_dir, p.manifest);
    } else if (h.has_manifest) {
        h.percent = percent_of(state.install_dir, h.manifest);
    } else if (!h.asked && state.session.ok && state.auto_install_held && !p.channel.empty()) {
        // Only after an uninstall does the Install button wait without a check of its own.
        h.asked = true;
        std::string where = backend::req_release_manifest.path;
        where.replace(where.find("%s"), 2, p.channel);
        h.manifest_req = backend::request_typed(state.session.client, backend::req_release_manifest.method, where);
    }
    return h.percent;
}

void on_resume_manifest(Launcher& state, const backend::Response& r) {
    Resume_Hint& h = state.resume;
    h.manifest_req = 0;
    if (r.status < 200 || r.status > 299) return;
    backend::Release_Manifest m;
    if (backend::open_release(r.body, m) != backend::Release_Error::None) return;
    if (!m.channel.empty() && m.channel != state.patcher.channel) return;
    h.manifest = std::move(m);
    h.has_manifest = true;
    h.known = false;   // worked out again with it at the next frame
}

}  // namespace launcher
