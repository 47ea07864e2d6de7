// Rows of the ten-column mutation table: the variant class of a record's alleles, and the text
// of its row.
//
//     sample  project  ID  build  type  chromosome  position  end  REF  ALT
//
// The alleles are sequences of characters: bytes of ASCII text, or the code points of any
// other text (`char32_t`), so that lengths and trimming count characters, as a reader sees them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mutflank {

// A position of a row: a trimmed allele may start beyond 2^64 - 1, and the end of an empty REF
// lies before its start (GCC's and Clang's 128-bit integers).
__extension__ typedef __int128 WidePosition;
__extension__ typedef unsigned __int128 WidePositionMagnitude;

// The type column, by the alleles trimmed of their common leading and trailing characters:
// one substituted base, two, more; alleles of different lengths (or a '-' allele); a
// substitution of characters other than A, C, G, T.
enum class VariantKind : std::uint8_t { snv, dbs, mnv, indel, other };

// Why a pair of alleles gives no row: none, an ALT of '*', '.' or equal to REF (also once
// trimmed), or a symbolic ALT ('<...>' or a breakend with '[' or ']').
enum class AlleleFault : std::uint8_t { none, not_variant, symbolic };

template <class Char> struct Variant {
    AlleleFault fault = AlleleFault::none;
    VariantKind kind = VariantKind::snv;
    // The first changed position, as a 128-bit sum: a trimmed allele may start beyond 2^64 - 1.
    WidePosition start = 0;
    std::basic_string_view<Char> ref; // slices of the alleles given
    std::basic_string_view<Char> alt;

    // The last position the REF covers: the start itself for the '-' REF of an insertion.
    [[nodiscard]] WidePosition end() const noexcept {
        if (ref.size() == 1 && ref[0] == '-')
            return start;
        return start + static_cast<WidePosition>(ref.size()) - 1;
    }
};

// The variant of the alleles of a record at `position` (upper-case; REF ATG, ALT ACG at 100 is
// the SNV T>C at 101), or its fault.
template <class Char>
[[nodiscard]] Variant<Char> classify(std::uint64_t position, std::basic_string_view<Char> ref,
                                     std::basic_string_view<Char> alt);

extern template Variant<char> classify(std::uint64_t, std::string_view, std::string_view);
extern template Variant<char32_t> classify(std::uint64_t, std::u32string_view,
                                           std::u32string_view);

// "SNV", "DBS", "MNV", "INDEL" or "OTHER".
[[nodiscard]] std::string_view kind_name(VariantKind kind) noexcept;

// Appends the decimal digits of `value` to `out`.
void append_decimal(std::string& out, WidePosition value);

// Appends the part of a row that follows the sample, from the tab before the project to the
// line feed: the carriers of one record share it.
void append_row_tail(std::string& out, std::string_view project, std::string_view ident,
                     std::string_view build, VariantKind kind, std::string_view chromosome,
                     WidePosition start, WidePosition end, std::string_view ref,
                     std::string_view alt);

} // namespace mutflank
