// scratch: every name the launcher keeps beside a file it installs, or in the install folder,
// and what each is for. Whatever deletes, moves or recovers such files asks here, so that a new
// scratch file is declared once and uninstall, a folder move and start-up cleaning all follow it.
//
// Beside a target NAME:
//   NAME.part             the new file being assembled (chunks, or a whole file streamed in;
//                         a whole file's part cut short is gone on from, its bytes hashed again)
//   NAME.part.journal     the chunks of NAME.part already verified; a part without it holds
//                         nothing verified
//   NAME.undo             an update in place: the old bytes of every region it may overwrite
//                         (in_place.h); while it exists NAME is neither old nor new
//   NAME.undo.tmp         that journal while it is written, before its rename
//   NAME.inplace.journal  the chunks an update in place has written into NAME
// In the install folder:
//   install.json          the install record
//   install.cuts/         the kept cut of each installed chunked file (kept_cut.h)
//   launcher.old          the launcher a self-update moved aside (platform/system.h)
//
// Depends on backend/release.h, platform/files.h and platform/system.h. No state; any thread.
// Limits: only the names above; the player's own files are never touched.
#pragma once
#include "backend/release.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace delivery {

enum class Scratch_Kind : uint8_t { Part, Part_Journal, Undo, Undo_Temp, In_Place_Journal };

struct Scratch_Name {
    Scratch_Kind kind;
    const char* suffix;  // appended to the target's path
    bool travels;        // carried along when the install folder changes (else deleted)
};

// Every scratch name beside a target. A move carries them in this order: the journals of an
// update in place before anything else, so that a target never arrives without its undo.
inline constexpr Scratch_Name scratch_names[] = {
    {Scratch_Kind::Undo, ".undo", true},
    {Scratch_Kind::In_Place_Journal, ".inplace.journal", true},
    {Scratch_Kind::Part_Journal, ".part.journal", true},
    {Scratch_Kind::Part, ".part", true},
    {Scratch_Kind::Undo_Temp, ".undo.tmp", false},
};

inline constexpr std::string_view record_name = "install.json";
inline constexpr std::string_view cuts_folder_name = "install.cuts";

std::string scratch_path(const std::string& target, Scratch_Kind kind);
std::string part_path(const std::string& target);
std::string journal_path(const std::string& target);  // the part's journal
std::string undo_path(const std::string& target);
std::string in_place_journal_path(const std::string& target);
// Where the cut of the file at `path` (relative, as the manifest names it) below `dir` is kept.
std::string kept_cut_path(const std::string& dir, const std::string& path);

// Deletes every scratch file beside the file at `path` below `dir` and its kept cut (links
// included, never followed).
void scratch_delete(const std::string& dir, const std::string& path);

// Carries the scratch files beside `from` (and the kept cut of `path`) to `to` in another
// install folder: each one that travels moves, unless `to` has a file of that name already; the
// rest are deleted. A part without its journal holds nothing verified and is deleted.
struct Scratch_Moved {
    int moved = 0;
    int dropped = 0;
};
void scratch_move(const std::string& from_dir, const std::string& to_dir, const std::string& path, Scratch_Moved& out);

// True when `path` of a release would land on a name the launcher keeps for itself: the record,
// the kept cuts, the launcher moved aside (as a file, a link or a folder), or the launcher's own
// name as a link or folder. The launcher as a regular file is its self-update and allowed. Letter
// case is ignored, as some file systems do.
bool reserved_name(std::string_view path, bool is_link);
// A release with any file or link at a reserved name.
bool release_uses_reserved_name(const backend::Release_Manifest& m);

}  // namespace delivery
