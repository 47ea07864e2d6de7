"""The outputs of one run as a set: no two of them one file, no input among them (every file the
run reads, lists included), the stale members of their family removed with them, a folder
locked once whatever its name, a run waiting for that lock stopped by a signal, and prefixes
that name files."""

import errno
import fcntl
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

from cli_support import COMMAND, write_reference, write_text
from cli_support import status_and_error as main

pytest.importorskip("mutflank_tools")
from mutflank_tools.counting import channels  # noqa: E402
from mutflank_tools.runtime import outputs  # noqa: E402
from mutflank_tools.runtime.errors import InputError  # noqa: E402

ROWS = "S1\ta\t.\tGRCh37\tSNV\t1\t3\t3\tC\tT\nS1\ta\t.\tGRCh37\tSNV\t1\t5\t5\tG\tA\n"
SIGNATURES = "Type\tA\tB\n" + "".join(f"{label}\t{a}\t{b}\n" for label, a, b in zip(
    channels.SBS6, (0.5, 0.1, 0.1, 0.1, 0.1, 0.1), (0.1, 0.1, 0.5, 0.1, 0.1, 0.1)))
MATRIX = "MutationType\tS1\tS2\n" + "".join(f"{label}\t{a}\t{b}\n" for label, a, b in zip(
    channels.SBS6, (10, 2, 3, 1, 2, 2), (1, 2, 12, 2, 1, 2)))


@pytest.fixture
def folder(tmp_path, monkeypatch):
    """The working folder: a reference `ref`, a table `t.tsv`, an SBS6 matrix `m.tsv` and
    signatures `s.tsv`."""
    write_reference(tmp_path / "ref", "GRCh37", "1", "ACCAGTTACGT")
    write_text(tmp_path / "t.tsv", ROWS)
    write_text(tmp_path / "m.tsv", MATRIX)
    write_text(tmp_path / "s.tsv", SIGNATURES)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def listing(path="."):
    return sorted(os.listdir(path))


FIT = ("fit", "m.tsv", "--signatures", "s.tsv", "-o", "p")
FIT_TABLE = "Sample\tTotal\tCosine\tRSS\tSignatures\n"


# ---- two outputs that are one file ---------------------------------------------------------

@pytest.mark.parametrize("make, argv, message", [
    (lambda: os.symlink("p.exposures.tsv", "p.fit.tsv"), FIT,
     "p.fit.tsv: the output is the same file as the output p.exposures.tsv"),
    (lambda: (write_text("p.exposures.tsv", "earlier\n"),
              os.symlink("p.exposures.tsv", "p.fit.tsv")), FIT,
     "p.fit.tsv: the output is the same file as the output p.exposures.tsv"),
    (lambda: (write_text("p.exposures.tsv", "earlier\n"), os.link("p.exposures.tsv", "p.fit.tsv")),
     FIT, "p.fit.tsv: the output is the same file as the output p.exposures.tsv"),
    (lambda: os.symlink("x.SBS6.tsv", "x.SBS96.tsv"),
     ("matrix", "t.tsv", "--reference", "ref", "-o", "x", "--types", "SBS6,SBS96"),
     "x.SBS96.tsv: the output is the same file as the output x.SBS6.tsv"),
], ids=["a link to a new name", "a link to a file", "a hard link", "two matrices"])
def test_two_outputs_of_one_run_that_are_one_file_are_refused(folder, capsys, make, argv,
                                                             message):
    make()
    before = {name: Path(name).read_bytes() for name in listing() if Path(name).is_file()}
    status, err = main(capsys, *argv)
    assert (status, err) == (2, f"mutflank {argv[0]}: error: {message}; choose another "
                                "output\n")
    assert {name: Path(name).read_bytes() for name in listing() if Path(name).is_file()} == \
        before


# ---- every file a run reads is an input ----------------------------------------------------

@pytest.mark.parametrize("argv, message", [
    (("matrix", "--table-list", "x.SBS96.tsv", "--reference", "ref", "-o", "x"),
     "x.SBS96.tsv: the output is also an input"),
    (("matrix", "--table-list", "list", "--reference", "ref", "-o", "y", "--types", "SBS6"),
     "y.SBS96.tsv: the output is the same file as the input list"),
    (("fit", "p.bootstrap.tsv", "--signatures", "s.tsv", "-o", "p"),
     "p.bootstrap.tsv: the output is also an input"),
    (("fit", "m.tsv", "--signatures", "p.fit.tsv", "-o", "p"),
     "p.fit.tsv: the output is also an input"),
])
def test_every_file_a_run_reads_is_an_input(folder, capsys, argv, message):
    write_text("x.SBS96.tsv", "t.tsv\n")  # a list of inputs, named like a matrix
    write_text("list", "t.tsv\n")
    os.link("list", "y.SBS96.tsv")  # a matrix of another kind under the prefix: it would go
    os.link("m.tsv", "p.bootstrap.tsv")
    write_text("p.fit.tsv", SIGNATURES)
    status, err = main(capsys, *argv)
    assert (status, err) == (2, f"mutflank {argv[0]}: error: {message}; choose another "
                                "output\n")
    assert (Path("x.SBS96.tsv").read_text(), Path("list").read_text(),
            Path("p.bootstrap.tsv").read_text(), Path("p.fit.tsv").read_text()) == (
        "t.tsv\n", "t.tsv\n", MATRIX, SIGNATURES)


