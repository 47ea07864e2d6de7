"""`mutflank opportunities` against an independent count: pysam reads the FASTA, NumPy folds
the contexts. Lambda phage whole and with strand annotation; a seeded random genome of three
chromosomes (N runs, soft-masked stretches) with an exome-like BED of 20,000 intervals; one
test for each error."""

import gzip
import random
from pathlib import Path

import numpy as np
import pytest

pysam = pytest.importorskip("pysam")

from mutflank_tools.cli import main  # noqa: E402
from mutflank_tools.counting import channels  # noqa: E402
from mutflank_tools.counting.kinds.strand import SBS384  # noqa: E402

LAMBDA = Path("/usr/share/doc/bowtie2/examples/reference/lambda_virus.fa.gz")
LAMBDA_NAME = "gi|9626243|ref|NC_001416.1|"
CODE = np.full(256, 4, dtype=np.int64)
for _code, _base in enumerate("ACGT"):
    CODE[ord(_base)] = CODE[ord(_base.lower())] = _code
COMPLEMENT = str.maketrans("ACGT", "TGCA")


def revcomp(text):
    return text.translate(COMPLEMENT)[::-1]


# ---- the model ---------------------------------------------------------------------------

def model(fasta_path, regions=None, strands=None):
    """{kind: {channel: opportunity}} of SBS96, SBS1536, DBS78 (and SBS384 with `strands`:
    {name: array of strand bits per base}) counted from the FASTA through pysam; `regions`
    {name: [(start, end), ...]} limits the centres (both bases of a dinucleotide)."""
    tri, penta, di = {}, {}, {}
    strand_tri = {}
    with pysam.FastaFile(str(fasta_path)) as fasta:
        for name in fasta.references:
            codes = CODE[np.frombuffer(fasta.fetch(name).encode(), dtype=np.uint8)]
            n = len(codes)
            inside = np.ones(n, dtype=bool)
            if regions is not None:
                inside[:] = False
                for start, end in regions.get(name, ()):
                    inside[start:end] = True
            valid = codes < 4
            for width, table in ((3, tri), (5, penta)):
                half = width // 2
                centres = np.arange(half, n - half)
                keep = inside[centres].copy()
                for offset in range(-half, half + 1):
                    keep &= valid[centres + offset]
                centres = centres[keep]
                index = np.zeros(len(centres), dtype=np.int64)
                for offset in range(-half, half + 1):
                    index = index * 4 + codes[centres + offset]
                for key, count in zip(*np.unique(index, return_counts=True)):
                    text = "".join("ACGT"[key >> 2 * (width - 1 - k) & 3] for k in range(width))
                    if text[half] in "AG":
                        text = revcomp(text)
                    table[text] = table.get(text, 0) + int(count)
                if width == 3 and strands is not None:
                    bits = strands[name][centres]
                    for centre, bit, key in zip(centres.tolist(), bits.tolist(), index.tolist()):
                        text = "".join("ACGT"[key >> 2 * (2 - k) & 3] for k in range(3))
                        purine = text[1] in "AG"
                        strand = {0: "N", 3: "B"}.get(bit) or ("T" if (bit == 1) == purine
                                                               else "U")
                        label = f"{strand}:{revcomp(text) if purine else text}"
                        strand_tri[label] = strand_tri.get(label, 0) + 1
            first = np.arange(0, n - 1)
            keep = inside[first] & inside[first + 1] & valid[first] & valid[first + 1]
            for a, b in zip(codes[first[keep]].tolist(), codes[first[keep] + 1].tolist()):
                text = "ACGT"[a] + "ACGT"[b]
                if text not in ("AC", "AT", "CC", "CG", "CT", "GC", "TA", "TC", "TG", "TT"):
                    text = revcomp(text)
                di[text] = di.get(text, 0) + 1

    def context(label):
        strand, _, label = label.rpartition(":")
        left, rest = label.split("[")
        return left + rest[0] + rest.split("]")[1]

    result = {
        "SBS96": {label: tri.get(context(label), 0) for label in channels.SBS96},
        "SBS1536": {label: penta.get(context(label), 0) for label in channels.SBS1536},
        "DBS78": {label: di.get(label[:2], 0) for label in channels.DBS78},
    }
    if strands is not None:
        result["SBS384"] = {label: strand_tri.get(f"{label[0]}:{context(label)}", 0)
                            for label in SBS384}
    return result


def written(prefix, kind):
    lines = Path(f"{prefix}.{kind}.tsv").read_text().splitlines()
    assert lines[0] == "MutationType\topportunities"
    return {label: int(value) for label, value in (line.split("\t") for line in lines[1:])}


