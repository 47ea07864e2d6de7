"""The SNVs of VCF text counted by the engine as it reads them give what counting's own steps
give: every matrix, every summary line and every fault, on seeded VCFs that hold what the rules
are about (sites of two alleles, copies, adjacent SNVs phased both ways, records of several
bases beside SNVs, REF mismatches, chromosomes without a reference file, positions past the
end, the ends of chromosomes and N in the reference), read whole and streamed past a small
hold, sorted and not."""

import random

import pytest

from cli_support import write_text

pytest.importorskip("mutflank_tools")  # not installed under make sanitize
from mutflank_tools.cli import main  # noqa: E402
from mutflank_tools.counting import doublets, snvs, work  # noqa: E402

GENOMES = {"1": 1500, "2": 300}
SAMPLES = ("S1", "S2", "S3")
CALLS = ("0/1", "1/1", "0|1", "1|0", "1|1", "0|1:4", "1|0:4", "./1", "1")


def genome():
    rng = random.Random(7)
    bases = {name: [rng.choice("ACGT") for _ in range(length)]
             for name, length in GENOMES.items()}
    for at in (200, 201, 650, 1100):  # N beside SNVs and under them
        bases["1"][at] = "N"
    return {name: "".join(letters) for name, letters in bases.items()}


GENOME = genome()


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    folder = tmp_path_factory.mktemp("reference")
    fasta = write_text(folder / "g.fa", "".join(f">{name}\n{bases}\n"
                                                for name, bases in GENOME.items()))
    assert main(["reference", str(fasta), str(folder / "ref"), "--build", "GRCh38"]) == 0
    return folder / "ref"


def other(base, rng):
    return rng.choice([letter for letter in "ACGT" if letter != base])


def records(seed):
    """(chromosome, position, REF, ALT, {sample: genotype}) of one seeded input."""
    rng = random.Random(seed)
    out = []

    def carriers():
        chosen = rng.sample(SAMPLES, rng.randint(1, len(SAMPLES)))
        return {sample: rng.choice(CALLS) for sample in chosen}

    def snv(chromosome, pos, calls=None):
        bases = GENOME.get(chromosome, "")
        ref = bases[pos - 1] if pos <= len(bases) else rng.choice("ACGT")
        ref = ref if ref != "N" else "A"
        out.append((chromosome, pos, ref, other(ref, rng), calls or carriers()))

    for _ in range(120):
        snv("1", rng.randint(1, GENOMES["1"]))
    for _ in range(25):  # runs of two and three SNVs of one sample
        start, calls = rng.randint(3, GENOMES["1"] - 5), {rng.choice(SAMPLES): "0/1"}
        for pos in range(start, start + rng.choice((2, 2, 3))):
            snv("1", pos, calls)
    for _ in range(6):  # sites of two alleles
        pos = rng.randint(2, GENOMES["1"] - 1)
        ref = GENOME["1"][pos - 1].replace("N", "A")
        alts = rng.sample([letter for letter in "ACGT" if letter != ref], 2)
        out.append(("1", pos, ref, ",".join(alts), {rng.choice(SAMPLES): "1/2"}))
    for _ in range(6):  # records of several bases, an SNV beside some
        pos = rng.randint(2, GENOMES["1"] - 6)
        ref = GENOME["1"][pos - 1:pos + 3]
        alt = "".join(other(base, rng) if i in (0, 2, 3) else base for i, base in enumerate(ref))
        calls = {rng.choice(SAMPLES): "0/1"}
        out.append(("1", pos, ref, alt, calls))
        snv("1", pos + 4, calls)
    for _ in range(4):  # equal-length alleles that trim to one base
        pos = rng.randint(2, GENOMES["1"] - 2)
        ref = GENOME["1"][pos - 1:pos + 1]
        out.append(("1", pos, ref, ref[0] + other(ref[1], rng), carriers()))
    for _ in range(3):  # alleles of no class: a base that is no A, C, G, T
        pos = rng.randint(2, GENOMES["1"] - 2)
        out.append(("1", pos, GENOME["1"][pos - 1], "N", carriers()))
    for _ in range(3):  # an indel
        pos = rng.randint(2, GENOMES["1"] - 2)
        out.append(("1", pos, GENOME["1"][pos - 1], GENOME["1"][pos - 1] + "AC", carriers()))
    for _ in range(30):
        snv("2", rng.randint(1, GENOMES["2"]))
    snv("2", GENOMES["2"] + rng.randint(1, 50))  # past the end
    for _ in range(rng.choice((0, 3, 12))):  # REF mismatches: some seeds past 5%
        pos = rng.randint(1, GENOMES["1"])
        ref = other(GENOME["1"][pos - 1], rng)
        out.append(("1", pos, ref, other(ref, rng), carriers()))
    for _ in range(rng.choice((0, 2))):  # a chromosome without a file
        snv("7", rng.randint(1, 500))
    out += [rng.choice(out) for _ in range(5)]  # the same record again
    return out


