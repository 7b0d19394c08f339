// One file being assembled from chunks: its "NAME.part" (sized to the file at once, chunks
// written at their offsets) and its journal "NAME.part.journal" (the index's digest, then the
// number of every chunk written, 4 bytes each, appended as they land). A launcher stopped at any
// moment resumes from the journal: each chunk it lists is read back and checked against its
// digest before it counts, so a torn journal or a write lost with the power costs a re-fetch,
// never a wrong byte.
//
// The planner: chunks in the part already (journal), then chunks the old file holds (the caller
// cuts it with the index's parameters and offers each chunk to part_reuse, which matches it by
// digest and copies it to its new offsets), then the rest, which must be fetched; a digest that
// occurs twice in the file is fetched once.
//
// Depends on chunk_index.h, scratch.h (the names) and platform/files.h. One thread at a time per Part_File.
#pragma once
#include "delivery/chunk_index.h"
#include "install/scratch.h"
#include "platform/files.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace delivery {

struct Digest_Hash {
    size_t operator()(const Digest& d) const {
        size_t h;
        __builtin_memcpy(&h, d.data(), sizeof h);
        return h;
    }
};

struct Part_File {
    std::string target;          // the file the part replaces once verified
    std::string index_sha256;    // names the index: a journal of another index is discarded
    Chunk_Index index;
    platform::File_Handle fd = platform::no_file;          // the part, open for reading and writing
    platform::File_Handle journal_fd = platform::no_file;  // the journal, open for appending
    std::vector<uint64_t> offsets;  // per chunk: where it starts in the file
    std::vector<char> have;      // per chunk: its bytes are in the part and verified
    std::unordered_map<Digest, std::vector<uint32_t>, Digest_Hash> where;  // digest -> chunk numbers
    uint64_t have_bytes = 0;     // bytes of the chunks in `have`
    uint64_t reused_part = 0;    // of those, found in the part (journal)
    uint64_t reused_old = 0;     // of those, copied from the old file (part_reuse)
    // The old file's chunks in order, when it was cut already with the index's parameters (for
    // the index's pages), and its size and last write then. While the file still has them, the
    // chunks the part needs are read at their offsets instead of cutting the file again.
    std::vector<Chunk_Entry> old_chunks;
    platform::File_Status old_status;
    bool old_cut_kept = false;   // old_chunks came from the kept cut, the file was not read
    std::string old_sha256;      // the old file's SHA-256 when it was hashed whole with that status
    // Updated in place (in_place.h): the part is the target itself, `untouched` its chunks
    // already there, the journal in_place_journal_path's.
    bool in_place = false;
    std::vector<char> untouched;
    // In place from a cut that vouched for the file when the update began: each chunk written is
    // checked against the signed index and the untouched ones were checked when they were put in
    // place, so the file is not read whole again (a later background read looks once more).
    bool by_chunks = false;
    std::string kept_cut;        // where the file's cut is kept once it is whole
    // Its one chunk is the file's blob, streamed into the part as it arrives and hashed on the
    // way (whole_file.h): too large to hold, it has no journal and is never cut.
    bool streamed = false;
};

// Opens (or creates) the part and journal for `target`, sized for the index, and fills `have`
// from the journal (and, in place, from `untouched`). False with `err` (the system's text) when the part cannot be made.
bool part_open(Part_File& f, std::string& err);

// Writes a verified chunk at the offsets of every chunk with its digest and journals them.
// False with `err` when a write fails.
bool part_write(Part_File& f, const Digest& d, std::string_view bytes, std::string& err);

// The old file's chunks for the part. While the file has the size and last write it had when
// old_chunks was cut, each chunk the part lacks is copied straight from it at its offset (the
// cut found its digest; the whole file's check still follows), holding `lock` for the part's
// bookkeeping and calling `copied` after each. Otherwise the file is cut again and each of its
// chunks handed to `offer` (until it returns false), which is to hash it and call part_reuse.
// Then drops old_chunks. A chunk that cannot be read or copied is left to fetch.
void part_take_old(Part_File& f, std::mutex& lock, const std::function<void()>& copied,
                   const std::function<bool(std::string_view)>& offer);

// part_write for a chunk of the old file, counted in reused_old; nothing when the part has
// no use for it.
bool part_reuse(Part_File& f, const Digest& d, std::string_view bytes, std::string& err);

// The chunk numbers still to be fetched, one per distinct digest, in file order.
std::vector<uint32_t> part_missing(const Part_File& f);

// Flushes the part's bytes to the disk, so that the move into place that follows never leaves
// a file whose bytes were lost with the power (and the install record's own flush has nothing
// large left to wait for). False with `err` (the system's text) when the flush fails.
bool part_sync(Part_File& f, std::string& err);

// Reads `size` bytes of the part at `offset`. False when they cannot be read.
bool part_read(const Part_File& f, uint64_t offset, char* to, size_t size);

// Starts writing `length` bytes of the part at `offset` to the disk without waiting for them,
// where the system allows it, so that part_sync later finds little left to wait for.
void part_start_flush(Part_File& f, uint64_t offset, uint64_t length);

// Closes both files (the part stays for its check and move; the journal too).
void part_close(Part_File& f);

}  // namespace delivery
