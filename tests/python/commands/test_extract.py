"""`mutflank extract` end to end, in process: the files and their layouts, agreement with
`mutflank fit`, the same files with and without a Dask cluster for one seed, the pictures of
its tables, and one test per refusal."""

import re

import numpy as np
import pytest

pytest.importorskip("scipy")
pytest.importorskip("mutflank_tools")  # not installed under make sanitize
from mutflank_tools.cli import main  # noqa: E402
from mutflank_tools.counting import channels  # noqa: E402

ENDS = ("signatures", "exposures", "fit", "ranks", "decomposition")


def distinct_signatures(rng, k, most=0.6):
    while True:
        values = rng.dirichlet(np.full(96, 0.3), size=k).T
        units = values / np.linalg.norm(values, axis=0)
        similarity = units.T @ units
        np.fill_diagonal(similarity, 0)
        if similarity.max() < most:
            return values


def write_table(path, corner, rows, columns, values, number=lambda v: repr(float(v))):
    lines = ["\t".join([corner, *columns])]
    lines += ["\t".join([row, *map(number, line)]) for row, line in zip(rows, values.tolist())]
    path.write_text("\n".join(lines) + "\n")
    return path


def read(path):
    """(header, rows of fields) of a written table."""
    lines = [line.split("\t") for line in path.read_text().splitlines()]
    return lines[0], lines[1:]


@pytest.fixture(scope="module")
def cohort(tmp_path_factory):
    """A matrix of 30 samples mixing 3 planted signatures (2,000 mutations each), and a
    reference table of the 3 planted ones (P1 P2 P3) among 3 others."""
    folder = tmp_path_factory.mktemp("extract")
    rng = np.random.default_rng(23)
    signatures = distinct_signatures(rng, 6)
    shares = rng.dirichlet(np.full(3, 0.7), size=30).T
    counts = rng.poisson(signatures[:, :3] @ shares * 2000)
    samples = [f"S{i + 1}" for i in range(30)]
    matrix = write_table(folder / "cohort.SBS96.tsv", "MutationType", channels.SBS96, samples,
                         counts, number=str)
    order = [3, 0, 4, 1, 5, 2]  # the planted ones among the others, rows reversed
    reference = write_table(folder / "reference.tsv", "Type", channels.SBS96[::-1],
                            ["X1", "P1", "X2", "P2", "X3", "P3"], signatures[::-1, order])
    return dict(folder=folder, matrix=matrix, reference=reference, planted=signatures[:, :3],
                counts=counts, samples=samples)


def extract(cohort, prefix, *more, ranks="2-4", replicates=6, seed=1):
    return main(["extract", str(cohort["matrix"]), "-o", str(cohort["folder"] / prefix),
                 "--ranks", ranks, "--replicates", str(replicates), "--seed", str(seed),
                 *map(str, more)])


def outputs(folder, prefix, ends=ENDS):
    return {end: (folder / f"{prefix}.{end}.tsv").read_text() for end in ends
            if (folder / f"{prefix}.{end}.tsv").exists()}


@pytest.fixture(scope="module")
def extracted(cohort):
    assert extract(cohort, "run", "--signatures", cohort["reference"]) == 0
    return outputs(cohort["folder"], "run")


def test_the_planted_signatures_are_found_named_and_decomposed(cohort, extracted, capsys):
    folder = cohort["folder"]
    header, rows = read(folder / "run.signatures.tsv")
    assert header == ["MutationType", "SBS96A", "SBS96B", "SBS96C"]
    assert [row[0] for row in rows] == list(channels.SBS96)  # the matrix's channel order
    found = np.array([[float(cell) for cell in row[1:]] for row in rows])
    np.testing.assert_allclose(found.sum(axis=0), 1.0, atol=1e-9)
    units = lambda m: m / np.linalg.norm(m, axis=0)  # noqa: E731
    similarity = units(cohort["planted"]).T @ units(found)
    assert similarity.max(axis=0).min() > 0.97
    planted_of = ["P" + str(1 + int(column)) for column in similarity.argmax(axis=0)]
    assert sorted(planted_of) == ["P1", "P2", "P3"]

    header, rows = read(folder / "run.ranks.tsv")
    assert header == ["Rank", "Stability", "LeastStability", "Cosine", "Error", "Chosen"]
    assert [(row[0], row[-1]) for row in rows] == [("2", "no"), ("3", "yes"), ("4", "no")]
    stability = {row[0]: (float(row[1]), float(row[2])) for row in rows}
    assert stability["3"][1] > 0.9 > stability["4"][1]

    header, rows = read(folder / "run.decomposition.tsv")
    assert header == ["Signature", "Closest", "ClosestCosine", "Decomposition",
                      "DecompositionCosine"]
    assert [row[0] for row in rows] == ["SBS96A", "SBS96B", "SBS96C"]
    assert [row[1] for row in rows] == planted_of
    for row, name in zip(rows, planted_of):
        parts = [part.split(":") for part in row[3].split(";")]
        assert parts[0][0] == name and float(row[2]) > 0.97 and float(row[4]) > 0.97
        assert sum(float(share) for _, share in parts) == pytest.approx(1, abs=1e-3)

    # Signatures ordered by the mutations they explain, in fit's layouts.
    header, rows = read(folder / "run.exposures.tsv")
    assert header == ["Signature", *cohort["samples"]]
    totals = [sum(float(cell) for cell in row[1:]) for row in rows]
    assert totals == sorted(totals, reverse=True)
    assert read(folder / "run.fit.tsv")[0] == ["Sample", "Total", "Cosine", "RSS", "Signatures"]


