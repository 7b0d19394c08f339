// A release's tree beyond its files: the execute bits and symbolic links the manifest names, and
// the rule that no write of the patcher ever goes through a link, whoever placed it.
//
// Depends on backend/release.h, install/scratch.h, install/record.h, launcher/log.h,
// platform/files.h, platform/links.h and platform/system.h.
// Limits: a link is checked by name (lstat) just before the writes it could redirect; another
// process placing links in the install folder while an update runs is not guarded against.
// On Windows links and modes are skipped with a line in the log.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "backend/release.h"
#include "install/record.h"
#include "platform/links.h"

namespace launcher {

// The nearest folder of the release path `rel`, below `dir`, that is a symbolic link; "" when
// there is none. Writing at `rel` would go through that link.
std::string linked_folder(std::string_view dir, std::string_view rel);

// Before planning: the links an earlier release made (the record lists them) that the new one
// does not list identically are removed while they still point where the record says. A link is
// only a name, so nothing is lost, and the new release's files below such a link are then seen as
// missing rather than as current through it.
void tree_remove_stale_links(std::string_view dir, const Install_Record& record, const backend::Release_Manifest& m);

// Before anything is written: false with `message` when a file to fetch lies below a folder that
// is a link. A link at a file's temporary names (".part" and its journal) is removed.
bool tree_ready_to_write(std::string_view dir, const std::vector<backend::Release_File>& files, std::string& message);

// Once the files are in place: sets the execute bits the manifest names, then makes its links.
// False with `message` when a link cannot be made. Without `supported` (Windows) both are
// skipped with one line in the log.
bool tree_finish(std::string_view dir, const backend::Release_Manifest& m, std::string& message,
                 bool supported = platform::has_links_and_modes);

// The manifest's links as they stand in `dir`: those that are links with the manifest's target.
std::vector<backend::Release_Link> installed_links(std::string_view dir, const backend::Release_Manifest& m);

}  // namespace launcher
