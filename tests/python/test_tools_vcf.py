"""tools/vcf_to_table.py: VCF files to the ten-column mutation table."""

import collections
import gzip
from pathlib import Path

import pysam
import pytest

import conftest

# The VCF files of Debian's python-pyvcf-examples
EXAMPLES = Path("/usr/share/doc/python3-vcf/test")



def load_tool():
    return conftest.load_tool("vcf_to_table")


def run_tool(*args):
    return conftest.run_tool("vcf_to_table", *args)


def convert(*args):
    result = run_tool(*args)
    assert result.returncode == 0, result.stderr
    return [line.split("\t") for line in result.stdout.splitlines()]


# ---- allele rules ----------------------------------------------------------------------

@pytest.mark.parametrize("pos, ref, alt, expected", [
    (100, "C", "T", ("SNP", 100, "C", "T")),
    (100, "g", "a", ("SNP", 100, "G", "A")),
    (100, "AC", "GT", ("DBS", 100, "AC", "GT")),
    (100, "ACG", "TGC", ("MNV", 100, "ACG", "TGC")),
    (100, "ATG", "ACG", ("SNP", 101, "T", "C")),  # trimmed to the one changed base
    (100, "ATGC", "ATCA", ("DBS", 102, "GC", "CA")),
    (100, "CATGC", "CGTAC", ("MNV", 101, "ATG", "GTA")),  # inner equal bases stay
    (100, "AT", "A", ("INDEL", 100, "AT", "A")),
    (100, "A", "ATT", ("INDEL", 100, "A", "ATT")),
    (100, "N", "A", ("OTHER", 100, "N", "A")),
    (100, "C", "R", ("OTHER", 100, "C", "R")),
    (100, "*", "C", ("OTHER", 100, "*", "C")),
    (100, "T", "<DEL>", ("SV", 100, "T", "<DEL>")),
    (100, "G", "G]17:198982]", ("SV", 100, "G", "G]17:198982]")),
    (100, "T", "*", None),
    (100, "T", ".", None),
    (100, "AC", "AC", None),
])
def test_classify(pos, ref, alt, expected):
    assert load_tool().classify(pos, ref, alt) == expected


@pytest.mark.parametrize("path, sample", [
    ("/data/tumour_7.vcf.gz", "tumour_7"),
    ("tumour_7.vcf", "tumour_7"),
    ("tumour_7.bcf", "tumour_7"),
    ("tumour_7.vcf.bgz", "tumour_7"),
    ("a.b.vcf", "a.b"),
    ("calls", "calls"),
    (".vcf", ".vcf"),
])
def test_sample_from_path(path, sample):
    assert load_tool().sample_from_path(path) == sample


# ---- hand-made files -------------------------------------------------------------------

HEADER = (
    "##fileformat=VCFv4.2\n"
    "##contig=<ID=1,length=1000>\n"
    '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
)
THREE_SAMPLES = HEADER + "\t".join(
    ["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT", "s1", "s2", "s3"]) + "\n" + (
    "1\t10\tv1\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\t1/1\n"
    "1\t20\tv2\tA\tG,T,*\t.\tPASS\t.\tGT\t1/2\t2|3\t./.\n"
    "1\t30\t.\tAC\tGT\t.\tPASS\t.\tGT\t0/1\t0/1\t0/1\n"
    "1\t40\t.\tG\tGA\t.\tPASS\t.\tGT\t.\t1\t0\n"
    "1\t50\t.\tT\t.\t.\tPASS\t.\tGT\t0/0\t0/0\t0/0\n"
)


def write_vcf(path, text):
    if path.suffix == ".gz":
        if path.stem.endswith(".bgzip.vcf"):
            plain = path.with_suffix("")
            plain.write_text(text)
            pysam.tabix_compress(str(plain), str(path))
        else:
            path.write_bytes(gzip.compress(text.encode()))
    else:
        path.write_text(text)
    return path


@pytest.mark.parametrize("name", ["calls.vcf", "calls.bgzip.vcf.gz", "calls.gzip.vcf.gz"])
def test_genotypes_decide_the_samples(tmp_path, name):
    vcf = write_vcf(tmp_path / name, THREE_SAMPLES)
    assert convert(vcf, "--build", "GRCh37", "--project", "P") == [
        ["s1", "P", "v1", "GRCh37", "SNP", "1", "10", "10", "C", "T"],
        ["s3", "P", "v1", "GRCh37", "SNP", "1", "10", "10", "C", "T"],
        ["s1", "P", "v2", "GRCh37", "SNP", "1", "20", "20", "A", "G"],
        ["s1", "P", "v2", "GRCh37", "SNP", "1", "20", "20", "A", "T"],
        ["s2", "P", "v2", "GRCh37", "SNP", "1", "20", "20", "A", "T"],
        ["s1", "P", ".", "GRCh37", "DBS", "1", "30", "31", "AC", "GT"],
        ["s2", "P", ".", "GRCh37", "DBS", "1", "30", "31", "AC", "GT"],
        ["s3", "P", ".", "GRCh37", "DBS", "1", "30", "31", "AC", "GT"],
        ["s2", "P", ".", "GRCh37", "INDEL", "1", "40", "40", "G", "GA"],
    ]