# ---- the family of an output set -----------------------------------------------------------

def test_fit_without_bootstrap_removes_an_earlier_bootstrap_table(folder, capsys):
    status, err = main(capsys, *FIT, "--bootstrap", "5", "--seed", "1")
    assert status == 0, err
    status, err = main(capsys, *FIT)
    assert (status, err) == (0, "mutflank fit: 2 samples on 2 signatures (nnls) -> "
                                "p.exposures.tsv, p.fit.tsv\n"
                                "mutflank fit: removed p.bootstrap.tsv, left by an earlier "
                                "run\n")
    assert listing() == ["m.tsv", "p.exposures.tsv", "p.fit.tsv", "ref", "s.tsv", "t.tsv"]


def test_a_stale_member_that_is_a_link_goes_but_not_the_file_it_names(folder, capsys):
    os.mkdir("kept")
    write_text("kept/boot.tsv", "earlier\n")
    os.symlink("kept/boot.tsv", "p.bootstrap.tsv")
    os.mkfifo("q.bootstrap.tsv")  # not a file a run writes: left alone
    assert main(capsys, *FIT)[1].endswith("mutflank fit: removed p.bootstrap.tsv, left by an "
                                          "earlier run\n")
    assert main(capsys, *FIT[:-1], "q") == (0, "mutflank fit: 2 samples on 2 signatures (nnls) "
                                               "-> q.exposures.tsv, q.fit.tsv\n")
    assert (listing("kept"), Path("kept/boot.tsv").read_text()) == (["boot.tsv"], "earlier\n")
    assert not os.path.lexists("p.bootstrap.tsv") and Path("q.bootstrap.tsv").is_fifo()


def test_matrix_removes_the_matrices_of_other_kinds_of_an_earlier_run(folder, capsys):
    status, err = main(capsys, "matrix", "t.tsv", "--reference", "ref", "-o", "x")
    assert (status, err) == (0, "mutflank matrix: 2 substitutions of 1 sample from 1 input -> "
                                "x.SBS6.tsv, x.SBS96.tsv, x.SBS1536.tsv\n")
    status, err = main(capsys, "matrix", "t.tsv", "--reference", "ref", "-o", "x", "--types",
                       "sbs96")
    assert (status, err) == (0, "mutflank matrix: 2 substitutions of 1 sample from 1 input -> "
                                "x.SBS96.tsv\n"
                                "mutflank matrix: removed x.SBS6.tsv, x.SBS1536.tsv, left by "
                                "an earlier run\n")
    assert [name for name in listing() if name.startswith("x.")] == ["x.SBS96.tsv"]


def test_plot_pages_of_an_earlier_run_beyond_the_last_are_removed(folder, capsys):
    pytest.importorskip("matplotlib")
    names = [f"S{i:02d}" for i in range(30)]
    text = "\t".join(["MutationType", *names]) + "\n" + "".join(
        "\t".join([label, *(str((i * 7 + j) % 13) for j in range(30))]) + "\n"
        for i, label in enumerate(channels.SBS96))
    write_text("thirty.tsv", text)
    write_text("twelve.tsv", "\n".join("\t".join(line.split("\t")[:13])
                                       for line in text.splitlines()) + "\n")
    write_text("c.7.png", "a page of an earlier version, numbered in one digit\n")
    assert main(capsys, "plot", "thirty.tsv", "-o", "c.png", "--panels") == (
        0, "mutflank plot: SBS96, drew 30 samples on 5 pages -> c.01.png ... c.05.png\n"
           "mutflank plot: removed c.7.png, left by an earlier run\n")
    assert main(capsys, "plot", "twelve.tsv", "-o", "c.png", "--panels") == (
        0, "mutflank plot: SBS96, drew 12 samples on 2 pages -> c.01.png ... c.02.png\n"
           "mutflank plot: removed c.03.png, c.04.png, c.05.png, left by an earlier run\n")
    assert [name for name in listing() if name.startswith("c.")] == ["c.01.png", "c.02.png"]
    assert main(capsys, "plot", "twelve.tsv", "-o", "c.png", "--samples", "S00") == (
        0, "mutflank plot: SBS96, drew 1 chosen sample -> c.png\n"
           "mutflank plot: removed c.01.png, c.02.png, left by an earlier run\n")


