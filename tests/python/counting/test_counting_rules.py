"""`mutflank matrix`: the rules of counting, each through the command, with the numbers a plain
model gives: every record checked on its own before adjacent SNVs are merged, and summaries
that count the records of the input; phasing, sites of two alleles, substitutions of several
bases, duplicates, chosen samples; the hold of SNVs and streaming past it; the REF check of
every base; empty alleles, FILTER and strands. The merger is also held to a model written
from docs/classes.md, on random small inputs."""

import random
import re
import subprocess

import numpy as np
import pytest

from cli_support import MAF_HEADER, write_text

pytest.importorskip("mutflank_tools")  # not installed under make sanitize
from mutflank_tools import _engine  # noqa: E402
from mutflank_tools.counting import doublets  # noqa: E402
from mutflank_tools.cli import main  # noqa: E402

BUILD = "GRCh38"
RNG = random.Random(24)
GENOME = "".join(RNG.choice("ACGT") for _ in range(3000))  # chromosome 1
GENE = (100, 600, "+")  # one gene, 1-based inclusive; 1,500 and beyond are in none
COMPLEMENT = str.maketrans("ACGT", "TGCA")
MULTI = "multi-base substitution (three or more adjacent bases)"


def revcomp(text):
    return text.translate(COMPLEMENT)[::-1]


def sbs96(pos, alt, genome=GENOME):
    """The SBS96 label of the SNV pos>alt (1-based)."""
    left, ref, right = genome[pos - 2], genome[pos - 1], genome[pos]
    if ref in "AG":
        left, ref, alt, right = revcomp(right), revcomp(ref), revcomp(alt), revcomp(left)
    return f"{left}[{ref}>{alt}]{right}"


def other(base, step=1):
    return "ACGT"[("ACGT".index(base) + step) % 4]


def snv(pos, sample="S1", step=1, gt="0/1"):
    """(sample, position, REF, ALT, genotype) of a correct SNV."""
    return (sample, pos, GENOME[pos - 1], other(GENOME[pos - 1], step), gt)


def wrong(pos, sample="S1"):
    """A record whose REF is not the reference base."""
    ref = other(GENOME[pos - 1], 2)
    return (sample, pos, ref, other(ref), "0/1")


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    folder = tmp_path_factory.mktemp("reference")
    fasta = write_text(folder / "g.fa", f">1\n{GENOME}\n")
    gtf = write_text(folder / "genes.gtf",
                     f"1\tt\tgene\t{GENE[0]}\t{GENE[1]}\t.\t{GENE[2]}\t.\tgene_id \"g\";\n")
    assert main(["reference", str(fasta), str(folder / "ref"), "--build", BUILD,
                 "--annotation", str(gtf)]) == 0
    return folder / "ref"


def write_input(path, records, form):
    """Writes records (sample, position, REF, ALT, genotype) as a VCF (one column per sample,
    a line per record), a MAF or a ten-column table; returns the path."""
    if form == "vcf":
        samples = sorted({record[0] for record in records})
        lines = ["##fileformat=VCFv4.2", "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"\">",
                 "\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO",
                            "FORMAT", *samples])]
        for sample, pos, ref, alt, gt in records:
            keys, _, extra = gt.partition(";")  # "0|1;PS=7": FORMAT GT:PS
            fmt, values = ("GT:PS", f"{keys}:{extra[3:]}") if extra else ("GT", keys)
            lines.append("\t".join(["1", str(pos), ".", ref, alt, ".", "PASS", ".", fmt,
                                    *[values if name == sample else "0/0" for name in samples]]))
        return write_text(path, "\n".join(lines) + "\n")
    if form == "maf":
        return write_text(path, "\t".join(MAF_HEADER) + "\n" + "".join(
            f"G\t1\t{pos}\t{pos + len(ref) - 1}\tSNP\t{ref}\t{ref}\t{alt}\t{sample}\t{BUILD}\n"
            for sample, pos, ref, alt, _ in records))
    return write_text(path, "".join(
        f"{sample}\tP\t.\t{BUILD}\tSNV\t1\t{pos}\t{pos + len(ref) - 1}\t{ref}\t{alt}\n"
        for sample, pos, ref, alt, _ in records))


def read_counts(path):
    """{(channel, sample): count} of the non-zero cells of a matrix file."""
    lines = [line.split("\t") for line in path.read_text().splitlines()]
    return {(line[0], sample): int(value) for line in lines[1:]
            for sample, value in zip(lines[0][1:], line[1:]) if int(value)}


def matrix(capsys, reference, inputs, *options, prefix):
    """(exit status, standard error lines, {type: counts} of the files written)."""
    code = main(["matrix", *map(str, inputs), "--reference", str(reference), "-o", str(prefix),
                 *options])
    err = capsys.readouterr().err.splitlines()
    written = {path.name[len(prefix.name) + 1:-4]: read_counts(path)
               for path in prefix.parent.glob(prefix.name + ".*.tsv")}
    return code, err, written


def summary(err):
    """The lines of standard error without the last (files written)."""
    return [line.removeprefix("mutflank matrix: ") for line in err[:-1]]


# ---- every record checked on its own, then merged ------------------------------------------

def beside_wrong_records():
    """81 correct SNVs and 3 records of a wrong REF: 77 SNVs alone, a pair of adjacent SNVs
    with a wrong record after it, and two SNVs each with a wrong record after it."""
    records = [snv(20 + 10 * i) for i in range(77)]
    records += [snv(1000), snv(1001), wrong(1002), snv(1100), wrong(1101), snv(1200),
                wrong(1201)]
    return records


