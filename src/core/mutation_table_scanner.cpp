#include "mutation_table_scanner.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "utf8.hpp"

namespace mutflank {
namespace {

constexpr std::size_t fields_read = 10;
constexpr std::size_t batch_bytes = std::size_t{64} << 20; // texts of one batch, about

MutationTableFault fault_of(MutationTableFault::Kind kind, std::uint64_t line) {
    MutationTableFault fault{};
    fault.kind = kind;
    fault.line = line;
    return fault;
}

// An optional '+' and decimal digits of a value from 1 to 2^64 - 1, or nullopt.
std::optional<std::uint64_t> position_of(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (value == 0)
        return std::nullopt;
    return value;
}

// Characters of valid UTF-8 text: its bytes but the continuation bytes.
std::size_t characters(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

} // namespace

void MutationTableBatch::clear() {
    for (TextColumn* column : {&sample, &id, &build, &chromosome, &ref, &alt})
        column->clear();
    position.clear();
    line.clear();
    left_out.clear();
}

MutationTableScanner::MutationTableScanner(TextStream text, MutationTableSettings settings)
    : lines_(std::move(text), settings.buffer_bytes, settings.max_line_bytes),
      settings_(settings) {}

void MutationTableScanner::leave_out(TableLeftOutReason reason, std::string_view chromosome,
                                     MutationTableBatch& batch) {
    for (auto& entry : batch.left_out) {
        if (entry.reason == reason && entry.chromosome == chromosome) {
            ++entry.count;
            return;
        }
    }
    batch.left_out.push_back({reason, std::string(chromosome), 1});
}

std::optional<MutationTableFault> MutationTableScanner::next(MutationTableBatch& batch,
                                                             bool& more) {
    batch.clear();
    more = true;
    std::size_t lines = 0;
    for (;;) {
        std::string_view line;
        bool found = false;
        if (auto fault = lines_.next(line, found)) {
            MutationTableFault failed = fault_of(fault->kind == LineFault::Kind::stream
                                                     ? MutationTableFault::Kind::stream
                                                     : MutationTableFault::Kind::line_too_long,
                                                 fault->line);
            failed.stream = std::move(fault->stream);
            return failed;
        }
        if (!found) {
            more = false;
            return std::nullopt;
        }
        if (auto fault = record(line, batch))
            return fault;
        ++lines;
        const std::size_t bytes = batch.sample.bytes.size() + batch.id.bytes.size() +
                                  batch.build.bytes.size() + batch.chromosome.bytes.size() +
                                  batch.ref.bytes.size() + batch.alt.bytes.size();
        // Lines left out count too: their chromosomes are kept, one per distinct name.
        if (batch.rows() >= settings_.batch_records || lines >= 4 * settings_.batch_records ||
            bytes >= batch_bytes || batch.left_out.size() >= 4096)
            return std::nullopt;
    }
}

std::optional<MutationTableFault> MutationTableScanner::record(std::string_view line,
                                                               MutationTableBatch& batch) {
    using Kind = MutationTableFault::Kind;
    const std::uint64_t number = lines_.number();
    if (check_utf8(line) == Utf8::invalid)
        return fault_of(Kind::not_utf8, number);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::array<std::string_view, fields_read> fields{};
    std::size_t count = 0;
    std::size_t start = 0;
    while (count < fields_read) {
        const std::size_t tab = line.find('\t', start);
        fields[count++] = line.substr(start, tab == std::string_view::npos ? tab : tab - start);
        if (tab == std::string_view::npos)
            break;
        start = tab + 1;
    }
    if (count < fields_read) {
        if (!line.empty())
            leave_out(TableLeftOutReason::fewer_fields, "", batch);
        return std::nullopt;
    }
    const std::optional<std::uint64_t> position = position_of(fields[6]);
    if (!position) {
        if (number == 1)
            return std::nullopt; // a header line
        if (fields[4] == "SNP" || fields[4] == "SNV") {
            MutationTableFault fault = fault_of(Kind::bad_position, number);
            fault.text = fields[6];
            return fault;
        }
        leave_out(TableLeftOutReason::bad_position, fields[5], batch);
        return std::nullopt;
    }
    if (line.size() > settings_.max_field_bytes &&
        std::any_of(fields.begin(), fields.end(), [this](std::string_view field) {
            return field.size() > settings_.max_field_bytes &&
                   characters(field) > settings_.max_field_bytes;
        }))
        return fault_of(Kind::field_too_long, number);
    batch.sample.add(fields[0]);
    batch.id.add(fields[2]);
    batch.build.add(fields[3]);
    batch.chromosome.add(fields[5]);
    batch.ref.add(fields[8]);
    batch.alt.add(fields[9]);
    batch.position.push_back(*position);
    batch.line.push_back(number);
    return std::nullopt;
}

} // namespace mutflank