def test_a_failed_removal_puts_the_whole_earlier_set_back(tmp_path, monkeypatch):
    paths = [str(tmp_path / name) for name in ("a.tsv", "b.tsv", "c.tsv")]
    for path in paths:
        Path(path).write_text(f"earlier {path[-5]}\n")
    real_unlink = os.unlink

    def unlink(path, *args, **kwargs):
        if str(path) == paths[2]:
            raise OSError(errno.EROFS, "Read-only file system", path)
        return real_unlink(path, *args, **kwargs)

    monkeypatch.setattr(os, "unlink", unlink)
    with pytest.raises(InputError, match=f"^{paths[2]}: cannot remove: Read-only file system$"):
        with outputs.OutputSet(family=paths) as files:
            for path in paths[:2]:
                files.open(path).write("new\n")
    assert [Path(path).read_text() for path in paths] == ["earlier a\n", "earlier b\n",
                                                          "earlier c\n"]
    assert listing(tmp_path) == ["a.tsv", "b.tsv", "c.tsv"]


# ---- the folder's lock ---------------------------------------------------------------------

@pytest.mark.timeout(120)
def test_a_link_to_another_name_of_its_own_folder_is_written_once(folder, capsys):
    os.symlink("kept.tsv", "p.fit.tsv")
    write_text("kept.tsv", "earlier\n")
    assert main(capsys, *FIT) == (0, "mutflank fit: 2 samples on 2 signatures (nnls) -> "
                                     "p.exposures.tsv, p.fit.tsv\n")
    assert os.readlink("p.fit.tsv") == "kept.tsv"
    assert Path("kept.tsv").read_text().startswith(FIT_TABLE)


def waiting_for_a_lock(pid):
    """Whether process `pid` waits for a file lock (a blocked entry of /proc/locks)."""
    with open("/proc/locks") as locks:
        return any(" -> " in line and line.split()[5] == str(pid) for line in locks)


@pytest.mark.parametrize("number, message", [
    (signal.SIGTERM, "stopped by SIGTERM"), (signal.SIGINT, "interrupted")])
def test_a_run_waiting_for_its_folder_stops_on_a_signal(folder, number, message):
    held = os.open(".", os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(held, fcntl.LOCK_EX)  # as another run committing into this folder
    try:
        process = subprocess.Popen([COMMAND, *FIT], stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 120
        while not waiting_for_a_lock(process.pid):
            assert process.poll() is None and time.monotonic() < deadline, "never waited"
            time.sleep(0.05)
        process.send_signal(number)
        try:
            status = process.wait(60)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            pytest.fail("the signal did not end the wait")
    finally:
        os.close(held)
    assert (status, process.stderr.read()) == (128 + number, f"mutflank fit: error: {message}\n")
    assert listing() == ["m.tsv", "ref", "s.tsv", "t.tsv"]


# ---- prefixes ------------------------------------------------------------------------------

@pytest.mark.parametrize("verb", [FIT[:-1], ("matrix", "t.tsv", "--reference", "ref", "-o")])
@pytest.mark.parametrize("prefix", ["", "results/", ".", "results/.."])
def test_a_prefix_names_files(folder, capsys, verb, prefix):
    os.mkdir("results")
    assert main(capsys, *verb, prefix) == (
        2, f"mutflank {verb[0]}: error: argument -o/--output: {prefix!r} names no file: a "
           "prefix ends in a name, as results/cohort for results/cohort.<...>.tsv\n")
    assert listing() == ["m.tsv", "ref", "results", "s.tsv", "t.tsv"] and not listing("results")


# ---- a working folder deeper than PATH_MAX -------------------------------------------------

def test_a_working_folder_deeper_than_path_max_without_workers(folder, capsys):
    for _ in range(45):  # each step relative: the whole path is longer than PATH_MAX
        os.mkdir("d" * 100)
        os.chdir("d" * 100)
    write_text("rows.tsv", ROWS)
    assert main(capsys, "matrix", "rows.tsv", "--reference", folder / "ref", "-o", "m",
                "--types", "SBS6") == (
        0, "mutflank matrix: 2 substitutions of 1 sample from 1 input -> m.SBS6.tsv\n")
    assert listing() == ["m.SBS6.tsv", "rows.tsv"]
