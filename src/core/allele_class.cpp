#include "allele_class.hpp"

#include <algorithm>
#include <cstddef>

#include "utf8.hpp"

namespace mutflank {
namespace {

bool is_base(char c) noexcept { return c == 'A' || c == 'C' || c == 'G' || c == 'T'; }

bool all_bases(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), is_base);
}

} // namespace

AlleleClass allele_class(std::string_view ref, std::string_view alt) noexcept {
    if (ref == "-" || alt == "-")
        return AlleleClass::indel;
    if (utf8_characters(ref) != utf8_characters(alt))
        return AlleleClass::indel;
    if (ref.size() != alt.size() || !all_bases(ref) || !all_bases(alt))
        return AlleleClass::none;
    switch (ref.size()) {
    case 0:
        return AlleleClass::none;
    case 1:
        return ref[0] != alt[0] ? AlleleClass::single : AlleleClass::none;
    case 2:
        return ref[0] != alt[0] && ref[1] != alt[1] ? AlleleClass::doublet : AlleleClass::none;
    default:
        return AlleleClass::multi;
    }
}

Differing differing(std::string_view ref, std::string_view alt) noexcept {
    std::size_t first = 0;
    std::size_t last = std::min(ref.size(), alt.size());
    while (first < last && ref[first] == alt[first])
        ++first;
    while (last > first && ref[last - 1] == alt[last - 1])
        --last;
    return {first, last};
}

AlleleClass trimmed_allele_class(std::string_view ref, std::string_view alt) noexcept {
    if (ref.size() == alt.size() && ref.size() > 1) {
        const auto [first, last] = differing(ref, alt);
        if (first < last)
            return allele_class(ref.substr(first, last - first), alt.substr(first, last - first));
    }
    return allele_class(ref, alt);
}

} // namespace mutflank
