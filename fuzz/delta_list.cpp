// The delta list decoder on any bytes, against an index and an old file size taken from the
// input; and delta_apply on any delta and base. The first input byte picks the form:
//   even: an index of up to 64 chunks (sizes and stored sizes from the input), an old file of up
//         to a few MiB, then the rest as a list as a server might answer;
//   odd:  a size, a base and the rest as a delta: never more than the size comes out.
#include "delivery/delta_list.h"
#include "fuzz_support.h"

namespace {

void hostile_list(fuzz::Stream& in) {
    delivery::Chunk_Index index;
    index.params = {256, 1024, 4096};
    size_t count = in.byte() % 65;
    for (size_t i = 0; i < count; ++i) {
        delivery::Chunk_Entry c;
        c.size = 256 + (uint32_t(in.byte()) << 4) % (4096 - 256 + 1);
        c.stored = 1 + in.byte() % c.size;
        index.chunks.push_back(c);
        index.file_size += c.size;
    }
    uint64_t old_size = uint64_t(in.byte()) | uint64_t(in.byte()) << 8 | uint64_t(in.byte()) << 16;
    std::string_view bytes = in.rest();
    delivery::Delta_List list;
    std::string why;
    if (!delivery::delta_list_decode(bytes, old_size, index, list, why)) {
        fuzz::check(!why.empty(), "a refused list without a reason");
        return;
    }
    fuzz::check(bytes.size() <= delivery::delta_list_max_bytes(index.chunks.size()), "a list past its own bound");
    fuzz::check(list.deltas.size() <= index.chunks.size(), "more deltas than chunks");
    for (size_t i = 0; i < list.deltas.size(); ++i) {
        const delivery::Delta_Entry& d = list.deltas[i];
        fuzz::check(d.chunk < index.chunks.size() && (i == 0 || d.chunk > list.deltas[i - 1].chunk), "a bad chunk number");
        fuzz::check(d.length > 0 && d.length <= delivery::delta_region_max(index.params.max_size) &&
                        d.offset + d.length <= old_size,
                    "a region out of the old file");
        fuzz::check(d.size > 0 && d.size < index.chunks[d.chunk].stored, "a delta no smaller than its chunk");
    }
    fuzz::check(delivery::delta_list_encode(list) == bytes, "a list that does not survive its encoding");
}

void hostile_delta(fuzz::Stream& in) {
    uint32_t size = uint32_t(in.byte()) | uint32_t(in.byte()) << 8;
    std::string_view base = in.short_text();
    std::string out;
    if (delivery::delta_apply(in.rest(), base, size, out)) fuzz::check(out.size() == size, "a delta of another size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Stream in{data, size};
    if (in.byte() & 1) hostile_delta(in);
    else hostile_list(in);
    return 0;
}
