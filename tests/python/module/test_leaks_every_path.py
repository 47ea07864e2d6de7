"""Every success and failure path of parse_vcf_files, a thousand times each.

Extends test_leaks.py (a few paths, each repeated a few dozen times) to every binding and
conversion error, every extraction error, the NumPy table being unavailable, and results of
every shape. After each path has run a thousand times, the arguments' reference counts, the
open descriptors and the number of objects the garbage collector tracks are what they were, and
resident memory stays flat over rounds of all paths.

`python test_leaks_every_path.py` runs every path once, without pytest's machinery around it;
`make sanitize` runs that under valgrind.
"""

import contextlib
import gc
import json
import os
import sys
import tempfile
from pathlib import Path

import pytest

from conftest import Index, record, run_python, write_reference, write_table
from mutflank import parse_vcf_files

REPEATS = 2000
POSITION = "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: %s }"
SURROGATE = "'utf-8' codec can't encode character '\\udc80' in position 1: surrogates not allowed"


class RaisingIndex:
    """Raises a fresh copy of the error each time, so no call keeps the last one alive."""

    def __init__(self, make_error):
        self.make_error = make_error

    def __index__(self):
        raise self.make_error()


class Unprintable:
    def __str__(self):
        raise RuntimeError("cannot print")


def type_error_with_cause():
    error = TypeError("no index")
    error.__cause__ = KeyError("cause")
    return error


class PathList(list):
    pass


class Text(str):
    pass


class Call:
    """One path: the arguments, and the exception type and message it must end in (or the
    shape of the result)."""

    def __init__(self, name, args, kwargs=None, *, error=None, message=None, shape=None):
        self.name = name
        self.args = args
        self.kwargs = kwargs or {}
        self.error = error
        self.message = message
        self.shape = shape

    def tracked(self):
        """The objects whose reference counts must not change."""
        objects = [*self.args, *self.kwargs.values()]
        for candidate in list(objects):
            if isinstance(candidate, list):
                objects.extend(candidate)
        return objects

    def run(self):
        if self.error is None:
            result = parse_vcf_files(*self.args, **self.kwargs)
            assert result.shape == self.shape, self.name
            return
        try:
            parse_vcf_files(*self.args, **self.kwargs)
        except BaseException as error:  # PanicException derives from BaseException
            assert type(error).__name__ == self.error, (self.name, error)
            assert str(error) == self.message, (self.name, error)
        else:
            raise AssertionError(f"{self.name}: no exception")


