// An independent, deliberately plain model of the reference window rules, used by the fuzz
// targets to check the core's answers rather than only its survival.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"

namespace mutflank::fuzz {

constexpr std::uint64_t two_to_63 = std::uint64_t{1} << 63;

// Exact arithmetic: 1-based positions plus half-widths reach 2^65 at most.
using wide = unsigned __int128;

// Which answers a read of one window may give. A seek past the end of a file is accepted by
// some file systems and refused by others, so there a seek error and the next outcome are
// both right.
struct WindowExpectation {
    bool may_succeed = false;
    bool may_fail_seek = false;
    bool may_fail_read = false;
    bool may_overflow = false;
    bool no_base = false; // position 0: no window at all
    wide start = 0;       // 0-based offset of the window's first byte
    wide length = 0;
    std::uint64_t position_index = 0; // index of the position's own byte in the window
};

// Expected outcome for a window of `half_width` around 1-based `position` in a regular file of
// `file_size` bytes.
inline WindowExpectation expect_window(std::uint64_t position, std::uint64_t half_width,
                                       std::uint64_t file_size) {
    WindowExpectation e;
    if (position == 0) {
        // Names no base: whatever the half-width, the read fails at the seek.
        e.no_base = true;
        e.may_fail_seek = true;
        return e;
    }
    // Bases first..last, 1-based and inclusive, the first clamped at the chromosome start.
    const wide first = position > half_width ? wide{position} - half_width : 1;
    const wide last = wide{position} + half_width;
    e.start = first - 1;
    e.length = last - first + 1;
    e.position_index = static_cast<std::uint64_t>(position - first);
    if (e.start >= two_to_63) {
        e.may_fail_seek = true;
        return e;
    }
    if (e.start > file_size) {
        // The file system may refuse the offset; otherwise the next step decides.
        e.may_fail_seek = true;
        if (e.length >= two_to_63)
            e.may_overflow = true;
        else
            e.may_fail_read = true;
        return e;
    }
    if (e.length >= two_to_63)
        e.may_overflow = true;
    else if (e.start + e.length > file_size)
        e.may_fail_read = true;
    else
        e.may_succeed = true;
    return e;
}

inline bool expectation_allows(const WindowExpectation& e, const Error& error) {
    if (error.kind == ErrorKind::internal)
        return e.may_overflow && error.message == messages::capacity_overflow;
    if (error.kind != ErrorKind::io)
        return false;
    return (e.may_fail_seek && error.message == messages::seek) ||
           (e.may_fail_read && error.message == messages::read_window);
}

inline char model_decode(unsigned char byte) {
    if (byte < 16) {
        switch (byte % 4) {
        case 0:
            return 'A';
        case 1:
            return 'C';
        case 2:
            return 'G';
        default:
            return 'T';
        }
    }
    return byte < 20 ? 'N' : ' ';
}

inline char model_complement(char base) {
    switch (base) {
    case 'A':
        return 'T';
    case 'C':
        return 'G';
    case 'G':
        return 'C';
    case 'T':
        return 'A';
    default:
        return base;
    }
}

// The decoded flanks of a window already read: the position's own byte is dropped. Windows
// reach megabytes: the bytes go through a table of model_decode, and the loops are left out
// of the coverage that guides the fuzzer, which is the core's.
[[clang::no_sanitize("coverage")]] inline void model_flanks(std::string_view window,
                                                        std::uint64_t position_index,
                                                        std::string& left, std::string& right) {
    static const std::array<char, 256> decoded = [] {
        std::array<char, 256> table{};
        for (int byte = 0; byte < 256; ++byte)
            table[static_cast<std::size_t>(byte)] = model_decode(static_cast<unsigned char>(byte));
        return table;
    }();
    const std::size_t split = std::min<std::uint64_t>(position_index, window.size());
    left.resize(split);
    for (std::size_t i = 0; i < split; ++i)
        left[i] = decoded[static_cast<unsigned char>(window[i])];
    right.resize(window.size() > split ? window.size() - split - 1 : 0);
    for (std::size_t i = 0; i < right.size(); ++i)
        right[i] = decoded[static_cast<unsigned char>(window[split + 1 + i])];
}

// The flanks of a folded substitution: the other strand, read in its own direction.
inline std::string reverse_complement(std::string_view bases) {
    std::string out;
    for (auto it = bases.rbegin(); it != bases.rend(); ++it)
        out += model_complement(*it);
    return out;
}

} // namespace mutflank::fuzz
