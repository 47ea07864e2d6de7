// Fuzz target: the context counts of a chromosome, in memory and streamed from a file.
//
// Input layout: byte 0 chooses the settings: bit 0 the whole chromosome (else the regions),
// bits 1..3 the block of the file's reads (1, 2, 3, 4, 5, 7, 64 or the default), bits 4..7
// the number of regions (0..15). Then two bytes per region: the gap after the end of the one
// before (or after 0), and the length; a gap of 255 jumps 2^62 bases ahead (beyond any
// chromosome) and a length of 255 runs to the largest offset, so that the ends' arithmetic is
// reached. A gap of 0 or a length of 0 makes regions that touch or are empty, which both
// calls must refuse. The rest of the input is the chromosome, one byte per base.
//
// Checked against context_model.hpp: the counts in memory (added to counts already there),
// from a file read in blocks, the refusal of regions that are not apart, and no descriptor
// left open.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "context_counts.hpp"
#include "context_model.hpp"
#include "harness.hpp"

namespace {

using namespace mutflank;
using namespace mutflank::fuzz;




std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    static const std::string path = make_temp_root() + "/chromosome";
    const int free_before = lowest_free();

    const unsigned settings = data[0];
    const bool whole = (settings & 1U) != 0;
    constexpr std::size_t blocks[8] = {1, 2, 3, 4, 5, 7, 64, context_block};
    const std::size_t block = blocks[settings >> 1U & 7U];
    const std::size_t count = settings >> 4U;
    std::size_t offset = 1;
    std::vector<Interval> regions;
    std::uint64_t previous_end = 0;
    for (std::size_t i = 0; i < count && offset + 2 <= size; ++i, offset += 2) {
        const unsigned gap = data[offset];
        const unsigned length = data[offset + 1];
        const std::uint64_t start =
            saturating_add(previous_end, gap == 255 ? std::uint64_t{1} << 62U : gap);
        const std::uint64_t end = length == 255 ? std::numeric_limits<std::uint64_t>::max()
                                                : saturating_add(start, length);
        regions.push_back({start, end});
        previous_end = end;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data) + offset, size - offset);
    const std::span<const unsigned char> span(data + offset, size - offset);
    const bool apart = whole || regions_apart(regions);
    const ContextCounts want = apart ? model_counts(bytes, regions, whole) : ContextCounts{};

    // In memory, twice into the same counts: the second call adds to the first.
    ContextCounts counts;
    const auto error = count_contexts(span, regions, whole, counts);
    if (!apart) {
        check(error == internal_error(messages::intervals_unsorted), "regions refused in memory");
        check(counts == ContextCounts{}, "counts left alone when refused");
    } else {
        check(!error.has_value(), "no error in memory");
        check(counts == want, "counts in memory");
        check(!count_contexts(span, regions, whole, counts).has_value(), "no error, again");
        ContextCounts twice = want;
        twice.merge(want);
        check(counts == twice, "counts added to those already there");
    }

    // From a file, in blocks.
    write_file(path, bytes);
    const auto streamed = count_chromosome_file(path, regions, whole, block);
    if (!apart) {
        check(!streamed.ok() && streamed.error() == internal_error(messages::intervals_unsorted),
              "regions refused from a file");
    } else {
        check(streamed.ok(), "no error from a file");
        check(streamed.value() == want, "counts from a file");
    }
    check(lowest_free() == free_before, "descriptor left open");
    return 0;
}
