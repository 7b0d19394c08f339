#include "install/scratch.h"

#include "platform/files.h"
#include "platform/system.h"

#include <cctype>

namespace delivery {

std::string scratch_path(const std::string& target, Scratch_Kind kind) {
    for (const Scratch_Name& n : scratch_names)
        if (n.kind == kind) return target + n.suffix;
    return target;
}

std::string part_path(const std::string& target) { return scratch_path(target, Scratch_Kind::Part); }
std::string journal_path(const std::string& target) { return scratch_path(target, Scratch_Kind::Part_Journal); }
std::string undo_path(const std::string& target) { return scratch_path(target, Scratch_Kind::Undo); }
std::string in_place_journal_path(const std::string& target) { return scratch_path(target, Scratch_Kind::In_Place_Journal); }

std::string kept_cut_path(const std::string& dir, const std::string& path) {
    return platform::join_path(platform::join_path(dir, std::string(cuts_folder_name)), backend::sha256_hex(path));
}

void scratch_delete(const std::string& dir, const std::string& path) {
    const std::string target = platform::join_path(dir, path);
    for (const Scratch_Name& n : scratch_names) platform::delete_file(target + n.suffix);
    const std::string cut = kept_cut_path(dir, path);
    platform::delete_file(cut);
    platform::delete_file(cut + ".tmp");  // a cut torn while it was written (kept_cut_write)
}

static bool exists(const std::string& path) {
    platform::File_Status st;
    return platform::file_status(path, st);
}

// Moves `source` to `dest` unless `dest` is taken; deletes it when it does not move.
static void carry(const std::string& source, const std::string& dest, bool travels, Scratch_Moved& out) {
    platform::File_Status st;
    if (!platform::file_status(source, st) || !st.regular) return;
    bool moved = false;
    if (travels && !exists(dest)) {
        platform::make_dirs(platform::parent_folder(dest));
        moved = platform::rename_replace(source, dest);
    }
    if (moved) ++out.moved;
    else if (platform::delete_file(source)) ++out.dropped;
}

void scratch_move(const std::string& from_dir, const std::string& to_dir, const std::string& path, Scratch_Moved& out) {
    const std::string from = platform::join_path(from_dir, path), to = platform::join_path(to_dir, path);
    const bool part_verified = exists(journal_path(from));  // asked before the journal moves
    for (const Scratch_Name& n : scratch_names) {
        bool travels = n.travels && (n.kind != Scratch_Kind::Part || part_verified);
        carry(from + n.suffix, to + n.suffix, travels, out);
    }
    // The kept cut still vouches for the moved file, whose size and last write the rename keeps.
    carry(kept_cut_path(from_dir, path), kept_cut_path(to_dir, path), true, out);
}

// The first segment of `path` in lower case, and whether more follow.
static std::string top_segment(std::string_view path, bool& deeper) {
    size_t slash = path.find('/');
    deeper = slash != std::string_view::npos;
    std::string top(path.substr(0, slash));
    for (char& c : top) c = char(std::tolower(static_cast<unsigned char>(c)));
    return top;
}

bool reserved_name(std::string_view path, bool is_link) {
    bool deeper = false;
    std::string top = top_segment(path, deeper);
    // Both systems' spellings: a release meant for one may still be opened on the other.
    for (std::string_view kept : {record_name, cuts_folder_name, std::string_view("launcher.old"), std::string_view("launcher.old.exe")})
        if (top == kept) return true;
    bool launcher = top == "launcher" || top == "launcher.exe";
    return launcher && (deeper || is_link);
}

bool release_uses_reserved_name(const backend::Release_Manifest& m) {
    for (const backend::Release_File& f : m.files)
        if (reserved_name(f.path, false)) return true;
    for (const backend::Release_Link& l : m.links)
        if (reserved_name(l.path, true)) return true;
    return false;
}

}  // namespace delivery
