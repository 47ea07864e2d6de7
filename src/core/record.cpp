#include "record.hpp"

#include <cstdint>
#include <cstring>

#include "position.hpp"
#include "reference_window.hpp"

namespace mutflank {
namespace {

enum Field : std::size_t {
    key_left = 0,
    key_right = 1,
    build = 3,
    type = 4,
    chromosome = 5,
    position = 6,
    ref_allele = 8,
    alt_allele = 9,
};

std::uint16_t two_bytes(const char* p) {
    std::uint16_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint32_t four_bytes(const char* p) {
    std::uint32_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The value that two_bytes() or four_bytes() reads from the text `s` (little-endian).
template <class Word, std::size_t N> constexpr Word chars(const char (&s)[N]) {
    static_assert(N - 1 == sizeof(Word));
    Word v = 0;
    for (std::size_t i = 0; i < sizeof(Word); ++i)
        v = static_cast<Word>(v | static_cast<Word>(static_cast<unsigned char>(s[i])) << (8 * i));
    return v;
}

// Whether the build is "GRCh37" or "GRCh38", the type "SNP" or "SNV" and the alternate
// allele one of "A", "C", "G", "T". Lines of random kinds would make each test a branch
// mispredicted about half the time, so the three are computed without branches and
// combined. The reads stay inside the line: in a line of ten fields or more, fields 3 and
// 4 are followed by at least five tabs, and field 9 by nothing but comes after a tab (which
// an empty field 9 reads instead of its first byte).
bool passes_filters(std::string_view build, std::string_view type, std::string_view alt) {
    const std::uint16_t build_end = two_bytes(build.data() + 4);
    const bool build_ok = (build.size() == 6) & (four_bytes(build.data()) == chars<std::uint32_t>("GRCh")) &
                          ((build_end == chars<std::uint16_t>("37")) | (build_end == chars<std::uint16_t>("38")));
    const char type_end = type.data()[2];
    const bool type_ok = (type.size() == 3) & (two_bytes(type.data()) == chars<std::uint16_t>("SN")) &
                         ((type_end == 'P') | (type_end == 'V'));
    const char base = alt.data()[alt.empty() ? -1 : 0];
    const bool alt_ok = (alt.size() == 1) &
                        ((base == 'A') | (base == 'C') | (base == 'G') | (base == 'T'));
    return build_ok & type_ok & alt_ok;
}

char purine_to_pyrimidine(char c) {
    if (c == 'A')
        return 'T';
    if (c == 'G')
        return 'C';
    return c;
}

char complement(char c) {
    switch (c) {
    case 'A':
        return 'T';
    case 'C':
        return 'G';
    case 'G':
        return 'C';
    case 'T':
        return 'A';
    default:
        return c;
    }
}

} // namespace

Result<Verdict> judge_line(const LineFields& line, std::string_view root, KeptRecord& record) {
    if (!line.complete())
        return Verdict::skip;
    const auto f = [&line](Field i) { return line.field(i); };

    const std::string_view ref = f(ref_allele);
    const std::string_view alt = f(alt_allele);
    if (!passes_filters(f(build), f(type), alt))
        return Verdict::skip;

    // A single purine reference base is folded onto the other strand.
    const bool folded = ref == "G" || ref == "A";
    const char alt_folded = folded ? complement(alt[0]) : alt[0];
    if (ref.size() == 1 && purine_to_pyrimidine(ref[0]) == alt_folded)
        return Verdict::skip;
    record.folded = folded;
    record.alt = alt_folded;
    // UTF-8 lead and continuation bytes are never ASCII, so mapping bytes maps characters.
    record.ref.assign(ref);
    for (char& c : record.ref)
        c = purine_to_pyrimidine(c);

    const auto parsed = parse_position(f(position));
    if (!parsed.ok())
        return parsed.error();
    record.position = parsed.value();
    record.ascii = line.text() == Utf8::ascii;
    record.key.assign(f(key_left)).append("::").append(f(key_right));
    reference_path(root, f(build), f(chromosome), record.path);
    return Verdict::keep;
}

void write_context(const KeptRecord& record, std::string_view window, std::size_t position_index,
                   std::string& context) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(window[i]); };
    const std::size_t n = window.size();
    const std::size_t mid = position_index;
    context.clear();
    if (record.folded) {
        for (std::size_t i = n; i > mid + 1; --i)
            context += decode_base_complement(byte(i - 1));
    } else {
        for (std::size_t i = 0; i < mid; ++i)
            context += decode_base(byte(i));
    }
    context.append("[").append(record.ref).append(">").append(1, record.alt).append("]");
    if (record.folded) {
        for (std::size_t i = mid; i > 0; --i)
            context += decode_base_complement(byte(i - 1));
    } else {
        for (std::size_t i = mid + 1; i < n; ++i)
            context += decode_base(byte(i));
    }
}

} // namespace mutflank
