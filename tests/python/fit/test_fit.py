"""`mutflank fit`: the solvers against the conditions of their optimum and against planted
exposures, the bootstrap against its nominal coverage, and the files' rules."""

import os
import re
import subprocess

import numpy as np
import pytest

from cli_support import COMMAND, run, write_text

pytest.importorskip("scipy")
pytest.importorskip("mutflank_tools")  # not installed under make sanitize
from mutflank_tools.counting import channels  # noqa: E402
from mutflank_tools.fit import solve as fit_solve  # noqa: E402


def random_signatures(rng, channel_count, k):
    return rng.dirichlet(np.full(channel_count, 0.5), size=k).T  # channels x k


def planted(rng, samples, k, present=3, scale=2000.0):
    """Exposures (samples x k) with `present` random signatures of each sample above 0."""
    exposures = np.zeros((samples, k))
    for row in exposures:
        row[rng.choice(k, present, replace=False)] = rng.uniform(0.5, 1.5, present) * scale
    return exposures


def write_table(path, head, rows, columns, values, number=repr):
    lines = ["\t".join([head, *columns])]
    lines += ["\t".join([row, *map(number, line)]) for row, line in zip(rows, values.tolist())]
    return write_text(path, "\n".join(lines) + "\n")


def read_table(path):
    """(row labels, column names, values) of a written table."""
    lines = [line.split("\t") for line in path.read_text().splitlines()]
    values = np.array([[np.nan if cell == "NA" else float(cell) for cell in line[1:]]
                       for line in lines[1:]])
    return [line[0] for line in lines[1:]], lines[0][1:], values


def fit_files(folder, signatures, counts, labels=None, *options, count_format=repr):
    """Writes the signatures (channels x k) and the matrix (samples x channels), runs the
    command; (status, stderr, exposures samples x k or None)."""
    labels = labels or list(channels.SBS96)
    names = [f"SBS{j + 1}" for j in range(signatures.shape[1])]
    write_table(folder / "sig.tsv", "Type", labels, names, signatures)
    write_table(folder / "m.tsv", "MutationType", labels,
                [f"S{i}" for i in range(len(counts))], counts.T, count_format)
    status, _, err = run("fit", folder / "m.tsv", "--signatures", folder / "sig.tsv",
                         "-o", folder / "out", *options)
    if status:
        return status, err, None
    rows, _, values = read_table(folder / "out.exposures.tsv")
    return status, err, values.T


def kkt_violation(signatures, counts, exposures, allowed=None):
    """The largest breach, relative to the sample's scale, of the conditions of an NNLS
    optimum: x >= 0, gradient S'(Sx - m) = 0 where x > 0 and >= 0 where x = 0."""
    gradient = (exposures @ signatures.T - counts) @ signatures
    scale = np.abs(counts @ signatures).max(axis=1, keepdims=True) + 1e-300
    allowed = np.ones_like(exposures, bool) if allowed is None else allowed
    breach = np.where(exposures > 0, np.abs(gradient), np.maximum(-gradient, 0))
    breach = np.where(allowed, breach, 0) / scale
    return max(breach.max(), -exposures.min(), np.abs(exposures[~allowed]).max(initial=0))


# ---- nnls ----------------------------------------------------------------------------------

@pytest.mark.parametrize("channel_count, k, noise", [
    (96, 79, "poisson"),  # the stacked solver
    (96, 10, "poisson"),
    (78, 20, "uniform"),  # samples that are no mixture at all
    (12, 20, "poisson"),  # more signatures than channels: the one-by-one solver
    (96, 60, "dependent"),  # half of them nearly mixtures of the others: exchanges stall
])
def test_nnls_meets_the_optimality_conditions(channel_count, k, noise):
    rng = np.random.default_rng(k + channel_count)
    signatures = random_signatures(rng, channel_count, k)
    if noise == "dependent":
        half = k // 2
        signatures[:, half:] = (signatures[:, :half] @ rng.dirichlet(np.ones(half), half).T
                                + 0.01 * random_signatures(rng, channel_count, half))
        noise = "poisson"
    if noise == "poisson":
        counts = rng.poisson(planted(rng, 300, k, present=min(5, k)) @ signatures.T)
    else:
        counts = rng.uniform(0, 100, (300, channel_count))
    counts = counts.astype(float)
    counts[0] = 0  # a sample without mutations
    allowed = rng.random((300, k)) < 0.7
    assert kkt_violation(signatures, counts, fit_solve.nnls(signatures, counts)) < 1e-8
    restricted = fit_solve.nnls(signatures, counts, allowed=allowed)
    assert kkt_violation(signatures, counts, restricted, allowed) < 1e-8


