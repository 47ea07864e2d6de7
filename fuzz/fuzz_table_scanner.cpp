// Fuzz target: the table scanner on arbitrary table bytes against a small fixed reference
// folder that the target creates at start-up.
//
// Input layout: the bytes before the first line feed give the half-width (its decimal digits,
// read with 64-bit wrap-around); a "B" among them puts a full batch of good records in front
// of the first table; every other byte is ignored. Everything after that line feed is the
// list of tables of one call, separated by form feeds (at most eight tables; further form
// feeds stay in the last). An input without a line feed is one table with half-width 1.
//
// The call is run three times, with synchronous, batched (io_uring where the kernel allows
// it) and automatic window reads, each through one scan session for all its tables, and each
// answer is checked against the plain model in table_model.hpp applied table after table:
// same rows in the same order, same first error, no descriptor left open.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "mutflank_core.hpp"
#include "table_model.hpp"
#include "harness.hpp"

namespace {

using namespace mutflank;
using namespace mutflank::fuzz;

std::string root;
std::string table_folder;
ModelReference reference;

constexpr std::size_t max_tables = 8;



void add_regular(const std::string& build, const std::string& chromosome, std::string bytes) {
    write_file(root + "/" + build + "/" + chromosome + ".txt", bytes);
    reference[{build, chromosome}] = ModelFile{ModelFile::Kind::regular, std::move(bytes)};
}

// The fixed reference folder: short and long chromosomes, every byte value, an empty file,
// a directory and a FIFO where a chromosome file is expected.
void make_reference() {
    std::filesystem::create_directories(root + "/GRCh37");
    std::filesystem::create_directories(root + "/GRCh38");
    std::string bases;
    for (int i = 0; i < 40; ++i)
        bases += static_cast<char>((i * 7 + i / 5) % 20);
    add_regular("GRCh37", "1", bases);
    std::string every_byte;
    for (int i = 0; i < 256; ++i)
        every_byte += static_cast<char>((i * 167) % 256);
    add_regular("GRCh37", "2", every_byte);
    add_regular("GRCh38", "1", std::string("\x00\x01\x02\x03\x10\x03\x02\x01", 8));
    add_regular("GRCh38", "X", std::string(1, '\x02'));
    add_regular("GRCh37", "empty", "");
    std::string long_chromosome;
    for (int i = 0; i < 150'000; ++i)
        long_chromosome += static_cast<char>((i ^ (i >> 3)) % 4);
    add_regular("GRCh38", "long", long_chromosome);
    // Names that are not ASCII and that hold spaces work like any other.
    add_regular("GRCh38", "chr \xC3\xA9", std::string("\x03\x02\x01\x00", 4));

    std::filesystem::create_directories(root + "/GRCh38/dir.txt");
    reference[{"GRCh38", "dir"}] = ModelFile{ModelFile::Kind::directory, {}};
    if (::mkfifo((root + "/GRCh37/fifo.txt").c_str(), 0600) != 0) {
        std::perror("mkfifo");
        std::abort();
    }
    reference[{"GRCh37", "fifo"}] = ModelFile{ModelFile::Kind::fifo, {}};
}

class CheckingSink final : public RowSink {
  public:
    bool add(std::string_view key, std::string_view context, bool ascii) override {
        if (ascii && (!is_ascii(key) || !is_ascii(context)))
            fail("a row marked ASCII is not ASCII");
        if (!valid_utf8(key) || !valid_utf8(context))
            fail("a row is not valid UTF-8");
        rows.push_back(Row{std::string(key), std::string(context)});
        return true;
    }

    [[noreturn]] static void fail(const std::string& what) {
        std::fprintf(stderr, "table scan mismatch: %s\n", what.c_str());
        std::abort();
    }

    std::vector<Row> rows;
};

std::string describe(const Row& row) { return "[" + row.key + "] [" + row.context + "]"; }

// Scans the tables in order through one session, as one call does, until the first error.
std::optional<Error> scan_call(WindowIo io, const std::vector<std::string>& paths,
                               std::uint64_t half_width, RowSink& sink) {
    ScanSession session(io);
    for (const std::string& path : paths)
        if (auto error = scan_file(path, root, half_width, sink, session))
            return error;
    return std::nullopt;
}

// The model's answer for the tables of one call: their rows in order, up to the first table
// that fails (or that the model cannot judge).
ModelScan model_call(const std::vector<std::string_view>& tables, std::uint64_t half_width) {
    ModelScan call;
    call.success = true;
    for (const std::string_view table : tables) {
        ModelScan one = model_scan(table, reference, half_width);
        call.rows.insert(call.rows.end(), one.rows.begin(), one.rows.end());
        if (one.unknown || !one.success) {
            call.success = false;
            call.unknown = one.unknown;
            call.allowed_errors = std::move(one.allowed_errors);
            break;
        }
    }
    return call;
}

void check_scan(WindowIo io, const ModelScan& expected, const std::vector<std::string>& paths,
                std::uint64_t half_width, std::vector<Row>& rows, std::optional<Error>& error) {
    CheckingSink sink;
    error = scan_call(io, paths, half_width, sink);
    rows = std::move(sink.rows);
    const char* mode = io == WindowIo::automatic ? "automatic"
                       : io == WindowIo::batched ? "batched"
                                                 : "synchronous";
    const auto fail = [&](const std::string& what) {
        CheckingSink::fail(std::string(mode) + ", half-width " + std::to_string(half_width) +
                           ", " + std::to_string(paths.size()) + " tables: " + what);
    };

    // Rows handed over before a failure are discarded by the caller, but they must still be
    // right as far as they go.
    const std::size_t known = expected.rows.size();
    for (std::size_t i = 0; i < rows.size() && i < known; ++i)
        if (!(rows[i] == expected.rows[i]))
            fail("row " + std::to_string(i) + " is " + describe(rows[i]) + ", expected " +
                 describe(expected.rows[i]));
    if (expected.unknown)
        return;
    if (!error && rows.size() > known)
        fail("more rows than expected: " + std::to_string(rows.size()));
    if (expected.success) {
        if (error)
            fail("unexpected error: " + std::string(error->message));
        if (rows.size() != known)
            fail("fewer rows than expected: " + std::to_string(rows.size()));
        return;
    }
    if (!error)
        fail("succeeded, expected " + std::string(expected.allowed_errors.front().message));
    bool allowed = false;
    for (const Error& e : expected.allowed_errors)
        allowed = allowed || e == *error;
    if (!allowed)
        fail("error " + std::string(error->message) + ", expected " +
             std::string(expected.allowed_errors.front().message));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    root = make_temp_root();
    table_folder = root + "/tables";
    std::filesystem::create_directories(table_folder);
    make_reference();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::uint64_t half_width = 1;
    bool full_batch_first = false;
    std::string_view tables_text = input;
    const std::size_t header_end = input.find('\n');
    if (header_end != std::string_view::npos) {
        half_width = 0;
        for (const char c : input.substr(0, header_end)) {
            if (c >= '0' && c <= '9')
                half_width = half_width * 10 + static_cast<std::uint64_t>(c - '0');
            full_batch_first = full_batch_first || c == 'B';
        }
        tables_text = input.substr(header_end + 1);
    }
    std::vector<std::string> texts;
    for (;;) {
        const std::size_t feed = tables_text.find('\f');
        if (feed == std::string_view::npos || texts.size() + 1 == max_tables) {
            texts.emplace_back(tables_text);
            break;
        }
        texts.emplace_back(tables_text.substr(0, feed));
        tables_text.remove_prefix(feed + 1);
    }
    if (full_batch_first) {
        // Good records on the long chromosome: what follows them is read through the ring.
        std::string batch;
        for (int i = 0; i < 130; ++i)
            batch += "F\tB\t.\tGRCh38\tSNV\tlong\t" + std::to_string(70'000 + i) + "\t.\tC\tT\n";
        texts.front().insert(0, batch);
    }
    std::vector<std::string> paths;
    std::vector<std::string_view> views;
    for (const std::string& text : texts) {
        paths.push_back(table_folder + "/" + std::to_string(paths.size()) + ".tsv");
        write_file(paths.back(), text);
        views.emplace_back(text);
    }

    const int descriptors_before = lowest_free();
    const ModelScan expected = model_call(views, half_width);
    std::vector<Row> rows[3];
    std::optional<Error> errors[3];
    const WindowIo modes[3] = {WindowIo::synchronous, WindowIo::batched, WindowIo::automatic};
    for (int i = 0; i < 3; ++i)
        check_scan(modes[i], expected, paths, half_width, rows[i], errors[i]);
    // Where the model cannot tell, the ways of reading must still agree.
    for (int i = 1; i < 3; ++i)
        if (errors[i] != errors[0] || (!errors[0] && rows[i] != rows[0]))
            CheckingSink::fail("batched and synchronous reads disagree");
    if (lowest_free() != descriptors_before)
        CheckingSink::fail("a descriptor was left open");
    return 0;
}
