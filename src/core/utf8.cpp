#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace mutflank {
namespace {

constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

bool is_continuation(unsigned char c) { return (c & 0xC0U) == 0x80U; }

// Validates `text` from `i`, where the first non-ASCII byte may be.
bool valid_from(const unsigned char* p, std::size_t n, std::size_t i) {
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80U) {
            ++i;
            continue;
        }
        if (c >= 0xC2U && c <= 0xDFU) {
            if (i + 1 >= n || !is_continuation(p[i + 1]))
                return false;
            i += 2;
        } else if (c >= 0xE0U && c <= 0xEFU) {
            if (i + 2 >= n)
                return false;
            const unsigned char c1 = p[i + 1];
            // E0 needs A0..BF (no overlong); ED needs 80..9F (no surrogates).
            const unsigned char lo = c == 0xE0U ? 0xA0U : 0x80U;
            const unsigned char hi = c == 0xEDU ? 0x9FU : 0xBFU;
            if (c1 < lo || c1 > hi || !is_continuation(p[i + 2]))
                return false;
            i += 3;
        } else if (c >= 0xF0U && c <= 0xF4U) {
            if (i + 3 >= n)
                return false;
            const unsigned char c1 = p[i + 1];
            // F0 needs 90..BF (no overlong); F4 needs 80..8F (nothing above U+10FFFF).
            const unsigned char lo = c == 0xF0U ? 0x90U : 0x80U;
            const unsigned char hi = c == 0xF4U ? 0x8FU : 0xBFU;
            if (c1 < lo || c1 > hi || !is_continuation(p[i + 2]) || !is_continuation(p[i + 3]))
                return false;
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

Utf8 check_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + i, sizeof word);
        if ((word & high_bits) != 0)
            break;
    }
    while (i < n && p[i] < 0x80U)
        ++i;
    if (i == n)
        return Utf8::ascii;
    return valid_from(p, n, i) ? Utf8::valid : Utf8::invalid;
}

} // namespace mutflank
