#include "maf_scanner.hpp"

#include <algorithm>
#include <utility>

#include "position.hpp"
#include "utf8.hpp"

namespace mutflank {
namespace {

constexpr std::size_t batch_bytes = std::size_t{64} << 20; // texts of one batch, about

MafFault fault_of(MafFault::Kind kind, std::uint64_t line, std::uint64_t count = 0) {
    MafFault fault{};
    fault.kind = kind;
    fault.line = line;
    fault.count = count;
    return fault;
}

bool ascii_blank(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 0x1C && c <= 0x20); }

// The length of the Unicode blank that `text` starts with (0: none).
std::size_t leading_blank(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text.empty())
        return 0;
    if (ascii_blank(byte(0)))
        return 1;
    if (text.size() >= 2 && byte(0) == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0))
        return 2;
    if (text.size() < 3)
        return 0;
    const unsigned a = byte(0);
    const unsigned b = byte(1);
    const unsigned c = byte(2);
    const bool blank = (a == 0xE1 && b == 0x9A && c == 0x80) || // U+1680
                       (a == 0xE2 && b == 0x80 &&
                        (c <= 0x8A || c == 0xA8 ||              // U+2000-200A,
                         c == 0xA9 || c == 0xAF)) ||            // 2028, 2029, 202F
                       (a == 0xE2 && b == 0x81 && c == 0x9F) || // U+205F
                       (a == 0xE3 && b == 0x80 && c == 0x80);   // U+3000
    return blank && c >= 0x80 ? 3 : 0;
}

// The length of the Unicode blank that `text` ends with (0: none).
std::size_t trailing_blank(std::string_view text) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        if (text.size() >= size && leading_blank(text.substr(text.size() - size)) == size)
            return size;
    }
    return 0;
}

