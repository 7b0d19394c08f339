// page_decode on any bytes, for a page said to hold a count and a largest chunk taken from the
// input: it takes exactly count entries of 36 bytes, each as written, or nothing at all.
#include "delivery/chunk_index.h"
#include "fuzz_support.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Stream in{data, size};
    uint32_t count = in.byte() | uint32_t(in.byte()) << 8;
    uint32_t max_size = uint32_t(in.byte()) | uint32_t(in.byte()) << 8 | uint32_t(in.byte()) << 16;
    std::string_view bytes = in.rest();
    std::vector<delivery::Chunk_Entry> out(1);  // pages are appended to what is there
    if (!delivery::page_decode(bytes, count, max_size, out)) {
        fuzz::check(bytes.size() != size_t(count) * delivery::page_entry_bytes || out.size() <= size_t(count) + 1,
                    "a refused page that appended more than it holds");
        return 0;
    }
    fuzz::check(out.size() == size_t(count) + 1, "a page of another length");
    for (uint32_t i = 0; i < count; ++i) {
        const delivery::Chunk_Entry& c = out[i + 1];
        const char* at = bytes.data() + size_t(i) * delivery::page_entry_bytes;
        uint32_t written = 0;
        for (int b = 3; b >= 0; --b) written = written << 8 | static_cast<unsigned char>(at[32 + b]);
        fuzz::check(std::memcmp(c.digest.data(), at, 32) == 0 && c.size == written, "an entry not as written");
        fuzz::check(c.size >= 1 && c.size <= max_size, "a chunk size out of bounds");
    }
    return 0;
}