@pytest.fixture(scope="module")
def phage(tmp_path_factory):
    folder = tmp_path_factory.mktemp("phage")
    fasta = folder / "lambda.fa"
    fasta.write_bytes(gzip.decompress(LAMBDA.read_bytes()))
    # A + gene and a - gene that overlap (both strands), as a GTF.
    gtf = folder / "genes.gtf"
    gtf.write_text(f"{LAMBDA_NAME}\tx\tgene\t1001\t9000\t.\t+\t.\tgene_id \"a\";\n"
                   f"{LAMBDA_NAME}\tx\tgene\t8001\t20000\t.\t-\t.\tgene_id \"b\";\n")
    assert main(["reference", str(fasta), str(folder / "plain"), "--build", "L"]) == 0
    assert main(["reference", str(fasta), str(folder / "annotated"), "--build", "L",
                 "--annotation", str(gtf)]) == 0
    return folder


def test_lambda_phage_matches_the_independent_count(phage, tmp_path, capsys):
    prefix = str(tmp_path / "lambda")
    assert main(["opportunities", str(phage / "plain"), "--build", "L", "-o", prefix]) == 0
    want = model(phage / "lambda.fa")
    for kind in ("SBS96", "SBS1536", "DBS78"):
        assert written(prefix, kind) == want[kind], kind
    assert sum(written(prefix, "SBS96").values()) == 3 * (48502 - 2)
    assert capsys.readouterr().err.endswith(
        f"mutflank opportunities: L, 48,502 bases of 1 chromosome -> {prefix}.SBS96.tsv, "
        f"{prefix}.SBS1536.tsv, {prefix}.DBS78.tsv\n")


def test_strand_kinds_follow_the_annotation(phage, tmp_path):
    prefix = str(tmp_path / "lambda")
    assert main(["opportunities", str(phage / "annotated"), "-o", prefix,
                 "--types", "SBS384,SBS192,SBS96"]) == 0
    bits = np.zeros(48502, dtype=np.int64)
    bits[1000:9000] |= 1
    bits[8000:20000] |= 2
    want = model(phage / "lambda.fa", strands={LAMBDA_NAME: bits})
    assert written(prefix, "SBS384") == want["SBS384"]
    assert written(prefix, "SBS192") == {label: want["SBS384"][label]
                                         for label in channels.SBS192}
    assert written(prefix, "SBS96") == want["SBS96"]


@pytest.fixture(scope="module")
def random_genome(tmp_path_factory):
    """Three chromosomes (chr1, chr2, chrM) with N runs and soft-masked stretches, and an
    exome-like BED of 20,000 intervals named 1, 2 and MT, unsorted and overlapping, with a few
    on a chromosome the reference lacks."""
    folder = tmp_path_factory.mktemp("random")
    rng = random.Random(11)
    lines, regions, bed = [], {}, []
    for name, length in (("chr1", 600_000), ("chr2", 300_000), ("chrM", 16_569)):
        bases = [rng.choice("ACGTACGTGC") for _ in range(length)]
        for _ in range(20):
            start, size = rng.randrange(length), rng.randrange(1, 400)
            bases[start:start + size] = ["N"] * len(bases[start:start + size])
        for _ in range(30):
            start = rng.randrange(length)
            stretch = bases[start:start + 500]
            bases[start:start + 500] = [base.lower() for base in stretch]
        text = "".join(bases)
        lines += [f">{name} made up", *(text[i:i + 60] for i in range(0, len(text), 60))]
        alias = {"chr1": "1", "chr2": "2", "chrM": "MT"}[name]
        share = {"chr1": 13_000, "chr2": 6_500, "chrM": 490}[name]
        for _ in range(share):
            start = rng.randrange(0, length - 10)
            end = min(length + 5, start + rng.randrange(1, 300))  # a few past the end
            regions.setdefault(name, []).append((start, min(end, length)))
            bed.append(f"{alias}\t{start}\t{end}\tt{len(bed)}")
    bed += [f"chrUn_{i}\t0\t100" for i in range(10)]
    rng.shuffle(bed)
    fasta = folder / "genome.fa"
    fasta.write_text("\n".join(lines) + "\n")
    (folder / "exome.bed").write_text("\n".join(bed) + "\n")
    assert main(["reference", str(fasta), str(folder / "reference"), "--build", "R"]) == 0
    return folder, regions


def test_random_genome_inside_an_exome_matches_the_independent_count(random_genome, tmp_path,
                                                                     capsys):
    folder, regions = random_genome
    prefix = str(tmp_path / "exome")
    assert main(["opportunities", str(folder / "reference"), "--regions",
                 str(folder / "exome.bed"), "-o", prefix]) == 0
    want = model(folder / "genome.fa", regions)
    for kind in ("SBS96", "SBS1536", "DBS78"):
        assert written(prefix, kind) == want[kind], kind
    err = capsys.readouterr().err.splitlines()
    assert err[0] == (f"mutflank opportunities: warning: {folder / 'exome.bed'}: 10 regions on "
                      "chromosomes the reference lacks, left aside: chrUn_0 (1), chrUn_1 (1), "
                      "chrUn_2 (1), chrUn_3 (1), chrUn_4 (1) and 5 more")


