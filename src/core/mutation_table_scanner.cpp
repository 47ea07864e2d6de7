#include "mutation_table_scanner.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "position.hpp"
#include "utf8.hpp"

namespace mutflank {
namespace {

constexpr std::size_t fields_read = 10;
constexpr std::size_t batch_bytes = std::size_t{64} << 20; // texts of one batch, about

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

std::optional<MutationTableFault> MutationTableScanner::next(MutationTableBatch& batch,
                                                             bool& more) {
    batch.clear();
    return read_records<MutationTableFault>(
        lines_, more, [](std::uint64_t /*number*/, std::string_view /*line*/) { return false; },
        [this, &batch](std::string_view line) { return record(line, batch); },
        [this, &batch](std::size_t lines) {
            const std::size_t bytes = batch.sample.bytes.size() + batch.id.bytes.size() +
                                      batch.build.bytes.size() + batch.chromosome.bytes.size() +
                                      batch.ref.bytes.size() + batch.alt.bytes.size();
            // Lines left out count too: their chromosomes are kept, one per distinct name.
            return batch.rows() >= settings_.batch_records ||
                   lines >= 4 * settings_.batch_records || bytes >= batch_bytes ||
                   batch.left_out.size() >= 4096;
        });
}

std::optional<MutationTableFault> MutationTableScanner::record(std::string_view line,
                                                               MutationTableBatch& batch) {
    using Kind = MutationTableFault::Kind;
    const std::uint64_t number = lines_.number();
    if (check_utf8(line) == Utf8::invalid)
        return fault_at<MutationTableFault>(Kind::not_utf8, number);
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
            count_left_out(batch.left_out, TableLeftOutReason::fewer_fields, "");
        return std::nullopt;
    }
    const std::optional<std::uint64_t> position = record_position(fields[6], true);
    if (!position) {
        if (number == 1)
            return std::nullopt; // a header line
        if (fields[4] == "SNP" || fields[4] == "SNV") {
            MutationTableFault fault = fault_at<MutationTableFault>(Kind::bad_position, number);
            fault.text = fields[6];
            return fault;
        }
        count_left_out(batch.left_out, TableLeftOutReason::bad_position, fields[5]);
        return std::nullopt;
    }
    if (line.size() > settings_.max_field_bytes &&
        std::any_of(fields.begin(), fields.end(), [this](std::string_view field) {
            return field.size() > settings_.max_field_bytes &&
                   utf8_characters(field) > settings_.max_field_bytes;
        }))
        return fault_at<MutationTableFault>(Kind::field_too_long, number);
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