@pytest.mark.parametrize("form", ["vcf", "maf", "table"])
def test_a_wrong_ref_takes_no_correct_snv_with_it(capsys, reference, tmp_path, form):
    calls = write_input(tmp_path / f"calls.{'tsv' if form == 'table' else form}",
                        beside_wrong_records(), form)
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                                prefix=tmp_path / "m")
    assert code == 0, err
    expected = {(sbs96(pos, alt), "S1"): 0 for _, pos, _, alt, _ in beside_wrong_records()}
    for _, pos, ref, alt, _ in beside_wrong_records():
        if pos not in (1000, 1001) and ref == GENOME[pos - 1]:
            expected[sbs96(pos, alt), "S1"] += 1
    assert sum(written["SBS96"].values()) == 79
    assert written["SBS96"] == {key: n for key, n in expected.items() if n}
    assert sum(written["DBS78"].values()) == 1
    lines = summary(err)
    assert lines == ["left out 3 records: REF differs from the reference base, on 1 (3)"]
    # Without DBS78 among the types, the same SNVs are counted.
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96",
                                prefix=tmp_path / "s")
    assert (code, sum(written["SBS96"].values())) == (0, 79), err


def doublet_record(pos, sample="S1"):
    """A correct doublet written as one record of two bases."""
    ref = GENOME[pos - 1:pos + 1]
    return (sample, pos, ref, "".join(other(base) for base in ref), "0/1")


@pytest.mark.parametrize("form", ["vcf", "maf", "table"])
@pytest.mark.parametrize("types, counted, left_out", [
    # Two SNVs side by side are a doublet whether or not an SBS matrix is chosen.
    ("DBS78", {"DBS78": 2}, ["left out 1 record: not counted: no chosen matrix takes a "
                             "single-base substitution, on 1 (1)"]),
    ("SBS96,DBS78", {"SBS96": 1, "DBS78": 2}, []),
    ("SBS96", {"SBS96": 1}, ["left out 3 records: not counted: no chosen matrix takes a "
                             "doublet-base substitution, on 1 (3)"]),
])
def test_adjacent_snvs_are_a_doublet_whatever_the_types(capsys, reference, tmp_path, form,
                                                        types, counted, left_out):
    records = [snv(1000), snv(1001), doublet_record(1500), snv(2000)]
    calls = write_input(tmp_path / f"calls.{'tsv' if form == 'table' else form}", records, form)
    code, err, written = matrix(capsys, reference, [calls], "--types", types,
                                prefix=tmp_path / "m")
    assert code == 0, err
    assert {name: sum(counts.values()) for name, counts in written.items()} == counted
    assert summary(err) == left_out


def test_no_doublet_file_when_the_only_pair_held_a_wrong_ref(capsys, reference, tmp_path):
    calls = write_input(tmp_path / "calls.maf",
                        [snv(20 + 10 * i) for i in range(30)] + [snv(1100), wrong(1101)], "maf")
    code, err, written = matrix(capsys, reference, [calls], prefix=tmp_path / "m")
    assert code == 0, err
    assert sorted(written) == ["SBS1536", "SBS6", "SBS96"]
    assert sum(written["SBS96"].values()) == 31


@pytest.mark.parametrize("form", ["vcf", "maf"])
def test_the_ref_check_counts_records_and_names_the_first_wrong_one(capsys, reference, tmp_path,
                                                                    form):
    # 39 records, 2 of them wrong, each beside a correct SNV: 37 units once merged
    records = [snv(20 + 10 * i) for i in range(35)] + [
        snv(1000), wrong(1001), snv(1100), wrong(1101)]
    calls = write_input(tmp_path / f"calls.{form}", records, form)
    code, err, _ = matrix(capsys, reference, [calls], prefix=tmp_path / "m")
    line = {"vcf": 3, "maf": 1}[form] + 37  # the header's lines, then the 37th record
    ref = other(GENOME[1000], 2)
    assert (code, err) == (1, [
        f"mutflank matrix: error: {calls}: REF differs from the reference base at 2 of 39 "
        f"records (5.1%), first at line {line} (1:1001 REF {ref}, reference {GENOME[1000]}); "
        "is the reference of another build? (--allow-ref-mismatch goes on without them)"])


def test_a_build_that_does_not_fit_counts_the_rows_of_the_maf(capsys, reference, tmp_path):
    # 20 rows on a chromosome the reference does not hold, in 10 adjacent pairs
    rows = "".join(f"G\t7\t{pos}\t{pos}\tSNP\tA\tA\tC\tT1\t{BUILD}\n"
                   for start in range(100, 200, 10) for pos in (start, start + 1))
    maf = write_text(tmp_path / "calls.maf", "\t".join(MAF_HEADER) + "\n" + rows)
    code, err, _ = matrix(capsys, reference, [maf], prefix=tmp_path / "m")
    assert code == 1
    assert err[0].startswith(f"mutflank matrix: error: {maf}: 20 of 20 records (100.0%) have "
                             f"no reference file (build {BUILD}; chromosomes 7)")


# ---- phasing -------------------------------------------------------------------------------

@pytest.mark.parametrize("first, second, merged", [
    ("0/1", "0/1", True),  # not phased: may be one molecule
    ("0|1", "0|1", True),  # one haplotype
    ("1|1", "0|1", True),
    ("0|1", "1|0", False),  # in trans: two molecules
    ("1|0", "0|1", False),
    ("0|1", "1/0", True),
    ("0|1;PS=7", "1|0;PS=7", False),  # in trans within one phase set (the long road)
    ("0|1;PS=7", "1|0;PS=9", True),  # two phase sets: their haplotypes are not related
    ("0|1;PS=.", "1|0", False),  # no phase set: the one of every phased call without PS
])
def test_snvs_phased_in_trans_are_not_merged(capsys, reference, tmp_path, first, second,
                                             merged):
    records = [snv(2001, gt=first), snv(2002, gt=second), snv(2100, gt="0|1")]
    calls = write_input(tmp_path / "calls.vcf", records, "vcf")
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                                prefix=tmp_path / "m")
    assert code == 0, err
    assert sum(written["SBS96"].values()) == (1 if merged else 3)
    assert sum(written["DBS78"].values()) == (1 if merged else 0)


