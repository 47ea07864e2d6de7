"""`mutflank matrix` on the cohort cases that used to give a wrong matrix with exit status 0:
one sample name in several inputs, one input named twice, a reference that does not fit the
inputs, chosen samples and the columns every route agrees on; and the genome's reads (a
reference file shortened while it is read, chromosome names that are no file name, any build
name as a folder label)."""

import os

import numpy as np
import pytest

pytest.importorskip("mutflank_tools")
from mutflank_tools.runtime.errors import InputError  # noqa: E402
from mutflank_tools.reference.genome import Genome  # noqa: E402

from cli_support import run, write_reference, write_text  # noqa: E402

SEQUENCE = "ACGTACGATCAGGTCAACGT"  # chromosome 1, 20 bases
VCF_HEAD = ("##fileformat=VCFv4.2\n"
            '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t{samples}\n")


def somatic_vcf(path, sites, samples=("TUMOR", "NORMAL")):
    """A VCF whose first sample carries each (position, ALT) site; the others do not."""
    lines = [VCF_HEAD.format(samples="\t".join(samples))]
    for position, alt in sites:
        genotypes = ["0/1"] + ["0/0"] * (len(samples) - 1)
        lines.append(f"1\t{position}\t.\t{SEQUENCE[position - 1]}\t{alt}\t.\tPASS\t.\tGT\t"
                     + "\t".join(genotypes) + "\n")
    return write_text(path, "".join(lines))


def table(path, rows, build="GRCh37"):
    return write_text(path, "".join(
        f"{sample}\tP\t.\t{build}\tSNV\t{chromosome}\t{position}\t{position}\t{ref}\t{alt}\n"
        for sample, chromosome, position, ref, alt in rows))


def columns(prefix, name="SBS6"):
    """{column label: its counts} of a written matrix."""
    lines = open(f"{prefix}.{name}.tsv").read().splitlines()
    labels = lines[0].split("\t")[1:]
    values = [line.split("\t")[1:] for line in lines[1:]]
    return {label: [int(row[k]) for row in values] for k, label in enumerate(labels)}


@pytest.fixture
def cohort(tmp_path):
    write_reference(tmp_path / "ref", "GRCh37", "1", SEQUENCE)
    a = somatic_vcf(tmp_path / "patientA.vcf.gz", [(6, "A"), (9, "A")])  # C>A, T>A
    b = somatic_vcf(tmp_path / "patientB.vcf", [(6, "T")])  # C>T
    return tmp_path, a, b


def test_one_sample_name_in_several_inputs(cohort):
    tmp_path, a, b = cohort
    status, _, stderr = run("matrix", a, b, "--reference", tmp_path / "ref", "-o",
                            tmp_path / "m")
    assert (status, stderr) == (1, (
        f"mutflank matrix: error: sample TUMOR comes from more than one input ({a}, {b}): give "
        "--label-by-input for a sample per input, or --merge-samples if the inputs are one "
        "cohort split by chromosome or region\n"))
    assert not list(tmp_path.glob("m.*"))
    # A column per input: FILE:SAMPLE where the VCF's header names several samples, whatever
    # samples carry calls; the stem alone for a single-sample VCF.
    c = somatic_vcf(tmp_path / "patientC.vcf", [(9, "A")], samples=("TUMOR",))
    assert run("matrix", a, b, c, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
               "--label-by-input")[0] == 0
    assert columns(tmp_path / "m") == {"patientA:TUMOR": [1, 0, 0, 1, 0, 0],
                                       "patientB:TUMOR": [0, 0, 1, 0, 0, 0],
                                       "patientC": [0, 0, 0, 1, 0, 0]}
    assert run("matrix", a, b, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
               "--merge-samples")[0] == 0
    assert columns(tmp_path / "m") == {"TUMOR": [1, 0, 1, 1, 0, 0]}
    # Two samples with records in one input: FILE:SAMPLE.
    t = table(tmp_path / "two.tsv", [("X", "1", 6, "C", "A"), ("Y", "1", 9, "T", "A")])
    assert run("matrix", t, b, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
               "--label-by-input")[0] == 0
    assert sorted(columns(tmp_path / "m")) == ["patientB:TUMOR", "two:X", "two:Y"]


@pytest.mark.parametrize("sites, options", [
    ([], []),  # a VCF of no record
    ([(6, "T")], ["--pass-only"]),  # whose every record is left out by the reader
])
@pytest.mark.parametrize("labelled", [False, True])
def test_an_input_without_records_names_its_samples(cohort, sites, options, labelled):
    tmp_path = cohort[0]
    (tmp_path / "x").mkdir()
    (tmp_path / "y").mkdir()
    first = somatic_vcf(tmp_path / "x" / "calls.vcf", [(6, "A"), (9, "A")])
    second = write_text(tmp_path / "y" / "calls.vcf", somatic_vcf(
        tmp_path / "y" / "calls.vcf", sites).read_text().replace("PASS", "LowQ"))
    status, _, stderr = run("matrix", first, second, "--reference", tmp_path / "ref", "-o",
                            tmp_path / "m", *options, *["--label-by-input"] * labelled)
    if labelled:  # labels that tell apart the inputs, whether or not they hold records
        assert (status, columns(tmp_path / "m")) == (0, {"x/calls:TUMOR": [1, 0, 0, 1, 0, 0]})
    else:
        assert (status, stderr) == (1, (
            f"mutflank matrix: error: sample TUMOR comes from more than one input ({first}, "
            f"{second}): give --label-by-input for a sample per input, or --merge-samples if "
            "the inputs are one cohort split by chromosome or region\n"))


def test_one_sample_name_in_several_inputs_of_a_table(cohort):
    tmp_path, a, b = cohort
    status, _, stderr = run("table", a, b, "--build", "GRCh37", "-o", tmp_path / "t.tsv")
    assert (status, stderr) == (1, (
        f"mutflank table: error: sample TUMOR comes from more than one input ({a}, {b}): give "
        "--label-by-input for a sample per input, or --merge-samples if the inputs are one "
        "cohort split by chromosome or region\n"))
    assert not (tmp_path / "t.tsv").exists()
    # labelled as matrix labels them: its matrix of the table is its matrix of the inputs
    assert run("table", a, b, "--build", "GRCh37", "-o", tmp_path / "t.tsv",
               "--label-by-input")[0] == 0
    for inputs, prefix in (([tmp_path / "t.tsv"], "t"), ([a, b, "--label-by-input"], "v")):
        assert run("matrix", *inputs, "--reference", tmp_path / "ref", "-o",
                   tmp_path / prefix)[0] == 0
    assert columns(tmp_path / "t") == columns(tmp_path / "v") == {
        "patientA:TUMOR": [1, 0, 0, 1, 0, 0], "patientB:TUMOR": [0, 0, 1, 0, 0, 0]}


@pytest.mark.parametrize("how", ["twice", "list", "link", "table"])
def test_one_file_named_twice_is_a_usage_error(cohort, how):
    tmp_path, a, b = cohort
    second = a
    if how == "link":
        second = tmp_path / "same.vcf.gz"
        os.link(a, second)
    args = [a, b] if how == "list" else [a, second]
    if how == "list":
        write_text(tmp_path / "list.txt", f"# the cohort\n\n{a}\n")
        args += ["--table-list", tmp_path / "list.txt"]
    verb = "table" if how == "table" else "matrix"
    status, _, stderr = run(verb, *args, "--reference", tmp_path / "ref", "-o",
                            tmp_path / "m")
    assert (status, stderr) == (2, f"mutflank {verb}: error: {a} and {second} are the same "
                                   "input: each input is read once, name it once\n")
    assert not list(tmp_path.glob("m*"))


MAF_HEAD = ("Hugo_Symbol\tChromosome\tStart_Position\tEnd_Position\tVariant_Type\t"
            "Reference_Allele\tTumor_Seq_Allele1\tTumor_Seq_Allele2\tTumor_Sample_Barcode\t"
            "NCBI_Build\n")


@pytest.mark.parametrize("folder, chromosome, build, args, message", [
    # A MAF of build 37 against a GRCh38-only reference, and the same asked by --build.
    ("GRCh38", "1", "37", [], "{maf}: 10 of 10 records (100.0%) have no reference file "
     "(build 37; chromosomes 1), the reference {ref} holds GRCh38 (1)"),
    ("GRCh38", "1", "37", ["--build", "GRCh37"],
     "{ref}: no GRCh37 folder in the reference folder (it holds GRCh38 (1))"),
    # A reference with RefSeq names: the input's chromosomes find no file.
    ("GRCh37", "NC_000001.10", "GRCh37", [], "{maf}: 10 of 10 records (100.0%) have no "
     "reference file (build GRCh37; chromosomes 1), the reference {ref} holds GRCh37 "
     "(NC_000001.10)"),
    # A build label as TCGA MAFs write it, beside its folder: the hint names the folder.
    ("GRCh37", "1", "GRCh37-lite", ["--types", "SBS6"], "{maf}: 10 of 10 records (100.0%) "
     "have no reference file (build GRCh37-lite; chromosomes 1), the reference {ref} holds "
     "GRCh37 (1): no build folder is named GRCh37-lite; if it is GRCh37, give --build GRCh37 "
     "(--allow-missing-chromosomes goes on without them)\n"),
])
def test_a_reference_that_does_not_fit(tmp_path, folder, chromosome, build, args, message):
    write_reference(tmp_path / "ref", folder, chromosome, SEQUENCE)
    maf = write_text(tmp_path / "c.maf", MAF_HEAD + "".join(
        f"G\t1\t{p}\t{p}\tSNP\t{SEQUENCE[p - 1]}\t{SEQUENCE[p - 1]}\t"
        f"{'A' if SEQUENCE[p - 1] != 'A' else 'C'}\tS\t{build}\n" for p in range(1, 21, 2)))
    status, _, stderr = run("matrix", maf, *args, "--reference", tmp_path / "ref", "-o",
                            tmp_path / "m")
    expected = message.format(maf=maf, ref=tmp_path / "ref")
    assert status == 1
    assert stderr.startswith(f"mutflank matrix: error: {expected}"), stderr
    if not args:
        assert stderr.endswith(": is it the reference of another build or organism? "
                               "(--allow-missing-chromosomes goes on without them)\n")
        status, _, stderr = run("matrix", maf, "--reference", tmp_path / "ref", "-o",
                                tmp_path / "m", "--allow-missing-chromosomes")
        assert status == 0, stderr
        assert sum(map(sum, columns(tmp_path / "m").values())) == 0


def test_one_record_in_twenty_without_a_file_is_let_go(tmp_path):
    write_reference(tmp_path / "ref", "GRCh37", "1", SEQUENCE)
    # Positions two apart: adjacent substitutions of a sample would make doublets.
    rows = [(sample, "1", p, SEQUENCE[p - 1], "A" if SEQUENCE[p - 1] != "A" else "C")
            for p in range(2, 21, 2) for sample in ("S", "T")] + [("S", "chrUn", 5, "A", "C")]
    status, _, stderr = run("matrix", table(tmp_path / "t.tsv", rows), "--reference",
                            tmp_path / "ref", "-o", tmp_path / "m")
    assert status == 0, stderr
    assert "left out 1 record: no reference file, on chrUn (1)" in stderr


def test_chosen_samples_and_the_columns_of_every_route(cohort):
    tmp_path, a, _ = cohort
    # The VCF's NORMAL carries nothing: no column, as the table and the MAF of the same calls.
    t = table(tmp_path / "a.tsv", [("TUMOR", "1", 6, "C", "A"), ("TUMOR", "1", 9, "T", "A")])
    maf = write_text(tmp_path / "a.maf", MAF_HEAD + "G\t1\t6\t6\tSNP\tC\tC\tA\tTUMOR\tGRCh37\n"
                     "G\t1\t9\t9\tSNP\tT\tT\tA\tTUMOR\tGRCh37\n")
    for source in (a, t, maf):
        assert run("matrix", source, "--reference", tmp_path / "ref", "-o", tmp_path / "m")[0] == 0
        assert columns(tmp_path / "m") == {"TUMOR": [1, 0, 0, 1, 0, 0]}
    both = somatic_vcf(tmp_path / "both.vcf", [(6, "A")], samples=("TUMOR", "OTHER"))
    with open(both, "a") as out:
        out.write("1\t9\t.\tT\tA\t.\tPASS\t.\tGT\t0/0\t0/1\n")
    assert run("matrix", both, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
               "--exclude", "TUMOR")[0] == 0
    assert columns(tmp_path / "m") == {"OTHER": [0, 0, 0, 1, 0, 0]}
    assert run("matrix", both, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
               "--sample", "TUMOR")[0] == 0
    assert columns(tmp_path / "m") == {"TUMOR": [1, 0, 0, 0, 0, 0]}
    assert run("matrix", both, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
               "--sample", "NORMAL,TUMOR") == (
        1, "", "mutflank matrix: error: --sample NORMAL: no input holds this sample\n")


def test_the_ref_check_names_the_line_of_a_vcf(tmp_path):
    write_reference(tmp_path / "ref", "GRCh37", "1", SEQUENCE)
    vcf = tmp_path / "shifted.vcf"
    lines = [VCF_HEAD.format(samples="S")]
    for position in range(2, 20, 2):  # each names the base before its own as REF
        lines.append(f"1\t{position}\t.\t{SEQUENCE[position - 2]}\t"
                     f"{'A' if SEQUENCE[position - 2] != 'A' else 'C'}\t.\tPASS\t.\tGT\t0/1\n")
    write_text(vcf, "".join(lines))
    differing = [p for p in range(2, 20, 2) if SEQUENCE[p - 2] != SEQUENCE[p - 1]]
    first = differing[0]
    status, _, stderr = run("matrix", vcf, "--reference", tmp_path / "ref", "-o", tmp_path / "m")
    assert (status, stderr) == (1, (
        f"mutflank matrix: error: {vcf}: REF differs from the reference base at "
        f"{len(differing)} of 9 records ({100 * len(differing) / 9:.1f}%), first at "
        f"line {first // 2 + 3} (1:{first} REF {SEQUENCE[first - 2]}, reference "
        f"{SEQUENCE[first - 1]}); is the reference of another build? (--allow-ref-mismatch "
        "goes on without them)\n"))


# ---- the genome --------------------------------------------------------------------------

def test_a_reference_file_shortened_while_read(tmp_path):
    path = write_reference(tmp_path, "GRCh37", "1", SEQUENCE) or tmp_path / "GRCh37" / "1.txt"
    genome = Genome(str(tmp_path))
    chromosome = genome.chromosome("GRCh37", "chr1")
    assert chromosome.windows(np.array([1, 20]), 1, 1).tolist() == [[-1, 0, 1], [2, 3, -1]]
    os.truncate(path, 10)
    with pytest.raises(InputError) as error:
        chromosome.windows(np.array([15]), 2, 2)
    assert str(error.value) == (f"{path}: the reference file is shorter than its 20 bases: "
                                "was it changed while being read?")
    genome.close()


def test_names_that_are_no_file_name_and_any_build_label(tmp_path):
    write_reference(tmp_path / "ref", "mm10", "1", SEQUENCE)
    (tmp_path / "ref" / "mm10" / "..txt").write_bytes(b"\0" * 20)  # never to be opened
    rows = [("S", name, 6, "C", "A") for name in (".", "..", "mm10/1", "1")] + [
        ("S", "1", 9, "T", "A")]
    t = table(tmp_path / "t.tsv", rows, build="mm10")
    status, _, stderr = run("matrix", t, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
                            "--allow-missing-chromosomes", "--types", "SBS6")
    assert status == 0, stderr
    assert columns(tmp_path / "m") == {"S": [1, 0, 0, 1, 0, 0]}
    warning, left_out = stderr.splitlines()[:2]
    assert warning.startswith(f"mutflank matrix: warning: {t}: 3 of 5 records (60.0%) have no "
                              "reference file (build mm10; chromosomes ., .., mm10/1), ")
    assert warning.endswith(" Left out, going on (--allow-missing-chromosomes)")
    assert left_out == (
        "mutflank matrix: left out 3 records: chromosome cannot name a reference file (/, NUL, . "
        "or ..), on . (1), .. (1), mm10/1 (1)")
    vcf = somatic_vcf(tmp_path / "v.vcf", [(6, "A")])
    for build in (["--build", "mm10"], []):  # the one build folder, or named
        assert run("matrix", vcf, *build, "--reference", tmp_path / "ref", "-o",
                   tmp_path / "m")[0] == 0
        assert columns(tmp_path / "m") == {"TUMOR": [1, 0, 0, 0, 0, 0]}
