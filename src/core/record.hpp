// The rules for one table line: which records count, how the substitution is folded onto
// a pyrimidine reference base, and how the row is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "mutflank_core.hpp"
#include "reference_window.hpp"

namespace mutflank {

class RecordBuilder {
  public:
    RecordBuilder(std::string_view root, std::uint64_t half_width) noexcept
        : root_(root), half_width_(half_width) {}

    // Judges one line (already checked to be UTF-8; `ascii` when it is pure ASCII). A line
    // that does not qualify is skipped silently. For one that does, reads its reference
    // window and hands the row to `sink`.
    [[nodiscard]] std::optional<Error> add_line(std::string_view line, bool ascii, RowSink& sink);

  private:
    std::string_view root_;
    std::uint64_t half_width_;
    WindowReader window_;
    std::string ref_;
    std::string key_;
    std::string context_;
};

} // namespace mutflank
