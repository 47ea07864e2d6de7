"""The input stage that `table` and `matrix` share: the same input, and the same fault, give
the same samples, labels and messages from both verbs (in process: cli_support.run)."""

import pytest

pytest.importorskip("mutflank_tools")
from mutflank_tools.inputs.stage import input_labels  # noqa: E402

from cli_support import run, write_reference, write_text  # noqa: E402

SEQUENCE = "ACGTACGATCAGGTCAACGTTGCAGTACCATGGACTTAGCCATGACGTCAGTTCAGGCAT"  # chr 1, 60 bases
VCF_HEAD = ("##fileformat=VCFv4.2\n"
            '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t{samples}\n")
MAF_HEAD = ("Chromosome\tStart_Position\tReference_Allele\tTumor_Seq_Allele1\t"
            "Tumor_Seq_Allele2\tTumor_Sample_Barcode\tNCBI_Build\n")
VERBS = ["table", "matrix"]


def output(tmp_path, verb):
    """The -o of a verb: the table file, or the prefix of the SBS6 matrix."""
    return ["-o", tmp_path / ("out.tsv" if verb == "table" else "out")] + (
        ["--types", "SBS6"] if verb == "matrix" else [])


def samples_written(tmp_path, verb):
    """The samples a run wrote: the table's first column, the matrix's column labels."""
    if verb == "table":
        lines = (tmp_path / "out.tsv").read_text().splitlines()
        return sorted({line.split("\t")[0] for line in lines})
    return sorted((tmp_path / "out.SBS6.tsv").read_text().splitlines()[0].split("\t")[1:])


def alt(position):
    """An ALT base other than the reference's at `position`."""
    return "A" if SEQUENCE[position - 1] != "A" else "C"


def vcf(path, samples, sites):
    """A VCF of `sites` [(position, genotypes)] of SNVs on chromosome 1."""
    return write_text(path, VCF_HEAD.format(samples="\t".join(samples)) + "".join(
        f"1\t{position}\t.\t{SEQUENCE[position - 1]}\t{alt(position)}\t.\tPASS\t.\tGT\t"
        + "\t".join(genotypes) + "\n" for position, genotypes in sites))


def maf(path, rows, chromosome="1"):
    """A MAF of `rows` [(sample, position)] of SNVs of GRCh37."""
    return write_text(path, MAF_HEAD + "".join(
        f"{chromosome}\t{position}\t{SEQUENCE[position - 1]}\t{SEQUENCE[position - 1]}\t"
        f"{alt(position)}\t{sample}\tGRCh37\n" for sample, position in rows))


@pytest.fixture
def ref(tmp_path):
    write_reference(tmp_path / "ref", "GRCh37", "1", SEQUENCE)
    return tmp_path / "ref"


@pytest.fixture
def trio(tmp_path):
    """A VCF of samples S1, S2, S3, each carrying one SNV (S3 two, two bases apart)."""
    return vcf(tmp_path / "trio.vcf", ["S1", "S2", "S3"], [
        (2, ["0/1", "0/0", "0/0"]), (6, ["0/0", "0/1", "0/0"]),
        (10, ["0/0", "0/0", "0/1"]), (12, ["0/0", "0/0", "1/1"])])


# ---- the same fault, the same message --------------------------------------------------------

@pytest.mark.parametrize("verb", VERBS)
@pytest.mark.parametrize("options, status, message", [
    (["--sample", "NOPE"], 1, "--sample NOPE: no input holds this sample"),
    (["--exclude", "NOPE"], 1, "--exclude NOPE: no input holds this sample"),
    (["--sample", "S1", "--exclude", "NOPE,NADA"], 1,
     "--exclude NADA, NOPE: no input holds these samples"),
    (["--build", "GRCh38"], 1,
     "{ref}: no GRCh38 folder in the reference folder (it holds GRCh37 (1))"),
])
def test_one_fault_one_message(tmp_path, ref, trio, verb, options, status, message):
    result = run(verb, trio, "--reference", ref, *options, *output(tmp_path, verb))
    assert result == (status, "", f"mutflank {verb}: error: {message.format(ref=ref)}\n")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["ref", "trio.vcf"]


@pytest.mark.parametrize("verb", VERBS)
def test_a_sample_chosen_and_excluded_is_left_out(tmp_path, ref, trio, verb):
    # --exclude wins over --sample, and a name both choose is held by an input
    status, _, err = run(verb, trio, "--reference", ref, "--sample", "S1,S2",
                      "--exclude", "S2", *output(tmp_path, verb))
    assert status == 0, err
    assert samples_written(tmp_path, verb) == ["S1"]
    # repeated and comma-separated names add up, in both verbs
    assert run(verb, trio, "--reference", ref, "--sample", "S1", "--sample", "S2,S3",
               "--exclude", "S3", *output(tmp_path, verb))[0] == 0
    assert samples_written(tmp_path, verb) == ["S1", "S2"]


@pytest.mark.parametrize("verb", VERBS)
def test_sample_choice_applies_to_maf_samples(tmp_path, ref, verb):
    calls = maf(tmp_path / "calls.maf", [("M1", 2), ("M2", 6), ("M3", 10)])
    status, _, err = run(verb, calls, "--reference", ref, "--sample", "M1,M3",
                      "--exclude", "M3", *output(tmp_path, verb))
    assert status == 0, err
    assert samples_written(tmp_path, verb) == ["M1"]


@pytest.mark.parametrize("verb", VERBS)
def test_a_vcf_without_genotypes_is_named_by_the_column_chosen(tmp_path, ref, verb):
    somatic = write_text(tmp_path / "patient9.vcf", "##fileformat=VCFv4.2\n"
                         "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tNORMAL\tTUMOR\n"
                         f"1\t2\t.\t{SEQUENCE[1]}\t{alt(2)}\t.\tPASS\t.\tDP\t30\t40\n")
    assert run(verb, somatic, "--reference", ref, *output(tmp_path, verb))[0] == 0
    assert samples_written(tmp_path, verb) == ["patient9"]
    assert run(verb, somatic, "--reference", ref, "--sample", "TUMOR",
               *output(tmp_path, verb))[0] == 0
    assert samples_written(tmp_path, verb) == ["TUMOR"]


@pytest.mark.parametrize("verb", VERBS)
def test_one_sample_name_from_two_inputs(tmp_path, ref, trio, verb):
    # S1 carries no call in the second VCF: its header names it all the same
    other = vcf(tmp_path / "other.vcf", ["S1"], [(16, ["0/0"])])
    assert run(verb, trio, other, "--reference", ref, *output(tmp_path, verb)) == (
        1, "", f"mutflank {verb}: error: sample S1 comes from more than one input ({trio}, "
        f"{other}): give --label-by-input for a sample per input, or --merge-samples if the inputs are "
        "one cohort split by chromosome or region\n")
    # a sample left out by --exclude is in no input
    assert run(verb, trio, other, "--reference", ref, "--exclude", "S1",
               *output(tmp_path, verb))[0] == 0
    assert samples_written(tmp_path, verb) == ["S2", "S3"]
    assert run(verb, trio, other, "--reference", ref, "--merge-samples",
               *output(tmp_path, verb))[0] == 0
    assert samples_written(tmp_path, verb) == ["S1", "S2", "S3"]


@pytest.mark.parametrize("verb", VERBS)
@pytest.mark.parametrize("how", ["twice", "list", "output is the list", "no input"])
def test_inputs_and_the_table_list(tmp_path, ref, trio, verb, how):
    listed = tmp_path / "list.txt"
    args = [trio]
    if how == "twice":
        args = [trio, trio]
    elif how == "list":
        write_text(listed, f"# the cohort\n\n{trio}\n")
        args += ["--table-list", listed]
    elif how == "output is the list":
        listed = tmp_path / ("out.tsv" if verb == "table" else "out.SBS6.tsv")
        write_text(listed, f"{trio}\n")
        args = ["--table-list", listed]
    else:
        write_text(listed, "# nothing yet\n")
        args = ["--table-list", listed]
    status, _, err = run(verb, *args, "--reference", ref, *output(tmp_path, verb))
    message = {
        "twice": f"{trio} and {trio} are the same input: each input is read once, name it once",
        "list": f"{trio} and {trio} are the same input: each input is read once, name it once",
        "output is the list": f"{listed}: the output is also an input; choose another output",
        "no input": "no input: name the files to read, or --table-list FILE",
    }[how]
    assert (status, err) == (2, f"mutflank {verb}: error: {message}\n")
    if how == "output is the list":
        assert listed.read_text() == f"{trio}\n"


@pytest.mark.parametrize("verb", VERBS)
@pytest.mark.parametrize("builds, options, status, message", [
    (["GRCh37", "GRCh38"], [], 2,
     "--build is required for {vcf}: a VCF names no build, and {ref} has 2 build folders"),
    ([], [], 1, "{ref}: no build folder in the reference folder"),
])
def test_the_build_is_resolved_once(tmp_path, trio, verb, builds, options, status,
                                    message):
    (tmp_path / "ref").mkdir()
    for build in builds:
        write_reference(tmp_path / "ref", build, "1", SEQUENCE)
    result = run(verb, trio, "--reference", tmp_path / "ref", *options,
                 *output(tmp_path, verb))
    assert result == (status, "", f"mutflank {verb}: error: "
                      f"{message.format(vcf=trio, ref=tmp_path / 'ref')}\n")


@pytest.mark.parametrize("verb", VERBS)
def test_a_maf_without_a_build_column_takes_the_one_build_folder(tmp_path, ref, verb):
    calls = write_text(tmp_path / "calls.maf", MAF_HEAD.replace("\tNCBI_Build", "")
                       + f"1\t2\t{SEQUENCE[1]}\t{SEQUENCE[1]}\t{alt(2)}\tM1\n")
    status, _, err = run(verb, calls, "--reference", ref, *output(tmp_path, verb))
    assert status == 0, err
    assert samples_written(tmp_path, verb) == ["M1"]


# ---- chromosomes, the 5% rule and what is left out --------------------------------------------

@pytest.mark.parametrize("verb", VERBS)
def test_chromosomes_and_the_left_out_lines_agree(tmp_path, ref, verb):
    # 1 record of 21 without a reference file (under 5%) in one input, 1 of 2 in the other
    a = maf(tmp_path / "a.maf", [("A", position) for position in range(2, 42, 2)])
    with open(a, "a") as more:
        more.write("chrUn\t5\tA\tA\tC\tA\tGRCh37\n")
    b = maf(tmp_path / "b.maf", [("B", 3)])
    with open(b, "a") as more:
        more.write("../up\t5\tA\tA\tC\tB\tGRCh37\n")
    status, _, err = run(verb, a, "--reference", ref, *output(tmp_path, verb))
    assert status == 0, err
    assert [line for line in err.splitlines() if ": left out " in line] == [
        f"mutflank {verb}: left out 1 record: no reference file, on chrUn (1)"]
    status, _, err = run(verb, a, b, "--reference", ref, *output(tmp_path, verb))
    assert (status, err) == (1, (
        f"mutflank {verb}: error: {b}: 1 of 2 records (50.0%) have no reference file (build "
        f"GRCh37; chromosomes ../up), the reference {ref} holds GRCh37 (1): is it the reference "
        "of another build or organism? (--allow-missing-chromosomes goes on without them)\n"))
    status, _, err = run(verb, a, b, "--reference", ref, "--allow-missing-chromosomes",
                      *output(tmp_path, verb))
    assert status == 0, err
    lines = [line for line in err.splitlines() if ": left out " in line]
    assert lines == [
        f"mutflank {verb}: left out 1 record: chromosome cannot name a reference file (/, NUL, "
        f". or ..), on ../up (1), in {b} (1)",
        f"mutflank {verb}: left out 1 record: no reference file, on chrUn (1), in {a} (1)"]


# ---- the labels of --label-by-input --------------------------------------------------------

@pytest.mark.parametrize("names, labels", [
    (["a/calls.vcf", "b/calls.vcf"], ["a/calls", "b/calls"]),
    (["../in/calls.maf", "../out/calls.maf"], ["in/calls", "out/calls"]),
    (["x/calls.vcf", "calls.vcf", "y/x/calls.vcf.gz"], ["x/calls", "calls", "y/x/calls"]),
    (["/data/a/s.vcf.gz", "/data/b/s.vcf.gz", "t.maf"], ["a/s", "b/s", "t"]),
    (["./p1.vcf", "sub//p2.maf"], ["p1", "p2"]),
    # the whole path does not tell them apart: the names as given
    (["calls.vcf", "calls.maf", "x.vcf"], ["calls.vcf", "calls.maf", "x"]),
])
def test_labels_are_the_shortest_path_endings_that_tell_inputs_apart(names, labels):
    assert input_labels(names) == labels


@pytest.mark.parametrize("verb", VERBS)
def test_labels_by_input_agree(tmp_path, ref, verb):
    for folder in ("x/in", "y/in", "z/other"):
        (tmp_path / folder).mkdir(parents=True)
        maf(tmp_path / folder / "calls.maf", [("M1", 2)])
    vcf(tmp_path / "solo.vcf", ["M1"], [(6, ["0/1"])])
    vcf(tmp_path / "pair.vcf", ["M1", "M2"], [(10, ["0/1", "0/0"])])
    status, _, err = run(verb, "x/in/calls.maf", "y/in/calls.maf", "z/other/calls.maf",
                      "solo.vcf", "pair.vcf", "--reference", ref, "--label-by-input",
                      *output(tmp_path, verb), cwd=tmp_path)
    assert status == 0, err
    assert samples_written(tmp_path, verb) == [
        "other/calls:M1", "pair:M1", "solo", "x/in/calls:M1", "y/in/calls:M1"]
