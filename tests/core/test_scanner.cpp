#include <gtest/gtest.h>

#include "mutflank_core.hpp"
#include "support.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

// Chromosome 1: positions 1..12. Position 6 is G with T before and C after.
constexpr std::string_view chromosome = "ACGTTGCAACGT";

std::string record(std::string_view build, std::string_view type, std::string_view position,
                   std::string_view ref, std::string_view alt, std::string_view chrom = "1") {
    std::string line = "P1\tS1\tx\t";
    line.append(build).append("\t").append(type).append("\t").append(chrom).append("\t");
    line.append(position)
        .append("\t")
        .append(position)
        .append("\t")
        .append(ref)
        .append("\t")
        .append(alt);
    return line;
}

std::string snp(std::string_view ref, std::string_view alt, std::string_view position = "6") {
    return record("GRCh37", "SNP", position, ref, alt);
}

class Scan : public ::testing::Test {
  protected:
    Scan() {
        dir.write_reference("GRCh37", "1", chromosome);
        dir.write_reference("GRCh38", "1", "TTTTTGTTTTTT");
    }
    Result<std::vector<Row>> scan(std::string_view table, std::uint64_t half_width = 1) {
        return scan_file(dir.write("table.tsv", table), dir.path(), half_width,
                         testing::io_under_test());
    }
    std::vector<std::string> contexts(std::string_view table, std::uint64_t half_width = 1) {
        auto rows = scan(table, half_width);
        EXPECT_TRUE(rows.ok()) << rows.error().message;
        std::vector<std::string> out;
        if (rows.ok())
            for (const Row& row : rows.value())
                out.push_back(row.context);
        return out;
    }
    TempDir dir;
};

using Contexts = std::vector<std::string>;

struct LineCase {
    std::string_view name;
    std::string line;
    Contexts expected; // the contexts of the rows, at half-width 1
};

class ScanLine : public Scan, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ScanLine, KeepsOrSkipsTheRecord) {
    EXPECT_EQ(contexts(GetParam().line + "\n"), GetParam().expected);
}

const std::string ten_fields = "a\tb\tc\tGRCh37\tSNP\t1\t6\t6\tC\tT";

