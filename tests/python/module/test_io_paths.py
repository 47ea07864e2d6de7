"""Reference windows are read through io_uring where the kernel allows it, and one at a
time where it does not; the results and errors must be the same on both paths."""

import os
import subprocess
import sys

import pytest

from conftest import record, write_reference, write_table

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(HERE, "..", "..", "..", "bench")
sys.path.insert(0, BENCH)
from without_io_uring import io_uring_setup_errno  # noqa: E402


def run_without_io_uring(*arguments):
    return subprocess.run([sys.executable, os.path.join(BENCH, "without_io_uring.py"), *arguments],
                          cwd=HERE, capture_output=True, text=True, timeout=300)


def test_the_filter_refuses_io_uring_only_in_its_process():
    if io_uring_setup_errno() != 0:
        pytest.skip("this kernel refuses io_uring already")
    probe = run_without_io_uring(
        "-c", f"import sys; sys.path.insert(0, {BENCH!r})\n"
              "from without_io_uring import io_uring_setup_errno as e; print(e())")
    assert probe.returncode == 0, probe.stderr
    assert probe.stdout.strip() == "38"  # ENOSYS


def test_differential_suite_without_io_uring():
    """The module agrees with its model when every window is read one at a time."""
    run = run_without_io_uring("-m", "pytest", "-q", "-p", "no:cacheprovider", "test_differential.py")
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-4000:]


# Long enough to fill several batches of windows, with the failing record placed on either
# side of a batch boundary and a later line that fails on its own.
@pytest.mark.parametrize("failing_at", [None, 0, 127, 128, 129, 255, 300])
@pytest.mark.parametrize("later_failure", [None, b"\xff\xfe not UTF-8", "bad position"])
def test_both_paths_give_the_same_outcome(tmp_path, failing_at, later_failure):
    root = tmp_path / "reference"
    write_reference(root, "GRCh37", "1", "ACGTTCAGGATCCATG" * 8)
    lines = []
    for i in range(400):
        if i == failing_at:
            lines.append(record("C", "T", 200, key=(f"s{i}", "x")))  # past the end of the file
        else:
            lines.append(record("GCAT"[i % 4], "ACGT"[(i + 1) % 4], 1 + i % 120, key=(f"s{i}", "x")))
    table = write_table(tmp_path / "t.tsv", lines)
    if later_failure is not None:
        extra = later_failure if isinstance(later_failure, bytes) else record("C", "T", "1x").encode()
        with open(table, "ab") as f:
            f.write(extra + b"\n")
    code = (
        "import sys, mutflank\n"
        "try:\n"
        f"    result = mutflank.parse_vcf_files([{table!r}], {str(root)!r}, 5)\n"
        "    print(repr(result.shape), repr(result.tolist()))\n"
        "except BaseException as error:\n"
        "    print(type(error).__module__, type(error).__qualname__, repr(error.args))\n"
    )
    with_ring = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    without_ring = run_without_io_uring("-c", code)
    assert with_ring.returncode == 0, with_ring.stderr
    assert without_ring.returncode == 0, without_ring.stderr
    assert without_ring.stdout == with_ring.stdout
    if failing_at is not None:
        assert with_ring.stdout == "builtins OSError ('Error reading data from the file',)\n"
    elif later_failure is not None:
        assert with_ring.stdout.split(" ")[:2] == (
            ["builtins", "OSError"] if isinstance(later_failure, bytes) else ["pyo3_runtime", "PanicException"])
    else:
        assert with_ring.stdout.startswith("(400, 2) ")


