"""`mutflank extract --opportunities --signature-opportunities`: the signatures found in an
exome's counts reported in a genome's terms, against the same run without opportunities
rescaled literally; the exposures unchanged; the usage error of one side alone."""

from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("scipy")
from mutflank_tools.cli import main  # noqa: E402
from mutflank_tools.counting import channels  # noqa: E402


def write(path, corner, columns, values, number=repr):
    lines = ["\t".join([corner, *columns])]
    lines += ["\t".join([label, *map(number, row)])
              for label, row in zip(channels.SBS96, values.tolist())]
    Path(path).write_text("\n".join(lines) + "\n")
    return str(path)


def table(path):
    lines = [line.split("\t") for line in Path(path).read_text().splitlines()]
    return np.array([[float(cell) for cell in line[1:]] for line in lines[1:]])


@pytest.fixture
def files(tmp_path):
    rng = np.random.default_rng(5)
    planted = rng.dirichlet(np.full(96, 0.3), size=3).T
    counts = rng.poisson(planted @ rng.dirichlet(np.ones(3), size=20).T * 1500)
    genome = rng.integers(10**6, 10**7, 96).astype(float)
    exome = genome * rng.uniform(0.01, 0.05, 96)
    exome[7] = 0  # a context the exome lacks: its channel is 0 in genome terms too
    return {
        "matrix": write(tmp_path / "m.tsv", "MutationType", [f"S{i}" for i in range(20)],
                        counts, number=str),
        "mine": write(tmp_path / "exome.tsv", "MutationType", ["opportunities"],
                      exome[:, None]),
        "theirs": write(tmp_path / "genome.tsv", "MutationType", ["opportunities"],
                        genome[:, None]),
        "ratio": np.divide(genome, exome, out=np.zeros(96), where=exome > 0),
        "folder": tmp_path,
    }


def run(files, prefix, *more):
    return main(["extract", files["matrix"], "-o", str(files["folder"] / prefix), "--ranks",
                 "3-3", "--replicates", "4", "--seed", "7", *more])


def test_signatures_in_genome_terms_are_a_literal_rescale(files, capsys):
    assert run(files, "plain") == 0
    assert run(files, "genome", "--opportunities", files["mine"],
               "--signature-opportunities", files["theirs"]) == 0
    folder = files["folder"]
    plain = table(folder / "plain.signatures.tsv")
    want = plain * files["ratio"][:, None]
    want /= want.sum(axis=0)
    assert np.allclose(table(folder / "genome.signatures.tsv"), want, rtol=1e-8, atol=1e-9)
    assert table(folder / "genome.signatures.tsv")[7].tolist() == [0.0, 0.0, 0.0]
    assert (folder / "genome.exposures.tsv").read_text() == \
        (folder / "plain.exposures.tsv").read_text()
    assert (f"mutflank extract: signatures in the terms of {files['theirs']}: rescaled by the "
            f"opportunities {files['theirs']} / {files['mine']}") in capsys.readouterr().err


def test_opportunities_alone_is_a_usage_error(files, capsys):
    assert run(files, "x", "--opportunities", files["mine"]) == 2
    assert capsys.readouterr().err == (
        "mutflank extract: error: --opportunities needs --signature-opportunities "
        "GENOME.<type>.tsv: the opportunities of the genome the signatures were made on "
        "(`mutflank opportunities REFERENCE --build BUILD -o genome` writes them), never "
        "assumed\n")
