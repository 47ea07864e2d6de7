"""`mutflank table`: VCF/BCF and MAF files to the ten-column mutation table."""

import collections
import contextlib
import gzip
import io
import os
import random

import pysam
import pytest

from cli_support import (PYVCF, LAMBDA_NAME, expected_rows, lambda_fasta, lambda_genome,  # noqa: F401
                         lambda_reference, maf_text, run, synthetic_calls, table_lines,
                         vcf_text, write_reference, write_text)
# The installed command's package; `make sanitize` runs the suite without it.
records = pytest.importorskip("mutflank_tools.inputs.records")
readers = pytest.importorskip("mutflank_tools.inputs.open")

# ---- allele rules --------------------------------------------------------------------------


CLASSIFIED = [
    (100, "C", "T", ("SNV", 100, "C", "T")),
    (100, "g", "a", ("SNV", 100, "G", "A")),
    (100, "AC", "GT", ("DBS", 100, "AC", "GT")),
    (100, "ACG", "TGC", ("MNV", 100, "ACG", "TGC")),
    (100, "ATG", "ACG", ("SNV", 101, "T", "C")),  # trimmed to the one changed base
    (100, "ATGC", "ATCA", ("DBS", 102, "GC", "CA")),
    (100, "CATGC", "CGTAC", ("MNV", 101, "ATG", "GTA")),  # inner equal bases stay
    (100, "AT", "A", ("INDEL", 100, "AT", "A")),
    (100, "A", "ATT", ("INDEL", 100, "A", "ATT")),
    (100, "A", "-", ("INDEL", 100, "A", "-")),  # a MAF deletion
    (100, "N", "A", ("OTHER", 100, "N", "A")),
    (100, "C", "R", ("OTHER", 100, "C", "R")),
    (100, "*", "C", ("OTHER", 100, "*", "C")),
    (100, "T", "<DEL>", records.SYMBOLIC),
    (100, "G", "G]17:198982]", records.SYMBOLIC),
    (100, "T", "*", records.NOT_VARIANT),
    (100, "T", ".", records.NOT_VARIANT),
    (100, "AC", "ac", records.NOT_VARIANT),
    (100, "", "A", ("INDEL", 100, "", "A")),
    # Characters beyond ASCII count as one each, as a reader sees them.
    (100, "\u00c9", "A", ("OTHER", 100, "\u00c9", "A")),
    (100, "A\u00c9", "A", ("INDEL", 100, "A\u00c9", "A")),
    (100, "\u00c9T", "\u00c9C", ("SNV", 101, "T", "C")),
    (100, "CA\u00e9T", "CG\u00e9T", ("SNV", 101, "A", "G")),
    (2**64 - 1, "ATG", "ACG", ("SNV", 2**64, "T", "C")),  # beyond 2^64 - 1 once trimmed
    (2**64 - 1, "AT", "A", ("INDEL", 2**64 - 1, "AT", "A")),
]


@pytest.mark.parametrize("pos, ref, alt, expected", CLASSIFIED)
def test_classify(pos, ref, alt, expected):
    assert records.classify(pos, ref.upper(), alt.upper()) == expected


def _engine_rows(columns, place=None, project="P"):
    """_engine.table_rows of records given as lists (object columns but position and line)."""
    import numpy as np

    engine = pytest.importorskip("mutflank_tools._engine")
    count = len(columns["position"])
    arrays = {}
    for name in ("sample", "id", "build", "chromosome", "ref", "alt"):
        arrays[name] = np.empty(len(columns[name]), dtype=object)
        arrays[name][:] = columns[name]
    calls = []

    def placed(build, chromosome, line):
        calls.append((build, chromosome, line))
        return place(build, chromosome, line) if place else (build or "B", chromosome, None)

    result = engine.table_rows(
        arrays["sample"], arrays["id"], arrays["build"], arrays["chromosome"],
        np.array(columns["position"], dtype=np.uint64), arrays["ref"], arrays["alt"],
        np.array(columns.get("line", range(1, count + 1)), dtype=np.int64), project, placed,
        (records.NOT_VARIANT, records.SYMBOLIC))
    return result, calls


@pytest.mark.parametrize("pos, ref, alt, expected", CLASSIFIED)
def test_engine_rows_follow_the_allele_rules(pos, ref, alt, expected):
    (text, count, left_out, missing, missing_count), _ = _engine_rows({
        "sample": ["s"], "id": ["."], "build": [""], "chromosome": ["1"], "position": [pos],
        "ref": [ref.upper()], "alt": [alt.upper()]})
    if isinstance(expected, str):
        assert (text, count, left_out) == (b"", 0, [(expected, "1", 1)])
    else:
        kind, start, ref, alt = expected
        end = start if ref == "-" else start + len(ref) - 1
        assert text.decode() == f"s\tP\t.\tB\t{kind}\t1\t{start}\t{end}\t{ref}\t{alt}\n"
        assert (count, left_out) == (1, [])
    assert (missing, missing_count) == ([], 0)