def test_two_alleles_phased_apart_beside_an_snv_of_both_is_one_run(capsys, reference, tmp_path):
    # 1|2 at 2001 and an SNV at 2002 on the haplotype of allele 2: positions 2001 and 2002
    # may be one molecule, so the three records are one run: a multi-base substitution
    ref = GENOME[2000]
    text = ("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n"
            f"1\t2001\t.\t{ref}\t{other(ref)},{other(ref, 2)}\t.\tPASS\t.\tGT\t1|2\n"
            f"1\t2002\t.\t{GENOME[2001]}\t{other(GENOME[2001])}\t.\tPASS\t.\tGT\t0|1\n"
            f"1\t2010\t.\t{GENOME[2009]}\t{other(GENOME[2009])}\t.\tPASS\t.\tGT\t1|0\n")
    calls = write_text(tmp_path / "calls.vcf", text)
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                                prefix=tmp_path / "m")
    assert code == 0, err
    assert written["SBS96"] == {(sbs96(2010, other(GENOME[2009])), "S1"): 1}
    assert summary(err) == [f"left out 3 records: {MULTI}, on 1 (3)"]


# ---- sites of two alleles ------------------------------------------------------------------

def two_alleles(pos, gt="1/2"):
    ref = GENOME[pos - 1]
    return (f"1\t{pos}\t.\t{ref}\t{other(ref)},{other(ref, 2)}\t.\tPASS\t.\tGT\t{gt}\n",
            [(sbs96(pos, other(ref)), "S1"), (sbs96(pos, other(ref, 2)), "S1")])


VCF_HEAD = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n"


def vcf_line(pos, gt="0/1", step=1):
    ref = GENOME[pos - 1]
    return f"1\t{pos}\t.\t{ref}\t{other(ref, step)}\t.\tPASS\t.\tGT\t{gt}\n"


@pytest.mark.parametrize("options", [(), ("--no-merge-doublets",)])
def test_a_site_of_two_alleles_alone_counts_both(capsys, reference, tmp_path, options):
    line, labels = two_alleles(2001)
    calls = write_text(tmp_path / "calls.vcf", VCF_HEAD + vcf_line(1990) + line)
    code, err, written = matrix(capsys, reference, [calls], *options, prefix=tmp_path / "m")
    assert code == 0, err
    expected = {label: 1 for label in labels}
    expected[sbs96(1990, other(GENOME[1989])), "S1"] = 1
    assert written["SBS96"] == expected
    assert "DBS78" not in written
    assert err == ["mutflank matrix: 3 substitutions of 1 sample from 1 input -> "
                   + ", ".join(str(tmp_path / f"m.{k}.tsv") for k in ("SBS6", "SBS96",
                                                                       "SBS1536"))]


@pytest.mark.parametrize("after", [True, False])
def test_a_site_of_two_alleles_beside_an_snv_is_left_out_with_it(capsys, reference, tmp_path,
                                                                  after):
    line, _ = two_alleles(2001)
    lines = [vcf_line(1990), line, vcf_line(2002 if after else 2000)]
    calls = write_text(tmp_path / "calls.vcf", VCF_HEAD + "".join(sorted(
        lines, key=lambda text: int(text.split("\t")[1]))))
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                                prefix=tmp_path / "m")
    assert code == 0, err
    assert written == {"SBS96": {(sbs96(1990, other(GENOME[1989])), "S1"): 1}, "DBS78": {}}
    assert summary(err) == [f"left out 3 records: {MULTI}, on 1 (3)"]


def test_streaming_past_the_hold_takes_sites_of_two_alleles(capsys, reference, tmp_path,
                                                            monkeypatch):
    # A sorted VCF of more SNVs than the hold, a site of two alleles inside: merged as a
    # whole, and as a stream.
    lines, positions = [], list(range(50, 2950, 7))
    for pos in positions:
        if pos == 1002:
            lines.append(two_alleles(pos)[0])
        elif pos in (1499, 2199):
            lines += [vcf_line(pos), vcf_line(pos + 1)]
        else:
            lines.append(vcf_line(pos))
    calls = write_text(tmp_path / "calls.vcf", VCF_HEAD + "".join(lines))
    whole = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78", prefix=tmp_path / "w")
    monkeypatch.setattr(doublets, "HOLD", 5)
    streamed = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                      prefix=tmp_path / "s")
    assert streamed[0] == 0, streamed[1]
    assert streamed[2] == whole[2]
    assert sum(whole[2]["SBS96"].values()) == len(positions) - 2 + 1
    assert sum(whole[2]["DBS78"].values()) == 2


# ---- substitutions of several bases --------------------------------------------------------

@pytest.mark.parametrize("offsets, snvs, doublet_count, left_out", [
    ((0, 2), [0, 2], 0, []),  # ACG>TCA: two SNVs
    ((0, 2, 3), [0], 1, []),  # an SNV and a doublet
    ((0, 1, 2), [], 0, [f"left out 1 record: {MULTI}, on 1 (1)"]),
    ((0, 1, 2, 4), [4], 0, [f"left out 1 record: {MULTI}, on 1 (1)"]),
    ((0, 4), [0, 4], 0, []),
])
@pytest.mark.parametrize("form", ["maf", "vcf"])
def test_a_record_of_several_bases_counts_as_the_stretches_it_holds(
        capsys, reference, tmp_path, offsets, snvs, doublet_count, left_out, form):
    start = 2001
    ref = GENOME[start - 1:start + max(offsets)]
    alt = "".join(other(base) if i in offsets else base for i, base in enumerate(ref))
    calls = write_input(tmp_path / f"calls.{form}", [("S1", start, ref, alt, "0/1")], form)
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                                prefix=tmp_path / "m")
    assert code == 0, err
    assert written["SBS96"] == {(sbs96(start + i, alt[i]), "S1"): 1 for i in snvs}
    assert sum(written["DBS78"].values()) == doublet_count
    assert summary(err) == left_out