INSTANTIATE_TEST_SUITE_P(
    Filters, ScanLine,
    ::testing::Values(
        LineCase{"ExactlyTenFields", ten_fields, {"T[C>T]C"}},
        LineCase{"ExtraFieldsIgnored", ten_fields + "\tmore\tfields", {"T[C>T]C"}},
        LineCase{"NineFields", "a\tb\tc\tGRCh37\tSNP\t1\t6\t6\tC", {}},
        LineCase{"NineFieldsAndTrailingTab", "a\tb\tc\tGRCh37\tSNP\t1\t6\t6\tC\t", {}},
        LineCase{"EmptyLine", "", {}}, LineCase{"NoTabs", "hello world", {}},
        LineCase{"OtherBuild", record("GRCh37.p13", "SNP", "6", "C", "T"), {}},
        LineCase{"LowerCaseBuild", record("grch37", "SNP", "6", "C", "T"), {}},
        LineCase{"Hg19", record("hg19", "SNP", "6", "C", "T"), {}},
        LineCase{"HeaderWord", record("Genome", "SNP", "6", "C", "T"), {}},
        LineCase{"SecondBuild", record("GRCh38", "SNV", "6", "C", "T"), {"T[C>T]T"}},
        LineCase{"LowerCaseType", record("GRCh37", "snp", "6", "C", "T"), {}},
        LineCase{"TypeWithSpace", record("GRCh37", "SNV ", "6", "C", "T"), {}},
        LineCase{"Dbs", record("GRCh37", "DBS", "6", "C", "T"), {}},
        LineCase{"Indel", record("GRCh37", "INDEL", "6", "C", "T"), {}},
        LineCase{"AltN", snp("C", "N"), {}}, LineCase{"AltTwoBases", snp("C", "AC"), {}},
        LineCase{"AltLowerCase", snp("C", "a"), {}}, LineCase{"AltEmpty", snp("C", ""), {}},
        LineCase{"SameAfterFoldingG", snp("G", "G"), {}},
        LineCase{"SameAfterFoldingA", snp("A", "A"), {}}, LineCase{"SameC", snp("C", "C"), {}},
        // A position that does not parse on a skipped line has no effect.
        LineCase{"BadPositionOnSkippedLine", record("GRCh37", "DBS", "abc", "C", "T"), {}},
        LineCase{"BadPositionOnEqualAlleles", snp("C", "C", "x"), {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Forward bases around position 6 are T (before) and C (after); at half-width 2, TT and CA.
// A folded substitution reads the other strand: the flanks are reverse-complemented.
INSTANTIATE_TEST_SUITE_P(
    Folding, ScanLine,
    ::testing::Values(
        LineCase{"GToA", snp("G", "A"), {"G[C>T]A"}}, LineCase{"AToG", snp("A", "G"), {"G[T>C]A"}},
        LineCase{"GToC", snp("G", "C"), {"G[C>G]A"}}, LineCase{"GToT", snp("G", "T"), {"G[C>A]A"}},
        LineCase{"CToA", snp("C", "A"), {"T[C>A]C"}}, LineCase{"TToG", snp("T", "G"), {"T[T>G]C"}},
        // References that are not a single purine keep forward flanks; their purines map.
        LineCase{"TwoBaseReference", snp("GA", "T"), {"T[CT>T]C"}},
        LineCase{"NReference", snp("N", "A"), {"T[N>A]C"}},
        LineCase{"EmptyReference", snp("", "C"), {"T[>C]C"}},
        LineCase{"LowerCaseReference", snp("g", "A"), {"T[g>A]C"}},
        LineCase{"NonAsciiReference",
                 snp("\xc3\xa9G", "T"),
                 {"T[\xc3\xa9"
                  "C>T]C"}},
        // The folded flanks at the chromosome start: position 1 has no base before it.
        LineCase{"FoldedAtChromosomeStart", snp("G", "A", "1"), {"G[C>T]"}},
        LineCase{"ForwardAtChromosomeStart", snp("C", "A", "1"), {"[C>A]C"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scan, FoldedFlanksAtWiderWindow) {
    EXPECT_EQ(contexts(snp("G", "A") + "\n" + snp("C", "T") + "\n", 2),
              (Contexts{"TG[C>T]AA", "TT[C>T]CA"}));
}

TEST_F(Scan, DocumentedRoadOfOneRecord) {
    std::string bases(1001, 'T');
    bases[998] = 'C';
    bases[999] = 'G';
    bases[1000] = 'A';
    dir.write_reference("GRCh37", "1", bases);
    const auto rows = scan("P1\tS1\tx\tGRCh37\tSNP\t1\t1000\t1000\tG\tA\n", 1);
    ASSERT_TRUE(rows.ok()) << rows.error().message;
    EXPECT_EQ(rows.value(), (std::vector<Row>{{"P1::S1", "T[C>T]G"}}));
}

TEST_F(Scan, HalfWidthZeroGivesBareSubstitution) {
    EXPECT_EQ(contexts(snp("C", "T") + "\n" + snp("G", "A") + "\n", 0),
              (Contexts{"[C>T]", "[C>T]"}));
}

TEST_F(Scan, RowKeysAndOrderFollowTheLines) {
    const std::string table = "\xEF\xBB\xBFk1\tv1\tx\tGRCh37\tSNP\t1\t6\t6\tC\tT\n"
                              "k2\t\tx\tGRCh37\tSNV\t1\t+3\t3\tC\tA\n"
                              "k2\t\tx\tGRCh37\tSNV\t1\t+3\t3\tC\tA\n"
                              " k3 \t v3\tx\tGRCh38\tSNP\t1\t2\t2\tA\tC";
    const auto rows = scan(table);
    ASSERT_TRUE(rows.ok()) << rows.error().message;
    EXPECT_EQ(rows.value(), (std::vector<Row>{{"\xEF\xBB\xBFk1::v1", "T[C>T]C"},
                                              {"k2::", "C[C>A]T"},
                                              {"k2::", "C[C>A]T"},
                                              {" k3 :: v3", "A[T>G]A"}}));
}

TEST_F(Scan, LineEndings) {
    const std::string lf = snp("C", "T") + "\n" + snp("C", "A") + "\n";
    const std::string crlf = snp("C", "T") + "\r\n" + snp("C", "A") + "\r\n";
    const std::string no_final_lf = snp("C", "T") + "\n" + snp("C", "A");
    const std::string lone_cr_at_end = snp("C", "T") + "\n" + snp("C", "A") + "\r";
    const std::string lone_cr_inside = snp("C", "T") + "\r" + snp("C", "A") + "\n";
    EXPECT_EQ(contexts(lf), (Contexts{"T[C>T]C", "T[C>A]C"}));
    EXPECT_EQ(contexts(crlf), (Contexts{"T[C>T]C", "T[C>A]C"}));
    EXPECT_EQ(contexts(no_final_lf), (Contexts{"T[C>T]C", "T[C>A]C"}));
    // A carriage return without a line feed stays in the last field: alt "A\r" is no base.
    EXPECT_EQ(contexts(lone_cr_at_end), (Contexts{"T[C>T]C"}));
    EXPECT_EQ(contexts(lone_cr_inside), (Contexts{}));
    EXPECT_EQ(contexts(""), (Contexts{}));
}

TEST_F(Scan, LinesLongerThanTheReadBuffer) {
    std::string table;
    for (int i = 0; i < 3; ++i) {
        table +=
            record("GRCh37", "SNP", "6", "C", "T") + "\t" + std::string(20'000 + i, 'x') + "\r\n";
        table += std::string(8191 - 1, 'y') + "\r\n"; // a line end that straddles a block boundary
    }
    EXPECT_EQ(contexts(table), (Contexts{"T[C>T]C", "T[C>T]C", "T[C>T]C"}));
}

struct ScanFailureCase {
    std::string_view name;
    std::string table;
    ErrorKind kind;
    std::string_view message;
};

class ScanFailure : public Scan, public ::testing::WithParamInterface<ScanFailureCase> {};

TEST_P(ScanFailure, ReportsExactErrorAndClosesEveryFile) {
    const int before = testing::open_descriptors();
    const auto rows = scan(GetParam().table);
    ASSERT_FALSE(rows.ok());
    EXPECT_EQ(rows.error().kind, GetParam().kind);
    EXPECT_EQ(rows.error().message, GetParam().message);
    EXPECT_EQ(testing::open_descriptors(), before);
}

const std::string good = snp("C", "T") + "\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanFailure,
    ::testing::Values(
        ScanFailureCase{"InvalidUtf8AfterGoodLines", good + good + "ab\xff\n", ErrorKind::io,
                        messages::read_line},
        ScanFailureCase{"InvalidUtf8OnSkippedLine", good + "\xc3(\tskipped\n", ErrorKind::io,
                        messages::read_line},
        // Past the 64 bytes that hold a line's first ten tabs, the rest of the line is
        // checked on its own.
        ScanFailureCase{"InvalidUtf8InEleventhColumn",
                        good + snp("C", "T") + "\t" + std::string(100, 'u') + "\xff\n",
                        ErrorKind::io, messages::read_line},
        ScanFailureCase{"InvalidUtf8FarIntoSkippedLine",
                        good + std::string(10, '\t') + std::string(300, 'u') + "\xc3(\n" + good,
                        ErrorKind::io, messages::read_line},
        ScanFailureCase{"Surrogate", good + "\xed\xa0\x80\n", ErrorKind::io, messages::read_line},
        ScanFailureCase{"OverlongSlash", good + "\xc0\xaf\n", ErrorKind::io, messages::read_line},
        ScanFailureCase{"TruncatedAtEnd", good + "ab\xe2\x82", ErrorKind::io, messages::read_line},
        ScanFailureCase{"EmptyPosition", good + snp("C", "T", ""), ErrorKind::internal,
                        messages::position_empty},
        ScanFailureCase{"NegativePosition", good + snp("G", "A", "-5"), ErrorKind::internal,
                        messages::position_invalid_digit},
        ScanFailureCase{"PositionWithSpace", good + snp("C", "T", "6 "), ErrorKind::internal,
                        messages::position_invalid_digit},
        ScanFailureCase{"PositionTooLarge", good + snp("C", "T", "18446744073709551616"),
                        ErrorKind::internal, messages::position_overflow},
        ScanFailureCase{"MissingChromosome", good + record("GRCh37", "SNP", "6", "C", "T", "9"),
                        ErrorKind::io, messages::open_reference},
        ScanFailureCase{"PositionZero", good + snp("C", "T", "0"), ErrorKind::io, messages::seek},
        ScanFailureCase{"PositionPastTheEnd", good + snp("C", "T", "12"), ErrorKind::io,
                        messages::read_window}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scan, TablePathFailures) {
    const int before = testing::open_descriptors();
    const auto missing = scan_file(dir / "missing.tsv", dir.path(), 1, testing::io_under_test());
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), io_error(messages::open_table));

    dir.write("table.tsv", good);
    const auto with_nul = scan_file((dir / "table.tsv") + std::string("\0", 1), dir.path(), 1,
                                    testing::io_under_test());
    ASSERT_FALSE(with_nul.ok());
    EXPECT_EQ(with_nul.error(), io_error(messages::open_table));

    const auto directory = scan_file(dir.path(), dir.path(), 1, testing::io_under_test());
    ASSERT_FALSE(directory.ok());
    EXPECT_EQ(directory.error(), io_error(messages::read_line));
    EXPECT_EQ(testing::open_descriptors(), before);
}

// A sink that refuses the second row stops the scan at once.
TEST_F(Scan, SinkCanStopTheScan) {
    struct StopAtSecond final : RowSink {
        bool add(std::string_view key, std::string_view context, bool ascii) override {
            seen.emplace_back(std::string(key) + " " + std::string(context) +
                              (ascii ? " ascii" : ""));
            return seen.size() < 2;
        }
        std::vector<std::string> seen;
    } sink;
    const std::string path =
        dir.write("table.tsv", good + "\xc3\xa9\tb\tx\tGRCh37\tSNP\t1\t6\t6\tC\tA\n" + good);
    const auto error = scan_file(path, dir.path(), 1, sink, testing::io_under_test());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, ErrorKind::stopped);
    EXPECT_EQ(sink.seen,
              (std::vector<std::string>{"P1::S1 T[C>T]C ascii", "\xc3\xa9::b T[C>A]C"}));
}

} // namespace
} // namespace mutflank
