// part_open on any ".part" and ".part.journal" left behind (a crash, a damaged disk, another
// program's files), for a small index with a repeated chunk: every chunk it counts as present
// is really in the part with the right bytes, the part ends up the file's size, and the
// journal it leaves names exactly the chunks it counts. The input:
//   byte 0: bit 0 the journal starts with the right header, bit 1 the part starts as the whole
//           right file (else zeros), bit 2 the part is cut to a length from byte 1
//   then the journal's entries (a length byte and the bytes), then pairs (offset / 8, byte)
//   written into the part.
#include "delivery/part_file.h"
#include "fuzz_support.h"
#include "platform/files.h"

#include <algorithm>

namespace {

const std::string index_sha256(64, 'c');

std::string chunk_bytes(size_t n) {
    size_t kind = n == 4 ? 2 : n;  // chunk 4 repeats chunk 2
    return std::string(300 + kind * 37, char('a' + kind));
}

delivery::Chunk_Index make_index() {
    delivery::Chunk_Index index;
    index.params = {256, 1024, 4096};
    for (size_t n = 0; n < 6; ++n) {
        std::string bytes = chunk_bytes(n);
        index.chunks.push_back({delivery::sha256(bytes), uint32_t(bytes.size()), uint32_t(bytes.size())});
        index.file_size += bytes.size();
    }
    return index;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const delivery::Chunk_Index index = make_index();
    std::string whole;
    for (size_t n = 0; n < index.chunks.size(); ++n) whole += chunk_bytes(n);

    fuzz::Stream in{data, size};
    uint8_t flags = in.byte();
    uint8_t cut = in.byte();
    std::string journal = (flags & 1) ? "TWCJ " + index_sha256 + "\n" : "";
    journal += in.short_text();
    std::string part = (flags & 2) ? whole : std::string(whole.size(), '\0');
    if (flags & 4) part.resize(size_t(cut) * 8);
    while (!in.empty()) {
        size_t at = size_t(in.byte()) * 8;
        uint8_t value = in.byte();
        if (at < part.size()) part[at] = char(value);
    }

    const std::string target = fuzz::temp_dir() + "/game.bin";
    if (!platform::write_file(delivery::part_path(target), part) ||
        !platform::write_file(delivery::journal_path(target), journal))
        fuzz::broken("cannot write the part and its journal");

    delivery::Part_File f;
    f.target = target;
    f.index_sha256 = index_sha256;
    f.index = index;
    std::string err;
    fuzz::check(delivery::part_open(f, err), "part_open failed on files it may replace");
    uint64_t part_size = 0;
    fuzz::check(platform::open_file_size(f.fd, part_size) && part_size == index.file_size, "a part of the wrong size");
    uint64_t counted = 0;
    std::vector<uint32_t> held;
    for (uint32_t n = 0; n < f.have.size(); ++n) {
        if (!f.have[n]) continue;
        std::string bytes(index.chunks[n].size, '\0');
        fuzz::check(delivery::part_read(f, f.offsets[n], bytes.data(), bytes.size()) && bytes == chunk_bytes(n),
                    "a chunk counted that the part does not hold");
        counted += bytes.size();
        held.push_back(n);
    }
    fuzz::check(counted == f.have_bytes, "have_bytes does not add up");
    delivery::part_close(f);

    // The fresh journal lists what was verified; chunks copied within the part (the repeat)
    // are appended after it. Either way each counted chunk is named once.
    const std::string header = "TWCJ " + index_sha256 + "\n";
    std::string left;
    fuzz::check(platform::read_file(delivery::journal_path(target), left) && left.starts_with(header) &&
                    (left.size() - header.size()) % 4 == 0,
                "no journal left, or a torn one");
    std::vector<uint32_t> named;
    for (size_t at = header.size(); at < left.size(); at += 4) {
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(left[at + size_t(i)]);
        named.push_back(n);
    }
    std::sort(named.begin(), named.end());
    fuzz::check(named == held, "a journal that does not name exactly the chunks counted");
    return 0;
}