@pytest.mark.parametrize("offsets", [(0, 2), (0, 2, 3), (0, 4), (0, 1, 2, 4)])
@pytest.mark.parametrize("form", ["maf", "vcf"])
def test_a_sorted_input_with_a_record_of_several_bases_streams_past_the_hold(
        capsys, reference, tmp_path, monkeypatch, offsets, form):
    # The record's pieces keep its place among the SNVs after it: the input is still sorted
    # when the merger streams, and it counts what it counts when it holds the input whole.
    start = 1001
    ref = GENOME[start - 1:start + max(offsets)]
    alt = "".join(other(base) if i in offsets else base for i, base in enumerate(ref))
    records = [snv(pos) for pos in range(50, 1000, 7)] + [("S1", start, ref, alt, "0/1")]
    records += [snv(pos) for pos in range(1010, 2950, 7)] + [snv(2951), snv(2952)]
    calls = write_input(tmp_path / f"calls.{form}", records, form)
    whole = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78", prefix=tmp_path / "w")
    monkeypatch.setattr(doublets, "HOLD", 5)
    streamed = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                      prefix=tmp_path / "s")
    assert (streamed[0], streamed[1][:-1]) == (0, whole[1][:-1])
    assert streamed[2] == whole[2]
    snvs = len(records) - 3 + sum(1 for i in offsets if i - 1 not in offsets
                                  and i + 1 not in offsets)
    assert [sum(whole[2][kind].values()) for kind in ("SBS96", "DBS78")] == \
        [snvs, 1 + (offsets == (0, 2, 3))]


def test_the_pieces_of_a_record_merge_with_snvs_beside_them(capsys, reference, tmp_path):
    # ACG>TCA at 2001 and an SNV at 2004: G>A at 2003 and the SNV make a doublet
    ref = GENOME[2000:2003]
    alt = other(ref[0]) + ref[1] + other(ref[2])
    calls = write_input(tmp_path / "calls.maf", [("S1", 2001, ref, alt, ""), snv(2004)], "maf")
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                                prefix=tmp_path / "m")
    assert code == 0, err
    assert written["SBS96"] == {(sbs96(2001, alt[0]), "S1"): 1}
    assert sum(written["DBS78"].values()) == 1


# ---- chosen samples ------------------------------------------------------------------------

def test_summaries_count_the_chosen_samples_only(capsys, reference, tmp_path):
    # S1: one run of three SNVs; S2: two runs and a wrong REF
    records = [snv(2001 + i) for i in range(3)] + [snv(20 + 10 * i) for i in range(40)]
    records += [snv(2101 + i, "S2") for i in range(3)] + [snv(2201 + i, "S2") for i in range(3)]
    records += [wrong(2500, "S2")] + [snv(25 + 10 * i, "S2") for i in range(40)]
    calls = write_input(tmp_path / "calls.maf", records, "maf")
    code, err, written = matrix(capsys, reference, [calls], "--sample", "S1",
                                prefix=tmp_path / "m")
    assert code == 0, err
    assert summary(err) == [f"left out 3 records: {MULTI}, on 1 (3)"]
    assert {sample for _, sample in written["SBS96"]} == {"S1"}
    code, err, _ = matrix(capsys, reference, [calls], "--exclude", "S1", prefix=tmp_path / "x")
    assert summary(err) == [f"left out 6 records: {MULTI}, on 1 (6)",
                            "left out 1 record: REF differs from the reference base, on 1 (1)"]


def test_a_maf_s_rows_of_other_samples_are_not_in_the_summary(capsys, reference, tmp_path):
    rows = [("S1", 20, "LowQual"), ("S1", 30, "PASS"), ("S2", 40, "LowQual"),
            ("S2", 50, "LowQual"), ("S3", 60, "PASS")]
    maf = write_text(tmp_path / "calls.maf", "\t".join(MAF_HEADER + ["FILTER"]) + "\n" + "".join(
        f"G\t1\t{pos}\t{pos}\tSNP\t{GENOME[pos - 1]}\t{GENOME[pos - 1]}\t"
        f"{other(GENOME[pos - 1])}\t{sample}\t{BUILD}\t{text}\n" for sample, pos, text in rows)
        + f"G\t1\t70\t70\tSNP\t{GENOME[69]}\t\t\tS2\t{BUILD}\tPASS\n")
    code, err, written = matrix(capsys, reference, [maf], "--pass-only", "--sample", "S1",
                                "--types", "SBS96", prefix=tmp_path / "m")
    assert (code, summary(err)) == (0, ["left out 1 record: filter not PASS, on 1 (1)"]), err
    assert written["SBS96"] == {(sbs96(30, other(GENOME[29])), "S1"): 1}
    code, err, written = matrix(capsys, reference, [maf], "--pass-only", "--exclude", "S1,S3",
                                "--types", "SBS96", prefix=tmp_path / "x")
    assert (code, summary(err)) == (0, [
        "left out 2 records: filter not PASS, on 1 (2)",
        "left out 1 record: allele *, . or equal to REF, on 1 (1)"]), err


def three_sample_vcf(path):
    """A VCF of samples S1, S2, S3 whose lines each give a reason decided on the line: FILTER,
    alleles *, ., empty or equal to REF, a symbolic allele, no carrier; SNVs of S1 at 90 and
    100 and of S2 at 80."""
    def line(pos, alt, filter_text, *genotypes):
        return "\t".join(["1", str(pos), ".", GENOME[pos - 1], alt, ".", filter_text, ".", "GT",
                          *genotypes])

    def alt(pos):
        return other(GENOME[pos - 1])

    return write_text(path, "\n".join([
        "##fileformat=VCFv4.2", "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"\">",
        f"##contig=<ID=1,length={len(GENOME)}>", "##FILTER=<ID=LowQual,Description=\"\">",
        "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\tS3",
        line(20, alt(20), "LowQual", "0/1", "0/1", "0/0"),
        line(30, alt(30), "LowQual", "0/0", "0/1", "1/1"),
        line(40, "*", "PASS", "0/1", "0|1", "0/0"),
        line(50, GENOME[49], "PASS", "0/0", "0/1", "0/0"),
        line(60, "<DEL>", "PASS", "0/0", "0/1", "0/0"),
        line(70, alt(70), "PASS", "0/0", "0/0", "./."),
        line(80, alt(80), "PASS", "0/0", "0/1", "0/0"),
        line(90, alt(90), "PASS", "0/1", "0/0", "0/0"),
        line(100, alt(100) + ",*", "PASS", "1/2", "0/2", "0/0"),
        line(110, alt(110) + ",", "PASS", "0/0", "0/2", "0/0"),
    ]) + "\n")


