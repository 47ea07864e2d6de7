// What the text scanners' fuzz targets (VCF, MAF, mutation table) share: the input split into
// its options line and its text, the outcome of a scan (its rows and summed left-out counts,
// or its fault), the loop that scans a text to its end or fault, and the ways a text is
// scanned that must agree.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "harness.hpp"
#include "text_stream.hpp"

namespace mutflank::fuzz {

// A fuzz input: the bytes before the first line feed choose the settings, one letter each;
// everything after it is the text. An input without a line feed is all text.
struct TextInput {
    std::string_view options;
    std::string_view text;

    TextInput(const std::uint8_t* data, std::size_t size) {
        const std::string_view input(reinterpret_cast<const char*>(data), size);
        const std::size_t cut = input.find('\n');
        options = cut == std::string_view::npos ? "" : input.substr(0, cut);
        text = cut == std::string_view::npos ? input : input.substr(cut + 1);
    }

    [[nodiscard]] bool has(char option) const {
        return options.find(option) != std::string_view::npos;
    }
};

// What one scan gave: its rows, the left-out counts summed by (reason, chromosome) and the
// names held, or its fault (`count` where the scanner's fault has one).
template <class Row, class FaultKind> struct Outcome {
    std::vector<Row> rows;
    std::vector<std::tuple<int, std::string, std::uint64_t>> left_out;
    std::vector<std::string> held;
    bool faulted = false;
    FaultKind kind{};
    std::uint64_t line = 0;
    std::uint64_t count = 0;
    std::string text;

    // The rows before a fault depend on where batches end; the fault does not.
    bool operator==(const Outcome& other) const {
        if (faulted || other.faulted)
            return faulted == other.faulted && kind == other.kind && line == other.line &&
                   count == other.count && text == other.text;
        return rows == other.rows && left_out == other.left_out && held == other.held;
    }
};

// Scans `stream` to its end or its fault with a Scanner(stream, settings). `visit(batch,
// outcome)` checks each batch and takes its rows, left-out entries and held names.
template <class Scanner, class Batch, class Row, class Settings, class Visit>
auto scan_all(TextStream stream, const Settings& settings, Visit visit) {
    using Fault = typename decltype(std::declval<Scanner&>().next(
        std::declval<Batch&>(), std::declval<bool&>()))::value_type;
    Outcome<Row, typename Fault::Kind> outcome;
    Scanner scanner(std::move(stream), settings);
    Batch batch;
    for (bool more = true; more;) {
        auto fault = scanner.next(batch, more);
        if (fault) {
            outcome.faulted = true;
            outcome.kind = fault->kind;
            outcome.line = fault->line;
            if constexpr (requires { fault->count; })
                outcome.count = fault->count;
            outcome.text = fault->text;
            return outcome;
        }
        visit(batch, outcome);
    }
    // Counts and names of several batches add up by key.
    std::sort(outcome.held.begin(), outcome.held.end());
    outcome.held.erase(std::unique(outcome.held.begin(), outcome.held.end()), outcome.held.end());
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

// Scans `input`'s text the ways that must agree row for row and on the fault: from a regular
// file with the settings' batches and with batches of one row, from a pipe whose first bytes
// come as the caller's prefix, and packed when the options ask: 'Z' two gzip members, 'B'
// BGZF blocks of 100 bytes of text, 'D' one byte of the packed form flipped (then only checked
// not to crash or leak). Stops the run on a disagreement or a descriptor left open.
// `scan(stream, settings)` gives an Outcome.
template <class Settings, class Scan>
void check_ways(const TextInput& input, const Settings& settings, Scan scan) {
    const int free_before = lowest_free();
    const std::string_view text = input.text;

    const int file = memory_file(text);
    const auto whole = scan(TextStream(file, "", true), settings);
    Settings small = settings;
    small.batch_records = 1;
    check(scan(TextStream(file, "", true), small) == whole, "batches of one row");
    ::close(file);

    const std::size_t prefix = text.size() / 3;
    const int pipe = filled_pipe(text.substr(prefix));
    check(scan(TextStream(pipe, std::string(text.substr(0, prefix)), false), settings) == whole,
          "a pipe after a prefix");
    ::close(pipe);

    if (input.has('Z') || input.has('B')) {
        std::string bytes =
            input.has('B')
                ? bgzf(text, 100)
                : gzip(text.substr(0, text.size() / 2)) + gzip(text.substr(text.size() / 2));
        const std::size_t damaged = input.options.find('D');
        if (damaged != std::string_view::npos && !bytes.empty()) {
            const std::size_t at = (damaged * 7919 + text.size()) % bytes.size();
            bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
        }
        const int gz = memory_file(bytes);
        const auto unpacked = scan(TextStream(gz, "", true), settings);
        // A text that itself begins with a BOM or the gzip magic reads differently packed.
        const bool plain_as_is =
            text.substr(0, 2) != "\x1f\x8b" && text.substr(0, 3) != "\xEF\xBB\xBF";
        if (plain_as_is && damaged == std::string_view::npos)
            check(unpacked == whole, "packed");
        ::close(gz);
    }
    check(lowest_free() == free_before, "descriptor left open");
}

} // namespace mutflank::fuzz
