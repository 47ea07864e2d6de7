"""The command under faults and signals: special and shared outputs, sets of outputs replaced
together, SIGTERM and SIGHUP, the Dask cluster's checks and bounds, one-line messages, and
what a new user meets first."""

import errno
import glob
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from cli_support import COMMAND, LAMBDA_FASTA, LAMBDA_NAME, run, scheduler_address, \
    write_reference, write_text

pytest.importorskip("mutflank_tools")
from mutflank_tools import cli  # noqa: E402
from mutflank_tools.runtime import outputs, signals  # noqa: E402
from mutflank_tools.runtime.errors import InputError  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

VCF = ("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n"
       "1\t3\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\n1\t5\t.\tG\tA\t.\tPASS\t.\tGT\t0/1\n")
ROWS = "S1\ta\t.\tGRCh37\tSNV\t1\t3\t3\tC\tT\nS1\ta\t.\tGRCh37\tSNV\t1\t5\t5\tG\tA\n"
MAF_HEADER = ("Hugo_Symbol\tChromosome\tStart_Position\tEnd_Position\tVariant_Type\t"
              "Reference_Allele\tTumor_Seq_Allele1\tTumor_Seq_Allele2\tTumor_Sample_Barcode\t"
              "NCBI_Build\n")


def maf_rows(count):
    return "".join(f"G\t1\t{i}\t{i}\tSNP\tC\tC\tT\tS1\t37\n" for i in range(1, count + 1))


@pytest.fixture
def small(tmp_path, monkeypatch):
    """A folder, the working one, with a reference `ref` and a VCF `a.vcf` of one sample."""
    write_reference(tmp_path / "ref", "GRCh37", "1", "ACCAGTTACGT")
    write_text(tmp_path / "a.vcf", VCF)
    monkeypatch.chdir(tmp_path)
    return tmp_path


# ---- outputs that are special files -------------------------------------------------------

@pytest.mark.parametrize("target", ["fifo", "link to /dev/null", "link to /dev/stdout",
                                    "link to ref/kept.tsv"])
def test_special_outputs_are_written_in_place(small, target):
    if target == "fifo":
        os.mkfifo("out")
        got = []
        reader = threading.Thread(target=lambda: got.append(Path("out").read_text()))
        reader.start()
    else:
        os.symlink(target.split()[-1], "out")
    status, out, err = run("table", "a.vcf", "--build", "37", "-o", "out")
    assert (status, err) == (0, "mutflank table: wrote 2 rows of 1 sample to out\n")
    if target == "fifo":
        reader.join(30)
        assert got == [ROWS] and Path("out").is_fifo()
    else:
        assert os.readlink("out") == target.split()[-1]
        assert out == (ROWS if target.endswith("stdout") else "")
        if target.endswith(".tsv"):  # a link to a regular file: the file it names is replaced
            assert sorted(os.listdir("ref")) == ["GRCh37", "kept.tsv"]
            assert Path("ref/kept.tsv").read_text() == ROWS
    assert sorted(os.listdir()) == ["a.vcf", "out", "ref"]


# ---- an output that is an input -----------------------------------------------------------

@pytest.mark.parametrize("args, message", [
    (["table", "a.vcf", "--build", "37", "-o", "a.vcf"],
     "a.vcf: the output is also an input; choose another output"),
    (["table", "a.vcf", "--build", "37", "-o", "hard.vcf"],
     "hard.vcf: the output is the same file as the input a.vcf; choose another output"),
    (["matrix", "p.SBS96.tsv", "--reference", "ref", "-o", "p"],
     "p.SBS96.tsv: the output is also an input; choose another output"),
])
def test_an_output_that_is_an_input_is_refused(small, args, message):
    os.link("a.vcf", "hard.vcf")
    write_text("p.SBS96.tsv", ROWS)
    assert run(*args) == (2, "", f"mutflank {args[0]}: error: {message}\n")
    assert (Path("a.vcf").read_text(), Path("p.SBS96.tsv").read_text()) == (VCF, ROWS)


# ---- the outputs of one run: replaced together ---------------------------------------------

