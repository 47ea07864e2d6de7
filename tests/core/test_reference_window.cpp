#include <fcntl.h>
#include <gtest/gtest.h>

#include "mutflank_core.hpp"
#include "reference_window.hpp"
#include "support.hpp"
#include "unique_fd.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

// Positions 1..12 of chromosome 1 hold distinct-enough bases to tell every index apart.
constexpr std::string_view chromosome = "ACGTTGCAACGT";

struct WindowCase {
    std::uint64_t position;
    std::uint64_t half_width;
    std::string_view left;
    std::string_view right;
};

class WindowSplit : public ::testing::TestWithParam<WindowCase> {
  protected:
    TempDir dir;
};

TEST_P(WindowSplit, GivesBasesBeforeAndAfterThePosition) {
    const WindowCase& c = GetParam();
    dir.write_reference("GRCh37", "1", chromosome);
    const auto flanks =
        read_flanks(dir.path(), "GRCh37", "1", c.position, c.half_width, testing::io_under_test());
    ASSERT_TRUE(flanks.ok()) << flanks.error().message;
    EXPECT_EQ(flanks.value().left, c.left);
    EXPECT_EQ(flanks.value().right, c.right);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowSplit,
    ::testing::Values(WindowCase{6, 1, "T", "C"}, WindowCase{6, 2, "TT", "CA"},
                      WindowCase{6, 0, "", ""},
                      WindowCase{11, 1, "C", "T"}, // the window ends at the last byte of the file
                      // At the chromosome start the left flank holds only the bases that exist
                      // before the position, and the right flank keeps all of its bases.
                      WindowCase{1, 1, "", "C"}, WindowCase{2, 2, "A", "GT"},
                      WindowCase{1, 5, "", "CGTTG"}, WindowCase{3, 5, "AC", "TTGCA"},
                      WindowCase{4, 3, "ACG", "TGC"}),
    [](const auto& info) {
        return "Position" + std::to_string(info.param.position) + "HalfWidth" +
               std::to_string(info.param.half_width);
    });

TEST(WindowDecoding, MapsEveryByteValue) {
    TempDir dir;
    std::string bytes;
    for (int v = 0; v < 256; ++v)
        bytes += static_cast<char>(v);
    dir.write("GRCh38/X.txt", bytes);
    // Half-width 127 around position 128 reads offsets 0 to 254.
    const auto flanks = read_flanks(dir.path(), "GRCh38", "X", 128, 127, testing::io_under_test());
    ASSERT_TRUE(flanks.ok()) << flanks.error().message;
    std::string expected_left;
    for (int v = 0; v < 127; ++v)
        expected_left += v < 16 ? "ACGT"[v % 4] : v < 20 ? 'N' : ' ';
    EXPECT_EQ(flanks.value().left, expected_left);
    EXPECT_EQ(flanks.value().right, std::string(127, ' '));
    for (int v = 0; v < 256; ++v) {
        const char forward = decode_base(static_cast<unsigned char>(v));
        const char reverse = decode_base_complement(static_cast<unsigned char>(v));
        EXPECT_EQ(reverse, forward == 'A'   ? 'T'
                           : forward == 'C' ? 'G'
                           : forward == 'G' ? 'C'
                           : forward == 'T' ? 'A'
                                            : forward)
            << v;
    }
}

struct FailureCase {
    std::string_view name;
    std::string_view build;
    std::string_view chromosome;
    std::uint64_t position;
    std::uint64_t half_width;
    ErrorKind kind;
    std::string_view message;
};

class WindowFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(WindowFailure, ReportsExactErrorAndClosesTheFile) {
    const FailureCase& c = GetParam();
    TempDir dir;
    dir.write_reference("GRCh37", "1", chromosome);
    const int before = testing::open_descriptors();
    const auto flanks = read_flanks(dir.path(), c.build, c.chromosome, c.position, c.half_width,
                                    testing::io_under_test());
    ASSERT_FALSE(flanks.ok());
    EXPECT_EQ(flanks.error().kind, c.kind);
    EXPECT_EQ(flanks.error().message, c.message);
    EXPECT_EQ(testing::open_descriptors(), before);
}

