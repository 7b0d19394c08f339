// The install record "install.json" in the install folder: which release is installed and, per
// file, the size and last-write time it had when the release was put in place, with the
// manifest's digest. The planner reads no file whose size and time still match its entry: it is
// current when the entry's digest is the manifest's, and the old release's (to be updated) when
// it is not.
//
// Depends on backend/release.h (the manifest it is written from), backend/json.h and
// platform/files.h. Limits: reading never fails (a missing file is the zero record, a damaged one
// gives what decoded before the damage); it is only a hint, never proof that a file is intact.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "backend/release.h"

namespace launcher {

struct Installed_File {
    std::string path;    // the manifest's path
    int64_t size = 0;    // as the file system reported it when the record was written
    std::string sha256;  // the manifest's digest (the file is not re-hashed for the record)
    int64_t mtime = 0;   // last write, nanoseconds since 1970, from the same query
    bool exec = false;   // the manifest marks it a program ("exec" only written when true)

    bool operator==(const Installed_File&) const = default;
};

struct Install_Record {
    std::string version;
    std::string channel;
    std::vector<Installed_File> files;
    // The release's symbolic links found in place when the record was written ("links" only
    // written when there are some): the next release removes those it no longer lists.
    std::vector<backend::Release_Link> links = {};
    // Channel -> the highest "sequence" of a release installed here from it ("sequences", only
    // once a numbered release was installed): release_guard.h refuses anything lower. Kept
    // across every later record of the folder.
    std::map<std::string, int64_t, std::less<>> sequences = {};
};

// Reads "install.json" in `dir`. Missing or unreadable: the zero record.
Install_Record install_load(std::string_view dir);
// Decodes record bytes. Text that is not valid JSON (a record cut off by a crash, say) still
// yields its members before the damage: version, channel and every complete `files` entry.
Install_Record install_decode(std::string_view bytes);

// The record for `m` as installed in `dir`: one entry per manifest file, in manifest order, with
// size and time queried now; files whose status cannot be read are left out.
Install_Record install_record_for(std::string_view dir, const backend::Release_Manifest& m);
// Pretty JSON (tab-indented, members in field order) ending in a newline.
std::string install_encode(const Install_Record& r);
// Carries the `sequences` of `old` into `r`, raised to `m`'s number for its channel.
void install_keep_sequences(Install_Record& r, const Install_Record& old, const backend::Release_Manifest& m);
// Writes the record for `m` over "install.json" in `dir` atomically, through "install.json.part":
// a crash leaves the old record or the new one, never a cut-off file. The old record's
// `sequences` are kept (install_keep_sequences). Callers may ignore the result.
bool install_write(std::string_view dir, const backend::Release_Manifest& m);
// The same for a record already built (the planner's, from the statuses it has just read).
bool install_write_record(std::string_view dir, const Install_Record& r);

}  // namespace launcher
