#include "line_reader.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

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
    for (;;) {
        const ssize_t n = ::read(fd_, block_.data(), block_.size());
        if (n > 0) {
            end_ = static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0) {
            at_eof_ = true;
            return true;
        }
        if (errno != EINTR)
            return false;
    }
}

LineReader::Status LineReader::next(std::string_view& line) {
    bool gathering = false;
    for (;;) {
        if (pos_ == end_) {
            if (at_eof_ || !refill()) {
                if (!at_eof_)
                    return Status::error;
                if (!gathering)
                    return Status::end;
                line = long_line_; // the last line, without a line feed
                return Status::line;
            }
            if (at_eof_)
                continue;
        }
        const char* begin = block_.data() + pos_;
        const std::size_t available = end_ - pos_;
        const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', available));
        if (lf != nullptr) {
            const auto length = static_cast<std::size_t>(lf - begin);
            pos_ += length + 1;
            if (!gathering) {
                line = without_cr({begin, length});
                return Status::line;
            }
            long_line_.append(begin, length);
            line = without_cr(long_line_);
            return Status::line;
        }
        if (!gathering) {
            long_line_.clear();
            gathering = true;
        }
        long_line_.append(begin, available);
        pos_ = end_;
    }
}

} // namespace mutflank