def test_a_matrix_set_is_replaced_whole_or_not_at_all(small):
    write_text("t.tsv", ROWS)
    for name in ("SBS6", "SBS96"):
        write_text(f"p.{name}.tsv", "earlier\n")
    os.makedirs("p.SBS1536.tsv/inside")  # cannot be replaced
    status, out, err = run("matrix", "t.tsv", "--reference", "ref", "-o", "p",
                           "--types", "SBS6,SBS96,SBS1536")
    assert (status, err) == (1, "mutflank matrix: error: p.SBS1536.tsv: is a folder\n")
    assert [Path(f"p.{name}.tsv").read_text() for name in ("SBS6", "SBS96")] == ["earlier\n"] * 2
    assert sorted(os.listdir()) == ["a.vcf", "p.SBS1536.tsv", "p.SBS6.tsv", "p.SBS96.tsv",
                                    "ref", "t.tsv"]


def test_a_failed_rename_puts_the_earlier_files_back(tmp_path, monkeypatch):
    paths = [tmp_path / name for name in ("a.tsv", "b.tsv", "c.tsv")]
    paths[0].write_text("earlier a\n")
    paths[1].write_text("earlier b\n")
    real_replace, calls = os.replace, []

    def replace(source, target):
        calls.append(target)
        if len(calls) == 3 and str(target).endswith("c.tsv"):
            raise OSError(errno.ENOSPC, "No space left on device", source)
        return real_replace(source, target)

    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(InputError, match=f"^{paths[2]}: cannot replace: No space left on device$"):
        with outputs.OutputSet() as files:
            for path in paths:
                files.open(path).write("new\n")
    assert [path.read_text() for path in paths[:2]] == ["earlier a\n", "earlier b\n"]
    assert sorted(os.listdir(tmp_path)) == ["a.tsv", "b.tsv"]


@pytest.mark.parametrize("output, message", [
    ("full", "full: cannot write: No space left on device"),
    (None, "standard output: cannot write: No space left on device"),
])
def test_a_full_disk_names_the_output(small, output, message):
    os.symlink("/dev/full", "full")
    with open("/dev/full", "w") as full:
        done = subprocess.run([COMMAND, "table", "a.vcf", "--build", "37",
                               *(["-o", output] if output else [])],
                              stdout=full, stderr=subprocess.PIPE, text=True, check=False)
    assert (done.returncode, done.stderr) == (1, f"mutflank table: error: {message}\n")


# ---- signals -------------------------------------------------------------------------------

def slow_input(path, rows, hold, text=None):
    """A FIFO at `path` that gives a MAF header and `rows` rows (or `text`), then waits `hold`
    seconds."""
    path = os.path.abspath(path)  # the feeder may open it after the test has left the folder
    os.mkfifo(path)

    def feed():
        try:
            with open(path, "w") as fifo:
                fifo.write(text or MAF_HEADER + maf_rows(rows))
                fifo.flush()
                time.sleep(hold)
        except OSError:  # the command stopped before it read everything, or the folder went
            pass

    threading.Thread(target=feed, daemon=True).start()


def until(condition, what, seconds=60):
    """Polls `condition()` until it holds (returning its value) or `seconds` have passed."""
    deadline = time.monotonic() + seconds
    while not (value := condition()):
        assert time.monotonic() < deadline, f"no {what} after {seconds} s"
        time.sleep(0.02)
    return value


def wait_for(pattern, seconds=60):
    until(lambda: glob.glob(pattern), pattern, seconds)


def scheduler_state(address, function):
    """function(scheduler) run on the Dask scheduler at `address`."""
    import distributed

    with distributed.Client(address, timeout="20s") as client:
        return client.run_on_scheduler(function)


@pytest.mark.parametrize("args, temporary", [
    (["table", "slow", "-o", "out.tsv"], ".out.tsv.*.tmp"),  # more rows than a batch
    (["reference", "slow", "out", "--build", "38"], ".out.*/GRCh38/c.txt")])
@pytest.mark.parametrize("number, message", [
    (signal.SIGINT, "interrupted"), (signal.SIGTERM, "stopped by SIGTERM"),
    (signal.SIGHUP, "stopped by SIGHUP")])
