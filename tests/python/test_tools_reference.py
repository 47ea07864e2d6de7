"""tools/make_reference.py: FASTA to the one-byte-per-base reference directory."""

import gzip
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pysam
import pytest

import conftest

ROOT = Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "make_reference.py"
LAMBDA_FASTA = Path("/usr/share/doc/bowtie2/examples/reference/lambda_virus.fa.gz")
LAMBDA_NAME = "gi|9626243|ref|NC_001416.1|"
LAMBDA_LENGTH = 48502
COMPLEMENT = str.maketrans("ACGTN", "TGCAN")



def load_tool():
    return conftest.load_tool("make_reference")


def run_tool(*args):
    return conftest.run_tool("make_reference", *args)


def write_fasta(path, text):
    data = text.encode()
    if str(path).endswith(".gz"):
        data = gzip.compress(data)
    path.write_bytes(data)
    return path


# ---- the encoding, byte by byte -------------------------------------------------------

SMALL_FASTA = (
    ">chr1 first sequence, with a description\n"
    "ACGT\n"
    "acgtn\n"
    "\n"
    "NRYSWKMBDHVU\n"
    ">chr2\n"
    "GgTt\n"
    ">chrM mitochondrion\n"
    "C"
)
SMALL_EXPECTED = {
    "chr1": bytes([0, 1, 2, 3, 0, 1, 2, 3, 16] + [16] * 12),
    "chr2": bytes([2, 2, 3, 3]),
    "chrM": bytes([1]),
}


@pytest.mark.parametrize("name", ["genome.fa", "genome.fa.gz"])
@pytest.mark.parametrize("line_end", ["\n", "\r\n"])
def test_encodes_every_sequence_to_its_own_file(tmp_path, name, line_end):
    fasta = write_fasta(tmp_path / name, SMALL_FASTA.replace("\n", line_end))
    result = run_tool(fasta, tmp_path / "ref", "--build", "GRCh38")
    assert result.returncode == 0, result.stderr
    files = sorted(p.name for p in (tmp_path / "ref" / "GRCh38").iterdir())
    assert files == ["chr1.txt", "chr2.txt", "chrM.txt"]
    for chrom, expected in SMALL_EXPECTED.items():
        assert (tmp_path / "ref" / "GRCh38" / f"{chrom}.txt").read_bytes() == expected
    # standard error is not a terminal here: no progress bar, only the summary
    assert result.stderr == "make_reference.py: wrote 3 sequence(s), 26 bases, to " \
                            f"{tmp_path / 'ref' / 'GRCh38'}\n"


def test_bgzip_compressed_fasta(tmp_path):
    plain = write_fasta(tmp_path / "genome.fa", SMALL_FASTA)
    packed = tmp_path / "genome.fa.bgz"
    pysam.tabix_compress(str(plain), str(packed))
    assert run_tool(packed, tmp_path / "ref", "--build", "GRCh37", "-q").returncode == 0
    for chrom, expected in SMALL_EXPECTED.items():
        assert (tmp_path / "ref" / "GRCh37" / f"{chrom}.txt").read_bytes() == expected


@pytest.mark.parametrize("block_size", [1, 2, 3, 5, 7, 11, 64, 1 << 22])
def test_result_does_not_depend_on_where_blocks_end(tmp_path, monkeypatch, block_size):
    tool = load_tool()
    monkeypatch.setattr(tool, "BLOCK_SIZE", block_size)
    fasta = write_fasta(tmp_path / "genome.fa", SMALL_FASTA.replace("\n", "\r\n"))
    lengths = tool.build_reference(str(fasta), str(tmp_path / "ref"), "GRCh38", quiet=True)
    assert lengths == [("chr1", 21), ("chr2", 4), ("chrM", 1)]
    for chrom, expected in SMALL_EXPECTED.items():
        assert (tmp_path / "ref" / "GRCh38" / f"{chrom}.txt").read_bytes() == expected