@pytest.mark.parametrize("kind", ["SBS96", "DBS78", "ID83"])
def test_nnls_recovers_planted_exposures_of_noiseless_mixtures(tmp_path, kind):
    rng = np.random.default_rng(len(kind))
    labels = list(getattr(channels, kind))
    signatures = random_signatures(rng, len(labels), 12)
    exposures = planted(rng, 40, 12, present=4)
    order = rng.permutation(len(labels))  # the signatures' rows in another order
    names = [f"SBS{j + 1}" for j in range(12)]
    scale = np.ones(12)
    scale[11] = 3.0  # said, and scaled back to sum to 1
    write_table(tmp_path / "sig.tsv", "MutationType", [labels[i] for i in order], names,
                signatures[order] * scale)
    write_table(tmp_path / "m.tsv", "MutationType", labels, [f"S{i}" for i in range(40)],
                (exposures @ signatures.T).T)
    subset = ["SBS12", "SBS1", *names[1:11]]
    status, _, err = run("fit", tmp_path / "m.tsv", "--signatures", tmp_path / "sig.tsv",
                         "-o", tmp_path / "out", "--signature-subset", ",".join(subset))
    assert status == 0, err
    assert err.splitlines()[0] == f"mutflank fit: {tmp_path / 'sig.tsv'}: scaled to sum to 1: SBS12"
    rows, samples, found = read_table(tmp_path / "out.exposures.tsv")
    assert rows == subset and samples == [f"S{i}" for i in range(40)]
    wanted = exposures[:, [names.index(name) for name in subset]].T
    np.testing.assert_allclose(found, wanted, rtol=1e-8, atol=1e-6)
    _, head, quality = read_table(tmp_path / "out.fit.tsv")
    assert head == ["Total", "Cosine", "RSS", "Signatures"]
    np.testing.assert_allclose(quality[:, 0], exposures.sum(axis=1), rtol=1e-9)
    np.testing.assert_allclose(quality[:, 1], 1.0, atol=1e-9)
    np.testing.assert_allclose(quality[:, 2], 0.0, atol=1e-6)
    assert quality[:, 3].tolist() == [4.0] * 40


def test_a_sample_without_mutations_has_zero_exposures_and_no_cosine(tmp_path):
    rng = np.random.default_rng(5)
    signatures = random_signatures(rng, 96, 6)
    counts = rng.poisson(planted(rng, 3, 6) @ signatures.T)
    counts[1] = 0
    status, err, exposures = fit_files(tmp_path, signatures, counts, None, "--method", "strict",
                                       "--bootstrap", "20", "--seed", "1", count_format=str)
    assert status == 0, err
    assert exposures[1].tolist() == [0.0] * 6 and exposures[0].sum() > 0
    fit_rows = (tmp_path / "out.fit.tsv").read_text().splitlines()
    assert fit_rows[2] == "S1\t0\tNA\t0\t0"
    boot = [line for line in (tmp_path / "out.bootstrap.tsv").read_text().splitlines()
            if line.startswith("S1\t")]
    assert boot == [f"S1\tSBS{j}\t0\t0\t0\t0" for j in range(1, 7)]


# ---- strict --------------------------------------------------------------------------------

def test_strict_drops_absent_signatures_and_keeps_present_ones(tmp_path):
    rng = np.random.default_rng(11)
    signatures = random_signatures(rng, 96, 10)
    exposures = planted(rng, 30, 10, present=3)
    counts = rng.poisson(exposures @ signatures.T)
    _, _, loose = fit_files(tmp_path, signatures, counts, None, count_format=str)
    assert ((loose > 0) & (exposures == 0)).sum() >= 20  # NNLS fits noise with absent ones
    status, err, kept = fit_files(tmp_path, signatures, counts, None, "--method", "strict",
                                  count_format=str)
    assert status == 0, err
    assert ((kept > 0) == (exposures > 0)).all()
    _, _, quality = read_table(tmp_path / "out.fit.tsv")
    assert quality[:, 3].tolist() == [3.0] * 30