def test_engine_rows_ask_the_place_once_per_run_and_count_what_it_leaves_out():
    # Carriers of one record share a row's tail; a chromosome left out is counted per record,
    # and only the first 1000 of them are listed for the coverage.
    chromosomes = ["1", "1", "1", "Un", "1"] + ["Un"] * 1200 + ["2"]
    count = len(chromosomes)
    ref = ["C"] * count
    alt = ["T", "T", "*", "A", "<DEL>"] + ["G"] * 1200 + ["\u00e9"]

    def place(build, chromosome, line):
        if chromosome == "Un":
            return "GRCh38", chromosome, "no file"
        return "GRCh38", "chr" + chromosome, None

    (text, written, left_out, missing, missing_count), calls = _engine_rows({
        "sample": ["a", "b", "a", "a", "b"] + ["c"] * 1200 + ["d"], "id": ["x"] * count,
        "build": ["38"] * count, "chromosome": chromosomes, "position": [5] * count,
        "ref": ref, "alt": alt, "line": [1, 1, 2, 3, 4] + [9] * 1200 + [20]}, place, "\u00fc")
    assert text.decode() == ("a\t\u00fc\tx\tGRCh38\tSNV\tchr1\t5\t5\tC\tT\n"
                             "b\t\u00fc\tx\tGRCh38\tSNV\tchr1\t5\t5\tC\tT\n"
                             "d\t\u00fc\tx\tGRCh38\tOTHER\tchr2\t5\t5\tC\t\u00e9\n")
    assert written == 3
    assert left_out == [(records.NOT_VARIANT, "1", 1), ("no file", "Un", 1201),
                        (records.SYMBOLIC, "1", 1)]
    assert (len(missing), missing_count) == (1000, 1201)
    assert set(missing) == {("GRCh38", "Un")}
    assert calls == [("38", "1", 1), ("38", "Un", 3), ("38", "1", 4), ("38", "Un", 9),
                     ("38", "2", 20)]


@pytest.mark.parametrize("columns, error, message", [
    ({"ref": [b"C"]}, TypeError, "table_rows: an allele is not str"),
    ({"sample": [1]}, TypeError, "table_rows: a column holds something other than str"),
    ({"id": [".", "."]}, ValueError, "table_rows: ident has another length"),
])
def test_engine_rows_refuse_columns_of_other_types(columns, error, message):
    import re

    given = {"sample": ["s"], "id": ["."], "build": [""], "chromosome": ["1"], "position": [1],
             "ref": ["C"], "alt": ["T"], **columns}
    with pytest.raises(error, match=re.escape(message)):
        _engine_rows(given)


def test_engine_rows_pass_on_a_fault_of_the_place():
    def place(build, chromosome, line):
        raise KeyError(f"line {line}")

    with pytest.raises(KeyError, match="line 7"):
        _engine_rows({"sample": ["s"], "id": ["."], "build": [""], "chromosome": ["1"],
                      "position": [1], "ref": ["C"], "alt": ["T"], "line": [7]}, place)


@pytest.mark.parametrize("path, sample", [
    ("/data/tumour_7.vcf.gz", "tumour_7"),
    ("tumour_7.vcf", "tumour_7"),
    ("tumour_7.bcf", "tumour_7"),
    ("tumour_7.vcf.bgz", "tumour_7"),
    ("cohort.maf.gz", "cohort"),
    ("a.b.vcf", "a.b"),
    ("calls", "calls"),
    (".vcf", ".vcf"),
])
def test_sample_from_path(path, sample):
    assert records.sample_from_path(path) == sample


# ---- hand-made VCF files -------------------------------------------------------------------

HEADER = (
    "##fileformat=VCFv4.2\n"
    "##contig=<ID=1,length=1000>\n"
    '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
)
COLUMNS = ["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT"]
THREE_SAMPLES = HEADER + "\t".join(COLUMNS + ["s1", "s2", "s3"]) + "\n" + (
    "1\t10\tv1\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\t1/1\n"
    "1\t20\tv2\tA\tG,T,*\t.\tPASS\t.\tGT\t1/2\t2|3\t./.\n"
    "1\t30\t.\tAC\tGT\t.\tPASS\t.\tGT\t0/1\t0/1\t0/1\n"
    "1\t40\t.\tG\tGA\t.\tPASS\t.\tGT\t.\t1\t0\n"
    "1\t50\t.\tT\t.\t.\tPASS\t.\tGT\t0/0\t0/0\t0/0\n"
    "1\t60\t.\tc\tg\t.\tPASS\t.\tGT\t0/0\t0/0\t0/1/1\n"
    "1\t70\t.\tC\t<DEL>\t.\tPASS\t.\tGT\t0/1\t0/0\t0/0\n"
    "1\t80\t.\tG\tA\t.\tPASS\t.\tGT\t0/0\t./.\t0/0\n"
)
THREE_SAMPLES_ROWS = [
    ["s1", "P", "v1", "GRCh37", "SNV", "1", "10", "10", "C", "T"],
    ["s3", "P", "v1", "GRCh37", "SNV", "1", "10", "10", "C", "T"],
    ["s1", "P", "v2", "GRCh37", "SNV", "1", "20", "20", "A", "G"],
    ["s1", "P", "v2", "GRCh37", "SNV", "1", "20", "20", "A", "T"],
    ["s2", "P", "v2", "GRCh37", "SNV", "1", "20", "20", "A", "T"],
    ["s1", "P", ".", "GRCh37", "DBS", "1", "30", "31", "AC", "GT"],
    ["s2", "P", ".", "GRCh37", "DBS", "1", "30", "31", "AC", "GT"],
    ["s3", "P", ".", "GRCh37", "DBS", "1", "30", "31", "AC", "GT"],
    ["s2", "P", ".", "GRCh37", "INDEL", "1", "40", "40", "G", "GA"],
    ["s3", "P", ".", "GRCh37", "SNV", "1", "60", "60", "C", "G"],  # a triploid genotype
]


@pytest.mark.parametrize("name", ["calls.vcf", "calls.bgz.gz", "calls.vcf.gz"])
def test_genotypes_decide_the_samples(tmp_path, name):
    vcf = write_text(tmp_path / name, THREE_SAMPLES)
    status, out, err = run("table", vcf, "--build", "hg19", "--project", "P")
    assert status == 0, err
    assert table_lines(out) == THREE_SAMPLES_ROWS
    assert err.splitlines() == [
        "mutflank table: wrote 10 rows of 3 samples to standard output",
        "mutflank table: left out 2 records: no sample carries the allele, on 1 (2)",
        "mutflank table: left out 1 record: allele *, . or equal to REF, on 1 (1)",
        "mutflank table: left out 1 record: symbolic allele, on 1 (1)",
    ]  # '.' at 50 and A at 80, which no sample carries; s2's '*' at 20; s1's <DEL> at 70


