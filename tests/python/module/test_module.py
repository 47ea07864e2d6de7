"""The module object, its function object and the import rules."""

import ctypes
import re
import sys
import types

import pytest

import mutflank
from conftest import run_python

SIGNATURE_DOC = b"parse_vcf_files(vcf_files, ref_genome, context)\n--\n\n"


def test_module_attributes():
    assert mutflank.__name__ == "mutflank"
    assert mutflank.__version__ == "1.0.2"
    assert type(mutflank.__version__) is str
    assert mutflank.__all__ == ["__version__", "parse_vcf_files"]
    assert type(mutflank.__all__) is list
    doc = mutflank.__doc__
    assert isinstance(doc, str) and doc.endswith(".") and "\n" not in doc
    assert not hasattr(mutflank, "PanicException")


def test_function_attributes():
    f = mutflank.parse_vcf_files
    assert type(f) is types.BuiltinFunctionType
    assert f.__name__ == "parse_vcf_files"
    assert f.__qualname__ == "parse_vcf_files"
    assert f.__text_signature__ == "(vcf_files, ref_genome, context)"
    assert f.__doc__ is None
    assert f.__self__ is mutflank
    assert f.__module__ == "mutflank"


class _MethodDef(ctypes.Structure):
    _fields_ = [
        ("ml_name", ctypes.c_char_p),
        ("ml_meth", ctypes.c_void_p),
        ("ml_flags", ctypes.c_int),
        ("ml_doc", ctypes.c_char_p),
    ]


class _CFunctionObject(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("m_ml", ctypes.POINTER(_MethodDef)),
    ]


def test_method_record():
    record = _CFunctionObject.from_address(id(mutflank.parse_vcf_files)).m_ml.contents
    assert record.ml_name == b"parse_vcf_files"
    assert record.ml_flags == 0x82  # METH_FASTCALL | METH_KEYWORDS
    assert record.ml_doc == SIGNATURE_DOC


def test_import_twice_and_after_removal():
    result = run_python(
        """
        import importlib, sys
        import mutflank as first
        import mutflank as second
        function = first.parse_vcf_files
        del sys.modules["mutflank"]
        third = importlib.import_module("mutflank")
        print(first is second, third is first, third.parse_vcf_files is function,
              third.__version__, third.__all__)
        """
    )
    assert result.stderr == ""
    assert result.stdout == "True True True 1.0.2 ['__version__', 'parse_vcf_files']\n"


def test_import_does_not_import_numpy():
    result = run_python(
        """
        import sys
        import mutflank
        print(sorted(name for name in sys.modules if name.split(".")[0] == "numpy"))
        """
    )
    assert result.stderr == ""
    assert result.stdout == "[]\n"


SUBINTERPRETER_ERROR = re.compile(
    r"mutflank does not support sub-interpreters\b.*https?://\S+$"
)


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="_xxsubinterpreters of 3.11")
def test_sub_interpreter_refused_after_main():
    result = run_python(
        """
        import _xxsubinterpreters as interpreters
        import mutflank
        for _ in range(2):
            interpreter = interpreters.create()
            try:
                interpreters.run_string(interpreter, "import mutflank")
            except interpreters.RunFailedError as error:
                print(error)
            interpreters.destroy(interpreter)
        import mutflank as again
        print(again is mutflank, mutflank.parse_vcf_files([], "", 3).shape)
        """
    )
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    for line in lines[:2]:
        kind, _, message = line.partition(": ")
        assert kind == "<class 'ImportError'>"
        assert SUBINTERPRETER_ERROR.match(message), message
    assert lines[2] == "True (0, 0)"


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="_xxsubinterpreters of 3.11")
def test_module_belongs_to_first_interpreter():
    result = run_python(
        """
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create()
        interpreters.run_string(interpreter, "import mutflank; print(mutflank.__version__)")
        for _ in range(2):
            try:
                import mutflank
            except ImportError as error:
                print(type(error).__name__, error)
        """
    )
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0] == "1.0.2"
    assert len(lines) == 3
    for line in lines[1:]:
        kind, _, message = line.partition(" ")
        assert kind == "ImportError"
        assert SUBINTERPRETER_ERROR.match(message), message


def test_typing_stub_installed_with_the_module():
    import ast
    import importlib.metadata

    try:
        files = importlib.metadata.files("mutflank") or []
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("mutflank is not installed as a package")
    assert importlib.metadata.version("mutflank") == mutflank.__version__
    stubs = [f for f in files if f.name == "mutflank.pyi"]
    assert len(stubs) == 1
    tree = ast.parse(stubs[0].read_text())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert list(functions) == ["parse_vcf_files"]
    parameters = [a.arg for a in functions["parse_vcf_files"].args.args]
    assert f"({', '.join(parameters)})" == mutflank.parse_vcf_files.__text_signature__
    assert ast.unparse(functions["parse_vcf_files"].returns).startswith("numpy.ndarray[")
    exported = [node for node in tree.body if isinstance(node, ast.Assign)
                and [t.id for t in node.targets] == ["__all__"]]
    assert ast.literal_eval(exported[0].value) == mutflank.__all__
