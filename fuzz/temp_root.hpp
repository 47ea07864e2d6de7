// A scratch folder for a fuzz target's reference files, removed when the process exits.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

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

} // namespace mutflank::fuzz
