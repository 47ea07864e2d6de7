#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sbs_channel.hpp"

namespace mutflank {
namespace {

struct ChannelCase {
    const char* name;
    std::vector<std::int16_t> window;
    char ref, alt;
    std::int64_t expected; // (class * 4^flank + left) * 4^flank + right, or -1 - reason
};

class SbsChannel : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(SbsChannel, OfTheWindow) {
    const ChannelCase& c = GetParam();
    const int flank = static_cast<int>(c.window.size() / 2);
    EXPECT_EQ(sbs_channel(c.window, c.ref, c.alt, flank), c.expected);
}

constexpr std::int64_t start = -1 - static_cast<std::int64_t>(SbsReason::at_start);
constexpr std::int64_t end = -1 - static_cast<std::int64_t>(SbsReason::near_end);
constexpr std::int64_t other = -1 - static_cast<std::int64_t>(SbsReason::not_acgt);
// Bases: A 0, C 1, G 2, T 3; strand bits above them (4, 8, 12) change nothing.
INSTANTIATE_TEST_SUITE_P(
    Cases, SbsChannel,
    ::testing::Values(
        ChannelCase{"ACGCtoT", {0, 1, 2}, 'C', 'T', (2 * 4 + 0) * 4 + 2},       // A[C>T]G
        ChannelCase{"StrandBits", {0 | 4, 1 | 8, 2 | 12}, 'C', 'T', (2 * 4 + 0) * 4 + 2},
        ChannelCase{"PurineReadOnTheOtherStrand", {0, 2, 3}, 'G', 'A', (2 * 4 + 0) * 4 + 3},
        ChannelCase{"TtoG", {3, 3, 3}, 'T', 'G', (5 * 4 + 3) * 4 + 3},          // T[T>G]T
        ChannelCase{"AtoC", {1, 0, 1}, 'A', 'C', (5 * 4 + 2) * 4 + 2},          // G[T>G]G
        ChannelCase{"TwoEachSide", {3, 0, 1, 2, 3}, 'C', 'A', (0 * 16 + 12) * 16 + 11},
        // TAGGT read backwards on the other strand: AC[C>A]TA
        ChannelCase{"PurineTwoEachSide", {3, 0, 2, 2, 3}, 'G', 'T', (0 * 16 + 1) * 16 + 12},
        ChannelCase{"AtStart", {-1, 1, 2}, 'C', 'T', start},
        ChannelCase{"NearEnd", {0, 1, -1}, 'C', 'T', end},
        ChannelCase{"EndWinsOverStart", {-1, 1, -1}, 'C', 'T', end},
        ChannelCase{"StartWinsOverN", {-1, 16, 1, 2, 3}, 'C', 'T', start},
        ChannelCase{"NBeside", {16, 1, 2}, 'C', 'T', other},
        ChannelCase{"NoBaseBeside", {0, 1, 255}, 'C', 'T', other},
        ChannelCase{"CentreNotRead", {0, 20, 2}, 'C', 'T', (2 * 4 + 0) * 4 + 2}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace mutflank
