// The lines of a text stream, one at a time: one block buffer refilled from the stream, the
// line end found with memchr, the buffer grown only for a line longer than any before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

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

  private:
    TextStream text_;
    std::size_t max_line_bytes_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0; // the unread text is buffer_[begin_ .. end_)
    std::size_t end_ = 0;
    std::size_t scanned_ = 0; // buffer_[begin_ .. scanned_) holds no line feed
    bool text_end_ = false;
    std::uint64_t number_ = 0;
};

} // namespace mutflank
