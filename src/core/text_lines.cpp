#include "text_lines.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace mutflank {

TextLines::TextLines(TextStream text, std::size_t buffer_bytes, std::size_t max_line_bytes)
    : text_(std::move(text)), max_line_bytes_(max_line_bytes),
      buffer_(std::max<std::size_t>(buffer_bytes, 16)) {}

std::optional<LineFault> TextLines::next(std::string_view& line, bool& found) {
    found = false;
    for (;;) {
        const char* base = buffer_.data();
        const std::size_t from = std::max(begin_, scanned_);
        const auto* lf = static_cast<const char*>(std::memchr(base + from, '\n', end_ - from));
        std::size_t stop = end_;
        if (lf != nullptr)
            stop = static_cast<std::size_t>(lf - base);
        else if (!text_end_)
            scanned_ = end_;
        if (lf != nullptr || (text_end_ && begin_ < end_)) {
            ++number_;
            if (stop - begin_ > max_line_bytes_)
                return LineFault{LineFault::Kind::too_long, number_, {}};
            line = std::string_view(base + begin_, stop - begin_);
            begin_ = lf != nullptr ? stop + 1 : end_;
            found = true;
            return std::nullopt;
        }
        if (text_end_)
            return std::nullopt;
        if (end_ - begin_ > max_line_bytes_)
            return LineFault{LineFault::Kind::too_long, number_ + 1, {}};
        if (begin_ > 0) { // room for more: the partial line to the front, or grow
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            scanned_ -= begin_;
            begin_ = 0;
        }
        if (end_ == buffer_.size()) // at most a line at the limit, its line feed and one more
            buffer_.resize(
                std::min(buffer_.size() * 2, std::max(buffer_.size() + 1, max_line_bytes_ + 2)));
        std::size_t got = 0;
        if (auto fault = text_.read(buffer_.data() + end_, buffer_.size() - end_, got))
            return LineFault{LineFault::Kind::stream, number_ + 1, std::move(*fault)};
        if (got == 0)
            text_end_ = true;
        end_ += got;
    }
}

} // namespace mutflank
