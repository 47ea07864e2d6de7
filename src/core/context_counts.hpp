// How often each sequence context occurs on one chromosome of a reference folder (one byte
// per base: 0..15 a base "ACGT"[b & 3] with transcription-strand bits b >> 2, 16..19 N,
// anything else no base), in the whole chromosome or inside regions.
//
// A context is counted once per position of its central base (for a dinucleotide, of its
// first base), on the strand where that base is a pyrimidine: both strands are counted, and
// each occurrence once. A context holding a byte that is no base (N included) is not
// counted, nor one that would reach past either end of the chromosome. With regions, a
// context counts when its central base (both bases of a dinucleotide) lies in a region; its
// flanks are read from the reference wherever they lie.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "error.hpp"

namespace mutflank {

// The ten reference dinucleotides of the doublet channels; the other six are counted as
// their reverse complements, and AT, CG, GC, TA are their own.
inline constexpr std::array<std::string_view, 10> canonical_dinucleotides = {
    "AC", "AT", "CC", "CG", "CT", "GC", "TA", "TC", "TG", "TT"};

// Transcription strand of a trinucleotide's central base, as the strand matrices name it:
// transcribed, untranscribed, in genes on both strands, in none.
enum class StrandClass { transcribed = 0, untranscribed = 1, both = 2, none = 3 };

struct ContextCounts {
    // [strand class][centre * 16 + left * 4 + right]; centre 0 C, 1 T; bases A 0 C 1 G 2 T 3,
    // read on the strand of the pyrimidine. Without strand bits every count is in `none`.
    std::array<std::array<std::uint64_t, 32>, 4> trinucleotides{};
    // centre * 256 + (left2 * 4 + left1) * 16 + right1 * 4 + right2, likewise.
    std::array<std::uint64_t, 512> pentanucleotides{};
    // In the order of canonical_dinucleotides.
    std::array<std::uint64_t, 10> dinucleotides{};

    void merge(const ContextCounts& other) noexcept;
    friend bool operator==(const ContextCounts&, const ContextCounts&) = default;
};

// A 0-based, half-open stretch of a chromosome.
struct Interval {
    std::uint64_t start;
    std::uint64_t end;
};

namespace messages {
inline constexpr std::string_view open_chromosome = "cannot open the chromosome file";
inline constexpr std::string_view read_chromosome = "cannot read the chromosome file";
inline constexpr std::string_view chromosome_changed =
    "the chromosome file ended early: was it changed while being read?";
inline constexpr std::string_view intervals_unsorted =
    "intervals are not sorted, apart and non-empty";
} // namespace messages

// Counts the contexts of `bytes`, a whole chromosome held in memory, inside `regions`
// (sorted, non-empty, each ending before the next starts: touching intervals are merged
// into one first, so that a dinucleotide across them counts; parts beyond the chromosome are
// ignored), or everywhere when `whole` is set (then `regions` is not read). Adds to
// `counts`. Errors: the internal intervals_unsorted.
[[nodiscard]] std::optional<Error> count_contexts(std::span<const unsigned char> bytes,
                                                  std::span<const Interval> regions, bool whole,
                                                  ContextCounts& counts);

// The same for the chromosome file at `path`, streamed in reads of at most `block` bases
// (memory is bounded by the block, whatever the chromosome). Errors (input/output kind):
// open_chromosome, read_chromosome, chromosome_changed (the file shrank while read); the
// internal intervals_unsorted.
inline constexpr std::size_t context_block = std::size_t{1} << 20;
[[nodiscard]] Result<ContextCounts> count_chromosome_file(const std::string& path,
                                                          std::span<const Interval> regions,
                                                          bool whole,
                                                          std::size_t block = context_block);

} // namespace mutflank