def test_exposures_are_those_of_fit_on_the_signatures(cohort, extracted):
    folder = cohort["folder"]
    assert main(["fit", str(cohort["matrix"]), "--signatures", str(folder / "run.signatures.tsv"),
                 "-o", str(folder / "fitted")]) == 0
    for end in ("exposures", "fit"):
        header, rows = read(folder / f"run.{end}.tsv")
        again_header, again = read(folder / f"fitted.{end}.tsv")
        assert header == again_header and [row[0] for row in rows] == [row[0] for row in again]
        np.testing.assert_allclose(np.array([row[1:] for row in rows], float),
                                   np.array([row[1:] for row in again], float), rtol=1e-6,
                                   atol=1e-6)


def test_one_seed_gives_the_same_files_with_and_without_workers(cohort, extracted,
                                                                dask_scheduler, capsys):
    assert extract(cohort, "cluster", "--signatures", cohort["reference"],
                   "--scheduler", dask_scheduler) == 0
    assert outputs(cohort["folder"], "cluster") == extracted
    assert extract(cohort, "other", seed=2) == 0
    assert outputs(cohort["folder"], "other")["signatures"] != extracted["signatures"]


def test_rank_overrules_the_rule_and_is_tried_outside_the_range(cohort, capsys):
    assert extract(cohort, "forced", "--rank", 5, ranks="2-3") == 0
    _, rows = read(cohort["folder"] / "forced.ranks.tsv")
    assert [(row[0], row[-1]) for row in rows] == [("2", "no"), ("3", "no"), ("5", "yes")]
    assert read(cohort["folder"] / "forced.signatures.tsv")[0][1:] == [
        "SBS96A", "SBS96B", "SBS96C", "SBS96D", "SBS96E"]
    assert not (cohort["folder"] / "forced.decomposition.tsv").exists()
    said = capsys.readouterr().err
    assert said.endswith(
        f"mutflank extract: 5 signatures (--rank; ranks 2-5, 6 replicates each) from 30 "
        f"samples -> {cohort['folder']}/forced.signatures.tsv, {cohort['folder']}/"
        f"forced.exposures.tsv, {cohort['folder']}/forced.fit.tsv, {cohort['folder']}/"
        f"forced.ranks.tsv\n")


def test_samples_without_mutations_are_left_out_and_named(cohort, tmp_path, capsys):
    counts = np.array(cohort["counts"])
    counts[:, [4, 8]] = 0
    matrix = write_table(tmp_path / "m.tsv", "MutationType", channels.SBS96, cohort["samples"],
                         counts, number=str)
    assert main(["extract", str(matrix), "-o", str(tmp_path / "out"), "--ranks", "2-3",
                 "--replicates", "4", "--seed", "1"]) == 0
    assert capsys.readouterr().err.startswith(
        f"mutflank extract: {matrix}: left out 2 samples with no mutations: S5, S9\n")
    _, rows = read(tmp_path / "out.fit.tsv")
    assert [row for row in rows if row[0] in ("S5", "S9")] == [
        ["S5", "0", "NA", "0", "0"], ["S9", "0", "NA", "0", "0"]]


def test_signatures_and_ranks_are_drawn(cohort, extracted, capsys):
    folder = cohort["folder"]
    assert main(["plot", str(folder / "run.ranks.tsv"), "-o", str(folder / "ranks.png")]) == 0
    assert capsys.readouterr().err == (f"mutflank plot: ranks, drew 3 ranks, rank 3 chosen -> "
                                       f"{folder}/ranks.png\n")
    assert (folder / "ranks.png").read_bytes().startswith(b"\x89PNG")
    assert main(["plot", str(folder / "run.signatures.tsv"), "-o", str(folder / "sig.svg")]) == 0
    assert capsys.readouterr().err == f"mutflank plot: SBS96, drew 3 samples -> {folder}/sig.svg\n"
    drawn = (folder / "sig.svg").read_text()
    assert "SBS96A" in drawn and "mutations)" not in drawn  # proportions: no counts in titles