def test_a_stop_signal_removes_the_temporary_output(small, args, temporary, number, message):
    fasta = ">c\n" + "ACGT" * (1 << 20)  # a 4 MiB block: the first is written, then it waits
    slow_input("slow", 70000, 20, fasta if args[0] == "reference" else None)
    process = subprocess.Popen([COMMAND, *args], stderr=subprocess.PIPE, text=True)
    wait_for(temporary)
    process.send_signal(number)
    assert process.wait(60) == 128 + number
    assert process.stderr.read() == f"mutflank {args[0]}: error: {message}\n"
    assert sorted(os.listdir()) == ["a.vcf", "ref", "slow"]


def stopped_once_done(monkeypatch, module, name):
    """Makes module.name(...) send this process a SIGTERM the first time it has done its work:
    the stop comes in the step right after, whatever the step is."""
    real, calls = getattr(module, name), []

    def then_stopped(*args):
        value = real(*args)
        calls.append(args)
        if len(calls) == 1:
            os.kill(os.getpid(), signal.SIGTERM)
        return value

    monkeypatch.setattr(module, name, then_stopped)
    return calls


@pytest.fixture
def stop_handlers():
    handlers = signals.install()
    yield
    signals.restore(handlers)


def write_set(folder):
    with outputs.OutputSet() as files:
        files.open(folder / "a.tsv").write("a\n")


def write_folder(folder):
    with outputs.atomic_directory(folder / "a") as inside:
        Path(inside, "b.txt").write_text("b\n")


@pytest.mark.parametrize("made, write", [("_new_file", write_set),
                                         ("_new_folder", write_folder)])
def test_a_stop_as_the_temporary_is_made_leaves_nothing(tmp_path, monkeypatch, stop_handlers,
                                                        made, write):
    calls = stopped_once_done(monkeypatch, outputs, made)
    with pytest.raises(signals.Stopped, match="^SIGTERM$"):
        write(tmp_path)
    assert (len(calls), os.listdir(tmp_path)) == (1, [])


def test_a_stop_during_the_clean_up_still_removes_every_temporary(tmp_path, monkeypatch,
                                                                   stop_handlers):
    calls = stopped_once_done(monkeypatch, outputs, "_remove")
    with pytest.raises(signals.Stopped, match="^SIGTERM$"):
        with outputs.OutputSet() as files:
            for name in ("a.tsv", "b.tsv", "c.tsv"):
                files.open(tmp_path / name).write("new\n")
            raise InputError("a.vcf: line 2: no such chromosome")
    assert (len(calls), os.listdir(tmp_path)) == (3, [])


def test_a_stop_as_the_verb_makes_its_output_leaves_nothing(small, monkeypatch):
    stopped_once_done(monkeypatch, outputs, "_new_file")
    assert run("table", "a.vcf", "--build", "37", "-o", "out.tsv") == (
        143, "", "mutflank table: error: stopped by SIGTERM\n")
    assert sorted(os.listdir()) == ["a.vcf", "ref"]


@pytest.mark.parametrize("when, number, status, message", [
    ("mutflank-dask-*/dask-worker-space", signal.SIGTERM, 143, "stopped by SIGTERM"),
    ("mutflank-dask-*", signal.SIGINT, 130, "interrupted")])  # Ctrl-C while the cluster starts
def test_a_stopped_local_cluster_leaves_no_scratch_and_says_one_line(small, when, number,
                                                                     status, message):
    slow_input("slow.maf", 1, 30)
    (small / "tmp").mkdir()
    process = subprocess.Popen([COMMAND, "matrix", "slow.maf", "--reference", "ref", "-o", "m",
                                "--workers", "2"], stderr=subprocess.PIPE, text=True,
                               start_new_session=True, env={**os.environ, "TMPDIR": "tmp"})
    wait_for(f"tmp/{when}")
    os.killpg(process.pid, number)  # as a terminal's Ctrl-C: every process of the group
    try:
        process.wait(60)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        pytest.fail("the stopped cluster's clean-up did not end within 60 s")
    assert (process.returncode, process.stderr.read()) == (
        status, f"mutflank matrix: error: {message}\n")
    assert [os.path.join(d, f) for d, _, fs in os.walk("tmp") for f in fs + ["."]] == ["tmp/."]