def test_empty_sequence_gives_empty_file(tmp_path):
    fasta = write_fasta(tmp_path / "genome.fa", ">empty\n>full\nAC\n")
    assert run_tool(fasta, tmp_path / "ref", "--build", "GRCh38").returncode == 0
    assert (tmp_path / "ref" / "GRCh38" / "empty.txt").read_bytes() == b""
    assert (tmp_path / "ref" / "GRCh38" / "full.txt").read_bytes() == bytes([0, 1])


@pytest.mark.parametrize("text, message", [
    ("ACGT\n>chr1\nACGT\n", "line 1: sequence before the first '>' header"),
    ("\n\nAC\n>chr1\nACGT\n", "line 3: sequence before the first '>' header"),
    (">chr1\nACGT\nAC-T\n", "line 3: '-' is not a nucleotide code"),
    (">chr1\nACGT\nAC1T\n", "line 3: '1' is not a nucleotide code"),
    (">chr1\nACGT\n>chr2\nAC\nA>C\n", "line 5: '>' is not a nucleotide code"),
    (">chr1\n;comment\nACGT\n", "line 2: ';' is not a nucleotide code"),
    (">chr1\nAC\xe9T\n", "line 2: byte 0xc3 is not a nucleotide code"),
    (">\nACGT\n", "line 1: header without a sequence name"),
    (">chr1\nA\n>  \nC\n", "line 3: header without a sequence name"),
    (">chr1\nA\n>chr1 again\nC\n", "line 3: sequence name 'chr1' appears twice"),
    (">../up\nA\n", "line 1: sequence name '../up' cannot be a file name"),
    ("", "no '>' header: not a FASTA file"),
    ("\n\n", "no '>' header: not a FASTA file"),
])
def test_malformed_fasta_is_refused_with_the_line(tmp_path, text, message):
    fasta = write_fasta(tmp_path / "bad.fa", text)
    result = run_tool(fasta, tmp_path / "ref", "--build", "GRCh38")
    assert result.returncode == 1
    assert result.stderr == f"make_reference.py: error: {fasta}: {message}\n"
    # no half-written chromosome is left behind
    assert not list((tmp_path / "ref" / "GRCh38").glob("*.part"))


