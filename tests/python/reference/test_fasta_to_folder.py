"""`mutflank reference`: FASTA to the one-byte-per-base reference folder, written atomically."""

import gzip
import random

import pysam
import pytest

from cli_support import LAMBDA_FASTA, LAMBDA_LENGTH, LAMBDA_NAME, lambda_fasta, run, write_text  # noqa: F401
# The installed command's package; `make sanitize` runs the suite without it.
reference = pytest.importorskip("mutflank_tools.commands.reference")

COMPLEMENT = str.maketrans("ACGTN", "TGCAN")

# ---- the encoding, byte by byte ------------------------------------------------------------

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


def built(root, build):
    """{file name: bytes} of a build folder."""
    return {path.name: path.read_bytes() for path in sorted((root / build).iterdir())}


@pytest.mark.parametrize("name", ["genome.fa", "genome.fa.gz", "genome.bgz.gz"])
@pytest.mark.parametrize("line_end", ["\n", "\r\n"])
def test_encodes_every_sequence_to_its_own_file(tmp_path, name, line_end):
    fasta = write_text(tmp_path / name, SMALL_FASTA.replace("\n", line_end))
    status, out, err = run("reference", fasta, tmp_path / "ref", "--build", "hg38")
    assert (status, out) == (0, "")
    assert built(tmp_path / "ref", "GRCh38") == {
        f"{name}.txt": data for name, data in SMALL_EXPECTED.items()}
    # standard error is not a terminal here: no progress bar, only the summary
    assert err == f"mutflank reference: wrote 3 sequences, 26 bases, to {tmp_path / 'ref' / 'GRCh38'}\n"


@pytest.mark.parametrize("block_size", [1, 2, 3, 5, 7, 11, 64, 1 << 22])
def test_result_does_not_depend_on_where_blocks_end(tmp_path, monkeypatch, block_size):
    monkeypatch.setattr(reference, "BLOCK_SIZE", block_size)
    fasta = write_text(tmp_path / "genome.fa", SMALL_FASTA.replace("\n", "\r\n"))
    (tmp_path / "out").mkdir()
    lengths = reference.convert_fasta(str(fasta), str(tmp_path / "out"))
    assert lengths == [("chr1", 21), ("chr2", 4), ("chrM", 1)]
    assert built(tmp_path, "out") == {f"{name}.txt": data for name, data in SMALL_EXPECTED.items()}


