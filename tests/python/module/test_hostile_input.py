"""Hostile and large input: every case ends in rows or in the documented exception, without a
crash, a hang, a multi-gigabyte allocation or a descriptor left open.

The table of five million qualifying records takes about ten seconds and most of a gigabyte;
it runs only when MUTFLANK_SLOW_TESTS=1 (CI sets it). A table of five million records that do
not qualify runs always.
"""

import gc
import json
import os
import sys
import tempfile
from pathlib import Path

import pytest

from conftest import record, run_python, write_reference, write_table
from mutflank import parse_vcf_files

CHROM1 = "ACGTTCAGGATCCATG"  # GRCh37/1 of the `reference` fixture
C_TO_T = record("C", "T", 6)  # T[C>T]A with context 3
POSITION = "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: %s }"
PATH_MAX = os.pathconf("/", "PC_PATH_MAX")  # 4096 on Linux, the terminating NUL included
NAME_MAX = os.pathconf("/", "PC_NAME_MAX")  # 255

# AddressSanitizer reserves terabytes of address space, so an address-space limit cannot be
# used under it; there its own allocation limit (ASAN_OPTIONS=max_allocation_size_mb, set by
# `make sanitize`) stands in.
with open("/proc/self/maps") as maps:
    UNDER_ASAN = "libasan" in maps.read()


@pytest.fixture
def reference(tmp_path):
    root = tmp_path / "reference"
    write_reference(root, "GRCh37", "1", CHROM1)
    return root


