"""`mutflank matrix`: the three matrices from tables, VCF and MAF files, checked against an
independent counter that reads the FASTA through pysam; what is left out, the REF check,
malformed inputs, and Dask runs that give the same files. The cohort cases (one sample name in
several inputs, an input named twice, a reference that does not fit, chosen samples) and the
genome's reads are in test_matrix_cohorts.py."""

import collections
import gzip
import os
import random
import re
from pathlib import Path

import pytest

from cli_support import run_command
from cli_support import run_process as run

# The installed command's package; `make sanitize` runs the suite without it.
pytest.importorskip("mutflank_tools")
from mutflank_tools.counting import channels  # noqa: E402
from mutflank_tools.counting.distributed import batches  # noqa: E402
from mutflank_tools.counting.tally import Settings, Tally  # noqa: E402
from mutflank_tools.counting.work import Item, count_inputs  # noqa: E402

# Debian's distributed calls a tornado function that tornado itself marks deprecated.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

LAMBDA = "/usr/share/doc/bowtie2/examples/reference/lambda_virus.fa.gz"
SAMPLES = ("mutator", "normal_like", "quiet")
COMPLEMENT = str.maketrans("ACGT", "TGCA")


def read_matrix(path):
    """{sample: {channel: value}} of the non-zero cells, and the header and channel column."""
    lines = Path(path).read_text().splitlines()
    header = lines[0].split("\t")
    cells = {sample: {} for sample in header[1:]}
    for line in lines[1:]:
        channel, *values = line.split("\t")
        for sample, value in zip(header[1:], values):
            if float(value):
                cells[sample][channel] = float(value) if "." in value else int(value)
    return header, [line.split("\t", 1)[0] for line in lines[1:]], cells


def table_line(sample, chrom, pos, ref, alt, kind="SNV", build="GRCh38", project="P"):
    return f"{sample}\t{project}\t.\t{build}\t{kind}\t{chrom}\t{pos}\t{pos}\t{ref}\t{alt}\n"


# ---- the independent counter -----------------------------------------------------------

def oracle(calls, fasta):
    """{type: {sample: Counter(channel)}} of (sample, chromosome, position, REF, ALT) calls,
    reading each flank with pysam; only calls whose REF is the FASTA's base. "chr1" is the
    FASTA's "1"."""
    counts = {name: collections.defaultdict(collections.Counter) for name in channels.TYPES}
    for sample, chrom, pos, ref, alt in calls:
        chrom = chrom.removeprefix("chr") if chrom not in fasta.references else chrom
        if chrom not in fasta.references:
            continue
        length = fasta.get_reference_length(chrom)
        if not 1 <= pos <= length or fasta.fetch(chrom, pos - 1, pos).upper() != ref:
            continue
        for flank, names in ((1, ("SBS6", "SBS96")), (2, ("SBS1536",))):
            if pos - 1 - flank < 0 or pos + flank > length:
                continue
            left = fasta.fetch(chrom, pos - 1 - flank, pos - 1).upper()
            right = fasta.fetch(chrom, pos, pos + flank).upper()
            base, other = ref, alt
            if ref in "GA":
                base, other = ref.translate(COMPLEMENT), alt.translate(COMPLEMENT)
                left, right = right.translate(COMPLEMENT)[::-1], left.translate(COMPLEMENT)[::-1]
            if set(left + right) - set("ACGT"):
                continue
            for name in names:
                channel = (f"{base}>{other}" if name == "SBS6"
                           else f"{left}[{base}>{other}]{right}")
                counts[name][sample][channel] += 1
    return counts