constexpr std::uint64_t u64_max = ~std::uint64_t{0};
constexpr std::uint64_t two_62 = std::uint64_t{1} << 62;

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowFailure,
    ::testing::Values(
        FailureCase{"MissingChromosome", "GRCh37", "2", 5, 1, ErrorKind::io,
                    messages::open_reference},
        FailureCase{"MissingBuild", "GRCh38", "1", 5, 1, ErrorKind::io, messages::open_reference},
        FailureCase{"OtherChromosomeName", "GRCh37", "chr1", 5, 1, ErrorKind::io,
                    messages::open_reference},
        FailureCase{"NulInChromosome", "GRCh37", std::string_view("1\0x", 3), 5, 1, ErrorKind::io,
                    messages::open_reference},
        FailureCase{"PositionZero", "GRCh37", "1", 0, 1, ErrorKind::io, messages::seek},
        FailureCase{"PositionZeroNoFlanks", "GRCh37", "1", 0, 0, ErrorKind::io, messages::seek},
        FailureCase{"PositionZeroWidestHalfWidth", "GRCh37", "1", 0, u64_max, ErrorKind::io,
                    messages::seek},
        FailureCase{"PositionZeroHalfWidthTwoTo63", "GRCh37", "1", 0, u64_max / 2 + 1,
                    ErrorKind::io, messages::seek},
        FailureCase{"OneBytePastTheEnd", "GRCh37", "1", 12, 1, ErrorKind::io,
                    messages::read_window},
        FailureCase{"PositionPastTheEnd", "GRCh37", "1", 13, 0, ErrorKind::io,
                    messages::read_window},
        FailureCase{"FarPastTheEnd", "GRCh37", "1", 1'000'000'000'000, 1, ErrorKind::io,
                    messages::read_window},
        FailureCase{"OffsetAboveSignedRange", "GRCh37", "1", u64_max, 1, ErrorKind::io,
                    messages::seek},
        // A window of 2^63 bytes or more cannot be held.
        FailureCase{"WindowOfTwoTo63", "GRCh37", "1", two_62 + 1, two_62, ErrorKind::internal,
                    messages::capacity_overflow},
        FailureCase{"WidestWindow", "GRCh37", "1", u64_max / 2 + 1, u64_max / 2,
                    ErrorKind::internal, messages::capacity_overflow},
        // Huge windows that run past the end fail without allocating their length.
        FailureCase{"HugeWindowPastTheEnd", "GRCh37", "1", 5, two_62, ErrorKind::io,
                    messages::read_window},
        FailureCase{"TrillionWideWindow", "GRCh37", "1", 5, 500'000'000'000, ErrorKind::io,
                    messages::read_window}),
    [](const auto& info) { return std::string(info.param.name); });

// Half-widths no context can give: the window is never cut down by wrapping around 2^64.
// Every window here is 2^63 bytes or more, too long to hold; those starting near 2^63 fail
// at the seek instead where the file system refuses such an offset.
struct HugeWindowCase {
    std::uint64_t position;
    std::uint64_t half_width;
    bool start_near_two_to_63;
};

class HugeHalfWidth : public ::testing::TestWithParam<HugeWindowCase> {};

