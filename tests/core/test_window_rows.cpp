#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "support.hpp"
#include "unique_fd.hpp"
#include "window_rows.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

// Byte k of the file holds k, so every row shows which offsets it read.
std::string counting_bytes(std::size_t size) {
    std::string bytes;
    for (std::size_t k = 0; k < size; ++k)
        bytes += static_cast<char>(k % 251);
    return bytes;
}

std::vector<std::int16_t> rows_of(int fd, std::uint64_t length, std::vector<std::int64_t> starts,
                                  std::size_t width) {
    std::vector<std::int16_t> rows(starts.size() * width, 99);
    const auto error = read_window_rows(fd, length, starts, width, rows);
    EXPECT_FALSE(error.has_value()) << error->message;
    return rows;
}

TEST(WindowRows, PadsOffsetsOffTheChromosomeOnBothEnds) {
    TempDir dir;
    const UniqueFd fd{::open(dir.write("1.txt", counting_bytes(10)).c_str(), O_RDONLY)};
    EXPECT_EQ(rows_of(fd.get(), 10, {-1, 8, 4, -5, 10}, 3),
              (std::vector<std::int16_t>{-1, 0, 1, 8, 9, -1, 4, 5, 6, -1, -1, -1, -1, -1, -1}));
}

TEST(WindowRows, RowsKeepTheCallersOrderWhateverTheStartsOrder) {
    TempDir dir;
    const std::string bytes = counting_bytes(3 << 20);
    const UniqueFd fd{::open(dir.write("1.txt", bytes).c_str(), O_RDONLY)};
    // Far apart (separate reads), close together (one read), repeated, out of order.
    const std::vector<std::int64_t> starts{2'000'000, 5, 3'000'000, 7, 5, 1'000'000};
    const auto rows = rows_of(fd.get(), bytes.size(), starts, 2);
    for (std::size_t i = 0; i < starts.size(); ++i)
        for (std::size_t j = 0; j < 2; ++j)
            EXPECT_EQ(rows[i * 2 + j],
                      static_cast<unsigned char>(bytes[static_cast<std::size_t>(starts[i]) + j]))
                << "row " << i;
}

TEST(WindowRows, ManySortedRunsGiveEachRowItsOwnWindow) {
    // The windows of many small inputs, one after another: runs each sorted, the whole not,
    // with repeats and starts off both ends of the chromosome.
    TempDir dir;
    const std::string bytes = counting_bytes(1 << 20);
    const UniqueFd fd{::open(dir.write("1.txt", bytes).c_str(), O_RDONLY)};
    std::vector<std::int64_t> starts;
    for (std::int64_t run = 0; run < 300; ++run)
        for (std::int64_t k = -1; k < 40; ++k)
            starts.push_back((run * 7919 + k * 26'053) % (std::int64_t{1} << 20) - 2);
    const auto rows = rows_of(fd.get(), bytes.size(), starts, 3);
    for (std::size_t i = 0; i < starts.size(); ++i)
        for (std::size_t j = 0; j < 3; ++j) {
            const std::int64_t offset = starts[i] + static_cast<std::int64_t>(j);
            const std::int16_t expected =
                offset < 0 || offset >= static_cast<std::int64_t>(bytes.size())
                    ? std::int16_t{-1}
                    : static_cast<unsigned char>(bytes[static_cast<std::size_t>(offset)]);
            ASSERT_EQ(rows[i * 3 + j], expected) << "row " << i << ", start " << starts[i];
        }
}

TEST(WindowRows, ExtremeStartsReadNothingAndOverflowNothing) {
    TempDir dir;
    const UniqueFd fd{::open(dir.write("1.txt", counting_bytes(4)).c_str(), O_RDONLY)};
    EXPECT_EQ(rows_of(fd.get(), 4, {INT64_MAX, INT64_MIN, 3}, 2),
              (std::vector<std::int16_t>{-1, -1, -1, -1, 3, -1}));
}

TEST(WindowRows, FileShorterThanItsLengthIsTheReadersError) {
    TempDir dir;
    const UniqueFd fd{::open(dir.write("1.txt", counting_bytes(4)).c_str(), O_RDONLY)};
    std::vector<std::int16_t> rows(3);
    const std::vector<std::int64_t> starts{3};
    const auto error = read_window_rows(fd.get(), 20, starts, 3, rows);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, io_error(messages::read_window));
}

TEST(WindowRows, PipeCannotBeReadAtAnOffset) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const UniqueFd read_end{ends[0]};
    const UniqueFd write_end{ends[1]};
    std::vector<std::int16_t> rows(1);
    const std::vector<std::int64_t> starts{0};
    const auto error = read_window_rows(read_end.get(), 10, starts, 1, rows);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, io_error(messages::seek));
}

} // namespace
} // namespace mutflank