@pytest.fixture(scope="module")
def phage(tmp_path_factory):
    """The lambda phage genome as chromosome "1" of a GRCh38 reference folder (built by
    `mutflank reference`), pysam's view of the same FASTA, and seeded random calls of three
    samples written as "chr1" (renamed to the reference's "1"), with calls at both ends of the
    chromosome and on a decoy contig that has no reference file."""
    pysam = pytest.importorskip("pysam")
    folder = tmp_path_factory.mktemp("phage")
    with gzip.open(LAMBDA, "rt") as handle:
        sequence = "".join(line.strip() for line in handle if not line.startswith(">"))
    fasta_path = folder / "lambda.fa"
    fasta_path.write_text(">1 lambda phage\n" + "\n".join(
        sequence[i:i + 70] for i in range(0, len(sequence), 70)) + "\n")
    done = run("reference", fasta_path, folder / "ref", "--build", "GRCh38")
    assert done.returncode == 0, done.stderr
    fasta = pysam.FastaFile(str(fasta_path))
    length = len(sequence)
    rng = random.Random(10)
    sites = sorted(set(rng.sample(range(3, length - 2), 700)) | {1, 2, length - 1, length})
    records = []  # (chromosome, position, REF, ALT, carriers)
    for pos in sites:
        ref = sequence[pos - 1]
        if rng.random() < 0.5 and ref in "CG":
            alt = {"C": "T", "G": "A"}[ref]
        else:
            alt = rng.choice([base for base in "ACGT" if base != ref])
        carriers = [sample for sample in SAMPLES if rng.random() < 0.5] or [SAMPLES[0]]
        records.append(("chr1", pos, ref, alt, carriers))
    records.insert(100, ("chrUn_decoy", 50, "A", "C", ["quiet"]))
    records.append(("chrUn_decoy", 70, "G", "T", ["mutator", "quiet"]))
    calls = [(sample, chrom, pos, ref, alt)
             for chrom, pos, ref, alt, carriers in records for sample in carriers]
    return {"folder": folder, "ref": folder / "ref", "fasta": fasta, "length": length,
            "records": records, "calls": calls, "sequence": sequence}


def write_vcf(path, records):
    lines = ["##fileformat=VCFv4.2", "##contig=<ID=chr1>", "##contig=<ID=chrUn_decoy>",
             '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
             "\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT",
                        *SAMPLES])]
    for chrom, pos, ref, alt, carriers in records:
        genotypes = ["0/1" if sample in carriers else "0/0" for sample in SAMPLES]
        lines.append("\t".join([chrom, str(pos), ".", ref, alt, ".", "PASS", ".", "GT",
                                *genotypes]))
    path.write_text("\n".join(lines) + "\n")


def write_maf(path, records):
    columns = ["Hugo_Symbol", "Chromosome", "Start_Position", "End_Position", "Variant_Type",
               "Reference_Allele", "Tumor_Seq_Allele1", "Tumor_Seq_Allele2",
               "Tumor_Sample_Barcode", "NCBI_Build"]
    lines = ["#version 2.4", "\t".join(columns)]
    for chrom, pos, ref, alt, carriers in records:
        for sample in carriers:
            lines.append("\t".join(["gene", chrom, str(pos), str(pos), "SNP", ref, ref, alt,
                                    sample, "GRCh38"]))
    path.write_text("\n".join(lines) + "\n")


def write_table(path, calls):
    path.write_text("".join(table_line(s, c, p, r, a) for s, c, p, r, a in calls))
    return path


# ---- end to end on the phage ------------------------------------------------------------

