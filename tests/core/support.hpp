// Small fixtures for the core tests: a temporary folder with tables and reference files.
#pragma once

#include <cstdint>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "mutflank_core.hpp"

namespace mutflank {

// Readable rows and flanks in test failures.
inline void PrintTo(const Row& row, std::ostream* os) {
    *os << "{" << row.key << ", " << row.context << "}";
}
inline void PrintTo(const Flanks& flanks, std::ostream* os) {
    *os << "{" << flanks.left << ", " << flanks.right << "}";
}

} // namespace mutflank

namespace mutflank::testing {

// How the suites read reference windows, chosen on the command line (see main.cpp).
WindowIo& io_under_test();

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "mutflank-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string operator/(std::string_view name) const {
        return path_ + "/" + std::string(name);
    }

    // Writes `bytes` to the file `name` below the folder, making parent folders.
    std::string write(std::string_view name, std::string_view bytes) const {
        const std::string file = *this / name;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

    // Writes a reference file of one byte per base, encoding "ACGTN" as 0, 1, 2, 3, 16.
    std::string write_reference(std::string_view build, std::string_view chromosome,
                                std::string_view bases) const {
        std::string bytes;
        for (const char c : bases) {
            switch (c) {
            case 'A':
                bytes += '\0';
                break;
            case 'C':
                bytes += '\1';
                break;
            case 'G':
                bytes += '\2';
                break;
            case 'T':
                bytes += '\3';
                break;
            default:
                bytes += static_cast<char>(16);
                break;
            }
        }
        return write(std::string(build) + "/" + std::string(chromosome) + ".txt", bytes);
    }

  private:
    std::string path_;
};

// The number of descriptors this process has open.
inline int open_descriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

} // namespace mutflank::testing