@pytest.mark.parametrize("text, message", [
    ("ACGT\n>chr1\nACGT\n", "line 1: not a FASTA file: it must begin with a '>' header line, "
                            "not 'ACGT'"),
    ("\n\nAC\n>chr1\nACGT\n", "line 3: not a FASTA file: it must begin with a '>' header "
                               "line, not 'AC'"),
    ("##fileformat=VCFv4.2\n#CHROM\tPOS\n", "line 1: not a FASTA file: it must begin with a '>' "
                                          "header line, not '##fileformat=VCFv4.2'"),
    (">" + "x" * 252 + "\nA\n", "line 1: sequence name 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'... "
                             "is 252 bytes long, too long for a file name (at most 251)"),
    (">chr1\nACGT\nAC-T\n", "line 3: '-' is not a nucleotide code"),
    (">chr1\nACGT\nAC1T\n", "line 3: '1' is not a nucleotide code"),
    (">chr1\nACGT\n>chr2\nAC\nA>C\n", "line 5: '>' is not a nucleotide code"),
    (">chr1\n;comment\nACGT\n", "line 2: ';' is not a nucleotide code"),
    (">chr1\nAC\xe9T\n", "line 2: byte 0xc3 is not a nucleotide code"),
    (">\nACGT\n", "line 1: header without a sequence name"),
    (">chr1\nA\n>  \nC\n", "line 3: header without a sequence name"),
    (">chr1\nA\n>chr1 again\nC\n", "line 3: sequence name 'chr1' appears twice"),
    (">../up\nA\n", "line 1: sequence name '../up' cannot be a file name"),
    (">empty\n>full\nAC\n", "line 1: sequence 'empty' has no bases"),
    (">full\nAC\n>empty\n\n", "line 3: sequence 'empty' has no bases"),
    (">full\nAC\n>last", "line 3: sequence 'last' has no bases"),
    ("", "no '>' header: not a FASTA file"),
    ("\n\n", "no '>' header: not a FASTA file"),
])
@pytest.mark.parametrize("existing", [False, True])
def test_malformed_fasta_is_refused_and_leaves_nothing(tmp_path, text, message, existing):
    fasta = write_text(tmp_path / "bad.fa", text)
    root = tmp_path / "ref"
    if existing:  # another build already there: the new one is made inside the folder
        (root / "GRCh37").mkdir(parents=True)
        (root / "GRCh37" / "1.txt").write_bytes(b"\0")
    status, out, err = run("reference", fasta, root, "--build", "GRCh38")
    assert (status, out, err) == (1, "", f"mutflank reference: error: {fasta}: {message}\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == (["bad.fa", "ref"] if existing else ["bad.fa"])
    if existing:
        assert sorted(p.name for p in root.iterdir()) == ["GRCh37"]


def test_truncated_gzip_is_refused(tmp_path):
    packed = gzip.compress((">chr1\n" + "ACGT" * 5000 + "\n").encode())
    fasta = tmp_path / "cut.fa.gz"
    fasta.write_bytes(packed[: len(packed) // 2])
    status, _, err = run("reference", fasta, tmp_path / "ref", "--build", "GRCh38")
    assert status == 1
    assert err.startswith(f"mutflank reference: error: {fasta}: cannot decompress: ")
    assert len(err.splitlines()) == 1
    assert not (tmp_path / "ref").exists()


@pytest.mark.parametrize("args, status, message", [
    (["missing.fa", "ref", "--build", "GRCh38"], 1, "missing.fa: No such file or directory"),
    (["genome.fa", "ref", "--build", "hg/18"], 2,
     "argument --build: not a build name: 'hg/18' (it names a folder: not empty, '.' or '..', "
     "and without '/')"),
    (["genome.fa", "old", "--build", "GRCh38"], 1,
     "old/GRCh38: already exists; remove it first, or choose another folder"),
    (["genome.fa", "genome.fa", "--build", "GRCh38"], 1, "genome.fa: exists and is not a folder"),
    (["genome.fa", "none/ref", "--build", "GRCh38"], 1, "none/ref: cannot write: No such file or directory"),
    (["folder", "ref", "--build", "GRCh38"], 1, "folder: is a folder"),
])
def test_bad_arguments(tmp_path, args, status, message):
    write_text(tmp_path / "genome.fa", ">chr1\nA\n")
    (tmp_path / "old" / "GRCh38").mkdir(parents=True)
    (tmp_path / "old" / "GRCh38" / "chr9.txt").write_bytes(b"\1")
    (tmp_path / "folder").mkdir()
    before = sorted(str(p) for p in tmp_path.rglob("*"))
    assert run("reference", *args, cwd=tmp_path) == (status, "", f"mutflank reference: error: {message}\n")
    assert sorted(str(p) for p in tmp_path.rglob("*")) == before


def test_adds_a_build_beside_another_and_fills_an_empty_build_folder(tmp_path):
    fasta = write_text(tmp_path / "genome.fa", SMALL_FASTA)
    root = tmp_path / "ref"
    assert run("reference", fasta, root, "--build", "37")[0] == 0
    (root / "GRCh38").mkdir()
    assert run("reference", fasta, root, "--build", "38")[0] == 0
    assert sorted(p.name for p in root.iterdir()) == ["GRCh37", "GRCh38"]
    assert built(root, "GRCh37") == built(root, "GRCh38") == {
        f"{name}.txt": data for name, data in SMALL_EXPECTED.items()}


# ---- the module reading the built reference, against pysam reading the FASTA ---------------

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


def check_module_against_pysam(fasta_path, ref_root, build, table, rng, context, count):
    import mutflank

    half = context // 2
    records = []
    with pysam.FastaFile(str(fasta_path)) as fasta:
        for chrom, length in zip(fasta.references, fasta.lengths):
            positions = [1, 2, 3, length - half] + [rng.randint(1, length - half) for _ in range(count)]
            for position in positions:
                ref = fasta.fetch(chrom, position - 1, position).upper()
                records.append((chrom, position, ref, rng.choice([b for b in "ACGT" if b != ref])))
        # a record whose reference base is N is not folded and keeps forward flanks
        expected = [(f"S::r{i}", expected_context(fasta, chrom, position, ref, alt, half))
                    for i, (chrom, position, ref, alt) in enumerate(records)]
    with open(table, "w") as out:
        for i, (chrom, position, ref, alt) in enumerate(records):
            out.write(f"S\tr{i}\t.\t{build}\tSNV\t{chrom}\t{position}\t{position}\t{ref}\t{alt}\n")
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
            run_length = rng.randint(1, 40)
            if kind < 0.7:
                bases += rng.choices("ACGT", k=run_length)
            elif kind < 0.85:
                bases += rng.choices("acgt", k=run_length)
            elif kind < 0.95:
                bases += ["N"] * run_length
            else:
                bases += rng.choices("RYKMSWnBDHV", k=run_length)
        seq = "".join(bases[:length])
        text.append(f">seq{number} random\n")
        text += [seq[i:i + 61] + "\n" for i in range(0, length, 61)]
    return "".join(text)


@pytest.mark.parametrize("context", [3, 5, 11])
@pytest.mark.parametrize("compressed", [False, True])
def test_module_contexts_match_pysam_on_a_random_genome(tmp_path, context, compressed):
    rng = random.Random(context * 2 + compressed)
    text = random_genome(rng, [5000, 777, 64])
    plain = write_text(tmp_path / "genome.fa", text)
    source = write_text(tmp_path / "genome.fa.gz", text) if compressed else plain
    assert run("reference", source, tmp_path / "ref", "--build", "GRCh37")[0] == 0
    checked = check_module_against_pysam(plain, tmp_path / "ref", "GRCh37",
                                         tmp_path / "table.tsv", rng, context, 150)
    assert checked == 3 * 154


@pytest.mark.parametrize("context", [3, 9])
def test_lambda_phage_end_to_end(tmp_path, lambda_fasta, context):
    """The real lambda phage genome shipped by Debian's bowtie2-examples."""
    status, _, err = run("reference", LAMBDA_FASTA, tmp_path / "ref", "--build", "GRCh38")
    assert status == 0, err
    data = (tmp_path / "ref" / "GRCh38" / f"{LAMBDA_NAME}.txt").read_bytes()
    assert len(data) == LAMBDA_LENGTH
    assert data[:10] == bytes([2, 2, 2, 1, 2, 2, 1, 2, 0, 1])  # GGGCGGCGAC
    checked = check_module_against_pysam(lambda_fasta, tmp_path / "ref", "GRCh38",
                                         tmp_path / "table.tsv", random.Random(context), context, 300)
    assert checked == 304