@pytest.mark.parametrize("kind", ["table", "vcf", "maf"])
def test_matrices_equal_the_independent_counter(phage, kind, tmp_path):
    source = tmp_path / f"calls.{kind}"
    {"table": lambda: write_table(source, phage["calls"]),
     "vcf": lambda: write_vcf(source, phage["records"]),
     "maf": lambda: write_maf(source, phage["records"])}[kind]()
    done = run("matrix", source, "--reference", phage["ref"],
               "--no-merge-doublets", "-o", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    expected = oracle(phage["calls"], phage["fasta"])
    for name in channels.TYPES:
        header, rows, cells = read_matrix(tmp_path / f"out.{name}.tsv")
        assert header == ["MutationType", *sorted(SAMPLES)]
        assert rows == list(channels.CHANNELS[name])
        assert cells == {sample: dict(expected[name][sample]) for sample in SAMPLES}
    length = phage["length"]
    carriers = {(chrom, pos): len(samples) for chrom, pos, _, _, samples in phage["records"]}
    decoys = carriers["chrUn_decoy", 50] + carriers["chrUn_decoy", 70]
    start, end = carriers["chr1", 1], carriers["chr1", length]
    start_1536, end_1536 = carriers["chr1", 2], carriers["chr1", length - 1]
    counted = sum(1 for call in phage["calls"] if call[1] == "chr1" and 1 < call[2] < length)

    def records(count):
        return f"{count} record{'s' * (count != 1)}"

    assert sorted(done.stderr.splitlines()[:-1]) == sorted([
        f"mutflank matrix: left out {records(decoys)}: no reference file, on chrUn_decoy "
        f"({decoys})",
        f"mutflank matrix: left out {records(end)}: too close to a chromosome end for SBS6, "
        f"SBS96, SBS1536, on chr1 ({end})",
        f"mutflank matrix: left out {records(start_1536)}: at a chromosome start for SBS1536, "
        f"on chr1 ({start_1536})",
        f"mutflank matrix: left out {records(start)}: at a chromosome start for SBS6, SBS96, "
        f"SBS1536, on chr1 ({start})",
        f"mutflank matrix: left out {records(end_1536)}: too close to a chromosome end for "
        f"SBS1536, on chr1 ({end_1536})",
    ])
    assert done.stderr.splitlines()[-1] == (
        f"mutflank matrix: {counted:,} substitutions of 3 samples from 1 input -> "
        f"{tmp_path}/out.SBS6.tsv, {tmp_path}/out.SBS96.tsv, {tmp_path}/out.SBS1536.tsv")


def test_sbs1536_folds_onto_sbs96_where_both_windows_fit(phage, tmp_path):
    inner = [call for call in phage["calls"]
             if call[1] == "chr1" and 3 <= call[2] <= phage["length"] - 2]
    done = run("matrix", write_table(tmp_path / "t.tsv", inner), "--reference", phage["ref"],
               "--no-merge-doublets",
               "-o", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    sbs96 = read_matrix(tmp_path / "out.SBS96.tsv")[2]
    folded = collections.defaultdict(collections.Counter)
    for sample, cells in read_matrix(tmp_path / "out.SBS1536.tsv")[2].items():
        for channel, count in cells.items():
            folded[sample][channel[1:-1]] += count
    assert {sample: dict(cells) for sample, cells in folded.items()} == sbs96
    assert sum(map(sum, (c.values() for c in sbs96.values()))) == len(inner)


def test_types_proportions_and_inputs_from_a_list(phage, tmp_path):
    first, second = phage["calls"][:400], phage["calls"][400:]
    write_table(tmp_path / "a.tsv", first)
    with open(tmp_path / "a.tsv", "a") as table:  # a sample with no substitution
        table.write(table_line("silent", "chr1", 100, "A", "AT", kind="INDEL"))
    write_table(tmp_path / "b.tsv", second)
    (tmp_path / "list.txt").write_text(f"# the second half\n{tmp_path / 'b.tsv'}\n\n")
    done = run("matrix", tmp_path / "a.tsv", "--table-list", tmp_path / "list.txt",
               "--reference", phage["ref"],
               "--no-merge-doublets", "-o", tmp_path / "p", "--types", "sbs96,Sbs6",
               "--proportions", "--merge-samples")
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(tmp_path)) == ["a.tsv", "b.tsv", "list.txt", "p.SBS6.tsv",
                                            "p.SBS96.tsv"]
    expected = oracle(phage["calls"], phage["fasta"])["SBS96"]
    for sample, cells in read_matrix(tmp_path / "p.SBS96.tsv")[2].items():
        total = sum(expected[sample].values()) or 1
        assert cells == pytest.approx({k: v / total for k, v in expected[sample].items()})
    header, _, cells = read_matrix(tmp_path / "p.SBS6.tsv")
    assert header == ["MutationType", "mutator", "normal_like", "quiet", "silent"]
    assert cells["silent"] == {}
    assert [line.split("\t")[4] for line in
            (tmp_path / "p.SBS6.tsv").read_text().splitlines()[1:]] == ["0.0"] * 6
    assert {sample: sum(cells[sample].values()) for sample in SAMPLES} == pytest.approx(
        dict.fromkeys(SAMPLES, 1.0))


def test_wrong_reference_stops_unless_allowed(phage, tmp_path):
    shifted = [(s, c, p + 1, r, a) for s, c, p, r, a in phage["calls"]
               if c == "chr1" and p < phage["length"]]
    table = write_table(tmp_path / "shifted.tsv", shifted)
    sequence = phage["sequence"]
    differing = [i for i, (s, c, p, r, a) in enumerate(shifted) if sequence[p - 1] != r]
    first = shifted[differing[0]]
    share = 100 * len(differing) / len(shifted)
    message = (f"{table}: REF differs from the reference base at {len(differing):,} of "
               f"{len(shifted):,} records ({share:.1f}%), first at line "
               f"{differing[0] + 1} (chr1:{first[2]} REF {first[3]}, reference "
               f"{sequence[first[2] - 1]})")
    done = run("matrix", table, "--reference", phage["ref"],
               "--no-merge-doublets", "-o", tmp_path / "out")
    assert (done.returncode, done.stderr) == (1, (
        f"mutflank matrix: error: {message}; is the reference of another build? "
        "(--allow-ref-mismatch goes on without them)\n"))
    assert list(tmp_path.glob("out*")) == []
    done = run("matrix", table, "--reference", phage["ref"],
               "--no-merge-doublets", "-o", tmp_path / "out",
               "--allow-ref-mismatch")
    assert done.returncode == 0, done.stderr
    assert done.stderr.splitlines()[0] == (
        f"mutflank matrix: warning: {message}; left out, going on (--allow-ref-mismatch)")
    counted = sum(map(sum, (c.values() for c in read_matrix(tmp_path / "out.SBS96.tsv")[2]
                            .values())))
    assert 0 < counted <= len(shifted) - len(differing)


def test_dask_workers_write_identical_files(phage, tmp_path):
    paths = []
    for number in range(5):
        calls = phage["calls"][number::5]
        paths.append(write_table(tmp_path / f"t{number}.tsv", calls))
    write_vcf(tmp_path / "calls.vcf", phage["records"][:50])
    paths.append(tmp_path / "calls.vcf")
    alone = run("matrix", *paths, "--reference", phage["ref"],
               "--no-merge-doublets", "-o", tmp_path / "alone",
                "--merge-samples")
    assert alone.returncode == 0, alone.stderr
    # The command's own local cluster, started and stopped in a process of its own.
    workers = run("matrix", *paths, "--reference", phage["ref"],
                  "--no-merge-doublets", "-o", tmp_path / "dask",
                  "--workers", "2", "--merge-samples", runner=run_command)
    assert workers.returncode == 0, workers.stderr
    for name in channels.TYPES:
        assert (tmp_path / f"alone.{name}.tsv").read_bytes() == (
            tmp_path / f"dask.{name}.tsv").read_bytes()
    assert [line.replace("/dask.", "/alone.") for line in workers.stderr.splitlines()
            if line.startswith("mutflank")] == alone.stderr.splitlines()


# ---- hand-checked tables ----------------------------------------------------------------

# Chromosome 1, positions 1..12.
SEQUENCE = "ACGTACGATCNG"
CODES = {"A": 0, "C": 1, "G": 2, "T": 3, "N": 16}
TABLE_1 = [
    ("S1", "SNP", 2, "C", "T"),  # A[C>T]G; no second base on the left for SBS1536
    ("S1", "SNV", 6, "C", "A"),  # TA[C>A]GA
    ("S1", "SNP", 7, "G", "A"),  # forward AC,G,AT: AT[C>T]GT on the pyrimidine strand
    ("S2", "DBS", 3, "GT", "AA"),  # not a single-base substitution
    ("S1", "SNP", 10, "C", "G"),  # an N beside it
]
TABLE_2 = [
    ("S2", "SNP", 4, "T", "C"),  # CG[T>C]AC
    ("S2", "SNP", 5, "A", "G"),  # forward GT,A,CG: CG[T>C]AC
    ("S2", "SNP", 1, "A", "C"),  # the first base: no left base
    ("S1", "SNP", 2, "C", "T"),  # A[C>T]G again: one mutation, counted once
    ("S3", "SNP", 11, "G", "A"),  # width 3 fits, width 5 does not: G[C>T]N... an N beside it
    ("S3", "SNP", 12, "G", "T"),  # the last base
    ("S4", "SNV", 13, "C", "T"),  # past the end
]
EXPECTED_96 = {"S1": {"A[C>T]G": 1, "A[C>A]G": 1, "T[C>T]G": 1}, "S2": {"G[T>C]A": 2},
               "S3": {}, "S4": {}}
EXPECTED_1536 = {"S1": {"TA[C>A]GA": 1, "AT[C>T]GT": 1}, "S2": {"CG[T>C]AC": 2}, "S3": {},
                 "S4": {}}


@pytest.fixture
def small(tmp_path):
    (tmp_path / "ref" / "GRCh37").mkdir(parents=True)
    (tmp_path / "ref" / "GRCh37" / "1.txt").write_bytes(bytes(CODES[b] for b in SEQUENCE))
    tables = []
    for number, records in enumerate([TABLE_1, TABLE_2], start=1):
        path = tmp_path / f"table{number}.tsv"
        path.write_text("".join(f"{s}\tP\t.\tGRCh37\t{t}\t1\t{p}\t{p}\t{r}\t{a}\n"
                                for s, t, p, r, a in records))
        tables.append(str(path))
    return tmp_path, tables


def test_hand_checked_tables(small):
    tmp_path, tables = small
    done = run("matrix", *tables, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
               "--allow-ref-mismatch", "--merge-samples", "--no-merge-doublets")
    assert done.returncode == 0, done.stderr
    assert read_matrix(tmp_path / "m.SBS96.tsv")[2] == EXPECTED_96
    assert read_matrix(tmp_path / "m.SBS1536.tsv")[2] == EXPECTED_1536
    assert read_matrix(tmp_path / "m.SBS6.tsv")[2] == {
        "S1": {"C>T": 2, "C>A": 1}, "S2": {"T>C": 2}, "S3": {}, "S4": {}}
    one, two = tables
    # With several inputs, each line of what was left out names the inputs concerned.
    assert done.stderr.splitlines() == [
        f"mutflank matrix: warning: {two}: REF differs from the reference base at 1 of 6 "
        "records (16.7%), first at line 5 (1:11 REF G, reference N); left out, going "
        "on (--allow-ref-mismatch)",
        "mutflank matrix: left out 1 record: REF differs from the reference base, on 1 (1), in "
        f"{two} (1)",
        "mutflank matrix: left out 1 record: a base other than A, C, G, T beside it for SBS6, "
        f"SBS96, SBS1536, on 1 (1), in {one} (1)",
        "mutflank matrix: left out 1 record: at a chromosome start for SBS1536, on 1 (1), in "
        f"{one} (1)",
        "mutflank matrix: left out 1 record: at a chromosome start for SBS6, SBS96, SBS1536, "
        f"on 1 (1), in {two} (1)",
        f"mutflank matrix: left out 1 record: position past the chromosome end, on 1 (1), in "
        f"{two} (1)",
        "mutflank matrix: left out 1 record: the same mutation of the sample again (counted "
        f"once), on 1 (1), in {two} (1)",
        "mutflank matrix: left out 1 record: too close to a chromosome end for SBS6, SBS96, "
        f"SBS1536, on 1 (1), in {two} (1)",
        f"mutflank matrix: 6 mutations of 4 samples from 2 inputs -> {tmp_path}/m.SBS6.tsv, "
        f"{tmp_path}/m.SBS96.tsv, {tmp_path}/m.SBS1536.tsv, {tmp_path}/m.DBS78.tsv",
    ]
    # The doublet GT>AA at 3 (AC>TT on the other strand) is the one record of the doublet
    # matrix, written because a doublet is present.
    assert read_matrix(tmp_path / "m.DBS78.tsv")[2] == {
        "S1": {}, "S2": {"AC>TT": 1}, "S3": {}, "S4": {}}


@pytest.mark.parametrize("lines, counted", [
    # The quick road (every line ten fields) and the line by line road give the same counts.
    (["S1\tP\t.\tGRCh37\tSNV\t1\t6\t6\tC\tA"], {"TA[C>A]GA": 1}),
    (["S1\tP\t.\tGRCh37\tSNV\t1\t6\t6\tC\tA\textra"], {"TA[C>A]GA": 1}),
    (["S1\tP\t.\tGRCh37\tSNV\t1\t6\t6\tC\tA\r"], {"TA[C>A]GA": 1}),
    (["sample\tproject\tid\tbuild\ttype\tchrom\tposition\tend\tref\talt",
      "S1\tP\t.\thg19\tSNP\tchr1\t+6\t6\tC\tA"], {"TA[C>A]GA": 1}),
    (["S1\tP\t.\tGRCh37\tSNV\t1\t6\t6\tC\tA", "", "short line"], {"TA[C>A]GA": 1}),
    (["S1\tP\t.\tGRCh37\tSNV\tMT\t6\t6\tC\tA", "S1\tP\t.\tGRCh37\tINDEL\t1\tx\t6\tC\tCA"], {}),
])
def test_table_layouts(small, lines, counted):
    tmp_path, _ = small
    table = tmp_path / "layout.tsv"
    table.write_text("\n".join(lines) + "\n")
    done = run("matrix", table, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
               "--types", "SBS1536", "--allow-missing-chromosomes")
    assert done.returncode == 0, done.stderr
    assert read_matrix(tmp_path / "m.SBS1536.tsv")[2] == {"S1": counted}


@pytest.mark.parametrize("position, message", [
    ("", "the position is empty"),
    ("x12", "position 'x12' is not a number"),
    ("-5", "position '-5' is not a number"),
    ("1.5", "position '1.5' is not a number"),
    (" 12", "position ' 12' is not a number"),
    ("+", "position '+' is not a number"),
    ("\uff11\uff12", "position '\uff11\uff12' is not a number"),
    ("18446744073709551616", "position 18446744073709551616 is larger than 2^64 - 1"),
    ("0", "position 0: positions count from 1"),
    ("000", "position 0: positions count from 1"),
])
def test_malformed_position_is_one_line_with_file_and_line(small, position, message):
    tmp_path, tables = small
    bad = tmp_path / "bad.tsv"
    bad.write_text("S1\tP\t.\tGRCh37\tSNV\t1\t6\t6\tC\tA\n"
                   f"S1\tP\t.\tGRCh37\tSNV\t1\t{position}\t6\tC\tA\n")
    done = run("matrix", tables[0], bad, "--reference", tmp_path / "ref", "-o",
               tmp_path / "m")
    assert (done.returncode, done.stderr) == (
        1, f"mutflank matrix: error: {bad}: line 2: {message}\n")
    assert list(tmp_path.glob("m*")) == []


@pytest.mark.parametrize("setup, args, status, message", [
    (None, ["missing.tsv"], 1, "missing.tsv: No such file or directory"),
    (None, ["table1.tsv", "-o", "nowhere/m"], 1,
     "nowhere/m: cannot write: no such folder {tmp}/nowhere"),
    ("file", ["table1.tsv", "-o", "file/m"], 1, "file/m: cannot write: no such folder {tmp}/file"),
    (None, ["table1.tsv", "--reference", "absent"], 1, "absent: no such reference folder"),
    (None, ["table1.tsv", "--build", "../x"], 2,
     "argument --build: not a build name: '../x' (it names a folder: not empty, '.' or '..', and without '/')"),
    (None, ["table1.tsv", "--build", "hg18"], 1,
     "ref: no hg18 folder in the reference folder (it holds GRCh37 (1))"),
    (None, ["table1.tsv", "--build", "38"], 1,
     "ref: no GRCh38 folder in the reference folder (it holds GRCh37 (1))"),
    (None, [], 2, "no input: name the files to read, or --table-list FILE"),
    (None, ["table1.tsv", "--workers", "0"], 2,
     "argument --workers: not a positive whole number: '0'"),
    (None, ["table1.tsv", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], 2,
     "argument --scheduler: not allowed with argument --workers"),
    (None, ["--table-list", "absent.txt"], 1, "absent.txt: cannot read: No such file or directory"),
    (None, ["-", "--workers", "2"], 2,
     "standard input (-) cannot be read by Dask workers: name a file"),
    ("bad utf-8", ["bad.tsv"], 1, "bad.tsv: line 2: not UTF-8 text"),
    ("folder", ["folder"], 1, "folder: is a folder"),
])
def test_input_and_usage_errors(small, setup, args, status, message):
    tmp_path, _ = small
    if setup == "file":
        (tmp_path / "file").write_text("")
    elif setup == "bad utf-8":
        (tmp_path / "bad.tsv").write_bytes(b"S1\tP\t.\tGRCh37\tSNV\t1\t6\t6\tC\tA\n"
                                           b"S\xff\tP\t.\tGRCh37\tSNV\t1\t6\t6\tC\tA\n")
    elif setup == "folder":
        (tmp_path / "folder").mkdir()
    options = {"--reference": "ref", "-o": "m"}
    for option, value in options.items():
        if option not in args:
            args = [*args, option, value]
    done = run("matrix", *args, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (
        status, f"mutflank matrix: error: {message.format(tmp=tmp_path)}\n")
    assert not [name for name in os.listdir(tmp_path) if name.startswith("m")]


# ---- pieces -----------------------------------------------------------------------------

def test_channels_in_the_conventional_order():
    assert channels.SBS6 == ("C>A", "C>G", "C>T", "T>A", "T>C", "T>G")
    assert channels.SBS96[:5] == ("A[C>A]A", "A[C>A]C", "A[C>A]G", "A[C>A]T", "C[C>A]A")
    assert channels.SBS96[15:17] == ("T[C>A]T", "A[C>G]A")
    assert channels.SBS96[-1] == "T[T>G]T"
    assert channels.SBS1536[:3] == ("AA[C>A]AA", "AA[C>A]AC", "AA[C>A]AG")
    assert channels.SBS1536[16] == "AC[C>A]AA"
    assert channels.SBS1536[256] == "AA[C>G]AA"
    assert channels.SBS1536[-1] == "TT[T>G]TT"
    for names, size in ((channels.SBS96, 96), (channels.SBS1536, 1536)):
        assert len(set(names)) == size
        assert [names[size // 6 * k][names[0].index("[") + 1:][:3] for k in range(6)] == list(
            channels.CLASSES)


def test_folding_the_larger_matrices():
    import numpy as np

    counts = np.zeros((2, 1536), dtype=np.int64)
    counts[0, channels.SBS1536.index("TA[C>A]GA")] = 3
    counts[0, channels.SBS1536.index("CA[C>A]GT")] = 2
    counts[1, channels.SBS1536.index("TT[T>G]TT")] = 1
    folded = channels.sbs96_of_sbs1536(counts)
    assert folded[0, channels.SBS96.index("A[C>A]G")] == 5
    assert folded[1, channels.SBS96.index("T[T>G]T")] == 1
    assert folded.sum() == 6
    assert channels.sbs6_of_sbs96(folded).tolist() == [[5, 0, 0, 0, 0, 0], [0, 0, 0, 0, 0, 1]]


def test_batches_keep_files_whole_and_in_order():
    items = [Item(number, name, name, size) for number, (name, size) in
             enumerate([("a", 10), ("b", 50), ("c", 50), ("d", 200), ("e", 1)])]
    cut = batches(items, batch_bytes=100, batch_files=3)
    assert [[item.path for item in batch] for batch in cut] == [["a", "b"], ["c"], ["d"], ["e"]]
    assert [[s.path for s in b] for b in batches(items, 10**9, 2)] == [
        ["a", "b"], ["c", "d"], ["e"]]


def test_tallies_add_up_in_any_grouping_and_any_batch_size(phage, tmp_path):
    """Tallies of single inputs merged in any order and grouping, and tallies counted in
    batches of 7 records, equal the tally of all inputs counted at once."""
    paths = [write_table(tmp_path / f"t{n}.tsv", phage["calls"][n::3]) for n in range(3)]
    items = [Item(n, str(path), str(path)) for n, path in enumerate(paths)]
    settings = Settings(kinds=("SBS6", "SBS96", "SBS1536"), by_input=True)

    def summary(tally):
        order = sorted(range(len(tally.keys)), key=tally.keys.__getitem__)
        return ([tally.keys[i] for i in order],
                {name: tally.matrix(name)[order].tolist() for name in ("SBS6", "SBS1536")},
                dict(tally.left_out), dict(tally.left_out.inputs), {i: vars(c) for i, c in tally.checks.items()},
                {i: vars(f) for i, f in tally.coverage.items()}, tally.records, tally.origins)

    # adjacent SNVs stay SNVs, so that the count below is of substitutions
    whole = summary(count_inputs(items, str(phage["ref"]), settings, merge_doublets=False))
    singles = [count_inputs([item], str(phage["ref"]), settings, batch_records=7,
                            merge_doublets=False) for item in items]
    assert summary(Tally().merge(singles[2]).merge(singles[0]).merge(singles[1])) == whole
    assert summary(singles[0].merge(Tally().merge(singles[1]).merge(singles[2]))) == whole
    assert whole[-2] == sum(1 for call in phage["calls"] if call[1] == "chr1"
                            and 1 < call[2] < phage["length"])


def test_existing_scheduler_and_a_failing_batch(small, dask_scheduler, capsys):
    from mutflank_tools.cli import main

    tmp_path, tables = small
    code = main(["matrix", *tables, "--reference", str(tmp_path / "ref"), "--scheduler",
                 dask_scheduler, "-o", str(tmp_path / "d"), "--allow-ref-mismatch",
                 "--merge-samples",
                 "--no-merge-doublets"])
    assert code == 0, capsys.readouterr().err
    assert read_matrix(tmp_path / "d.SBS96.tsv")[2] == EXPECTED_96
    bad = tmp_path / "bad.tsv"
    bad.write_text("S9\tP\t.\tGRCh37\tSNV\t1\t6\t6\tC\tA\nS9\tP\t.\tGRCh37\tSNV\t1\tten\t6\tC\tA\n")
    capsys.readouterr()
    code = main(["matrix", *tables, str(bad), "--reference", str(tmp_path / "ref"),
                 "--scheduler", dask_scheduler, "-o", str(tmp_path / "e"), "--merge-samples"])
    assert (code, capsys.readouterr().err) == (
        1, f"mutflank matrix: error: {bad}: line 2: position 'ten' is not a number\n")
    assert not list(tmp_path.glob("e.*"))


def test_unreachable_scheduler(small):
    tmp_path, tables = small
    done = run("matrix", *tables, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
               "--scheduler", "tcp://127.0.0.1:9")
    assert done.returncode == 1
    assert re.fullmatch(r"mutflank matrix: error: cannot reach the Dask scheduler "
                        r"tcp://127\.0\.0\.1:9: .*\n", done.stderr)


@pytest.mark.parametrize("rows, expected", [
    ([[0, 9, 3], [1, 1, 0]], ["\t0\t9\t3", "\t1\t1\t0"]),  # one digit each: made by NumPy
    ([[10, 0, 7]], ["\t10\t0\t7"]),
    ([[4095, 4096, 2 ** 63 - 1]], ["\t4095\t4096\t9223372036854775807"]),
    ([[-1, 2, 3]], ["\t-1\t2\t3"]),
    ([[5, 6], [12, 0], [0, 0], [3, 100]], ["\t5\t6", "\t12\t0", "\t0\t0", "\t3\t100"]),
    ([[1.5, 2.0]], ["\t1.5\t2.0"]),
    ([], []),
])
@pytest.mark.parametrize("at_once", [1, 3, 1 << 22])  # rows of one digit made a few at a time
@pytest.mark.parametrize("order", ["C", "F"])  # F: rows of a transposed tally, as written
def test_count_cells_writes_every_count_after_a_tab(monkeypatch, rows, expected, at_once, order):
    import numpy as np
    from mutflank_tools.commands import matrix

    monkeypatch.setattr(matrix, "CELLS_AT_ONCE", at_once)
    counts = np.array(rows, order=order) if rows else np.zeros((0, 3), dtype=np.int64)
    assert matrix.count_cells(counts) == expected