def reasons(filtered, equal, symbolic):
    """The summary lines of three_sample_vcf: records left out for FILTER, for alleles *, .,
    empty or equal to REF, for a symbolic allele; the two alleles that no sample carries."""
    def left(count, reason):
        return f"left out {count} record{'s' if count != 1 else ''}: {reason}, on 1 ({count})"

    return [left(count, reason) for count, reason in (
        (filtered, "filter not PASS"), (equal, "allele *, . or equal to REF"),
        (symbolic, "symbolic allele"), (2, "no sample carries the allele")) if count]


@pytest.mark.parametrize("choice, expected, snvs", [
    ([], reasons(4, 6, 1), {90: "S1", 100: "S1", 80: "S2"}),
    (["--sample", "S1"], reasons(1, 2, 0), {90: "S1", 100: "S1"}),
    (["--sample", "S2"], reasons(2, 4, 1), {80: "S2"}),
    (["--exclude", "S2"], reasons(2, 2, 0), {90: "S1", 100: "S1"}),
    (["--sample", "S1,S3"], reasons(2, 2, 0), {90: "S1", 100: "S1"}),
    (["--sample", "S1,S2", "--exclude", "S2"], reasons(1, 2, 0), {90: "S1", 100: "S1"}),
])
@pytest.mark.parametrize("form", ["vcf", "bcf"])
def test_a_vcf_s_line_reasons_count_the_records_of_the_chosen_samples(capsys, reference,
                                                                      tmp_path, choice,
                                                                      expected, snvs, form):
    # a reason counts once per chosen sample that carries the allele; an allele that only
    # other samples carry is passed over; one that no sample carries is counted once
    calls = three_sample_vcf(tmp_path / "calls.vcf")
    if form == "bcf":
        subprocess.run(["bcftools", "view", "--no-version", "-Ob", "-o",
                        str(tmp_path / "calls.bcf"), str(calls)], check=True)
        calls = tmp_path / "calls.bcf"
    code, err, written = matrix(capsys, reference, [calls], "--pass-only", "--types", "SBS96",
                                *choice, prefix=tmp_path / "m")
    assert (code, sorted(summary(err))) == (0, sorted(expected)), err
    assert written["SBS96"] == {(sbs96(pos, other(GENOME[pos - 1])), sample): 1
                                for pos, sample in snvs.items()}


def test_an_input_without_the_chosen_samples_adds_nothing_to_the_summary(capsys, reference,
                                                                         tmp_path):
    calls = three_sample_vcf(tmp_path / "calls.vcf")
    other_input = write_text(tmp_path / "other.vcf", "\n".join([
        "##fileformat=VCFv4.2", "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"\">",
        "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS4",
        f"1\t200\t.\t{GENOME[199]}\t{other(GENOME[199])}\t.\tPASS\t.\tGT\t0/0",
        f"1\t210\t.\t{GENOME[209]}\t{other(GENOME[209])}\t.\tLowQual\t.\tGT\t0/1"]) + "\n")
    code, err, _ = matrix(capsys, reference, [calls, other_input], "--pass-only", "--sample",
                          "S1", "--types", "SBS96", prefix=tmp_path / "m")
    # the lines of calls.vcf alone, named as one of several inputs
    assert (code, sorted(summary(err))) == (0, sorted(
        f"{line}, in {calls} ({line.rpartition('(')[2][:-1]})" for line in reasons(1, 2, 0))), err


def test_the_table_of_one_sample_leaves_out_that_sample_s_records_only(capsys, reference,
                                                                      tmp_path):
    calls = three_sample_vcf(tmp_path / "calls.vcf")
    code = main(["table", str(calls), "--build", BUILD, "--pass-only", "--sample", "S1"])
    out, err = capsys.readouterr()
    assert code == 0, err
    assert sorted(line.removeprefix("mutflank table: ") for line in err.splitlines()) == sorted(
        reasons(1, 2, 0) + ["wrote 2 rows of 1 sample to standard output"])
    assert [line.split("\t")[6] for line in out.splitlines()] == ["90", "100"]


# ---- a mutation written twice --------------------------------------------------------------

@pytest.mark.parametrize("form", ["vcf", "maf"])
def test_an_snv_written_twice_is_counted_once(capsys, reference, tmp_path, form):
    records = [snv(1990), snv(2001), snv(2001), snv(2002), snv(2100), snv(2100, step=2)]
    calls = write_input(tmp_path / f"calls.{form}", records, form)
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                                prefix=tmp_path / "m")
    assert code == 0, err
    assert written["SBS96"] == {(sbs96(pos, alt), "S1"): 1 for _, pos, _, alt, _
                                in (records[0], records[4], records[5])}
    assert sum(written["DBS78"].values()) == 1
    assert summary(err) == [
        "left out 1 record: the same mutation of the sample again (counted once), on 1 (1)"]


def duplicated_calls():
    """MAF rows of sample S1: an SNV, a doublet record, a deletion and an insertion, each
    written twice, and the SNVs C>A and C>T of one site (two mutations)."""
    deletion = GENOME[2199:2202]
    return [snv(1990), snv(1990), ("S1", 2101, GENOME[2100:2102],
                                   other(GENOME[2100]) + other(GENOME[2101]), ""),
            ("S1", 2101, GENOME[2100:2102], other(GENOME[2100]) + other(GENOME[2101]), ""),
            ("S1", 2200, deletion, "-", ""), ("S1", 2200, deletion, "-", ""),
            ("S1", 2300, "-", "TTT", ""), ("S1", 2300, "-", "TTT", ""),
            snv(2400), snv(2400, step=2)]


DUPLICATES = "the same mutation of the sample again (counted once)"
TOTALS = {"SBS96": 3, "DBS78": 1, "ID83": 2}


@pytest.mark.parametrize("options", [(), ("--no-merge-doublets",)])
def test_every_mutation_written_twice_in_one_input_is_counted_once(capsys, reference, tmp_path,
                                                                   options):
    calls = write_input(tmp_path / "calls.maf", duplicated_calls(), "maf")
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78,ID83",
                                *options, prefix=tmp_path / "m")
    assert code == 0, err
    assert {kind: sum(counts.values()) for kind, counts in written.items()} == TOTALS
    assert summary(err) == [f"left out 4 records: {DUPLICATES}, on 1 (4)"]


