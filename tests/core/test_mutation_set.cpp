#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

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

// Records of OrderedMutations as columns, fed in calls of a few records each.
struct Stream {
    std::vector<std::uint64_t> first, second, position;
    std::vector<std::int64_t> lane;
    std::vector<std::uint32_t> chromosome;

    void add(std::int64_t lane_code, std::uint32_t chrom, std::uint64_t pos, std::uint64_t id) {
        lane.push_back(lane_code);
        chromosome.push_back(chrom);
        position.push_back(pos);
        first.push_back(id * 0x9E3779B97F4A7C15ULL + chrom);
        second.push_back(pos);
    }

    // is_new of each record, fed `step` records a call.
    std::vector<std::uint8_t> feed(OrderedMutations& set, std::size_t step) const {
        std::vector<std::uint8_t> is_new(first.size(), 2);
        for (std::size_t at = 0; at < first.size(); at += step) {
            const std::size_t n = std::min(step, first.size() - at);
            set.insert({{first.data() + at, n},
                        {second.data() + at, n},
                        {lane.data() + at, n},
                        {chromosome.data() + at, n},
                        {position.data() + at, n}},
                       {is_new.data() + at, n});
        }
        return is_new;
    }

    // What a plain hash set says of the same fingerprints.
    std::vector<std::uint8_t> model() const {
        MutationSet set;
        std::vector<std::uint8_t> is_new;
        for (std::size_t i = 0; i < first.size(); ++i)
            is_new.push_back(set.insert({first[i], second[i]}) ? 1 : 0);
        return is_new;
    }
};

TEST(OrderedMutations, FindsRepeatsOfAPositionAcrossCalls) {
    Stream stream;
    stream.add(0, 1, 100, 1);
    stream.add(0, 1, 100, 2);
    stream.add(0, 1, 100, 1); // the group of position 100 straddles the calls of two
    stream.add(0, 1, 101, 1);
    stream.add(0, 2, 5, 1);
    stream.add(0, 2, 5, 1);
    OrderedMutations set;
    EXPECT_EQ(stream.feed(set, 2), (std::vector<std::uint8_t>{1, 1, 0, 1, 1, 0}));
    EXPECT_TRUE(set.in_order(0));
    EXPECT_EQ(set.size(), 4U);
}

struct Disorder {
    const char* name;
    std::uint32_t chromosome;
    std::uint64_t position;
};

class OrderedMutationsDisorder : public ::testing::TestWithParam<Disorder> {};

TEST_P(OrderedMutationsDisorder, FallsBackToTheHashSetWithWhatWasKept) {
    // chromosome 1 up to 200, then 2; a record out of order; then repeats of mutations kept
    // before it (of another position) and after it.
    Stream stream;
    stream.add(0, 1, 100, 1);
    stream.add(0, 1, 200, 1);
    stream.add(0, 2, 50, 1);
    stream.add(0, GetParam().chromosome, GetParam().position, 9);
    stream.add(0, 1, 100, 1);
    stream.add(0, 2, 50, 1);
    stream.add(0, GetParam().chromosome, GetParam().position, 9);
    stream.add(0, 2, 60, 1);
    OrderedMutations set;
    EXPECT_EQ(stream.feed(set, 3), (std::vector<std::uint8_t>{1, 1, 1, 1, 0, 0, 0, 1}));
    EXPECT_FALSE(set.in_order(0));
    EXPECT_EQ(set.size(), 5U);
}

INSTANTIATE_TEST_SUITE_P(Kinds, OrderedMutationsDisorder,
                         ::testing::Values(Disorder{"PositionBackwards", 2, 49},
                                           Disorder{"ChromosomeAgain", 1, 300}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OrderedMutations, KeepsEachLaneOrderApart) {
    Stream stream;
    stream.add(7, 1, 100, 1);
    stream.add(8, 1, 500, 1);
    stream.add(7, 1, 90, 2); // lane 7 leaves the order; lane 8 keeps it
    stream.add(8, 1, 500, 1);
    stream.add(7, 1, 100, 1);
    stream.add(8, 1, 600, 1);
    OrderedMutations set;
    EXPECT_EQ(stream.feed(set, 6), (std::vector<std::uint8_t>{1, 1, 1, 0, 0, 1}));
    EXPECT_FALSE(set.in_order(7));
    EXPECT_TRUE(set.in_order(8));
    EXPECT_TRUE(set.in_order(9));
}

TEST(OrderedMutations, TakesAPositionOfManyRecordsToTheHashSet) {
    Stream stream;
    for (std::uint64_t id = 0; id <= OrderedMutations::group_limit; ++id)
        stream.add(0, 1, 100, id);
    stream.add(0, 1, 100, 3);
    stream.add(0, 1, 100, OrderedMutations::group_limit);
    OrderedMutations set;
    const auto is_new = stream.feed(set, 10);
    EXPECT_EQ(is_new, stream.model());
    EXPECT_EQ(std::count(is_new.begin(), is_new.end(), 0), 2);
    EXPECT_FALSE(set.in_order(0));
}

class OrderedMutationsSeeded : public ::testing::TestWithParam<bool> {};

TEST_P(OrderedMutationsSeeded, AnswersAsAHashSet) {
    // Two lanes, sorted, with repeats of a position inside one call and across calls; and the
    // same records shuffled after the first half when the parameter says so.
    std::mt19937_64 random(GetParam() ? 11 : 12);
    Stream stream;
    for (std::uint32_t chrom = 1; chrom <= 3; ++chrom)
        for (std::uint64_t pos = 1; pos < 400; pos += 1 + random() % 3)
            for (std::uint64_t n = random() % 5; n > 0; --n) {
                const std::uint64_t id = random() % 3; // a mutation keeps to its lane
                stream.add(static_cast<std::int64_t>(id % 2), chrom, pos, id);
            }
    if (GetParam()) {
        std::vector<std::size_t> order(stream.first.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::shuffle(order.begin() + static_cast<std::ptrdiff_t>(order.size() / 2), order.end(),
                     random);
        Stream shuffled;
        for (std::size_t i : order) {
            shuffled.lane.push_back(stream.lane[i]);
            shuffled.chromosome.push_back(stream.chromosome[i]);
            shuffled.position.push_back(stream.position[i]);
            shuffled.first.push_back(stream.first[i]);
            shuffled.second.push_back(stream.second[i]);
        }
        stream = shuffled;
    }
    OrderedMutations set;
    const auto is_new = stream.feed(set, 37);
    const auto expected = stream.model();
    EXPECT_EQ(is_new, expected);
    EXPECT_GT(std::count(expected.begin(), expected.end(), 0), 50);
    EXPECT_EQ(set.in_order(0), !GetParam());
    EXPECT_EQ(set.size(),
              static_cast<std::size_t>(std::count(expected.begin(), expected.end(), 1)));
}

INSTANTIATE_TEST_SUITE_P(Orders, OrderedMutationsSeeded, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Shuffled" : "Sorted"; });

} // namespace
} // namespace mutflank
