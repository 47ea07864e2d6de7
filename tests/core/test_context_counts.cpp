#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../../fuzz/context_model.hpp"
#include "context_counts.hpp"
#include "support.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

// The contexts spelled as text, to read a difference: "T:ACA" (strand letter, text).
struct ModelCounts {
    std::map<std::string, std::uint64_t> trinucleotides;
    std::map<std::string, std::uint64_t> pentanucleotides;
    std::map<std::string, std::uint64_t> dinucleotides;
};

// Counts spelled as text.
ModelCounts spelled(const ContextCounts& counts) {
    constexpr std::string_view bases = "ACGT";
    constexpr std::string_view strands = "TUBN";
    ModelCounts out;
    for (unsigned s = 0; s < 4; ++s)
        for (unsigned i = 0; i < 32; ++i)
            if (counts.trinucleotides[s][i] != 0)
                out.trinucleotides[std::string(1, strands[s]) + ":" + bases[i >> 2U & 3U] +
                                   (i < 16 ? 'C' : 'T') + bases[i & 3U]] =
                    counts.trinucleotides[s][i];
    for (unsigned i = 0; i < 512; ++i)
        if (counts.pentanucleotides[i] != 0)
            out.pentanucleotides[std::string{bases[i >> 6U & 3U], bases[i >> 4U & 3U],
                                             i < 256 ? 'C' : 'T', bases[i >> 2U & 3U],
                                             bases[i & 3U]}] = counts.pentanucleotides[i];
    for (unsigned i = 0; i < 10; ++i)
        if (counts.dinucleotides[i] != 0)
            out.dinucleotides[std::string(canonical_dinucleotides[i])] = counts.dinucleotides[i];
    return out;
}

void expect_same(const ModelCounts& got, const ModelCounts& want) {
    EXPECT_EQ(got.trinucleotides, want.trinucleotides);
    EXPECT_EQ(got.pentanucleotides, want.pentanucleotides);
    EXPECT_EQ(got.dinucleotides, want.dinucleotides);
}

std::string encode(std::string_view bases) {
    std::string bytes;
    for (const char c : bases)
        bytes += static_cast<char>(c == 'A' ? 0 : c == 'C' ? 1 : c == 'G' ? 2 : c == 'T' ? 3 : 16);
    return bytes;
}

ContextCounts in_memory(const std::string& bytes, const std::vector<Interval>& regions,
                        bool whole) {
    ContextCounts counts;
    const auto error =
        count_contexts({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()},
                       regions, whole, counts);
    EXPECT_FALSE(error.has_value()) << error->message;
    return counts;
}

TEST(ContextCounts, SpellsOneSmallChromosome) {
    // ACGTA: trinucleotides ACG, CGT (its centre G read on the other strand: ACG) and GTA;
    // pentanucleotide ACGTA (as TACGT); dinucleotides AC, CG, GT (as AC) and TA.
    const auto counts = spelled(in_memory(encode("ACGTA"), {}, true));
    EXPECT_EQ(counts.trinucleotides,
              (std::map<std::string, std::uint64_t>{{"N:ACG", 2}, {"N:GTA", 1}}));
    EXPECT_EQ(counts.pentanucleotides, (std::map<std::string, std::uint64_t>{{"TACGT", 1}}));
    EXPECT_EQ(counts.dinucleotides,
              (std::map<std::string, std::uint64_t>{{"AC", 2}, {"CG", 1}, {"TA", 1}}));
}

TEST(ContextCounts, LeavesOutContextsWithNoBase) {
    // N (16) and a byte that is no base (200) stop every context that holds them.
    std::string bytes = encode("ACNGT");
    const auto with_n = spelled(in_memory(bytes, {}, true));
    EXPECT_TRUE(with_n.trinucleotides.empty());
    EXPECT_TRUE(with_n.pentanucleotides.empty());
    EXPECT_EQ(with_n.dinucleotides, (std::map<std::string, std::uint64_t>{{"AC", 2}}));
    bytes[2] = static_cast<char>(200);
    EXPECT_EQ(spelled(in_memory(bytes, {}, true)).dinucleotides, with_n.dinucleotides);
}

TEST(ContextCounts, RegionCountsCentresAndReadsFlanksOutside) {
    // Only the centre at offset 4 (T of GTA) is in the region; its flanks lie outside it.
    const auto counts = spelled(in_memory(encode("AACGTAAT"), {{4, 5}}, false));
    EXPECT_EQ(counts.trinucleotides, (std::map<std::string, std::uint64_t>{{"N:GTA", 1}}));
    EXPECT_EQ(counts.pentanucleotides, (std::map<std::string, std::uint64_t>{{"CGTAA", 1}}));
    EXPECT_TRUE(counts.dinucleotides.empty()); // its second base, offset 4, is outside
}

TEST(ContextCounts, StrandBitsOfTheCentreTellTheStrand) {
    // C in a + gene: untranscribed; G in a + gene: transcribed; both strands: B.
    std::string bytes = encode("ACAAGAACA");
    bytes[1] = static_cast<char>(1 + 4);  // C, + gene
    bytes[4] = static_cast<char>(2 + 4);  // G, + gene
    bytes[7] = static_cast<char>(1 + 12); // C, genes on both strands
    const auto counts = spelled(in_memory(bytes, {}, true));
    // The A centres carry no strand bits: N.
    EXPECT_EQ(counts.trinucleotides, (std::map<std::string, std::uint64_t>{{"U:ACA", 1},
                                                                           {"T:TCT", 1},
                                                                           {"B:ACA", 1},
                                                                           {"N:TTG", 1},
                                                                           {"N:CTT", 1},
                                                                           {"N:TTC", 1},
                                                                           {"N:GTT", 1}}));
}

