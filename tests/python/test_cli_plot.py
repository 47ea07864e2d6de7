"""`mutflank plot`: pictures of the three matrix types, the choice of samples in a cohort, and
matrices it refuses."""

import re
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

# The installed command's package; `make sanitize` runs the suite without it.
pytest.importorskip("mutflank_tools")
from mutflank_tools import channels, matrix, plot  # noqa: E402

MUTFLANK = str(Path(sys.executable).parent / "mutflank")


def run(*args):
    return subprocess.run([MUTFLANK, *map(str, args)], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)


def png_size(path):
    head = Path(path).read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def write(path, kind, counts, proportions=False):
    """Writes a matrix of {sample: list of values} as `mutflank matrix` does."""
    names = sorted(counts)
    array = np.array([counts[name] for name in names], dtype=np.int64).T.reshape(
        len(channels.CHANNELS[kind]), len(names))
    path.write_text(matrix.format_matrix(names, array, kind, proportions))
    return path


@pytest.mark.parametrize("kind, size", [
    ("SBS6", (800, 520)), ("SBS96", (1600, 640)), ("SBS1536", (1600, 680))])
def test_one_panel_per_sample(tmp_path, kind, size):
    rows = len(channels.CHANNELS[kind])
    path = write(tmp_path / f"m.{kind}.tsv", kind, {"b": list(range(rows)), "a": [1] * rows})
    done = run("plot", path, "-o", tmp_path / "m.png")
    assert (done.returncode, done.stderr) == (
        0, f"mutflank plot: {kind}, drew 2 samples -> {tmp_path / 'm.png'}\n")
    assert png_size(tmp_path / "m.png") == size
    assert {p.name for p in tmp_path.iterdir()} == {"m.png", f"m.{kind}.tsv"}


def test_a_cohort_draws_the_samples_with_most_substitutions(tmp_path):
    rng = np.random.default_rng(3)
    counts = {f"S{i:04d}": rng.integers(0, 20, 96).tolist() for i in range(1000)}
    path = write(tmp_path / "cohort.tsv", "SBS96", counts)
    top = sorted(counts, key=lambda name: (-sum(counts[name]), name))[:12]
    done = run("plot", path, "-o", tmp_path / "cohort.png")
    assert done.returncode == 0, done.stderr
    assert done.stderr == (
        f"mutflank plot: SBS96, drew 12 of 1,000 samples, those with the most substitutions "
        f"({', '.join(top[:5])}, ...); choose others with --samples -> {tmp_path}/cohort.png\n")
    assert png_size(tmp_path / "cohort.png") == (1600, 12 * 320)
    done = run("plot", path, "-o", tmp_path / "two.png", "--samples", "S0007,S0003,S0007")
    assert (done.returncode, done.stderr) == (
        0, f"mutflank plot: SBS96, drew 2 chosen samples -> {tmp_path}/two.png\n")
    assert png_size(tmp_path / "two.png") == (1600, 640)


def test_proportions_and_no_sample(tmp_path):
    names = list(channels.SBS96)
    counts = np.zeros((96, 2), dtype=np.int64)
    counts[names.index("A[C>T]G"), 0] = 3
    counts[names.index("T[T>G]T"), 0] = 1
    path = tmp_path / "p.tsv"
    path.write_text(matrix.format_matrix(["s", "zero"], counts, "SBS96", True))
    kind, samples, values = plot.read_matrix(path)
    assert (kind, samples) == ("SBS96", ["s", "zero"])
    assert values["s"][names.index("A[C>T]G")] == 0.75
    assert sum(values["zero"]) == 0
    assert run("plot", path, "-o", tmp_path / "p.png").returncode == 0
    empty = tmp_path / "none.tsv"
    empty.write_text(matrix.format_matrix([], np.zeros((96, 0), dtype=np.int64), "SBS96", False))
    done = run("plot", empty, "-o", tmp_path / "none.png")
    assert done.returncode == 0, done.stderr
    assert png_size(tmp_path / "none.png") == (1600, 320)


