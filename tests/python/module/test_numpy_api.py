"""NumPy's array interface: fetched on first need, kept once fetched, retried after failure."""

import os
import re
import subprocess
import sys
import textwrap

import pytest

import mutflank
from conftest import run_python

PREFIX = "Failed to access NumPy array API capsule: "

# Prints what a call with an empty list gives: a shape, or the exception and its message.
CALL = """
import mutflank
def call():
    try:
        print(mutflank.parse_vcf_files([], "", 3).shape, flush=True)
    except BaseException as error:
        print(type(error).__module__ + "." + type(error).__qualname__, error, flush=True)
"""


def fake_numpy(folder, multiarray_source):
    """A package `numpy` whose numpy.core.multiarray module has the given source."""
    core = folder / "numpy" / "core"
    core.mkdir(parents=True)
    (folder / "numpy" / "__init__.py").write_text("")
    (core / "__init__.py").write_text("")
    (core / "multiarray.py").write_text(textwrap.dedent(multiarray_source))
    return str(folder)


def panic_line(rendering):
    return f"pyo3_runtime.PanicException {PREFIX}{rendering}"


@pytest.mark.parametrize(
    "source, rendering",
    [
        ("_ARRAY_API = 42\n",
         "PyErr { type: <class 'TypeError'>, value: TypeError(\"'int' object cannot be "
         "converted to 'PyCapsule'\"), traceback: None }"),
        ("_ARRAY_API = memoryview(b'')\n",
         "PyErr { type: <class 'TypeError'>, value: TypeError(\"'memoryview' object cannot be "
         "converted to 'PyCapsule'\"), traceback: None }"),
        ("", "PyErr { type: <class 'AttributeError'>, value: AttributeError(\"module "
             "'numpy.core.multiarray' has no attribute '_ARRAY_API'\"), traceback: None }"),
    ],
    ids=["int", "memoryview", "no attribute"],
)
def test_unusable_capsule(tmp_path, source, rendering):
    path = fake_numpy(tmp_path, source)
    result = run_python(f"import sys\nsys.path.insert(0, {path!r})\n{CALL}\ncall()\ncall()\n")
    assert result.stdout.splitlines() == [panic_line(rendering)] * 2
    report = re.compile(
        r"thread 'MainThread' panicked at src/lib/[\w/]+\.cpp:\d+:\n" + re.escape(PREFIX + rendering) + "\n"
    )
    assert re.fullmatch(f"({report.pattern}){{2}}", result.stderr), result.stderr


def test_import_failure_with_traceback(tmp_path):
    path = fake_numpy(tmp_path, "raise ImportError('broken build')\n")
    result = run_python(f"import sys\nsys.path.insert(0, {path!r})\n{CALL}\ncall()\n")
    assert re.fullmatch(
        re.escape(panic_line("PyErr { type: <class 'ImportError'>, value: "
                             "ImportError('broken build'), traceback: Some("))
        + r"<traceback object at 0x[0-9a-f]+>\) }\n",
        result.stdout,
    ), result.stdout


def test_numpy_missing(tmp_path):
    # Without site-packages (python -S) only the module's own folder is on the path.
    folder = os.path.dirname(mutflank.__file__)
    script = tmp_path / "call.py"
    script.write_text(f"import sys\nsys.path.insert(0, {folder!r})\n{CALL}\ncall()\n")
    result = subprocess.run([sys.executable, "-S", str(script)], capture_output=True,
                            text=True, check=False)
    if "(0, 0)" in result.stdout:
        pytest.skip("NumPy is installed next to mutflank")
    assert result.stdout == panic_line(
        "PyErr { type: <class 'ModuleNotFoundError'>, value: "
        "ModuleNotFoundError(\"No module named 'numpy'\"), traceback: None }") + "\n"


def test_failure_is_retried_and_success_is_kept():
    result = run_python(
        CALL + """
import sys, numpy
real = sys.modules["numpy.core.multiarray"]
sys.modules["numpy.core.multiarray"] = None
call()
sys.modules["numpy.core.multiarray"] = real
call()
sys.modules["numpy.core.multiarray"] = None
call()
"""
    )
    assert result.stdout.splitlines() == [
        panic_line("PyErr { type: <class 'ModuleNotFoundError'>, value: ModuleNotFoundError("
                   "'import of numpy.core.multiarray halted; None in sys.modules'), "
                   "traceback: None }"),
        "(0, 0)",
        "(0, 0)",
    ]


# A capsule over a copy of NumPy's own table, with the two version functions replaced.
CRAFTED_CAPSULE = """
import ctypes, sys, types
import numpy.core.multiarray as real
api = ctypes.pythonapi
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
SLOTS = 283
table = (ctypes.c_void_p * SLOTS).from_address(api.PyCapsule_GetPointer(real._ARRAY_API, None))
copy = (ctypes.c_void_p * SLOTS)(*table)
Version = ctypes.CFUNCTYPE(ctypes.c_uint)
abi, feature = Version(lambda: ABI), Version(lambda: FEATURE)
copy[0] = ctypes.cast(abi, ctypes.c_void_p).value
copy[211] = ctypes.cast(feature, ctypes.c_void_p).value
fake = types.ModuleType("numpy.core.multiarray")
fake._ARRAY_API = api.PyCapsule_New(ctypes.addressof(copy), NAME, None)
sys.modules["numpy.core.multiarray"] = fake
import mutflank
try:
    result = mutflank.parse_vcf_files([], "", 3)
    print(result.shape, result.dtype)
except BaseException as error:
    print(type(error).__qualname__, error)
"""


@pytest.mark.parametrize(
    "abi, feature, name, output",
    [
        (0x01000009, 0x10, None, "(0, 0) object"),
        (0x02000000, 0x12, None, "(0, 0) object"),
        (0x01000008, 0x10, None,
         "PanicException " + PREFIX + "PyErr { type: <class 'ImportError'>, value: ImportError("
         "'module compiled against ABI version 0x1000009 but this version of numpy is "
         "0x1000008'), traceback: None }"),
        (0x03000000, 0x20, None,
         "PanicException " + PREFIX + "PyErr { type: <class 'ImportError'>, value: ImportError("
         "'module compiled against ABI version 0x1000009 but this version of numpy is "
         "0x3000000'), traceback: None }"),
        (0x01000009, 0x6, None,
         "PanicException " + PREFIX + "PyErr { type: <class 'ImportError'>, value: ImportError("
         "'module compiled against API version 0x7 but this version of numpy is 0x6'), "
         "traceback: None }"),
        (0x01000009, 0x10, b"other",
         "PanicException " + PREFIX + "PyErr { type: <class 'ValueError'>, value: ValueError("
         "'PyCapsule_GetPointer called with incorrect name'), traceback: None }"),
    ],
    ids=["NumPy 1", "NumPy 2", "older ABI", "newer ABI", "old API", "named capsule"],
)
def test_version_checks(abi, feature, name, output):
    result = run_python(f"ABI, FEATURE, NAME = {abi}, {feature}, {name!r}\n" + CRAFTED_CAPSULE)
    assert result.stdout == output + "\n", result.stderr
