// Line-by-line reading of a table file through one 8192-byte block buffer.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace mutflank {

class LineReader {
  public:
    enum class Status { line, end, error };

    // Reads from `fd`, which the caller owns and keeps open while reading.
    explicit LineReader(int fd) noexcept : fd_(fd) {}

    // Stores the next line in `line`, without its terminator (a line feed, and a carriage
    // return directly before it), and returns Status::line. A last line without a line feed
    // still counts; a carriage return not followed by a line feed stays in the line.
    // Returns Status::end after the last line, Status::error when reading fails.
    // The view stays valid until the next call.
    Status next(std::string_view& line);

  private:
    bool refill() noexcept; // false on a read error; at end of file `end_` stays 0

    int fd_;
    std::array<char, 8192> block_{};
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool at_eof_ = false;
    std::string long_line_; // a line that crosses a block boundary is gathered here
};

} // namespace mutflank
