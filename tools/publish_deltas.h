// The publisher's deltas (delivery/delta_list.h): for a file an earlier release had with other
// bytes, each chunk of the new file that the old file lacks is compressed against the old file's
// region around the same place; the delta is kept when it is smaller than the chunk's stored
// form. The kept deltas go to files/deltas/ under their SHA-256, and their list under the pair's
// name. A file without a kept delta gets no list: launchers read the missing list as "none".
//
// Depends on delivery/delta_list.h and platform/files.h. Runs `threads` threads of its own.
#pragma once
#include "delivery/delta_list.h"
#include "platform/files.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace publisher {

struct Delta_Totals {
    uint64_t chunks = 0;        // new chunks the old file lacks
    uint64_t chunk_bytes = 0;   // their stored forms
    uint64_t deltas = 0;        // deltas kept
    uint64_t delta_bytes = 0;   // their bytes, plus the lists'
    uint64_t delta_chunk_bytes = 0;  // the stored forms of the chunks they replace
};

// Makes the deltas of `source` (cut as `index`, whose file names it `index_sha256`) against
// `old_file` (an earlier release's file, `old_sha256`) under `files` (the tree's files/), and
// the list of the deltas kept in `made`. False with `error` when the files cannot be read or
// written.
bool make_deltas(const std::string& source, const delivery::Chunk_Index& index, const std::string& index_sha256,
                 const std::string& old_file, const std::string& old_sha256, const std::string& files, unsigned threads,
                 Delta_Totals& totals, delivery::Delta_List& made, std::string& error);

// What deltas and spans share: the two files read side by side, the first failure of several
// threads, running them, and keeping a file under its digest.
struct Read_Pair {
    platform::File_Handle old_file = platform::no_file, source = platform::no_file;
    ~Read_Pair();
};

struct First_Error {
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::string text;
    void set(std::string what);
};

// Runs work(0) to work(threads - 1) at once, work(0) on this thread, and waits for all.
void on_threads(unsigned threads, const std::function<void(unsigned first)>& work);

// Keeps `bytes` as folder/<hex of `digest`> (written to a .part, then renamed) unless it is
// there already. False with `error` when it cannot be written.
bool keep_by_digest(const std::string& folder, const delivery::Digest& digest, std::string_view bytes,
                    std::string& error);

}  // namespace publisher