def make_calls(folder):
    """Every path, with its fixtures made below `folder` (a pathlib.Path)."""
    root = folder / "reference"
    write_reference(root, "GRCh37", "1", "ACGTTCAGGATCCATG")
    ref = str(root)
    good_line = record("C", "T", 6)
    tables = folder / "tables"
    tables.mkdir()

    def table(name, lines):
        return write_table(tables / name, lines)

    good = table("good.tsv", [good_line, record("G", "A", 8, key=("P2", "S2"))])
    many = table("many.tsv", [good_line] * 500)
    unicode = table("unicode.tsv", [record("\u00e9", "A", 6, key=("Pa\u00efs", "\u6837"))])
    skipped = table("skipped.tsv", [record("C", "T", 6, build="hg19"), "a\tb", ""])
    invalid = tables / "invalid.tsv"
    invalid.write_bytes(good_line.encode() + b"\n" + b"\xc3\x28\n")

    def failing(name, line):
        return table(name, [good_line, line])

    panic = "PanicException"
    os_error = "OSError"
    missing_3 = ("parse_vcf_files() missing 3 required positional arguments: "
                 "'vcf_files', 'ref_genome', and 'context'")
    return [
        # Results of every shape.
        Call("rows", ([good, good], ref, Index(3)), shape=(4, 2)),
        Call("many rows", ([many], ref, Index(5)), shape=(500, 2)),
        Call("non-ASCII rows", ([unicode], ref, Index(3)), shape=(1, 2)),
        Call("empty list", ([], ref, Index(3)), shape=(0, 0)),
        Call("no qualifying record", ([skipped], ref, Index(3)), shape=(0, 0)),
        Call("keywords in any order", (),
             {"context": Index(3), "ref_genome": ref, "vcf_files": [good]}, shape=(2, 2)),
        Call("subclasses", (PathList([Text(good)]), Text(ref), True), shape=(2, 2)),
        # Binding.
        Call("four positional", ([], ref, Index(3), Index(4)), error="TypeError",
             message="parse_vcf_files() takes 3 positional arguments but 4 were given"),
        Call("unknown keyword", ([], ref, Index(3)), {"bogus": Index(1)}, error="TypeError",
             message="parse_vcf_files() got an unexpected keyword argument 'bogus'"),
        Call("twice", ([], ref, Index(3)), {"context": Index(5)}, error="TypeError",
             message="parse_vcf_files() got multiple values for argument 'context'"),
        Call("missing three", (), error="TypeError", message=missing_3),
        Call("missing two", ([],), error="TypeError",
             message="parse_vcf_files() missing 2 required positional arguments: "
                     "'ref_genome' and 'context'"),
        Call("missing one", ([], ref), error="TypeError",
             message="parse_vcf_files() missing 1 required positional argument: 'context'"),
        # Conversion.
        Call("tuple", ((good,), ref, Index(3)), error="TypeError",
             message="argument 'vcf_files': 'tuple' object cannot be converted to 'PyList'"),
        Call("bytes root", ([good], ref.encode(), Index(3)), error="TypeError",
             message="argument 'ref_genome': 'bytes' object cannot be converted to 'PyString'"),
        Call("surrogate root", ([good], "r\udc80", Index(3)), error="UnicodeEncodeError",
             message=SURROGATE),
        Call("float context", ([good], ref, 3.5), error="TypeError",
             message="argument 'context': 'float' object cannot be interpreted as an integer"),
        Call("None context", ([good], ref, None), error="TypeError",
             message="argument 'context': 'NoneType' object cannot be interpreted as an "
                     "integer"),
        Call("negative context", ([good], ref, Index(-1)), error="OverflowError",
             message="can't convert negative int to unsigned"),
        Call("context 2**64", ([good], ref, 2**64 + 12345), error="OverflowError",
             message="int too big to convert"),
        Call("index raises ValueError", ([good], ref, RaisingIndex(lambda: ValueError("v"))),
             error="ValueError", message="v"),
        Call("index raises TypeError with a cause", ([good], ref,
                                                     RaisingIndex(type_error_with_cause)),
             error="TypeError", message="argument 'context': no index"),
        Call("unprintable TypeError", ([good], ref,
                                       RaisingIndex(lambda: TypeError(Unprintable()))),
             error="TypeError", message="argument 'context': <unprintable TypeError object>"),
        Call("int element", ([good, 12345678901], ref, Index(3)), error="TypeError",
             message="'int' object cannot be converted to 'PyString'"),
        Call("surrogate element", ([good, "a\udc80"], ref, Index(3)),
             error="UnicodeEncodeError", message=SURROGATE),
        # Extraction.
        Call("missing table", ([good, good + ".missing"], ref, Index(3)), error=os_error,
             message="Failed to open the VCF file"),
        Call("NUL in table path", ([good + "\0x"], ref, Index(3)), error=os_error,
             message="Failed to open the VCF file"),
        Call("directory as table", ([str(tables)], ref, Index(3)), error=os_error,
             message="Error reading line from the VCF file"),
        Call("invalid UTF-8", ([good, str(invalid)], ref, Index(3)), error=os_error,
             message="Error reading line from the VCF file"),
        Call("missing chromosome", ([failing("chrom.tsv", record("C", "T", 6, chrom="9"))],
                                    ref, Index(3)),
             error=os_error, message="Failed to open the bytes file"),
        Call("NUL in root", ([good], ref + "\0", Index(3)), error=os_error,
             message="Failed to open the bytes file"),
        Call("position 0", ([failing("zero.tsv", record("C", "T", 0))], ref, Index(3)),
             error=os_error, message="Error seeking to the specified position"),
        Call("window past the end", ([failing("end.tsv", record("C", "T", 16))], ref,
                                     Index(3)),
             error=os_error, message="Error reading data from the file"),
        Call("invalid digit", ([failing("digit.tsv", record("C", "T", "1x"))], ref, Index(3)),
             error=panic, message=POSITION % "InvalidDigit"),
        Call("empty position", ([failing("empty.tsv", record("C", "T", ""))], ref, Index(3)),
             error=panic, message=POSITION % "Empty"),
        Call("position overflow", ([failing("big.tsv", record("C", "T", 2**64))], ref,
                                   Index(3)),
             error=panic, message=POSITION % "PosOverflow"),
        Call("capacity overflow", ([failing("capacity.tsv", record("C", "T", 2))], ref,
                                   2**64 - 1),
             error=panic, message="capacity overflow"),
    ]


