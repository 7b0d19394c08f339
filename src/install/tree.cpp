#include "install/tree.h"
#include "lang/lang.h"

#include "install/scratch.h"
#include "launcher/log.h"
#include "platform/files.h"
#include "platform/system.h"

namespace launcher {

std::string linked_folder(std::string_view dir, std::string_view rel) {
    for (size_t at = rel.find('/'); at != std::string_view::npos; at = rel.find('/', at + 1)) {
        std::string folder = platform::join_path(dir, rel.substr(0, at));
        if (platform::is_link(folder)) return std::string(rel.substr(0, at));
    }
    return {};
}

void tree_remove_stale_links(std::string_view dir, const Install_Record& record, const backend::Release_Manifest& m) {
    if (record.links.empty()) return;
    for (const backend::Release_Link& old : record.links) {
        // The record is only a hint: a path that could leave the folder is never touched.
        if (!backend::release_path_ok(old.path) || !linked_folder(dir, old.path).empty()) continue;
        bool same = false;
        for (const backend::Release_Link& l : m.links) same = same || (l.path == old.path && l.target == old.target);
        if (same) continue;
        std::string full = platform::join_path(dir, old.path), target;
        if (platform::read_link(full, target) && target == old.target) platform::delete_file(full);
    }
}

bool tree_ready_to_write(std::string_view dir, const std::vector<backend::Release_File>& files, std::string& message) {
    for (const backend::Release_File& f : files) {
        std::string folder = linked_folder(dir, f.path);
        if (!folder.empty()) {
            // TRANSLATORS: %1$s is a file of the game, %2$s a folder above it.
            message = fmt(tr("Couldn't write %1$s: %2$s is a symbolic link, and the launcher doesn't write through "
                             "links."),
                          {f.path, folder});
            return false;
        }
        std::string target = platform::join_path(dir, f.path);
        for (const delivery::Scratch_Name& n : delivery::scratch_names) {
            const std::string temporary = target + n.suffix;
            if (!platform::is_link(temporary)) continue;
            log_warning("patcher: removing the symbolic link %s, the launcher's own name for a download",
                        temporary.c_str());
            platform::delete_file(temporary);
        }
    }
    return true;
}

bool tree_finish(std::string_view dir, const backend::Release_Manifest& m, std::string& message, bool supported) {
    size_t programs = 0;
    for (const backend::Release_File& f : m.files) programs += f.exec;
    if (!supported) {
        if (programs || !m.links.empty())
            log_info("patcher: %d execute bits and %d symbolic links of the release skipped: not used on this system",
                     int(programs), int(m.links.size()));
        return true;
    }
    for (const backend::Release_File& f : m.files) {
        if (!f.exec || !linked_folder(dir, f.path).empty()) continue;
        if (!platform::set_executable(platform::join_path(dir, f.path)))
            log_warning("patcher: couldn't make %s executable", f.path.c_str());
    }
    // After the files: a link may name one of them, and a folder a release turned into a link
    // has lost its files to the stale-file step by now.
    for (const backend::Release_Link& l : m.links) {
        std::string folder = linked_folder(dir, l.path);
        if (!folder.empty()) {
            message = fmt(tr("Couldn't make the link %1$s: %2$s is a symbolic link, and the launcher doesn't write "
                             "through links."),
                          {l.path, folder});
            return false;
        }
        std::string full = platform::join_path(dir, l.path), have, err;
        if (platform::read_link(full, have) && have == l.target) continue;
        platform::make_dirs(platform::parent_folder(full));  // a failure shows in make_link
        if (!platform::make_link(l.target, full, &err)) {
            // TRANSLATORS: %2$s is the system's reason.
            message = fmt(tr("Couldn't make the link %1$s (%2$s)."), {l.path, err});
            return false;
        }
    }
    return true;
}

std::vector<backend::Release_Link> installed_links(std::string_view dir, const backend::Release_Manifest& m) {
    std::vector<backend::Release_Link> out;
    for (const backend::Release_Link& l : m.links) {
        std::string have;
        if (platform::read_link(platform::join_path(dir, l.path), have) && have == l.target) out.push_back(l);
    }
    return out;
}

}  // namespace launcher
