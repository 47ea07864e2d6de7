#include "bed_reader.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "utf8.hpp"

namespace mutflank {
namespace {

constexpr std::size_t shown_bytes = 160; // of a bad field: enough for 40 characters

// The blanks that separate fields: space, tab, \r, \v and \f, by byte value.
constexpr std::array<bool, 256> blanks = [] {
    std::array<bool, 256> table{};
    for (const unsigned char c : {' ', '\t', '\r', '\v', '\f'})
        table[c] = true;
    return table;
}();

bool blank(char c) noexcept { return blanks[static_cast<unsigned char>(c)]; }

// Up to `N` fields of `line` separated by runs of blanks; the number found (at most N).
template <std::size_t N>
std::size_t split_blanks(std::string_view line, std::array<std::string_view, N>& fields) {
    std::size_t count = 0;
    std::size_t at = 0;
    while (count < N) {
        while (at < line.size() && blank(line[at]))
            ++at;
        if (at == line.size())
            break;
        const std::size_t from = at;
        while (at < line.size() && !blank(line[at]))
            ++at;
        fields[count++] = line.substr(from, at - from);
    }
    return count;
}

// The value of a field of decimal digits, at most `far`; nothing for any other field.
std::optional<std::uint64_t> coordinate(std::string_view field, std::uint64_t far) {
    const std::uint64_t limit = far / 10; // above it, one more digit goes past far
    std::uint64_t value = 0;
    for (const char c : field) {
        const auto digit = static_cast<unsigned char>(c - '0');
        if (digit > 9)
            return std::nullopt;
        // Past far already: it stays there, with no overflow.
        value = value > limit ? far + 1 : value * 10 + digit;
    }
    return std::min(value, far);
}

} // namespace

bool bed_skipped(std::string_view first_field) noexcept {
    return first_field.starts_with('#') || first_field.starts_with("track") ||
           first_field.starts_with("browser");
}

void BedBatch::clear() {
    code.clear();
    start.clear();
    end.clear();
    names.clear();
}

BedReader::BedReader(TextStream text, BedSettings settings)
    : lines_(std::move(text), settings.buffer_bytes, settings.max_line_bytes),
      settings_(settings) {}

std::optional<BedFault> BedReader::next(BedBatch& batch, bool& more) {
    batch.clear();
    return read_records<BedFault>(
        lines_, more, [](std::uint64_t /*number*/, std::string_view /*line*/) { return false; },
        [this, &batch](std::string_view line) { return record(line, batch); },
        [this, &batch](std::size_t lines) {
            return batch.rows() >= settings_.batch_records || lines >= 4 * settings_.batch_records;
        });
}

std::uint32_t BedReader::code_of(std::string_view name, BedBatch& batch) {
    if (has_last_ && name == last_name_) // intervals come in runs of one chromosome
        return last_code_;
    auto [found, added] =
        codes_.try_emplace(std::string(name), static_cast<std::uint32_t>(codes_.size()));
    if (added)
        batch.names.emplace_back(name);
    last_name_.assign(name);
    last_code_ = found->second;
    has_last_ = true;
    return last_code_;
}

std::optional<BedFault> BedReader::record(std::string_view line, BedBatch& batch) {
    using Kind = BedFault::Kind;
    std::array<std::string_view, 3> fields{};
    const std::size_t count = split_blanks(line, fields);
    if (count == 0 || bed_skipped(fields[0]))
        return std::nullopt;
    const std::uint64_t number = lines_.number();
    if (count < 3) {
        BedFault fault = fault_at<BedFault>(Kind::fields, number);
        fault.count = count;
        return fault;
    }
    const std::optional<std::uint64_t> start = coordinate(fields[1], settings_.far);
    const std::optional<std::uint64_t> end = coordinate(fields[2], settings_.far);
    if (!start || !end) {
        BedFault fault = fault_at<BedFault>(start ? Kind::bad_end : Kind::bad_start, number);
        fault.text = (start ? fields[2] : fields[1]).substr(0, shown_bytes);
        return fault;
    }
    if (*end < *start) {
        BedFault fault = fault_at<BedFault>(Kind::end_before_start, number);
        fault.start = *start;
        fault.end = *end;
        return fault;
    }
    // A name is checked where a run of its intervals starts, so the fault names its line.
    const bool same_run = has_last_ && fields[0] == last_name_;
    if (!same_run && check_utf8(fields[0]) == Utf8::invalid) {
        BedFault fault = fault_at<BedFault>(Kind::name_not_utf8, number);
        fault.text = fields[0].substr(0, shown_bytes);
        return fault;
    }
    batch.code.push_back(code_of(fields[0], batch));
    batch.start.push_back(*start);
    batch.end.push_back(*end);
    return std::nullopt;
}

} // namespace mutflank
