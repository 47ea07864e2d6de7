#include "record.hpp"

#include <array>
#include <cstring>

#include "position.hpp"

namespace mutflank {
namespace {

constexpr std::size_t fields_needed = 10;

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

// Splits off the first ten tab-separated fields; false when the line has fewer.
bool split_fields(std::string_view line, std::array<std::string_view, fields_needed>& fields) {
    const char* p = line.data();
    const char* const end = p + line.size();
    for (std::size_t i = 0; i + 1 < fields_needed; ++i) {
        const auto* tab =
            static_cast<const char*>(std::memchr(p, '\t', static_cast<std::size_t>(end - p)));
        if (tab == nullptr)
            return false;
        fields[i] = {p, static_cast<std::size_t>(tab - p)};
        p = tab + 1;
    }
    const auto* tab =
        static_cast<const char*>(std::memchr(p, '\t', static_cast<std::size_t>(end - p)));
    fields[fields_needed - 1] = {p, static_cast<std::size_t>((tab != nullptr ? tab : end) - p)};
    return true;
}

bool is_base(std::string_view allele) {
    return allele == "A" || allele == "C" || allele == "G" || allele == "T";
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

std::optional<Error> RecordBuilder::add_line(std::string_view line, bool ascii, RowSink& sink) {
    std::array<std::string_view, fields_needed> f;
    if (!split_fields(line, f))
        return std::nullopt;

    const std::string_view ref = f[ref_allele];
    const std::string_view alt = f[alt_allele];
    if (f[build] != "GRCh37" && f[build] != "GRCh38")
        return std::nullopt;
    if (f[type] != "SNP" && f[type] != "SNV")
        return std::nullopt;
    if (!is_base(alt))
        return std::nullopt;

    // A single purine reference base is folded onto the other strand: the alleles are
    // complemented, and so (below) are the flanks, read in reverse.
    const bool folded = ref == "G" || ref == "A";
    const char alt_folded = folded ? complement(alt[0]) : alt[0];
    // UTF-8 continuation and lead bytes are never ASCII, so mapping bytes maps characters.
    ref_.assign(ref);
    for (char& c : ref_)
        c = purine_to_pyrimidine(c);
    if (ref_.size() == 1 && ref_[0] == alt_folded)
        return std::nullopt;

    const auto parsed = parse_position(f[position]);
    if (!parsed.ok())
        return parsed.error();
    if (auto error = window_.read(root_, f[build], f[chromosome], parsed.value(), half_width_))
        return error;

    key_.assign(f[key_left]).append("::").append(f[key_right]);

    const std::string_view bytes = window_.bytes();
    const std::size_t mid = window_.position_index();
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    context_.clear();
    if (folded) {
        for (std::size_t i = bytes.size(); i > mid + 1; --i)
            context_ += decode_base_complement(byte(i - 1));
    } else {
        for (std::size_t i = 0; i < mid; ++i)
            context_ += decode_base(byte(i));
    }
    context_.append("[").append(ref_).append(">").append(1, alt_folded).append("]");
    if (folded) {
        for (std::size_t i = mid; i > 0; --i)
            context_ += decode_base_complement(byte(i - 1));
    } else {
        for (std::size_t i = mid + 1; i < bytes.size(); ++i)
            context_ += decode_base(byte(i));
    }

    if (!sink.add(key_, context_, ascii))
        return Error{ErrorKind::stopped, {}};
    return std::nullopt;
}

} // namespace mutflank
