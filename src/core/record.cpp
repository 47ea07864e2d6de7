#include "record.hpp"

#include <array>
#include <cstring>

#include "position.hpp"
#include "reference_window.hpp"

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
    const auto next_tab = [&] {
        return static_cast<const char*>(std::memchr(p, '\t', static_cast<std::size_t>(end - p)));
    };
    for (std::size_t i = 0; i + 1 < fields_needed; ++i) {
        const char* tab = next_tab();
        if (tab == nullptr)
            return false;
        fields[i] = {p, static_cast<std::size_t>(tab - p)};
        p = tab + 1;
    }
    const char* tab = next_tab();
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

Result<Verdict> judge_line(std::string_view line, bool ascii, std::string_view root,
                           KeptRecord& record) {
    std::array<std::string_view, fields_needed> f;
    if (!split_fields(line, f))
        return Verdict::skip;

    const std::string_view ref = f[ref_allele];
    const std::string_view alt = f[alt_allele];
    if (f[build] != "GRCh37" && f[build] != "GRCh38")
        return Verdict::skip;
    if (f[type] != "SNP" && f[type] != "SNV")
        return Verdict::skip;
    if (!is_base(alt))
        return Verdict::skip;

    // A single purine reference base is folded onto the other strand.
    record.folded = ref == "G" || ref == "A";
    record.alt = record.folded ? complement(alt[0]) : alt[0];
    // UTF-8 lead and continuation bytes are never ASCII, so mapping bytes maps characters.
    record.ref.assign(ref);
    for (char& c : record.ref)
        c = purine_to_pyrimidine(c);
    if (record.ref.size() == 1 && record.ref[0] == record.alt)
        return Verdict::skip;

    const auto parsed = parse_position(f[position]);
    if (!parsed.ok())
        return parsed.error();
    record.position = parsed.value();
    record.ascii = ascii;
    record.key.assign(f[key_left]).append("::").append(f[key_right]);
    reference_path(root, f[build], f[chromosome], record.path);
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
