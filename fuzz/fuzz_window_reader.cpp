// Fuzz target: the reference window reader on arbitrary position, half-width and file size.
//
// Input layout (missing bytes read as zero):
//   0..7    position, little-endian
//   8..15   half-width, little-endian
//   16..19  file size, little-endian, taken modulo 2^21 (the file is sparse past its content)
//   20      how to read the three numbers (see `shape`), so that the fuzzer reaches the
//           interesting neighbourhoods (chromosome start, file end, the 2^63 limits) quickly
//   21..    the first bytes of the reference file
//
// Every answer is checked against the plain model in window_model.hpp. A second read with the
// same reader checks that nothing of the first read leaks into the next.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "mutflank_core.hpp"
#include "harness.hpp"
#include "reference_window.hpp"
#include "window_model.hpp"

namespace {

using namespace mutflank;
using namespace mutflank::fuzz;

std::string root;

std::uint64_t load(const std::uint8_t* data, std::size_t size, std::size_t at, std::size_t n) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (at + i < size)
            value |= std::uint64_t{data[at + i]} << (8 * i);
    return value;
}

[[noreturn]] void fail(const char* what, std::uint64_t position, std::uint64_t half_width,
                       std::uint64_t file_size, const std::string& detail) {
    std::fprintf(stderr,
                 "window mismatch: %s\n  position %llu, half-width %llu, file size %llu\n  %s\n",
                 what, static_cast<unsigned long long>(position),
                 static_cast<unsigned long long>(half_width),
                 static_cast<unsigned long long>(file_size), detail.c_str());
    std::abort();
}

void check_flanks(const Result<Flanks>& flanks, const WindowExpectation& e,
                  std::string_view window, const char* mode, std::uint64_t position,
                  std::uint64_t half_width, std::uint64_t file_size,
                  const std::optional<Error>& error) {
    const std::string what = std::string("read_flanks (") + mode + ")";
    if (error) {
        if (flanks.ok() || !(flanks.error() == *error))
            fail((what + " disagrees with WindowReader").c_str(), position, half_width, file_size,
                 flanks.ok() ? "read_flanks succeeded" : std::string(flanks.error().message));
        return;
    }
    if (!flanks.ok())
        fail((what + " failed where WindowReader succeeded").c_str(), position, half_width,
             file_size, std::string(flanks.error().message));
    std::string left;
    std::string right;
    model_flanks(window, e.position_index, left, right);
    if (flanks.value().left != left || flanks.value().right != right)
        fail((what + ": decoded flanks").c_str(), position, half_width, file_size,
             "left [" + flanks.value().left + "] right [" + flanks.value().right + "]");
}

