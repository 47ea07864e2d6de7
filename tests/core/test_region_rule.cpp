#include <cstdint>
#include <gtest/gtest.h>
#include <string_view>
#include <tuple>
#include <vector>

#include "region_rule.hpp"

namespace mutflank {
namespace {

using Case = std::tuple<std::string_view, std::string_view, std::int64_t, std::int64_t>;
class ChangedStretch : public ::testing::TestWithParam<Case> {};

TEST_P(ChangedStretch, OfARecordAt100) {
    const auto& [ref, alt, first, end] = GetParam();
    const Stretch found = changed_stretch(100, ref, alt);
    EXPECT_EQ(found.first, first);
    EXPECT_EQ(found.end, end);
}

INSTANTIATE_TEST_SUITE_P(
    Alleles, ChangedStretch,
    ::testing::Values(Case{"A", "C", 99, 100}, Case{"AC", "GT", 99, 101},
                      Case{"ACGT", "AGGA", 100, 103}, Case{"ACG", "ACG", 99, 100}, // unchanged
                      Case{"A", "AT", 100, 101}, Case{"AT", "A", 100, 101}, // after the anchor
                      Case{"CAT", "CG", 100, 101}, Case{"CAT", "GT", 99, 100},
                      // a MAF's indels, of one letter each too: an insertion after 100
                      Case{"-", "T", 100, 101}, Case{"-", "TT", 100, 101},
                      Case{"G", "-", 99, 100}, Case{"GG", "-", 99, 100}));

TEST(Within, OneIntervalHoldsTheWholeStretch) {
    const std::vector<std::int64_t> starts{10, 20, 40};
    const std::vector<std::int64_t> ends{15, 30, 41};
    const auto in = [&](std::int64_t first, std::int64_t end) {
        return within(starts.data(), ends.data(), starts.size(), {first, end});
    };
    EXPECT_FALSE(in(9, 10));
    EXPECT_TRUE(in(10, 11));
    EXPECT_TRUE(in(14, 15));
    EXPECT_FALSE(in(14, 16)); // the second base is outside
    EXPECT_FALSE(in(15, 16));
    EXPECT_TRUE(in(20, 30));
    EXPECT_TRUE(in(40, 41));
    EXPECT_FALSE(in(41, 42));
    EXPECT_FALSE(within(starts.data(), ends.data(), 0, {10, 11}));
}

// From any hint, forward and back: the same answers as a search of every interval.
TEST(Within, FromAHintAsWithout) {
    std::vector<std::int64_t> starts;
    std::vector<std::int64_t> ends;
    for (std::int64_t at = 0; at < 1000; at += 7) {
        starts.push_back(at);
        ends.push_back(at + 1 + at % 5);
    }
    for (std::size_t hint_at :
         {std::size_t{0}, std::size_t{3}, std::size_t{70}, starts.size(), std::size_t{1000}}) {
        std::size_t hint = hint_at;
        for (std::int64_t first : {-1, 0, 5, 6, 700, 3, 3, 990, 994, 995, 13, 1005, 0}) {
            const Stretch stretch{first, first + 1 + first % 2};
            const bool expected = within(starts.data(), ends.data(), starts.size(), stretch);
            EXPECT_EQ(within(starts.data(), ends.data(), starts.size(), stretch, hint), expected)
                << "from " << hint_at << " at " << first;
            EXPECT_LT(hint, starts.size());
        }
    }
}

} // namespace
} // namespace mutflank
