#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "indel_class.hpp"

namespace mutflank {
namespace {

// The window of `side` bases on each side of 1-based `position` in `genome` (bytes 0..3 for
// A, C, G, T; -1 off the chromosome).
std::vector<std::int16_t> window(std::string_view genome, std::size_t position,
                                 std::size_t side) {
    std::vector<std::int16_t> bytes(2 * side + 1, -1);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto at = static_cast<std::ptrdiff_t>(position - 1 + i) -
                        static_cast<std::ptrdiff_t>(side);
        if (at >= 0 && at < static_cast<std::ptrdiff_t>(genome.size()))
            bytes[i] = static_cast<std::int16_t>(
                std::string_view("ACGT").find(genome[static_cast<std::size_t>(at)]));
    }
    return bytes;
}

std::int64_t code(bool insertion, int size, IndelUnit unit, int count) {
    return IndelClass{insertion, static_cast<std::uint8_t>(size), unit,
                      static_cast<std::uint8_t>(count)}.code();
}

struct IndelCase {
    const char* name;
    std::string genome;
    std::size_t position;
    const char* ref;
    const char* alt;
    std::int64_t expected;
};

class ClassifyIndel : public ::testing::TestWithParam<IndelCase> {};

TEST_P(ClassifyIndel, OfTheReference) {
    const IndelCase& c = GetParam();
    const auto bytes = window(c.genome, c.position, 64);
    const IndelOutcome outcome = classify_indel(bytes, 64, c.ref, c.alt);
    EXPECT_EQ(outcome.wider, 0U);
    EXPECT_EQ(outcome.code, c.expected);
}

constexpr std::int64_t complex = -1 - static_cast<std::int64_t>(IndelReason::complex);
constexpr std::int64_t other = -1 - static_cast<std::int64_t>(IndelReason::not_acgt);
const std::string flank = "GATCGATCGA";

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassifyIndel,
    ::testing::Values(
        // Deleting one A of AAAA (anywhere in the run): left aligned, three copies follow.
        IndelCase{"HomopolymerDeletion", flank + "CAAAAC" + flank, 13, "AA", "A",
                  code(false, 1, IndelUnit::t, 3)},
        IndelCase{"HomopolymerDeletionOfAMaf", flank + "CAAAAC" + flank, 14, "A", "-",
                  code(false, 1, IndelUnit::t, 3)},
        // A G inserted after the C of CGGC: the run of two Gs follows the insertion point.
        IndelCase{"InsertionFoldedToC", flank + "CGGC" + flank, 11, "C", "CG",
                  code(true, 1, IndelUnit::c, 2)},
        IndelCase{"InsertionOfAMaf", flank + "CGGC" + flank, 11, "-", "G",
                  code(true, 1, IndelUnit::c, 2)},
        // Deleting CAG of CAGCAGT: one copy follows.
        IndelCase{"RepeatDeletion", flank + "TCAGCAGT" + flank, 11, "TCAG", "T",
                  code(false, 3, IndelUnit::repeat, 1)},
        // Deleting ACGTA before ACGG: the unit's prefix ACG follows it (microhomology 3).
        IndelCase{"Microhomology", flank + "TACGTAACGGT" + flank, 11, "TACGTA", "T",
                  code(false, 5, IndelUnit::microhomology, 3)},
        IndelCase{"LongDeletionWithoutHomology", flank + "TACCCCCGT" + flank, 11, "TACCCCC", "T",
                  code(false, 5, IndelUnit::repeat, 0)},
        IndelCase{"Complex", flank + "TACGT" + flank, 11, "TAC", "GG", complex},
        IndelCase{"NotAcgt", flank + "TACGT" + flank, 11, "T", "TN", other},
        IndelCase{"NoBases", flank + "TACGT" + flank, 11, "-", "", other}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClassifyIndel, AsksForMoreReferenceWhereLeftAlignmentReachesTheWindowStart) {
    const std::string genome = "G" + std::string(100, 'A');
    // Deleting the last A of a run longer than the window: it moves past the window's start.
    const auto narrow = window(genome, 100, 32);
    const IndelOutcome first = classify_indel(narrow, 32, "AA", "A");
    EXPECT_EQ(first.wider, 128U);
    const auto wide = window(genome, 100, first.wider);
    const IndelOutcome second = classify_indel(wide, first.wider, "AA", "A");
    EXPECT_EQ(second.wider, 0U);
    EXPECT_EQ(second.code, code(false, 1, IndelUnit::t, 5));
}

TEST(ClassifyIndel, AsksForMoreReferenceForALongUnit) {
    const std::string genome = flank + "T" + std::string(40, 'C') + flank;
    const auto bytes = window(genome, 11, 32);
    EXPECT_EQ(classify_indel(bytes, 32, "T" + std::string(40, 'C'), "T").wider, 512U);
}

} // namespace
} // namespace mutflank
