#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "doublet_merger.hpp"

namespace mutflank {
namespace {

using Rows = std::vector<std::size_t>;

struct Snv {
    std::uint32_t sample, chromosome;
    std::int64_t position;
    char alt;
    std::int64_t phase = 0;
};

// The columns of some SNVs, as a merger is given them.
struct Held {
    std::vector<std::uint32_t> sample, chromosome;
    std::vector<std::int64_t> position, phase;
    std::vector<char> alt;

    explicit Held(const std::vector<Snv>& snvs) {
        for (const Snv& snv : snvs) {
            sample.push_back(snv.sample);
            chromosome.push_back(snv.chromosome);
            position.push_back(snv.position);
            alt.push_back(snv.alt);
            phase.push_back(snv.phase);
        }
    }
    [[nodiscard]] HeldSnvs view() const { return {sample, chromosome, position, alt, phase}; }
};

Resolved resolved(const std::vector<Snv>& snvs, bool final = true) {
    const DoubletMerger merger;
    return merger.resolve(Held(snvs).view(), final);
}

TEST(DoubletMerger, SortsRunsIntoSinglesDoubletsAndMultiBase) {
    const Resolved out = resolved({
        {0, 0, 12, 'A'}, // 0: a doublet with 2
        {0, 0, 30, 'C'}, // 1: alone
        {0, 0, 11, 'G'}, // 2
        {1, 0, 11, 'T'}, // 3: another sample beside 2: alone
        {0, 0, 40, 'A'}, // 4: 40, 41, 42: a run of three
        {0, 0, 42, 'A'}, // 5
        {0, 0, 41, 'A'}, // 6
        {0, 0, 30, 'C'}, // 7: 1 again
        {0, 1, 13, 'G'}, // 8: another chromosome beside 0: alone
        {0, 0, 50, 'C'}, // 9: two alleles at 50 and one at 51: a run of three records
        {0, 0, 50, 'G'}, // 10
        {0, 0, 51, 'T'}, // 11
        {0, 0, 60, 'C'}, // 12: two alleles at one place, no neighbour: two SNVs
        {0, 0, 60, 'T'}, // 13
    });
    EXPECT_EQ(out.firsts, (Rows{2}));
    EXPECT_EQ(out.seconds, (Rows{0}));
    EXPECT_EQ(out.singles, (Rows{1, 12, 13, 8, 3}));
    EXPECT_EQ(out.multi, (Rows{4, 6, 5, 9, 10, 11}));
    EXPECT_EQ(out.again, (Rows{7}));
    EXPECT_TRUE(out.kept.empty());
}

TEST(DoubletMerger, SortsTheSamplesWhoseRowsAreOutOfOrderAndKeepsEqualOnesAsRead) {
    // Sample 0 comes in order, sample 1 not, the two interleaved; an SNV written twice keeps
    // its first row and leaves the later one as the copy.
    const Resolved out = resolved({
        {0, 0, 10, 'A'}, // 0: a doublet with 2
        {1, 0, 21, 'C'}, // 1: the second base of a doublet with 3
        {0, 0, 11, 'C'}, // 2
        {1, 0, 20, 'G'}, // 3
        {0, 0, 30, 'T'}, // 4: alone
        {1, 0, 21, 'C'}, // 5: 1 again
        {1, 0, 5, 'A'},  // 6: alone, first of its sample once sorted
    });
    EXPECT_EQ(out.firsts, (Rows{0, 3}));
    EXPECT_EQ(out.seconds, (Rows{2, 1}));
    EXPECT_EQ(out.singles, (Rows{4, 6}));
    EXPECT_EQ(out.again, (Rows{5}));
    EXPECT_TRUE(out.multi.empty());
    EXPECT_TRUE(out.kept.empty());
}

TEST(DoubletMerger, LetsApartInputsWithoutNeighboursGoAsTheyCame) {
    const Resolved out = resolved({{1, 0, 30, 'C'}, {0, 0, 10, 'A'}, {0, 1, 20, 'G'}});
    EXPECT_EQ(out.singles, (Rows{0, 1, 2}));
}

struct PhaseCase {
    const char* name;
    std::int64_t first, second; // phase codes: haplotype bits | (phase set + 1) << 2
    bool doublet;
};

class DoubletPhase : public ::testing::TestWithParam<PhaseCase> {};

TEST_P(DoubletPhase, MergesUnlessInTrans) {
    const PhaseCase& c = GetParam();
    const Resolved out = resolved({{0, 0, 10, 'A', c.first}, {0, 0, 11, 'C', c.second}});
    EXPECT_EQ(out.firsts.size(), c.doublet ? 1U : 0U);
    EXPECT_EQ(out.singles.size(), c.doublet ? 0U : 2U);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DoubletPhase,
    ::testing::Values(PhaseCase{"InTrans", 1 | 4, 2 | 4, false},
                      PhaseCase{"InTransOfASet", 2 | 12, 1 | 12, false},
                      PhaseCase{"InCis", 1 | 4, 1 | 4, true},
                      PhaseCase{"BothHaplotypes", 3 | 4, 1 | 4, true},
                      PhaseCase{"OtherSets", 1 | 4, 2 | 8, true},
                      PhaseCase{"OneUnphased", 1 | 4, 0, true},
                      PhaseCase{"Unphased", 0, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DoubletMerger, TellsAPositionByAllItsRecords) {
    // Two alleles at 11, on either haplotype: one of them shares a molecule with 10.
    const Resolved one_apart = resolved({{0, 0, 10, 'A', 1 | 4}, {0, 0, 11, 'C', 2 | 4},
                                         {0, 0, 11, 'G', 1 | 4}});
    EXPECT_EQ(one_apart.multi, (Rows{0, 1, 2}));
    // Both at 11 on the second haplotype, 10 on the first: apart.
    const Resolved apart = resolved({{0, 0, 10, 'A', 1 | 4}, {0, 0, 11, 'C', 2 | 4},
                                     {0, 0, 11, 'G', 2 | 4}});
    EXPECT_EQ(apart.singles, (Rows{0, 1, 2}));
}

TEST(DoubletMerger, KeepsBackTheRunsALaterSnvMayExtend) {
    DoubletMerger merger;
    const Held held({{0, 0, 10, 'A'}, {0, 0, 20, 'A'}, {0, 0, 21, 'C'}, {1, 0, 5, 'G'},
                     {0, 1, 3, 'T'}});
    // Sample 0 is at 1:3 now, having left chromosome 0; sample 1 is at 0:6.
    ASSERT_EQ(merger.check_order(held.sample, held.chromosome, held.position),
              DoubletMerger::none);
    const std::vector<std::uint32_t> later_sample{1};
    const std::vector<std::uint32_t> later_chromosome{0};
    const std::vector<std::int64_t> later_position{6};
    ASSERT_EQ(merger.check_order(later_sample, later_chromosome, later_position),
              DoubletMerger::none);
    const Resolved out = merger.resolve(held.view(), false);
    EXPECT_EQ(out.kept, (Rows{4, 3}));
    EXPECT_EQ(out.singles, (Rows{0}));
    EXPECT_EQ(out.firsts, (Rows{1}));
    EXPECT_EQ(out.seconds, (Rows{2}));
}

struct OrderCase {
    const char* name;
    std::vector<Snv> first, second; // two batches
    std::size_t in_first, in_second; // the row at fault in each, or none
};

class DoubletOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(DoubletOrder, FindsTheFirstSnvOutOfItsSamplesOrder) {
    const OrderCase& c = GetParam();
    DoubletMerger merger;
    const Held first(c.first);
    const Held second(c.second);
    EXPECT_EQ(merger.check_order(first.sample, first.chromosome, first.position), c.in_first);
    EXPECT_EQ(merger.check_order(second.sample, second.chromosome, second.position),
              c.in_second);
}

constexpr std::size_t none = DoubletMerger::none;
INSTANTIATE_TEST_SUITE_P(
    Cases, DoubletOrder,
    ::testing::Values(
        OrderCase{"InterleavedSamples", {{0, 0, 5, 'A'}, {1, 0, 3, 'A'}, {0, 0, 6, 'A'}},
                  {{1, 0, 4, 'A'}, {0, 1, 1, 'A'}}, none, none},
        OrderCase{"BackwardsInABatch", {{0, 0, 5, 'A'}, {1, 0, 9, 'A'}, {1, 0, 2, 'A'}},
                  {}, 2, none},
        OrderCase{"BackwardsAcrossBatches", {{0, 0, 5, 'A'}, {1, 0, 9, 'A'}},
                  {{1, 0, 10, 'A'}, {0, 0, 4, 'A'}}, none, 1},
        OrderCase{"ChromosomeAgain", {{0, 0, 5, 'A'}, {0, 1, 2, 'A'}},
                  {{0, 0, 6, 'A'}}, none, 0},
        OrderCase{"ChromosomeAgainInABatch", {{0, 0, 5, 'A'}, {0, 1, 2, 'A'}, {0, 0, 7, 'A'}},
                  {}, 2, none},
        // Within a batch, a step back is found before a chromosome met again.
        OrderCase{"StepBackFirst", {{0, 0, 5, 'A'}, {0, 1, 2, 'A'}},
                  {{0, 0, 9, 'A'}, {1, 0, 4, 'A'}, {1, 0, 3, 'A'}}, none, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NameCodes, NumbersNamesAsTheyAreFirstMet) {
    NameCodes codes;
    EXPECT_EQ(codes.code("chr2"), 0U);
    EXPECT_EQ(codes.code("chr1"), 1U);
    EXPECT_EQ(codes.code("chr2"), 0U);
    EXPECT_EQ(codes.code(""), 2U);
    EXPECT_EQ(codes.size(), 3U);
}

} // namespace
} // namespace mutflank