# The failing record is the last of its table and comes after `before` kept records of the
# call, on either side of a full batch; the next list element fails on its own.
@pytest.mark.parametrize("before", [0, 127, 128, 129, 255, 256])
@pytest.mark.parametrize("next_element", ["invalid UTF-8", "bad position", "int", "missing"])
def test_a_failure_ending_a_table_comes_before_the_next_element(tmp_path, before, next_element):
    root = tmp_path / "reference"
    write_reference(root, "GRCh37", "1", "ACGTTCAGGATCCATG" * 8)
    good = [record("GCAT"[i % 4], "ACGT"[(i + 1) % 4], 1 + i % 120, key=(f"s{i}", "x"))
            for i in range(before)]
    chunks = [good[i:i + 50] for i in range(0, before, 50)] or [[]]
    chunks[-1].append(record("C", "T", 200))  # past the end of the file
    tables = [write_table(tmp_path / f"t{i}.tsv", lines) for i, lines in enumerate(chunks)]
    if next_element == "invalid UTF-8":
        (tmp_path / "next.tsv").write_bytes(b"\xff\tx\n")
    elif next_element == "bad position":
        write_table(tmp_path / "next.tsv", [record("C", "T", "1x")])
    tables.append(5 if next_element == "int" else str(tmp_path / "next.tsv"))
    code = (
        "import mutflank\n"
        "try:\n"
        f"    mutflank.parse_vcf_files({tables!r}, {str(root)!r}, 5)\n"
        "except BaseException as error:\n"
        "    print(type(error).__module__, type(error).__qualname__, repr(error.args))\n"
    )
    with_ring = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=120)
    without_ring = run_without_io_uring("-c", code)
    assert with_ring.stdout == "builtins OSError ('Error reading data from the file',)\n"
    assert without_ring.stdout == with_ring.stdout


# ---------------------------------------------------------------------------------------
# Special files, leases and descriptor limits behind a full batch. Each case runs in a fresh
# process with a time limit, since a wrong answer may be a call that never returns.

SCENARIO = """
import array, fcntl, os, pty, resource, subprocess, sys, termios, time
import mutflank
root, table_folder = sys.argv[1], sys.argv[2]
special = os.path.join(root, "GRCh37", "special.txt")
def rec(chrom, pos):
    return f"P\\tS\\tx\\tGRCh37\\tSNP\\t{{chrom}}\\t{{pos}}\\t{{pos}}\\tC\\tT\\n"
def tables(*texts):
    paths = []
    for i, text in enumerate(texts):
        paths.append(os.path.join(table_folder, f"t{{i}}.tsv"))
        with open(paths[-1], "w") as f:
            f.write(text)
    return paths
def waiting(fd):
    count = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, count)
    return count[0]
def run(*texts, context=3):
    try:
        return mutflank.parse_vcf_files(tables(*texts), root, context)[-1].tolist()
    except OSError as error:
        return str(error)
{code}
"""