def test_writes_the_output_file_and_a_summary(tmp_path):
    vcf = write_text(tmp_path / "calls.vcf", THREE_SAMPLES)
    (tmp_path / "again").mkdir()
    again = write_text(tmp_path / "again" / "calls.vcf", THREE_SAMPLES)
    output = tmp_path / "t.tsv"
    status, out, err = run("table", vcf, again, "--build", "GRCh38", "-o", output,
                           "--merge-samples")
    assert (status, out) == (0, "")
    assert err.splitlines()[:2] == [
        f"mutflank table: wrote 20 rows of 3 samples to {output}",
        "mutflank table: left out 4 records: no sample carries the allele, on 1 (4), in "
        f"{vcf} (2), {again} (2)"]  # with several inputs, the inputs concerned are named
    rows = table_lines(output.read_text())
    assert len(rows) == 20 and {row[1] for row in rows} == {"calls"}  # the default project
    assert sorted(p.name for p in tmp_path.iterdir()) == ["again", "calls.vcf", "t.tsv"]


def test_bcf_is_read_like_its_vcf(tmp_path):
    vcf = write_text(tmp_path / "calls.vcf", THREE_SAMPLES)
    bcf = tmp_path / "calls.data"  # told by content, not by name
    pysam.VariantFile(str(vcf)).close()
    with pysam.VariantFile(str(vcf)) as source:
        source.header.add_line('##INFO=<ID=END,Number=1,Type=Integer,Description="End">')
        with pysam.VariantFile(str(bcf), "wb", header=source.header) as target:
            for record in source:
                target.write(record)
    with readers.open_input(str(bcf)) as opened:
        assert (opened.kind, opened.samples) == ("bcf", ["s1", "s2", "s3"])
    status, out, err = run("table", bcf, "--build", "GRCh37", "--project", "P")
    assert status == 0, err
    assert table_lines(out) == THREE_SAMPLES_ROWS


def test_one_named_sample_column(tmp_path):
    vcf = write_text(tmp_path / "calls.vcf", THREE_SAMPLES)
    status, out, _ = run("table", vcf, "--build", "GRCh38", "--project", "P", "--sample", "s2")
    assert status == 0
    assert [(r[0], r[6], r[9]) for r in table_lines(out)] == [
        ("s2", "20", "T"), ("s2", "30", "GT"), ("s2", "40", "GA")]


SOMATIC = (
    "##fileformat=VCFv4.2\n"
    '##FORMAT=<ID=DP,Number=1,Type=Integer,Description="Depth">\n'
    + "\t".join(COLUMNS + ["NORMAL", "TUMOR"]) + "\n"
    "1\t10\t.\tC\tT\t.\tPASS\t.\tDP\t30\t40\n"
    "1\t20\t.\tG\tA,C\t.\tLowQual\t.\tDP\t30\t40\n"
)


@pytest.mark.parametrize("options, sample", [([], "patient9"), (["--sample", "TUMOR"], "TUMOR")])
def test_vcf_without_genotypes_is_one_sample(tmp_path, options, sample):
    vcf = write_text(tmp_path / "patient9.vcf", SOMATIC)
    status, out, _ = run("table", vcf, "--build", "38", *options)
    assert status == 0
    assert table_lines(out) == [
        [sample, "patient9", ".", "GRCh38", "SNV", "1", "10", "10", "C", "T"],
        [sample, "patient9", ".", "GRCh38", "SNV", "1", "20", "20", "G", "A"],
        [sample, "patient9", ".", "GRCh38", "SNV", "1", "20", "20", "G", "C"],
    ]


def test_pass_only_keeps_pass_and_missing_filters(tmp_path):
    vcf = write_text(tmp_path / "t.vcf", SOMATIC + "1\t30\t.\tA\tG\t.\t.\t.\tDP\t1\t2\n")
    status, out, err = run("table", vcf, "--build", "38", "--pass-only")
    assert status == 0
    assert [r[6] for r in table_lines(out)] == ["10", "30"]
    # the one sample (no genotypes) carries both alleles of the LowQual line: two records
    assert err.splitlines()[1] == "mutflank table: left out 2 records: filter not PASS, on 1 (2)"


