#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "../../fuzz/packing.hpp"
#include "support.hpp"
#include "unique_fd.hpp"
#include "vcf_scanner.hpp"

namespace mutflank {
namespace {

using packing::bgzf;
using packing::gzip;
using testing::TempDir;

// The whole text of a stream, or the fault that stopped it.
std::string read_all(TextStream& stream, std::optional<StreamFault>& fault) {
    std::string text;
    char buffer[7]; // small reads cross every boundary
    for (;;) {
        std::size_t got = 0;
        fault = stream.read(buffer, sizeof buffer, got);
        if (fault || got == 0)
            return text;
        text.append(buffer, got);
    }
}

class TextStreamForms : public ::testing::TestWithParam<bool> {};

TEST_P(TextStreamForms, UnpacksMembersDropsTheBomAndSkipsZeroPadding) {
    TempDir dir;
    const bool packed = GetParam();
    const std::string text = "\xEF\xBB\xBF" "first line\nsecond\n";
    const std::string bytes = packed ? gzip(text.substr(0, 9)) + gzip(text.substr(9)) +
                                           std::string(8, '\0')
                                     : text;
    const UniqueFd fd{::open(dir.write("t", bytes).c_str(), O_RDONLY)};
    TextStream stream(fd.get(), "", true);
    std::optional<StreamFault> fault;
    EXPECT_EQ(read_all(stream, fault), "first line\nsecond\n");
    EXPECT_FALSE(fault.has_value());
}

INSTANTIATE_TEST_SUITE_P(PlainAndGzip, TextStreamForms, ::testing::Bool());

TEST(TextStream, PositionedReadsStartAtTheGivenOffsetWhateverTheDescriptorsOwn) {
    TempDir dir;
    const UniqueFd fd{::open(dir.write("t", "skipABC").c_str(), O_RDONLY)};
    ASSERT_EQ(::lseek(fd.get(), 6, SEEK_SET), 6);
    TextStream stream(fd.get(), "ignored", true, 4);
    std::optional<StreamFault> fault;
    EXPECT_EQ(read_all(stream, fault), "ABC");
}

TEST(TextStream, PipeGivesThePrefixFirstThenTheRest) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const UniqueFd read_end{ends[0]};
    const std::string packed = gzip("a gzip text read partly by the caller\n");
    std::thread writer([&, fd = ends[1]] {
        EXPECT_EQ(::write(fd, packed.data() + 5, packed.size() - 5),
                  static_cast<ssize_t>(packed.size() - 5));
        ::close(fd);
    });
    TextStream stream(read_end.get(), packed.substr(0, 5), false);
    std::optional<StreamFault> fault;
    EXPECT_EQ(read_all(stream, fault), "a gzip text read partly by the caller\n");
    writer.join();
}

TEST(TextStream, CutAndDamagedGzipAreFaults) {
    TempDir dir;
    const std::string packed = gzip(std::string(1000, 'x'));
    const UniqueFd cut{::open(dir.write("cut", packed.substr(0, packed.size() - 3)).c_str(),
                              O_RDONLY)};
    TextStream cut_stream(cut.get(), "", true);
    std::optional<StreamFault> fault;
    (void)read_all(cut_stream, fault);
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->kind, StreamFault::Kind::gzip_cut);

    const UniqueFd damaged{::open(dir.write("bad", packed + "garbage!").c_str(), O_RDONLY)};
    TextStream damaged_stream(damaged.get(), "", true);
    (void)read_all(damaged_stream, fault);
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->kind, StreamFault::Kind::decompress_failed);
    EXPECT_EQ(fault->code, Z_DATA_ERROR);
    EXPECT_EQ(fault->detail, "incorrect header check");
}

// Text of many lines, each of them different.
std::string numbered_lines(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += "line " + std::to_string(i * 7919 % 100003) + "\tof the text\n";
    return text;
}

// Reads with a buffer of `capacity` bytes.
std::string read_all_by(TextStream& stream, std::size_t capacity,
                        std::optional<StreamFault>& fault) {
    std::string text;
    std::vector<char> buffer(capacity);
    for (;;) {
        std::size_t got = 0;
        fault = stream.read(buffer.data(), buffer.size(), got);
        if (fault || got == 0)
            return text;
        text.append(buffer.data(), got);
    }
}

class BgzfBlocks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BgzfBlocks, GiveTheTextWhateverTheReadsSize) {
    TempDir dir;
    const std::string text = "\xEF\xBB\xBF" + numbered_lines(20000);
    const std::string packed = bgzf(text, 65280) + bgzf("and a second file\n", 10);
    const UniqueFd fd{::open(dir.write("t.gz", packed).c_str(), O_RDONLY)};
    TextStream stream(fd.get(), "", true);
    std::optional<StreamFault> fault;
    EXPECT_TRUE(read_all_by(stream, GetParam(), fault) == text.substr(3) + "and a second file\n");
    EXPECT_FALSE(fault.has_value());
}

