// Fuzz target: the VCF scanner and the text stream under it, on arbitrary record lines.
//
// Input layout: the bytes before the first line feed choose the settings: a digit 0..3 the
// number of sample columns (width 9 + n, or 0 for "eight or more" when there is none), 'G'
// genotypes read, 'P' PASS only, 'T' only the last sample column taken, 'K' the records of
// every other sample kept (the first, the third), 'Z' the text packed as two gzip members;
// every other byte is ignored. Everything after that line feed is the text
// of the records. An input without a line feed is all text, with the default settings.
//
// The text is scanned four ways that must agree record for record and on the fault: from a
// regular file with large batches, the same with batches of one record (the records before a
// fault may then differ, the fault may not), from a pipe whose
// first bytes come as the caller's prefix, and (for 'Z') from the packed bytes. Each batch is
// checked for consistent columns, and the run for a descriptor left open.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "harness.hpp"
#include "vcf_scanner.hpp"

namespace {

using namespace mutflank;
using namespace mutflank::fuzz;



// One record as the scan gives it, and the summed left-out counts.
using Record = std::tuple<std::uint64_t, std::string, std::uint64_t, std::string, std::string,
                          std::string, std::string, bool, std::uint32_t, std::uint8_t,
                          std::int64_t>;
struct Outcome {
    std::vector<Record> records;
    std::vector<std::tuple<int, std::string, std::uint64_t>> left_out;
    bool faulted = false;
    VcfFault::Kind kind{};
    std::uint64_t line = 0;
    std::string text;

    // The records before a fault depend on where batches end; the fault does not.
    bool operator==(const Outcome& other) const {
        if (faulted || other.faulted)
            return faulted == other.faulted && kind == other.kind && line == other.line &&
                   text == other.text;
        return records == other.records && left_out == other.left_out;
    }
};

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
    Outcome outcome;
    VcfScanner scanner(std::move(stream), settings);
    VcfBatch batch;
    for (bool more = true; more;) {
        auto fault = scanner.next(batch, more);
        if (fault) {
            outcome.faulted = true;
            outcome.kind = fault->kind;
            outcome.line = fault->line;
            outcome.text = fault->text;
            return outcome;
        }
        check_batch(batch, settings);
        for (std::size_t i = 0; i < batch.rows(); ++i)
            for (auto c = batch.carrier_start[i]; c < batch.carrier_start[i + 1]; ++c)
                outcome.records.emplace_back(
                    batch.line[i], batch.names[batch.chromosome[i]], batch.position[i],
                    std::string(batch.ref.at(i)), std::string(batch.alt.at(i)),
                    std::string(batch.filter.at(i)), std::string(batch.id.at(i)),
                    batch.passed[i] != 0, batch.carrier_sample[c], batch.carrier_copies[c],
                    batch.carrier_phase[c]);
        for (const auto& entry : batch.left_out)
            outcome.left_out.emplace_back(static_cast<int>(entry.reason),
                                          batch.names[entry.chromosome], entry.count);
    }
    // Left-out counts of several batches add up by key.
    std::sort(outcome.left_out.begin(), outcome.left_out.end());
    std::vector<std::tuple<int, std::string, std::uint64_t>> summed;
    for (const auto& entry : outcome.left_out) {
        if (!summed.empty() && std::get<0>(summed.back()) == std::get<0>(entry) &&
            std::get<1>(summed.back()) == std::get<1>(entry))
            std::get<2>(summed.back()) += std::get<2>(entry);
        else
            summed.push_back(entry);
    }
    outcome.left_out = std::move(summed);
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int free_before = lowest_free();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    const std::string_view options = cut == std::string_view::npos ? "" : input.substr(0, cut);
    const std::string_view text = cut == std::string_view::npos ? input : input.substr(cut + 1);

    VcfSettings settings;
    std::size_t samples = 0;
    for (const char c : options)
        if (c >= '0' && c <= '3')
            samples = static_cast<std::size_t>(c - '0');
    settings.width = samples == 0 ? 0 : 9 + samples;
    settings.by_genotype = samples > 0 && options.find('G') != std::string_view::npos;
    settings.pass_only = options.find('P') != std::string_view::npos;
    if (settings.by_genotype) {
        if (options.find('T') != std::string_view::npos)
            settings.taken = {static_cast<std::uint32_t>(samples - 1)};
        else
            for (std::uint32_t s = 0; s < samples; ++s)
                settings.taken.push_back(s);
    }
    if (options.find('K') != std::string_view::npos) {
        const std::size_t count = settings.by_genotype ? settings.taken.size() : 1;
        for (std::size_t s = 0; s < count; ++s)
            settings.kept.push_back(s % 2 == 0 ? 1 : 0);
    }
    settings.max_line_bytes = 4096;
    settings.max_field_bytes = 512;
    settings.buffer_bytes = 64; // lines cross the buffer's end
    const bool packed = options.find('Z') != std::string_view::npos;

    const int file = memory_file(text);
    const Outcome whole = scan(TextStream(file, "", true), settings);
    VcfSettings small = settings;
    small.batch_records = 1;
    check(scan(TextStream(file, "", true), small) == whole, "batches of one record");
    ::close(file);

    const std::size_t prefix = text.size() / 3;
    const int pipe = filled_pipe(text.substr(prefix));
    check(scan(TextStream(pipe, std::string(text.substr(0, prefix)), false), settings) == whole,
          "a pipe after a prefix");
    ::close(pipe);

    if (packed) {
        const std::string bytes = gzip(text.substr(0, text.size() / 2)) +
                                  gzip(text.substr(text.size() / 2));
        const int gz = memory_file(bytes);
        const Outcome unpacked = scan(TextStream(gz, "", true), settings);
        // A text that itself begins with a BOM or the gzip magic reads differently packed.
        const bool plain_as_is = text.substr(0, 2) != "\x1f\x8b" && text.substr(0, 3) !=
                                 "\xEF\xBB\xBF";
        if (plain_as_is)
            check(unpacked == whole, "two gzip members");
        ::close(gz);
    }
    check(lowest_free() == free_before, "descriptor left open");
    return 0;
}
