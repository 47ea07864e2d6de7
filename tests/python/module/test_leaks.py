"""Repeated calls over success and failure paths leak no reference, memory or descriptor."""

import gc
import os
import sys

import pytest

from conftest import Index, record, write_table
from mutflank import parse_vcf_files

GOOD = record("C", "T", 6)
MANY = 500  # rows per table, so that a leak per row shows in the resident size


class RaisingIndex:
    def __index__(self):
        raise TypeError("no index")


@pytest.fixture
def calls(tmp_path, ref_root):
    """(name, vcf_files, ref_genome, context, expected exception type or None)."""

    def table(name, lines):
        return write_table(tmp_path / name, lines)

    good = table("good.tsv", [GOOD] * MANY)
    bad_position = table("bad_position.tsv", [GOOD] * MANY + [record("C", "T", "x")])
    bad_chrom = table("bad_chrom.tsv", [GOOD] * MANY + [record("C", "T", 6, chrom="9")])
    past_end = table("past_end.tsv", [GOOD] * MANY + [record("C", "T", 16)])
    seek = table("seek.tsv", [GOOD] * MANY + [record("C", "T", 0)])
    invalid = tmp_path / "invalid.tsv"
    invalid.write_bytes((GOOD + "\n").encode() * MANY + b"\xc3\x28\n")
    root = ref_root
    return [
        ("rows", [good, good], root, Index(3), None),
        ("no rows", [], root, Index(3), None),
        ("panic", [good, bad_position], root, Index(3), BaseException),
        ("capacity", [table("one.tsv", [record("C", "T", 2)])], root, 2**64 - 1, BaseException),
        ("no table", [good, str(tmp_path / "missing.tsv")], root, Index(5), OSError),
        ("directory", [str(tmp_path)], root, Index(5), OSError),
        ("invalid UTF-8", [str(invalid)], root, Index(5), OSError),
        ("no chromosome", [bad_chrom], root, Index(5), OSError),
        ("past the end", [past_end], root, Index(5), OSError),
        ("position 0", [seek], root, Index(5), OSError),
        ("element", [good, object()], root, Index(3), TypeError),
        ("surrogate", [good, "x\udc80"], root, Index(3), UnicodeEncodeError),
        ("vcf_files", (good,), root, Index(3), TypeError),
        ("ref_genome", [good], b"root", Index(3), TypeError),
        ("context", [good], root, RaisingIndex(), TypeError),
        ("negative", [good], root, Index(-1), OverflowError),
    ]


def run(vcf_files, ref_genome, context, expected):
    if expected is None:
        parse_vcf_files(vcf_files, ref_genome, context)
    else:
        with pytest.raises(expected):
            parse_vcf_files(vcf_files, ref_genome, context)


def tracked(vcf_files, ref_genome, context):
    return [sys.getrefcount(o) for o in (vcf_files, ref_genome, context, *vcf_files)]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_descriptors():
    return set(os.listdir("/proc/self/fd"))


def test_no_reference_leaks(calls):
    for name, vcf_files, ref_genome, context, expected in calls:
        run(vcf_files, ref_genome, context, expected)
        before = tracked(vcf_files, ref_genome, context)
        for _ in range(50):
            run(vcf_files, ref_genome, context, expected)
        assert tracked(vcf_files, ref_genome, context) == before, name


def test_no_descriptor_leaks(calls):
    for _, vcf_files, ref_genome, context, expected in calls:
        run(vcf_files, ref_genome, context, expected)
    before = open_descriptors()
    for _ in range(20):
        for _, vcf_files, ref_genome, context, expected in calls:
            run(vcf_files, ref_genome, context, expected)
    # None left open; another test's thread in this process may have closed one meanwhile.
    assert sorted(open_descriptors() - before) == []


def test_resident_size_stays_flat(calls, capsys):
    # Each round makes about 14 000 str objects; keeping them would add megabytes.
    def round_of_calls():
        for _, vcf_files, ref_genome, context, expected in calls:
            run(vcf_files, ref_genome, context, expected)
        capsys.readouterr()  # drop the panic reports

    for _ in range(10):
        round_of_calls()
    gc.collect()
    before = resident_bytes()
    for _ in range(60):
        round_of_calls()
    gc.collect()
    assert resident_bytes() - before < 4 * 2**20
