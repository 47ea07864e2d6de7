"""`mutflank fit --opportunities --signature-opportunities`: the fit of signatures rescaled to
the samples' sequence against a literal rescale followed by scipy's NNLS, what fit.tsv says,
and one test for each error."""

from pathlib import Path

import numpy as np
import pytest

scipy_optimize = pytest.importorskip("scipy.optimize")

from mutflank_tools.cli import main  # noqa: E402
from mutflank_tools.counting import channels  # noqa: E402

LABELS = list(channels.SBS96)


def write(path, head, columns, values, labels=LABELS):
    lines = ["\t".join([head, *columns])]
    lines += ["\t".join([label, *map(repr, row)]) for label, row in zip(labels, values.tolist())]
    Path(path).write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.fixture
def files(tmp_path):
    """Signatures (96 x 4), a matrix of 5 samples drawn from them in exome terms, and the
    exome's and the genome's opportunities (one count per context, shared by its channels)."""
    rng = np.random.default_rng(21)
    signatures = rng.dirichlet(np.full(96, 0.4), size=4).T
    genome = np.repeat(rng.integers(10**6, 10**7, 32), 3).astype(float)
    genome = genome.reshape(2, 16, 3).transpose(0, 2, 1).reshape(96)  # C>A C>G C>T share
    exome = genome * rng.uniform(0.005, 0.05, 96)
    truth = signatures * (exome / genome)[:, None]
    truth /= truth.sum(axis=0)
    counts = rng.poisson(truth @ rng.uniform(0, 400, (4, 5))).astype(float)
    names = [f"S{i}" for i in range(5)]
    return {
        "signatures": signatures, "counts": counts, "exome": exome, "genome": genome,
        "sig": write(tmp_path / "sig.tsv", "Type", ["A", "B", "C", "D"], signatures),
        "matrix": write(tmp_path / "m.tsv", "MutationType", names, counts),
        "mine": write(tmp_path / "exome.SBS96.tsv", "MutationType", ["opportunities"],
                      exome[:, None]),
        "theirs": write(tmp_path / "genome.SBS96.tsv", "MutationType", ["opportunities"],
                        genome[:, None]),
        "out": str(tmp_path / "out"),
    }


def exposures(prefix):
    lines = [line.split("\t") for line in Path(f"{prefix}.exposures.tsv").read_text()
             .splitlines()]
    return np.array([[float(cell) for cell in line[1:]] for line in lines[1:]])  # k x samples


def test_fit_equals_a_literal_rescale_then_nnls(files, capsys):
    assert main(["fit", files["matrix"], "--signatures", files["sig"], "-o", files["out"],
                 "--opportunities", files["mine"],
                 "--signature-opportunities", files["theirs"]]) == 0
    scaled = files["signatures"] * (files["exome"] / files["genome"])[:, None]
    scaled /= scaled.sum(axis=0)
    want = np.array([scipy_optimize.nnls(scaled, sample)[0]
                     for sample in files["counts"].T]).T
    got = exposures(files["out"])
    assert np.allclose(got, want, rtol=1e-6, atol=1e-6)
    # In the samples' own mutations: the exposures add up to nearly each sample's total.
    assert np.allclose(got.sum(axis=0), files["counts"].sum(axis=0), rtol=0.2)
    fit_rows = Path(f"{files['out']}.fit.tsv").read_text().splitlines()
    assert fit_rows[0] == "Sample\tTotal\tCosine\tRSS\tSignatures\tRescaled"
    assert all(row.endswith(f"\t{files['mine']} / {files['theirs']}") for row in fit_rows[1:])
    assert capsys.readouterr().err.splitlines()[0] == (
        f"mutflank fit: signatures rescaled by the opportunities {files['mine']} / "
        f"{files['theirs']}")


def test_equal_opportunities_change_nothing(files):
    plain = files["out"] + ".plain"
    assert main(["fit", files["matrix"], "--signatures", files["sig"], "-o", plain]) == 0
    assert main(["fit", files["matrix"], "--signatures", files["sig"], "-o", files["out"],
                 "--opportunities", files["theirs"],
                 "--signature-opportunities", files["theirs"]]) == 0
    assert np.allclose(exposures(files["out"]), exposures(plain), rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("given, message", [
    (["--opportunities", "mine"],
     "--opportunities needs --signature-opportunities GENOME.<type>.tsv: the opportunities of "
     "the genome the signatures were made on (`mutflank opportunities REFERENCE --build BUILD "
     "-o genome` writes them), never assumed"),
    (["--signature-opportunities", "theirs"],
     "--signature-opportunities needs --opportunities SAMPLES.<type>.tsv: the opportunities "
     "of the samples' sequence (`mutflank opportunities REFERENCE --regions BED -o samples`)"),
])
def test_one_side_alone_is_a_usage_error(files, capsys, given, message):
    given = [given[0], files[given[1]]]
    assert main(["fit", files["matrix"], "--signatures", files["sig"], "-o", files["out"],
                 *given]) == 2
    assert capsys.readouterr().err == f"mutflank fit: error: {message}\n"
    assert not Path(f"{files['out']}.fit.tsv").exists()


def run_with(files, capsys, mine):
    status = main(["fit", files["matrix"], "--signatures", files["sig"], "-o", files["out"],
                   "--opportunities", mine, "--signature-opportunities", files["theirs"]])
    return status, capsys.readouterr().err


def test_a_channel_missing_from_the_opportunities(files, capsys, tmp_path):
    mine = write(tmp_path / "short.tsv", "MutationType", ["opportunities"],
                 files["exome"][:95, None], LABELS[:95])
    assert run_with(files, capsys, mine) == (1, (
        f"mutflank fit: error: {mine}: line 1: no channel 'T[T>G]T' (line 97 of the matrix "
        f"{files['matrix']})\n"))


def test_opportunities_of_two_columns(files, capsys, tmp_path):
    mine = write(tmp_path / "two.tsv", "MutationType", ["a", "b"],
                 np.c_[files["exome"], files["exome"]])
    assert run_with(files, capsys, mine) == (1, (
        f"mutflank fit: error: {mine}: line 1: 2 columns: opportunities are one column per "
        "channel, as `mutflank opportunities` writes them\n"))


def test_a_channel_the_genome_never_offers(files, capsys, tmp_path):
    genome = files["genome"].copy()
    genome[5] = 0
    write(files["theirs"], "MutationType", ["opportunities"], genome[:, None])
    status, err = run_with(files, capsys, files["mine"])
    assert status == 1
    assert err == (f"mutflank fit: error: {files['theirs']}: line 7: channel "
                   f"'{LABELS[5]}' has no opportunity, but {files['mine']} gives it "
                   f"{'%.10g' % files['exome'][5]}: are both of one reference?\n")


def test_a_signature_left_with_nothing(files, capsys, tmp_path):
    only = np.zeros((96, 4))
    only[:, :3] = files["signatures"][:, :3]
    only[10, 3] = 1.0  # the fourth signature lives on one channel, absent from the exome
    write(files["sig"], "Type", ["A", "B", "C", "D"], only)
    exome = files["exome"].copy()
    exome[10] = 0
    mine = write(tmp_path / "holes.tsv", "MutationType", ["opportunities"], exome[:, None])
    assert run_with(files, capsys, mine) == (1, (
        f"mutflank fit: error: {mine}: signature D has no weight left: its channels have no "
        "opportunity here\n"))
