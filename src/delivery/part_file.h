// One file being assembled from chunks: its "NAME.part" (sized to the file at once, chunks
// written at their offsets) and its journal "NAME.part.journal" (the index's digest, then the
// number of every chunk written, 4 bytes each, appended as they land). A launcher stopped at any
// moment resumes from the journal: each chunk it lists is read back and checked against its
// digest before it counts, so a torn journal or a write lost with the power costs a re-fetch,
// never a wrong byte.
//
// The planner: chunks in the part already (journal), then chunks the old file holds (cut with
// the index's parameters and matched by digest, copied at their new offsets), then the rest,
// which must be fetched; a digest that occurs twice in the file is fetched once.
//
// Depends on chunk_index.h, platform/files.h and POSIX file calls. One thread per Part_File.
#pragma once
#include "delivery/chunk_index.h"
#include "platform/files.h"

#include <cstdint>
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
    int fd = -1;                 // the part, open for reading and writing
    int journal_fd = -1;         // the journal, open for appending
    std::vector<uint64_t> offsets;  // per chunk: where it starts in the file
    std::vector<char> have;      // per chunk: its bytes are in the part and verified
    std::unordered_map<Digest, std::vector<uint32_t>, Digest_Hash> where;  // digest -> chunk numbers
    uint64_t have_bytes = 0;     // bytes of the chunks in `have`
    uint64_t reused_part = 0;    // of those, found in the part (journal)
    uint64_t reused_old = 0;     // of those, copied from the old file
    // The old file's chunks in order, when it was cut already with the index's parameters (for
    // the index's pages), and its size and last write then. When the file still has them,
    // part_open copies the chunks it needs at their offsets instead of cutting and hashing it
    // again (the whole file's check still follows); otherwise, or when empty, it cuts it.
    std::vector<Chunk_Entry> old_chunks;
    platform::File_Status old_status;
};

std::string part_path(const std::string& target);
std::string journal_path(const std::string& target);

// Opens (or creates) the part and journal for `target`, sized for the index, and fills `have`
// from the journal and the old file. False with `err` (the system's text) when the part cannot
// be made.
bool part_open(Part_File& f, std::string& err);

// Writes a verified chunk at the offsets of every chunk with its digest and journals them.
// False with `err` when a write fails.
bool part_write(Part_File& f, const Digest& d, std::string_view bytes, std::string& err);

// The chunk numbers still to be fetched, one per distinct digest, in file order.
std::vector<uint32_t> part_missing(const Part_File& f);

// Flushes the part's bytes to the disk, so that the move into place that follows never leaves
// a file whose bytes were lost with the power (and the install record's own flush has nothing
// large left to wait for). False when the flush fails.
bool part_sync(Part_File& f);

// Closes both files (the part stays for its check and move; the journal too).
void part_close(Part_File& f);

// Closes and removes the journal: called once the part is verified whole.
void part_forget_journal(Part_File& f);

}  // namespace delivery
