#include "record.hpp"

#include "position.hpp"
#include "reference_window.hpp"

namespace mutflank {
namespace {

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
    if (!passes_filters(line))
        return Verdict::skip;
    using namespace fields;
    const auto f = [&line](std::size_t i) { return line.field(i); };
    const std::string_view ref = f(ref_allele);
    const std::string_view alt = f(alt_allele);

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
    record.folder_length = reference_path(root, f(build), f(chromosome), record.path);
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
