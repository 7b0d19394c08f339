// Updating a file in place: when most of the new file's chunks sit at the same offsets in the
// old file (same-size edits, appended data), only the changed and new chunks are written into
// the old file, instead of building a whole new ".part" beside it.
//
// Crash safety. Before the first byte of the old file is overwritten, the undo journal
// "NAME.undo" holds the old bytes of every region the update may overwrite (and the old size):
// written whole as "NAME.undo.tmp", flushed, then renamed. A kill at any moment thus leaves
// either no journal (nothing was touched yet) or a whole one; the next run for the same release
// goes on from it (the chunks written so far are listed in "NAME.inplace.journal" and read back
// and checked before they count), any other run restores the old file from it first. The new
// file is proven and flushed before the journal is removed: by its chunks when the update began
// from a cut that vouched for the file (each chunk written checked against the signed index, the
// untouched ones checked when they were put in place), by its whole SHA-256 against the manifest
// when it goes on after a kill. The install record names the new release only after that, and
// since every write changes the file's last write, no record or kept cut vouches for a file in
// between.
//
// Where chunks moved (an insertion), the new file is built as a ".part" instead: moving the rest
// of a file in place would journal and write it twice.
//
// Depends on chunk_index.h, kept_cut.h, scratch.h (the names) and platform/files.h. No state (but the test hook); any thread.
#pragma once
#include "delivery/chunk_index.h"
#include "install/scratch.h"

#include <cstdint>
#include <string>
#include <vector>

namespace delivery {

struct Region {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// How the new file's chunks sit in the old one.
struct In_Place_Plan {
    std::vector<char> same;        // per new chunk: the old file has its bytes at its offset
    uint64_t same_bytes = 0;       // bytes of those chunks
    uint64_t elsewhere_bytes = 0;  // bytes of the other chunks the old file has at other offsets
    std::vector<Region> regions;   // what of the old file the update may overwrite or cut off
};

// Compares the old file's cut (`old_chunks`, `old_size` bytes) with the new index.
In_Place_Plan in_place_plan(const std::vector<Chunk_Entry>& old_chunks, uint64_t old_size, const Chunk_Index& index);

// True when updating in place writes less than a new part: at least half of the file stays
// where it is, the journal and the chunks written (twice the changed bytes) come to at most half
// the file, and hardly any moved chunk would have to be fetched instead of copied.
bool in_place_worth(const In_Place_Plan& plan, uint64_t new_size);

// The undo journal's header as read back.
struct Undo {
    std::string index_sha256;  // the index of the update it belongs to
    uint64_t old_size = 0;
    uint64_t new_size = 0;
    std::vector<Region> regions;
};

// Writes and flushes the undo journal of `target` (old_size bytes now) for the update to the
// index `index_sha256` of `new_size` bytes. False with `err` when it cannot be written whole;
// the target is then untouched.
bool undo_write(const std::string& target, const std::string& index_sha256, uint64_t old_size, uint64_t new_size,
                const std::vector<Region>& regions, std::string& err);

// Reads and checks the undo journal of `target` (its trailer digest, every count against the
// journal's size). False when there is none or it is not whole.
bool undo_read(const std::string& target, Undo& out);

// Puts the old file back from its undo journal, flushes it and removes both journals. Also
// removes a journal that is not whole (written before anything was overwritten). False when a
// whole journal could not be applied (it stays for the next try).
bool undo_restore(const std::string& target);

// What an update in place that was stopped left beside `target`, found by its undo journal.
enum class Leftover : uint8_t {
    None,         // no journal, or a stale one now removed, or the old file restored
    Resume,       // the same update (index and size): it goes on from its journals; `undo` read
    Unrestorable  // a whole journal that could not be applied: it stays for the next try
};
// One verified whole before the kill (its kept cut at `cut` vouches for the file) only missed
// the removal of its journals, which is done now; one of the update to `index_sha256` and
// `new_size` bytes is left to go on; any other is undone, so the file is the old one again.
Leftover in_place_recover(const std::string& target, const std::string& cut, const std::string& index_sha256,
                          uint64_t new_size, Undo& undo);

// Per chunk of `index`: whether an in-place update of `undo` leaves its bytes untouched.
std::vector<char> untouched_chunks(const Undo& undo, const Chunk_Index& index);

}  // namespace delivery
