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

#include "harness.hpp"
#include "mutation_table_scanner.hpp"

namespace {

using namespace mutflank;
using namespace mutflank::fuzz;

using Row = std::tuple<std::uint64_t, std::string, std::string, std::string, std::string,
                       std::uint64_t, std::string, std::string>;
struct Outcome {
    std::vector<Row> rows;
    std::vector<std::tuple<int, std::string, std::uint64_t>> left_out;
    bool faulted = false;
    MutationTableFault::Kind kind{};
    std::uint64_t line = 0;
    std::string text;

    // The rows before a fault depend on where batches end; the fault does not.
    bool operator==(const Outcome& other) const {
        if (faulted || other.faulted)
            return faulted == other.faulted && kind == other.kind && line == other.line &&
                   text == other.text;
        return rows == other.rows && left_out == other.left_out;
    }
};

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
    Outcome outcome;
    MutationTableScanner scanner(std::move(stream), settings);
    MutationTableBatch batch;
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
            outcome.rows.emplace_back(batch.line[i], std::string(batch.sample.at(i)),
                                      std::string(batch.id.at(i)), std::string(batch.build.at(i)),
                                      std::string(batch.chromosome.at(i)), batch.position[i],
                                      std::string(batch.ref.at(i)), std::string(batch.alt.at(i)));
        for (const auto& entry : batch.left_out)
            outcome.left_out.emplace_back(static_cast<int>(entry.reason), entry.chromosome,
                                          entry.count);
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

    MutationTableSettings settings;
    settings.max_line_bytes = 4096;
    settings.max_field_bytes = 16;
    settings.buffer_bytes = 64; // lines cross the buffer's end
    settings.batch_records = 1000;

    const int file = memory_file(text);
    const Outcome whole = scan(TextStream(file, "", true), settings);
    MutationTableSettings small = settings;
    small.batch_records = 1;
    check(scan(TextStream(file, "", true), small) == whole, "batches of one row");
    ::close(file);

    const std::size_t prefix = text.size() / 3;
    const int pipe = filled_pipe(text.substr(prefix));
    check(scan(TextStream(pipe, std::string(text.substr(0, prefix)), false), settings) == whole,
          "a pipe after a prefix");
    ::close(pipe);

    const bool gzip_members = options.find('Z') != std::string_view::npos;
    const bool blocks = options.find('B') != std::string_view::npos;
    if (gzip_members || blocks) {
        std::string bytes =
            blocks ? bgzf(text, 100)
                   : gzip(text.substr(0, text.size() / 2)) + gzip(text.substr(text.size() / 2));
        const std::size_t damaged = options.find('D');
        if (damaged != std::string_view::npos && !bytes.empty()) {
            const std::size_t at = (damaged * 7919 + text.size()) % bytes.size();
            bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
        }
        const int gz = memory_file(bytes);
        const Outcome unpacked = scan(TextStream(gz, "", true), settings);
        // A text that itself begins with a BOM or the gzip magic reads differently packed.
        const bool plain_as_is =
            text.substr(0, 2) != "\x1f\x8b" && text.substr(0, 3) != "\xEF\xBB\xBF";
        if (plain_as_is && damaged == std::string_view::npos)
            check(unpacked == whole, "packed");
        ::close(gz);
    }
    check(lowest_free() == free_before, "descriptor left open");
    return 0;
}
