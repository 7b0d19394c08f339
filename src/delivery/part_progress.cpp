#include "delivery/part_progress.h"

#include "install/scratch.h"
#include "platform/files.h"

#include <unordered_set>

namespace delivery {

uint64_t part_chunks_journaled(const std::string& target, std::string_view index_sha256, uint64_t most_chunks) {
    const std::string header = "TWCJ " + std::string(index_sha256) + "\n";
    std::string_view journal;
    std::string bytes;
    platform::File_Status st;
    const std::string path = journal_path(target);
    // Bounded before it is read: a journal is its header and four bytes a chunk.
    if (!platform::file_status(path, st) || !st.regular || uint64_t(st.size) > header.size() + most_chunks * 4)
        return 0;
    if (!platform::read_file(path, bytes) || !std::string_view(bytes).starts_with(header)) return 0;
    journal = std::string_view(bytes).substr(header.size());
    std::unordered_set<uint32_t> seen;
    for (size_t at = 0; at + 4 <= journal.size(); at += 4) {  // a torn last entry is ignored
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(journal[at + size_t(i)]);
        if (n < most_chunks) seen.insert(n);
    }
    return seen.size();
}

}  // namespace delivery
