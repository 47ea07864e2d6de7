"""`mutflank fit` on hostile inputs (huge counts, many signatures, endless files, names holding
escape sequences) and its bootstrap's seeds, through the command in process."""

import tracemalloc

import numpy as np
import pytest

pytest.importorskip("scipy")
pytest.importorskip("mutflank_tools")
from mutflank_tools.counting import channels  # noqa: E402
from mutflank_tools.fit import signature_tables  # noqa: E402
from mutflank_tools.cli import main  # noqa: E402


def command(capsys, *argv):
    """(exit status, standard error) of `mutflank ARGV` run in this process."""
    try:
        status = main([str(arg) for arg in argv])
    except SystemExit as stop:  # argparse's usage errors
        status = stop.code
    return status, capsys.readouterr().err


def write_table(path, head, rows, columns, values, number=repr):
    """A table: `head` and the columns, then a row per label of values (rows x columns)."""
    lines = ["\t".join([head, *columns])]
    lines += ["\t".join([row, *map(number, line)]) for row, line in zip(rows, values.tolist())]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def signatures_file(path, labels, k, seed=1, names=None):
    values = np.random.default_rng(seed).dirichlet(np.full(len(labels), 0.5), size=k).T
    return write_table(path, "Type", labels, names or [f"SBS{j + 1}" for j in range(k)], values)


def matrix_file(path, labels, counts, samples=None):
    """counts: samples x channels, whole numbers."""
    samples = samples or [f"S{i + 1}" for i in range(len(counts))]
    return write_table(path, "MutationType", labels, samples, np.asarray(counts).T,
                       number=lambda value: str(int(value)))


def peak_of(run):
    """(run's result, the most memory it held at once through Python's allocators, NumPy's
    arrays included, in bytes)."""
    tracemalloc.start()
    try:
        result = run()
        return result, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


# ---- bounds --------------------------------------------------------------------------------

