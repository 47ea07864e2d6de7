"""Reference windows are read through io_uring where the kernel allows it, and one at a
time where it does not; the results and errors must be the same on both paths."""

import os
import subprocess
import sys

import pytest

from conftest import record, write_reference, write_table

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(HERE, "..", "..", "bench")
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
