"""mutflank against its pure-Python model (bench/mutflank_model.py).

Seeded random reference directories and tables, with every kind of skipped line, CRLF and
other line ends, purine and pyrimidine reference alleles, windows at the chromosome start
and every kind of failure; then a table of argument errors. For each call the module and
the model must return equal arrays, element by element, or raise the same exception type
with the same arguments.
"""

import os
import random
import sys

import numpy as np
import pytest

import mutflank

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "bench"))
import mutflank_model  # noqa: E402
from conftest import Index  # noqa: E402

SEEDS = range(24)
CALLS_PER_SEED = 12

U64 = 1 << 64
BUILDS = ("GRCh37", "GRCh38")
CONTEXTS = (0, 1, 2, 3, 3, 3, 4, 5, 5, 7, 10, 21)


# ---------------------------------------------------------------------------------------
# Comparing outcomes.


def exception_class(error):
    """The identity of an exception's type; the module's PanicException is compared by its
    qualified name and bases, since the model defines a class of its own."""
    kind = type(error)
    if kind.__qualname__ == "PanicException":
        return ("PanicException", kind.__module__, kind.__bases__)
    return kind


def outcome(function, *args, **kwargs):
    try:
        result = function(*args, **kwargs)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        described = {"type": exception_class(error), "args": error.args}
        if isinstance(error, OSError):
            described["os"] = (error.errno, error.strerror, error.filename, error.filename2)
        if type(error) is TypeError:
            cause = error.__cause__
            described["cause"] = (type(cause), getattr(cause, "args", None))
            described["suppress_context"] = error.__suppress_context__
        return ("raised", described)
    assert type(result) is np.ndarray
    rows = result.tolist()
    return ("returned", result.dtype, result.shape, rows,
            [type(text) for row in rows for text in row])


def assert_same(args, kwargs=None):
    kwargs = kwargs or {}
    ours = outcome(mutflank.parse_vcf_files, *args, **kwargs)
    model = outcome(mutflank_model.parse_vcf_files, *args, **kwargs)
    assert ours == model, f"call {args!r} {kwargs!r}"
    return ours


# ---------------------------------------------------------------------------------------
# Random reference directories.


def random_bases(rng, length):
    """Reference bytes: mostly 0..15, some N (16..19) and some undecodable (20..255)."""
    data = bytearray(rng.randrange(16) for _ in range(length))
    for _ in range(rng.randrange(3)):
        i = rng.randrange(length)
        data[i] = rng.randrange(16, 20) if rng.random() < 0.7 else rng.randrange(20, 256)
    if rng.random() < 0.4:  # a run of N at the chromosome start
        run = rng.randrange(1, min(length, 12) + 1)
        data[:run] = bytes(rng.randrange(16, 20) for _ in range(run))
    return bytes(data)


class Reference:
    """A reference directory: chromosome lengths per build, plus special entries."""

    def __init__(self, root, rng):
        self.root = str(root)
        self.lengths = {}
        builds = BUILDS if rng.random() < 0.8 else BUILDS[:1]  # sometimes GRCh38 is missing
        for build in builds:
            os.makedirs(os.path.join(self.root, build))
            for chromosome in rng.sample(["1", "2", "X", "chr1", "MT", "é"], 3):
                length = rng.randrange(12, 200)
                with open(os.path.join(self.root, build, chromosome + ".txt"), "wb") as f:
                    f.write(random_bases(rng, length))
                self.lengths[(build, chromosome)] = length
        folder = os.path.join(self.root, "GRCh37")
        with open(os.path.join(folder, "empty.txt"), "wb"):
            pass
        os.mkdir(os.path.join(folder, "folder.txt"))  # a directory where a file should be
        os.mkfifo(os.path.join(folder, "fifo.txt"))


# ---------------------------------------------------------------------------------------
# Random table lines.


def fields(rng, build, kind, chromosome, position, ref, alt, extra=()):
    key = rng.choice([("P1", "S1"), ("DO12", "SA7"), ("", ""), ("pé", "s中"), ("a::b", "c")])
    return "\t".join([key[0], key[1], "x", build, kind, chromosome, position, position, ref,
                      alt, *extra])


def good_position(rng, length, half_width):
    """A position whose window lies inside the chromosome, often at its start."""
    last = length - half_width
    if last < 1:
        return None
    if rng.random() < 0.3:
        return rng.randrange(1, min(last, half_width + 2) + 1)
    return rng.randrange(1, last + 1)


