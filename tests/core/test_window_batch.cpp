// Reading windows in batches: rows and errors exactly as when each window is read alone.
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <random>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "io_ring.hpp"
#include "mutflank_core.hpp"
#include "support.hpp"
#include "unique_fd.hpp"
#include "window_batch.hpp"

namespace mutflank {
namespace {

using testing::TempDir;

constexpr std::size_t batch = WindowBatch::batch_size;

std::string snp_line(std::size_t i, std::string_view chromosome, std::string_view position,
                     std::string_view ref = "C") {
    return "s" + std::to_string(i) + "\tx\tx\tGRCh37\tSNP\t" + std::string(chromosome) + "\t" +
           std::string(position) + "\t.\t" + std::string(ref) + "\tT\n";
}

// A table of good records with one failing line at `bad_index`, and optionally a second,
// later line with an error of its own.
std::string table_with_failure(std::size_t bad_index, const std::string& bad_line,
                               std::size_t later_index, const std::string& later_line) {
    std::string table;
    for (std::size_t i = 0; i < 2 * batch + 5; ++i) {
        if (i == bad_index)
            table += bad_line;
        else if (i == later_index)
            table += later_line;
        else
            table += snp_line(i, "1", std::to_string(2 + i % 50), i % 3 == 0 ? "G" : "C");
    }
    return table;
}

struct RowCounter final : RowSink {
    bool add(std::string_view, std::string_view, bool) override {
        ++rows;
        return true;
    }
    std::size_t rows = 0;
};

struct CollectingRows final : RowSink {
    bool add(std::string_view key, std::string_view context, bool) override {
        rows.push_back({std::string(key), std::string(context)});
        return true;
    }
    std::vector<Row> rows;
};

struct BoundaryCase {
    std::string_view name;
    std::size_t bad_index;
    std::string bad_line;
    std::string later_line; // at bad_index + 1, empty for none
    ErrorKind kind;
    std::string_view message;
};

class BatchBoundary : public ::testing::TestWithParam<std::tuple<BoundaryCase, WindowIo>> {};

// The first failure in line order is reported, wherever it falls in a batch, also when a
// later line fails on its own; the rows before it were all handed over, in order.
TEST_P(BatchBoundary, EarliestFailureWins) {
    const auto& [c, io] = GetParam();
    TempDir dir;
    dir.write_reference("GRCh37", "1", std::string(100, 'A'));
    const std::string table =
        table_with_failure(c.bad_index, c.bad_line, c.bad_index + 1, c.later_line);
    const int descriptors = testing::open_descriptors();
    RowCounter sink;
    const auto error = scan_file(dir.write("t.tsv", table), dir.path(), 2, sink, io);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, c.kind);
    EXPECT_EQ(error->message, c.message);
    EXPECT_EQ(sink.rows, c.bad_index);
    EXPECT_EQ(testing::open_descriptors(), descriptors);
}

const std::string bad_utf8 = "caf\xe9\tx\n";
const std::string bad_position = snp_line(0, "1", "12a");

std::vector<BoundaryCase> boundary_cases() {
    std::vector<BoundaryCase> cases;
    for (const std::size_t at : {std::size_t{0}, batch - 1, batch, batch + 1, 2 * batch - 1}) {
        const std::string where = "At" + std::to_string(at);
        cases.push_back(
            {"", at, snp_line(at, "2", "5"), "", ErrorKind::io, messages::open_reference});
        cases.push_back(
            {"", at, snp_line(at, "1", "100"), "", ErrorKind::io, messages::read_window});
        cases.push_back({"", at, snp_line(at, "1", "0"), "", ErrorKind::io, messages::seek});
        cases.push_back(
            {"", at, snp_line(at, "1", "101"), bad_utf8, ErrorKind::io, messages::read_window});
        cases.push_back({"", at, snp_line(at, std::string_view("1\0x", 3), "5"), bad_position,
                         ErrorKind::io, messages::open_reference});
        // Cut short at its NUL, the path would name the existing 1.txt.
        cases.push_back({"", at, snp_line(at, std::string_view("1.txt\0", 6), "5"), "",
                         ErrorKind::io, messages::open_reference});
        cases.push_back(
            {"", at, bad_utf8, snp_line(at, "2", "5"), ErrorKind::io, messages::read_line});
        cases.push_back(
            {"", at, bad_position, "", ErrorKind::internal, messages::position_invalid_digit});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchBoundary,
                         ::testing::Combine(::testing::ValuesIn(boundary_cases()),
                                            ::testing::Values(WindowIo::synchronous,
                                                              WindowIo::automatic)));

// Random tables give the same rows through the ring as one window at a time, including
// windows at the chromosome start, wide windows that a ring slot cannot hold, and
// folded records.
TEST(BatchedRows, MatchSynchronousRows) {
    TempDir dir;
    std::mt19937_64 random(20261208);
    std::string bases;
    for (int i = 0; i < 5000; ++i)
        bases += "ACGTN"[random() % 5];
    dir.write_reference("GRCh37", "1", bases);
    dir.write_reference("GRCh38", "X", bases.substr(0, 700));
    std::string table;
    for (std::size_t i = 0; i < 3 * batch + 17; ++i) {
        const bool x = random() % 4 == 0;
        table += "k" + std::to_string(i) + "\tv\t.\t" + (x ? "GRCh38" : "GRCh37") + "\tSNV\t" +
                 (x ? "X" : "1") + "\t" + std::to_string(1 + random() % 40) + "\t.\t" +
                 "ACGT"[random() % 4] + "\t" + "ACGT"[random() % 4] + (i % 2 ? "\r\n" : "\n");
    }
    const std::string path = dir.write("t.tsv", table);
    for (const std::uint64_t half_width : {0, 1, 7, 255, 256, 300}) {
        const auto one_by_one = scan_file(path, dir.path(), half_width, WindowIo::synchronous);
        const auto batched = scan_file(path, dir.path(), half_width, WindowIo::batched);
        const auto automatic = scan_file(path, dir.path(), half_width, WindowIo::automatic);
        ASSERT_TRUE(one_by_one.ok()) << one_by_one.error().message;
        ASSERT_TRUE(batched.ok()) << batched.error().message;
        ASSERT_TRUE(automatic.ok()) << automatic.error().message;
        EXPECT_GT(one_by_one.value().size(), 2 * batch);
        EXPECT_EQ(batched.value(), one_by_one.value()) << half_width;
        EXPECT_EQ(automatic.value(), one_by_one.value()) << half_width;
    }
}

// The tables of one call share a session: the ring is set up once the call as a whole has
// queued a batch, whatever the table boundaries, the rows are those of each table read
// alone, and a failure ending one table leaves the session usable for the next.
TEST(ScanSession, SharesOneRingAcrossSmallTables) {
    if (!IoRing::create(1))
        GTEST_SKIP() << "io_uring is not available here";
    TempDir dir;
    dir.write_reference("GRCh37", "1", std::string(100, 'A') + "CGT");
    std::vector<std::string> tables;
    for (std::size_t t = 0; t < 4; ++t) {
        std::string table;
        for (std::size_t i = 0; i < 60; ++i)
            table += snp_line(i, "1", std::to_string(2 + (i * 7 + t) % 100), t % 2 ? "G" : "C");
        if (t == 2)
            table += snp_line(60, "1", "102"); // one base past the end with half-width 2
        tables.push_back(dir.write("t" + std::to_string(t) + ".tsv", table));
    }
    const int descriptors = testing::open_descriptors();
    {
        ScanSession session;
        const bool ring_after[] = {false, false, true, true};
        for (std::size_t t = 0; t < tables.size(); ++t) {
            const auto alone = scan_file(tables[t], dir.path(), 2, WindowIo::synchronous);
            CollectingRows sink;
            const auto error = scan_file(tables[t], dir.path(), 2, sink, session);
            if (t == 2) {
                ASSERT_FALSE(alone.ok());
                EXPECT_EQ(error, alone.error());
                EXPECT_EQ(sink.rows.size(), 60u);
            } else {
                ASSERT_TRUE(alone.ok());
                EXPECT_FALSE(error.has_value());
                EXPECT_EQ(sink.rows, alone.value());
            }
            EXPECT_EQ(session.uses_ring(), ring_after[t]) << "table " << t;
        }
        // The ring's own, and a handle on the build folder unless a link leads to it.
        EXPECT_GE(testing::open_descriptors(), descriptors + 1);
        EXPECT_LE(testing::open_descriptors(), descriptors + 2);
    }
    EXPECT_EQ(testing::open_descriptors(), descriptors);
}

// Files below a deep root are opened relative to a handle on their build folder; every
// outcome stays that of the full path: a full path of PATH_MAX bytes or more is refused,
// chromosome names may hold "/" and "..", a missing build folder or one that is a file fails
// the open, a root reached through a link is read by full paths. Each case comes after a
// full batch, in one call with the others before it.
TEST(FolderHandles, OpenExactlyWhatTheFullPathOpens) {
    TempDir dir;
    // A root so deep that <root>/GRCh37/<name>.txt is 4095 bytes for a name of 63 characters.
    std::string root = dir.path();
    while (root.size() + 200 < 4020)
        root += "/" + std::string(199, 'd');
    root += "/" + std::string(4020 - root.size() - 1, 'e');
    ASSERT_EQ(root.size(), 4020u);
    const std::string bases = "ACGTTGCAACGTAGCT";
    TempDir links;
    std::filesystem::create_directories(root + "/GRCh37/sub");
    std::filesystem::create_directories(root + "/GRCh38");
    std::filesystem::create_directories(root + "/x");
    std::filesystem::create_symlink(root, links / "root");
    const auto put = [&](const std::string& folder, const std::string& name) {
        const UniqueFd handle{::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
        const UniqueFd file{
            ::openat(handle.get(), name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
        ASSERT_TRUE(file.valid()) << name;
        ASSERT_EQ(::write(file.get(), bases.data(), bases.size()),
                  static_cast<ssize_t>(bases.size()));
    };
    const std::string fits(63, 'f');
    const std::string too_long(64, 'g');
    for (const std::string folder : {"", "/x", "/m"}) {
        std::filesystem::create_directories(root + folder + "/GRCh37");
        put(root + folder + "/GRCh37", "1.txt");
    }
    put(root + "/GRCh37", fits + ".txt");
    put(root + "/GRCh37", too_long + ".txt");
    put(root + "/GRCh37/sub", "2.txt");
    put(root + "/GRCh38", "3.txt");
    put(root, "up.txt");
    put(root + "/x", "GRCh38"); // a file where the build folder should be
    std::filesystem::create_directories(root + "/GRCh37/dir.txt");

    struct Case {
        std::string chromosome;
        std::string build;
        std::string root; // the call's root
    };
    const std::string link = links / "root";
    const std::vector<Case> cases = {
        {fits, "GRCh37", root},
        {too_long, "GRCh37", root},
        {"sub/2", "GRCh37", root},
        {"/sub//2", "GRCh37", root},
        {"../GRCh38/3", "GRCh37", root},
        {"../up", "GRCh37", root},
        {"../../../x/none", "GRCh37", root},
        {"sub", "GRCh37", root},
        {"dir", "GRCh37", root},
        {"3", "GRCh38", root},
        {"3", "GRCh38", root + "/x"},
        {"3", "GRCh38", root + "/m"},
        {"1", "GRCh37", link},
        {"../GRCh38/3", "GRCh37", link + "/"},
    };
    std::size_t failures = 0;
    for (const Case& c : cases) {
        std::string table;
        for (std::size_t i = 0; i < batch + 2; ++i)
            table += "k\tv\t.\tGRCh37\tSNP\t1\t" + std::to_string(2 + i % 10) + "\t.\tC\tA\n";
        table += "k\tv\t.\t" + c.build + "\tSNP\t" + c.chromosome + "\t5\t.\tG\tA\n";
        const std::string path = dir.write("t.tsv", table);
        const auto expected = scan_file(path, c.root, 2, WindowIo::synchronous);
        failures += !expected.ok();
        for (const WindowIo io : {WindowIo::automatic, WindowIo::batched}) {
            const auto got = scan_file(path, c.root, 2, io);
            ASSERT_EQ(got.ok(), expected.ok()) << c.chromosome << " below " << c.root.size();
            if (expected.ok())
                EXPECT_EQ(got.value(), expected.value()) << c.chromosome;
            else
                EXPECT_EQ(got.error(), expected.error()) << c.chromosome;
        }
    }
    // The long name, the missing names outside and inside the build folder, the folder, a
    // build that is a file, a missing build folder.
    EXPECT_EQ(failures, 6u);
}

// Makes the system call `number` fail with `error` in this process, as a restrictive sandbox
// does.
bool forbid_system_call(unsigned number, int error) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 1),
        BPF_STMT(BPF_RET | BPF_K,
                 SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

bool forbid_io_uring() { return forbid_system_call(__NR_io_uring_setup, ENOSYS); }

// Once the call has queued a batch, the windows of regular files are read by the ring
// alone: with the synchronous reader's positioned reads forbidden, the rows stay the same.
TEST(BatchedRows, RegularFilesAreReadByTheRingAlone) {
    if (!IoRing::create(1))
        GTEST_SKIP() << "io_uring is not available here";
    TempDir dir;
    dir.write_reference("GRCh37", "1", std::string(300, 'C') + "GATTACA");
    dir.write_reference("GRCh38", "2", "TTGCA");
    std::string table;
    for (std::size_t i = 0; i < 2 * batch + 30; ++i)
        table += snp_line(i, "1", std::to_string(1 + i), i % 2 ? "A" : "C");
    table += "k\tv\t.\tGRCh38\tSNV\t2\t3\t.\tC\tA\n";
    const std::string path = dir.write("t.tsv", table);
    const auto expected = scan_file(path, dir.path(), 2, WindowIo::synchronous);
    ASSERT_TRUE(expected.ok());

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes: 0 the same rows, 1 no filter, 3 rows or errors differ.
        if (!forbid_system_call(__NR_pread64, EIO))
            ::_exit(1);
        const auto rows = scan_file(path, dir.path(), 2, WindowIo::automatic);
        ::_exit(rows.ok() && rows.value() == expected.value() ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Where no ring can be made, the scan reads synchronously, silently, with the same rows
// and the same errors.
TEST(BatchedRows, FallBackWhenTheKernelRefusesARing) {
    TempDir dir;
    dir.write_reference("GRCh37", "1", "ACGTTGCAACGT");
    const std::string good = dir.write(
        "good.tsv", snp_line(0, "1", "6", "G") + snp_line(1, "1", "1") + snp_line(2, "1", "11"));
    const std::string bad =
        dir.write("bad.tsv", snp_line(0, "1", "6") + snp_line(1, "1", "12") + bad_utf8);
    const auto expected_good = scan_file(good, dir.path(), 1, WindowIo::synchronous);
    ASSERT_TRUE(expected_good.ok());
    ASSERT_EQ(expected_good.value(),
              (std::vector<Row>{{"s0::x", "G[C>A]A"}, {"s1::x", "[C>T]C"}, {"s2::x", "C[C>T]T"}}));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes: 0 all as expected, 1 no filter, 2 a ring was made, 3 rows or errors differ.
        if (!forbid_io_uring())
            ::_exit(1);
        if (IoRing::create(4))
            ::_exit(2);
        for (const WindowIo io : {WindowIo::automatic, WindowIo::batched}) {
            const auto rows = scan_file(good, dir.path(), 1, io);
            if (!rows.ok() || rows.value() != expected_good.value())
                ::_exit(3);
            const auto failed = scan_file(bad, dir.path(), 1, io);
            if (failed.ok() || failed.error() != io_error(messages::read_window))
                ::_exit(3);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace mutflank
