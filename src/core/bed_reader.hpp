// The intervals of a BED file: each line that is not blank, a '#' comment or a `track` or
// `browser` line holds at least three fields separated by ASCII blanks (space, tab, \v, \f,
// \r): chromosome, start and end, 0-based and half-open. The chromosome is given as a code,
// an index into the names met so far in the order first met; start and end are decimal digits,
// a value past `far` read as `far` (beyond every chromosome's end). Merging and matching the
// names to a reference is left to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "text_lines.hpp"
#include "text_stream.hpp"

namespace mutflank {

struct BedSettings {
    std::size_t batch_records = 1 << 16; // intervals of a batch
    std::size_t max_line_bytes = std::size_t{1} << 20;
    std::size_t buffer_bytes = std::size_t{1} << 20; // text read at a time
    std::uint64_t far = std::uint64_t{1} << 62;      // larger coordinates are read as this
};

struct BedBatch {
    std::vector<std::uint32_t> code;  // of the chromosome: an index into all names met
    std::vector<std::uint64_t> start; // at most `far`
    std::vector<std::uint64_t> end;   // at most `far`, not below start
    std::vector<std::string> names;   // names first met in this batch, in order

    [[nodiscard]] std::size_t rows() const noexcept { return code.size(); }
    void clear();
};

// A line (or the stream) at fault. The command words the message from these values.
struct BedFault {
    enum class Kind {
        stream,           // `stream` says why
        line_too_long,    // longer than max_line_bytes
        fields,           // `count`: the fields of the line, 1 or 2
        bad_start,        // `text`: the start as written (its first 160 bytes)
        bad_end,          // `text`: the end as written (its first 160 bytes)
        end_before_start, // `start`, `end`: as read
        name_not_utf8,    // `text`: the chromosome name (its first 160 bytes)
    };
    Kind kind;
    std::uint64_t line = 0;
    std::uint64_t count = 0;
    std::string text;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    StreamFault stream{};
};

class BedReader {
  public:
    BedReader(TextStream text, BedSettings settings);

    // Clears `batch` and fills it with the intervals of the next lines, up to batch_records.
    // `more` is false once the input is at its end (the batch then holds the last ones,
    // possibly none). On a fault the batch holds the intervals of the lines before it.
    [[nodiscard]] std::optional<BedFault> next(BedBatch& batch, bool& more);

  private:
    [[nodiscard]] std::optional<BedFault> record(std::string_view line, BedBatch& batch);
    [[nodiscard]] std::uint32_t code_of(std::string_view name, BedBatch& batch);

    TextLines lines_;
    BedSettings settings_;
    std::unordered_map<std::string, std::uint32_t> codes_;
    std::string last_name_; // the name of the previous interval, and its code
    std::uint32_t last_code_ = 0;
    bool has_last_ = false;
};

// Whether a line's first field makes it a comment, a track or a browser line.
[[nodiscard]] bool bed_skipped(std::string_view first_field) noexcept;

} // namespace mutflank
