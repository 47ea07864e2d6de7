#include "position.hpp"

namespace mutflank {
namespace {

// Up to this many digits no unsigned 64-bit value can overflow.
constexpr std::size_t digits_without_overflow = 16;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

} // namespace

Result<std::uint64_t> parse_position(std::string_view text) noexcept {
    if (text.empty())
        return internal_error(messages::position_empty);
    if (text.size() == 1 && (text[0] == '+' || text[0] == '-'))
        return internal_error(messages::position_invalid_digit);
    if (text[0] == '+')
        text.remove_prefix(1);

    std::uint64_t value = 0;
    if (text.size() <= digits_without_overflow) {
        for (const char c : text) {
            if (!is_digit(c))
                return internal_error(messages::position_invalid_digit);
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return value;
    }
    for (const char c : text) {
        // The digit test comes first: a non-digit wins over an overflow at the same place.
        if (!is_digit(c))
            return internal_error(messages::position_invalid_digit);
        std::uint64_t next = 0;
        if (__builtin_mul_overflow(value, std::uint64_t{10}, &next) ||
            __builtin_add_overflow(next, static_cast<std::uint64_t>(c - '0'), &value))
            return internal_error(messages::position_overflow);
    }
    return value;
}

std::optional<std::uint64_t> record_position(std::string_view text, bool signed_) noexcept {
    if (!signed_ && !text.empty() && text.front() == '+')
        return std::nullopt;
    const auto parsed = parse_position(text);
    if (!parsed.ok() || parsed.value() == 0)
        return std::nullopt;
    return parsed.value();
}

} // namespace mutflank
