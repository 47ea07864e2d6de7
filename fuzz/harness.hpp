// What every fuzz target shares: a scratch folder removed when the process exits, the check
// that stops a run on a mismatch, the descriptor probe, writing a file whole, and the inputs
// of the text scanners' targets (gzip and BGZF packing from packing.hpp, which the core's
// tests share; files in memory, a filled pipe).
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "packing.hpp"

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

using packing::bgzf;
using packing::gzip;

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
