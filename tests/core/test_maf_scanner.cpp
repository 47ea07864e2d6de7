#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "maf_scanner.hpp"
#include "support.hpp"
#include "unique_fd.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

// The columns: Chromosome Start_Position Reference_Allele Tumor_Seq_Allele1 Tumor_Seq_Allele2
// Tumor_Sample_Barcode NCBI_Build FILTER, after a header line.
MafSettings settings_of() {
    MafSettings settings;
    settings.header_lines = 1;
    settings.at = {0, 1, 2, 3, 4, 5};
    settings.build_at = 6;
    settings.filter_at = 7;
    settings.width = 8;
    settings.buffer_bytes = 16; // lines cross every refill
    return settings;
}

// Every row as "line:sample:chromosome:build:position:ref:alt:filter[:deferred allele2]", the
// left-out entries as "reason:chromosome:count", the held names as "held NAME", then the
// fault as "fault KIND at LINE (COUNT): TEXT".
std::vector<std::string> scan(const std::string& records, MafSettings settings = settings_of()) {
    TempDir dir;
    const UniqueFd fd{::open(dir.write("t.maf", "header line\n" + records).c_str(), O_RDONLY)};
    MafScanner scanner(TextStream(fd.get(), "", true), std::move(settings));
    std::vector<std::string> out;
    MafBatch batch;
    for (;;) {
        bool more = true;
        const auto fault = scanner.next(batch, more);
        for (std::size_t i = 0; i < batch.rows(); ++i) {
            std::string text =
                std::to_string(batch.line[i]) + ":" + std::string(batch.sample.at(i)) + ":" +
                std::string(batch.chromosome.at(i)) + ":" + std::string(batch.build.at(i)) + ":" +
                std::to_string(batch.position[i]) + ":" + std::string(batch.ref.at(i)) + ":" +
                std::string(batch.alt.at(i)) + ":" + std::string(batch.filter.at(i));
            if (batch.deferred[i] != 0)
                text += ":deferred " + std::string(batch.allele2.at(i));
            out.push_back(text);
        }
        for (const auto& entry : batch.left_out)
            out.push_back(std::to_string(static_cast<int>(entry.reason)) + ":" + entry.chromosome +
                          ":" + std::to_string(entry.count));
        for (const auto& name : batch.held)
            out.push_back("held " + name);
        if (fault) {
            out.push_back("fault " + std::to_string(static_cast<int>(fault->kind)) + " at " +
                          std::to_string(fault->line) + " (" + std::to_string(fault->count) +
                          "): " + fault->text);
            return out;
        }
        if (!more)
            return out;
    }
}

TEST(MafScanner, StripsUpperCasesAndChoosesTheAlternateAllele) {
    EXPECT_EQ(scan(" 1 \t 12\xe3\x80\x80\tc\tc\tt\t S1\x1c\t 38 \t.\r\n"
                   "\n"
                   "X\t7\tA\tG\ta\tS2\tGRCh37\tPASS\textra\n"),
              (std::vector<std::string>{"2:S1:1:38:12:C:T:.", "4:S2:X:GRCh37:7:A:G:PASS"}));
}

TEST(MafScanner, LeavesOutFiltersAndAllelesThatAreNoVariant) {
    MafSettings settings = settings_of();
    settings.pass_only = true;
    EXPECT_EQ(scan("1\t5\tC\tC\tT\tS\tb\tLowQ\n"
                   "1\t5\tC\tC\t*\tS\tb\t\n"
                   "2\t5\tC\tC\t<DEL>\tS\t..\t.\n" // the build of a record left out: not checked
                   "2\t5\tC\tC\tc\tS\tb\tPASS\n",
                   settings),
              (std::vector<std::string>{"0:1:1", "1:1:1", "2:2:1", "1:2:1"}));
}

TEST(MafScanner, DefersAllelesBeyondAsciiWithTheirBuild) {
    EXPECT_EQ(scan("1\t5\t\xc3\xa9\tx\t\xc3\x89\tS\ta/b\t\n"),
              (std::vector<std::string>{"2:S:1:a/b:5:\xc3\xa9:x::deferred \xc3\x89"}));
}

TEST(MafScanner, ChoosesAndExcludesSamplesNotingTheExcludedHeld) {
    MafSettings settings = settings_of();
    settings.choose = true;
    settings.samples = {"A", "B"};
    settings.exclude = {"B", "C"};
    EXPECT_EQ(scan("1\t5\tC\tC\tT\tA\tb\t\n1\t6\tC\tC\tT\tB\tb\t\n1\t7\tC\tC\tT\tC\tb\t\n"
                   "1\t8\tC\tC\tT\tD\tb\t\n1\t9\tC\tC\tT\tB\tb\t\n",
                   settings),
              (std::vector<std::string>{"2:A:1:b:5:C:T:", "held B", "held C"}));
}

TEST(MafScanner, FaultsComeInLineOrderAfterTheRowsBefore) {
    EXPECT_EQ(scan("1\t5\tC\tC\tT\tS\tb\t\n1\t5\tC\n"),
              (std::vector<std::string>{"2:S:1:b:5:C:T:", "fault 3 at 3 (3): "}));
    EXPECT_EQ(scan("1\t5\t \tC\tT\tS\tb\t\n"), (std::vector<std::string>{"fault 4 at 2 (2): "}));
    EXPECT_EQ(scan("1\t+5\tC\tC\tT\tS\tb\t\n"),
              (std::vector<std::string>{"fault 6 at 2 (0): +5"}));
    EXPECT_EQ(scan("1\t18446744073709551616\tC\tC\tT\tS\tb\t\n"),
              (std::vector<std::string>{"fault 6 at 2 (0): 18446744073709551616"}));
    EXPECT_EQ(scan("1\t5\tC\tC\tT\tS\t . \t\n"),
              (std::vector<std::string>{"fault 7 at 2 (0):  . "}));
    EXPECT_EQ(scan("1\t5\tC\tC\tT\t\xff\tb\t\n"),
              (std::vector<std::string>{"fault 2 at 2 (0): "}));
}

TEST(StripBlanks, DropsWhatPythonsStripDrops) {
    EXPECT_EQ(strip_blanks(" \t\x0b\x0c\r\n\x1c\x1d\x1e\x1f"
                           "a b"
                           "\xc2\x85\xc2\xa0"),
              "a b");
    EXPECT_EQ(strip_blanks("\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x8a\xe2\x80\xa8\xe2\x80\xa9"
                           "x"
                           "\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80"),
              "x");
    // Not blanks: U+200B (zero width space), U+180E, NUL, and a character ending in 0x85.
    EXPECT_EQ(strip_blanks("\xe2\x80\x8b"
                           "y"
                           "\xe1\xa0\x8e"),
              "\xe2\x80\x8b"
              "y"
              "\xe1\xa0\x8e");
    EXPECT_EQ(strip_blanks(std::string_view("\0z\0", 3)), std::string_view("\0z\0", 3));
    EXPECT_EQ(strip_blanks("z\xe0\xa6\x85"), "z\xe0\xa6\x85");
    EXPECT_EQ(strip_blanks("   "), "");
}

} // namespace
} // namespace mutflank
