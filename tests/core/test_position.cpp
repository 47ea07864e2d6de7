#include <gtest/gtest.h>

#include "position.hpp"

namespace mutflank {
namespace {

struct ParseCase {
    std::string_view text;
    std::uint64_t value; // expected when `message` is empty
    std::string_view message;
};

class PositionParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PositionParsing, GivesValueOrExactMessage) {
    const ParseCase& c = GetParam();
    const auto parsed = parse_position(c.text);
    if (c.message.empty()) {
        ASSERT_TRUE(parsed.ok()) << parsed.error().message;
        EXPECT_EQ(parsed.value(), c.value);
    } else {
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.error().kind, ErrorKind::internal);
        EXPECT_EQ(parsed.error().message, c.message);
    }
}

constexpr auto empty = messages::position_empty;
constexpr auto digit = messages::position_invalid_digit;
constexpr auto over = messages::position_overflow;

INSTANTIATE_TEST_SUITE_P(
    Cases, PositionParsing,
    ::testing::Values(
        ParseCase{"1000", 1000, {}}, ParseCase{"+42", 42, {}}, ParseCase{"0", 0, {}},
        ParseCase{"007", 7, {}}, ParseCase{"18446744073709551615", 18446744073709551615ULL, {}},
        ParseCase{"+18446744073709551615", 18446744073709551615ULL, {}},
        ParseCase{"00000000000000000000000000001", 1, {}}, ParseCase{"", 0, empty},
        ParseCase{"+", 0, digit}, ParseCase{"-", 0, digit}, ParseCase{"-5", 0, digit},
        ParseCase{"++5", 0, digit}, ParseCase{"abc", 0, digit}, ParseCase{"1.5", 0, digit},
        ParseCase{" 5", 0, digit}, ParseCase{"5 ", 0, digit}, ParseCase{"5\r", 0, digit},
        ParseCase{"18446744073709551616", 0, over}, ParseCase{"99999999999999999999", 0, over},
        // Up to 16 characters no overflow is possible, so any non-digit decides.
        ParseCase{"9999999999999999x", 0, digit},
        // Beyond 16 characters the first offending character from the left decides.
        ParseCase{"99999999999999999999x", 0, over}, ParseCase{"1844674407370955161x9", 0, digit},
        ParseCase{"x99999999999999999999", 0, digit},
        ParseCase{"+99999999999999999999x", 0, over}));

} // namespace
} // namespace mutflank
