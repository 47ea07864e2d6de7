#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <utility>

#include "mutation_set.hpp"

namespace mutflank {
namespace {

struct Mutation {
    std::int64_t input;
    std::string sample, chromosome;
    std::uint64_t position;
    std::string ref, alt;
};

Fingerprint of(const Mutation& m) {
    Fingerprinter fingerprinter;
    return fingerprinter.of(m.input, m.sample, m.chromosome, m.position, m.ref, m.alt);
}

const Mutation base{-1, "S1", "chr1", 100, "C", "T"};

class FingerprintField : public ::testing::TestWithParam<std::pair<const char*, Mutation>> {};

TEST_P(FingerprintField, ChangesWithEachField) {
    const Fingerprint a = of(base);
    const Fingerprint b = of(GetParam().second);
    EXPECT_NE(a.first, b.first);
    EXPECT_NE(a.second, b.second);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FingerprintField,
    ::testing::Values(std::pair{"input", Mutation{0, "S1", "chr1", 100, "C", "T"}},
                      std::pair{"sample", Mutation{-1, "S2", "chr1", 100, "C", "T"}},
                      std::pair{"chromosome", Mutation{-1, "S1", "chr2", 100, "C", "T"}},
                      std::pair{"position", Mutation{-1, "S1", "chr1", 101, "C", "T"}},
                      std::pair{"ref", Mutation{-1, "S1", "chr1", 100, "G", "T"}},
                      std::pair{"alt", Mutation{-1, "S1", "chr1", 100, "C", "A"}},
                      // Fields that run together the same way differ by their lengths.
                      std::pair{"sample into chromosome", Mutation{-1, "S1c", "hr1", 100, "C", "T"}},
                      std::pair{"ref into alt", Mutation{-1, "S1", "chr1", 100, "", "CT"}}),
    [](const auto& info) {
        std::string name = info.param.first;
        std::erase(name, ' ');
        return name;
    });

TEST(Fingerprinter, GivesTheSameWordsWhateverCameBefore) {
    // Tallies of Dask workers are merged by these words: one mutation, one fingerprint, in a
    // fresh fingerprinter or one that has just read a longer mutation.
    Fingerprinter used;
    (void)used.of(7, "a sample of a long name", "chr22_KI270731v1_random", 1, "ACGT", "TGCA");
    EXPECT_EQ(used.of(-1, "S1", "chr1", 100, "C", "T"), of(base));
}

TEST(MutationSet, TellsFirstTimesApart) {
    MutationSet set;
    EXPECT_TRUE(set.insert({1, 2}));
    EXPECT_FALSE(set.insert({1, 2}));
    EXPECT_TRUE(set.insert({1, 3})); // one word in common is another mutation
    EXPECT_TRUE(set.insert({4, 2}));
    EXPECT_TRUE(set.insert({0, 0})); // the empty slot's value is a fingerprint too
    EXPECT_FALSE(set.insert({0, 0}));
    EXPECT_EQ(set.size(), 4U);
    set.clear();
    EXPECT_EQ(set.size(), 0U);
    EXPECT_TRUE(set.insert({1, 2}));
    EXPECT_TRUE(set.insert({0, 0}));
}

TEST(MutationSet, KeepsEveryFingerprintAsItGrows) {
    // Many fingerprints whose first words fall into one slot, and as many spread out: every
    // one is new once and known after, across several growths of the table.
    MutationSet set;
    for (std::uint64_t i = 0; i < 5000; ++i) {
        const Fingerprint crowded{i << 40, i};
        const Fingerprint spread{i * 0x9E3779B97F4A7C15ULL, ~i};
        EXPECT_TRUE(set.insert(crowded)) << i;
        EXPECT_TRUE(set.insert(spread)) << i;
    }
    EXPECT_EQ(set.size(), 10000U);
    for (std::uint64_t i = 0; i < 5000; ++i) {
        EXPECT_FALSE(set.insert({i << 40, i})) << i;
        EXPECT_FALSE(set.insert({i * 0x9E3779B97F4A7C15ULL, ~i})) << i;
    }
    EXPECT_EQ(set.size(), 10000U);
}

TEST(MutationSet, InsertsManyAsOneAtATime) {
    // A batch large enough to grow the table, with copies within it and of earlier batches.
    std::vector<std::uint64_t> first, second;
    for (std::uint64_t i = 0; i < 3000; ++i) {
        first.push_back((i % 1100) * 0x9E3779B97F4A7C15ULL);
        second.push_back(i % 1100 == 7 ? 0 : i % 1100);
    }
    MutationSet one, many;
    for (std::uint64_t i = 0; i < 500; ++i) {
        EXPECT_TRUE(one.insert({first[i], second[i]}));
        EXPECT_TRUE(many.insert({first[i], second[i]}));
    }
    std::vector<std::uint8_t> is_new(first.size());
    many.insert(first, second, is_new);
    std::size_t fresh = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(is_new[i] != 0, one.insert({first[i], second[i]})) << i;
        fresh += is_new[i];
    }
    EXPECT_EQ(fresh, 600U);
    EXPECT_EQ(many.size(), 1100U);
}

} // namespace
} // namespace mutflank