# ---- the Dask cluster ----------------------------------------------------------------------

@pytest.mark.parametrize("address, hint", [
    ("127.0.0.1", ""), ("tcp://[::1", ""),
    ("http://127.0.0.1:8787", " (http:// is the address of its dashboard)")])
def test_scheduler_addresses_are_checked(capsys, address, hint):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["matrix", "t.tsv", "--reference", "r", "-o", "p", "--scheduler", address])
    assert exit_.value.code == 2
    assert capsys.readouterr().err == (
        f"mutflank matrix: error: argument --scheduler: not a Dask scheduler address: "
        f"{address!r}: give tcp://HOST:PORT as `dask scheduler` prints it{hint}\n")


def test_a_local_cluster_listens_on_127_0_0_1_only():
    import psutil
    from mutflank_tools.runtime.cluster import connect

    with connect(workers=1):
        processes = [psutil.Process(), *psutil.Process().children(recursive=True)]
        listening = {connection.laddr.ip for process in processes
                     for connection in process.connections("inet")
                     if connection.status == psutil.CONN_LISTEN}
    assert listening == {"127.0.0.1"}


def start(python, module, *args, cwd):
    return subprocess.Popen([python, "-m", f"distributed.cli.{module}", *args], cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@pytest.fixture
def scheduler(tmp_path):
    """The address of a Dask scheduler of Debian's Python, and the processes started (it
    first), which end with the test."""
    started = [start("/usr/bin/python3", "dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                     "--dashboard-address", "127.0.0.1:0", "--scheduler-file", "s.json",
                     cwd=tmp_path)]
    address = until(lambda: scheduler_address(tmp_path / "s.json"), "scheduler file")
    yield address, started
    for process in started:
        process.kill()
        process.wait()


def test_workers_in_another_folder_or_without_the_package(small, scheduler):
    address, started = scheduler
    write_text("t.tsv", ROWS)
    # Debian's own `dask worker` cannot import the package: one line, at once.
    started.append(start("/usr/bin/python3", "dask_worker", address, "--no-nanny", cwd="/"))
    status, _, err = run("matrix", "t.tsv", "--reference", "ref", "-o", "m", "--scheduler",
                         address)
    assert status == 1
    assert err.startswith("mutflank matrix: error: the Dask worker tcp://127.0.0.1:")
    assert " cannot import mutflank_tools (No module named 'mutflank_tools'): start the workers " \
           f"with the Python of this command, {os.path.abspath(sys.executable)}" in err
    assert err.endswith(" -m distributed.cli.dask_worker ADDRESS\n")
    started.pop().kill()
    # A worker of this Python in another folder gets absolute paths.
    started.append(start(sys.executable, "dask_worker", address, "--no-nanny", cwd="/"))
    until(lambda: scheduler_state(address, lambda dask_scheduler: [
        worker.pid for worker in dask_scheduler.workers.values()]) == [started[-1].pid],
        "worker of this Python alone")
    status, _, err = run("matrix", "t.tsv", "--reference", "ref", "-o", "m", "--scheduler",
                         address, "--types", "SBS6")
    assert (status, err) == (0, "mutflank matrix: 2 substitutions of 1 sample from 1 input "
                                "-> m.SBS6.tsv\n")
    # The scheduler goes away in the middle of a run.
    slow_input("slow.maf", 1, 60)
    process = subprocess.Popen([COMMAND, "matrix", str(small / "slow.maf"), "--reference", "ref",
                                "-o", "m", "--scheduler", address], stderr=subprocess.PIPE,
                               text=True)
    until(lambda: scheduler_state(address, lambda dask_scheduler: len(dask_scheduler.tasks)),
          "task on the scheduler")
    started[0].kill()
    assert (process.wait(120), process.stderr.read()) == (
        1, f"mutflank matrix: error: lost the Dask scheduler {address} after 0 of 1 tasks: the "
           "run stopped (CancelledError)\n")


# ---- messages ------------------------------------------------------------------------------

def test_one_line_messages(small):
    status, _, err = run("reference", "-", "r", "--build", "38",
                         stdin=">c\nACGT\n")  # a pipe: read once, never sought
    assert (status, err) == (0, "mutflank reference: wrote 1 sequence, 4 bases, to r/GRCh38\n")
    write_text("genome.fa.gz", ">c\nACGT\n")
    assert run("table", "a.vcf", "--reference", "genome.fa.gz") == (
        1, "", "mutflank table: error: genome.fa.gz: is a FASTA file, not a reference folder: "
               "make one of it with `mutflank reference genome.fa.gz REFERENCE --build BUILD`, "
               "then give --reference REFERENCE\n")
    done = subprocess.run(f"exec {COMMAND} table a.vcf --build 37 >&-", shell=True,
                          capture_output=True, text=True, check=False)
    assert (done.returncode, done.stderr) == (1, "mutflank table: error: standard output is "
                                                 "closed\n")


def test_a_reference_folder_whose_name_is_not_utf8(small):
    folder = os.fsencode(small) + b"/r\xff"  # an argument as Python decodes it: \udcff
    status, _, err = run(b"reference", os.fsencode(LAMBDA_FASTA), folder, b"--build", b"38")
    assert status == 0, err
    write_text("l.vcf", VCF.replace("1\t3\t.\tC", f"{LAMBDA_NAME}\t3\t.\tG").replace(
        "1\t5\t.\tG", f"{LAMBDA_NAME}\t10\t.\tC"))  # the genome's bases: GGGCGGCGAC
    assert run(b"matrix", b"l.vcf", b"--reference", folder, b"-o", b"m", b"--types",
               b"SBS6") == (0, "", "mutflank matrix: 2 substitutions of 1 sample from 1 input "
                                   "-> m.SBS6.tsv\n")
    assert os.listdir(folder) == [b"GRCh38"]


def test_a_working_folder_deeper_than_path_max(small):
    for _ in range(45):  # each step relative: the whole path is longer than PATH_MAX
        os.mkdir("d" * 100)
        os.chdir("d" * 100)
    write_text("a.vcf", VCF)
    assert run("table", "a.vcf", "--build", "37", "-o", "t.tsv")[0::2] == (
        0, "mutflank table: wrote 2 rows of 1 sample to t.tsv\n")
    assert run("matrix", "t.tsv", "--reference", str(small / "ref"), "-o", "no/m") == (
        1, "", "mutflank matrix: error: no/m: cannot write: no such folder no\n")
    assert sorted(os.listdir()) == ["a.vcf", "t.tsv"]


# ---- the first hour ------------------------------------------------------------------------

def test_a_bare_command_prints_the_help():
    status, out, err = run()
    assert (status, err) == (0, "")
    assert out.startswith("usage: mutflank [-h] [--version] VERB ...\n")


def test_names_are_stripped():
    from mutflank_tools.commands.options import names

    assert [names("A, B"), names(" A ,,B "), names(", ")] == [["A", "B"], ["A", "B"], []]


@pytest.mark.parametrize("verb", ["matrix", "table"])
@pytest.mark.parametrize("option, text", [("--sample", ""), ("--sample", " , "),
                                          ("--exclude", "")])
def test_an_empty_list_of_samples_is_a_usage_error(small, verb, option, text):
    status, _, err = run(verb, "a.vcf", "--reference", "ref", "-o", "out", option, text)
    assert (status, err.splitlines()[-1]) == (2, (
        f"mutflank {verb}: error: argument {option}: no sample named in {text!r}: give NAMES "
        "separated by commas"))
    assert not [name for name in os.listdir() if name.startswith("out")]


def test_counts_in_messages_have_thousands_separators(small):
    write_text("big.maf", MAF_HEADER + maf_rows(1200) + "G\tchrUn\t5\t5\tSNP\tC\tC\tT\tS1\t37\n")
    assert run("table", "big.maf", "-o", "t.tsv", "--reference", "ref")[2] == (
        "mutflank table: wrote 1,200 rows of 1 sample to t.tsv\n"
        "mutflank table: left out 1 record: no reference file, on chrUn (1)\n")
