#include <gtest/gtest.h>

#include <string>

#include "allele_class.hpp"

namespace mutflank {
namespace {

struct ClassCase {
    const char* name;
    std::string_view ref, alt;
    AlleleClass expected;
};

class AlleleClassOf : public ::testing::TestWithParam<ClassCase> {};

TEST_P(AlleleClassOf, Pair) {
    const ClassCase& c = GetParam();
    EXPECT_EQ(allele_class(c.ref, c.alt), c.expected) << c.ref << ">" << c.alt;
}

using enum AlleleClass;
INSTANTIATE_TEST_SUITE_P(
    Cases, AlleleClassOf,
    ::testing::Values(ClassCase{"Snv", "C", "T", single}, ClassCase{"SameBase", "C", "C", none},
                      ClassCase{"SnvOfN", "N", "T", none}, ClassCase{"SnvToN", "A", "N", none},
                      ClassCase{"Lower", "c", "t", none}, ClassCase{"Doublet", "AC", "GT", doublet},
                      ClassCase{"DoubletOneSame", "AC", "AT", none},
                      ClassCase{"DoubletOfN", "AN", "GT", none},
                      ClassCase{"Triple", "ACG", "TCA", multi},
                      ClassCase{"TripleUnchanged", "ACG", "ACG", multi},
                      ClassCase{"TripleOfN", "ACN", "TCA", none},
                      ClassCase{"Deletion", "AC", "A", indel}, ClassCase{"Insertion", "A", "AT", indel},
                      ClassCase{"InsertionOfN", "A", "NN", indel},
                      ClassCase{"MafDeletion", "C", "-", indel},
                      ClassCase{"MafInsertion", "-", "G", indel},
                      ClassCase{"Empty", "", "", none},
                      // Lengths in characters: two bytes of one character against two
                      // characters is an indel, two characters of two bytes each are not.
                      ClassCase{"UnicodeAgainstTwo", "\xc3\xa9", "AB", indel},
                      ClassCase{"UnicodeBoth", "\xc3\xa9", "\xc3\xa8", none},
                      ClassCase{"UnicodeOfOneAgainstOne", "\xc3\xa9", "A", none}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace mutflank
