// The position column: an unsigned 64-bit decimal number.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "error.hpp"

namespace mutflank {

// Parses an optional leading "+" followed by one or more ASCII digits, nothing else.
// Errors (internal kind): an empty text is "Empty"; a value above 2^64 - 1 is
// "PosOverflow"; anything else is "InvalidDigit". When more than 16 characters follow
// the sign, the first offending character from the left decides between the last two.
[[nodiscard]] Result<std::uint64_t> parse_position(std::string_view text) noexcept;

// The position of a record as the scanners of MAF and mutation tables read it: decimal digits
// (after an optional "+" when `signed_`) of a value from 1 to 2^64 - 1; nullopt otherwise.
[[nodiscard]] std::optional<std::uint64_t> record_position(std::string_view text,
                                                           bool signed_) noexcept;

} // namespace mutflank
