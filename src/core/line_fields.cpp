#include "line_fields.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mutflank {
namespace {

// A line is walked in blocks of 64 bytes; each block gives two bit masks (bit i for byte
// i of the block): its tabs, and its bytes with the high bit set (anything not ASCII).
constexpr std::size_t block_size = 64;

struct BlockMasks {
    std::uint64_t tabs = 0;
    std::uint64_t high = 0;
};

#if defined(__SSE2__)
constexpr std::size_t chunk_size = 16;

// Adds the chunk at `p`, less its first `skip` bytes, as bytes `at`... of the block.
void add_chunk(BlockMasks& m, const char* p, std::size_t skip, std::size_t at) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto tabs = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))));
    const auto high = static_cast<std::uint32_t>(_mm_movemask_epi8(bytes));
    m.tabs |= static_cast<std::uint64_t>(tabs >> skip) << at;
    m.high |= high;
}

// The masks of bytes [base, base + n) of a line of `size` bytes, n <= 64.
[[gnu::always_inline]] inline BlockMasks block_masks(const char* data, std::size_t size, std::size_t base,
                       std::size_t n) noexcept {
    BlockMasks m;
    std::size_t i = 0;
    for (; i + chunk_size <= n; i += chunk_size)
        add_chunk(m, data + base + i, 0, i);
    if (i == n)
        return m;
    if (size >= chunk_size) {
        // The chunk that ends with the block's last byte, without the bytes already seen;
        // it starts inside the line, so nothing outside the line is read.
        const std::size_t start = base + n - chunk_size;
        add_chunk(m, data + start, base + i - start, i);
    } else {
        // A line shorter than a chunk, padded with zeros (neither tabs nor high bytes).
        char padded[chunk_size] = {};
        std::memcpy(padded, data, size);
        add_chunk(m, padded, 0, 0);
    }
    return m;
}
#else
[[gnu::always_inline]] inline BlockMasks block_masks(const char* data, std::size_t /*size*/, std::size_t base,
                       std::size_t n) noexcept {
    BlockMasks m;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(data[base + i]);
        m.tabs |= static_cast<std::uint64_t>(c == '\t') << i;
        m.high |= static_cast<std::uint64_t>(c >> 7) << i;
    }
    return m;
}
#endif

// The number of set bits, without the popcnt instruction that baseline x86-64 lacks.
std::size_t count_bits(std::uint64_t x) noexcept {
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<std::size_t>((x * 0x0101010101010101ULL) >> 56);
}

} // namespace

LineFields::LineFields(std::string_view line) noexcept : line_(line) { // NOLINT: tab_at_
    const char* const data = line.data();
    const std::size_t size = line.size();
    if (size == 0)
        return;

    // The first block holds every tab of a typical line: its first ten positions are
    // taken without branches. Once the tabs run out, the sentinel bit makes the entries
    // 63, scratch beyond the count.
    BlockMasks m = block_masks(data, size, 0, std::min(size, block_size));
    std::uint64_t high = m.high;
    std::uint64_t tabs = m.tabs;
    constexpr std::uint64_t sentinel = std::uint64_t{1} << 63;
#pragma GCC unroll 10
    for (std::size_t k = 0; k < fields_needed; ++k) {
        tab_at_[k] = static_cast<std::size_t>(std::countr_zero(tabs | sentinel));
        tabs &= tabs - 1;
    }
    tabs_found_ = std::min(count_bits(m.tabs), fields_needed);

    // A longer line: further tabs while fewer than ten are known, and the UTF-8 check.
    for (std::size_t base = block_size; base < size; base += block_size) {
        m = block_masks(data, size, base, std::min(size - base, block_size));
        high |= m.high;
        for (tabs = m.tabs; tabs != 0 && tabs_found_ < fields_needed; tabs &= tabs - 1)
            tab_at_[tabs_found_++] = base + static_cast<std::size_t>(std::countr_zero(tabs));
    }
    text_ = high == 0 ? Utf8::ascii : check_utf8(line);
}

} // namespace mutflank
