"""--regions of `matrix` and `table`: the BED reader (plain, gzip, a pipe; merged intervals;
names matched to the reference; every malformed line) and the rule for records at region
edges (first and last base, intervals of one base, overlapping and touching intervals),
doublets and indels included."""

import gzip
import random
import re
from pathlib import Path

import numpy as np
import pytest
from cli_support import piped, table_lines

pytest.importorskip("mutflank_tools")  # not installed under make sanitize

from mutflank_tools.cli import main  # noqa: E402
from mutflank_tools.runtime.errors import InputError  # noqa: E402
from mutflank_tools.inputs import regions as regions_module  # noqa: E402
from mutflank_tools.inputs.regions import OUTSIDE, merge, read_regions  # noqa: E402

BYTE = {"A": 0, "C": 1, "G": 2, "T": 3}
BASES = "".join(random.Random(7).choice("ACGT") for _ in range(60))

# 0-based half-open, as a BED writes them: 11..20, 31..40 (two touching intervals, one named
# chr1), 45 alone, 51..58 (two overlapping intervals, out of order), and one on a chromosome
# the reference lacks.
BED = ("track name=targets\n# exome\n1\t50\t55\n1\t10\t20\nchr1\t30\t35\n1\t35\t40\n"
       "1\t44\t45\n\n1\t52\t58\nchrZ\t0\t10\n")


def snv(pos):
    ref = BASES[pos - 1]
    return pos, ref, "A" if ref != "A" else "C", "SNV"


def doublet(pos):
    ref = BASES[pos - 1:pos + 1]
    return pos, ref, "".join("A" if base != "A" else "C" for base in ref), "DBS"


def split(pos):
    """A record of three bases whose first and last change: two SNVs once split."""
    ref = BASES[pos - 1:pos + 2]
    return pos, ref, other(ref[0]) + ref[1] + other(ref[2]), "SNV"


def other(base):
    return "A" if base != "A" else "C"


def deletion(anchor):
    return anchor, BASES[anchor - 1:anchor + 1], BASES[anchor - 1], "INDEL"


def insertion(anchor):
    return anchor, BASES[anchor - 1], BASES[anchor - 1] + "T", "INDEL"


# (record, inside the regions)
CASES = [
    (snv(10), False), (snv(11), True), (snv(20), True), (snv(21), False),  # edges of 11..20
    (snv(30), False), (snv(31), True), (snv(35), True), (snv(36), True), (snv(40), True),
    (snv(41), False),  # two touching intervals are one
    (snv(44), False), (snv(45), True), (snv(46), False),  # an interval of one base
    (snv(50), False), (snv(51), True), (snv(58), True), (snv(59), False),  # overlapping
    (doublet(19), True), (doublet(20), False), (doublet(10), False),  # both bases, or out
    (doublet(35), True), (doublet(44), False), (doublet(45), False),
    (deletion(9), False), (deletion(10), True), (deletion(19), True), (deletion(20), False),
    (insertion(10), True), (insertion(19), True), (insertion(20), False),
]


def write_vcf(path, cases, chrom="chr1"):
    lines = ["##fileformat=VCFv4.2",
             '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
             "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1"]
    for (pos, ref, alt, _), _ in sorted(cases, key=lambda case: case[0][0]):
        lines.append(f"{chrom}\t{pos}\t.\t{ref}\t{alt}\t.\tPASS\t.\tGT\t0/1")
    path.write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.fixture
def reference(tmp_path):
    folder = tmp_path / "reference" / "GRCh38"
    folder.mkdir(parents=True)
    (folder / "1.txt").write_bytes(bytes(BYTE[base] for base in BASES))
    return str(tmp_path / "reference")


@pytest.fixture
def bed(tmp_path):
    path = tmp_path / "targets.bed"
    path.write_text(BED)
    return str(path)


def table_rows(path):
    return {(row[4], int(row[6])) for row in
            (line.split("\t") for line in Path(path).read_text().splitlines())}


def test_table_keeps_the_records_inside(tmp_path, reference, bed, capsys):
    vcf = write_vcf(tmp_path / "calls.vcf", CASES)
    out = tmp_path / "calls.tsv"
    assert main(["table", vcf, "--reference", reference, "--regions", bed, "-o", str(out)]) == 0
    inside = {(kind, pos) for (pos, _, _, kind), keep in CASES if keep}
    assert table_rows(out) == inside
    outside = sum(not keep for _, keep in CASES)
    assert capsys.readouterr().err.splitlines()[1:] == [
        f"mutflank table: warning: {bed}: 1 region on chromosomes the reference lacks, "
        "left aside: chrZ (1)",
        f"mutflank table: left out {outside} records: {OUTSIDE}, on chr1 ({outside})"]