def test_bootstrap_of_a_sample_of_more_mutations_than_drawn_exactly(tmp_path, capsys):
    labels = channels.SBS1536
    matrix = matrix_file(tmp_path / "m.tsv", labels, [[2**53] * len(labels)])
    signatures = signatures_file(tmp_path / "s.tsv", labels, 2)
    status, err = command(capsys, "fit", matrix, "--signatures", signatures, "-o",
                          tmp_path / "p", "--bootstrap", 10, "--seed", 1)
    assert (status, err) == (1, f"mutflank fit: error: {matrix}: line 1: sample S1: "
                                f"{1536 * 2**53:,} mutations, more than the "
                                "9,007,199,254,740,992 that --bootstrap draws exactly\n")
    # At the limit, the resamples are drawn.
    matrix = matrix_file(tmp_path / "m.tsv", labels, [[2**53 // 1536] * 1536])
    status, err = command(capsys, "fit", matrix, "--signatures", signatures, "-o",
                          tmp_path / "p", "--bootstrap", 10, "--seed", 1)
    assert status == 0, err


def test_more_signatures_than_channels_make_no_square_of_them(tmp_path, capsys):
    # 5,000 signatures of 6 channels: their 5,000 x 5,000 product would take 200 MB.
    signatures = signatures_file(tmp_path / "s.tsv", channels.SBS6, 5000)
    matrix = matrix_file(tmp_path / "m.tsv", channels.SBS6, [[5, 1, 30, 2, 9, 3]])
    (status, err), peak = peak_of(lambda: command(
        capsys, "fit", matrix, "--signatures", signatures, "-o", tmp_path / "p"))
    assert status == 0, err
    assert peak < 40e6


def test_bootstrap_draws_its_resamples_a_block_at_a_time(tmp_path, capsys):
    # All 100,000 resamples of an SBS96 sample at once would be 77 MB of draws.
    signatures = signatures_file(tmp_path / "s.tsv", channels.SBS96, 2)
    matrix = matrix_file(tmp_path / "m.tsv", channels.SBS96, [np.arange(96) % 7])
    (status, err), peak = peak_of(lambda: command(
        capsys, "fit", matrix, "--signatures", signatures, "-o", tmp_path / "p",
        "--bootstrap", 100_000, "--seed", 3))
    assert status == 0, err
    assert peak < 40e6
    rows = (tmp_path / "p.bootstrap.tsv").read_text().splitlines()
    assert len(rows) == 3


@pytest.mark.parametrize("options, message", [
    (["--bootstrap", "100001"], "argument --bootstrap: at most 100,000 resamples: '100001'"),
    (["--max-delta", "0.01"], "--max-delta is a setting of --method strict"),
    (["--method", "nnls", "--max-delta", "0.01"], "--max-delta is a setting of --method strict"),
    (["--seed", "1"], "--seed is the seed of --bootstrap's draws: give --bootstrap N"),
])
def test_options_without_meaning_are_usage_errors(tmp_path, capsys, options, message):
    signatures = signatures_file(tmp_path / "s.tsv", channels.SBS96, 2)
    matrix = matrix_file(tmp_path / "m.tsv", channels.SBS96, [np.arange(96) % 7])
    status, err = command(capsys, "fit", matrix, "--signatures", signatures, "-o",
                          tmp_path / "p", *options)
    assert (status, err.splitlines()[-1]) == (2, f"mutflank fit: error: {message}")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["m.tsv", "s.tsv"]


@pytest.mark.parametrize("role", ["matrix", "signatures"])
def test_tables_are_read_with_bounds(tmp_path, capsys, monkeypatch, role):
    # The file of `role` is the longer one: more than 3 KiB, the other less.
    signatures = signatures_file(tmp_path / "s.tsv", channels.SBS96, 1 + 2 * (role != "matrix"))
    matrix = matrix_file(tmp_path / "m.tsv", channels.SBS96,
                         [np.arange(96) % 7] * (1 + 29 * (role == "matrix")))
    what = "samples" if role == "matrix" else "signatures"

    def fit(matrix, signatures):
        return command(capsys, "fit", matrix, "--signatures", signatures, "-o", tmp_path / "p")

    files = {"matrix": matrix, "signatures": signatures}
    status, err = fit(**{**files, role: "/dev/zero"})
    assert (status, err) == (1, "mutflank fit: error: /dev/zero: line 1: longer than 16 MiB: "
                                f"not a table of {what}\n")
    # A stream longer than the bound of a file: stopped at the line that crosses it.
    monkeypatch.setattr(signature_tables, "MAX_BYTES", 3 << 10)
    status, err = fit(**files)
    sizes = np.cumsum([len(line) for line in files[role].read_bytes().splitlines(True)])
    line = 1 + int(np.argmax(sizes > 3 << 10))
    assert (status, err) == (1, f"mutflank fit: error: {files[role]}: line {line}: the "
                                f"file goes on past 0 GiB: not a table of {what}\n")


# ---- names from files ----------------------------------------------------------------------

def test_names_from_files_are_shown_with_their_control_characters_escaped(tmp_path, capsys):
    labels = channels.SBS96
    values = np.random.default_rng(2).dirichlet(np.ones(96), size=2).T * [[2.0, 1.0]]
    signatures = write_table(tmp_path / "s.tsv", "Type", labels, ["\x1b[2JSBS1", "SBS2"], values)
    matrix = matrix_file(tmp_path / "m.tsv", labels, [np.arange(96) % 7], ["S\x1b]0;x\x07"])
    status, err = command(capsys, "fit", matrix, "--signatures", signatures, "-o", tmp_path / "p")
    assert status == 0, err
    assert err.splitlines()[0] == (f"mutflank fit: {signatures}: scaled to sum to 1: "
                                   "\\x1b[2JSBS1")
    write_table(tmp_path / "m.tsv", "MutationType", labels, ["S\x1b]0;x\x07"],
                np.full((96, 1), 0.5), number=repr)
    status, err = command(capsys, "fit", matrix, "--signatures", signatures, "-o", tmp_path / "p",
                          "--bootstrap", 2)
    assert (status, err.splitlines()[-1]) == (
        1, f"mutflank fit: error: {matrix}: line 2: sample S\\x1b]0;x\\x07: 0.5 is not a whole "
           "count (--bootstrap resamples mutations: use a matrix of counts)")
    assert "\x1b" not in err and "\x07" not in err


# ---- bootstrap seeds -----------------------------------------------------------------------

def bootstrap_rows(tmp_path, capsys, counts, resamples, seed=5):
    """{sample: its rows of PREFIX.bootstrap.tsv (signature, median, low, high, kept)}."""
    signatures = signatures_file(tmp_path / "s.tsv", channels.SBS96, 4, seed=7)
    matrix = matrix_file(tmp_path / "m.tsv", channels.SBS96, counts)
    status, err = command(capsys, "fit", matrix, "--signatures", signatures, "-o",
                          tmp_path / "p", "--bootstrap", resamples, "--seed", seed)
    assert status == 0, err
    rows = {}
    for line in (tmp_path / "p.bootstrap.tsv").read_text().splitlines()[1:]:
        sample, *rest = line.split("\t")
        rows.setdefault(sample, []).append(tuple(rest))
    return rows


@pytest.mark.parametrize("samples, resamples", [
    (2, 50),    # two samples in one slice
    (20, 300),  # 16 samples a slice at 300 resamples: sample 17 starts the second slice
])
def test_every_sample_draws_resamples_of_its_own(tmp_path, capsys, samples, resamples):
    # Samples of equal counts: only their seeds tell their resamples apart.
    sample = np.random.default_rng(11).poisson(6.0, 96)
    rows = bootstrap_rows(tmp_path, capsys, [sample] * samples, resamples)
    assert len(rows) == samples
    assert len(set(map(tuple, rows.values()))) == samples


def test_a_sample_draws_the_same_resamples_among_any_others(tmp_path, capsys):
    # The draws of a sample depend on the seed and its place, not on the other samples.
    rng = np.random.default_rng(12)
    counts = rng.poisson(5.0, (20, 96))
    alone = bootstrap_rows(tmp_path, capsys, counts, 300)
    counts[3] = rng.poisson(9.0, 96)
    changed = bootstrap_rows(tmp_path, capsys, counts, 300)
    assert [sample for sample in alone if alone[sample] != changed[sample]] == ["S4"]
