// The first ten tab-separated fields of a table line, and whether the line is UTF-8.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "utf8.hpp"

namespace mutflank {

// The number of fields a record needs; later fields are not looked at.
inline constexpr std::size_t fields_needed = 10;

class LineFields {
  public:
    LineFields() = default;
    explicit LineFields(std::string_view line) noexcept { split(line); }

    // Splits `line` (without its terminator) at its tabs and checks it for UTF-8.
    void split(std::string_view line) noexcept;

    // Splits a line whose tabs are known already, as a bitmap: bit `first_bit + i` of
    // `tab_bits` (64 bits a word, lowest bit first) is set when byte i of the line is a
    // tab. The bitmap has a word beyond the one holding the line's last byte. `text` is
    // the line's UTF-8 class, found by the caller. Inline: the line reader calls it for
    // nearly every line.
    void split(std::string_view line, const std::uint64_t* tab_bits, std::size_t first_bit,
               Utf8 text) noexcept;

    [[nodiscard]] std::string_view line() const noexcept { return line_; }

    // Whether the line has at least ten fields (nine tabs or more).
    [[nodiscard]] bool complete() const noexcept { return tabs_found_ >= fields_needed - 1; }

    [[nodiscard]] Utf8 text() const noexcept { return text_; }

    // Field i (0 to 9) of a complete line; field 9 ends at the next tab or at the end of
    // the line. The view points into the line.
    [[nodiscard]] std::string_view field(std::size_t i) const noexcept {
        const std::size_t start = i == 0 ? 0 : tab_at_[i - 1] + 1;
        const std::size_t end = i < tabs_found_ ? tab_at_[i] : line_.size();
        return {line_.data() + start, end - start};
    }

  private:
    static constexpr std::size_t window_size = 64;

    // Takes the positions of the first ten tabs from `window(base)`, the tab mask of the
    // line's bytes base to base + 63. Returns the first base it did not look at.
    template <class Window> std::size_t find_tabs(Window window) noexcept;

    std::string_view line_;
    // Positions of the first tabs; at most ten are counted, the entries after the count
    // are scratch. Every split writes all ten; they are not cleared first, which would
    // cost about as much as splitting the line.
    std::size_t tab_at_[fields_needed]; // NOLINT(modernize-avoid-c-arrays,cppcoreguidelines-pro-type-member-init)
    std::size_t tabs_found_ = 0;
    Utf8 text_ = Utf8::ascii;
};

namespace detail {

// The number of set bits, without the popcnt instruction that baseline x86-64 lacks.
inline std::size_t count_bits(std::uint64_t x) noexcept {
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<std::size_t>((x * 0x0101010101010101ULL) >> 56);
}

// The index of the lowest set bit; 63 when none is set below the sentinel bit 63.
inline std::size_t lowest_bit(std::uint64_t x) noexcept {
    return static_cast<unsigned>(std::countr_zero(x | std::uint64_t{1} << 63));
}

} // namespace detail

template <class Window> std::size_t LineFields::find_tabs(Window window) noexcept {
    // The first window holds every tab of a typical line: its first ten positions are
    // taken without branches; once the tabs run out the entries are 63, scratch beyond
    // the count.
    const std::uint64_t first = window(0);
    std::uint64_t tabs = first;
#pragma GCC unroll 10
    for (std::size_t k = 0; k < fields_needed; ++k) {
        tab_at_[k] = detail::lowest_bit(tabs);
        tabs &= tabs - 1;
    }
    tabs_found_ = std::min(detail::count_bits(first), fields_needed);

    std::size_t base = window_size;
    for (; base < line_.size() && tabs_found_ < fields_needed; base += window_size) {
        for (tabs = window(base); tabs != 0 && tabs_found_ < fields_needed; tabs &= tabs - 1)
            tab_at_[tabs_found_++] = base + detail::lowest_bit(tabs);
    }
    return base;
}

[[gnu::always_inline]] inline void LineFields::split(std::string_view line, const std::uint64_t* tab_bits,
                              std::size_t first_bit, Utf8 text) noexcept {
    line_ = line;
    text_ = text;
    find_tabs([&](std::size_t at) {
        const std::size_t bit = first_bit + at;
        const std::size_t word = bit / 64;
        const std::size_t shift = bit % 64;
        // Bits of two words; the second shifted in two steps, so that a shift of 0 takes
        // nothing from it.
        const std::uint64_t bits =
            tab_bits[word] >> shift | (tab_bits[word + 1] << 1) << (63 - shift);
        const std::size_t left = line.size() - at;
        return left >= window_size ? bits : bits & ((std::uint64_t{1} << left) - 1);
    });
}

} // namespace mutflank