def test_matrix_counts_the_records_inside(tmp_path, reference, bed, capsys):
    vcf = write_vcf(tmp_path / "calls.vcf", CASES)
    prefix = str(tmp_path / "m")
    assert main(["matrix", vcf, "--reference", reference, "--regions", bed, "-o", prefix,
                 "--types", "SBS96,DBS78,ID83", "--no-merge-doublets"]) == 0
    totals = {kind: sum(int(line.split("\t")[1]) for line in
                        Path(f"{prefix}.{kind}.tsv").read_text().splitlines()[1:])
              for kind in ("SBS96", "DBS78", "ID83")}
    assert totals == {"SBS96": sum(keep for (_, _, _, kind), keep in CASES if kind == "SNV"),
                      "DBS78": sum(keep for (_, _, _, kind), keep in CASES if kind == "DBS"),
                      "ID83": sum(keep for (_, _, _, kind), keep in CASES if kind == "INDEL")}
    outside = sum(not keep for _, keep in CASES)
    assert f"mutflank matrix: left out {outside} records: {OUTSIDE}, on chr1 ({outside})" \
        in capsys.readouterr().err.splitlines()


@pytest.mark.parametrize("records, totals, outside", [
    # Adjacent SNVs become doublets before the regions are looked at: 12 and 13 inside
    # 1..20; 20 and 21 half outside, the two records left out.
    ([snv(12), snv(13), snv(20), snv(21)], [0, 1], 2),
    # A record of three bases, its middle base unchanged, is two SNVs: 4..6 inside; 22..24
    # outside, one record left out.
    ([split(4), split(22)], [2, 0], 1),
])
def test_matrix_leaves_out_the_records_of_merged_and_split_substitutions(
        tmp_path, reference, capsys, records, totals, outside):
    vcf = write_vcf(tmp_path / "calls.vcf", [(record, None) for record in records])
    bed = tmp_path / "r.bed"
    bed.write_text("1\t0\t20\n")
    prefix = str(tmp_path / "m")
    assert main(["matrix", vcf, "--reference", reference, "--regions", str(bed), "-o", prefix,
                 "--types", "SBS96,DBS78"]) == 0
    assert [sum(int(row.split("\t")[1]) for row in
                Path(f"{prefix}.{kind}.tsv").read_text().splitlines()[1:])
            for kind in ("SBS96", "DBS78")] == totals
    assert f"left out {outside} record{'s' * (outside > 1)}: {OUTSIDE}, on chr1 ({outside})" \
        in capsys.readouterr().err


@pytest.mark.parametrize("inserted", ["T", "TT"])
def test_a_maf_insertion_is_inside_as_the_same_vcf_insertion(tmp_path, reference, bed, capsys,
                                                              inserted):
    # Inserted after 9, 10, 19 and 20; the regions hold 11..20: the base after decides.
    anchors = [9, 10, 19, 20]
    maf = tmp_path / "calls.maf"
    maf.write_text("Chromosome\tStart_Position\tEnd_Position\tReference_Allele\t"
                   "Tumor_Seq_Allele1\tTumor_Seq_Allele2\tTumor_Sample_Barcode\tNCBI_Build\n"
                   + "".join(f"1\t{at}\t{at + 1}\t-\t-\t{inserted}\tS1\tGRCh38\n"
                             for at in anchors))
    vcf = Path(write_vcf(tmp_path / "calls.vcf", [((at, BASES[at - 1], BASES[at - 1] + inserted,
                                                     "INDEL"), None) for at in anchors]))
    kept = {}
    for name in (maf, vcf):
        out = tmp_path / "calls.tsv"
        assert main(["table", str(name), "--reference", reference, "--regions", bed, "-o",
                     str(out)]) == 0
        kept[name.suffix] = [int(row[6]) for row in table_lines(out.read_text())]
    assert kept == {".maf": [10, 19], ".vcf": [10, 19]}


# ---- the reader ------------------------------------------------------------------------

def intervals(regions):
    return {name: (starts.tolist(), ends.tolist())
            for name, (starts, ends) in regions.intervals.items()}


@pytest.mark.parametrize("how", ["plain", "gzip", "pipe", "gzip pipe"])
def test_reader_merges_intervals_from_any_source(tmp_path, how):
    data = BED.encode()
    if "gzip" in how:
        data = gzip.compress(data)
    if "pipe" not in how:
        path = tmp_path / "r.bed"
        path.write_bytes(data)
        regions = read_regions(str(path))
    else:
        with piped(data) as name:
            regions = read_regions(name)
    # As written: 35..40 of "1" stays apart from 30..35 of "chr1" until names are matched;
    # 50..55 and 52..58 overlap.
    assert intervals(regions) == {"1": ([10, 35, 44, 50], [20, 40, 45, 58]),
                                  "chr1": ([30], [35]), "chrZ": ([0], [10])}
    assert regions.lines == 7


def test_reader_matches_names_to_the_reference(tmp_path):
    path = tmp_path / "r.bed"
    path.write_text(BED)
    regions = read_regions(str(path)).matched({"1", "2"}, "GRCh38")
    assert intervals(regions) == {"1": ([10, 30, 44, 50], [20, 40, 45, 58])}
    assert regions.missing == {"chrZ": 1}
    assert regions.bases() == 10 + 10 + 1 + 8


