// Fuzz target: the scanner of ten-column mutation tables and the text stream under it, on
// arbitrary lines.
//
// Input layout: the bytes before the first line feed choose the settings: 'Z' the text packed as
// two gzip members, 'B' as BGZF blocks of 100 bytes of text (unpacked whole by libdeflate), 'D'
// one byte of the packed form flipped (then only checked not to crash or leak); every other
// byte is ignored. Everything after that line feed is the text. An input without a line feed is
// all text, with the default settings.
//
// The text is scanned ways that must agree row for row and on the fault: from a regular file
// with large batches, with batches of one row, from a pipe whose first bytes come as the
// caller's prefix, and packed. Each batch is checked for consistent columns, and the run for a
// descriptor left open.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "scan_ways.hpp"
#include "mutation_table_scanner.hpp"

namespace {

using namespace mutflank;
using namespace mutflank::fuzz;

using Row = std::tuple<std::uint64_t, std::string, std::string, std::string, std::string,
                       std::uint64_t, std::string, std::string>;
using Outcome = fuzz::Outcome<Row, MutationTableFault::Kind>;

void check_batch(const MutationTableBatch& batch, const MutationTableSettings& settings) {
    const std::size_t rows = batch.rows();
    check(batch.line.size() == rows && batch.sample.offsets.size() == rows + 1 &&
              batch.id.offsets.size() == rows + 1 && batch.build.offsets.size() == rows + 1 &&
              batch.chromosome.offsets.size() == rows + 1 &&
              batch.ref.offsets.size() == rows + 1 && batch.alt.offsets.size() == rows + 1,
          "columns of one length");
    check(rows <= settings.batch_records, "a batch beyond its size");
    for (std::size_t i = 0; i < rows; ++i) {
        check(batch.position[i] >= 1, "position 0 kept");
        check(i == 0 || batch.line[i] > batch.line[i - 1], "lines in order");
        for (const TextColumn* column :
             {&batch.sample, &batch.id, &batch.build, &batch.chromosome, &batch.ref, &batch.alt})
            check(column->at(i).find_first_of("\t\n") == std::string_view::npos,
                  "a field holds a tab or a line feed");
    }
    for (const auto& entry : batch.left_out)
        check(entry.count > 0, "left-out entry");
}

Outcome scan(TextStream stream, const MutationTableSettings& settings) {
    return scan_all<MutationTableScanner, MutationTableBatch, Row>(
        std::move(stream), settings,
        [&settings](const MutationTableBatch& batch, Outcome& outcome) {
            check_batch(batch, settings);
            for (std::size_t i = 0; i < batch.rows(); ++i)
                outcome.rows.emplace_back(
                    batch.line[i], std::string(batch.sample.at(i)), std::string(batch.id.at(i)),
                    std::string(batch.build.at(i)), std::string(batch.chromosome.at(i)),
                    batch.position[i], std::string(batch.ref.at(i)),
                    std::string(batch.alt.at(i)));
            for (const auto& entry : batch.left_out)
                outcome.left_out.emplace_back(static_cast<int>(entry.reason), entry.chromosome,
                                              entry.count);
        });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TextInput input(data, size);
    MutationTableSettings settings;
    settings.max_line_bytes = 4096;
    settings.max_field_bytes = 16;
    settings.buffer_bytes = 64; // lines cross the buffer's end
    settings.batch_records = 1000;
    check_ways(input, settings, scan);
    return 0;
}