TEST(ContextCounts, RefusesRegionsOutOfOrder) {
    ContextCounts counts;
    const std::string bytes = encode("ACGTACGT");
    const std::span<const unsigned char> view{reinterpret_cast<const unsigned char*>(bytes.data()),
                                              bytes.size()};
    for (const std::vector<Interval>& regions :
         {std::vector<Interval>{{4, 6}, {1, 2}}, std::vector<Interval>{{1, 4}, {4, 6}},
          std::vector<Interval>{{3, 3}}}) {
        const auto error = count_contexts(view, regions, false, counts);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, internal_error(messages::intervals_unsorted));
    }
    EXPECT_EQ(counts, ContextCounts{});
}

// Random chromosomes with N runs, stray bytes and strand bits, against the model, whole and
// in random regions, in memory and from a file read in blocks of every small size. Plain
// chromosomes (no strand bits, long stretches of bases broken by short N runs) take the path
// that counts eight bases at a time, with its N runs at every offset of a group.
struct RandomCase {
    std::uint32_t seed;
    std::size_t length;
    bool whole;
    bool plain = false;
};

class ContextCountsRandom : public ::testing::TestWithParam<RandomCase> {};

std::string random_bytes(std::mt19937& random, std::size_t length) {
    std::string bytes(length, '\0');
    std::uniform_int_distribution<int> pick(0, 99);
    for (char& b : bytes) {
        const int roll = pick(random);
        b = static_cast<char>(roll < 90 ? roll % 16 : roll < 96 ? 16 + roll % 4 : 20 + roll);
    }
    return bytes;
}

std::string random_plain_bytes(std::mt19937& random, std::size_t length) {
    std::string bytes(length, '\0');
    std::uniform_int_distribution<int> pick(0, 999);
    for (std::size_t k = 0; k < length;) {
        const int roll = pick(random);
        if (roll < 4) { // an N run of 1 to 12, or one stray byte
            const std::size_t run =
                std::min<std::size_t>(1 + roll * 4 + pick(random) % 4, length - k);
            std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(k), run,
                        static_cast<char>(roll == 3 ? 77 : 16 + pick(random) % 4));
            k += run;
        } else {
            bytes[k++] = static_cast<char>(roll % 4);
        }
    }
    return bytes;
}

std::vector<Interval> random_regions(std::mt19937& random, std::size_t length) {
    std::set<std::uint64_t> cut;
    std::uniform_int_distribution<std::uint64_t> place(0, length + 3);
    for (int i = 0; i < 12; ++i)
        cut.insert(place(random));
    std::vector<std::uint64_t> edges(cut.begin(), cut.end());
    std::vector<Interval> regions;
    for (std::size_t i = 0; i + 1 < edges.size(); i += 2)
        if (regions.empty() || edges[i] > regions.back().end)
            regions.push_back({edges[i], edges[i + 1]});
    regions.push_back({length + 10, length + 20}); // beyond the chromosome: ignored
    return regions;
}

TEST_P(ContextCountsRandom, MatchesThePlainModel) {
    const RandomCase& c = GetParam();
    std::mt19937 random(c.seed);
    const std::string bytes =
        c.plain ? random_plain_bytes(random, c.length) : random_bytes(random, c.length);
    const auto regions = c.whole ? std::vector<Interval>{} : random_regions(random, c.length);
    const ModelCounts want = spelled(fuzz::model_counts(bytes, regions, c.whole));
    expect_same(spelled(in_memory(bytes, regions, c.whole)), want);
    TempDir dir;
    const std::string path = dir.write("chromosome.txt", bytes);
    for (const std::size_t block : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
                                    std::size_t{64}, context_block}) {
        SCOPED_TRACE("block " + std::to_string(block));
        const auto counts = count_chromosome_file(path, regions, c.whole, block);
        ASSERT_TRUE(counts.ok()) << counts.error().message;
        expect_same(spelled(counts.value()), want);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ContextCountsRandom,
                         ::testing::Values(RandomCase{1, 0, true}, RandomCase{2, 1, true},
                                           RandomCase{3, 4, true}, RandomCase{4, 5, true},
                                           RandomCase{5, 300, true}, RandomCase{6, 3000, true},
                                           RandomCase{7, 2, false}, RandomCase{8, 40, false},
                                           RandomCase{9, 300, false}, RandomCase{10, 5000, false},
                                           RandomCase{11, 20000, true, true},
                                           RandomCase{12, 20000, false, true}),
                         [](const auto& info) {
                             return "Seed" + std::to_string(info.param.seed) + "Length" +
                                    std::to_string(info.param.length) +
                                    (info.param.whole ? "Whole" : "Regions") +
                                    (info.param.plain ? "Plain" : "");
                         });

TEST(ContextCountsFile, ReportsAMissingFile) {
    TempDir dir;
    const auto counts = count_chromosome_file(dir / "absent.txt", {}, true);
    ASSERT_FALSE(counts.ok());
    EXPECT_EQ(counts.error(), io_error(messages::open_chromosome));
}

TEST(ContextCountsFile, ReportsAFolderAsUnreadable) {
    TempDir dir;
    const std::vector<Interval> regions{{0, 10}};
    const auto counts = count_chromosome_file(dir.path(), regions, false);
    ASSERT_FALSE(counts.ok());
    EXPECT_EQ(counts.error(), io_error(messages::read_chromosome));
}

} // namespace
} // namespace mutflank
