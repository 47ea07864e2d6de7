// Fuzz target: the MAF scanner and the text stream under it, on arbitrary lines after a header
// line (skipped), the columns in a fixed order: Chromosome Start_Position Reference_Allele
// Tumor_Seq_Allele1 Tumor_Seq_Allele2 Tumor_Sample_Barcode NCBI_Build FILTER.
//
// Input layout: the bytes before the first line feed choose the settings: 'P' PASS only, 'S'
// only the samples A and B, 'X' sample B excluded, 'N' no NCBI_Build read; 'Z' the text packed as
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
#include "maf_scanner.hpp"

namespace {

using namespace mutflank;
using namespace mutflank::fuzz;

using Row = std::tuple<std::uint64_t, std::string, std::string, std::string, std::uint64_t,
                       std::string, std::string, std::string, std::string, bool>;
using Outcome = fuzz::Outcome<Row, MafFault::Kind>;

void check_batch(const MafBatch& batch, const MafSettings& settings) {
    const std::size_t rows = batch.rows();
    for (const TextColumn* column :
         {&batch.sample, &batch.chromosome, &batch.build, &batch.ref, &batch.alt, &batch.allele2,
          &batch.filter, &batch.build_written})
        check(column->offsets.size() == rows + 1, "columns of one length");
    check(batch.line.size() == rows && batch.deferred.size() == rows, "columns of one length");
    check(rows <= settings.batch_records, "a batch beyond its size");
    for (std::size_t i = 0; i < rows; ++i) {
        check(batch.position[i] >= 1, "position 0 kept");
        check(i == 0 || batch.line[i] > batch.line[i - 1], "lines in order");
        check(batch.line[i] > settings.header_lines, "the header read as a record");
        check(!batch.sample.at(i).empty() && !batch.chromosome.at(i).empty() &&
                  !batch.ref.at(i).empty(),
              "an empty field kept");
        check(strip_blanks(batch.sample.at(i)) == batch.sample.at(i), "a sample not stripped");
        if (batch.deferred[i] == 0) {
            check(!batch.alt.at(i).empty() && batch.alt.at(i) != batch.ref.at(i),
                  "an allele that is no variant kept");
            check(batch.allele2.at(i).empty(), "allele2 of a row not deferred");
        }
        check(!settings.choose || settings.samples.count(std::string(batch.sample.at(i))) != 0,
              "a sample not chosen");
        check(settings.exclude.count(std::string(batch.sample.at(i))) == 0, "a sample excluded");
    }
    for (const auto& entry : batch.left_out)
        check(entry.count > 0, "left-out entry");
}

Outcome scan(TextStream stream, const MafSettings& settings) {
    return scan_all<MafScanner, MafBatch, Row>(
        std::move(stream), settings, [&settings](const MafBatch& batch, Outcome& outcome) {
            check_batch(batch, settings);
            for (std::size_t i = 0; i < batch.rows(); ++i)
                outcome.rows.emplace_back(
                    batch.line[i], std::string(batch.sample.at(i)),
                    std::string(batch.chromosome.at(i)), std::string(batch.build.at(i)),
                    batch.position[i], std::string(batch.ref.at(i)),
                    std::string(batch.alt.at(i)), std::string(batch.allele2.at(i)),
                    std::string(batch.filter.at(i)), batch.deferred[i] != 0);
            for (const auto& entry : batch.left_out)
                outcome.left_out.emplace_back(static_cast<int>(entry.reason), entry.chromosome,
                                              entry.count);
            for (const auto& name : batch.held)
                outcome.held.push_back(name);
        });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TextInput input(data, size);
    MafSettings settings;
    settings.header_lines = 1;
    settings.at = {0, 1, 2, 3, 4, 5};
    if (!input.has('N'))
        settings.build_at = 6;
    settings.filter_at = 7;
    settings.width = 8;
    settings.pass_only = input.has('P');
    settings.choose = input.has('S');
    if (settings.choose)
        settings.samples = {"A", "B"};
    if (input.has('X'))
        settings.exclude = {"B"};
    settings.max_line_bytes = 4096;
    settings.max_field_bytes = 16;
    settings.buffer_bytes = 64; // lines cross the buffer's end
    settings.batch_records = 1000;
    check_ways(input, settings, scan);
    return 0;
}
