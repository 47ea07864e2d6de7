#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "mutation_table_scanner.hpp"
#include "support.hpp"
#include "unique_fd.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

// Every batch of a scan: "line:sample:chromosome:position:ref:alt:build:id" per row and
// "reason:chromosome:count" per left-out entry, then the fault as "fault KIND at LINE: TEXT".
std::vector<std::string> scan(const std::string& text, std::size_t batch_records = 100,
                              std::size_t max_field = 1 << 20) {
    TempDir dir;
    const UniqueFd fd{::open(dir.write("t.tsv", text).c_str(), O_RDONLY)};
    MutationTableSettings settings;
    settings.batch_records = batch_records;
    settings.max_field_bytes = max_field;
    settings.buffer_bytes = 16; // lines cross every refill
    MutationTableScanner scanner(TextStream(fd.get(), "", true), settings);
    std::vector<std::string> out;
    MutationTableBatch batch;
    for (;;) {
        bool more = true;
        const auto fault = scanner.next(batch, more);
        if (fault) {
            out.push_back("fault " + std::to_string(static_cast<int>(fault->kind)) + " at " +
                          std::to_string(fault->line) + ": " + fault->text);
            return out;
        }
        for (std::size_t i = 0; i < batch.rows(); ++i) {
            out.push_back(std::to_string(batch.line[i]) + ":" + std::string(batch.sample.at(i)) +
                          ":" + std::string(batch.chromosome.at(i)) + ":" +
                          std::to_string(batch.position[i]) + ":" + std::string(batch.ref.at(i)) +
                          ":" + std::string(batch.alt.at(i)) + ":" +
                          std::string(batch.build.at(i)) + ":" + std::string(batch.id.at(i)));
        }
        for (const auto& entry : batch.left_out)
            out.push_back(std::to_string(static_cast<int>(entry.reason)) + ":" + entry.chromosome +
                          ":" + std::to_string(entry.count));
        if (!more)
            return out;
    }
}

TEST(MutationTableScanner, ReadsTheFieldsAsWrittenAndSkipsAHeader) {
    EXPECT_EQ(scan("sample\tp\tID\tbuild\ttype\tchrom\tposition\tend\tREF\tALT\n"
                   "S1\tP\trs1\tGRCh38\tSNV\t1\t+0010\t10\tc\tT\textra\r\n"
                   "\r\n"
                   "S2\tP\t.\t37\tINDEL\tX\t18446744073709551615\t0\tA\t-"),
              (std::vector<std::string>{"2:S1:1:10:c:T:GRCh38:rs1",
                                        "4:S2:X:18446744073709551615:A:-:37:."}));
}

TEST(MutationTableScanner, LeavesOutShortLinesAndOtherRowsWithoutAPosition) {
    EXPECT_EQ(scan("S1\tP\t.\tb\tSNV\t1\t5\t5\tC\tT\n"
                   "too\tfew\n"
                   "S1\tP\t.\tb\tINDEL\t2\tx\t5\tC\tT\n"
                   "S1\tP\t.\tb\tDBS\t2\t18446744073709551616\t5\tC\tT\n"
                   "S1\tP\t.\tb\tMNV\t3\t0\t5\tC\tT\n"
                   "also\tfew\n"),
              (std::vector<std::string>{"1:S1:1:5:C:T:b:.", "0::2", "1:2:2", "1:3:1"}));
}

TEST(MutationTableScanner, ASubstitutionWithoutAPositionIsAFault) {
    EXPECT_EQ(scan("S1\tP\t.\tb\tSNV\t1\t5\t5\tC\tT\nS1\tP\t.\tb\tSNP\t1\t-5\t5\tC\tT\n"),
              (std::vector<std::string>{"fault 4 at 2: -5"}));
    EXPECT_EQ(scan("S1\tP\t.\tb\tSNV\t1\t5\t5\tC\t\xff\n"),
              (std::vector<std::string>{"fault 2 at 1: "}));
}

TEST(MutationTableScanner, TheFieldLimitCountsCharacters) {
    const std::string wide = "\xc3\x89\xc3\x89\xc3\x89"; // three characters, six bytes
    EXPECT_EQ(scan("S\tP\t.\tb\tSNV\t1\t5\t5\t" + wide + "\tT\n", 100, 3),
              (std::vector<std::string>{"1:S:1:5:" + wide + ":T:b:."}));
    EXPECT_EQ(scan("S\tP\t.\tb\tSNV\t1\t5\t5\tACGT\tT\n", 100, 3),
              (std::vector<std::string>{"fault 3 at 1: "}));
}

TEST(MutationTableScanner, BatchesEndAtTheirSize) {
    std::string text;
    for (int i = 1; i <= 5; ++i)
        text += "S\tP\t.\tb\tSNV\t1\t" + std::to_string(i) + "\t0\tC\tT\n";
    EXPECT_EQ(scan(text, 2), scan(text, 100));
    EXPECT_EQ(scan(text, 2).size(), 5U);
}

} // namespace
} // namespace mutflank
