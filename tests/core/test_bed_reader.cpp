#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "bed_reader.hpp"
#include "support.hpp"
#include "unique_fd.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

// Every interval of a read as "name:start:end", then its fault as
// "fault KIND at LINE: count TEXT start end".
std::vector<std::string> read(const std::string& text, std::size_t batch_records = 100) {
    TempDir dir;
    const UniqueFd fd{::open(dir.write("r.bed", text).c_str(), O_RDONLY)};
    BedSettings settings;
    settings.batch_records = batch_records;
    settings.buffer_bytes = 16; // lines cross every refill
    settings.max_line_bytes = 64;
    settings.far = 1000;
    BedReader reader(TextStream(fd.get(), "", true), settings);
    std::vector<std::string> names;
    std::vector<std::string> out;
    BedBatch batch;
    for (bool more = true; more;) {
        const auto fault = reader.next(batch, more);
        names.insert(names.end(), batch.names.begin(), batch.names.end());
        for (std::size_t i = 0; i < batch.rows(); ++i)
            out.push_back(names.at(batch.code[i]) + ":" + std::to_string(batch.start[i]) + ":" +
                          std::to_string(batch.end[i]));
        if (fault) {
            out.push_back("fault " + std::to_string(static_cast<int>(fault->kind)) + " at " +
                          std::to_string(fault->line) + ": " + std::to_string(fault->count) + " " +
                          fault->text + " " + std::to_string(fault->start) + " " +
                          std::to_string(fault->end));
            break;
        }
    }
    return out;
}

using Case = std::tuple<std::string, std::vector<std::string>>;
class BedReaderReads : public ::testing::TestWithParam<Case> {};

TEST_P(BedReaderReads, AsTheRulesSay) {
    const auto& [text, expected] = GetParam();
    EXPECT_EQ(read(text), expected);
    EXPECT_EQ(read(text, 1), expected); // batches of one interval: codes kept across batches
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BedReaderReads,
    ::testing::Values(
        Case{"chr1\t0\t10\r\n\r\n  \t\n# c\ntrack name=x\nbrowser position\n"
             " #indented\ntracks\t1\t2\nchr2 5  7 name 0 +\nchr1\t3\t3",
             {"chr1:0:10", "chr2:5:7", "chr1:3:3"}},
        // Blanks are space, tab, \v, \f and \r, anywhere in the line.
        Case{"\v1\f2\r3\r\n", {"1:2:3"}},
        // Coordinates past `far` are read as far, however many digits they have.
        Case{"X\t999\t1001\nX\t0001000\t99999999999999999999999999999\nY\t1000\t1000\n",
             {"X:999:1000", "X:1000:1000", "Y:1000:1000"}},
        Case{"1\t0\t5\n1\t10\n", {"1:0:5", "fault 2 at 2: 2  0 0"}},
        Case{"\n\nX\n", {"fault 2 at 3: 1  0 0"}},
        Case{"1\t-1\tfoo\n", {"fault 3 at 1: 0 -1 0 0"}},
        Case{"1\t+1\t2\n", {"fault 3 at 1: 0 +1 0 0"}},
        Case{"1\t1\t2e3\n", {"fault 4 at 1: 0 2e3 0 0"}},
        Case{"1\t20\t10\n", {"fault 5 at 1: 0  20 10"}},
        // Clipped before they are compared: both past far, so end is not before start.
        Case{"1\t5000\t2000\n", {"1:1000:1000"}},
        Case{"1\t0\t1\n" + std::string(65, 'x') + "\n", {"1:0:1", "fault 1 at 2: 0  0 0"}},
        // A name that is not UTF-8 is a fault of the first line naming it.
        Case{"1\t0\t1\n\xC3(\t2\t3\n", {"1:0:1", "fault 6 at 2: 0 \xC3( 0 0"}},
        Case{"\xC3\xA9\t0\t1\nX\t0\t1\n\xC3\xA9\t4\t5\n",
             {"\xC3\xA9:0:1", "X:0:1", "\xC3\xA9:4:5"}},
        Case{std::string(64, ' ') + "\n2\t0\t1", {"2:0:1"}}));

TEST(BedReader, ShowsABadCoordinateByItsFirstBytesOnly) {
    const std::string field(400, '-');
    BedSettings settings;
    TempDir dir;
    const UniqueFd fd{::open(dir.write("r.bed", "1\t0\t" + field + "\n").c_str(), O_RDONLY)};
    BedReader reader(TextStream(fd.get(), "", true), settings);
    BedBatch batch;
    bool more = true;
    const auto fault = reader.next(batch, more);
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->kind, BedFault::Kind::bad_end);
    EXPECT_EQ(fault->text, std::string(160, '-'));
}

TEST(BedReader, ReadsAPipeAfterAPrefix) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const UniqueFd read_end{ends[0]};
    {
        const UniqueFd write_end{ends[1]};
        const std::string rest = "0\t4\n2\t1\t2\n";
        ASSERT_EQ(::write(write_end.get(), rest.data(), rest.size()),
                  static_cast<ssize_t>(rest.size()));
    }
    BedReader reader(TextStream(read_end.get(), "1\t", false), BedSettings{});
    BedBatch batch;
    bool more = true;
    ASSERT_FALSE(reader.next(batch, more).has_value());
    EXPECT_FALSE(more);
    EXPECT_EQ(batch.names, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(batch.code, (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(batch.start, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(batch.end, (std::vector<std::uint64_t>{4, 2}));
}

} // namespace
} // namespace mutflank
