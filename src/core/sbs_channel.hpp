// The SBS channel of a single-base substitution from the reference around it: the matrices of
// one base on each side (SBS96) and two (SBS1536), folded onto the pyrimidine of the pair.
#pragma once

#include <cstdint>
#include <span>

namespace mutflank {

// The code of a base letter: A 0, C 1, G 2, T 3 (and 3 for any other letter).
[[nodiscard]] constexpr int base_code(char letter) noexcept {
    switch (letter) {
    case 'A':
        return 0;
    case 'C':
        return 1;
    case 'G':
        return 2;
    default:
        return 3;
    }
}

// Why a substitution has no channel, as the negative codes sbs_channel gives (-1 - reason).
enum class SbsReason : std::uint8_t {
    at_start = 0, // a base before it is off the chromosome
    near_end = 1, // a base after it is off the chromosome (this one wins over the others)
    not_acgt = 2, // a base beside it is no A, C, G, T (N, or a byte that is no base)
};

// `window`: the raw reference bytes from `flank` bases before the substitution to `flank`
// after it (0..15 a base, "ACGT"[b & 3] with strand bits b >> 2; 16..19 N; 20..255 no base;
// -1 off the chromosome). `ref`, `alt`: its bases, letters of A, C, G, T that differ. The
// channel is ((class * 4^flank + left bases) * 4^flank + right bases) with class C>A C>G C>T
// T>A T>C T>G (0..5) of the pyrimidine reference base, the bases read on its strand (a G or
// A reference base: the reverse complement); or -1 - SbsReason.
[[nodiscard]] std::int64_t sbs_channel(std::span<const std::int16_t> window, char ref, char alt,
                                       int flank) noexcept;

} // namespace mutflank
