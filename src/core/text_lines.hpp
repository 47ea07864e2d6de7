// The lines of a text stream, one at a time: one block buffer refilled from the stream, the
// line end found with memchr, the buffer grown only for a line longer than any before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "byte_buffer.hpp"
#include "text_stream.hpp"

namespace mutflank {

// Why no line could be given.
struct LineFault {
    enum class Kind {
        stream,   // `stream` says why
        too_long, // longer than the line limit
    };
    Kind kind;
    std::uint64_t line = 0; // the line at fault (1-based)
    StreamFault stream{};
};

class TextLines {
  public:
    TextLines(TextStream text, std::size_t buffer_bytes, std::size_t max_line_bytes);

    // The next line without its line feed in `line`, valid until the next call; `found` is
    // false at the end of the text. The line's number is `number()`.
    [[nodiscard]] std::optional<LineFault> next(std::string_view& line, bool& found);

    // The number of the last line given (1-based).
    [[nodiscard]] std::uint64_t number() const noexcept { return number_; }

    // Whether the whole text has been read and given.
    [[nodiscard]] bool at_end() const noexcept { return text_end_ && begin_ >= end_; }

  private:
    TextStream text_;
    std::size_t max_line_bytes_;
    ByteBuffer buffer_;
    std::size_t begin_ = 0; // the unread text is buffer_[begin_ .. end_)
    std::size_t end_ = 0;
    std::size_t scanned_ = 0; // buffer_[begin_ .. scanned_) holds no line feed
    bool text_end_ = false;
    std::uint64_t number_ = 0;
};

// The fault of a scanner of record lines (VCF, MAF, mutation tables) for a line that could not
// be read; `Fault` has the kinds `stream` and `line_too_long`, a `line` and a `stream`.
template <class Fault> Fault line_fault(LineFault&& fault) {
    Fault failed{};
    failed.kind = fault.kind == LineFault::Kind::stream ? Fault::Kind::stream
                                                        : Fault::Kind::line_too_long;
    failed.line = fault.line;
    failed.stream = std::move(fault.stream);
    return failed;
}

// A scanner's fault of `kind` at the line `line`, its other values zero.
template <class Fault> Fault fault_at(typename Fault::Kind kind, std::uint64_t line) {
    Fault fault{};
    fault.kind = kind;
    fault.line = line;
    return fault;
}

// The loop of a scanner of record lines: hands each line of `lines` that `skip(number, line)`
// does not pass over to `record(line)` (a fault or nothing), until `full(records)` (the lines
// handed in this call), the end of the text (then `more` is false) or a fault.
template <class Fault, class Skip, class Record, class Full>
std::optional<Fault> read_records(TextLines& lines, bool& more, Skip skip, Record record,
                                  Full full) {
    more = true;
    std::size_t records = 0;
    for (;;) {
        std::string_view line;
        bool found = false;
        if (auto fault = lines.next(line, found))
            return line_fault<Fault>(std::move(*fault));
        if (!found) {
            more = false;
            return std::nullopt;
        }
        if (skip(lines.number(), line))
            continue;
        if (auto fault = record(line))
            return fault;
        if (full(++records))
            return std::nullopt;
    }
}

// Counts one record left out for `reason` on `chromosome` in a batch's `entries` (each a
// reason, a chromosome as written and a count, in the order first met).
template <class Entry, class Reason>
void count_left_out(std::vector<Entry>& entries, Reason reason, std::string_view chromosome) {
    for (auto& entry : entries) {
        if (entry.reason == reason && entry.chromosome == chromosome) {
            ++entry.count;
            return;
        }
    }
    entries.push_back({reason, std::string(chromosome), 1});
}

} // namespace mutflank
