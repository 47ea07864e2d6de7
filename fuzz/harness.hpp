// What every fuzz target shares: a scratch folder removed when the process exits, the check
// that stops a run on a mismatch, the descriptor probe, writing a file whole, and the inputs
// of the text scanners' targets (gzip and BGZF packing, files in memory, a filled pipe).
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace mutflank::fuzz {

inline std::string& temp_root_path() {
    static std::string path;
    return path;
}

// Creates the folder once and returns its path.
inline const std::string& make_temp_root() {
    std::string& path = temp_root_path();
    std::string pattern =
        (std::filesystem::temp_directory_path() / "mutflank-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    path = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(temp_root_path(), ignored);
    });
    return path;
}

// Stops the run, naming what did not hold.
inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "mismatch: %s\n", what);
        std::abort();
    }
}

// A descriptor left open by the code under test would take the lowest free number.
inline int lowest_free() {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    return fd;
}

// Writes `bytes` as the whole file at `path`, or stops the run.
inline void write_file(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::perror(path.c_str());
        std::abort();
    }
    ::close(fd);
}

// `text` as one gzip member.
inline std::string gzip(std::string_view text) {
    z_stream stream{};
    deflateInit2(&stream, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, text.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// `text` as BGZF blocks of at most `block` bytes of text, then the empty end block.
inline std::string bgzf(std::string_view text, std::size_t block) {
    std::string out;
    const auto member = [&out](std::string_view part) {
        z_stream stream{};
        deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        std::string packed(deflateBound(&stream, part.size()) + 16, '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(part.data()));
        stream.avail_in = static_cast<uInt>(part.size());
        stream.next_out = reinterpret_cast<Bytef*>(packed.data());
        stream.avail_out = static_cast<uInt>(packed.size());
        deflate(&stream, Z_FINISH);
        packed.resize(stream.total_out);
        deflateEnd(&stream);
        const std::size_t size = 18 + packed.size() + 8;
        const auto little = [&out](std::uint64_t value, int bytes) {
            for (int k = 0; k < bytes; ++k)
                out += static_cast<char>((value >> (8 * k)) & 0xFF);
        };
        out += std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);
        little(size - 1, 2);
        out += packed;
        little(
            crc32(0, reinterpret_cast<const Bytef*>(part.data()), static_cast<uInt>(part.size())),
            4);
        little(part.size(), 4);
    };
    for (std::size_t at = 0; at < text.size(); at += block)
        member(text.substr(at, block));
    member("");
    return out;
}

// A file in memory holding `bytes`, its offset at the end; or stops the run.
inline int memory_file(std::string_view bytes) {
    const int fd = ::memfd_create("vcf", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::perror("memfd");
        std::abort();
    }
    return fd;
}

// The read end of a pipe that holds `bytes` whole (the inputs are at most a few pages), its
// write end closed; or stops the run.
inline int filled_pipe(std::string_view bytes) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        std::abort();
    if (::write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    ::close(ends[1]);
    return ends[0];
}

} // namespace mutflank::fuzz