def test_strict_agrees_with_a_loop_over_scipy():
    from scipy.optimize import nnls as scipy_nnls

    rng = np.random.default_rng(12)
    signatures = random_signatures(rng, 96, 8)
    counts = rng.poisson(planted(rng, 40, 8, present=5, scale=300) @ signatures.T).astype(float)

    def fit(m, use):
        x = np.zeros(8)
        if use:
            x[use] = scipy_nnls(signatures[:, use], m)[0]
        rebuilt = signatures @ x
        return x, m @ rebuilt / (np.linalg.norm(m) * np.linalg.norm(rebuilt) or 1)

    for delta in (0.001, 0.004, 0.05):
        found = fit_solve.strict(signatures, counts, delta)
        for m, row in zip(counts, found):
            use = list(range(8))  # drop the smallest exposure, 0 or not, while within delta
            x, cosine = fit(m, use)
            while use:
                fewer = [j for j in use if j != use[np.argmin(x[use])]]
                y, fewer_cosine = fit(m, fewer)
                if cosine - fewer_cosine > delta:
                    break
                use, x, cosine = fewer, y, fewer_cosine
            np.testing.assert_allclose(row, x, rtol=1e-7, atol=1e-7)


# ---- bootstrap -----------------------------------------------------------------------------

def test_bootstrap_intervals_cover_planted_exposures_near_their_rate(tmp_path):
    rng = np.random.default_rng(13)
    signatures = random_signatures(rng, 96, 6)
    exposures = planted(rng, 150, 6, present=3, scale=400)
    counts = rng.poisson(exposures @ signatures.T)
    status, err, _ = fit_files(tmp_path, signatures, counts, None, "--bootstrap", "200",
                               "--seed", "3", count_format=str)
    assert status == 0, err
    lines = [line.split("\t") for line in (tmp_path / "out.bootstrap.tsv").read_text().splitlines()]
    assert lines[0] == ["Sample", "Signature", "Median", "Q2.5", "Q97.5", "Kept"]
    summary = np.array([[float(cell) for cell in line[2:]] for line in lines[1:]])
    summary = summary.reshape(150, 6, 4)
    present = exposures > 0
    median, low, high, kept = np.moveaxis(summary, 2, 0)
    covered = (low <= exposures) & (exposures <= high)
    assert 0.85 <= covered[present].mean() <= 0.99  # 0.90 here: the resamples keep the total
    assert (low <= median).all() and (median <= high).all()
    assert kept[present].min() >= 0.9 and 0 <= kept.min() and kept.max() <= 1


def test_the_same_seed_gives_the_same_files_also_on_workers(tmp_path, dask_scheduler):
    rng = np.random.default_rng(14)
    signatures = random_signatures(rng, 96, 8)
    counts = rng.poisson(planted(rng, 25, 8, scale=200) @ signatures.T)
    files, said = {}, {}

    def fit(name, *options):
        folder = tmp_path / name
        folder.mkdir()
        status, err, _ = fit_files(folder, signatures, counts, None, "--method", "strict",
                                   "--bootstrap", "300", *options, count_format=str)
        assert status == 0, err
        said[name] = re.findall(r"^mutflank fit: bootstrap seed (\d+)$", err, re.M)
        files[name] = [(folder / f"out.{end}.tsv").read_bytes()
                       for end in ("exposures", "fit", "bootstrap")]

    fit("one", "--seed", "8")
    fit("again", "--seed", "8")
    fit("workers", "--seed", "8", "--scheduler", dask_scheduler)
    fit("drawn")  # a seed drawn, and said so that the run can be repeated
    fit("repeated", "--seed", *said["drawn"])
    assert files["one"] == files["again"] == files["workers"]
    assert files["drawn"] == files["repeated"] and said["one"] == said["repeated"] == []
    assert files["drawn"][:2] == files["one"][:2] and files["drawn"][2] != files["one"][2]


# ---- files ---------------------------------------------------------------------------------

SBS = channels.SBS96
ROWS = "".join(f"{label}\t0.5\t{1 / 96!r}\n" for label in SBS[2:])
GOOD_SIGNATURES = f"Type\tSBS1\tSBS2\n{SBS[0]}\t0.5\t{1 / 96!r}\n{SBS[1]}\t0\t{1 / 96!r}\n" + ROWS
GOOD_MATRIX = "MutationType\tS1\n" + "".join(f"{label}\t{i % 3}\n" for i, label in enumerate(SBS))