// Smaller and larger than a block's text.
INSTANTIATE_TEST_SUITE_P(ReadSizes, BgzfBlocks, ::testing::Values(7, 4096, 65536, 1 << 20));

TEST(BgzfBlocks, ADamagedOrCutBlockIsZlibsToWord) {
    TempDir dir;
    const std::string text = numbered_lines(20000);
    const std::string packed = bgzf(text, 30000);
    ASSERT_GT(text.size(), 90000U); // four blocks
    struct Case {
        std::string name;
        std::string bytes;
        StreamFault::Kind kind;
        int code;
        std::string detail;
    };
    std::string bad_crc = packed;
    bad_crc[bad_crc.find("BC", 100) - 12 - 8] ^= 1; // the CRC of the block before the second
    std::string bad_data = packed;
    bad_data[40] = static_cast<char>(0xFF);
    bad_data[41] = static_cast<char>(0xFF);
    std::string bad_size = packed; // BSIZE beyond the member: zlib reads it whatever it says
    bad_size[16] = static_cast<char>(0xFF);
    bad_size[17] = static_cast<char>(0xFF);
    const std::vector<Case> cases = {
        {"cut", packed.substr(0, packed.size() / 2), StreamFault::Kind::gzip_cut, 0, ""},
        {"crc", bad_crc, StreamFault::Kind::decompress_failed, Z_DATA_ERROR,
         "incorrect data check"},
        {"data", bad_data, StreamFault::Kind::decompress_failed, Z_DATA_ERROR, ""},
    };
    for (const Case& c : cases) {
        const UniqueFd fd{::open(dir.write(c.name, c.bytes).c_str(), O_RDONLY)};
        TextStream stream(fd.get(), "", true);
        std::optional<StreamFault> fault;
        const std::string read = read_all_by(stream, 1 << 20, fault);
        ASSERT_TRUE(fault.has_value()) << c.name;
        EXPECT_EQ(fault->kind, c.kind) << c.name;
        EXPECT_EQ(fault->code, c.code) << c.name;
        if (!c.detail.empty()) {
            EXPECT_EQ(fault->detail, c.detail) << c.name;
        }
        EXPECT_TRUE(read == text.substr(0, read.size())) << c.name; // what came before is right
    }
    const UniqueFd fd{::open(dir.write("size", bad_size).c_str(), O_RDONLY)};
    TextStream stream(fd.get(), "", true);
    std::optional<StreamFault> fault;
    EXPECT_TRUE(read_all_by(stream, 1 << 20, fault) == text);
    EXPECT_FALSE(fault.has_value());
}

constexpr std::string_view header = "##fileformat=VCFv4.2\n"
                                    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\n";

VcfSettings two_samples() {
    VcfSettings settings;
    settings.header_lines = 2;
    settings.width = 11;
    settings.by_genotype = true;
    settings.taken = {0, 1};
    return settings;
}

struct Scan {
    std::vector<VcfBatch> batches;
    std::optional<VcfFault> fault;
};

Scan scan(const TempDir& dir, std::string_view records, VcfSettings settings) {
    const UniqueFd fd{::open(dir.write("s.vcf", std::string(header) + std::string(records))
                                 .c_str(),
                             O_RDONLY)};
    VcfScanner scanner(TextStream(fd.get(), "", true), std::move(settings));
    Scan result;
    for (bool more = true; more;) {
        VcfBatch batch;
        result.fault = scanner.next(batch, more);
        if (result.fault)
            return result;
        result.batches.push_back(std::move(batch));
    }
    return result;
}

