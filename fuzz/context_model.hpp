// The plain model of the context counts that the fuzz target and the core's tests
// (tests/core/test_context_counts.cpp) check the core against: every centre
// looked at on its own, its contexts spelled as text, folded by reverse-complementing the
// text and placed by looking the text up. No rolling code, no stretches, no blocks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "context_counts.hpp"

namespace mutflank::fuzz {

inline std::string reverse_complement(std::string text) {
    std::reverse(text.begin(), text.end());
    for (char& c : text)
        c = c == 'A' ? 'T' : c == 'C' ? 'G' : c == 'G' ? 'C' : 'A';
    return text;
}

inline unsigned base_index(char base) {
    return static_cast<unsigned>(std::string_view("ACGT").find(base));
}

// True when the regions are sorted, non-empty and apart (a gap between each two).
inline bool regions_apart(const std::vector<Interval>& regions) {
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (regions[i].end <= regions[i].start)
            return false;
        if (i > 0 && regions[i].start <= regions[i - 1].end)
            return false;
    }
    return true;
}

inline bool inside(const std::vector<Interval>& regions, bool whole, std::uint64_t at) {
    if (whole)
        return true;
    return std::any_of(regions.begin(), regions.end(),
                       [at](const Interval& r) { return r.start <= at && at < r.end; });
}

// The counts of `bytes` (regions assumed apart).
inline ContextCounts model_counts(std::string_view bytes, const std::vector<Interval>& regions,
                                  bool whole) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    // The bases [from, from + length) as text; false when one is off the chromosome or no base.
    auto text = [&](std::int64_t from, std::int64_t length, std::string& out) {
        out.clear();
        for (std::int64_t k = from; k < from + length; ++k) {
            if (k < 0 || k >= n)
                return false;
            const auto v = static_cast<unsigned char>(bytes[static_cast<std::size_t>(k)]);
            if (v >= 16)
                return false;
            out += "ACGT"[v % 4];
        }
        return true;
    };
    ContextCounts counts;
    std::string context;
    for (std::int64_t c = 0; c < n; ++c) {
        const auto at = static_cast<std::uint64_t>(c);
        if (!inside(regions, whole, at))
            continue;
        const auto centre = static_cast<unsigned char>(bytes[at]);
        if (text(c - 1, 3, context)) {
            const bool purine = context[1] == 'A' || context[1] == 'G';
            const std::string folded = purine ? reverse_complement(context) : context;
            // Strand bits 1: a gene on the + strand, whose untranscribed strand is the
            // forward one; 2: on the - strand; 3: both; 0: none.
            const unsigned bits = centre / 4;
            const StrandClass strand = bits == 0   ? StrandClass::none
                                       : bits == 3 ? StrandClass::both
                                       : (bits == 1) == purine ? StrandClass::transcribed
                                                               : StrandClass::untranscribed;
            const unsigned index = (folded[1] == 'C' ? 0 : 16) + base_index(folded[0]) * 4 +
                                   base_index(folded[2]);
            counts.trinucleotides[static_cast<std::size_t>(strand)][index] += 1;
        }
        if (text(c - 2, 5, context)) {
            const bool purine = context[2] == 'A' || context[2] == 'G';
            const std::string f = purine ? reverse_complement(context) : context;
            const unsigned index = (f[2] == 'C' ? 0 : 256) +
                                   (base_index(f[0]) * 4 + base_index(f[1])) * 16 +
                                   base_index(f[3]) * 4 + base_index(f[4]);
            counts.pentanucleotides[index] += 1;
        }
        if (inside(regions, whole, at + 1) && text(c, 2, context)) {
            auto found = std::find(canonical_dinucleotides.begin(),
                                   canonical_dinucleotides.end(), context);
            if (found == canonical_dinucleotides.end())
                found = std::find(canonical_dinucleotides.begin(),
                                  canonical_dinucleotides.end(), reverse_complement(context));
            counts.dinucleotides[static_cast<std::size_t>(found -
                                                          canonical_dinucleotides.begin())] += 1;
        }
    }
    return counts;
}

} // namespace mutflank::fuzz
