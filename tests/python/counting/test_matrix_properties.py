"""Property-based tests of `mutflank matrix` on hostile tables: random lines of every shape
(short and long lines, CRLF ends, headers, aliases of builds and chromosomes, malformed
positions, N and undecodable reference bytes, both chromosome ends) against a small plain
model that reads the reference bytes itself. Each table gives the model's matrices, or one
error line naming the file and line, exit status 1, and no output file."""

import collections
import contextlib
import io
import os
import tempfile
from unittest import mock

import pytest

hypothesis = pytest.importorskip("hypothesis")
# The installed command's package; `make sanitize` runs the suite without it.
pytest.importorskip("mutflank_tools")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from mutflank_tools.counting import work  # noqa: E402
from mutflank_tools.inputs import stream  # noqa: E402
from mutflank_tools.cli import main  # noqa: E402

FOLD = str.maketrans("ACGT", "TGCA")
BUILDS = {"GRCh37": "GRCh37", "hg19": "GRCh37", "37": "GRCh37", "GRCh38": "GRCh38",
          "NCBI36": None, "build": None}
# The reference holds GRCh37 chromosomes "1" and "MT"; "chr1" and "chrM" are their aliases.
FILES = {"1": "1", "chr1": "1", "MT": "MT", "chrM": "MT", "chrMT": "MT", "2": None}
MALFORMED = ["", "x", "-1", "1.0", " 3", "+", "0", "000", "+0", "\u0663", "18446744073709551616",
             "99999999999999999999"]


def base_of(byte):
    return "ACGT"[byte % 4] if byte < 16 else "N" if byte < 20 else " "


def model(lines, reference):
    """(counts, error): counts {type: {sample: Counter(channel)}} and the samples named, or the
    error message after the file's name."""
    counts = {name: collections.defaultdict(collections.Counter) for name in ("SBS96", "SBS1536")}
    samples = []
    if not lines:
        return None, "is empty (0 bytes): not a VCF, BCF, MAF or mutation table file"
    first = next((line for line in lines if line), None)
    if first is not None and len(first.split("\t")) < 10:
        return None, "not a VCF, BCF, MAF or mutation table file"
    for number, line in enumerate(lines, start=1):
        fields = line.split("\t")
        if len(fields) < 10:
            continue
        sample, build, kind, chrom, position, ref, alt = (
            fields[0], fields[3], fields[4], fields[5], fields[6], fields[8], fields[9])
        digits = position[1:] if position.startswith("+") else position
        if not (digits.isascii() and digits.isdigit() and 0 < int(digits) < 2**64):
            # A first line without a position is a header; a substitution row needs one.
            if number == 1 or kind not in ("SNP", "SNV"):
                continue
            if not position:
                return None, f"line {number}: the position is empty"
            if not (digits and digits.isascii() and digits.isdigit()):
                return None, f"line {number}: position {position!r} is not a number"
            if int(digits) >= 2**64:
                return None, f"line {number}: position {position} is larger than 2^64 - 1"
            return None, f"line {number}: position 0: positions count from 1"
        pos = int(digits)
        samples.append(sample)
        # The type column is not read: the alleles tell a substitution.
        if alt not in ("A", "C", "G", "T"):
            continue
        name = FILES[chrom] if BUILDS[build] == "GRCh37" else None
        if ref not in ("A", "C", "G", "T") or ref == alt or name is None:
            continue
        bases = reference[name]
        if pos > len(bases) or base_of(bases[pos - 1]) != ref:
            continue
        for flank, matrix in ((1, "SBS96"), (2, "SBS1536")):
            if pos - flank < 1 or pos + flank > len(bases):
                continue
            left = "".join(base_of(b) for b in bases[pos - 1 - flank:pos - 1])
            right = "".join(base_of(b) for b in bases[pos:pos + flank])
            ref_, alt_ = ref, alt
            if ref in "GA":
                ref_, alt_ = ref.translate(FOLD), alt.translate(FOLD)
                left, right = right.translate(FOLD)[::-1], left.translate(FOLD)[::-1]
            if set(left + right) <= set("ACGT"):
                counts[matrix][sample][f"{left}[{ref_}>{alt_}]{right}"] += 1
    return (counts, sorted(set(samples))), None