TEST(VcfScanner, OneRowPerKeptAlleleWithItsCarriersCopiesAndPhase) {
    TempDir dir;
    const Scan found = scan(dir,
                            "1\t10\tm\ta\tG,t,*\t.\tPASS\t.\tGT:DP\t1|2:5\t2/2\n"
                            "2\t20\t.\tC\t<DEL>,T\t.\tLow\t.\tDP:GT\t3\t9:./2\n"
                            "2\t30\t.\tC\tC\t.\t.\t.\tGT\t0/0\t1\n",
                            two_samples());
    ASSERT_FALSE(found.fault.has_value());
    ASSERT_EQ(found.batches.size(), 1U);
    const VcfBatch& batch = found.batches[0];
    ASSERT_EQ(batch.rows(), 3U);
    EXPECT_EQ(batch.line, (std::vector<std::uint64_t>{3, 3, 4}));
    EXPECT_EQ(batch.names, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(batch.chromosome, (std::vector<std::uint32_t>{0, 0, 1}));
    EXPECT_EQ(batch.ref.at(0), "A");
    EXPECT_EQ(batch.alt.at(1), "T");
    EXPECT_EQ(batch.id.at(0), "m");
    EXPECT_EQ(batch.filter.at(2), "Low");
    EXPECT_EQ(batch.passed, (std::vector<std::uint8_t>{1, 1, 0}));
    EXPECT_EQ(batch.carrier_start, (std::vector<std::uint64_t>{0, 1, 3, 4}));
    EXPECT_EQ(batch.carrier_sample, (std::vector<std::uint32_t>{0, 0, 1, 1}));
    EXPECT_EQ(batch.carrier_copies, (std::vector<std::uint8_t>{1, 2, 3, 2}));
    EXPECT_EQ(batch.carrier_phase, (std::vector<std::int64_t>{1, 2, 0, 0}));
    // '*' and <DEL>, which no sample carries; C>C, which b carries
    ASSERT_EQ(batch.left_out.size(), 3U);
    EXPECT_EQ(batch.left_out[0].reason, LeftOutReason::no_carrier);
    EXPECT_EQ(batch.left_out[0].chromosome, 0U);
    EXPECT_EQ(batch.left_out[1].reason, LeftOutReason::no_carrier);
    EXPECT_EQ(batch.left_out[1].chromosome, 1U);
    EXPECT_EQ(batch.left_out[2].reason, LeftOutReason::not_variant);
    EXPECT_EQ(batch.left_out[2].chromosome, 1U);
}

struct Counted {
    LeftOutReason reason;
    std::uint64_t count;
    bool operator==(const Counted& other) const {
        return reason == other.reason && count == other.count;
    }
};

std::vector<Counted> counted(const VcfBatch& batch) {
    std::vector<Counted> found;
    for (const auto& item : batch.left_out)
        found.push_back({item.reason, item.count});
    return found;
}

TEST(VcfScanner, ReasonsCountEachKeptCarrierAndPassOverAllelesOfOtherSamples) {
    TempDir dir;
    constexpr std::string_view records = "1\t10\t.\tA\tG\t.\tLow\t.\tGT\t0/1\t1|1\n"
                                         "1\t11\t.\tA\t*,<DEL>\t.\tPASS\t.\tGT\t1/2\t0/1\n"
                                         "1\t12\t.\tA\tG\t.\tLow\t.\tGT\t0/0\t0/1\n"
                                         "1\t13\t.\tA\tG,T\t.\tPASS\t.\tGT\t0/2\t./.\n";
    VcfSettings settings = two_samples();
    settings.pass_only = true;
    const Scan both = scan(dir, records, settings);
    ASSERT_FALSE(both.fault.has_value());
    const VcfBatch& all = both.batches.at(0);
    EXPECT_EQ(counted(all), (std::vector<Counted>{{LeftOutReason::not_pass, 3},
                                                  {LeftOutReason::not_variant, 2},
                                                  {LeftOutReason::symbolic, 1},
                                                  {LeftOutReason::no_carrier, 1}}));
    EXPECT_EQ(all.line, (std::vector<std::uint64_t>{6}));
    settings.kept = {0, 1};
    const Scan second = scan(dir, records, settings);
    ASSERT_FALSE(second.fault.has_value());
    const VcfBatch& b = second.batches.at(0);
    EXPECT_EQ(counted(b), (std::vector<Counted>{{LeftOutReason::not_pass, 2},
                                                {LeftOutReason::not_variant, 1},
                                                {LeftOutReason::no_carrier, 1}}));
    EXPECT_EQ(b.rows(), 0U); // T at 13 is a's only
    settings.kept = {1, 0};
    const Scan first = scan(dir, records, settings);
    ASSERT_FALSE(first.fault.has_value());
    const VcfBatch& a = first.batches.at(0);
    EXPECT_EQ(counted(a), (std::vector<Counted>{{LeftOutReason::not_pass, 1},
                                                {LeftOutReason::not_variant, 1},
                                                {LeftOutReason::symbolic, 1},
                                                {LeftOutReason::no_carrier, 1}}));
    EXPECT_EQ(a.carrier_sample, (std::vector<std::uint32_t>{0}));
    settings.kept = {0, 0}; // an input of none of the chosen samples gives nothing
    const Scan none = scan(dir, records, settings);
    ASSERT_FALSE(none.fault.has_value());
    EXPECT_TRUE(none.batches.at(0).left_out.empty());
    EXPECT_EQ(none.batches.at(0).rows(), 0U);
}

TEST(VcfScanner, PassOnlyAndMissingCarriersAreCountedByChromosome) {
    TempDir dir;
    VcfSettings settings = two_samples();
    settings.pass_only = true;
    const Scan found = scan(dir,
                            "1\t10\t.\tA\tG\t.\tLow\t.\tGT\t0/1\t0/1\n"
                            "1\t11\t.\tA\tG\t.\tPASS\t.\tGT\t0/0\t./.\n"
                            "1\t12\t.\tA\tG\t.\tPASS\t.\tDP\t3\t4\n",
                            settings);
    ASSERT_FALSE(found.fault.has_value());
    const auto& left_out = found.batches.at(0).left_out;
    ASSERT_EQ(left_out.size(), 2U);
    EXPECT_EQ(left_out[0].reason, LeftOutReason::not_pass);
    EXPECT_EQ(left_out[0].count, 2U); // one record of each sample
    EXPECT_EQ(left_out[1].reason, LeftOutReason::no_carrier);
    EXPECT_EQ(left_out[1].count, 2U);
}

struct FaultCase {
    std::string_view records;
    VcfFault::Kind kind;
    std::uint64_t line;
    std::string_view text;
};

class VcfFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(VcfFaults, StopTheScanAtTheLineAtFault) {
    TempDir dir;
    const FaultCase& c = GetParam();
    const Scan found = scan(dir, c.records, two_samples());
    ASSERT_TRUE(found.fault.has_value());
    EXPECT_EQ(found.fault->kind, c.kind);
    EXPECT_EQ(found.fault->line, c.line);
    EXPECT_EQ(found.fault->text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VcfFaults,
    ::testing::Values(
        FaultCase{"1\t5\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0\n1\t6\n", VcfFault::Kind::too_few_fields,
                  4, ""},
        FaultCase{"1\t5\t.\tA\tG\t.\t.\t.\tGT\t0/1\n", VcfFault::Kind::field_count, 3, ""},
        FaultCase{"1\t18446744073709551616\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0\n",
                  VcfFault::Kind::bad_position, 3, "18446744073709551616"},
        FaultCase{"1\t0\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0\n", VcfFault::Kind::bad_position, 3, "0"},
        FaultCase{"\t5\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0\n", VcfFault::Kind::empty_chromosome, 3, ""},
        FaultCase{"1\t5\t\xC3\tA\tG\t.\t.\t.\tGT\t0/1\t0\n", VcfFault::Kind::not_utf8, 3, ""},
        FaultCase{"1\t5\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0/x\n", VcfFault::Kind::not_a_genotype, 3,
                  "0/x"},
        FaultCase{"1\t5\t.\tA\tG\t.\t.\t.\tGT:DP\t0/5:3\t0\n", VcfFault::Kind::allele_beyond, 3,
                  "0/5"}));

TEST(VcfScanner, AlleleBeyondNamesTheLargestAlleleWithoutLeadingZeros) {
    TempDir dir;
    const Scan found =
        scan(dir, "1\t5\t.\tA\tG,T\t.\t.\t.\tGT\t0/1\t0002/123456789012345678901\n", two_samples());
    ASSERT_TRUE(found.fault.has_value());
    EXPECT_EQ(found.fault->allele, "123456789012345678901");
    EXPECT_EQ(found.fault->count, 2U);
    EXPECT_EQ(found.fault->sample, 1U);
}

TEST(VcfScanner, BatchesEndAfterTheLineThatFillsThemAndSayTheirEnd) {
    TempDir dir;
    VcfSettings settings = two_samples();
    settings.batch_records = 3;
    std::string records;
    for (int p = 1; p <= 5; ++p)
        records += "1\t" + std::to_string(p) + "\t.\tA\tG\t.\t.\t.\tGT\t0/1\t1/1\n";
    const Scan found = scan(dir, records, settings);
    ASSERT_FALSE(found.fault.has_value());
    std::vector<std::size_t> sizes;
    for (const VcfBatch& batch : found.batches)
        sizes.push_back(batch.records());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 4, 2}));
}

TEST(VcfScanner, LineBeyondTheLimitIsAFaultBeforeItIsHeldWhole) {
    TempDir dir;
    VcfSettings settings = two_samples();
    settings.max_line_bytes = 100;
    const Scan found = scan(dir,
                            "1\t5\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0\n1\t6\t.\tA\tG\t.\t.\t" +
                                std::string(200, 'I') + "\tGT\t0/1\t0\n",
                            settings);
    ASSERT_TRUE(found.fault.has_value());
    EXPECT_EQ(found.fault->kind, VcfFault::Kind::line_too_long);
    EXPECT_EQ(found.fault->line, 4U);
}

} // namespace
} // namespace mutflank