def scenario(tmp_path, code):
    root = tmp_path / "reference"
    write_reference(root, "GRCh37", "1", bytes([0, 1, 2, 3]) * 500)
    folder = tmp_path / "tables"
    folder.mkdir()
    run = subprocess.run([sys.executable, "-c", SCENARIO.format(code=code), str(root), str(folder)],
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    return run.stdout.splitlines()


FIFO_WITH_WRITER = "os.mkfifo(special); writer = os.open(special, os.O_RDWR)\n"

# (setup, outcome of one record on special.txt at position 6, bytes left unread there)
SPECIAL_FILES = {
    "regular": ("open(special, 'wb').write(bytes([2, 0, 1]) * 4); writer = None",
                "['P::S', 'A[C>T]G']", None),
    "FIFO": ("os.mkfifo(special); writer = None", "Error seeking to the specified position", None),
    "FIFO, idle writer": (FIFO_WITH_WRITER, "Error seeking to the specified position", "0"),
    "FIFO with data": (FIFO_WITH_WRITER + "os.write(writer, bytes([2]) * 4096)",
                       "Error seeking to the specified position", "4096"),
    "link to a FIFO with data": (
        "fifo = special + '.fifo'; os.mkfifo(fifo); writer = os.open(fifo, os.O_RDWR)\n"
        "os.write(writer, bytes([2]) * 381); os.symlink(fifo, special)",
        "Error seeking to the specified position", "381"),
    "directory": ("os.mkdir(special); writer = None", "Error reading data from the file", None),
    "/dev/null": ("os.symlink('/dev/null', special); writer = None",
                  "Error reading data from the file", None),
    "/dev/zero": ("os.symlink('/dev/zero', special); writer = None", "['P::S', 'A[C>T]A']", None),
    "pty with input": ("writer, tty = pty.openpty(); os.symlink(os.ttyname(tty), special)\n"
                       "os.write(writer, b'typed ahead\\n')\nwriter = tty\n"
                       "while waiting(tty) < 12: time.sleep(0.01)",
                       "Error seeking to the specified position", "12"),
    "file under a write lease": (
        "open(special, 'wb').write(bytes([2, 0, 1]) * 4); writer = None\n"
        "holder = subprocess.Popen([sys.executable, '-c', f'''\n"
        "import fcntl, os, signal, sys\n"
        "fd = os.open({special!r}, os.O_RDWR)\n"
        "signal.signal(signal.SIGIO, lambda *_: fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK))\n"
        "fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK); print('held', flush=True)\n"
        "sys.stdin.read()  # held until the scenario ends and its end of the pipe with it\n"
        "'''], stdin=subprocess.PIPE, stdout=subprocess.PIPE)\n"
        "holder.stdout.readline()",
        "['P::S', 'A[C>T]G']", None),
}


@pytest.mark.parametrize("leading", [0, 200], ids=["alone", "behind a full batch"])
@pytest.mark.parametrize("kind", SPECIAL_FILES)
def test_special_reference_files(tmp_path, kind, leading):
    setup, outcome, left = SPECIAL_FILES[kind]
    if kind == "directory":
        outcome = scenario(tmp_path / "alone", f"{setup}\nprint(run(rec('special', 6)))")[0]
        assert outcome in ("Error reading data from the file",
                           "Error seeking to the specified position")  # the file system decides
    printed = scenario(tmp_path, f"""
{setup}
print(run(rec('1', 10) * {leading} + rec('special', 6)))
if writer is not None:
    print(waiting(writer))
""")
    assert printed == [outcome] + ([left] if left is not None else [])


@pytest.mark.parametrize("after", [1, 5, 100], ids=lambda n: f"{n} records later")
@pytest.mark.parametrize("leading", [0, 126, 200])
def test_nothing_is_read_behind_a_failure(tmp_path, leading, after):
    # A missing chromosome file ends the call; the FIFO behind it in the same batch, or in the
    # next table, keeps every byte.
    printed = scenario(tmp_path, FIFO_WITH_WRITER + f"""
os.write(writer, bytes([2]) * 4096)
good = rec('1', 10) * {leading} + rec('missing', 5) + rec('1', 10) * ({after} - 1)
print(run(good + rec('special', 6) * 3))
print(run(good, rec('special', 6) * 3))
print(waiting(writer))
""")
    assert printed == ["Failed to open the bytes file"] * 2 + ["4096"]


def test_the_descriptor_limit_stays_as_it_was(tmp_path):
    printed = scenario(tmp_path, """
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
print(run(rec('1', 10) * 300))
print(resource.getrlimit(resource.RLIMIT_NOFILE)[0])
""")
    assert printed == ["['P::S', 'A[C>T]G']", "64"]


# With exactly two descriptors free (one for a table, one for a reference file), every call
# gives what the synchronous path gives, also when the ring shares them across tables.
@pytest.mark.parametrize("context, tables, outcome", [
    (1025, "rec('1', 10) * 128", "['P::S', 'ACGTACGTA"),  # windows too wide for the ring
    (3, "rec('1', 10) * 128 + rec('1', 5000)", "Error reading data from the file"),
    (3, "rec('1', 10) * 100, rec('1', 10) * 100, rec('1', 10) * 100", "['P::S', 'A[C>T]G']"),
    (3, "rec('1', 10) * 100, rec('1', 10) * 100, rec('1', 10) * 99 + rec('1', 5000)",
     "Error reading data from the file"),
    (3, "rec('1', 10) * 100, rec('1', 10) * 100, rec('1', 10) * 99 + rec('special', 6)",
     "Error seeking to the specified position"),
], ids=["wide windows", "failure after a batch", "small tables", "failure in a later table",
        "FIFO in a later table"])
def test_two_free_descriptors_are_enough(tmp_path, context, tables, outcome):
    printed = scenario(tmp_path, f"""
os.mkfifo(special)
mutflank.parse_vcf_files([], "", 3)  # NumPy is loaded before descriptors run short
tables({tables})  # the tables' folder entries exist before descriptors run short
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
held = []
try:
    while True:
        held.append(os.open("/dev/null", os.O_RDONLY))
except OSError:
    pass
os.close(held.pop()); os.close(held.pop())
print(run({tables}, context={context}))
""")
    assert printed[0].startswith(outcome)
