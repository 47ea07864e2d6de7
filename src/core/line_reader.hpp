// Line-by-line reading of a table file through one 8192-byte block buffer.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "line_fields.hpp"

namespace mutflank {

class LineReader {
  public:
    enum class Status { line, end, error };

    // Reads from `fd`, which the caller owns and keeps open while reading.
    explicit LineReader(int fd) noexcept : fd_(fd) {}

    // Reads the next line, without its terminator (a line feed, and a carriage return
    // directly before it), splits it into `fields` and returns Status::line. A last line
    // without a line feed still counts; a carriage return not followed by a line feed stays
    // in the line. Returns Status::end after the last line, Status::error when reading
    // fails. The line stays valid until the next call.
    [[gnu::always_inline]] Status next(LineFields& fields) {
        if (pos_ < end_) {
            const std::size_t lf = find_line_feed(pos_);
            if (lf < end_)
                return take_line(lf, fields);
        }
        return next_slowly(fields);
    }

  private:
    static constexpr std::size_t block_size = 8192;
    static constexpr std::size_t block_words = block_size / 64;

    // Reads the next block and indexes it; false on a read error. At the end of the file
    // `end_` stays 0 and `at_eof_` is set.
    bool refill() noexcept;
    // The position of the first line feed at or after `from` in the block, or `end_`.
    [[nodiscard]] std::size_t find_line_feed(std::size_t from) const noexcept {
        std::size_t w = from / 64;
        std::uint64_t bits = line_feeds_[w] & (~std::uint64_t{0} << (from % 64));
        while (bits == 0) {
            if (++w >= words_)
                return end_;
            bits = line_feeds_[w];
        }
        return 64 * w + static_cast<unsigned>(std::countr_zero(bits));
    }
    // Hands out the line from `pos_` to the line feed at `lf`, all inside the block, whose
    // tabs' positions are known from the block's bitmap.
    [[gnu::always_inline]] Status take_line(std::size_t lf, LineFields& fields) noexcept {
        const std::size_t start = pos_;
        pos_ = lf + 1;
        std::string_view line{block_.data() + start, lf - start};
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (block_ascii_)
            fields.split(line, tabs_.data(), start, Utf8::ascii);
        else
            fields.split(line);
        return Status::line;
    }
    // The rest of next(): a new block, or a line that crosses the end of the block.
    Status next_slowly(LineFields& fields);

    int fd_;
    alignas(64) std::array<char, block_size> block_{};
    // Bitmaps of the block's line feeds and tabs (bit i for byte i), with a last word of
    // zeros after the block's last byte.
    std::array<std::uint64_t, block_words + 1> line_feeds_{};
    std::array<std::uint64_t, block_words + 1> tabs_{};
    std::size_t words_ = 0;    // words of the bitmaps that describe the block
    bool block_ascii_ = true;  // no byte of the block has its high bit set
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool at_eof_ = false;
    std::string long_line_; // a line that crosses a block boundary is gathered here
};

} // namespace mutflank