def write_vcf(path, rows, order):
    lines = ["##fileformat=VCFv4.2",
             '##FORMAT=<ID=GT,Number=1,Type=String,Description="">',
             '##FORMAT=<ID=PS,Number=1,Type=Integer,Description="">',
             "\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT",
                        *SAMPLES])]
    if order == "sorted":
        rows = sorted(rows, key=lambda row: (row[0], row[1]))
    for chromosome, pos, ref, alt, calls in rows:
        fields = [(calls.get(sample, "0/0") + ":.").split(":")[:2] for sample in SAMPLES]
        lines.append("\t".join([chromosome, str(pos), ".", ref, alt, ".", "PASS", ".", "GT:PS",
                                *[f"{gt}:{ps}" for gt, ps in fields]]))
    return write_text(path, "\n".join(lines) + "\n")


def run(capsys, monkeypatch, reference, calls, types, hold, engine, prefix):
    """(exit status, standard error, {file name: text}) of one run of the input `calls` (or
    inputs: a list)."""
    monkeypatch.setattr(snvs, "ENGINE", engine)
    monkeypatch.setattr(work, "BATCH_RECORDS", 16)  # many batches, and steps between them
    if hold is not None:
        monkeypatch.setattr(doublets, "HOLD", hold)
    inputs = [str(path) for path in (calls if isinstance(calls, list) else [calls])]
    code = main(["matrix", *inputs, "--reference", str(reference), "-o", str(prefix), *types])
    err = capsys.readouterr().err.replace(str(prefix), "PREFIX")
    written = {path.name[len(prefix.name):]: path.read_text()
               for path in prefix.parent.glob(prefix.name + ".*")}
    return code, err, written


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("order", ["sorted", "as written"])
@pytest.mark.parametrize("hold", [None, 4])
@pytest.mark.parametrize("types", [(), ("--types", "SBS96"), ("--types", "SBS1536,DBS78,SBS6")])
def test_the_engine_counts_snvs_as_counting_does(capsys, monkeypatch, reference, tmp_path, seed,
                                                 order, hold, types):
    calls = write_vcf(tmp_path / "calls.vcf", records(seed), order)
    python = run(capsys, monkeypatch, reference, calls, types, hold, False, tmp_path / "p")
    engine = run(capsys, monkeypatch, reference, calls, types, hold, True, tmp_path / "e")
    assert engine == python
    if order == "sorted" and python[0] == 0:
        assert python[2]  # matrices were written


@pytest.mark.parametrize("seed", [0, 1, 2, 3, 5])
@pytest.mark.parametrize("engine", [True, False])
def test_a_sorted_input_streamed_past_the_hold_counts_as_whole(capsys, monkeypatch, reference,
                                                               tmp_path, seed, engine):
    # Records of several bases sit beside SNVs: their stretches keep the order of the input.
    calls = write_vcf(tmp_path / "calls.vcf", records(seed), "sorted")
    options = ("--allow-ref-mismatch",)
    whole = run(capsys, monkeypatch, reference, calls, options, None, engine, tmp_path / "w")
    streamed = run(capsys, monkeypatch, reference, calls, options, 4, engine, tmp_path / "s")
    assert whole[0] == 0, whole[1]
    assert streamed == whole


@pytest.mark.parametrize("seed", [0, 3])
@pytest.mark.parametrize("hold", [None, 4])
@pytest.mark.parametrize("options", [("--label-by-input",), ("--label-by-input", "--sample", "S2")])
def test_the_engine_counts_several_inputs_as_counting_does(capsys, monkeypatch, reference,
                                                           tmp_path, seed, hold, options):
    # Batches of several inputs counted together, each input's SNVs stepped with its own.
    calls = [write_vcf(tmp_path / f"calls{number}.vcf", records(seed + 10 * number), "sorted")
             for number in range(3)]
    options += ("--allow-ref-mismatch",)
    python = run(capsys, monkeypatch, reference, calls, options, hold, False, tmp_path / "p")
    engine = run(capsys, monkeypatch, reference, calls, options, hold, True, tmp_path / "e")
    assert python[0] == 0, python[1]
    assert engine == python
