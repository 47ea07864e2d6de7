// The ID83 class of a small insertion or deletion from the reference around it.
//
// The indel is first reduced to the bases it inserts or deletes (REF and ALT trimmed of the
// bases they share at their start, then at their end; a MAF's '-' is an empty allele whose
// insertion sits after its position), then moved as far left as the reference lets the same
// bases be inserted or deleted with the same result. There, with L the unit's length:
// - copies: how many further copies of the unit follow it in the reference, up to 5;
// - 1-base indels: the base folded to its pyrimidine (A counts as T, G as C), and the copies;
// - longer indels with copies, or insertions: a repeat of the copies;
// - longer deletions with no copy: the microhomology, the longest part of the unit (shorter
//   than it) that the reference repeats just after it, or just before it, up to 5; with none,
//   a repeat of no copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace mutflank {

// Why an indel has no class, as the negative codes IndelClass::code gives (-1 - reason).
enum class IndelReason : std::uint8_t {
    complex = 0, // REF and ALT both keep bases after trimming
    not_acgt = 1, // the inserted or deleted bases hold a letter other than A, C, G, T
};

// What the unit's class names besides its length, kind and count.
enum class IndelUnit : std::uint8_t { c = 0, t = 1, repeat = 2, microhomology = 3 };

struct IndelClass {
    bool insertion = false;
    std::uint8_t size = 0; // the unit's length, 5 standing for 5 or more
    IndelUnit unit = IndelUnit::repeat;
    std::uint8_t count = 0; // copies, or the microhomology's length, up to 5

    // A number for the class, 0 to 287 ((((size * 2 + insertion) * 4 + unit) * 6 + count)),
    // by which callers map it onto their own channel order.
    [[nodiscard]] std::int64_t code() const noexcept {
        return ((static_cast<std::int64_t>(size) * 2 + (insertion ? 1 : 0)) * 4 +
                static_cast<std::int64_t>(unit)) * 6 + count;
    }
};
inline constexpr std::int64_t indel_codes = 288;

// The outcome for one indel: its class code (IndelClass::code), or -1 - IndelReason, or, when
// the window did not reach far enough, the number of bases on each side to read instead
// (`wider`, then code is meaningless).
struct IndelOutcome {
    std::int64_t code = 0;
    std::size_t wider = 0;
};

// `window`: the raw reference bytes from `side` bases before the indel's position to `side`
// after it (0..15 a base, "ACGT"[b & 3] with strand bits b >> 2; 16..19 N; 20..255 no base;
// -1 off the chromosome), so window[side] is the base at its position. `ref`, `alt`: its
// alleles, upper case, as the input writes them (a VCF indel with its anchor base, or '-').
[[nodiscard]] IndelOutcome classify_indel(std::span<const std::int16_t> window, std::size_t side,
                                          std::string_view ref, std::string_view alt);

} // namespace mutflank
