#include <gtest/gtest.h>
#include <string>
#include <string_view>

#include "table_rows.hpp"

namespace mutflank {
namespace {

// "KIND start end REF ALT" of a variant, or the fault's name.
template <class Char> std::string shown(const Variant<Char>& variant) {
    if (variant.fault == AlleleFault::not_variant)
        return "not variant";
    if (variant.fault == AlleleFault::symbolic)
        return "symbolic";
    std::string text(kind_name(variant.kind));
    text += ' ';
    append_decimal(text, variant.start);
    text += ' ';
    append_decimal(text, variant.end());
    for (const auto allele : {variant.ref, variant.alt}) {
        text += ' ';
        for (const auto c : allele)
            text += c < 128 ? static_cast<char>(c) : '?';
    }
    return text;
}

struct Case {
    std::uint64_t position;
    std::string_view ref;
    std::string_view alt;
    std::string_view expected;
};

class Classify : public ::testing::TestWithParam<Case> {};

TEST_P(Classify, TrimsAndNamesTheVariant) {
    const Case& c = GetParam();
    EXPECT_EQ(shown(classify<char>(c.position, c.ref, c.alt)), c.expected);
    // Code points give the same answer for ASCII alleles.
    const std::u32string ref(c.ref.begin(), c.ref.end());
    const std::u32string alt(c.alt.begin(), c.alt.end());
    EXPECT_EQ(shown(classify<char32_t>(c.position, ref, alt)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Alleles, Classify,
    ::testing::Values(
        Case{100, "C", "T", "SNV 100 100 C T"}, Case{100, "AC", "GT", "DBS 100 101 AC GT"},
        Case{100, "ACG", "TGC", "MNV 100 102 ACG TGC"}, Case{100, "ATG", "ACG", "SNV 101 101 T C"},
        Case{100, "ATGC", "ATCA", "DBS 102 103 GC CA"},
        Case{100, "CATGC", "CGTAC", "MNV 101 103 ATG GTA"},
        Case{100, "AT", "A", "INDEL 100 101 AT A"}, Case{100, "A", "ATT", "INDEL 100 100 A ATT"},
        Case{100, "-", "AT", "INDEL 100 100 - AT"}, Case{100, "A", "-", "INDEL 100 100 A -"},
        Case{100, "", "A", "INDEL 100 99  A"}, // an empty REF ends before it starts
        Case{100, "N", "A", "OTHER 100 100 N A"}, Case{100, "*", "C", "OTHER 100 100 * C"},
        Case{100, "T", "<DEL>", "symbolic"}, Case{100, "G", "G]17:198982]", "symbolic"},
        Case{100, "G", "[1:5[G", "symbolic"}, Case{100, "T", "*", "not variant"},
        Case{100, "T", ".", "not variant"}, Case{100, "T", "", "not variant"},
        Case{100, "AC", "AC", "not variant"},
        // Beyond 2^64 - 1 once trimmed: the sum does not wrap.
        Case{18446744073709551615U, "ATG", "ACG",
             "SNV 18446744073709551616 18446744073709551616 T C"},
        Case{18446744073709551615U, "AT", "A",
             "INDEL 18446744073709551615 18446744073709551616 AT A"}));

TEST(Classify, CountsCodePointsNotBytes) {
    // One character each, so no indel: a substitution of other characters.
    const Variant<char32_t> other = classify<char32_t>(7, U"\u00c9", U"A");
    EXPECT_EQ(shown(other), "OTHER 7 7 ? A");
    // Two characters against one: an indel whose end counts characters.
    const Variant<char32_t> indel = classify<char32_t>(7, U"A\u00c9", U"A");
    EXPECT_EQ(shown(indel), "INDEL 7 8 A? A");
    // Trimmed of an equal leading character beyond ASCII.
    const Variant<char32_t> snv = classify<char32_t>(7, U"\u00c9T", U"\u00c9C");
    EXPECT_EQ(shown(snv), "SNV 8 8 T C");
}

TEST(AppendDecimal, WritesEveryMagnitude) {
    const auto text = [](WidePosition value) {
        std::string out = "x";
        append_decimal(out, value);
        return out;
    };
    EXPECT_EQ(text(0), "x0");
    EXPECT_EQ(text(-1), "x-1");
    EXPECT_EQ(text(18446744073709551615U), "x18446744073709551615");
    EXPECT_EQ(text(WidePosition{18446744073709551615U} + 20), "x18446744073709551635");
    EXPECT_EQ(text(WidePosition{18446744073709551615U} * 1000), "x18446744073709551615000");
}

TEST(AppendRowTail, WritesTheNineColumnsAfterTheSample) {
    std::string out = "S1";
    append_row_tail(out, "P", "rs1", "GRCh38", VariantKind::dbs, "chr1", 10, 11, "AC", "GT");
    EXPECT_EQ(out, "S1\tP\trs1\tGRCh38\tDBS\tchr1\t10\t11\tAC\tGT\n");
    out.clear();
    append_row_tail(out, "", ".", "b", VariantKind::indel, "X", 5, 5, "-", "T");
    EXPECT_EQ(out, "\t\t.\tb\tINDEL\tX\t5\t5\t-\tT\n");
}

} // namespace
} // namespace mutflank
