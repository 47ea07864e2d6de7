// Whether a record lies in a set of regions: the stretch of reference bases it changes, and
// the test of that stretch against merged intervals.
//
// The stretch (0-based, half-open) of a record at 1-based `position` with alleles `ref` and
// `alt`: a REF of "-" (an insertion written as a MAF does, of one base or more) the base
// after `position`, an ALT of "-" (a MAF deletion) the base at it; otherwise a record whose
// alleles are one letter each, its own base; equal-length alleles the bases from the first
// to the last that differ (the record's own base when none does); other alleles (an indel)
// the first base after those they share at their start.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace mutflank {

struct Stretch {
    std::int64_t first;
    std::int64_t end;
};

// `Text`: anything with size() and operator[] giving comparable letters.
template <class Text>
Stretch changed_stretch(std::int64_t position, const Text& ref, const Text& alt) {
    const std::size_t ref_size = ref.size();
    const std::size_t alt_size = alt.size();
    if (ref_size == 1 && ref[0] == '-')
        return {position, position + 1};
    if (alt_size == 1 && alt[0] == '-')
        return {position - 1, position};
    if (ref_size == 1 && alt_size == 1)
        return {position - 1, position};
    if (ref_size == alt_size) {
        std::size_t start = 0;
        std::size_t end = ref_size;
        while (start < end && ref[start] == alt[start])
            ++start;
        while (end > start && ref[end - 1] == alt[end - 1])
            --end;
        if (start == end)
            return {position - 1, position};
        return {position - 1 + static_cast<std::int64_t>(start),
                position - 1 + static_cast<std::int64_t>(end)};
    }
    const std::size_t shortest = std::min(ref_size, alt_size);
    std::size_t shared = 0;
    while (shared < shortest && ref[shared] == alt[shared])
        ++shared;
    const auto offset = static_cast<std::int64_t>(shared);
    return {position - 1 + offset, position + offset};
}

// Whether `stretch` lies within one of the `count` intervals [starts[i], ends[i]), sorted
// and apart (each ends before the next starts).
[[nodiscard]] inline bool within(const std::int64_t* starts, const std::int64_t* ends,
                                 std::size_t count, Stretch stretch) noexcept {
    const std::int64_t* after = std::upper_bound(starts, starts + count, stretch.first);
    if (after == starts)
        return false;
    return stretch.end <= ends[after - starts - 1];
}

// within(), the search started from `hint`, the interval the stretch before fell in (any
// value at first), and `hint` set to this stretch's: a few steps when stretches come in
// order of position, as a sample's records do.
[[nodiscard]] inline bool within(const std::int64_t* starts, const std::int64_t* ends,
                                 std::size_t count, Stretch stretch, std::size_t& hint) noexcept {
    if (count == 0)
        return false;
    const std::size_t from = std::min(hint, count - 1);
    std::size_t after = 0; // the first interval that starts after the stretch's first base
    if (starts[from] <= stretch.first) {
        // Galloping forward: every interval below `low` starts at or before the first base;
        // the one at `high` (when below count) after it.
        std::size_t low = from + 1;
        std::size_t high = low;
        for (std::size_t step = 1; high < count && starts[high] <= stretch.first; step *= 2) {
            low = high + 1;
            high = low + step;
        }
        high = std::min(high, count);
        after = static_cast<std::size_t>(
            std::upper_bound(starts + low, starts + high, stretch.first) - starts);
    } else {
        after = static_cast<std::size_t>(std::upper_bound(starts, starts + from, stretch.first) -
                                         starts);
    }
    hint = after == 0 ? 0 : after - 1;
    return after > 0 && stretch.end <= ends[after - 1];
}

} // namespace mutflank