def read(path):
    lines = open(path).read().splitlines()
    header = lines[0].split("\t")[1:]
    cells = {sample: collections.Counter() for sample in header}
    for line in lines[1:]:
        channel, *values = line.split("\t")
        for sample, value in zip(header, values):
            if value != "0":
                cells[sample][channel] = int(value)
    return header, cells


reference_bytes = st.lists(st.sampled_from([0, 1, 2, 3, 4, 7, 9, 14, 16, 19, 20, 200]),
                           min_size=1, max_size=12).map(bytes)
positions = st.one_of(st.integers(1, 14).map(str), st.sampled_from(MALFORMED),
                      st.sampled_from(["+4", "007", "18446744073709551615"]))
alleles = st.sampled_from(["A", "C", "G", "T", "N", "AC", "", "a"])
records = st.tuples(
    st.sampled_from(["S1", "S2", "Sä"]),
    st.sampled_from(["GRCh37"] * 4 + sorted(BUILDS)),
    st.sampled_from(["SNP", "SNV", "SNV", "INDEL", "snv"]),
    st.sampled_from(["1", "1", "MT"] + sorted(FILES)),
    positions,
    st.one_of(st.just("the reference's base"), alleles),
    alleles,
    st.sampled_from([10, 10, 10, 9, 11]),
)


def line_of(record, reference):
    """A table line; the REF "the reference's base" is the base at the position (if any)."""
    sample, build, kind, chrom, position, ref, alt, width = record
    if ref == "the reference's base":
        bases = reference.get(FILES[chrom]) or b""
        at = int(position) if position.isascii() and position.isdigit() else 0
        ref = base_of(bases[at - 1]) if 0 < at <= len(bases) else "A"
    fields = [sample, "P", ".", build, kind, chrom, position, position, ref, alt, "extra"]
    return "\t".join(fields[:width])


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(chromosome=reference_bytes, mito=reference_bytes,
       table=st.lists(records, max_size=25), ten_fields=st.booleans(), crlf=st.booleans(),
       block=st.integers(128, 400), chunk=st.integers(1, 6))
def test_matrices_are_the_models(chromosome, mito, table, ten_fields, crlf, block, chunk):
    # Every line with ten fields takes the quick road, whole blocks at once; small blocks and
    # buffers cut the table anywhere.
    reference = {"1": chromosome, "MT": mito}
    table = [line_of(record[:-1] + (10,) if ten_fields else record, reference)
             for record in table]
    with tempfile.TemporaryDirectory() as folder, \
            mock.patch.object(stream, "CHUNK_BYTES", block), \
            mock.patch.object(work, "BATCH_RECORDS", chunk):
        os.makedirs(os.path.join(folder, "ref", "GRCh37"))
        for name, data in (("1", chromosome), ("MT", mito)):
            with open(os.path.join(folder, "ref", "GRCh37", f"{name}.txt"), "wb") as out:
                out.write(data)
        path = os.path.join(folder, "t.tsv")
        with open(path, "w", encoding="utf-8", newline="") as out:
            out.write("".join(line + ("\r\n" if crlf else "\n") for line in table))
        prefix = os.path.join(folder, "out", "m")
        os.mkdir(os.path.dirname(prefix))
        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr):
            status = main(["matrix", path, "--reference", os.path.join(folder, "ref"), "-o",
                           prefix, "--allow-ref-mismatch", "--allow-missing-chromosomes",
                           "--types", "SBS96,SBS1536", "--no-merge-doublets"])
        expected, error = model(table, reference)
        if error is not None:
            assert (status, stderr.getvalue()) == (
                1, f"mutflank matrix: error: {path}: {error}\n")
            assert os.listdir(os.path.dirname(prefix)) == []
            return
        assert status == 0, stderr.getvalue()
        counts, samples = expected
        for name in ("SBS96", "SBS1536"):
            header, cells = read(f"{prefix}.{name}.tsv")
            assert header == samples
            assert cells == {sample: counts[name][sample] for sample in samples}
            assert stderr.getvalue().count("\n") >= 1
