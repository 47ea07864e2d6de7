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

AlleleClass trimmed_allele_class(std::string_view ref, std::string_view alt) noexcept {
    if (ref.size() == alt.size() && ref.size() > 1) {
        std::size_t start = 0;
        std::size_t end = ref.size();
        while (start < end && ref[start] == alt[start])
            ++start;
        while (end > start && ref[end - 1] == alt[end - 1])
            --end;
        if (start < end)
            return allele_class(ref.substr(start, end - start), alt.substr(start, end - start));
    }
    return allele_class(ref, alt);
}

} // namespace mutflank
