#include "line_reader.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "byte_masks.hpp"

namespace mutflank {
namespace {

std::string_view without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

} // namespace

bool LineReader::refill() noexcept {
    pos_ = 0;
    end_ = 0;
    words_ = 0;
    for (;;) {
        const ssize_t n = ::read(fd_, block_.data(), block_.size());
        if (n > 0) {
            end_ = static_cast<std::size_t>(n);
            break;
        }
        if (n == 0) {
            at_eof_ = true;
            return true;
        }
        if (errno != EINTR)
            return false;
    }
    // Index the block: 64 bytes at a time, the bytes past its end zeroed (they are neither
    // line feeds nor tabs nor non-ASCII).
    words_ = (end_ + 63) / 64;
    std::memset(block_.data() + end_, 0, words_ * 64 - end_);
    bool ascii = true;
    for (std::size_t w = 0; w < words_; ++w) {
        const ByteMasks m = byte_masks(block_.data() + 64 * w);
        line_feeds_[w] = m.line_feeds;
        tabs_[w] = m.tabs;
        ascii = ascii && m.ascii;
    }
    line_feeds_[words_] = 0;
    tabs_[words_] = 0;
    block_ascii_ = ascii;
    return true;
}

LineReader::Status LineReader::next_slowly(LineFields& fields) {
    if (pos_ == end_) {
        if (at_eof_)
            return Status::end;
        if (!refill())
            return Status::error;
        if (at_eof_)
            return Status::end;
        const std::size_t lf = find_line_feed(0);
        if (lf < end_)
            return take_line(lf, fields);
    }
    // The line runs past the block: it is gathered, and split on its own.
    long_line_.assign(block_.data() + pos_, end_ - pos_);
    for (;;) {
        if (!refill())
            return Status::error;
        if (at_eof_) { // the last line, without a line feed
            fields.split(long_line_);
            return Status::line;
        }
        const std::size_t end = find_line_feed(0);
        long_line_.append(block_.data(), end);
        if (end < end_) {
            pos_ = end + 1;
            fields.split(without_cr(long_line_));
            return Status::line;
        }
    }
}

} // namespace mutflank