@pytest.mark.parametrize("options", [(), ("--no-merge-doublets",)])
def test_a_mutation_in_two_inputs_of_one_sample_is_counted_once(capsys, reference, tmp_path,
                                                                options):
    # One sample split in two inputs that share every other call
    calls = duplicated_calls()[::2]
    first = write_input(tmp_path / "a.maf", calls + [snv(2500)], "maf")
    second = write_input(tmp_path / "b.maf", calls + [snv(2600)], "maf")
    code, err, written = matrix(capsys, reference, [first, second], "--merge-samples",
                                "--types", "SBS96,DBS78,ID83", *options, prefix=tmp_path / "m")
    assert code == 0, err
    assert {kind: sum(counts.values()) for kind, counts in written.items()} == {
        "SBS96": 4, "DBS78": 1, "ID83": 2}
    assert summary(err) == [f"left out 5 records: {DUPLICATES}, on 1 (5), in {second} (5)"]
    # With a column per input, each input counts its own (a MAF's columns are INPUT:SAMPLE).
    code, err, written = matrix(capsys, reference, [first, second], "--label-by-input",
                                "--types", "SBS96,DBS78,ID83", *options, prefix=tmp_path / "l")
    assert (code, summary(err)) == (0, [])
    per_column = {}
    for kind, counts in written.items():
        for (_, column), count in counts.items():
            per_column[kind, column] = per_column.get((kind, column), 0) + count
    assert per_column == {("SBS96", "a:S1"): 3, ("SBS96", "b:S1"): 3, ("DBS78", "a:S1"): 1,
                          ("DBS78", "b:S1"): 1, ("ID83", "a:S1"): 2, ("ID83", "b:S1"): 2}


@pytest.mark.parametrize("names", [("1", "chr1"), ("chr1", "1")])
def test_a_mutation_in_two_inputs_naming_its_chromosome_apart_is_counted_once(
        capsys, reference, tmp_path, names):
    calls = duplicated_calls()[::2]
    inputs = []
    for name, path, last in zip(names, ("a.maf", "b.maf"), (2500, 2600)):
        text = write_input(tmp_path / path, calls + [snv(last)], "maf").read_text()
        inputs.append(write_text(tmp_path / path, text.replace("G\t1\t", f"G\t{name}\t")))
    code, err, written = matrix(capsys, reference, inputs, "--merge-samples", "--types",
                                "SBS96,DBS78,ID83", prefix=tmp_path / "m")
    assert code == 0, err
    assert {kind: sum(counts.values()) for kind, counts in written.items()} == {
        "SBS96": 4, "DBS78": 1, "ID83": 2}
    assert summary(err) == [f"left out 5 records: {DUPLICATES}, on {names[1]} (5), in "
                            f"{inputs[1]} (5)"]


@pytest.mark.parametrize("forms", [("vcf", "maf"), ("maf", "vcf")])
def test_an_indel_in_two_inputs_writing_it_apart_is_counted_once(capsys, reference, tmp_path,
                                                                 forms):
    # A deletion of 2200..2202 and an insertion of TTT after 2300, with the VCF's anchor
    # base and as a MAF writes them.
    written = {"vcf": [("S1", 2199, GENOME[2198:2202], GENOME[2198], "0/1"),
                       ("S1", 2300, GENOME[2299], GENOME[2299] + "TTT", "0/1")],
               "maf": [("S1", 2200, GENOME[2199:2202], "-", ""), ("S1", 2300, "-", "TTT", "")]}
    inputs = [write_input(tmp_path / f"{name}.{form}", written[form] + [snv(last)], form)
              for name, form, last in zip("ab", forms, (2500, 2600))]
    code, err, counts = matrix(capsys, reference, inputs, "--merge-samples", "--types",
                               "SBS96,ID83", prefix=tmp_path / "m")
    assert code == 0, err
    assert {kind: sum(counts.values()) for kind, counts in counts.items()} == {
        "SBS96": 2, "ID83": 2}
    assert summary(err) == [f"left out 2 records: {DUPLICATES}, on 1 (2), in {inputs[1]} (2)"]


def test_tallies_of_inputs_sharing_mutations_merge_to_one_count(reference, tmp_path):
    from mutflank_tools.counting.tally import Settings, Tally
    from mutflank_tools.counting.work import Item, count_inputs

    calls = duplicated_calls()[::2]
    paths = [write_input(tmp_path / f"{n}.maf", calls + [snv(2500 + 10 * n)], "maf")
             for n in range(3)]
    items = [Item(n, str(path), str(path)) for n, path in enumerate(paths)]
    settings = Settings(kinds=("SBS96", "DBS78", "ID83"), merge_samples=True)

    def summary_of(tally):
        return ({name: tally.matrix(name).tolist() for name in ("SBS96", "DBS78", "ID83")},
                dict(tally.left_out), dict(tally.left_out.inputs), tally.records)

    whole = summary_of(count_inputs(items, str(reference), settings))
    singles = [count_inputs([item], str(reference), settings) for item in items]
    assert summary_of(Tally().merge(singles[2]).merge(singles[0]).merge(singles[1])) == whole
    assert summary_of(singles[0].merge(Tally().merge(singles[1]).merge(singles[2]))) == whole
    assert whole[3] == 8  # 5 in the first input, the one SNV of its own in each other
    assert whole[1] == {(DUPLICATES, "1"): 10}
    assert whole[2] == {(DUPLICATES, 1): 5, (DUPLICATES, 2): 5}


# ---- the REF check of every base -----------------------------------------------------------