@pytest.mark.parametrize("text, line", [
    ("Rank\tStability\n", "line 1: not the header of a ranks table of `mutflank extract` (Rank "
                          "Stability LeastStability Cosine Error Chosen)"),
    ("Rank\tStability\tLeastStability\tCosine\tError\tChosen\n2\t0.9\t0.8\t0.9\t0.1\tmaybe\n",
     "line 2: not a row of a ranks table: a rank, four numbers and yes or no"),
    ("Rank\tStability\tLeastStability\tCosine\tError\tChosen\n2\t0.9\t0.8\t0.9\t0.1\tno\n",
     "a ranks table has ranks and one chosen: here 1 rank, 0 chosen"),
])
def test_a_broken_ranks_table_is_named(tmp_path, capsys, text, line):
    path = tmp_path / "broken.ranks.tsv"
    path.write_text(text)
    assert main(["plot", str(path), "-o", str(tmp_path / "x.png")]) == 1
    assert capsys.readouterr().err == f"mutflank plot: error: {path}: {line}\n"


# ---- refusals ------------------------------------------------------------------------------

@pytest.mark.parametrize("ranks", ["2-x", "5", "4-2", "1-3", "2-3-4", "two-three"])
def test_a_rank_range_of_other_than_two_whole_numbers_is_a_usage_error(cohort, capsys, ranks):
    with pytest.raises(SystemExit) as done:
        extract(cohort, "bad", ranks=ranks)
    assert done.value.code == 2
    assert capsys.readouterr().err.endswith(
        f"mutflank extract: error: argument --ranks: not a range of two whole numbers A-B, "
        f"2 <= A <= B: {ranks!r}\n")


def test_fewer_samples_than_the_largest_rank_is_a_usage_error(tmp_path, cohort, capsys):
    counts = np.array(cohort["counts"])[:, :5]
    counts[:, 1] = 0
    matrix = write_table(tmp_path / "few.tsv", "MutationType", channels.SBS96,
                         cohort["samples"][:5], counts, number=str)
    assert main(["extract", str(matrix), "-o", str(tmp_path / "few"), "--ranks", "2-5"]) == 2
    assert capsys.readouterr().err == (
        f"mutflank extract: error: {matrix}: 4 samples with mutations for up to 5 signatures "
        f"(--ranks, --rank): the largest rank may be 4 at most\n")
    assert list(tmp_path.iterdir()) == [matrix]


def test_reference_channels_other_than_the_matrix_are_an_error(tmp_path, cohort, capsys):
    text = cohort["reference"].read_text().splitlines()
    path = tmp_path / "short.tsv"
    path.write_text("\n".join(text[:-1]) + "\n")  # without its last channel, A[C>A]A
    assert extract(cohort, "short", "--signatures", path) == 1
    assert capsys.readouterr().err == (
        f"mutflank extract: error: {cohort['matrix']}: line 2: channel 'A[C>A]A' is not in the "
        f"signatures {path}\n")
    assert not list(cohort["folder"].glob("short.*"))


@pytest.mark.parametrize("cell, message", [
    ("2.5", "line 3: sample S1: 2.5 is not a whole count (extract resamples mutations: use a "
            "matrix of counts)"),
])
def test_a_matrix_of_proportions_is_an_error(tmp_path, cohort, capsys, cell, message):
    lines = cohort["matrix"].read_text().splitlines()
    fields = lines[2].split("\t")
    lines[2] = "\t".join([fields[0], cell, *fields[2:]])
    path = tmp_path / "p.tsv"
    path.write_text("\n".join(lines) + "\n")
    assert main(["extract", str(path), "-o", str(tmp_path / "p")]) == 1
    assert capsys.readouterr().err == f"mutflank extract: error: {path}: {message}\n"


def test_a_matrix_without_mutations_is_an_error(tmp_path, capsys):
    path = write_table(tmp_path / "zero.tsv", "MutationType", channels.SBS96, ["S1", "S2"],
                       np.zeros((96, 2), int), number=str)
    assert main(["extract", str(path), "-o", str(tmp_path / "z")]) == 1
    assert capsys.readouterr().err == f"mutflank extract: error: {path}: no sample has mutations\n"


def test_help_shows_an_example(capsys):
    with pytest.raises(SystemExit) as done:
        main(["extract", "--help"])
    assert done.value.code == 0
    shown = capsys.readouterr().out
    assert re.search(r"example:\n  mutflank extract cohort.SBS96.tsv -o cohort ", shown)
