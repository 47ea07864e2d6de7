// Fuzz target: the VCF scanner and the text stream under it, on arbitrary record lines.
//
// Input layout: the bytes before the first line feed choose the settings: a digit 0..3 the
// number of sample columns (width 9 + n, or 0 for "eight or more" when there is none), 'G'
// genotypes read, 'P' PASS only, 'T' only the last sample column taken, 'K' the records of
// every other sample kept (the first, the third); 'Z', 'B', 'D' the text packed (scan_ways.hpp);
// every other byte is ignored. Everything after that line feed is the text of the records. An
// input without a line feed is all text, with the default settings.
//
// The text is scanned the ways of scan_ways.hpp, which must agree record for record and on the
// fault: from a regular file with large batches, the same with batches of one record (the
// records before a fault may then differ, the fault may not), from a pipe whose first bytes come
// as the caller's prefix, and packed. Each batch is checked for consistent columns, and the run
// for a descriptor left open.
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
#include "vcf_scanner.hpp"

namespace {

using namespace mutflank;
using namespace mutflank::fuzz;


// One record as the scan gives it (a row for each carrier).
using Record = std::tuple<std::uint64_t, std::string, std::uint64_t, std::string, std::string,
                          std::string, std::string, bool, std::uint32_t, std::uint8_t,
                          std::int64_t>;
using Outcome = fuzz::Outcome<Record, VcfFault::Kind>;

void check_batch(const VcfBatch& batch, const VcfSettings& settings) {
    const std::size_t rows = batch.rows();
    check(batch.chromosome.size() == rows && batch.position.size() == rows &&
              batch.passed.size() == rows && batch.ref.offsets.size() == rows + 1 &&
              batch.alt.offsets.size() == rows + 1 && batch.filter.offsets.size() == rows + 1 &&
              batch.id.offsets.size() == rows + 1 && batch.carrier_start.size() == rows + 1,
          "columns of one length");
    check(batch.carrier_copies.size() == batch.records() &&
              batch.carrier_phase.size() == batch.records() &&
              batch.carrier_start.back() == batch.records(),
          "carrier columns");
    for (std::size_t i = 0; i < rows; ++i) {
        check(batch.carrier_start[i] < batch.carrier_start[i + 1], "a row without carriers");
        check(batch.chromosome[i] < batch.names.size(), "chromosome index");
        check(batch.position[i] >= 1, "position 0 kept");
        check(!batch.alt.at(i).empty() && batch.alt.at(i) != batch.ref.at(i), "allele kept");
    }
    for (const std::uint32_t sample : batch.carrier_sample) {
        check(settings.by_genotype ? sample < settings.taken.size() : sample == 0,
              "carrier sample");
        check(settings.kept.empty() || settings.kept.at(sample) != 0, "a carrier not kept");
    }
    for (const auto& entry : batch.left_out)
        check(entry.count > 0 && entry.chromosome < batch.names.size(), "left-out entry");
}

Outcome scan(TextStream stream, const VcfSettings& settings) {
    return scan_all<VcfScanner, VcfBatch, Record>(
        std::move(stream), settings, [&settings](const VcfBatch& batch, Outcome& outcome) {
            check_batch(batch, settings);
            for (std::size_t i = 0; i < batch.rows(); ++i)
                for (auto c = batch.carrier_start[i]; c < batch.carrier_start[i + 1]; ++c)
                    outcome.rows.emplace_back(
                        batch.line[i], batch.names[batch.chromosome[i]], batch.position[i],
                        std::string(batch.ref.at(i)), std::string(batch.alt.at(i)),
                        std::string(batch.filter.at(i)), std::string(batch.id.at(i)),
                        batch.passed[i] != 0, batch.carrier_sample[c], batch.carrier_copies[c],
                        batch.carrier_phase[c]);
            for (const auto& entry : batch.left_out)
                outcome.left_out.emplace_back(static_cast<int>(entry.reason),
                                              batch.names[entry.chromosome], entry.count);
        });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TextInput input(data, size);
    VcfSettings settings;
    std::size_t samples = 0;
    for (const char c : input.options)
        if (c >= '0' && c <= '3')
            samples = static_cast<std::size_t>(c - '0');
    settings.width = samples == 0 ? 0 : 9 + samples;
    settings.by_genotype = samples > 0 && input.has('G');
    settings.pass_only = input.has('P');
    if (settings.by_genotype) {
        if (input.has('T'))
            settings.taken = {static_cast<std::uint32_t>(samples - 1)};
        else
            for (std::uint32_t s = 0; s < samples; ++s)
                settings.taken.push_back(s);
    }
    if (input.has('K')) {
        const std::size_t count = settings.by_genotype ? settings.taken.size() : 1;
        for (std::size_t s = 0; s < count; ++s)
            settings.kept.push_back(s % 2 == 0 ? 1 : 0);
    }
    settings.max_line_bytes = 4096;
    settings.max_field_bytes = 512;
    settings.buffer_bytes = 64; // lines cross the buffer's end
    check_ways(input, settings, scan);
    return 0;
}
