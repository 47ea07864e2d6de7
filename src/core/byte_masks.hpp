// Bit masks of the line feeds, tabs and non-ASCII bytes in 64 bytes of text, so that lines
// and fields are found without looking at the bytes one at a time.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mutflank {

struct ByteMasks {
    std::uint64_t line_feeds; // bit i set when byte i is a line feed
    std::uint64_t tabs;       // bit i set when byte i is a tab
    bool ascii;               // no byte has its high bit set
};

// The masks of the 64 bytes at `p`, which must all be readable.
inline ByteMasks byte_masks(const char* p) noexcept {
#if defined(__SSE2__)
    const auto* v = reinterpret_cast<const __m128i*>(p);
    const __m128i a = _mm_loadu_si128(v);
    const __m128i b = _mm_loadu_si128(v + 1);
    const __m128i c = _mm_loadu_si128(v + 2);
    const __m128i d = _mm_loadu_si128(v + 3);
    const auto mask_of = [&](char byte) {
        const __m128i wanted = _mm_set1_epi8(byte);
        const auto bits = [&](__m128i x) {
            return static_cast<std::uint64_t>(
                static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, wanted))));
        };
        return bits(a) | bits(b) << 16 | bits(c) << 32 | bits(d) << 48;
    };
    const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    return {mask_of('\n'), mask_of('\t'), _mm_movemask_epi8(any) == 0};
#else
    ByteMasks m{0, 0, true};
    for (int i = 0; i < 64; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        m.line_feeds |= static_cast<std::uint64_t>(c == '\n') << i;
        m.tabs |= static_cast<std::uint64_t>(c == '\t') << i;
        m.ascii = m.ascii && c < 0x80U;
    }
    return m;
#endif
}

} // namespace mutflank
