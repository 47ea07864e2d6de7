// Reading the reference bytes around one position.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace mutflank {

// Decodes one reference byte: 0..15 by value modulo 4 to A, C, G, T; 16..19 to N;
// anything else to a space.
[[nodiscard]] char decode_base(unsigned char byte) noexcept;

// The same, complemented (A <-> T, C <-> G; N and space stay).
[[nodiscard]] char decode_base_complement(unsigned char byte) noexcept;

// Reads windows of reference bytes. One reader serves many records in turn: its path and
// byte buffers are reused, but no file and no reference data are kept between reads.
class WindowReader {
  public:
    // Opens <root>/<build>/<chromosome>.txt, reads the bytes of the window of `half_width`
    // bases around the 1-based `position` (clamped at the chromosome start) and closes the
    // file. On success `bytes()` holds the window and `position_index()` the index of the
    // position's own byte in it.
    [[nodiscard]] std::optional<Error> read(std::string_view root, std::string_view build,
                                            std::string_view chromosome, std::uint64_t position,
                                            std::uint64_t half_width);

    [[nodiscard]] std::string_view bytes() const noexcept {
        return {bytes_.data(), bytes_.size()};
    }
    [[nodiscard]] std::size_t position_index() const noexcept { return position_index_; }

  private:
    std::string path_;
    std::vector<char> bytes_;
    std::size_t position_index_ = 0;
};

} // namespace mutflank
