// UTF-8 validation of table lines.
#pragma once

#include <cstddef>
#include <string_view>

namespace mutflank {

enum class Utf8 { ascii, valid, invalid };

// Classifies `text`: pure ASCII, valid UTF-8 with some non-ASCII character, or invalid
// (overlong forms, surrogates, values above U+10FFFF and truncated sequences are invalid).
[[nodiscard]] Utf8 check_utf8(std::string_view text) noexcept;

// The characters of valid UTF-8 `text`: its bytes that do not continue a character.
[[nodiscard]] inline std::size_t utf8_characters(std::string_view text) noexcept {
    std::size_t count = 0;
    for (const char c : text)
        count += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1 : 0;
    return count;
}

} // namespace mutflank
