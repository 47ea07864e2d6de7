#include "table_rows.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

namespace mutflank {
namespace {

template <class Char> bool is_base(Char c) { return c == 'A' || c == 'C' || c == 'G' || c == 'T'; }

template <class Char> bool is_dash(std::basic_string_view<Char> allele) {
    return allele.size() == 1 && allele[0] == '-';
}

} // namespace

template <class Char>
Variant<Char> classify(std::uint64_t position, std::basic_string_view<Char> ref,
                       std::basic_string_view<Char> alt) {
    Variant<Char> variant;
    variant.start = position;
    if (alt.empty() || (alt.size() == 1 && (alt[0] == '*' || alt[0] == '.'))) {
        variant.fault = AlleleFault::not_variant;
        return variant;
    }
    if (alt[0] == '<' ||
        std::any_of(alt.begin(), alt.end(), [](Char c) { return c == '[' || c == ']'; })) {
        variant.fault = AlleleFault::symbolic;
        return variant;
    }
    if (alt == ref) {
        variant.fault = AlleleFault::not_variant;
        return variant;
    }
    if (ref.size() != alt.size() || is_dash(ref) || is_dash(alt)) {
        variant.kind = VariantKind::indel;
        variant.ref = ref;
        variant.alt = alt;
        return variant;
    }
    std::size_t first = 0;
    std::size_t last = ref.size();
    while (first < last && ref[first] == alt[first])
        ++first;
    while (last > first && ref[last - 1] == alt[last - 1])
        --last;
    if (first == last) {
        variant.fault = AlleleFault::not_variant;
        return variant;
    }
    variant.ref = ref.substr(first, last - first);
    variant.alt = alt.substr(first, last - first);
    variant.start += first;
    const auto bases = [](std::basic_string_view<Char> allele) {
        return std::all_of(allele.begin(), allele.end(), is_base<Char>);
    };
    if (!bases(variant.ref) || !bases(variant.alt))
        variant.kind = VariantKind::other;
    else if (variant.ref.size() == 1)
        variant.kind = VariantKind::snv;
    else if (variant.ref.size() == 2)
        variant.kind = VariantKind::dbs;
    else
        variant.kind = VariantKind::mnv;
    return variant;
}

template Variant<char> classify(std::uint64_t, std::string_view, std::string_view);
template Variant<char32_t> classify(std::uint64_t, std::u32string_view, std::u32string_view);

std::string_view kind_name(VariantKind kind) noexcept {
    switch (kind) {
    case VariantKind::snv:
        return "SNV";
    case VariantKind::dbs:
        return "DBS";
    case VariantKind::mnv:
        return "MNV";
    case VariantKind::indel:
        return "INDEL";
    case VariantKind::other:
        return "OTHER";
    }
    return "OTHER";
}

void append_decimal(std::string& out, WidePosition value) {
    if (value < 0)
        out.push_back('-');
    auto magnitude = value < 0 ? -static_cast<WidePositionMagnitude>(value)
                               : static_cast<WidePositionMagnitude>(value);
    std::array<char, 40> digits{};
    if (magnitude <= UINT64_MAX) { // every position but the few beyond 2^64 - 1
        const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(),
                                                static_cast<std::uint64_t>(magnitude));
        out.append(digits.data(), end);
        return;
    }
    std::size_t size = 0;
    do {
        digits[size++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    while (size > 0)
        out.push_back(digits[--size]);
}

void append_row_tail(std::string& out, std::string_view project, std::string_view ident,
                     std::string_view build, VariantKind kind, std::string_view chromosome,
                     WidePosition start, WidePosition end, std::string_view ref,
                     std::string_view alt) {
    out.push_back('\t');
    out.append(project);
    out.push_back('\t');
    out.append(ident);
    out.push_back('\t');
    out.append(build);
    out.push_back('\t');
    out.append(kind_name(kind));
    out.push_back('\t');
    out.append(chromosome);
    out.push_back('\t');
    append_decimal(out, start);
    out.push_back('\t');
    append_decimal(out, end);
    out.push_back('\t');
    out.append(ref);
    out.push_back('\t');
    out.append(alt);
    out.push_back('\n');
}

} // namespace mutflank
