// The chunk index decoder on any bytes, and on indexes it made itself. The first input byte
// picks the form:
//   even: the rest is an index file as a server might answer, for a file of a size taken from
//         the next three bytes (a few MiB at most, so a header's claims stay cheap to check);
//   odd:  the rest describes a file's chunks (sizes, digests, stored sizes), which is encoded
//         as the publisher does and must decode, page by page, to exactly those chunks.
#include "delivery/chunk_index.h"
#include "fuzz_support.h"

#include <cstring>

namespace {

void hostile(fuzz::Stream& in) {
    uint64_t file_size = uint64_t(in.byte()) | uint64_t(in.byte()) << 8 | uint64_t(in.byte()) << 16;
    delivery::Index_Head head;
    std::string why;
    if (!delivery::index_head_decode(in.rest(), file_size, head, why)) {
        fuzz::check(!why.empty(), "a refused index without a reason");
        return;
    }
    uint64_t listed = 0;
    for (const delivery::Index_Page& p : head.pages) {
        fuzz::check(p.count >= 1 && p.count <= delivery::page_max, "a page of a size out of bounds");
        listed += p.count;
    }
    fuzz::check(listed == head.chunk_count && head.saved.size() == head.chunk_count,
                "pages and entries that do not add up");
    fuzz::check(head.file_size == file_size && delivery::params_ok(head.params), "a head of another file");
}

void round_trip(fuzz::Stream& in) {
    delivery::Chunk_Index index;
    index.params = {256, 1024, 4096};
    size_t count = in.byte() % 200;
    for (size_t i = 0; i < count && !in.empty(); ++i) {
        delivery::Chunk_Entry c;
        uint32_t size = 256 + (uint32_t(in.byte()) | uint32_t(in.byte() & 0x0F) << 8) % (4096 - 256 + 1);
        c.size = size;
        c.stored = size - std::min<uint32_t>(size - 1, in.byte());
        c.digest[0] = in.byte();
        c.digest[30] = in.byte();  // the bytes that decide where pages end
        c.digest[31] = in.byte();
        std::memcpy(c.digest.data() + 1, &i, sizeof i);
        index.chunks.push_back(c);
        index.file_size += size;
    }
    delivery::Encoded_Index encoded = delivery::index_encode(index);
    fuzz::check(encoded.index.size() <= delivery::index_max_bytes(index.file_size), "an index past its own bound");
    delivery::Index_Head head;
    std::string why;
    fuzz::check(delivery::index_head_decode(encoded.index, index.file_size, head, why), "an encoded index refused");
    fuzz::check(head.pages.size() == encoded.pages.size(), "pages lost");
    delivery::Chunk_Index back;
    for (size_t p = 0; p < head.pages.size(); ++p) {
        fuzz::check(delivery::sha256(encoded.pages[p]) == head.pages[p].digest, "a page under another name");
        fuzz::check(delivery::page_decode(encoded.pages[p], head.pages[p].count, head.params.max_size, back.chunks),
                    "an encoded page refused");
    }
    fuzz::check(delivery::index_finish(head, back, why), "an encoded index does not finish");
    fuzz::check(back.chunks.size() == index.chunks.size() && back.file_size == index.file_size,
                "an index that does not survive its encoding");
    for (size_t i = 0; i < back.chunks.size(); ++i)
        fuzz::check(back.chunks[i].digest == index.chunks[i].digest && back.chunks[i].size == index.chunks[i].size &&
                        back.chunks[i].stored == index.chunks[i].stored,
                    "a chunk that does not survive its encoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Stream in{data, size};
    if (in.byte() & 1) round_trip(in);
    else hostile(in);
    return 0;
}
