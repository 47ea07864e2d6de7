#include "reference_window.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.hpp"

namespace mutflank {
namespace {

static_assert(max_file_offset == static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()));

// Windows up to this size are read with one positioned read into the reused buffer.
constexpr std::uint64_t small_window = std::uint64_t{1} << 16;

// Larger windows grow their buffer with the data that actually arrives, starting here, so a
// window that runs past the end of a short file never allocates its whole length.
constexpr std::size_t first_chunk = std::size_t{1} << 20;

constexpr std::array<char, 256> make_decode_table(bool complement) {
    std::array<char, 256> table{};
    const char* bases = complement ? "TGCA" : "ACGT";
    for (int v = 0; v < 256; ++v) {
        if (v < 16)
            table[v] = bases[v % 4];
        else if (v < 20)
            table[v] = 'N';
        else
            table[v] = ' ';
    }
    return table;
}

constexpr std::array<char, 256> decode_table = make_decode_table(false);
constexpr std::array<char, 256> complement_table = make_decode_table(true);

int open_retrying(int directory, const char* path, int flags) noexcept {
    for (;;) {
        const int fd = ::openat(directory, path, flags);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

// Reads up to `length` bytes at `offset`; returns how many arrived, or -1 on a read error.
// Stops early only at the end of the file.
ssize_t read_fully_at(int fd, char* buffer, std::size_t length, std::uint64_t offset) noexcept {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n =
            ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<ssize_t>(done);
}

} // namespace

char decode_base(unsigned char byte) noexcept { return decode_table[byte]; }
char decode_base_complement(unsigned char byte) noexcept { return complement_table[byte]; }

Window window_around(std::uint64_t position, std::uint64_t half_width) noexcept {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    // a + b, or `most` when the true sum is 2^64 or more: such a window cannot be held either.
    const auto saturating_add = [](std::uint64_t a, std::uint64_t b) {
        return a > most - b ? most : a + b;
    };
    if (position == 0) {
        // Position 0 names no base: its window starts beyond any file, at 2^64 - 1 less the
        // half-width but never below 2^63, and fails at the seek.
        const std::uint64_t start = most - std::min(half_width, max_file_offset);
        return {start, saturating_add(saturating_add(half_width, half_width), 1), most - start};
    }
    // The bases before the position, clamped at the chromosome start.
    const std::uint64_t before = std::min(position - 1, half_width);
    // before + 1 <= position, so only the half-width after the position can pass 2^64 - 1.
    return {position - 1 - before, saturating_add(before + 1, half_width), before};
}

std::size_t reference_path(std::string_view root, std::string_view build,
                           std::string_view chromosome, std::string& path) {
    path.clear();
    path.append(root).append("/").append(build);
    const std::size_t folder_length = path.size();
    path.append("/").append(chromosome).append(".txt");
    return folder_length;
}

int open_reference(int directory, const char* path) noexcept {
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY;
    // O_NONBLOCK: a FIFO in the reference folder must not block the call; for regular files
    // it changes nothing, and a FIFO then fails at the seek.
    int fd = open_retrying(directory, path, flags | O_NONBLOCK);
    if (fd < 0 && errno == EWOULDBLOCK) {
        // The file is under a lease (an NFS delegation, a Samba oplock), whose holder has now
        // been asked to let go. Only regular files carry leases, so waiting for it cannot
        // block on a FIFO.
        struct stat status {};
        if (::fstatat(directory, path, &status, 0) == 0 && S_ISREG(status.st_mode))
            fd = open_retrying(directory, path, flags);
        else
            errno = EWOULDBLOCK;
    }
    return fd;
}

bool out_of_descriptors(int error) noexcept { return error == EMFILE || error == ENFILE; }

std::optional<Error> WindowReader::read(const std::string& path, const Window& window) {
    // A NUL would silently cut the path short.
    if (path.find('\0') != std::string::npos)
        return io_error(messages::open_reference);
    const UniqueFd fd{open_reference(AT_FDCWD, path.c_str())};
    if (!fd.valid())
        return io_error(messages::open_reference);
    return read(fd.get(), window);
}

std::optional<Error> WindowReader::read(int fd, const Window& window) {
    // Plain copies, not a structured binding: clang 14 cannot capture bindings in a lambda.
    const std::uint64_t start = window.start;
    const std::uint64_t length = window.length;
    if (start > max_file_offset)
        return io_error(messages::seek);
    const auto seek_ok = [&] { return ::lseek(fd, static_cast<off_t>(start), SEEK_SET) >= 0; };

    if (length <= small_window) {
        bytes_.resize(static_cast<std::size_t>(length));
        const ssize_t got = read_fully_at(fd, bytes_.data(), bytes_.size(), start);
        if (got == static_cast<ssize_t>(length))
            return std::nullopt;
        // Either the offset was refused or the data ended first; a seek tells which.
        return io_error(seek_ok() ? messages::read_window : messages::seek);
    }

    if (!seek_ok())
        return io_error(messages::seek);
    if (length > max_file_offset)
        return internal_error(messages::capacity_overflow);
    bytes_.clear();
    std::uint64_t have = 0;
    while (have < length) {
        const std::uint64_t chunk =
            std::min<std::uint64_t>(length - have, std::max<std::uint64_t>(first_chunk, have));
        bytes_.resize(static_cast<std::size_t>(have + chunk));
        const ssize_t got =
            read_fully_at(fd, bytes_.data() + have, static_cast<std::size_t>(chunk), start + have);
        if (got != static_cast<ssize_t>(chunk))
            return io_error(messages::read_window);
        have += chunk;
    }
    return std::nullopt;
}

} // namespace mutflank
