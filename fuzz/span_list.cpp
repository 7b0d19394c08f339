// The span list decoder on any bytes, against an index and an old file size taken from the
// input; and span_apply on any span and prefix. The first input byte picks the form:
//   even: an index of up to 200 chunks (sizes and stored sizes from the input, some past what a
//         span may yield together), an old file of up to 64 MiB, then the rest as a list as a
//         server might answer;
//   odd:  a size, a prefix and the rest as a span: never more than the size comes out.
#include "delivery/span_list.h"
#include "fuzz_support.h"

namespace {

void hostile_list(fuzz::Stream& in) {
    delivery::Chunk_Index index;
    index.params = {16 << 10, 64 << 10, 256 << 10};
    size_t count = in.byte() % 201;
    for (size_t i = 0; i < count; ++i) {
        delivery::Chunk_Entry c;
        c.size = (16u << 10) + (uint32_t(in.byte()) << 10);
        c.stored = 1 + (uint32_t(in.byte()) << 8) % c.size;
        index.chunks.push_back(c);
        index.file_size += c.size;
    }
    uint64_t old_size = (uint64_t(in.byte()) | uint64_t(in.byte()) << 8) << 10;
    std::string_view bytes = in.rest();
    delivery::Span_List list;
    std::string why;
    if (!delivery::span_list_decode(bytes, old_size, index, list, why)) {
        fuzz::check(!why.empty(), "a refused list without a reason");
        return;
    }
    fuzz::check(bytes.size() <= delivery::span_list_max_bytes(index.chunks.size()), "a list past its own bound");
    uint64_t next_free = 0;
    for (const delivery::Span_Entry& s : list.spans) {
        fuzz::check(s.count > 0 && s.first >= next_free && uint64_t(s.first) + s.count <= index.chunks.size(),
                    "overlapping or out of the index");
        next_free = uint64_t(s.first) + s.count;
        fuzz::check(delivery::span_bytes(index, s) <= delivery::span_new_max, "a span yielding too much");
        fuzz::check(s.length > 0 && s.length <= delivery::span_region_max && s.offset + s.length <= old_size,
                    "a region out of the old file");
        uint64_t stored = 0;
        for (uint32_t k = s.first; k < s.first + s.count; ++k) stored += index.chunks[k].stored;
        fuzz::check(s.size > 0 && s.size < stored, "a span no smaller than its chunks");
    }
    fuzz::check(delivery::span_list_encode(list) == bytes, "a list that does not survive its encoding");
}

void hostile_span(fuzz::Stream& in) {
    uint32_t size = uint32_t(in.byte()) | uint32_t(in.byte()) << 8 | uint32_t(in.byte() & 0x7F) << 16;
    std::string_view base = in.short_text();
    std::string out;
    if (delivery::span_apply(in.rest(), base, size, out)) fuzz::check(out.size() == size, "a span of another size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Stream in{data, size};
    if (in.byte() & 1) hostile_span(in);
    else hostile_list(in);
    return 0;
}