@pytest.mark.parametrize("text, options, message", [
    (THREE_SAMPLES, ["--sample", "TUMOR"], "--sample TUMOR: no input holds this sample"),
    (SOMATIC, ["--sample", "s1"], "--sample s1: no input holds this sample"),
    # a record with fewer sample fields than the header has columns
    (THREE_SAMPLES + "1\t90\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\n", [],
     "{vcf}: line 13: 10 tab-separated fields, the #CHROM line names 12"),
    (THREE_SAMPLES + "1\t0\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/1\t0/1\n", [],
     "{vcf}: line 13: position 0 is not a position on the chromosome (a whole number from 1 "
     "to 2^64 - 1)"),
    (THREE_SAMPLES + "1\t95\tr\xe9\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/1\t0/1\n", [], None),
    ("##fileformat=VCFv4.2\n#CHROM POS ID REF ALT QUAL FILTER INFO\n", [],
     "{vcf}: line 2: the #CHROM line does not name the eight VCF columns separated by tabs"),
])
def test_faulty_vcf_is_refused_and_nothing_is_written(tmp_path, text, options, message):
    vcf = tmp_path / "calls.vcf"
    if message is None:  # a record that is not UTF-8
        vcf.write_bytes(text.encode("latin-1"))
        message = "{vcf}: line 13: not UTF-8 text"
    else:
        vcf.write_text(text)
    output = tmp_path / "t.tsv"
    status, out, err = run("table", vcf, "--build", "GRCh37", *options, "-o", output)
    assert (status, out, err) == (1, "", "mutflank table: error: " + message.format(vcf=vcf) + "\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["calls.vcf"]


def test_fault_far_into_a_long_vcf_names_its_line(tmp_path):
    # past the first batch, while bcftools still has far more to write than a pipe holds
    calls = synthetic_calls(22, GENOME, SAMPLES, 12000)
    text = vcf_text(calls, SAMPLES, {"1": 3000, "2": 2000}).splitlines(keepends=True)
    lines = 5010
    text.insert(lines - 1, "2\t0\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/1\t0/1\t0/1\n")
    vcf = write_text(tmp_path / "long.vcf", "".join(text))
    status, out, err = run("table", vcf, "--build", "37", "-o", tmp_path / "t.tsv")
    assert (status, out) == (1, "")
    assert err == (f"mutflank table: error: {vcf}: line {lines}: position 0 is not a "
                   "position on the chromosome (a whole number from 1 to 2^64 - 1)\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["long.vcf"]


# ---- chromosome names, builds, usage -------------------------------------------------------

RENAMING = (
    "##fileformat=VCFv4.2\n" + "\t".join(COLUMNS[:8]) + "\n"
    "chr1\t2\t.\tC\tT\t.\tPASS\t.\n"
    "1\t3\t.\tG\tA\t.\tPASS\t.\n"
    "chrM\t4\t.\tT\tC\t.\tPASS\t.\n"
    "chrUn_gl000220\t5\t.\tA\tC\t.\tPASS\t.\n"
    "HLA-A*01:01\t6\t.\tA\tC\t.\tPASS\t.\n"
    "chrUn_gl000220\t7\t.\tA\tG\t.\tPASS\t.\n"
    "chrX\t8\t.\tA\tC\t.\tPASS\t.\n"
)


@pytest.mark.parametrize("files, written", [
    (["1", "MT", "X"], ["1", "1", "MT", "X"]),
    (["chr1", "chrM", "chrX"], ["chr1", "chr1", "chrM", "chrX"]),
    (["1", "chr1", "chrMT", "chrX"], ["chr1", "1", "chrMT", "chrX"]),  # as written first
])
def test_chromosomes_take_the_reference_file_names(tmp_path, files, written):
    for name in files:
        write_reference(tmp_path / "ref", "GRCh37", name, "ACGTACGTAC")
    write_reference(tmp_path / "ref", "GRCh38", "chrUn_gl000220", "ACGTACGTAC")  # other build
    vcf = write_text(tmp_path / "sites.vcf", RENAMING)
    # 3 of 7 records find no file: more than 5%, so the reference is taken for a wrong one
    fault = (f"{vcf}: 3 of 7 records (42.9%) have no reference file (build GRCh37; chromosomes "
             f"chrUn_gl000220, HLA-A*01:01), the reference {tmp_path / 'ref'} holds GRCh37 "
             f"({', '.join(files)}); GRCh38 (chrUn_gl000220): is it the reference of another "
             "build or organism?")
    options = ["table", vcf, "--build", "hg19", "--reference", tmp_path / "ref"]
    assert run(*options, "-o", tmp_path / "t.tsv") == (
        1, "", f"mutflank table: error: {fault} (--allow-missing-chromosomes goes on without "
               "them)\n")
    assert not (tmp_path / "t.tsv").exists()
    status, out, err = run(*options, "--allow-missing-chromosomes")
    assert status == 0, err
    assert [row[5] for row in table_lines(out)] == written
    assert err.splitlines()[1:] == [
        f"mutflank table: warning: {fault} Left out, going on (--allow-missing-chromosomes)",
        "mutflank table: left out 3 records: no reference file, on chrUn_gl000220 (2), "
        "HLA-A*01:01 (1)"]


@pytest.mark.parametrize("builds, options, status, message", [
    (["GRCh38"], ["--allow-missing-chromosomes"], 0, None),  # the one build folder
    ([], ["--build", "GRCh/36"], 2,
     "argument --build: not a build name: 'GRCh/36' (it names a folder: not empty, '.' or '..', and without '/')"),
    ([], [], 2, "--build is required for {vcf}: a VCF names no build (or give --reference "
                "with one build folder)"),
    (["GRCh37", "GRCh38"], [], 2,
     "--build is required for {vcf}: a VCF names no build, and {ref} has 2 build folders"),
    (["GRCh38"], ["--build", "37"], 1,
     "{ref}: no GRCh37 folder in the reference folder (it holds GRCh38 (1))"),
    (["GRCh38"], ["--project", "a\tb"], 2, "--project may not hold a tab or a line break"),
    (["GRCh38"], ["--project", "a\nb"], 2, "--project may not hold a tab or a line break"),
    # --sample chooses samples of any input: of a MAF as of a VCF
    (["GRCh38"], ["--sample", "x"], 1, "--sample x: no input holds this sample"),
])
def test_builds_and_options(tmp_path, builds, options, status, message):
    for build in builds:
        write_reference(tmp_path / "ref", build, "1", "ACGTACGTAC")
    vcf = write_text(tmp_path / "sites.vcf", RENAMING)
    maf = write_text(tmp_path / "calls.maf", "\t".join(["Chromosome", "Start_Position",
                                                        "Reference_Allele", "Tumor_Seq_Allele1",
                                                        "Tumor_Seq_Allele2", "Tumor_Sample_Barcode"])
                     + "\n1\t2\tC\tC\tT\tS\n")
    inputs = [vcf] + ([maf] if "--sample" in options else [])
    result = run("table", *inputs, *options, *(["--reference", tmp_path / "ref"] if builds else []),
                 "-o", tmp_path / "out.tsv")
    if message is None:
        assert result[0] == 0, result
        assert table_lines((tmp_path / "out.tsv").read_text())[0] == [
            "sites", "sites", ".", "GRCh38", "SNV", "1", "2", "2", "C", "T"]
    else:
        text = message.format(vcf=vcf, ref=tmp_path / "ref", maf=maf)
        assert result == (status, "", f"mutflank table: error: {text}\n")
        assert not (tmp_path / "out.tsv").exists()


@pytest.mark.parametrize("target, message", [
    ("missing/out.tsv", "{out}: cannot write: No such file or directory"),
    ("sites.vcf/out.tsv", "{out}: cannot write: Not a directory"),
    (".", "{out}: is a folder"),
])
def test_unwritable_output(tmp_path, target, message):
    vcf = write_text(tmp_path / "sites.vcf", RENAMING)
    output = tmp_path / target
    assert run("table", vcf, "--build", "37", "-o", output) == (
        1, "", f"mutflank table: error: {message.format(out=output)}\n")


@pytest.mark.parametrize("name, text, message", [
    ("none.vcf", None, "{path}: No such file or directory"),
    ("folder", None, "{path}: is a folder"),
    ("notes.vcf", "just some words\n", "{path}: not a VCF, BCF, MAF or mutation table file"),
    ("table.tsv", "S\tP\t.\tGRCh37\tSNV\t1\t2\t2\tC\tT\n",
     "{path}: already a mutation table, not a VCF, BCF or MAF file"),
    ("cut.vcf.gz", b"\x1f\x8b\x08\x00" + b"\x00" * 20, None),
])
def test_inputs_that_are_no_vcf_or_maf(tmp_path, name, text, message):
    path = tmp_path / name
    if name == "folder":
        path.mkdir()
    elif text is not None:
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
    status, out, err = run("table", path, "--build", "37", "-o", tmp_path / "t.tsv")
    assert (status, out) == (1, "")
    if message is None:
        assert err.startswith(f"mutflank table: error: {path}: cannot decompress: ")
        assert len(err.splitlines()) == 1
    else:
        assert err == f"mutflank table: error: {message.format(path=path)}\n"
    assert not (tmp_path / "t.tsv").exists()


# ---- MAF -----------------------------------------------------------------------------------

SAMPLES = ["TCGA-01", "TCGA-02", "TCGA-03", "TCGA-04"]
GENOME = {"1": "".join(random.Random(3).choices("ACGT", k=3000)),
          "2": "".join(random.Random(4).choices("ACGT", k=2000))}


@pytest.mark.parametrize("maf_name, line_end", [("calls.maf", "\n"), ("calls.maf.gz", "\r\n")])
@pytest.mark.parametrize("vcf_name", ["calls.vcf", "calls.bgz.gz"])
def test_maf_and_vcf_of_the_same_calls_give_the_same_rows(tmp_path, maf_name, line_end, vcf_name):
    calls = synthetic_calls(11, GENOME, SAMPLES, 400)
    vcf = write_text(tmp_path / vcf_name, vcf_text(calls, SAMPLES, {"1": 3000, "2": 2000}))
    maf = write_text(tmp_path / maf_name, maf_text(calls, SAMPLES, "hg19", line_end,
                                                   ("#version 2.4", "#comment\twith tabs")))
    for build_option in (["--build", "GRCh37"], []):  # a MAF row names its build
        outputs = []
        for path in (vcf, maf):
            options = ["--build", "GRCh37"] if path == vcf else build_option
            status, out, err = run("table", path, "--project", "P", *options)
            assert status == 0, err
            outputs.append(table_lines(out))
        expected = expected_rows(calls, SAMPLES, "P", "GRCh37")
        assert outputs[0] == expected
        for row in expected:
            row[2] = "."  # a MAF has no IDs
        assert outputs[1] == expected
        assert len(outputs[0]) > 300


def test_pass_only_and_reference_on_synthetic_calls(tmp_path):
    calls = synthetic_calls(12, GENOME, SAMPLES, 300)
    vcf = write_text(tmp_path / "calls.vcf", vcf_text(calls, SAMPLES, {"1": 3000, "2": 2000}))
    write_reference(tmp_path / "ref", "GRCh38", "chr2", GENOME["2"])
    status, out, err = run("table", vcf, "--project", "P", "--pass-only", "--reference",
                           tmp_path / "ref", "--allow-missing-chromosomes")
    assert status == 0, err
    assert table_lines(out) == expected_rows(calls, SAMPLES, "P", "GRCh38", pass_only=True,
                                             rename={"2": "chr2"})
    # the filter is looked at first, then the chromosome (per row); each counts records: one
    # per sample that carries the allele
    low = collections.Counter()
    for call in calls:
        if call.filter == "LowQ":
            low[call.chrom] += sum(str(index) in genotype.replace("|", "/").split("/")
                                   for index in range(1, len(call.alts) + 1)
                                   for genotype in call.genotypes.values())
    on_1 = sum(1 for row in expected_rows(calls, SAMPLES, "P", "GRCh38", pass_only=True)
               if row[5] == "1")
    lines = err.splitlines()
    assert f"mutflank table: left out {on_1} records: no reference file, on 1 ({on_1})" in lines
    assert (f"mutflank table: left out {sum(low.values())} records: filter not PASS, on "
            + ", ".join(f"{chrom} ({low[chrom]})" for chrom in sorted(low, key=lambda c: -low[c]))
            in lines)


MAF_NEEDED = ["Chromosome", "Start_Position", "Reference_Allele", "Tumor_Seq_Allele1",
              "Tumor_Seq_Allele2", "Tumor_Sample_Barcode", "NCBI_Build"]


def maf(rows, columns=MAF_NEEDED):
    return "\t".join(columns) + "\n" + "".join("\t".join(row) + "\n" for row in rows)


@pytest.mark.parametrize("text, build, status, message", [
    (maf([["1", "5", "C", "C", "T", "S", "GRCh37"]], MAF_NEEDED[1:]), "37", 1,
     "{path}: line 1: the MAF header has no Chromosome column"),
    (maf([["1", "5", "C", "C", "T", "S"]], MAF_NEEDED[:-1]), None, 2,
     "--build is required for {path}: its header (line 1) has no NCBI_Build column (or give "
     "--reference with one build folder)"),
    (maf([["1", "5", "C", "C", "T", "S", "GRCh/36"]]), None, 1, "{path}: line 2: NCBI_Build "
     "'GRCh/36' cannot name a build folder: give --build"),
    (maf([["1", "5", "C", "C", "T", "S", "37"], ["1", "6", "C"]]), None, 1,
     "{path}: line 3: 3 tab-separated fields, the header names 7"),
    (maf([["1", "x5", "C", "C", "T", "S", "37"]]), None, 1,
     "{path}: line 2: Start_Position 'x5' is not a position (a whole number from 1)"),
    (maf([["1", "0", "C", "C", "T", "S", "37"]]), None, 1,
     "{path}: line 2: Start_Position '0' is not a position (a whole number from 1)"),
    (maf([["1", "5", "C", "C", "T", "", "37"]]), None, 1,
     "{path}: line 2: empty Tumor_Sample_Barcode"),
    (maf([["", "5", "C", "C", "T", "S", "37"]]), None, 1, "{path}: line 2: empty Chromosome"),
    (maf([["1", "5", "C", "C", "T", "S\xff", "37"]]).encode("latin-1"), None, 1,
     "{path}: line 2: not UTF-8 text"),
    # only comments: not even told a MAF
    ("#version 2.4\n#only comments\n", "37", 1,
     "{path}: not a VCF, BCF, MAF or mutation table file"),
])
def test_faulty_maf_is_refused(tmp_path, text, build, status, message):
    path = write_text(tmp_path / "calls.maf", text)
    options = ["--build", build] if build else []
    assert run("table", path, *options, "-o", tmp_path / "t.tsv") == (
        status, "", f"mutflank table: error: {message.format(path=path)}\n")
    assert not (tmp_path / "t.tsv").exists()


def test_maf_columns_in_any_order_with_comments_and_blank_lines(tmp_path):
    columns = list(reversed(MAF_NEEDED)) + ["Variant_Type"]
    text = "#version 2.4\n\n" + maf([["hg38", "S2", "a", "g", "A", "17", "chr3", "SNP"],
                                     ["38", "S1", "T", "-", "-", "5", "3", "INS"]], columns)
    path = write_text(tmp_path / "in.maf", text + "\n")
    # the reader keeps the alleles and the build as written (upper-cased), '-' included
    (batch,) = readers.read_all(str(path))
    assert [batch.sample.tolist(), batch.build.tolist(), batch.ref.tolist(), batch.alt.tolist(),
            batch.line.tolist()] == [["S2", "S1"], ["hg38", "38"], ["A", "-"], ["G", "T"], [4, 5]]
    status, out, err = run("table", path, "--project", "Q")
    assert table_lines(out) == [
        ["S2", "Q", ".", "GRCh38", "SNV", "chr3", "17", "17", "A", "G"],  # Allele2 is REF: Allele1
        ["S1", "Q", ".", "GRCh38", "INDEL", "3", "5", "5", "-", "T"],
    ]
    assert (status, err) == (0, "mutflank table: wrote 2 rows of 2 samples to standard output\n")
    # a FILTER column is read; --pass-only keeps PASS and '.'
    text = maf([["hg38", "S2", "a", "g", "A", "17", "chr3", "SNP", "PASS"],
                ["38", "S1", "T", "-", "-", "5", "3", "INS", "LowQ"]], columns + ["FILTER"])
    path = write_text(tmp_path / "filtered.maf", text)
    assert [b.filter.tolist() for b in readers.read_all(str(path))] == [["PASS", "LowQ"]]
    status, out, err = run("table", path, "--project", "Q", "--pass-only")
    assert (status, [row[0] for row in table_lines(out)], err) == (0, ["S2"], (
        "mutflank table: wrote 1 row of 1 sample to standard output\n"
        "mutflank table: left out 1 record: filter not PASS, on 3 (1)\n"))


# ---- the real VCF files of python-pyvcf-examples -------------------------------------------

EXAMPLE_40_ROWS = [
    ["NA00002", "P", "rs6054257", "GRCh37", "SNV", "20", "14370", "14370", "G", "A"],
    ["NA00003", "P", "rs6054257", "GRCh37", "SNV", "20", "14370", "14370", "G", "A"],
    ["NA00002", "P", ".", "GRCh37", "SNV", "20", "17330", "17330", "T", "A"],
    ["NA00001", "P", "rs6040355", "GRCh37", "SNV", "20", "1110696", "1110696", "A", "G"],
    ["NA00002", "P", "rs6040355", "GRCh37", "SNV", "20", "1110696", "1110696", "A", "G"],
    ["NA00001", "P", "rs6040355", "GRCh37", "SNV", "20", "1110696", "1110696", "A", "T"],
    ["NA00002", "P", "rs6040355", "GRCh37", "SNV", "20", "1110696", "1110696", "A", "T"],
    ["NA00003", "P", "rs6040355", "GRCh37", "SNV", "20", "1110696", "1110696", "A", "T"],
    ["NA00001", "P", ".", "GRCh37", "INDEL", "20", "1231234", "1231235", "AT", "A"],
    ["NA00003", "P", "microsat1", "GRCh37", "INDEL", "20", "1234567", "1234570", "GTCT", "G"],
    ["NA00002", "P", "microsat1", "GRCh37", "INDEL", "20", "1234567", "1234570", "GTCT", "GTACT"],
]


def test_example_vcf_rows_exactly():
    status, out, _ = run("table", PYVCF / "example-4.0.vcf", "--build", "GRCh37", "--project", "P")
    assert status == 0
    assert table_lines(out) == EXAMPLE_40_ROWS


def test_bgzip_example_is_the_same_calls():
    # tb.vcf.gz (BGZF) holds example-4.0.vcf without its record at 1231234
    status, out, _ = run("table", PYVCF / "tb.vcf.gz", "--build", "GRCh37", "--project", "P")
    assert status == 0
    assert table_lines(out) == [row for row in EXAMPLE_40_ROWS if row[6] != "1231234"]


@pytest.mark.parametrize("name, options, samples, types, left_out", [
    # no sample column, plain gzip: named after the file
    ("1kg.sites.vcf.gz", [], {"1kg.sites": 171}, {"SNV": 157, "INDEL": 14}, 0),
    # one sample column '-': its genotype tells which alleles of a multi-allelic record it has
    ("samtools.vcf", [], {"-": 11}, {"SNV": 5, "INDEL": 6}, 4),
    ("example-4.1.vcf", [], {"NA00001": 3, "NA00002": 5, "NA00003": 3}, {"SNV": 8, "INDEL": 3}, 1),
    # no call (./.), half calls (./1) and a lone "." carry nothing but what they name
    ("uncalled_genotypes.vcf", [], {"AB00001": 2, "AB00002": 2, "AB00003": 1},
     {"SNV": 2, "INDEL": 3}, 1),
    # haploid genotypes 0: nobody carries an allele, and saying so
    ("issue-214.vcf", [], {}, {}, 4),
    # symbolic alleles give no row
    ("example-4.1-sv.vcf", [], {"NA00001": 1}, {"INDEL": 1}, 5),
    # the alleles that only other samples carry are not NA12878's records: none is left out
    ("freebayes.vcf.gz", ["--sample", "NA12878"], {"NA12878": 89},
     {"SNV": 25, "DBS": 1, "INDEL": 63}, 0),
    ("gonl.chr20.release4.gtc.vcf.gz", [], {"gonl.chr20.release4.gtc": 7}, {"SNV": 7}, 0),
    # somatic calls without GT (one sample field empty): one sample, or the named column
    ("strelka.vcf.gz", [], {"strelka": 3}, {"SNV": 3}, 0),
    ("strelka.vcf.gz", ["--sample", "TUMOR.variant2"], {"TUMOR.variant2": 3}, {"SNV": 3}, 0),
])
def test_real_vcf_files(name, options, samples, types, left_out):
    status, out, err = run("table", PYVCF / name, "--build", "GRCh38", "--project", "pyvcf",
                           *options)
    assert status == 0, err
    table = table_lines(out)
    assert dict(collections.Counter(row[0] for row in table)) == samples
    assert dict(collections.Counter(row[4] for row in table)) == types
    assert all(len(row) == 10 and row[1] == "pyvcf" and row[3] == "GRCh38" for row in table)
    for row in table:
        if row[4] == "SNV":
            assert row[8] in "ACGT" and row[9] in "ACGT" and row[8] != row[9] and row[6] == row[7]
    counted = sum(int(line.split()[4]) for line in err.splitlines() if " left out " in line)
    assert counted == left_out


def test_unreadable_real_vcf_is_refused(tmp_path):
    # spaces instead of tabs in the #CHROM line
    name = PYVCF / "example-4.1-bnd.vcf"
    status, out, err = run("table", name, "--build", "37", "-o", tmp_path / "t.tsv")
    assert (status, out, err) == (1, "", f"mutflank table: error: {name}: line 24: the #CHROM "
                                         "line does not name the eight VCF columns separated by "
                                         "tabs\n")
    assert not (tmp_path / "t.tsv").exists()
    # FORMAT without sample columns (htslib refuses it): no genotypes, and here no record
    assert run("table", PYVCF / "gatk_26_meta.vcf", "--build", "37") == (
        0, "", "mutflank table: wrote 0 rows of 1 sample to standard output\n")


def test_multi_allelic_record_gives_a_line_per_allele_the_genotype_holds():
    status, out, _ = run("table", PYVCF / "samtools.vcf", "--build", "GRCh37", "--project", "P")
    assert status == 0
    # both records are homozygous 1/1: the second alternate allele is nobody's
    assert [row[6:] for row in table_lines(out)
            if row[5] == "chr1" and row[6] in ("11292952", "152195728")] == [
        ["11292952", "11292952", "T", "A"],
        ["152195728", "152195739", "ATTTTTTTTTTT", "ATTTTTTTTTT"],
    ]


@pytest.mark.parametrize("name", ["example-4.1.vcf", "uncalled_genotypes.vcf", "freebayes.vcf.gz",
                                  "samtools.vcf", "example-4.1-ploidy.vcf"])
def test_carriers_are_those_pysam_reads_in_the_genotypes(tmp_path, name):
    plain = tmp_path / "plain.vcf"  # pysam cannot read a plain gzip VCF
    plain.write_bytes(gzip.decompress((PYVCF / name).read_bytes()) if name.endswith(".gz")
                      else (PYVCF / name).read_bytes())
    expected = collections.Counter()
    with pysam.VariantFile(str(plain)) as vcf:
        for record in vcf:
            for index, alt in enumerate(record.alts or (), start=1):
                if alt in ("*", ".") or alt.startswith("<"):
                    continue
                for sample in record.samples:
                    if index in (record.samples[sample]["GT"] or ()):
                        expected[sample] += 1
    status, out, err = run("table", PYVCF / name, "--build", "GRCh37")
    assert status == 0, err
    assert collections.Counter(row[0] for row in table_lines(out)) == expected
    assert sum(expected.values()) >= 3


# ---- the road: the table read by the module, against pysam reading the FASTA ---------------

COMPLEMENT = str.maketrans("ACGTN", "TGCAN")


def test_table_of_a_vcf_on_lambda_gives_the_contexts_pysam_reads(tmp_path, lambda_reference,
                                                                 lambda_genome):
    import mutflank

    genome = lambda_genome[LAMBDA_NAME]
    calls = synthetic_calls(5, {LAMBDA_NAME: genome}, SAMPLES, 200)
    vcf = write_text(tmp_path / "phage.vcf.gz", vcf_text(calls, SAMPLES, {LAMBDA_NAME: len(genome)}))
    status, _, err = run("table", vcf, "--reference", lambda_reference, "--project", "demo",
                         "-o", tmp_path / "phage.tsv")
    assert status == 0, err
    rows = mutflank.parse_vcf_files([str(tmp_path / "phage.tsv")], str(lambda_reference), 3)
    expected = []
    for row in expected_rows(calls, SAMPLES, "demo", "GRCh38"):
        if row[4] != "SNV":
            continue
        pos, ref, alt = int(row[6]), row[8], row[9]
        left, right = genome[max(0, pos - 2): pos - 1], genome[pos: pos + 1]
        if ref in "GA":
            context = (right[::-1].translate(COMPLEMENT) + f"[{ref.translate(COMPLEMENT)}>"
                       f"{alt.translate(COMPLEMENT)}]" + left[::-1].translate(COMPLEMENT))
        else:
            context = f"{left}[{ref}>{alt}]{right}"
        expected.append((f"{row[0]}::demo", context))
    assert [tuple(row) for row in rows.tolist()] == expected
    assert len(expected) > 150


# ---- pipes and descriptors -----------------------------------------------------------------

def test_closed_pipe_ends_quietly(tmp_path):
    import subprocess

    from cli_support import COMMAND

    calls = synthetic_calls(21, GENOME, SAMPLES, 5000)
    vcf = write_text(tmp_path / "calls.vcf", vcf_text(calls, SAMPLES, {"1": 3000, "2": 2000}))
    process = subprocess.Popen([COMMAND, "table", str(vcf), "--build", "37"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = process.stdout.readline()
    process.stdout.close()  # as `| head -n 1` does
    assert process.wait(timeout=60) == 141  # 128 + SIGPIPE, as a filter killed by it
    assert process.stderr.read() == b""
    process.stderr.close()
    assert first.startswith(b"TCGA-0")


def test_no_descriptor_is_left_open(tmp_path):
    from mutflank_tools.cli import main

    good = write_text(tmp_path / "good.vcf", THREE_SAMPLES)
    bad = write_text(tmp_path / "bad.vcf", THREE_SAMPLES + "1\t90\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\n")
    maf_file = write_text(tmp_path / "bad.maf", maf([["1", "x", "C", "C", "T", "S", "37"]]))
    before = sorted(os.listdir("/proc/self/fd"))
    with contextlib.redirect_stderr(io.StringIO()):
        statuses = [main(["table", str(path), "--build", "37", "-o", str(tmp_path / "t.tsv")])
                    for path in (good, bad, maf_file) * 5]
    assert statuses == [0, 1, 1] * 5
    assert sorted(os.listdir("/proc/self/fd")) == before


# ---- the rows a VCF's reader writes itself, against those written from Records -------------

WRITTEN_BY_THE_READER = HEADER + "\t".join(COLUMNS + ["s1", "s2", "s\u00e9"]) + "\n" + (
    "1\t10\tv1\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\t1/1\n"
    "1\t20\tv2\tA\tG,T,*,<DEL>\t.\tPASS\t.\tGT\t1/2\t2|3\t4/.\n"
    "1\t30\t.\tcATg\tCGTa\t.\tq10\t.\tGT\t0/1\t0/1\t0/1\n"  # trimmed to a DBS; not PASS
    "1\t40\t.\tG\tGA,G\t.\tPASS\t.\tGT\t.\t1\t2\n"
    "chr2\t5\t.\t\u00e9T\t\u00e9C\t.\t.\t.\tGT\t0/1\t0/0\t0/0\n"  # beyond ASCII: upper-cased
    "7\t6\tx\tA\tC\t.\tPASS\t.\tGT\t1/1\t0/1\t0/0\n"  # no reference file
    "chr2\t18446744073709551615\t.\tATG\tACG,A\t.\tPASS\t.\tGT\t0/1\t0/0\t0/2\n"
    "Un\t7\t.\tA\tG\t.\tPASS\t.\tGT\t0/0\t0/0\t0/0\n"
)


@pytest.mark.parametrize("options", [
    [],
    ["--pass-only", "--project", "P\u00e9", "--merge-samples"],
    ["--sample", "s\u00e9"],
    ["--exclude", "s1", "--label-by-input"],
    ["--reference", "{ref}", "--allow-missing-chromosomes"],
    ["--reference", "{ref}"],  # too many records without a reference file
])
def test_rows_written_by_the_reader_are_those_of_the_records(tmp_path, monkeypatch, options):
    from mutflank_tools.commands import table

    write_reference(tmp_path / "ref", "GRCh38", "1", "ACGTACGTACGTACGTACGTACGTACGTACGTACGTACGTA")
    write_reference(tmp_path / "ref", "GRCh38", "2", "ACGTACGTAC")
    (tmp_path / "b").mkdir()
    inputs = [write_text(tmp_path / "a.vcf", WRITTEN_BY_THE_READER),
              write_text(tmp_path / "b" / "a.vcf.gz", WRITTEN_BY_THE_READER.replace("s1", "t1"))]
    argv = ["table", *inputs, "--build", "GRCh38",
            *[option.format(ref=tmp_path / "ref") for option in options]]
    written = []
    monkeypatch.setattr(table.Rows, "written", lambda self, rows, original=table.Rows.written: (
        written.append(rows.rows) or original(self, rows)))
    by_reader = run(*argv)
    assert written and sum(written) == len(table_lines(by_reader[1]))
    monkeypatch.setattr(table.Rows, "wanted", lambda *args: None)  # Records, as with --regions
    assert by_reader == run(*argv)