void check_read(WindowReader& reader, const std::string& file_content, std::uint64_t file_size,
                std::uint64_t position, std::uint64_t half_width) {
    const WindowExpectation e = expect_window(position, half_width, file_size);
    const Window window = window_around(position, half_width);
    if (e.no_base) {
        if (window.start <= max_file_offset)
            fail("position 0 within a file", position, half_width, file_size,
                 "start " + std::to_string(window.start));
    } else if (window.start != e.start ||
               window.length != std::min<wide>(e.length, ~std::uint64_t{0})) {
        // Lengths of 2^64 or more are held as 2^64 - 1, which is as impossible to hold.
        fail("window arithmetic", position, half_width, file_size,
             "start " + std::to_string(window.start) + ", length " +
                 std::to_string(window.length));
    }
    if (e.may_succeed && window.position_index != e.position_index)
        fail("position index", position, half_width, file_size,
             std::to_string(window.position_index));
    std::string path;
    reference_path(root, "GRCh37", "1", path);
    if (path != root + "/GRCh37/1.txt")
        fail("reference path", position, half_width, file_size, path);

    const auto error = reader.read(path, window);
    if (error) {
        if (!expectation_allows(e, *error))
            fail("unexpected error", position, half_width, file_size, std::string(error->message));
    } else {
        if (!e.may_succeed)
            fail("unexpected success", position, half_width, file_size, "");
        const std::string_view bytes = reader.bytes();
        if (bytes.size() != e.length)
            fail("window length", position, half_width, file_size, std::to_string(bytes.size()));
        // The file is its content followed by zeros up to its size.
        const auto first = static_cast<std::size_t>(std::min<wide>(e.start, file_content.size()));
        const auto from_content =
            static_cast<std::size_t>(std::min<wide>(e.length, file_content.size() - first));
        if (bytes.substr(0, from_content) !=
                std::string_view(file_content).substr(first, from_content) ||
            bytes.find_first_not_of('\0', from_content) != std::string_view::npos)
            fail("window bytes", position, half_width, file_size, "");
    }
    const std::string_view window_bytes = error ? std::string_view() : reader.bytes();
    check_flanks(read_flanks(root, "GRCh37", "1", position, half_width, WindowIo::batched), e,
                 window_bytes, "batched", position, half_width, file_size, error);
    check_flanks(read_flanks(root, "GRCh37", "1", position, half_width, WindowIo::synchronous), e,
                 window_bytes, "synchronous", position, half_width, file_size, error);
}


// Steers a raw number into a neighbourhood chosen by two bits of the shape byte.
std::uint64_t shape_position(std::uint64_t raw, unsigned mode, std::uint64_t file_size) {
    switch (mode & 3U) {
    case 0:
        return raw;
    case 1:
        return raw % 64; // the chromosome start, 0 included
    case 2:
        return file_size + static_cast<std::uint64_t>(static_cast<std::int16_t>(raw)); // the end
    default:
        return two_to_63 + static_cast<std::uint64_t>(static_cast<std::int16_t>(raw));
    }
}

std::uint64_t shape_half_width(std::uint64_t raw, unsigned mode) {
    switch (mode & 3U) {
    case 0:
        return raw;
    case 1:
        return raw % 16;
    case 2:
        // Across the buffer size steps; windows above a megabyte are slow to check, so rare.
        return raw % (std::uint64_t{1} << ((raw >> 60) == 0 ? 21 : 17));
    default:
        // Where the true window length crosses 2^63 (half-width 2^62) and 2^64 (2^63).
        if ((raw & 1U) != 0)
            return ~std::uint64_t{0} - (raw >> 1) % 1024;
        return ((raw & 2U) != 0 ? two_to_63 : two_to_63 / 2) +
               static_cast<std::uint64_t>(static_cast<std::int16_t>(raw >> 2));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    root = make_temp_root();
    std::filesystem::create_directories(root + "/GRCh37");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const unsigned shape = static_cast<unsigned>(load(data, size, 20, 1));
    const std::uint64_t file_size = load(data, size, 16, 4) % (std::uint64_t{1} << 21);
    const std::uint64_t position = shape_position(load(data, size, 0, 8), shape, file_size);
    const std::uint64_t half_width = shape_half_width(load(data, size, 8, 8), shape >> 2);

    std::string content;
    if (size > 21)
        content.assign(reinterpret_cast<const char*>(data) + 21, size - 21);
    if (content.size() > file_size)
        content.resize(file_size);
    const std::string path = root + "/GRCh37/1.txt";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 ||
        ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        ::ftruncate(fd, static_cast<off_t>(file_size)) != 0) {
        std::perror("writing the reference file");
        std::abort();
    }
    ::close(fd);

    const int descriptors_before = lowest_free();
    WindowReader reader;
    check_read(reader, content, file_size, position, half_width);
    // The same reader again, with a narrower window: its reused buffers must not show through.
    check_read(reader, content, file_size, position, half_width / 2);
    if (lowest_free() != descriptors_before) {
        std::fprintf(stderr, "a descriptor was left open\n");
        std::abort();
    }
    return 0;
}