@pytest.mark.parametrize("pos, ref, alt", [
    (2001, GENOME[2000] + other(GENOME[2001]), other(GENOME[2000]) + GENOME[2001]),
    (2001, other(GENOME[2000]) + GENOME[2001], GENOME[2000] + other(GENOME[2001])),
    (2001, GENOME[2000] + other(GENOME[2001]) + GENOME[2002], GENOME[2000]),  # a deletion
    (2001, GENOME[2000:2002] + other(GENOME[2002]), GENOME[2000]),
])
def test_every_ref_base_is_checked(capsys, reference, tmp_path, pos, ref, alt):
    records = [snv(20 + 10 * i) for i in range(10)] + [("S1", pos, ref, alt, "0/1")]
    calls = write_input(tmp_path / "calls.vcf", records, "vcf")
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78,ID83",
                                "--allow-ref-mismatch", prefix=tmp_path / "m")
    assert code == 0, err
    assert (sum(written["DBS78"].values()), sum(written["ID83"].values())) == (0, 0)
    assert summary(err)[1:] == ["left out 1 record: REF differs from the reference base, "
                                "on 1 (1)"]


# ---- trimming, empty alleles, FILTER, strands ----------------------------------------------

def test_equal_alleles_are_trimmed_alike_by_matrix_and_table(capsys, reference, tmp_path):
    # TCA>TTA-like rows: a shared base on each side of one substituted base
    rows = [(2001, GENOME[2000:2003], GENOME[2000] + other(GENOME[2001]) + GENOME[2002]),
            (2101, GENOME[2100:2102], GENOME[2100] + other(GENOME[2101])),
            (2201, GENOME[2200:2202], other(GENOME[2200]) + GENOME[2201])]
    calls = write_input(tmp_path / "calls.maf", [("S1", p, r, a, "") for p, r, a in rows],
                        "maf")
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96",
                                prefix=tmp_path / "m")
    assert code == 0, err
    expected = {(sbs96(2002, rows[0][2][1]), "S1"): 1, (sbs96(2102, rows[1][2][1]), "S1"): 1,
                (sbs96(2201, rows[2][2][0]), "S1"): 1}
    assert written["SBS96"] == expected
    assert main(["table", str(calls), "-o", str(tmp_path / "t.tsv")]) == 0
    capsys.readouterr()
    table = [line.split("\t") for line in (tmp_path / "t.tsv").read_text().splitlines()]
    assert [(row[6], row[8], row[9]) for row in table] == [
        ("2002", rows[0][1][1], rows[0][2][1]), ("2102", rows[1][1][1], rows[1][2][1]),
        ("2201", rows[2][1][0], rows[2][2][0])]


@pytest.mark.parametrize("form, text", [
    ("vcf", VCF_HEAD + vcf_line(1990)
     + f"1\t2001\t.\t{GENOME[2000]}\t{other(GENOME[2000])},\t.\tPASS\t.\tGT\t1/2\n"),
    ("maf", "\t".join(MAF_HEADER) + "\n"
     + f"G\t1\t1990\t1990\tSNP\t{GENOME[1989]}\t{GENOME[1989]}\t{other(GENOME[1989])}\tS1"
     + f"\t{BUILD}\n"
     + f"G\t1\t2001\t2001\tSNP\t{GENOME[2000]}\t\t\tS1\t{BUILD}\n"),
], ids=["vcf", "maf"])
def test_an_empty_alternate_allele_is_left_out(capsys, reference, tmp_path, form, text):
    calls = write_text(tmp_path / f"calls.{form}", text)
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96",
                                prefix=tmp_path / "m")
    assert code == 0, err
    expected = {(sbs96(1990, other(GENOME[1989])), "S1"): 1}
    if form == "vcf":  # allele 1 of the two
        expected[sbs96(2001, other(GENOME[2000])), "S1"] = 1
    assert written["SBS96"] == expected
    assert summary(err) == ["left out 1 record: allele *, . or equal to REF, on 1 (1)"]


@pytest.mark.parametrize("filter_column", [None, "PASS", "."])
def test_pass_only_keeps_every_row_of_a_maf_without_a_failing_filter(
        capsys, reference, tmp_path, filter_column):
    records = [snv(20 + 10 * i) for i in range(12)]
    header = MAF_HEADER + (["FILTER"] if filter_column else [])
    filters = [filter_column] * 12 + ["LowQual"] if filter_column else [None] * 12
    maf = write_text(tmp_path / "calls.maf", "\t".join(header) + "\n" + "".join(
        f"G\t1\t{pos}\t{pos}\tSNP\t{ref}\t{ref}\t{alt}\t{sample}\t{BUILD}"
        + (f"\t{text}" if text else "") + "\n"
        for (sample, pos, ref, alt, _), text in zip(records + [snv(500)], filters)))
    code, err, written = matrix(capsys, reference, [maf], "--pass-only", "--types", "SBS96",
                                prefix=tmp_path / "m")
    assert (code, sum(written["SBS96"].values())) == (0, 12), err
    assert summary(err) == (["left out 1 record: filter not PASS, on 1 (1)"] if filter_column
                            else [])


@pytest.mark.parametrize("pos, strand", [(300, "U"), (1500, "N"), (2500, "N")])
def test_an_snv_outside_every_gene_is_in_none(capsys, reference, tmp_path, pos, strand):
    calls = write_input(tmp_path / "calls.maf", [snv(pos)], "maf")
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS192,SBS384",
                                prefix=tmp_path / "m")
    assert code == 0, err
    label = sbs96(pos, other(GENOME[pos - 1]))
    if GENOME[pos - 1] in "AG":  # folded to the other strand: transcribed in a + gene
        strand = {"U": "T"}.get(strand, strand)
    assert written["SBS384"] == {(f"{strand}:{label}", "S1"): 1}
    reason = {"N": "outside every annotated gene"}.get(strand)
    assert summary(err) == ([f"left out 1 record: {reason} for SBS192, on 1 (1)"] if reason
                            else [])


# ---- the merger against a plain model ------------------------------------------------------

DBS_CANONICAL = ("AC", "AT", "CC", "CG", "CT", "GC", "TA", "TC", "TG", "TT")


def dbs78(ref, alt, rows):
    """The DBS78 label of a doublet, `rows`: the labels of the matrix file."""
    if ref not in DBS_CANONICAL:
        ref, alt = revcomp(ref), revcomp(alt)
    return f"{ref}>{alt}" if f"{ref}>{alt}" in rows else f"{ref}>{revcomp(alt)}"