void upper_into(std::string_view text, std::string& out) {
    out.resize(text.size());
    std::transform(text.begin(), text.end(), out.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether a build name can name a folder: not empty, not . or .., no / or NUL.
bool is_file_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// Why an alternate allele gives no record, as the readers' rule says (alleles upper-case).
std::optional<MafLeftOutReason> allele_fault(std::string_view ref, std::string_view alt) {
    if (alt.empty() || alt == "*" || alt == ".")
        return MafLeftOutReason::not_variant;
    if (alt.front() == '<' || alt.find_first_of("[]") != std::string_view::npos)
        return MafLeftOutReason::symbolic;
    if (alt == ref)
        return MafLeftOutReason::not_variant;
    return std::nullopt;
}

} // namespace

std::string_view strip_blanks(std::string_view text) noexcept {
    while (const std::size_t size = leading_blank(text))
        text.remove_prefix(size);
    while (const std::size_t size = trailing_blank(text))
        text.remove_suffix(size);
    return text;
}

void MafBatch::clear() {
    for (TextColumn* column :
         {&sample, &chromosome, &build, &ref, &alt, &allele2, &filter, &build_written})
        column->clear();
    position.clear();
    line.clear();
    deferred.clear();
    left_out.clear();
    held.clear();
}

MafScanner::MafScanner(TextStream text, MafSettings settings)
    : lines_(std::move(text), settings.buffer_bytes, settings.max_line_bytes),
      settings_(std::move(settings)) {}

std::optional<MafFault> MafScanner::next(MafBatch& batch, bool& more) {
    batch.clear();
    return read_records<MafFault>(
        lines_, more,
        [this](std::uint64_t number, std::string_view /*line*/) {
            return number <= settings_.header_lines;
        },
        [this, &batch](std::string_view line) { return record(line, batch); },
        [this, &batch](std::size_t lines) {
            std::size_t bytes = 0;
            for (const TextColumn* column :
                 {&batch.sample, &batch.chromosome, &batch.build, &batch.ref, &batch.alt,
                  &batch.allele2, &batch.filter, &batch.build_written})
                bytes += column->bytes.size();
            return batch.rows() >= settings_.batch_records ||
                   lines >= 4 * settings_.batch_records || bytes >= batch_bytes ||
                   batch.left_out.size() >= 4096 || batch.held.size() >= 4096;
        });
}

std::optional<MafFault> MafScanner::record(std::string_view line, MafBatch& batch) {
    using Kind = MafFault::Kind;
    const std::uint64_t number = lines_.number();
    if (check_utf8(line) == Utf8::invalid)
        return fault_of(Kind::not_utf8, number);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.empty())
        return std::nullopt;
    fields_.clear();
    for (std::size_t start = 0;;) {
        const std::size_t tab = line.find('\t', start);
        fields_.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
        if (tab == std::string_view::npos)
            break;
        start = tab + 1;
    }
    if (fields_.size() < settings_.width)
        return fault_of(Kind::field_count, number, fields_.size());
    const auto& at = settings_.at;
    const std::string_view sample = strip_blanks(fields_[at[5]]);
    const std::string_view chromosome = strip_blanks(fields_[at[0]]);
    const std::string_view ref = strip_blanks(fields_[at[2]]);
    const std::string_view allele1 = strip_blanks(fields_[at[3]]);
    const std::string_view allele2 = strip_blanks(fields_[at[4]]);
    if (sample.empty())
        return fault_of(Kind::empty_field, number, 0);
    if (chromosome.empty())
        return fault_of(Kind::empty_field, number, 1);
    if (ref.empty())
        return fault_of(Kind::empty_field, number, 2);
    const std::size_t limit = settings_.max_field_bytes;
    for (const std::string_view field : {sample, chromosome, ref, allele1, allele2}) {
        if (field.size() > limit && utf8_characters(field) > limit)
            return fault_of(Kind::field_too_long, number);
    }
    const std::string_view position_text = strip_blanks(fields_[at[1]]);
    const std::optional<std::uint64_t> position = record_position(position_text, false);
    if (!position) {
        MafFault fault = fault_of(Kind::bad_position, number);
        fault.text = position_text;
        return fault;
    }
    const std::string sample_name(sample);
    if ((settings_.choose && settings_.samples.count(sample_name) == 0) ||
        settings_.exclude.count(sample_name) != 0) {
        if (settings_.exclude.count(sample_name) != 0 &&
            std::find(batch.held.begin(), batch.held.end(), sample_name) == batch.held.end())
            batch.held.push_back(sample_name);
        return std::nullopt; // checked as any row, but not counted, nor left out
    }
    const bool deferred = !is_ascii(ref) || !is_ascii(allele1) || !is_ascii(allele2);
    std::string_view alt;
    if (!deferred) {
        upper_into(ref, ref_);
        upper_into(allele1, allele1_);
        upper_into(allele2, allele2_);
        alt = allele2_ == ref_ ? allele1_ : allele2_;
    }
    const std::string_view filter =
        settings_.filter_at ? strip_blanks(fields_[*settings_.filter_at]) : std::string_view();
    if (settings_.pass_only && !filter.empty() && filter != "PASS" && filter != ".") {
        count_left_out(batch.left_out, MafLeftOutReason::not_pass, chromosome);
        return std::nullopt;
    }
    std::string_view build;
    std::string_view build_written;
    if (settings_.build_at) {
        build_written = fields_[*settings_.build_at];
        build = strip_blanks(build_written);
    }
    if (!deferred) {
        if (const auto reason = allele_fault(ref_, alt)) {
            count_left_out(batch.left_out, *reason, chromosome);
            return std::nullopt;
        }
        if (settings_.build_at && !is_file_name(build)) {
            MafFault fault = fault_of(Kind::bad_build, number);
            fault.text = build_written;
            return fault;
        }
    }
    batch.sample.add(sample);
    batch.chromosome.add(chromosome);
    batch.build.add(build);
    batch.filter.add(filter);
    batch.position.push_back(*position);
    batch.line.push_back(number);
    batch.deferred.push_back(deferred ? 1 : 0);
    if (deferred) {
        batch.ref.add(ref);
        batch.alt.add(allele1);
        batch.allele2.add(allele2);
        batch.build_written.add(build_written);
    } else {
        batch.ref.add(ref_);
        batch.alt.add(alt);
        batch.allele2.add("");
        batch.build_written.add("");
    }
    return std::nullopt;
}

} // namespace mutflank