@contextlib.contextmanager
def quiet():
    """Sends standard error (the panic reports) to /dev/null and swallows unraisable errors."""
    saved_hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    sys.stderr.flush()
    saved_fd = os.dup(2)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved_fd, 2)
        os.close(saved_fd)
        sys.unraisablehook = saved_hook


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Objects that the whole interpreter refers to: any thread (a Dask client's event loop left by
# another test) moves their counts by a few meanwhile. One reference kept per call would move
# them by REPEATS.
SHARED = (None, True, False)


def state(call):
    """({tracked object's index: its reference count}, for the call's own objects and for the
    shared ones, the open descriptors, the number of objects the collector tracks)."""
    gc.collect()
    own, shared = {}, {}
    for index, tracked in enumerate(call.tracked()):
        counts = shared if any(tracked is singleton for singleton in SHARED) else own
        counts[index] = sys.getrefcount(tracked)
    return own, shared, open_descriptors(), len(gc.get_objects())


@pytest.fixture(scope="module")
def calls(tmp_path_factory):
    return make_calls(tmp_path_factory.mktemp("paths"))


with tempfile.TemporaryDirectory() as _folder:
    CASE_NAMES = [call.name for call in make_calls(Path(_folder))]


@pytest.mark.parametrize("index", range(len(CASE_NAMES)), ids=CASE_NAMES)
def test_path_leaks_no_reference_object_or_descriptor(calls, index):
    call = calls[index]
    with quiet():
        for _ in range(20):  # caches, the NumPy table and the exception class settle first
            call.run()
        references, shared, descriptors, objects = state(call)
        for _ in range(REPEATS):
            call.run()
        references_after, shared_after, descriptors_after, objects_after = state(call)
    assert references_after == references
    assert all(abs(shared_after[index] - count) < REPEATS // 10
               for index, count in shared.items()), (shared, shared_after)
    assert descriptors_after == descriptors
    # Caches of the interpreter may move by a few objects; one kept per call would be thousands.
    assert objects_after - objects < REPEATS // 10


def test_resident_size_stays_flat_over_every_path(calls):
    def round_of_calls():
        for call in calls:
            call.run()

    with quiet():
        for _ in range(30):
            round_of_calls()
        gc.collect()
        before = resident_bytes()
        for _ in range(300):
            round_of_calls()
        gc.collect()
        growth = resident_bytes() - before
    # One round makes about 1 100 str objects; keeping any of them would add megabytes.
    assert growth < 2 * 2**20


# In a fresh process NumPy can be made unavailable: the failed fetch of its table is not
# remembered, so every call tries the import again and fails again.
NUMPY_UNAVAILABLE = r"""
import gc, json, os, sys, types
if MODE == "missing":
    sys.modules["numpy"] = None
else:
    sys.modules["numpy"] = types.ModuleType("numpy")
    sys.modules["numpy.core"] = types.ModuleType("numpy.core")
    fake = types.ModuleType("numpy.core.multiarray")
    fake._ARRAY_API = 12345
    sys.modules["numpy.core.multiarray"] = fake
from mutflank import parse_vcf_files
devnull = os.open(os.devnull, os.O_WRONLY)
os.dup2(devnull, 2)
files, root = [], "nowhere"

def run():
    try:
        parse_vcf_files(files, root, 3)
    except BaseException as error:
        assert type(error).__name__ == "PanicException", error
        assert str(error).startswith("Failed to access NumPy array API capsule: "), error
    else:
        raise AssertionError("no exception")

def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

for _ in range(200):
    run()
gc.collect()
before = ([sys.getrefcount(files), sys.getrefcount(root)], sorted(os.listdir("/proc/self/fd")),
          len(gc.get_objects()), rss())
for _ in range(3000):
    run()
gc.collect()
after = ([sys.getrefcount(files), sys.getrefcount(root)], sorted(os.listdir("/proc/self/fd")),
         len(gc.get_objects()), rss())
same = before[:2] == after[:2] and after[2] - before[2] < 300
print(json.dumps({"same": same, "growth": after[3] - before[3]}))
"""


@pytest.fixture(scope="module", params=["missing", "not a capsule"])
def numpy_unavailable(request):
    done = run_python(f"MODE = {request.param!r}\n" + NUMPY_UNAVAILABLE)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_numpy_unavailable_leaks_no_reference_object_or_descriptor(numpy_unavailable):
    assert numpy_unavailable["same"]


def test_resident_size_stays_flat_while_numpy_is_unavailable(numpy_unavailable):
    assert numpy_unavailable["growth"] < 2 * 2**20


if __name__ == "__main__":
    # Every path once, for valgrind.
    with tempfile.TemporaryDirectory() as folder, quiet():
        for call in make_calls(Path(folder)):
            call.run()
    print("every path ran once")
