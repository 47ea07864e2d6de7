// Splitting a table line into its first ten tab-separated fields, and classifying its bytes
// as UTF-8, in one pass over the line.
#pragma once

#include <cstddef>
#include <string_view>

#include "utf8.hpp"

namespace mutflank {

// The number of fields a record needs; later fields are not looked at.
inline constexpr std::size_t fields_needed = 10;

class LineFields {
  public:
    // Splits `line` (without its terminator) at its tabs and checks the whole line for
    // UTF-8. The fields point into the line.
    explicit LineFields(std::string_view line) noexcept;

    // Whether the line has at least ten fields (nine tabs or more).
    [[nodiscard]] bool complete() const noexcept { return tabs_found_ >= fields_needed - 1; }

    [[nodiscard]] Utf8 text() const noexcept { return text_; }

    // Field i (0 to 9) of a complete line; field 9 ends at the next tab or at the end of
    // the line.
    [[nodiscard]] std::string_view field(std::size_t i) const noexcept {
        const std::size_t start = i == 0 ? 0 : tab_at_[i - 1] + 1;
        const std::size_t end = i < tabs_found_ ? tab_at_[i] : line_.size();
        return {line_.data() + start, end - start};
    }

  private:
    std::string_view line_;
    // Positions of the first tabs (at most ten are counted; the entries after the count
    // are scratch). Left uninitialised: clearing them would cost more than filling them.
    std::size_t tab_at_[fields_needed]; // NOLINT(modernize-avoid-c-arrays)
    std::size_t tabs_found_ = 0;
    Utf8 text_ = Utf8::ascii;
};

} // namespace mutflank
