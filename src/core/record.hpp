// The rules for one table line: which records count, how the substitution is folded onto
// a pyrimidine reference base, and how the context string is written.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "error.hpp"
#include "line_fields.hpp"

namespace mutflank {

// A record that passed every check, waiting for its reference window.
struct KeptRecord {
    std::string key;               // field 0, "::", field 1
    std::string ref;               // the reference allele, purines mapped to pyrimidines
    char alt = 0;                  // the alternate base, complemented when folded
    bool folded = false;           // the reference allele was a single purine
    bool ascii = false;            // the line was pure ASCII
    std::string path;              // the reference file
    std::size_t folder_length = 0; // of its build folder part, <root>/<build>
    std::uint64_t position = 0;    // 1-based
};

enum class Verdict { skip, keep };

// The fields of a record that the rules read.
namespace fields {
enum : std::size_t {
    key_left = 0,
    key_right = 1,
    build = 3,
    type = 4,
    chromosome = 5,
    position = 6,
    ref_allele = 8,
    alt_allele = 9,
};
} // namespace fields

// Whether a line passes the checks that skip most lines: ten fields, the build "GRCh37" or
// "GRCh38", the type "SNP" or "SNV", an alternate allele that is one of "A", "C", "G",
// "T". Inline, as it runs for every line; judge_line() applies it too.
[[nodiscard]] inline bool passes_filters(const LineFields& line) noexcept;

// Judges one line, split and found to be valid UTF-8 by LineFields. For a qualifying
// record, fills `record` (its reference file below `root`) and returns Verdict::keep.
// The only error is a position that is not an unsigned decimal number, and only on a
// record that passed every other check.
[[nodiscard]] Result<Verdict> judge_line(const LineFields& line, std::string_view root,
                                         KeptRecord& record);

// Sets `context` to the record's context string, given its reference window and the index
// of the position's own byte in it. The flanks of a folded record are reverse-complemented,
// so that they read along the strand of the folded substitution.
void write_context(const KeptRecord& record, std::string_view window, std::size_t position_index,
                   std::string& context);

namespace detail {

inline std::uint16_t two_bytes(const char* p) noexcept {
    std::uint16_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint32_t four_bytes(const char* p) noexcept {
    std::uint32_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The value that two_bytes() or four_bytes() reads from the text `s`.
template <class Word, std::size_t N> constexpr Word chars(const char (&s)[N]) noexcept {
    static_assert(N - 1 == sizeof(Word));
    Word v = 0;
    std::memcpy(&v, s, sizeof v);
    return v;
}

} // namespace detail

inline bool passes_filters(const LineFields& line) noexcept {
    using detail::chars;
    using detail::four_bytes;
    using detail::two_bytes;
    if (!line.complete())
        return false;
    const std::string_view build = line.field(fields::build);
    const std::string_view type = line.field(fields::type);
    const std::string_view alt = line.field(fields::alt_allele);
    // Lines of mixed kinds would make each test a branch mispredicted about half the time,
    // so the three are computed without branches and combined. The reads stay inside the
    // line: in a line of ten fields, fields 3 and 4 are followed by at least five tabs, and
    // field 9 comes after a tab, which an empty field 9 reads instead of its first byte.
    const std::uint16_t build_end = two_bytes(build.data() + 4);
    const bool build_ok =
        (build.size() == 6) & (four_bytes(build.data()) == chars<std::uint32_t>("GRCh")) &
        ((build_end == chars<std::uint16_t>("37")) | (build_end == chars<std::uint16_t>("38")));
    const char type_end = type.data()[2];
    const bool type_ok = (type.size() == 3) &
                         (two_bytes(type.data()) == chars<std::uint16_t>("SN")) &
                         ((type_end == 'P') | (type_end == 'V'));
    const char base = alt.data()[alt.empty() ? -1 : 0];
    const bool alt_ok =
        (alt.size() == 1) & ((base == 'A') | (base == 'C') | (base == 'G') | (base == 'T'));
    return build_ok & type_ok & alt_ok;
}

} // namespace mutflank
