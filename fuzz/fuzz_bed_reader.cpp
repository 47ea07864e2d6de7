// Fuzz target: the BED reader and the text stream under it, on arbitrary lines.
//
// Input layout: the bytes before the first line feed choose the settings: 'Z' the text packed
// as two gzip members, 'B' as BGZF blocks of 100 bytes of text, 'D' one byte of the packed form
// flipped (then only checked not to crash or leak); every other byte is ignored. Everything
// after that line feed is the text. An input without a line feed is all text.
//
// The text is read the ways of scan_ways.hpp, which must agree interval for interval and on the
// fault, and each read is held to a model of the rules written out a line at a time.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "bed_reader.hpp"
#include "scan_ways.hpp"
#include "utf8.hpp"

namespace {

using namespace mutflank;
using namespace mutflank::fuzz;

using Row = std::tuple<std::string, std::uint64_t, std::uint64_t>;
using Outcome = fuzz::Outcome<Row, BedFault::Kind>;

bool blank(char c) { return std::string_view(" \t\r\v\f").find(c) != std::string_view::npos; }

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> found;
    std::size_t at = 0;
    while (at < line.size()) {
        if (blank(line[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < line.size() && !blank(line[end]))
            ++end;
        found.push_back(line.substr(at, end - at));
        at = end;
    }
    return found;
}

// The value of a field of digits, or nothing; past `far` read as far (as long-hand text).
std::optional<std::uint64_t> number(std::string_view field, std::uint64_t far) {
    for (const char c : field)
        if (c < '0' || c > '9')
            return std::nullopt;
    std::string_view digits = field.substr(std::min(field.find_first_not_of('0'), field.size()));
    const std::string limit = std::to_string(far);
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit))
        return far;
    return digits.empty() ? 0 : std::stoull(std::string(digits));
}

// The rules, a line at a time, on a text that is read whole (no stream fault).
Outcome model(std::string_view text, const BedSettings& settings) {
    Outcome outcome;
    std::uint64_t line_number = 0;
    std::size_t at = 0;
    if (text.starts_with("\xEF\xBB\xBF"))
        at = 3;
    while (at < text.size()) {
        const std::size_t lf = text.find('\n', at);
        const std::string_view line =
            text.substr(at, lf == std::string_view::npos ? std::string_view::npos : lf - at);
        at = lf == std::string_view::npos ? text.size() : lf + 1;
        ++line_number;
        auto fail = [&](BedFault::Kind kind) {
            outcome.faulted = true;
            outcome.kind = kind;
            outcome.line = line_number;
            return outcome;
        };
        if (line.size() > settings.max_line_bytes)
            return fail(BedFault::Kind::line_too_long);
        const auto fields = words(line);
        if (fields.empty() || fields[0].starts_with('#') || fields[0].starts_with("track") ||
            fields[0].starts_with("browser"))
            continue;
        if (fields.size() < 3) {
            outcome.count = fields.size();
            return fail(BedFault::Kind::fields);
        }
        const auto start = number(fields[1], settings.far);
        const auto end = number(fields[2], settings.far);
        if (!start || !end) {
            outcome.text = std::string((start ? fields[2] : fields[1]).substr(0, 160));
            return fail(start ? BedFault::Kind::bad_end : BedFault::Kind::bad_start);
        }
        if (*end < *start)
            return fail(BedFault::Kind::end_before_start);
        if (check_utf8(fields[0]) == Utf8::invalid) { // the first line naming it
            outcome.text = std::string(fields[0].substr(0, 160));
            return fail(BedFault::Kind::name_not_utf8);
        }
        outcome.rows.emplace_back(std::string(fields[0]), *start, *end);
        if (std::find(outcome.held.begin(), outcome.held.end(), fields[0]) == outcome.held.end())
            outcome.held.emplace_back(fields[0]);
    }
    std::sort(outcome.held.begin(), outcome.held.end());
    return outcome;
}

Outcome scan(TextStream stream, const BedSettings& settings) {
    std::vector<std::string> names; // every name met, by code
    return scan_all<BedReader, BedBatch, Row>(
        std::move(stream), settings, [&](const BedBatch& batch, Outcome& outcome) {
            check(batch.start.size() == batch.rows() && batch.end.size() == batch.rows(),
                  "columns of one length");
            check(batch.rows() <= settings.batch_records, "a batch beyond its size");
            for (const auto& name : batch.names) {
                check(std::find(names.begin(), names.end(), name) == names.end(),
                      "a name given twice");
                names.push_back(name);
                outcome.held.push_back(name);
            }
            for (std::size_t i = 0; i < batch.rows(); ++i) {
                check(batch.code[i] < names.size(), "a code without its name");
                check(batch.start[i] <= batch.end[i] && batch.end[i] <= settings.far,
                      "an interval out of bounds");
                outcome.rows.emplace_back(names[batch.code[i]], batch.start[i], batch.end[i]);
            }
        });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TextInput input(data, size);
    BedSettings settings;
    settings.max_line_bytes = 4096;
    settings.buffer_bytes = 64; // lines cross the buffer's end
    settings.batch_records = 1000;
    settings.far = 1'000'000'007;
    // A text that begins with the gzip magic is read as gzip: the model reads plain text.
    if (!input.text.starts_with("\x1f\x8b")) {
        const int file = memory_file(input.text);
        const bool agrees =
            scan(TextStream(file, "", true), settings) == model(input.text, settings);
        ::close(file);
        check(agrees, "the model");
    }
    check_ways(input, settings, scan);
    return 0;
}
