// The background read of files an update proved by their chunks, and the marks it leaves.
#include "install/reread.h"

#include "install/scratch.h"
#include "install/survey.h"
#include "platform/files.h"
#include "platform/system.h"

#include <atomic>
#include <system_error>
#include <thread>

namespace install {

struct Reread {
    std::vector<std::string> paths, full, want;  // the manifest's paths, on disk, their digests
    std::vector<std::string> found;              // the digests read
    Hash_Progress progress;
    std::atomic<bool> done{false};
    std::thread thread;
    ~Reread() {
        progress.stop = true;
        if (thread.joinable()) thread.join();
    }
};

void Reread_Delete::operator()(Reread* r) const {
    delete r;
}

Reread_Ptr reread_start(const std::string& dir, const backend::Release_Manifest& manifest,
                        const std::vector<std::string>& paths) {
    Reread_Ptr r(new Reread);
    for (const backend::Release_File& f : manifest.files)
        for (const std::string& p : paths)
            if (p == f.path) {
                r->paths.push_back(f.path);
                r->full.push_back(platform::join_path(dir, f.path));
                r->want.push_back(f.sha256);
            }
    if (r->paths.empty()) return nullptr;
    Reread* w = r.get();
    try {
        w->thread = std::thread([w] {
            platform::lower_thread_priority();  // the game may be starting: it comes first
            w->found = hash_files(w->full, 1, &w->progress);
            w->done = true;
        });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return r;
}

bool reread_poll(Reread& r, std::vector<std::string>& differing) {
    if (!r.done) return false;
    r.thread.join();
    for (size_t i = 0; i < r.paths.size(); ++i)
        if (r.found[i] != r.want[i]) differing.push_back(r.paths[i]);  // "" (unreadable) included
    return true;
}

void reread_mark(const std::string& dir, launcher::Install_Record& record, const std::vector<std::string>& differing) {
    for (const std::string& path : differing) {
        platform::delete_file(delivery::kept_cut_path(dir, path));
        for (launcher::Installed_File& f : record.files)
            if (f.path == path) f.sha256.clear();
    }
    launcher::install_write_record(dir, record);  // failing, the next check trusts the old entry
}

}  // namespace install
