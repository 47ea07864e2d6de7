// Hostile table layouts for the line reader and the field splitter: every line end, tab and
// multi-byte character at every phase of the 8192-byte read blocks (and of any narrower
// chunk the scanner may work in), lines of exactly one block, and a table without any line
// feed.
#include <gtest/gtest.h>
#include <string>
#include <tuple>

#include "mutflank_core.hpp"
#include "support.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

constexpr std::size_t block = 8192;
// Chromosome 1: position 6 is G with T before and C after.
constexpr std::string_view chromosome = "ACGTTGCAACGT";

std::string record(std::string_view key, std::string_view unused = "x",
                   std::string_view alt = "T") {
    return std::string(key) + "\tS\t" + std::string(unused) + "\tGRCh37\tSNP\t1\t6\t6\tC\t" +
           std::string(alt);
}

class Hostile : public ::testing::Test {
  protected:
    Hostile() { dir.write_reference("GRCh37", "1", chromosome); }

    Result<std::vector<Row>> scan(std::string_view table) {
        const int before = testing::open_descriptors();
        auto rows =
            scan_file(dir.write("table.tsv", table), dir.path(), 1, testing::io_under_test());
        EXPECT_EQ(testing::open_descriptors(), before);
        return rows;
    }

    TempDir dir;
};

// A padding line of `shift` bytes, then records until three blocks are full: over the shifts,
// every byte of a record (its tabs, its last field, its terminator) meets every block phase.
class BlockPhase : public Hostile,
                   public ::testing::WithParamInterface<std::tuple<const char*, int>> {};

TEST_P(BlockPhase, EveryRecordIsReadWhole) {
    const std::string terminator = std::get<0>(GetParam());
    const int shift = std::get<1>(GetParam());
    std::string table(static_cast<std::size_t>(shift), 'y');
    table += terminator;
    std::size_t records = 0;
    while (table.size() < 3 * block) {
        table += record("P" + std::to_string(records)) + terminator;
        ++records;
    }
    const auto rows = scan(table);
    ASSERT_TRUE(rows.ok()) << rows.error().message;
    ASSERT_EQ(rows.value().size(), records);
    for (std::size_t i = 0; i < records; ++i) {
        EXPECT_EQ(rows.value()[i].key, "P" + std::to_string(i) + "::S") << i;
        EXPECT_EQ(rows.value()[i].context, "T[C>T]C") << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Shifts, BlockPhase,
                         ::testing::Combine(::testing::Values("\n", "\r\n"),
                                            ::testing::Range(0, 72)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)[0] == '\r' ? "Crlf"
                                                                                   : "Lf") +
                                    "Shift" + std::to_string(std::get<1>(info.param));
                         });

// A record whose key holds characters of two, three and four bytes, placed so that one of
// them is split by the block boundary at each possible byte.
class SplitCharacter : public Hostile, public ::testing::WithParamInterface<int> {};

TEST_P(SplitCharacter, KeepsTheCharacterWhole) {
    const std::string key = "K\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"; // K, e-acute, CJK, emoji
    const std::string line = record(key);
    const std::size_t pad = block - static_cast<std::size_t>(GetParam());
    const std::string table = std::string(pad - 1, 'y') + "\n" + line + "\n";
    const auto rows = scan(table);
    ASSERT_TRUE(rows.ok()) << rows.error().message;
    ASSERT_EQ(rows.value().size(), 1U);
    EXPECT_EQ(rows.value()[0].key, key + "::S");
}

INSTANTIATE_TEST_SUITE_P(Offsets, SplitCharacter, ::testing::Range(0, 12));

// The same placements with a character cut short at the line end: always invalid UTF-8.
class TruncatedCharacter : public Hostile, public ::testing::WithParamInterface<int> {};

TEST_P(TruncatedCharacter, IsAReadError) {
    const std::size_t pad = block - static_cast<std::size_t>(GetParam());
    const std::string table =
        std::string(pad - 1, 'y') + "\n" + record("P") + "\n" + record("Q", "\xF0\x9F\x98") + "\n";
    const auto rows = scan(table);
    ASSERT_FALSE(rows.ok());
    EXPECT_EQ(rows.error(), io_error(messages::read_line));
}

INSTANTIATE_TEST_SUITE_P(Offsets, TruncatedCharacter, ::testing::Range(0, 48));

struct LengthCase {
    std::string_view name;
    std::size_t length; // of the record line, terminator excluded
    std::string_view terminator;
};

class OneLine : public Hostile, public ::testing::WithParamInterface<LengthCase> {};

// A record padded in its unused field to exactly `length` bytes.
TEST_P(OneLine, OfAnyLengthIsRead) {
    const LengthCase& c = GetParam();
    const std::size_t bare = record("P", "").size();
    const std::string table =
        record("P", std::string(c.length - bare, 'u')) + std::string(c.terminator);
    ASSERT_EQ(table.size(), c.length + c.terminator.size());
    const auto rows = scan(table);
    ASSERT_TRUE(rows.ok()) << rows.error().message;
    ASSERT_EQ(rows.value().size(), 1U);
    EXPECT_EQ(rows.value()[0].context, "T[C>T]C");
}

INSTANTIATE_TEST_SUITE_P(Lengths, OneLine,
                         ::testing::Values(LengthCase{"BlockMinusOneNoLf", block - 1, ""},
                                           LengthCase{"BlockNoLf", block, ""},
                                           LengthCase{"BlockPlusOneNoLf", block + 1, ""},
                                           LengthCase{"BlockMinusOneLf", block - 1, "\n"},
                                           LengthCase{"BlockLf", block, "\n"},
                                           LengthCase{"BlockMinusTwoCrlf", block - 2, "\r\n"},
                                           LengthCase{"BlockMinusOneCrlf", block - 1, "\r\n"},
                                           LengthCase{"TwoBlocksNoLf", 2 * block, ""},
                                           LengthCase{"TwoBlocksCrlf", 2 * block, "\r\n"},
                                           LengthCase{"FourMegabytesNoLf", 4 << 20, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hostile, CarriageReturnAtTheEndOfABlockWithoutLineFeed) {
    // "\r" is the last byte of the first block and of the file: it stays in the alt field.
    const std::string line = record("P", std::string(block - 1 - record("P", "").size(), 'u'));
    const auto rows = scan(line + "\r");
    ASSERT_TRUE(rows.ok());
    EXPECT_TRUE(rows.value().empty());
}

TEST_F(Hostile, ManyEmptyLinesAndLoneCarriageReturns) {
    std::string table;
    for (int i = 0; i < 50'000; ++i)
        table += i % 3 == 0 ? "\n" : i % 3 == 1 ? "\r\n" : "\r\r\r\n";
    table += record("P") + "\n";
    const auto rows = scan(table);
    ASSERT_TRUE(rows.ok());
    EXPECT_EQ(rows.value().size(), 1U);
}

TEST_F(Hostile, TabsOnly) {
    // A line of a million empty fields, then a record: only the first ten fields count.
    const auto rows = scan(std::string(1'000'000, '\t') + "\n" + record("P") + "\n");
    ASSERT_TRUE(rows.ok());
    EXPECT_EQ(rows.value().size(), 1U);
}

} // namespace
} // namespace mutflank