def kept_line(rng, reference, half_width):
    build, chromosome = rng.choice(sorted(reference.lengths))
    position = good_position(rng, reference.lengths[(build, chromosome)], half_width)
    if position is None:
        return skipped_line(rng, reference)
    ref = rng.choice(["G", "A", "G", "A", "C", "T", "C", "T", "GA", "N", "", "g", "AGé"])
    alt = rng.choice([b for b in "ACGT" if b != ref] if len(ref) == 1 else "ACGT")
    text = str(position) if rng.random() < 0.9 else "+" + str(position)
    extra = rng.choice([(), (), ("more", "fields"), ("",)])
    return fields(rng, build, rng.choice(["SNP", "SNV"]), chromosome, text, ref, alt, extra)


def skipped_line(rng, reference, junk=True):
    """A line that is skipped; with `junk`, sometimes random fields that may even qualify."""
    build, chromosome = rng.choice(sorted(reference.lengths))
    kind = rng.randrange(9 if junk else 8)
    # A position that would fail if the record were judged: skipped lines never parse it.
    position = rng.choice(["100", "abc", "", "-5", "999999999999999999999"])
    if kind == 0:
        build = rng.choice(["grch37", "GRCh37.p13", "hg19", "Genome", "GRCh38 "])
        return fields(rng, build, "SNP", chromosome, position, "C", "T")
    if kind == 1:
        mutation = rng.choice(["snp", "DBS", "INDEL", "SNV ", "MNV", ""])
        return fields(rng, build, mutation, chromosome, position, "C", "T")
    if kind == 2:
        alt = rng.choice(["N", "AC", "a", "", "-", "T ", "é"])
        return fields(rng, build, "SNV", chromosome, position, "C", alt)
    if kind == 3:  # equal after folding
        ref = rng.choice("ACGT")
        return fields(rng, build, "SNP", chromosome, position, ref, ref)
    if kind == 4:  # nine fields, or nine and a trailing tab (an empty alternate)
        line = "\t".join(["P", "S", "x", build, "SNP", chromosome, "5", "5", "C"])
        return line + rng.choice(["", "\t"])
    if kind == 5:
        return rng.choice(["", "no tabs here", "#comment\twith\ttabs"])
    if kind == 6:
        return "donor\tsample\tid\tbuild\ttype\tchromosome\tstart\tend\tref\talt"
    if kind == 7:  # a build the reference does not have on disk is still skipped first
        return fields(rng, "NCBI36", "SNP", "nowhere", position, "G", "A")
    return "\t".join(rng.choice(["GRCh37", "SNP", "1", "A", "x"]) for _ in range(rng.randrange(12)))


def failing_line(rng, reference, half_width):
    """A qualifying record that makes the call fail."""
    build, chromosome = rng.choice(sorted(reference.lengths))
    length = reference.lengths[(build, chromosome)]
    position = rng.choice([
        "", "abc", "1.5", "-5", "+", "-", " 5", "5 ", "++5", "٣",
        "18446744073709551616", "18446744073709551615", "99999999999999999999x",
        "0000000000000000000000012", "1x999999999999999999999", "0",
        str(length - half_width + 1), str(length + 1000), str(U64 - 1),
        # windows starting just below, at and just above the largest file offset
        str(2**63 + half_width), str(2**63 + half_width + 1), str(2**63 + half_width + 5),
    ])
    if rng.random() < 0.35:
        build, chromosome = rng.choice([
            ("GRCh37", "missing"), ("GRCh38", "missing"), ("GRCh37", "empty"),
            ("GRCh37", "folder"), ("GRCh37", "fifo"), ("GRCh37", "a\0b"),
        ])
        position = str(rng.randrange(1, 50))
    return fields(rng, build, "SNP", chromosome, position, rng.choice("ACGT"),
                  rng.choice(["A", "C"]) if rng.random() < 0.5 else "T")


