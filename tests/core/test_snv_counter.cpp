#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sbs_channel.hpp"
#include "snv_counter.hpp"
#include "support.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

struct Change {
    std::string_view ref, alt;
    std::optional<std::size_t> offset; // nullopt: no single changed base
    char from = 0, to = 0;
};

class SingleChangedBase : public ::testing::TestWithParam<Change> {};

TEST_P(SingleChangedBase, TrimsCommonBasesAndTakesOneBaseOfACGT) {
    const Change& want = GetParam();
    const auto got = single_changed_base(want.ref, want.alt);
    ASSERT_EQ(got.has_value(), want.offset.has_value());
    if (got) {
        EXPECT_EQ(got->offset, *want.offset);
        EXPECT_EQ(got->ref, want.from);
        EXPECT_EQ(got->alt, want.to);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Alleles, SingleChangedBase,
    ::testing::Values(Change{"A", "C", 0, 'A', 'C'}, Change{"ATG", "ACG", 1, 'T', 'C'},
                      Change{"AC", "AT", 1, 'C', 'T'}, Change{"GA", "TA", 0, 'G', 'T'},
                      Change{"AAA", "ACA", 1, 'A', 'C'}, Change{"A", "N", std::nullopt},
                      Change{"N", "A", std::nullopt}, Change{"AT", "CG", std::nullopt},
                      Change{"ANA", "ACA", std::nullopt}, Change{"A", "AT", std::nullopt},
                      Change{"A", "A", std::nullopt}, Change{"", "", std::nullopt},
                      Change{"ACGT", "TCGA", std::nullopt}));

// Chromosome of 30 bases: N at 16 (1-based).
constexpr std::string_view bases = "ACGTACGTACGTACGNACGTACGTACGTAC";

class Counter : public ::testing::Test {
  protected:
    Counter() : counter({1}, 1000) {
        counter.add_place(0, dir.write_reference("GRCh38", "1", bases), bases.size());
    }

    // An SNV of sample `sample` at `position` to `alt`, REF as the reference says.
    static Snv snv(std::uint32_t sample, std::int64_t position, char alt, std::int64_t line) {
        Snv snv;
        snv.sample = sample;
        snv.position = position;
        snv.ref = bases[static_cast<std::size_t>(position - 1)];
        snv.alt = alt;
        snv.line = line;
        return snv;
    }

    // Checks, feeds and steps `snvs` of input 0 to its end.
    SnvStep count(std::vector<Snv> snvs) {
        std::vector<SnvCheck> checks(snvs.size());
        EXPECT_FALSE(counter.check(snvs, checks).has_value());
        counter.feed(0, snvs);
        std::vector<std::span<std::int64_t>> spans{matrix};
        auto step = counter.step(0, true, spans, 2);
        EXPECT_TRUE(step.ok());
        return std::move(step).value();
    }

    TempDir dir;
    SnvCounter counter;
    std::vector<std::int64_t> matrix = std::vector<std::int64_t>(2 * 96, 0);
};

TEST_F(Counter, ChecksRefAgainstTheReferenceAndReadsTheWindow) {
    std::vector<Snv> snvs = {snv(0, 3, 'A', 1), snv(0, 31, 'A', 2), snv(0, 16, 'A', 3)};
    snvs[0].ref = 'T'; // the reference has G
    std::vector<SnvCheck> checks(snvs.size());
    ASSERT_FALSE(counter.check(snvs, checks).has_value());
    EXPECT_EQ(checks, (std::vector<SnvCheck>{SnvCheck::differs, SnvCheck::past_end,
                                             SnvCheck::differs}));
    // Bytes 1..5 (A C G T A): two before position 3 and two after it.
    EXPECT_EQ(snvs[0].window, (std::array<std::uint8_t, 5>{0, 1, 2, 3, 0}));
}

TEST_F(Counter, AdjacentSnvsOfOneSampleAreADoubletAndCopiesAreLeftOut) {
    const SnvStep step = count({snv(0, 5, 'C', 1), snv(0, 6, 'A', 2), snv(1, 6, 'A', 2),
                                snv(1, 10, 'A', 3), snv(1, 10, 'A', 4), snv(0, 20, 'A', 5),
                                snv(0, 21, 'A', 6), snv(0, 22, 'C', 7)});
    ASSERT_EQ(step.firsts.size(), 1U);
    EXPECT_EQ(step.firsts[0].position, 5);
    EXPECT_EQ(step.seconds[0].position, 6);
    // Sample 1: 6 and 10 alone (10 once, its copy lost); 20..22 of sample 0: a run of three.
    EXPECT_EQ(step.singles, 2U);
    EXPECT_EQ(step.counted, 2U);
    std::vector<SnvLoss> lost;
    for (const auto& item : step.lost)
        lost.push_back(item.reason);
    EXPECT_EQ(lost, (std::vector<SnvLoss>{SnvLoss::duplicate, SnvLoss::multi_base,
                                          SnvLoss::multi_base, SnvLoss::multi_base}));
    // Each single in the channel the rule gives, in its sample's row.
    std::vector<std::int64_t> expected(2 * 96, 0);
    for (const Snv& single : {snv(1, 6, 'A', 0), snv(1, 10, 'A', 0)}) {
        std::vector<Snv> one = {single};
        std::vector<SnvCheck> checks(1);
        ASSERT_FALSE(counter.check(one, checks).has_value());
        const std::array<std::int16_t, 3> window = {read_byte(one[0].window[1]),
                                                    read_byte(one[0].window[2]),
                                                    read_byte(one[0].window[3])};
        const auto code = sbs_channel(window, single.ref, single.alt, 1);
        ASSERT_GE(code, 0);
        ++expected[96 + static_cast<std::size_t>(code)];
    }
    EXPECT_EQ(matrix, expected);
}

TEST_F(Counter, SinglesWithoutAChannelAreHandedBackWithTheirCodes) {
    const SnvStep step = count({snv(0, 1, 'C', 1), snv(0, 15, 'A', 2), snv(0, 30, 'A', 3)});
    EXPECT_EQ(step.singles, 3U);
    EXPECT_EQ(step.counted, 0U);
    ASSERT_EQ(step.unplaced.size(), 3U);
    const auto reason = [](SbsReason why) { return -1 - static_cast<std::int64_t>(why); };
    EXPECT_EQ(step.unplaced_codes,
              (std::vector<std::int64_t>{reason(SbsReason::at_start), reason(SbsReason::not_acgt),
                                         reason(SbsReason::near_end)}));
}

TEST_F(Counter, PastTheHoldAnInputOutOfOrderStopsAtItsFirstSnvBack) {
    SnvCounter small({1}, 1);
    small.add_place(0, dir / "GRCh38/1.txt", bases.size());
    std::vector<std::span<std::int64_t>> spans{matrix};
    std::vector<Snv> first = {snv(0, 10, 'A', 1), snv(0, 20, 'A', 2)};
    std::vector<SnvCheck> checks(2);
    ASSERT_FALSE(small.check(first, checks).has_value());
    small.feed(0, first);
    auto streamed = small.step(0, false, spans, 2);
    ASSERT_TRUE(streamed.ok());
    EXPECT_FALSE(streamed.value().unsorted.has_value());
    std::vector<Snv> back = {snv(0, 25, 'A', 3), snv(0, 12, 'A', 4)};
    ASSERT_FALSE(small.check(back, checks).has_value());
    small.feed(0, back);
    auto stopped = small.step(0, false, spans, 2);
    ASSERT_TRUE(stopped.ok());
    ASSERT_TRUE(stopped.value().unsorted.has_value());
    EXPECT_EQ(stopped.value().unsorted->line, 4);
}

TEST_F(Counter, SnvsFedAmongOthersTakeThePlaceOfTheirLine) {
    SnvCounter small({1}, 1);
    small.add_place(0, dir / "GRCh38/1.txt", bases.size());
    std::vector<Snv> read = {snv(0, 10, 'A', 1), snv(0, 20, 'A', 3)};
    std::vector<Snv> pieces = {snv(0, 12, 'A', 2)};
    std::vector<SnvCheck> checks(2);
    ASSERT_FALSE(small.check(read, checks).has_value());
    ASSERT_FALSE(small.check(pieces, checks).has_value());
    small.feed(0, read);
    small.feed_among(0, pieces);
    std::vector<std::span<std::int64_t>> spans{matrix};
    auto step = small.step(0, false, spans, 2);
    ASSERT_TRUE(step.ok());
    EXPECT_FALSE(step.value().unsorted.has_value()); // 10, 12, 20: in order
}

TEST_F(Counter, ASampleBeyondTheRowsIsAnInternalError) {
    std::vector<Snv> snvs = {snv(5, 10, 'A', 1)};
    std::vector<SnvCheck> checks(1);
    ASSERT_FALSE(counter.check(snvs, checks).has_value());
    counter.feed(0, snvs);
    std::vector<std::span<std::int64_t>> spans{matrix};
    const auto step = counter.step(0, true, spans, 2);
    ASSERT_FALSE(step.ok());
    EXPECT_EQ(step.error().message, messages::sample_beyond_rows);
}

} // namespace
} // namespace mutflank