@pytest.mark.parametrize("signatures, matrix, options, message", [
    (GOOD_SIGNATURES.replace("Type", "Channel"), GOOD_MATRIX, (),
     "sig.tsv: line 1: the first column is headed 'Channel', not MutationType or Type"),
    (GOOD_SIGNATURES.replace("SBS2", "SBS1"), GOOD_MATRIX, (),
     "sig.tsv: line 1: signature 'SBS1' named twice"),
    (GOOD_SIGNATURES, GOOD_MATRIX.replace("\tS1\n", "\tS1\t\n", 1), (),
     "m.tsv: line 1: a sample column has no name"),
    (GOOD_SIGNATURES.replace(SBS[1], SBS[0]), GOOD_MATRIX, (),
     f"sig.tsv: line 3: '{SBS[0]}' listed twice (first on line 2)"),
    (GOOD_SIGNATURES.replace("\t0\t", "\t-0.1\t"), GOOD_MATRIX, (),
     "sig.tsv: line 3: signature SBS1: '-0.1' is negative"),
    (GOOD_SIGNATURES.replace("\t0\t", "\tnan\t"), GOOD_MATRIX, (),
     "sig.tsv: line 3: signature SBS1: 'nan' is not a number"),
    (GOOD_SIGNATURES.replace("\t0\t", "\t0,1\t"), GOOD_MATRIX, (),
     "sig.tsv: line 3: signature SBS1: '0,1' is not a number"),
    (GOOD_SIGNATURES.replace("\t0\t", "\t"), GOOD_MATRIX, (),
     "sig.tsv: line 3: 1 value for 2 signatures"),
    ("Type\tSBS1\tSBS2\n" + "".join(f"{label}\t0.5\t0\n" for label in SBS), GOOD_MATRIX, (),
     "sig.tsv: line 1: signature SBS2 sums to 0"),
    (GOOD_SIGNATURES.replace(f"{SBS[5]}\t", "A[C>A]X\t"), GOOD_MATRIX, (),
     f"m.tsv: line 7: channel '{SBS[5]}' is not in the signatures sig.tsv"),
    (GOOD_SIGNATURES + "X[C>A]X\t0\t0\n", GOOD_MATRIX, (),
     "sig.tsv: line 98: channel 'X[C>A]X' is not in the matrix m.tsv"),
    (GOOD_SIGNATURES, GOOD_MATRIX.replace("MutationType", "Channel"), (),
     "m.tsv: line 1: the first column is headed 'Channel', not MutationType or Type"),
    (GOOD_SIGNATURES, GOOD_MATRIX.replace(f"{SBS[3]}\t0", f"{SBS[3]}\tinf"), (),
     "m.tsv: line 5: sample S1: 'inf' is not finite"),
    (GOOD_SIGNATURES, GOOD_MATRIX.replace(f"{SBS[3]}\t0", f"{SBS[3]}\t9e302"), (),
     "m.tsv: line 5: sample S1: '9e302' is larger than 9,007,199,254,740,992, the largest "
     "count read exactly"),
    (GOOD_SIGNATURES, GOOD_MATRIX.replace(f"{SBS[3]}\t0", f"{SBS[3]}\t0.5"),
     ("--bootstrap", "5"), "m.tsv: line 5: sample S1: 0.5 is not a whole count (--bootstrap "
                           "resamples mutations: use a matrix of counts)"),
    (GOOD_SIGNATURES, GOOD_MATRIX, ("--signature-subset", "SBS2,SBS7,SBS9"),
     "sig.tsv: line 1: no signature SBS7, SBS9 (--signature-subset)"),
    ("", GOOD_MATRIX, (), "sig.tsv: empty file"),
    (GOOD_SIGNATURES, GOOD_MATRIX, ("--signature-subset", ","),
     "--signature-subset names no signature"),
])
def test_file_faults_are_one_line_naming_file_and_line(tmp_path, signatures, matrix, options,
                                                       message):
    write_text(tmp_path / "sig.tsv", signatures)
    write_text(tmp_path / "m.tsv", matrix)
    status, out, err = run("fit", "m.tsv", "--signatures", "sig.tsv", "-o", "out", *options,
                           cwd=tmp_path)
    status_wanted = 2 if message.startswith("--") else 1
    assert (status, out, err) == (status_wanted, "", f"mutflank fit: error: {message}\n")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["m.tsv", "sig.tsv"]


def test_without_scipy_the_run_names_the_package(tmp_path):
    hidden = tmp_path / "hide"
    (hidden / "scipy").mkdir(parents=True)
    write_text(hidden / "scipy" / "__init__.py", "raise ImportError('hidden')\n")
    write_text(tmp_path / "sig.tsv", GOOD_SIGNATURES)
    write_text(tmp_path / "m.tsv", GOOD_MATRIX)
    done = subprocess.run([COMMAND, "fit", "m.tsv", "--signatures", "sig.tsv", "-o", "out"],
                          cwd=tmp_path, capture_output=True, text=True, check=False,
                          env={**os.environ, "PYTHONPATH": str(hidden)})
    assert (done.returncode, done.stderr) == (1, (
        "mutflank fit: error: this needs the Python package scipy (hidden): install the Debian "
        "package python3-scipy; or pip install 'mutflank[fit]'\n"))