def test_matrix_round_trip(tmp_path):
    path = write(tmp_path / "m.tsv", "SBS96", {"b": list(range(96)), "a": [7] * 96})
    lines = path.read_text().splitlines()
    assert lines[0] == "MutationType\ta\tb"
    assert lines[1] == "A[C>A]A\t7\t0"
    assert lines[96] == "T[T>G]T\t7\t95"
    assert len(lines) == 97
    assert plot.read_matrix(path) == ("SBS96", ["a", "b"], {"a": [7.0] * 96,
                                                            "b": [float(i) for i in range(96)]})


@pytest.mark.parametrize("text, message", [
    ("MutationType\ts\nA[C>A]C\t1\n", "{path}: 1 channel rows, not 6, 96 or 1536"),
    ("Channel\ts\n" + "".join(f"{c}\t1\n" for c in channels.SBS6),
     "{path}: line 1: not a matrix of `mutflank matrix` (its first field is not MutationType)"),
    ("MutationType\ts\n" + "".join(f"{c}\t1\n" for c in reversed(channels.SBS6)),
     "{path}: line 2: channel 'T>G' where SBS6 has 'C>A'"),
    ("MutationType\ts\ts\n" + "".join(f"{c}\t1\t1\n" for c in channels.SBS6),
     "{path}: line 1: a sample is named twice"),
    ("MutationType\ts\n" + "".join(f"{c}\t{v}\n" for c, v in zip(channels.SBS6, "1234x6")),
     "{path}: line 6: 'x' is not a count or a proportion"),
    ("MutationType\ts\n" + "".join(f"{c}\t{v}\n" for c, v in zip(
        channels.SBS6, ["1", "-2", "0", "0", "0", "0"])),
     "{path}: line 3: '-2' is not a count or a proportion"),
    ("MutationType\ts\n" + "".join(f"{c}\t1\t2\n" for c in channels.SBS6),
     "{path}: line 2: 2 values for 1 samples"),
])
def test_refused_matrices(tmp_path, text, message):
    path = tmp_path / "m.tsv"
    path.write_text(text)
    done = run("plot", path, "-o", tmp_path / "m.png")
    assert (done.returncode, done.stderr) == (
        1, f"mutflank plot: error: {message.format(path=path)}\n")
    assert not (tmp_path / "m.png").exists()


@pytest.mark.parametrize("samples, status, message", [
    ("a,nobody,ghost", 1, "{path}: no sample nobody, ghost in the matrix"),
    (",".join(f"S{i}" for i in range(101)), 2,
     "--samples names 101 samples: a picture holds at most 100"),
])
def test_sample_choice_errors(tmp_path, samples, status, message):
    counts = {f"S{i}": [1] * 6 for i in range(101)}
    counts["a"] = [1] * 6
    path = write(tmp_path / "m.tsv", "SBS6", counts)
    done = run("plot", path, "-o", tmp_path / "m.png", "--samples", samples)
    assert (done.returncode, done.stderr) == (
        status, f"mutflank plot: error: {message.format(path=path)}\n")
    assert not (tmp_path / "m.png").exists()


def test_missing_matrix_and_unwritable_picture(tmp_path):
    done = run("plot", tmp_path / "absent.tsv", "-o", tmp_path / "m.png")
    assert (done.returncode, done.stderr) == (
        1, f"mutflank plot: error: {tmp_path}/absent.tsv: cannot read: No such file or "
           "directory\n")
    path = write(tmp_path / "m.tsv", "SBS6", {"s": [1] * 6})
    done = run("plot", path, "-o", tmp_path / "no" / "m.png")
    assert done.returncode == 1
    assert re.fullmatch(rf"mutflank plot: error: {re.escape(str(tmp_path))}/no/m\.png: cannot "
                        r"write: No such file or directory\n", done.stderr)
