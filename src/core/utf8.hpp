// UTF-8 validation of table lines.
#pragma once

#include <string_view>

namespace mutflank {

enum class Utf8 { ascii, valid, invalid };

// Classifies `text`: pure ASCII, valid UTF-8 with some non-ASCII character, or invalid
// (overlong forms, surrogates, values above U+10FFFF and truncated sequences are invalid).
[[nodiscard]] Utf8 check_utf8(std::string_view text) noexcept;

} // namespace mutflank