def test_one_named_sample_takes_every_record(tmp_path):
    vcf = write_vcf(tmp_path / "calls.vcf", THREE_SAMPLES)
    rows = convert(vcf, "--build", "GRCh38", "--project", "P", "--sample", "s2")
    assert [(r[0], r[6], r[9]) for r in rows] == [
        ("s2", "10", "T"), ("s2", "20", "G"), ("s2", "20", "T"), ("s2", "30", "GT"), ("s2", "40", "GA")]


def test_sample_from_file_name(tmp_path):
    vcf = write_vcf(tmp_path / "patient9.vcf", THREE_SAMPLES)
    rows = convert(vcf, "--build", "GRCh38", "--project", "P", "--sample-from-file")
    assert [(r[0], r[6], r[9]) for r in rows] == [
        ("patient9", "10", "T"), ("patient9", "20", "G"), ("patient9", "20", "T"),
        ("patient9", "30", "GT"), ("patient9", "40", "GA")]


def test_unknown_sample_column_is_refused(tmp_path):
    vcf = write_vcf(tmp_path / "calls.vcf", THREE_SAMPLES)
    result = run_tool(vcf, "--build", "GRCh38", "--project", "P", "--sample", "TUMOR", "-o", tmp_path / "t.tsv")
    assert result.returncode == 1
    assert result.stderr == (f"vcf_to_table.py: error: {vcf}: no sample column 'TUMOR' "
                             "(columns: s1, s2, s3)\n")
    assert not (tmp_path / "t.tsv").exists()


def test_writes_the_output_file_and_a_summary(tmp_path):
    vcf = write_vcf(tmp_path / "calls.vcf", THREE_SAMPLES)
    result = run_tool(vcf, vcf, "--build", "GRCh38", "--project", "P", "-o", tmp_path / "t.tsv")
    assert result.returncode == 0
    assert result.stdout == ""
    assert result.stderr == "vcf_to_table.py: 18 rows (DBS 6, INDEL 2, SNP 10)\n"
    assert len((tmp_path / "t.tsv").read_text().splitlines()) == 18


@pytest.mark.parametrize("project", ["a\tb", "a\nb"])
def test_project_may_not_break_the_table(tmp_path, project):
    vcf = write_vcf(tmp_path / "calls.vcf", THREE_SAMPLES)
    result = run_tool(vcf, "--build", "GRCh38", "--project", project)
    assert result.returncode == 2
    assert "--project may not hold a tab or a line break" in result.stderr


# ---- the real VCF files of python-pyvcf-examples ------------------------------------------

EXAMPLE_40_ROWS = [
    ["NA00002", "P", "rs6054257", "GRCh37", "SNP", "20", "14370", "14370", "G", "A"],
    ["NA00003", "P", "rs6054257", "GRCh37", "SNP", "20", "14370", "14370", "G", "A"],
    ["NA00002", "P", ".", "GRCh37", "SNP", "20", "17330", "17330", "T", "A"],
    ["NA00001", "P", "rs6040355", "GRCh37", "SNP", "20", "1110696", "1110696", "A", "G"],
    ["NA00002", "P", "rs6040355", "GRCh37", "SNP", "20", "1110696", "1110696", "A", "G"],
    ["NA00001", "P", "rs6040355", "GRCh37", "SNP", "20", "1110696", "1110696", "A", "T"],
    ["NA00002", "P", "rs6040355", "GRCh37", "SNP", "20", "1110696", "1110696", "A", "T"],
    ["NA00003", "P", "rs6040355", "GRCh37", "SNP", "20", "1110696", "1110696", "A", "T"],
    ["NA00001", "P", ".", "GRCh37", "INDEL", "20", "1231234", "1231235", "AT", "A"],
    ["NA00003", "P", "microsat1", "GRCh37", "INDEL", "20", "1234567", "1234570", "GTCT", "G"],
    ["NA00002", "P", "microsat1", "GRCh37", "INDEL", "20", "1234567", "1234570", "GTCT", "GTACT"],
]