def invalid_utf8(rng):
    return rng.choice([b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xe2\x82", b"\xf4\x90\x80\x80"])


def write_table(path, rng, reference, half_width, fail):
    lines = []
    for _ in range(rng.randrange(0, 25)):
        roll = rng.random()
        line = kept_line(rng, reference, half_width) if roll < 0.6 else skipped_line(rng, reference)
        lines.append(line.encode("utf-8"))
    if fail:
        bad = failing_line(rng, reference, half_width).encode("utf-8")
        if rng.random() < 0.15:
            bad = b"P\tS\tx\tGRCh37\tHEADER" + invalid_utf8(rng)
        lines.insert(rng.randrange(len(lines) + 1), bad)
    if lines and rng.random() < 0.1:
        lines[0] = b"\xef\xbb\xbf" + lines[0]  # a byte-order mark stays in the first field
    newline = rng.choice([b"\n", b"\n", b"\r\n"])
    data = b"".join(line + newline for line in lines)
    if lines and rng.random() < 0.2:  # a last line without its terminator
        data = data[:-len(newline)]
        if rng.random() < 0.5:
            data += b"\r"  # a carriage return without a line feed stays in the last field
    with open(path, "wb") as f:
        f.write(data)
    return str(path)


def random_call(tmp_path, rng, reference, number):
    context = rng.choice(CONTEXTS)
    half_width = context // 2
    fail = rng.random() < 0.3
    tables = []
    for t in range(rng.randrange(1, 4)):
        tables.append(write_table(tmp_path / f"call{number}_table{t}.tsv", rng, reference,
                                  half_width, fail and t == 0))
    if rng.random() < 0.15:
        tables.append(tables[0])  # the same file twice
    if rng.random() < 0.1:
        tables.insert(rng.randrange(len(tables) + 1),
                      rng.choice([str(tmp_path / "missing.tsv"), str(tmp_path), "a\0b.tsv"]))
    root = reference.root + rng.choice(["", "", "", "/"])
    if rng.random() < 0.05:
        context = rng.choice([U64 - 1, 2**63, 2**62, 1_000_000])  # windows too large to hold
    if rng.random() < 0.2:
        return (), {"context": context, "ref_genome": root, "vcf_files": tables}
    return (tables, root, context), {}


@pytest.mark.parametrize("seed", SEEDS)
def test_random_tables_agree(tmp_path, seed):
    rng = random.Random(seed)
    reference = Reference(tmp_path / "ref", rng)
    returned = 0
    for number in range(CALLS_PER_SEED):
        result = assert_same(*random_call(tmp_path, rng, reference, number))
        returned += result[0] == "returned"
    assert returned > 0  # the seeds also produce successful calls


def test_the_random_calls_cover_every_failure(tmp_path):
    """Every failure message arises in the seeded calls above, and rows are made."""
    seen = set()
    rows = 0
    for seed in SEEDS:
        rng = random.Random(seed)
        reference = Reference(tmp_path / f"ref{seed}", rng)
        for number in range(CALLS_PER_SEED):
            args, kwargs = random_call(tmp_path, rng, reference, number)
            result = outcome(mutflank_model.parse_vcf_files, *args, **kwargs)
            if result[0] == "raised":
                seen.add(result[1]["args"][0])
            else:
                rows += result[2][0]
    expected = {
        mutflank_model.OPEN_TABLE, mutflank_model.READ_LINE, mutflank_model.OPEN_REFERENCE,
        mutflank_model.SEEK, mutflank_model.READ_WINDOW, mutflank_model.CAPACITY_OVERFLOW,
        mutflank_model.POSITION_EMPTY, mutflank_model.POSITION_INVALID_DIGIT,
        mutflank_model.POSITION_OVERFLOW,
    }
    assert expected <= seen, expected - seen
    assert rows > 500


def test_lines_of_every_length_agree(tmp_path):
    """Lines around 16 and 64 bytes long, tabs and non-ASCII characters at every offset,
    fields padded so that the tenth tab falls in a later 64-byte stretch of the line."""
    rng = random.Random(99)
    reference = Reference(tmp_path / "ref", rng)
    build, chromosome = sorted(reference.lengths)[0]
    lines = []
    for pad in range(0, 140, 3):
        for where in (0, 1, 2, 7, 9):
            parts = [f"P{pad}", "S", "x", build, "SNP", chromosome, "5", "5", "G", "A"]
            parts[where] += "z" * pad
            lines.append("\t".join(parts))
            parts[where] = parts[where][:pad // 2] + "é" + parts[where][pad // 2:]
            lines.append("\t".join(parts))
    for length in range(40):
        lines.append("\t" * length)
        lines.append(("a\t" * length)[:length])
    path = tmp_path / "lengths.tsv"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    result = assert_same(([str(path)], reference.root, 3), {})
    assert result[0] == "returned" and result[2][0] > 100


def test_a_long_table_agrees(tmp_path):
    """A table with hundreds of kept records, read in batches of windows."""
    rng = random.Random(7)
    reference = Reference(tmp_path / "ref", rng)
    lines = [kept_line(rng, reference, 2) for _ in range(700)]
    lines += [skipped_line(rng, reference, junk=False) for _ in range(100)]
    rng.shuffle(lines)
    path = tmp_path / "long.tsv"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    result = assert_same(([str(path), str(path)], reference.root, 5), {})
    assert result[0] == "returned" and result[2][0] > 1000
    # A failure late in the table: rows of earlier batches are not returned either.
    for position in ("abc", str(2**63 + 9), "999999"):
        lines.insert(650, fields(rng, "GRCh37", "SNP", sorted(reference.lengths)[0][1],
                                 position, "C", "T"))
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
        result = assert_same(([str(path)], reference.root, 5), {})
        assert result[0] == "raised"
        del lines[650]


@pytest.mark.parametrize("seed", range(8))
def test_many_small_tables_agree(tmp_path, seed):
    """Forty small tables a call: the call's windows are read in batches that span tables,
    and failures, special files (a FIFO, a directory, an empty file) and bad list elements
    come after more than a full batch of kept records."""
    rng = random.Random(1000 + seed)
    reference = Reference(tmp_path / "ref", rng)
    for number in range(4):
        context = rng.choice(CONTEXTS[:-1])
        fail = number % 2 == 1
        failing_table = rng.randrange(20, 40)
        tables = [write_table(tmp_path / f"call{number}_table{t}.tsv", rng, reference,
                              context // 2, fail and t == failing_table) for t in range(40)]
        if fail and rng.random() < 0.3:
            tables.insert(failing_table + 1, rng.choice([5, str(tmp_path / "missing.tsv"),
                                                         str(tmp_path)]))
        result = assert_same((tables, reference.root, context), {})
        if not fail:
            assert result[0] == "returned" and result[2][0] > 128


# ---------------------------------------------------------------------------------------
# Arguments.


class IndexRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class Paths(list):
    def __getitem__(self, i):
        raise AssertionError("the list's own storage is read")

    def __iter__(self):
        raise AssertionError("the list's own storage is read")


class Text(str):
    pass


def chained_type_error():
    error = TypeError("outer")
    error.__cause__ = ValueError("inner")
    return error


@pytest.fixture
def small(tmp_path):
    ref = tmp_path / "ref" / "GRCh37"
    ref.mkdir(parents=True)
    (ref / "1.txt").write_bytes(bytes(range(16)) * 2)
    table = tmp_path / "t.tsv"
    table.write_text("P\tS\tx\tGRCh37\tSNP\t1\t6\t6\tG\tA\nP\tS\tx\tGRCh37\tSNV\t1\t2\t2\tC\tT\n")
    return str(table), str(tmp_path / "ref")


ARGUMENT_CASES = {
    "no arguments": lambda t, r: ((), {}),
    "one": lambda t, r: (([t],), {}),
    "two": lambda t, r: (([t], r), {}),
    "four": lambda t, r: (([t], r, 3, 4), {}),
    "four and a keyword": lambda t, r: (([t], r, 3, 4), {"context": 3}),
    "unexpected keyword": lambda t, r: (([t], r), {"width": 3}),
    "twice": lambda t, r: (([t], r, 3), {"context": 5}),
    "twice, first keyword": lambda t, r: (([t],), {"vcf_files": [t], "context": 1}),
    "keywords reversed": lambda t, r: ((), {"context": 3, "ref_genome": r, "vcf_files": [t]}),
    "keyword missing two": lambda t, r: ((), {"ref_genome": r}),
    "tuple": lambda t, r: (((t,), r, 3), {}),
    "list subclass": lambda t, r: ((Paths([t, t]), r, 3), {}),
    "str subclasses": lambda t, r: (([Text(t)], Text(r), 3), {}),
    "bytes root": lambda t, r: (([t], r.encode(), 3), {}),
    "surrogate root": lambda t, r: (([t], r + "\udc80", 3), {}),
    "float context": lambda t, r: (([t], r, 3.0), {}),
    "str context": lambda t, r: (([t], r, "3"), {}),
    "None context": lambda t, r: (([t], r, None), {}),
    "bool context": lambda t, r: (([t], r, True), {}),
    "index context": lambda t, r: (([t], r, Index(5)), {}),
    "index returns str": lambda t, r: (([t], r, Index("5")), {}),
    "index raises ValueError": lambda t, r: (([t], r, IndexRaises(ValueError("no"))), {}),
    "index raises chained": lambda t, r: (([t], r, IndexRaises(chained_type_error())), {}),
    "negative context": lambda t, r: (([t], r, -1), {}),
    "context 2**64": lambda t, r: (([t], r, U64), {}),
    "context 2**64 - 1": lambda t, r: (([t], r, U64 - 1), {}),
    "int element": lambda t, r: (([t, 5], r, 3), {}),
    "bytes element": lambda t, r: (([t.encode()], r, 3), {}),
    "surrogate element": lambda t, r: (([t, "x\udc80"], r, 3), {}),
    "bad list, bad root": lambda t, r: ((None, None, None), {}),
    "bad root, bad context": lambda t, r: (([t], 1, "x"), {}),
    "empty list": lambda t, r: (([], "/nonexistent", 3), {}),
    "empty root": lambda t, r: (([t], "", 3), {}),
}


@pytest.mark.parametrize("case", ARGUMENT_CASES)
def test_arguments_agree(small, case):
    args, kwargs = ARGUMENT_CASES[case](*small)
    assert_same(args, kwargs)
