// The shape of a mutation's pair of alleles (one REF, one ALT, upper-case), which tells its
// mutation class: the one rule behind the classes of the matrix kinds and the doublet merger.
#pragma once

#include <cstdint>
#include <string_view>

namespace mutflank {

enum class AlleleClass : std::uint8_t {
    none = 0,    // none of these: bases other than A, C, G, T, or alleles that do not differ
    single = 1,  // one base of A, C, G, T replaced by another
    doublet = 2, // two bases of A, C, G, T, both replaced
    multi = 3,   // alleles of A, C, G, T of one length, three or more
    indel = 4,   // alleles of different lengths (in characters), or a MAF's '-' for one
};

// The class of REF `ref` and ALT `alt`, UTF-8 text.
[[nodiscard]] AlleleClass allele_class(std::string_view ref, std::string_view alt) noexcept;

// Where two alleles of one length differ, their common leading and trailing bases left aside:
// bytes [first, last) of each (first == last when they are equal).
struct Differing {
    std::size_t first;
    std::size_t last;
};
[[nodiscard]] Differing differing(std::string_view ref, std::string_view alt) noexcept;

// The class of the alleles once alleles of one length are trimmed of their common leading and
// trailing bases, as counting trims them (REF ATG, ALT ACG: a single); alleles that do not
// differ are classed as they are.
[[nodiscard]] AlleleClass trimmed_allele_class(std::string_view ref,
                                               std::string_view alt) noexcept;

} // namespace mutflank