def test_random_intervals_merge_to_their_union():
    rng = np.random.default_rng(3)
    starts = rng.integers(0, 1000, 300)
    ends = starts + rng.integers(0, 12, 300)
    covered = np.zeros(1100, dtype=bool)
    for start, end in zip(starts, ends):
        covered[start:end] = True
    merged_starts, merged_ends = merge(starts, ends)
    again = np.zeros(1100, dtype=bool)
    for start, end in zip(merged_starts, merged_ends):
        again[start:end] = True
    assert (again == covered).all()
    assert (merged_starts[1:] > merged_ends[:-1]).all()  # apart: neither overlap nor touch


def test_coordinates_past_every_chromosome_are_read_as_such(tmp_path):
    """A start or end of more digits than 64 bits hold is past every chromosome's end: read
    as FAR, not a traceback (OverflowError)."""
    path = tmp_path / "r.bed"
    path.write_text("X\t1\t99999999999999999999\nY\t99999999999999999999\t"
                    "999999999999999999999\n1\t5\t10\n")
    found = read_regions(str(path))
    assert {name: (starts.tolist(), ends.tolist())
            for name, (starts, ends) in found.intervals.items()} == {
        "X": ([1], [regions_module.FAR]), "Y": ([], []), "1": ([5], [10])}
    assert found.lines == 3


@pytest.mark.parametrize("text, message", [
    ("1\t10\n", "line 1: 2 fields, a BED line has at least 3: chromosome, start, end"),
    ("# a\ntrack x\n1\n", "line 3: 1 field, a BED line has at least 3: chromosome, start, end"),
    ("1\tten\t20\n", "line 1: start 'ten' is not a whole number of 0 or more"),
    ("1\t-1\t20\n", "line 1: start '-1' is not a whole number of 0 or more"),
    ("1\t0\t2e3\n", "line 1: end '2e3' is not a whole number of 0 or more"),
    ("1\t0\t5\n1\t20\t10\n", "line 2: end 10 is before start 20"),
    ("", "no interval: a BED file has lines of chromosome, start and end"),
    ("# only a comment\n", "no interval: a BED file has lines of chromosome, start and end"),
    (b"\xff1\t0\t5\n", "line 1: chromosome name b'\\xff1' is not UTF-8 text"),
    (b"1\t0\t5\n1\t7\t9\n\xc3(\t1\t2\n", "line 3: chromosome name b'\\xc3(' is not UTF-8 text"),
    (gzip.compress(b"1\t0\t5\n" * 1000, mtime=0)[:-30],
     "cannot read: not a valid, complete gzip file"),
    # Named: an id spelled from 2 MiB of bytes takes minutes under make sanitize's allocator.
    pytest.param(b"1\t0\t5\n" + b"\0" * (2 << 20),
                 "line 2: longer than 1,048,576 bytes: not a BED file", id="line-too-long"),
])
def test_malformed_bed_is_one_line_naming_the_file(tmp_path, reference, capsys, text, message):
    path = tmp_path / "r.bed"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    vcf = write_vcf(tmp_path / "calls.vcf", [(snv(11), True)])
    status = main(["matrix", vcf, "--reference", reference, "--regions", str(path),
                   "-o", str(tmp_path / "m")])
    err = capsys.readouterr().err
    assert status == 1
    assert err == f"mutflank matrix: error: {path}: {message}\n"
    assert not list(tmp_path.glob("m.*"))


@pytest.mark.parametrize("which, message", [
    ("folder", "{path}: is a folder"),
    ("missing", "{path}: cannot read: No such file or directory"),
])
def test_unreadable_bed(tmp_path, reference, capsys, which, message):
    path = tmp_path / "r.bed"
    if which == "folder":
        path.mkdir()
    vcf = write_vcf(tmp_path / "calls.vcf", [(snv(11), True)])
    assert main(["table", vcf, "--reference", reference, "--regions", str(path)]) == 1
    assert capsys.readouterr().err == (f"mutflank table: error: "
                                       f"{message.format(path=path)}\n")


def test_regions_need_a_build_when_the_reference_has_several(tmp_path, reference, bed, capsys):
    other = Path(reference) / "GRCh37"
    other.mkdir()
    (other / "1.txt").write_bytes(bytes(BYTE[base] for base in BASES))
    vcf = write_vcf(tmp_path / "calls.vcf", [(snv(11), True)])
    assert main(["table", vcf, "--reference", reference, "--regions", bed]) == 2
    assert capsys.readouterr().err == (f"mutflank table: error: --regions needs --build: the "
                                       f"reference {reference} has 2 build folders\n")


def test_table_without_reference_matches_names_by_alias(tmp_path, bed, capsys):
    # Without a reference, records on "1" find the intervals of the BED's "1" and "chr1".
    vcf = write_vcf(tmp_path / "calls.vcf", [(snv(12), True), (snv(33), True), (snv(42), False)],
                    chrom="1")
    out = tmp_path / "t.tsv"
    assert main(["table", vcf, "--build", "GRCh38", "--regions", bed, "-o", str(out)]) == 0
    assert table_rows(out) == {("SNV", 12), ("SNV", 33)}
    assert capsys.readouterr().err.splitlines()[1:] == [
        f"mutflank table: left out 1 record: {OUTSIDE}, on 1 (1)"]