def random_calls(seed, phased):
    """VCF lines of two samples in a stretch of the genome where SNVs touch: SNVs, sites of
    two alleles, lines written twice, wrong REFs, genotypes phased or not (with and without
    PS); and the records they hold as (sample, position, REF written, ALT, phase), phase None
    or (haplotype bits, phase set)."""
    rng = random.Random(seed)
    lines, records = [], []
    for sample in ("S1", "S2"):
        for pos in sorted(rng.sample(range(2001, 2061), 28)):
            base = GENOME[pos - 1]
            ref = other(base, 2) if rng.random() < 0.04 else base
            two = rng.random() < 0.2
            alts = [other(ref), other(ref, 3)] if two else [other(ref, rng.choice((1, 2, 3)))]
            if phased and rng.random() < 0.7:
                gt = rng.choice(["1|2", "2|1"] if two else ["0|1", "1|0", "1|1"])
            else:
                gt = "1/2" if two else rng.choice(["0/1", "1/1"])
            ps = rng.choice([None, None, "5", "8"]) if "|" in gt else None
            fields = [gt] if ps is None else [gt, ps]
            column = ":".join(fields)
            line = "\t".join(["1", str(pos), ".", ref, ",".join(alts), ".", "PASS", ".",
                              "GT" if ps is None else "GT:PS",
                              *[column if name == sample else "0/0" for name in ("S1", "S2")]])
            copies = 2 if rng.random() < 0.1 else 1
            lines += [line] * copies
            for number, alt in enumerate(alts, start=1):
                phase = None
                if "|" in gt:
                    bits = sum(1 << i for i, part in enumerate(gt.split("|"))
                               if part == str(number))
                    phase = (bits, ps)
                records += [(sample, pos, ref, alt, phase)] * copies
    lines.sort(key=lambda line: int(line.split("\t")[1]))
    return lines, records


def merge_model(records):
    """(SBS96 counts, DBS (ref, alt, sample) counts, {reason: records left out}) from the rules
    in docs/classes.md, written with no look at the merger."""
    left_out, snvs = {}, {}
    for sample, pos, ref, alt, phase in records:
        if ref != GENOME[pos - 1]:
            left_out["REF differs from the reference base"] = left_out.get(
                "REF differs from the reference base", 0) + 1
        elif (sample, pos, alt) in snvs:
            reason = "the same mutation of the sample again (counted once)"
            left_out[reason] = left_out.get(reason, 0) + 1
        else:
            snvs[sample, pos, alt] = phase

    def trans(a, b):
        return a is not None and b is not None and a[1] == b[1] and not a[0] & b[0]

    sbs, dbs = {}, {}
    for sample in ("S1", "S2"):
        at = {}
        for (name, pos, alt), phase in snvs.items():
            if name == sample:
                at.setdefault(pos, []).append((alt, phase))
        runs = []
        for pos in sorted(at):
            linked = runs and runs[-1][-1] == pos - 1 and any(
                not trans(a[1], b[1]) for a in at[pos - 1] for b in at[pos])
            if linked:
                runs[-1].append(pos)
            else:
                runs.append([pos])
        for run in runs:
            count = sum(len(at[pos]) for pos in run)
            if len(run) == 1:
                for alt, _ in at[run[0]]:
                    key = (sbs96(run[0], alt), sample)
                    sbs[key] = sbs.get(key, 0) + 1
            elif len(run) == 2 and count == 2:
                key = (GENOME[run[0] - 1:run[0] + 1], at[run[0]][0][0] + at[run[1]][0][0],
                       sample)
                dbs[key] = dbs.get(key, 0) + 1
            else:
                left_out[MULTI] = left_out.get(MULTI, 0) + count
    return sbs, dbs, left_out


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("form, hold", [("vcf", None), ("vcf", 3), ("maf", None)])
def test_merging_matches_a_plain_model(capsys, reference, tmp_path, monkeypatch, seed, form,
                                       hold):
    lines, records = random_calls(seed, phased=form == "vcf")
    if form == "vcf":
        calls = write_text(tmp_path / "calls.vcf", VCF_HEAD.replace("\tS1", "\tS1\tS2")
                           + "\n".join(lines) + "\n")
    else:  # the same records in no order, one MAF row each
        calls = write_input(tmp_path / "calls.maf", random.Random(seed).sample(
            [(s, p, r, a, "") for s, p, r, a, _ in records], len(records)), "maf")
        records = [(s, p, r, a, None) for s, p, r, a, _ in records]
    if hold is not None:
        monkeypatch.setattr(doublets, "HOLD", hold)
    code, err, written = matrix(capsys, reference, [calls], "--types", "SBS96,DBS78",
                                "--allow-ref-mismatch", prefix=tmp_path / "m")
    assert code == 0, err
    sbs, dbs, left_out = merge_model(records)
    rows = (tmp_path / "m.DBS78.tsv").read_text().split("\n")
    labels = {line.split("\t")[0] for line in rows[1:]}
    doublet_counts = {}
    for (ref, alt, sample), count in dbs.items():
        key = (dbs78(ref, alt, labels), sample)
        doublet_counts[key] = doublet_counts.get(key, 0) + count
    assert written["SBS96"] == sbs
    assert written["DBS78"] == doublet_counts
    reported = {}
    for line in summary(err):
        if line.startswith("left out"):
            count, reason = line.removeprefix("left out ").split(" ", 1)
            reported[reason.split(": ", 1)[1].rsplit(", on 1", 1)[0]] = int(count)
    assert reported == left_out


@pytest.mark.parametrize("texts", [
    [],
    ["A", "", "ACGT", "É", "a\u00e9\U0001F600", "N" * 70_000],
])
def test_text_lengths_are_the_lengths_of_the_str(texts):
    array = np.empty(len(texts), dtype=object)
    array[:] = texts
    lengths = _engine.text_lengths(array)
    assert lengths.dtype == np.int64
    assert lengths.tolist() == [len(text) for text in texts]


def test_text_lengths_names_an_item_that_is_no_str():
    array = np.empty(3, dtype=object)
    array[:] = ["A", b"C", "G"]
    with pytest.raises(TypeError, match=re.escape("text_lengths: item 1 is not a str")):
        _engine.text_lengths(array)