def test_truncated_gzip_is_refused(tmp_path):
    packed = gzip.compress((">chr1\n" + "ACGT" * 5000 + "\n").encode())
    fasta = tmp_path / "cut.fa.gz"
    fasta.write_bytes(packed[: len(packed) // 2])
    result = run_tool(fasta, tmp_path / "ref", "--build", "GRCh38")
    assert result.returncode == 1
    assert result.stderr.startswith(f"make_reference.py: error: {fasta}: cannot decompress: ")
    assert not (tmp_path / "ref" / "GRCh38" / "chr1.txt").exists()


@pytest.mark.parametrize("args, message", [
    (["missing.fa", "ref", "--build", "GRCh38"], "No such file or directory"),
    (["genome.fa", "ref", "--build", "hg19"], "invalid choice: 'hg19'"),
    (["genome.fa", "ref"], "the following arguments are required: --build"),
])
def test_bad_arguments(tmp_path, args, message):
    write_fasta(tmp_path / "genome.fa", ">chr1\nA\n")
    result = subprocess.run([sys.executable, str(TOOL), *args], cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.returncode != 0
    assert message in result.stderr


# ---- the module reading the built reference, against pysam reading the FASTA -------------

def expected_context(fasta, chrom, position, ref, alt, half):
    """The module's context string, from bases that pysam reads out of the FASTA."""
    def bases(start, end):
        text = fasta.fetch(chrom, start, end).upper()
        return "".join(base if base in "ACGT" else "N" for base in text)

    left = bases(max(0, position - 1 - half), position - 1)
    right = bases(position, position + half)
    if ref in ("G", "A") and alt in ("A", "C", "G", "T"):
        return (right[::-1].translate(COMPLEMENT) + f"[{ref.translate(COMPLEMENT)}>"
                f"{alt.translate(COMPLEMENT)}]" + left[::-1].translate(COMPLEMENT))
    return f"{left}[{ref}>{alt}]{right}"


def random_records(fasta, rng, count, half):
    """(chrom, position, ref, alt): random positions, the first ones and the last possible."""
    records = []
    for chrom, length in zip(fasta.references, fasta.lengths):
        positions = [1, 2, 3, length - half] + [rng.randint(1, length - half) for _ in range(count)]
        for position in positions:
            ref = fasta.fetch(chrom, position - 1, position).upper()
            alt = rng.choice([base for base in "ACGT" if base != ref])
            records.append((chrom, position, ref, alt))
    return records


def write_table(path, records, build):
    with open(path, "w") as out:
        for i, (chrom, position, ref, alt) in enumerate(records):
            out.write(f"S\tr{i}\t.\t{build}\tSNP\t{chrom}\t{position}\t{position}\t{ref}\t{alt}\n")


def check_module_against_pysam(fasta_path, ref_root, build, table, rng, context, count):
    import mutflank

    half = context // 2
    with pysam.FastaFile(str(fasta_path)) as fasta:
        records = random_records(fasta, rng, count, half)
        # a record whose reference base is N is not folded and keeps forward flanks
        expected = [(f"S::r{i}", expected_context(fasta, chrom, position, ref, alt, half))
                    for i, (chrom, position, ref, alt) in enumerate(records)
                    if ref != alt]
    write_table(table, records, build)
    rows = mutflank.parse_vcf_files([str(table)], str(ref_root), context)
    assert [tuple(row) for row in rows.tolist()] == expected
    return len(expected)


def random_genome(rng, lengths):
    """FASTA text with soft-masked stretches, N runs and IUPAC codes, 61-column lines."""
    text = []
    for number, length in enumerate(lengths, start=1):
        bases = []
        while len(bases) < length:
            kind = rng.random()
            run = rng.randint(1, 40)
            if kind < 0.7:
                bases += rng.choices("ACGT", k=run)
            elif kind < 0.85:
                bases += rng.choices("acgt", k=run)
            elif kind < 0.95:
                bases += ["N"] * run
            else:
                bases += rng.choices("RYKMSWnBDHV", k=run)
        seq = "".join(bases[:length])
        text.append(f">seq{number} random\n")
        text += [seq[i:i + 61] + "\n" for i in range(0, length, 61)]
    return "".join(text)


@pytest.mark.parametrize("context", [3, 5, 11])
@pytest.mark.parametrize("compressed", [False, True])
def test_module_contexts_match_pysam_on_a_random_genome(tmp_path, context, compressed):
    rng = random.Random(context * 2 + compressed)
    text = random_genome(rng, [5000, 777, 64])
    plain = write_fasta(tmp_path / "genome.fa", text)
    source = write_fasta(tmp_path / "genome.fa.gz", text) if compressed else plain
    assert run_tool(source, tmp_path / "ref", "--build", "GRCh37").returncode == 0
    checked = check_module_against_pysam(plain, tmp_path / "ref", "GRCh37",
                                         tmp_path / "table.tsv", rng, context, 150)
    assert checked > 400


@pytest.mark.parametrize("context", [3, 9])
def test_lambda_phage_end_to_end(tmp_path, context):
    """The real lambda phage genome shipped by Debian's bowtie2-examples."""
    result = run_tool(LAMBDA_FASTA, tmp_path / "ref", "--build", "GRCh38")
    assert result.returncode == 0, result.stderr
    built = tmp_path / "ref" / "GRCh38" / f"{LAMBDA_NAME}.txt"
    assert built.stat().st_size == LAMBDA_LENGTH
    assert built.read_bytes()[:10] == bytes([2, 2, 2, 1, 2, 2, 1, 2, 0, 1])  # GGGCGGCGAC
    plain = tmp_path / "lambda.fa"
    with gzip.open(LAMBDA_FASTA, "rb") as packed, open(plain, "wb") as out:
        shutil.copyfileobj(packed, out)
    checked = check_module_against_pysam(plain, tmp_path / "ref", "GRCh38",
                                         tmp_path / "table.tsv", random.Random(context), context, 300)
    assert checked == 304