def test_random_genome_whole(random_genome, tmp_path):
    folder, _ = random_genome
    prefix = str(tmp_path / "genome")
    assert main(["opportunities", str(folder / "reference"), "--build", "R", "-o", prefix,
                 "--types", "SBS6,SBS96"]) == 0
    want = model(folder / "genome.fa")["SBS96"]
    assert written(prefix, "SBS96") == want
    sbs6 = written(prefix, "SBS6")
    for label, value in sbs6.items():
        assert value == sum(count for channel, count in want.items() if channel[2:5] == label)


# ---- errors ------------------------------------------------------------------------------

def test_id83_has_no_opportunity(phage, tmp_path, capsys):
    assert main(["opportunities", str(phage / "plain"), "-o", str(tmp_path / "x"),
                 "--types", "SBS96,ID83"]) == 2
    assert capsys.readouterr().err == (
        "mutflank opportunities: error: ID83 has no simple opportunity: an indel's chance "
        "depends on the repeat or microhomology around it, not on one context of fixed width; "
        "choose from SBS6,SBS96,SBS1536,SBS192,SBS384,DBS78\n")
    assert not list(tmp_path.iterdir())


def test_strand_kinds_need_an_annotated_reference(phage, tmp_path, capsys):
    assert main(["opportunities", str(phage / "plain"), "-o", str(tmp_path / "x"),
                 "--types", "SBS192"]) == 2
    assert capsys.readouterr().err == (
        f"mutflank opportunities: error: SBS192 needs a reference with transcription strands: "
        f"{phage / 'plain'}/L has none (write it with mutflank reference --annotation "
        "GENES.gtf)\n")


def test_several_builds_need_build(phage, tmp_path, capsys):
    root = tmp_path / "reference"
    for build in ("A", "B"):
        (root / build).mkdir(parents=True)
        (root / build / "1.txt").write_bytes(bytes([0, 1, 2, 3]))
    assert main(["opportunities", str(root), "-o", str(tmp_path / "x")]) == 2
    assert capsys.readouterr().err == (
        f"mutflank opportunities: error: --build is required: the reference {root} has 2 "
        "build folders\n")
    assert main(["opportunities", str(root), "--build", "C", "-o", str(tmp_path / "x")]) == 1
    assert capsys.readouterr().err == (
        f"mutflank opportunities: error: {root}: no C folder in the reference folder (it holds "
        "A (1); B (1))\n")


def test_unknown_type_is_a_usage_error(phage, tmp_path, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["opportunities", str(phage / "plain"), "-o", str(tmp_path / "x"),
              "--types", "SBS97"])
    assert stop.value.code == 2
    assert capsys.readouterr().err.endswith(
        "argument --types: unknown matrix type SBS97: choose from "
        "SBS6,SBS96,SBS1536,SBS192,SBS384,DBS78\n")


# ---- the picture -------------------------------------------------------------------------

def test_plot_draws_the_context_frequencies(phage, tmp_path, capsys):
    from mutflank_tools.plots import contexts

    prefix = str(tmp_path / "lambda")
    assert main(["opportunities", str(phage / "plain"), "-o", prefix,
                 "--types", "SBS96,DBS78"]) == 0
    capsys.readouterr()
    for kind, count in (("SBS96", 32), ("DBS78", 10)):
        picture = tmp_path / f"{kind}.png"
        assert main(["plot", f"{prefix}.{kind}.tsv", "-o", str(picture)]) == 0
        assert capsys.readouterr().err == (f"mutflank plot: {kind}, drew the frequencies of "
                                           f"{count} contexts -> {picture}\n")
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    values = written(prefix, "SBS96")
    want = model(phage / "lambda.fa")["SBS96"]
    labels, counts = list(dict.fromkeys(contexts.context(label) for label in want)), []
    counts = [values[next(label for label in want if contexts.context(label) == context)]
              for context in labels]
    drawn = contexts.figure("SBS96", labels, np.array(counts, dtype=float), "x")
    heights = [bar.get_height() for bar in drawn.axes[0].patches]
    assert np.allclose(heights, np.array(counts) / sum(counts))
    assert labels[:3] == ["ACA", "ACC", "ACG"] and labels[-1] == "TTT" and len(labels) == 32


def test_plot_refuses_channels_of_one_context_that_differ(phage, tmp_path, capsys):
    prefix = str(tmp_path / "lambda")
    assert main(["opportunities", str(phage / "plain"), "-o", prefix, "--types", "SBS96"]) == 0
    lines = Path(f"{prefix}.SBS96.tsv").read_text().splitlines()
    lines[2] = lines[2].split("\t")[0] + "\t7"  # A[C>A]C, whose context ACC is on line 19 too
    Path(f"{prefix}.SBS96.tsv").write_text("\n".join(lines) + "\n")
    capsys.readouterr()
    assert main(["plot", f"{prefix}.SBS96.tsv", "-o", str(tmp_path / "x.png")]) == 1
    value = lines[18].split("\t")[1]  # A[C>G]C keeps the true count
    assert capsys.readouterr().err == (
        f"mutflank plot: error: {prefix}.SBS96.tsv: line 19: A[C>G]C holds {value}, but "
        "A[C>A]C of the same context ACC holds 7: not the opportunities of one sequence\n")