def raises(kind, message, call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == kind
    assert str(info.value) == message
    return info.value


def rows(result):
    return result.tolist()


def in_memory_folder():
    """A temporary folder, in memory where /dev/shm allows (making 100 000 files on disk
    is slow)."""
    shm = "/dev/shm"
    return tempfile.TemporaryDirectory(
        dir=shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None)


def run_limited(code, *, address_space_gib=1):
    """Runs `code` in a fresh interpreter whose address space may grow by at most
    `address_space_gib` GiB once the module and NumPy are loaded; returns its JSON output."""
    prelude = f"""
import json, os, resource, sys
import numpy, mutflank
from mutflank import parse_vcf_files
if not {UNDER_ASAN}:
    with open("/proc/self/status") as status:
        size = int(status.read().split("VmSize:")[1].split()[0]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + {address_space_gib} * 2**30,
                                            resource.RLIM_INFINITY))

def outcome(call):
    try:
        result = call()
    except BaseException as error:
        return [type(error).__name__, str(error)]
    return ["rows", result.tolist() if result.size < 10 else list(result.shape)]
"""
    done = run_python(prelude + code, env={"OPENBLAS_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


class TestLongLines:
    TEN_MB = 10 * 2**20

    def test_ten_megabyte_key_gives_its_row(self, reference, tmp_path):
        key = "K" * self.TEN_MB
        path = write_table(tmp_path / "long.tsv", [record("C", "T", 6, key=(key, "S"))])
        result = parse_vcf_files([path], str(reference), 3)
        assert result.shape == (1, 2)
        assert result[0, 0] == key + "::S"
        assert result[0, 1] == "T[C>T]A"

    @pytest.mark.parametrize(
        "line, expected",
        [
            ("x" * TEN_MB, "no rows"),  # no tab at all
            ("\t" * TEN_MB, "no rows"),  # ten million empty fields
            (C_TO_T + "\t" + "\u00e9" * (TEN_MB // 2), "one row"),  # unused trailing field
            ("x" * TEN_MB + "\udcff", "OSError"),  # invalid UTF-8 at the very end
        ],
        ids=["no tab", "only tabs", "long unused field", "invalid UTF-8 at the end"],
    )
    def test_ten_megabyte_lines(self, reference, tmp_path, line, expected):
        path = tmp_path / "long.tsv"
        path.write_bytes((line + "\n").encode("utf-8", "surrogateescape"))
        call = lambda: parse_vcf_files([str(path)], str(reference), 3)  # noqa: E731
        if expected == "OSError":
            raises("OSError", "Error reading line from the VCF file", call)
        else:
            assert len(rows(call())) == (1 if expected == "one row" else 0)


class TestNoLineFeed:
    @pytest.mark.parametrize(
        "data, expected",
        [
            (C_TO_T.encode(), [["P1::S1", "T[C>T]A"]]),
            (C_TO_T.encode() + b"\r", []),  # the carriage return stays in the alt field
            (b"\r" * 2**20, []),
            (b"\t" * 9 + b"x" * 2**20, []),
            (b"\0" * 2**20, []),  # NUL is valid UTF-8
        ],
        ids=["one record", "record and carriage return", "carriage returns", "one long record",
             "NUL bytes"],
    )
    def test_file_without_line_feed(self, reference, tmp_path, data, expected):
        path = tmp_path / "flat.tsv"
        path.write_bytes(data)
        assert rows(parse_vcf_files([str(path)], str(reference), 3)) == expected

    def test_endless_stream_without_line_feed_fails_orderly(self):
        # /dev/zero never ends a line: the line grows until memory runs out, and that is
        # reported as MemoryError instead of bringing the interpreter down.
        if UNDER_ASAN:
            pytest.skip("needs an address-space limit")
        outcome = run_limited("""
print(json.dumps(outcome(lambda: parse_vcf_files(["/dev/zero"], "/nowhere", 3))))
""")
        assert outcome == ["MemoryError", ""]


def test_hundred_thousand_tiny_files_use_one_descriptor_at_a_time():
    with in_memory_folder() as folder:
        root = Path(folder) / "reference"
        write_reference(root, "GRCh37", "1", CHROM1)
        line = (C_TO_T + "\n").encode()
        for i in range(100_000):
            fd = os.open(f"{folder}/t{i}.tsv", os.O_WRONLY | os.O_CREAT, 0o600)
            os.write(fd, line if i % 2 else b"")
            os.close(fd)
        # With only 32 descriptors allowed, one left open per file would fail within a few
        # dozen files.
        outcome = run_limited(f"""
resource.setrlimit(resource.RLIMIT_NOFILE, (32, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
paths = [f"{folder}/t{{i}}.tsv" for i in range(100_000)]
before = sorted(os.listdir("/proc/self/fd"))
result = parse_vcf_files(paths, "{root}", 3)
print(json.dumps([list(result.shape), result[-1].tolist(),
                  sorted(os.listdir("/proc/self/fd")) == before]))
""")
    assert outcome == [[50_000, 2], ["P1::S1", "T[C>T]A"], True]


FIVE_MILLION = 5_000_000


def five_million_records(path, *, qualifying):
    """Writes 5 000 000 records in blocks of 10 000; returns the path as str."""
    bases = "ACGT"
    block = "".join(
        record(bases[i % 4], bases[(i + 1) % 4], 2 + i % 14, key=(f"P{i % 97}", f"S{i}"),
               build="GRCh37" if qualifying else "hg19") + "\n"
        for i in range(10_000)).encode()
    with open(path, "wb") as table:
        for _ in range(FIVE_MILLION // 10_000):
            table.write(block)
    return str(path)


def test_five_million_records_that_do_not_qualify(reference, tmp_path):
    path = five_million_records(tmp_path / "big.tsv", qualifying=False)
    assert parse_vcf_files([path], str(reference), 3).shape == (0, 0)


COMPLEMENT = str.maketrans("ACGT", "TGCA")


def expected_row(i):
    """The row of record i of five_million_records (context 3), worked out by hand rules."""
    i %= 10_000
    ref, alt, position = "ACGT"[i % 4], "ACGT"[(i + 1) % 4], 2 + i % 14
    left, right = CHROM1[position - 2], CHROM1[position]
    if ref in "GA":  # folded onto the other strand
        ref, alt = ref.translate(COMPLEMENT), alt.translate(COMPLEMENT)
        left, right = right.translate(COMPLEMENT), left.translate(COMPLEMENT)
    return [f"P{i % 97}::S{i}", f"{left}[{ref}>{alt}]{right}"]


@pytest.mark.skipif(os.environ.get("MUTFLANK_SLOW_TESTS") != "1",
                    reason="slow: set MUTFLANK_SLOW_TESTS=1")
def test_five_million_qualifying_records(reference, tmp_path):
    path = five_million_records(tmp_path / "big.tsv", qualifying=True)
    result = parse_vcf_files([path], str(reference), 3)
    assert result.shape == (FIVE_MILLION, 2)
    for i in [0, 1, 2, 3, 13, 14, 9_999, 10_000, 2_500_007, FIVE_MILLION - 1]:
        assert result[i].tolist() == expected_row(i), i


def deep_path(base, total_length, file_name_length):
    """A path below `base` of exactly `total_length` bytes, through directories of at most
    200-byte names, ending in a file name of `file_name_length` bytes. Makes the directories."""
    folder = str(base)
    while total_length - len(folder) - 1 > file_name_length + 201:
        folder += "/" + "d" * 200
    rest = total_length - len(folder) - 1 - file_name_length - 1
    assert 0 < rest <= 200
    folder += "/" + "e" * rest
    os.makedirs(folder, exist_ok=True)
    path = folder + "/" + "f" * file_name_length
    assert len(path.encode()) == total_length
    return path


class TestPathLimits:
    @pytest.mark.parametrize(
        "length, ok",
        [(NAME_MAX, True), (NAME_MAX + 1, False)],
        ids=["longest file name", "file name one byte too long"],
    )
    def test_table_file_name(self, reference, tmp_path, length, ok):
        path = str(tmp_path / ("t" * length))
        if ok:
            write_table(Path(path), [C_TO_T])
            assert rows(parse_vcf_files([path], str(reference), 3)) == [["P1::S1", "T[C>T]A"]]
        else:
            raises("OSError", "Failed to open the VCF file",
                   lambda: parse_vcf_files([path], str(reference), 3))

    @pytest.mark.parametrize(
        "length, ok",
        [(PATH_MAX - 1, True), (PATH_MAX, False), (2**20, False)],
        ids=["longest path", "path one byte too long", "one-megabyte path"],
    )
    def test_table_path(self, reference, tmp_path, length, ok):
        if length <= PATH_MAX:
            path = deep_path(tmp_path, length, 20)
        else:
            path = "/" + "x" * (length - 1)
        if ok:
            write_table(Path(path), [C_TO_T])
            assert rows(parse_vcf_files([path], str(reference), 3)) == [["P1::S1", "T[C>T]A"]]
        else:
            raises("OSError", "Failed to open the VCF file",
                   lambda: parse_vcf_files([path], str(reference), 3))

    @pytest.mark.parametrize(
        "length, ok",
        [(NAME_MAX - len(".txt"), True), (NAME_MAX - len(".txt") + 1, False)],
        ids=["longest chromosome name", "chromosome name one byte too long"],
    )
    def test_chromosome_name(self, reference, tmp_path, length, ok):
        chromosome = "c" * length
        if ok:
            write_reference(reference, "GRCh37", chromosome, CHROM1)
        path = write_table(tmp_path / "t.tsv", [record("C", "T", 6, chrom=chromosome)])
        call = lambda: parse_vcf_files([path], str(reference), 3)  # noqa: E731
        if ok:
            assert rows(call()) == [["P1::S1", "T[C>T]A"]]
        else:
            raises("OSError", "Failed to open the bytes file", call)

    @pytest.mark.parametrize(
        "length, ok",
        [(PATH_MAX - 1, True), (PATH_MAX, False), (2**20, False)],
        ids=["longest reference path", "reference path one byte too long",
             "one-megabyte reference root"],
    )
    def test_reference_root(self, tmp_path, length, ok):
        table = write_table(tmp_path / "t.tsv", [C_TO_T])
        tail = "/GRCh37/1.txt"
        if length <= PATH_MAX:
            root = deep_path(tmp_path / "deep", length - len(tail), 10)
        else:
            root = "/" + "r" * (length - len(tail) - 1)
        if ok:
            write_reference(Path(root), "GRCh37", "1", CHROM1)
            assert len((root + tail).encode()) == length
            assert rows(parse_vcf_files([table], root, 3)) == [["P1::S1", "T[C>T]A"]]
        else:
            raises("OSError", "Failed to open the bytes file",
                   lambda: parse_vcf_files([table], root, 3))


class TestReferenceNames:
    """The path is the plain concatenation root/build/chromosome.txt: nothing is normalised or
    refused, so a NUL (which cannot be in a path) is the only name that fails as such."""

    @pytest.mark.parametrize(
        "make_root, chromosome, expected",
        [
            (lambda r: str(r) + "/", "1", "T[C>T]A"),
            (lambda r: str(r) + "//", "1", "T[C>T]A"),
            (lambda r: f"{r}/../{r.name}", "1", "T[C>T]A"),
            (lambda r: f"{r}/./GRCh37/..", "1", "T[C>T]A"),
            (lambda r: str(r.parent / "root with spaces"), "1", "G[C>T]T"),
            (lambda r: str(r), "chr 1", "G[C>T]T"),
            (lambda r: str(r), "../GRCh38/1", "G[C>T]T"),
            (lambda r: str(r), "sub/1", "G[C>T]T"),
            (lambda r: str(r), "./1", "T[C>T]A"),
            (lambda r: str(r), "\u00e9\u6837", "G[C>T]T"),
        ],
        ids=["trailing slash", "double slash", "dot-dot in root", "dot-dot after the build",
             "spaces in root", "space in chromosome", "dot-dot in chromosome",
             "slash in chromosome", "dot in chromosome", "non-ASCII chromosome"],
    )
    def test_names_are_used_as_written(self, reference, tmp_path, make_root, chromosome,
                                       expected):
        other = "AAAAGCTAAAAAAAAA"  # position 6 is C between G and T
        write_reference(reference, "GRCh38", "1", other)
        write_reference(reference, "GRCh37", "chr 1", other)
        write_reference(reference / "GRCh37", "sub", "1", other)
        write_reference(reference, "GRCh37", "\u00e9\u6837", other)
        write_reference(tmp_path / "root with spaces", "GRCh37", "1", other)
        path = write_table(tmp_path / "t.tsv", [record("C", "T", 6, chrom=chromosome)])
        result = parse_vcf_files([path], make_root(reference), 3)
        assert rows(result) == [["P1::S1", expected]]

    @pytest.mark.parametrize(
        "root_suffix, chromosome",
        [("\0", "1"), ("", "1\0"), ("", "\0"), ("\0/../x", "1")],
        ids=["NUL at the end of the root", "NUL in chromosome", "chromosome only NUL",
             "NUL inside the root"],
    )
    def test_nul_cannot_name_a_file(self, reference, tmp_path, root_suffix, chromosome):
        path = write_table(tmp_path / "t.tsv", [record("C", "T", 6, chrom=chromosome)])
        raises("OSError", "Failed to open the bytes file",
               lambda: parse_vcf_files([path], str(reference) + root_suffix, 3))

    @pytest.mark.parametrize("root", ["", "relative-root-that-does-not-exist"])
    def test_missing_roots(self, tmp_path, root):
        # "" makes the absolute path /GRCh37/1.txt; a relative root is resolved against the
        # working directory.
        path = write_table(tmp_path / "t.tsv", [C_TO_T])
        raises("OSError", "Failed to open the bytes file",
               lambda: parse_vcf_files([path], root, 3))


class TestHugeContext:
    """Half-widths near the 64-bit limits fail in an orderly way, without allocating the
    window before its bytes were seen. The call runs with at most 1 GiB more address space."""

    @pytest.mark.parametrize(
        "context, position, expected",
        [
            (2**64 - 1, 6, ["PanicException", "capacity overflow"]),
            (2**64 - 1, 1, ["PanicException", "capacity overflow"]),
            (2**64 - 1, 0, ["OSError", "Error seeking to the specified position"]),
            (2**63, 6, ["OSError", "Error reading data from the file"]),
            (2**63 + 1, 6, ["OSError", "Error reading data from the file"]),
            (2**62, 6, ["OSError", "Error reading data from the file"]),
            (2**62, 2**61 + 1, ["OSError", "Error reading data from the file"]),
            (10**12, 6, ["OSError", "Error reading data from the file"]),
            (10**12, 10**12, ["OSError", "Error reading data from the file"]),
        ],
    )
    def test_orderly_failure(self, reference, tmp_path, context, position, expected):
        path = write_table(tmp_path / "t.tsv", [record("C", "T", position)])
        outcome = run_limited(f"""
print(json.dumps(outcome(lambda: parse_vcf_files([{path!r}], {str(reference)!r}, {context}))))
""")
        assert outcome == expected

    def test_huge_context_with_a_reference_long_enough_is_read(self, reference, tmp_path):
        # Not an error as such: a window that fits in the file is read, however wide.
        write_reference(reference, "GRCh37", "long", "ACGT" * 50_000 + "A")
        path = write_table(tmp_path / "t.tsv", [record("C", "T", 100_001, chrom="long")])
        result = parse_vcf_files([path], str(reference), 200_000)
        assert result[0, 1] == "ACGT" * 25_000 + "[C>T]" + "CGTA" * 25_000


class TestSpecialFiles:
    def test_table_that_is_a_directory(self, reference, tmp_path):
        raises("OSError", "Error reading line from the VCF file",
               lambda: parse_vcf_files([str(tmp_path)], str(reference), 3))

    def test_table_that_is_dev_null(self, reference):
        assert parse_vcf_files(["/dev/null"], str(reference), 3).shape == (0, 0)

    @pytest.mark.parametrize("leading", [0, 200], ids=["alone", "after a full batch"])
    @pytest.mark.parametrize(
        "make, outcome",
        [
            (lambda p: p.mkdir(), "OSError: read or seek"),  # the file system decides
            (lambda p: os.mkfifo(p), "OSError: Error seeking to the specified position"),
            (lambda p: p.symlink_to("/dev/null"), "OSError: Error reading data from the file"),
            (lambda p: p.symlink_to("/dev/zero"), "A[C>T]A"),  # byte 0 is A
            (lambda p: p.symlink_to(p.parent / "missing.txt"),
             "OSError: Failed to open the bytes file"),
            (lambda p: p.symlink_to(p), "OSError: Failed to open the bytes file"),  # a loop
        ],
        ids=["directory", "FIFO", "/dev/null", "/dev/zero", "dangling link", "link loop"],
    )
    def test_reference_that_is_not_a_plain_file(self, reference, tmp_path, make, outcome,
                                                 leading):
        # After a full batch of windows, the reads go through io_uring where the kernel
        # allows it; the answers must be the same.
        special = reference / "GRCh37" / "special.txt"
        make(special)
        lines = [C_TO_T] * leading + [record("C", "T", 6, key=("Q", "R"), chrom="special")]
        path = write_table(tmp_path / "t.tsv", lines)
        try:
            result = parse_vcf_files([path], str(reference), 3)
        except OSError as error:
            if outcome == "OSError: read or seek":
                assert str(error) in ("Error reading data from the file",
                                      "Error seeking to the specified position")
            else:
                assert f"OSError: {error}" == outcome
        else:
            assert result.shape == (leading + 1, 2)
            assert result[-1].tolist() == ["Q::R", outcome]

    @pytest.mark.parametrize(
        "position, context, message",
        [
            (1, 0, "Error reading data from the file"),
            (1, 3, "Error reading data from the file"),
            (2, 5, "Error reading data from the file"),
            (0, 3, "Error seeking to the specified position"),
        ],
    )
    def test_empty_reference_file(self, reference, tmp_path, position, context, message):
        write_reference(reference, "GRCh37", "empty", b"")
        path = write_table(tmp_path / "t.tsv", [record("C", "T", position, chrom="empty")])
        raises("OSError", message, lambda: parse_vcf_files([path], str(reference), context))


def decoded(byte):
    return "ACGT"[byte % 4] if byte < 16 else "N" if byte < 20 else " "


@pytest.mark.parametrize("ref, alt", [("C", "T"), ("G", "A")], ids=["forward", "folded"])
def test_every_reference_byte_value(reference, tmp_path, ref, alt):
    write_reference(reference, "GRCh37", "bytes", bytes(range(256)) * 2)
    # Position 257 holds byte 0; the window of half-width 255 covers every value on each side.
    path = write_table(tmp_path / "t.tsv", [record(ref, alt, 257, chrom="bytes")])
    left, right = parse_vcf_files([path], str(reference), 511)[0, 1].split("]")
    left = left.split("[")[0]
    forward_left = "".join(decoded(b) for b in range(1, 256))
    forward_right = "".join(decoded(b) for b in range(1, 256))
    if ref == "C":
        assert (left, right) == (forward_left, forward_right)
    else:
        assert (left, right) == (forward_right[::-1].translate(COMPLEMENT),
                                 forward_left[::-1].translate(COMPLEMENT))


class TestCallbacksDuringTheCall:
    """The only Python code that runs during a call is the context's __index__, before any
    file is read; whatever it does to the arguments, the call stays sound."""

    def test_index_that_empties_the_list(self, reference, tmp_path):
        files = [write_table(tmp_path / "t.tsv", [C_TO_T])]

        class Clearing:
            def __index__(self):
                files.clear()
                return 3

        assert parse_vcf_files(files, str(reference), Clearing()).shape == (0, 0)

    def test_index_that_replaces_the_elements(self, reference, tmp_path):
        good = write_table(tmp_path / "t.tsv", [C_TO_T])
        files = [good]

        class Replacing:
            def __index__(self):
                files[:] = [good, 7, good]
                return 3

        raises("TypeError", "'int' object cannot be converted to 'PyString'",
               lambda: parse_vcf_files(files, str(reference), Replacing()))

    def test_index_that_calls_the_module_again(self, reference, tmp_path):
        good = write_table(tmp_path / "t.tsv", [C_TO_T])
        inner = []

        class Reentrant:
            def __index__(self):
                inner.append(parse_vcf_files([good, good], str(reference), 5))
                return 3

        assert rows(parse_vcf_files([good], str(reference), Reentrant())) == [
            ["P1::S1", "T[C>T]A"]]
        assert inner[0].shape == (2, 2)


def test_nul_and_control_bytes_in_texts_survive(reference, tmp_path):
    path = tmp_path / "t.tsv"
    line = "\t".join(["P\0x", "S\x01\x7f", "x", "GRCh37", "SNP", "1", "6", "6", "C", "T"])
    path.write_bytes(line.encode() + b"\n")
    assert rows(parse_vcf_files([str(path)], str(reference), 3)) == [
        ["P\0x::S\x01\x7f", "T[C>T]A"]]


class TestResultOwnership:
    """The result array's elements live in storage that the array does not own; writing into
    it, keeping views of it and dropping it in any order must keep every count right."""

    def test_assigned_objects_are_released_with_the_array(self, reference, tmp_path):
        path = write_table(tmp_path / "t.tsv", [C_TO_T, C_TO_T])
        sentinel = object()
        held = sys.getrefcount(sentinel)
        result = parse_vcf_files([path], str(reference), 3)
        result[0, 0] = sentinel
        result[1] = [sentinel, None]
        result.flat[1] = sentinel
        assert sys.getrefcount(sentinel) == held + 3
        del result
        gc.collect()
        assert sys.getrefcount(sentinel) == held

    def test_views_outlive_the_array(self, reference, tmp_path):
        path = write_table(tmp_path / "t.tsv", [C_TO_T, record("G", "A", 8, key=("P2", "S2"))])
        result = parse_vcf_files([path], str(reference), 3)
        column = result[:, 1]
        row = result[1]
        transposed = result.T
        del result
        assert column.tolist() == ["T[C>T]A", "C[C>T]T"]
        assert row.tolist() == ["P2::S2", "C[C>T]T"]
        assert transposed.shape == (2, 2)
        del column, row
        assert transposed[0].tolist() == ["P1::S1", "P2::S2"]

    def test_resize_in_place_is_refused(self, reference, tmp_path):
        path = write_table(tmp_path / "t.tsv", [C_TO_T])
        result = parse_vcf_files([path], str(reference), 3)
        with pytest.raises(ValueError):
            result.resize((4, 2))
        assert result.tolist() == [["P1::S1", "T[C>T]A"]]