TEST_P(HugeHalfWidth, IsTooLongToHold) {
    const HugeWindowCase& c = GetParam();
    TempDir dir;
    const std::string file = dir.write_reference("GRCh37", "1", chromosome);
    std::string_view expected = messages::capacity_overflow;
    if (c.start_near_two_to_63) {
        const UniqueFd fd{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
        const std::uint64_t start = c.position - 1 - c.half_width;
        if (::lseek(fd.get(), static_cast<off_t>(start), SEEK_SET) < 0)
            expected = messages::seek;
    }
    const int before = testing::open_descriptors();
    const auto flanks = read_flanks(dir.path(), "GRCh37", "1", c.position, c.half_width,
                                    testing::io_under_test());
    ASSERT_FALSE(flanks.ok()) << "left " << flanks.value().left.size() << " bases, right "
                              << flanks.value().right.size();
    EXPECT_EQ(flanks.error().kind,
              expected == messages::seek ? ErrorKind::io : ErrorKind::internal);
    EXPECT_EQ(flanks.error().message, expected);
    EXPECT_EQ(testing::open_descriptors(), before);
}

constexpr std::uint64_t two_63 = std::uint64_t{1} << 63;

INSTANTIATE_TEST_SUITE_P(
    Cases, HugeHalfWidth,
    ::testing::Values(HugeWindowCase{1, two_63 - 1, false}, HugeWindowCase{1, two_63, false},
                      HugeWindowCase{1, u64_max, false}, HugeWindowCase{8, two_63 - 1, false},
                      HugeWindowCase{8, two_63, false}, HugeWindowCase{8, u64_max, false},
                      HugeWindowCase{u64_max, two_63 - 1, true},
                      HugeWindowCase{u64_max, two_63, true},
                      HugeWindowCase{u64_max, u64_max, false}),
    [](const auto& info) {
        return "Position" + std::to_string(info.param.position) + "HalfWidth" +
               std::to_string(info.param.half_width);
    });

TEST(WindowFailure, NulInRootIsAnOpenFailure) {
    TempDir dir;
    dir.write_reference("GRCh37", "1", chromosome);
    const auto flanks = read_flanks(dir.path() + std::string("\0", 1), "GRCh37", "1", 5, 1,
                                    testing::io_under_test());
    ASSERT_FALSE(flanks.ok());
    EXPECT_EQ(flanks.error().message, messages::open_reference);
}

// Windows up to 64 KiB and longer ones are read in different ways; both seek.
class FifoReference : public ::testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};

TEST_P(FifoReference, FailsAtTheSeekInsteadOfBlocking) {
    const auto [position, half_width] = GetParam();
    TempDir dir;
    std::filesystem::create_directories(dir / "GRCh37");
    ASSERT_EQ(::mkfifo((dir / "GRCh37/1.txt").c_str(), 0600), 0);
    const int before = testing::open_descriptors();
    const auto flanks =
        read_flanks(dir.path(), "GRCh37", "1", position, half_width, testing::io_under_test());
    ASSERT_FALSE(flanks.ok());
    EXPECT_EQ(flanks.error(), io_error(messages::seek));
    EXPECT_EQ(testing::open_descriptors(), before);
}

INSTANTIATE_TEST_SUITE_P(PositionAndHalfWidth, FifoReference,
                         ::testing::Values(std::pair{5, 1}, std::pair{5, 70'000},
                                           std::pair{100'000, 40'000}),
                         [](const auto& info) {
                             return "Position" + std::to_string(info.param.first) +
                                    "HalfWidth" + std::to_string(info.param.second);
                         });

TEST(WindowRead, TrailingSlashInRootIsAccepted) {
    TempDir dir;
    dir.write_reference("GRCh37", "1", chromosome);
    const auto flanks =
        read_flanks(dir.path() + "/", "GRCh37", "1", 6, 1, testing::io_under_test());
    ASSERT_TRUE(flanks.ok());
    EXPECT_EQ(flanks.value(), (Flanks{"T", "C"}));
}

TEST(WindowRead, LargeWindowReadsEveryByte) {
    TempDir dir;
    std::string bases;
    for (int i = 0; i < 300'001; ++i)
        bases += "ACGT"[(i * 7 + i / 3) % 4];
    dir.write_reference("GRCh37", "big", bases);
    const auto flanks =
        read_flanks(dir.path(), "GRCh37", "big", 150'001, 150'000, testing::io_under_test());
    ASSERT_TRUE(flanks.ok()) << flanks.error().message;
    EXPECT_EQ(flanks.value().left, bases.substr(0, 150'000));
    EXPECT_EQ(flanks.value().right, bases.substr(150'001));
}

} // namespace
} // namespace mutflank