def test_example_vcf_rows_exactly():
    assert convert(EXAMPLES / "example-4.0.vcf", "--build", "GRCh37", "--project", "P") == EXAMPLE_40_ROWS


def test_bgzip_example_is_the_same_calls():
    # tb.vcf.gz (BGZF) holds example-4.0.vcf without its record at 1231234
    rows = convert(EXAMPLES / "tb.vcf.gz", "--build", "GRCh37", "--project", "P")
    assert rows == [row for row in EXAMPLE_40_ROWS if row[6] != "1231234"]


@pytest.mark.parametrize("name, options, rows, samples, types", [
    # no sample column, plain gzip: named after the file
    ("1kg.sites.vcf.gz", [], 171, {"1kg.sites": 171}, {"SNP": 157, "INDEL": 14}),
    # one sample column '-': every record, multi-allelic records split
    ("samtools.vcf", [], 15, {"-": 15}, {"SNP": 6, "INDEL": 9}),
    # three sample columns with genotypes
    ("example-4.1.vcf", [], 11, {"NA00001": 3, "NA00002": 5, "NA00003": 3}, {"SNP": 8, "INDEL": 3}),
    # no call (./.), half calls (./1) and a lone "." carry nothing but what they name
    ("uncalled_genotypes.vcf", [], 5, {"AB00001": 2, "AB00002": 2, "AB00003": 1}, {"SNP": 2, "INDEL": 3}),
    # haploid genotypes 0: nobody carries an allele
    ("issue-214.vcf", [], 0, {}, {}),
    # '*' is no variant; the record with REF '*' is kept but is no SNP
    ("issue-214.vcf", ["--sample-from-file"], 3, {"issue-214": 3}, {"SNP": 1, "OTHER": 2}),
    ("example-4.1-sv.vcf", [], 6, {"NA00001": 6}, {"SV": 5, "INDEL": 1}),
    # seven samples, mostly indels, multi-allelic records, one two-base substitution
    ("freebayes.vcf.gz", ["--sample-from-file"], 109, {"freebayes": 109},
     {"SNP": 35, "DBS": 1, "INDEL": 73}),
    ("gonl.chr20.release4.gtc.vcf.gz", [], 7, {"gonl.chr20.release4.gtc": 7}, {"SNP": 7}),
])
def test_real_vcf_files(name, options, rows, samples, types):
    table = convert(EXAMPLES / name, "--build", "GRCh38", "--project", "pyvcf", *options)
    assert len(table) == rows
    assert dict(collections.Counter(row[0] for row in table)) == samples
    assert dict(collections.Counter(row[4] for row in table)) == types
    assert all(len(row) == 10 and row[1] == "pyvcf" and row[3] == "GRCh38" for row in table)
    for row in table:
        if row[4] == "SNP":
            assert row[8] in "ACGT" and row[9] in "ACGT" and row[8] != row[9] and row[6] == row[7]


def test_multi_allelic_record_gives_one_line_per_alternate():
    table = convert(EXAMPLES / "samtools.vcf", "--build", "GRCh37", "--project", "P")
    assert [row[6:] for row in table if row[5] == "chr1" and row[6] in ("11292952", "152195728")] == [
        ["11292952", "11292952", "T", "A"],
        ["11292952", "11292952", "T", "C"],
        ["152195728", "152195739", "ATTTTTTTTTTT", "ATTTTTTTTTT"],
        ["152195728", "152195739", "ATTTTTTTTTTT", "ATTTTTTTTT"],
    ]


@pytest.mark.parametrize("name, message", [
    # a record with fewer sample fields than the header has columns
    ("strelka.vcf.gz", "cannot read the record after the header (unable to parse next record)"),
    # spaces instead of tabs in the #CHROM line
    ("example-4.1-bnd.vcf", "not a readable VCF/BCF file"),
])
def test_unreadable_real_vcf_is_refused(tmp_path, name, message):
    result = run_tool(EXAMPLES / name, "--build", "GRCh37", "--project", "P", "-o", tmp_path / "t.tsv")
    assert result.returncode == 1
    assert result.stderr.endswith(f"vcf_to_table.py: error: {EXAMPLES / name}: {message}\n")
    assert not (tmp_path / "t.tsv").exists()


def test_missing_file(tmp_path):
    result = run_tool(tmp_path / "none.vcf", "--build", "GRCh37", "--project", "P")
    assert result.returncode == 1
    assert result.stderr == f"vcf_to_table.py: error: {tmp_path / 'none.vcf'}: No such file or directory\n"
