// Reading the reference bytes around one position.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"

namespace mutflank {

// Decodes one reference byte: 0..15 by value modulo 4 to A, C, G, T; 16..19 to N;
// anything else to a space.
[[nodiscard]] char decode_base(unsigned char byte) noexcept;

// The same, complemented (A <-> T, C <-> G; N and space stay).
[[nodiscard]] char decode_base_complement(unsigned char byte) noexcept;

// Offsets of 2^63 or more cannot be file offsets, and windows that long cannot be held.
inline constexpr std::uint64_t max_file_offset = (std::uint64_t{1} << 63) - 1;

// The bytes to read around a 1-based position. The window is clamped at the chromosome start;
// `position_index` is the index of the position's own byte within it. Nothing wraps around:
// a window of 2^64 bytes or more has the length 2^64 - 1, which fails as too long to hold
// like any length of 2^63 or more. Position 0 gets a start of 2^63 or more, beyond any file.
struct Window {
    std::uint64_t start;
    std::uint64_t length;
    std::uint64_t position_index;
};
[[nodiscard]] Window window_around(std::uint64_t position, std::uint64_t half_width) noexcept;

// Sets `path` to <root>/<build>/<chromosome>.txt, nothing normalised. Returns the length of
// its build folder part, <root>/<build>.
std::size_t reference_path(std::string_view root, std::string_view build,
                           std::string_view chromosome, std::string& path);

// Opens a reference file read-only, relative to the folder handle `directory` (or AT_FDCWD),
// as the window readers do: a FIFO does not block the open (it then fails at the seek), a
// terminal does not become the controlling terminal, and a regular file under a lease is
// waited for, as a plain open would. Returns the descriptor, or -1 with errno set.
[[nodiscard]] int open_reference(int directory, const char* path) noexcept;

// Whether an open failed because descriptors ran out (of the process or of the system).
[[nodiscard]] bool out_of_descriptors(int error) noexcept;

// Reads windows one at a time. One reader serves many records in turn: its byte buffer is
// reused, but no file and no reference data are kept between reads.
class WindowReader {
  public:
    // Opens `path`, reads the bytes of `window` and closes the file. On success `bytes()`
    // holds them. Errors: "Failed to open the bytes file", "Error seeking to the specified
    // position", "Error reading data from the file", or the internal "capacity overflow".
    [[nodiscard]] std::optional<Error> read(const std::string& path, const Window& window);

    // The same from a file the caller opened with open_reference() and still owns; the
    // errors are those after the open.
    [[nodiscard]] std::optional<Error> read(int fd, const Window& window);

    [[nodiscard]] std::string_view bytes() const noexcept {
        return {bytes_.data(), bytes_.size()};
    }

  private:
    // A vector whose new bytes are left as they are: every byte handed out is read first, and
    // a window of MiBs would otherwise be zeroed before each read.
    template <class T> struct UninitialisedAllocator : std::allocator<T> {
        template <class U> struct rebind { using other = UninitialisedAllocator<U>; };
        template <class U> void construct(U* place) noexcept {
            ::new (static_cast<void*>(place)) U;
        }
        template <class U, class... Args> void construct(U* place, Args&&... args) {
            ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
        }
    };
    std::vector<char, UninitialisedAllocator<char>> bytes_;
};

} // namespace mutflank
