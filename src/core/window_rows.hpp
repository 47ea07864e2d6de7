// Reference windows of many records from one open chromosome file, as rows of raw bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "error.hpp"

namespace mutflank {

// The value of a window byte that lies off the chromosome (before its start, at or past its
// end): the caller's policy at chromosome ends is to pad, not to fail.
inline constexpr std::int16_t outside_chromosome = -1;

// Fills `rows` (starts.size() rows of `width` values, row-major) with the raw bytes of the
// file `fd` from offset starts[i] on, for a chromosome of `length` bytes; offsets outside
// 0 .. length - 1 get outside_chromosome. Nearby windows share one read (the window reader's
// read of a span), so sorted records cost a read per few MiB, not one per record.
// Errors are the window reader's: "Error reading data from the file" when the file holds
// fewer than `length` bytes, "Error seeking to the specified position" when the descriptor
// cannot be read at an offset (a pipe).
[[nodiscard]] std::optional<Error> read_window_rows(int fd, std::uint64_t length,
                                                   std::span<const std::int64_t> starts,
                                                   std::size_t width,
                                                   std::span<std::int16_t> rows);

} // namespace mutflank
