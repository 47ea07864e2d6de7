"""Binding and conversion of parse_vcf_files' arguments: exact exceptions and messages."""

import pathlib
import re

import pytest

from mutflank import parse_vcf_files


class Index:
    """An object accepted by the index protocol; counts how often it was asked."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class Outer:
    class Inner:
        pass


class NoName(type):
    """A metaclass whose classes' __qualname__ cannot be read."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=NoName):
    pass


class PathList(list):
    pass


class Text(str):
    pass


def raises_exactly(kind, message, call):
    with pytest.raises(kind, match=f"^{re.escape(message)}$") as info:
        call()
    assert type(info.value) is kind
    return info.value


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "parse_vcf_files() missing 3 required positional arguments: "
                 "'vcf_files', 'ref_genome', and 'context'"),
        (([],), {}, "parse_vcf_files() missing 2 required positional arguments: "
                    "'ref_genome' and 'context'"),
        (([], ""), {}, "parse_vcf_files() missing 1 required positional argument: 'context'"),
        ((), {"context": 3}, "parse_vcf_files() missing 2 required positional arguments: "
                             "'vcf_files' and 'ref_genome'"),
        ((), {"ref_genome": "", "context": 3},
         "parse_vcf_files() missing 1 required positional argument: 'vcf_files'"),
        (([],), {"context": 3},
         "parse_vcf_files() missing 1 required positional argument: 'ref_genome'"),
        (([], "", 3, 4), {},
         "parse_vcf_files() takes 3 positional arguments but 4 were given"),
        (([], "", 3, 4, 5), {"context": 1, "bogus": 2},
         "parse_vcf_files() takes 3 positional arguments but 5 were given"),
        (([], "", 3), {"context": 5},
         "parse_vcf_files() got multiple values for argument 'context'"),
        (([],), {"vcf_files": []},
         "parse_vcf_files() got multiple values for argument 'vcf_files'"),
        (([], "", 3), {"Context": 1},
         "parse_vcf_files() got an unexpected keyword argument 'Context'"),
        (([],), {"bogus": 1, "vcf_files": []},
         "parse_vcf_files() got an unexpected keyword argument 'bogus'"),
        (([],), {"vcf_files": [], "bogus": 1},
         "parse_vcf_files() got multiple values for argument 'vcf_files'"),
        ((), {"bogus": 1}, "parse_vcf_files() got an unexpected keyword argument 'bogus'"),
        ((), {"\u00e9t\u00e9": 1},
         "parse_vcf_files() got an unexpected keyword argument '\u00e9t\u00e9'"),
        # Binding comes before any conversion.
        (((), 5), {}, "parse_vcf_files() missing 1 required positional argument: 'context'"),
        (((), 5, None), {"x": 1}, "parse_vcf_files() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    raises_exactly(TypeError, message, lambda: parse_vcf_files(*args, **kwargs))


@pytest.mark.parametrize(
    "kwargs",
    [
        {"context": 3, "ref_genome": "/nonexistent", "vcf_files": []},
        {Text("vcf_files"): [], Text("ref_genome"): "", Text("context"): 3},
        {"".join(["con", "text"]): 3, "ref_genome": "", "vcf_files": []},
    ],
)
def test_keywords_in_any_order(kwargs):
    assert parse_vcf_files(**kwargs).shape == (0, 0)


def test_mixed_positional_and_keyword():
    assert parse_vcf_files([], context=3, ref_genome="").shape == (0, 0)
    assert parse_vcf_files([], "", context=3).shape == (0, 0)


@pytest.mark.parametrize(
    "vcf_files, ref_genome, context, message",
    [
        ((), "", 3, "argument 'vcf_files': 'tuple' object cannot be converted to 'PyList'"),
        (None, "", 3, "argument 'vcf_files': 'NoneType' object cannot be converted to 'PyList'"),
        ("a.tsv", "", 3, "argument 'vcf_files': 'str' object cannot be converted to 'PyList'"),
        (iter([]), "", 3,
         "argument 'vcf_files': 'list_iterator' object cannot be converted to 'PyList'"),
        (Outer.Inner(), "", 3,
         "argument 'vcf_files': 'Outer.Inner' object cannot be converted to 'PyList'"),
        (Nameless(), "", 3, "argument 'vcf_files': '<failed to extract type name>' object "
                            "cannot be converted to 'PyList'"),
        ([], b"ref", 3, "argument 'ref_genome': 'bytes' object cannot be converted to 'PyString'"),
        ([], None, 3,
         "argument 'ref_genome': 'NoneType' object cannot be converted to 'PyString'"),
        ([], pathlib.PurePosixPath("ref"), 3,
         "argument 'ref_genome': 'PurePosixPath' object cannot be converted to 'PyString'"),
        ([], "", 3.0, "argument 'context': 'float' object cannot be interpreted as an integer"),
        ([], "", "3", "argument 'context': 'str' object cannot be interpreted as an integer"),
        ([], "", None,
         "argument 'context': 'NoneType' object cannot be interpreted as an integer"),
        ([], "", Index("3"), "argument 'context': __index__ returned non-int (type str)"),
        ([], "", RaisingIndex(TypeError("no index today")), "argument 'context': no index today"),
        # The first failing argument ends the call.
        ((), b"ref", 3.0,
         "argument 'vcf_files': 'tuple' object cannot be converted to 'PyList'"),
        ([], b"ref", 3.0,
         "argument 'ref_genome': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_conversion_type_errors(vcf_files, ref_genome, context, message):
    error = raises_exactly(TypeError, message,
                           lambda: parse_vcf_files(vcf_files, ref_genome, context))
    assert error.__cause__ is None
    assert error.__suppress_context__ is True
    assert error.__context__ is None


def test_conversion_error_keeps_the_cause_of_the_caught_error():
    cause = KeyError("inner cause")

    class Chained:
        def __index__(self):
            raise TypeError("chained") from cause

    error = raises_exactly(TypeError, "argument 'context': chained",
                           lambda: parse_vcf_files([], "", Chained()))
    assert error.__cause__ is cause
    assert error.__suppress_context__ is True
    assert error.__context__ is None


class SubTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "error",
    [SubTypeError("a subclass"), ValueError("not a type error"), OverflowError("too big")],
    ids=["TypeError subclass", "ValueError", "OverflowError"],
)
def test_other_conversion_errors_pass_unchanged(error):
    with pytest.raises(BaseException) as info:
        parse_vcf_files([], "", RaisingIndex(error))
    assert info.value is error
    assert str(error) == error.args[0]


def test_unprintable_conversion_error(monkeypatch):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("cannot print")

    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    raises_exactly(TypeError, "argument 'context': <unprintable TypeError object>",
                   lambda: parse_vcf_files([], "", RaisingIndex(TypeError(Unprintable()))))
    assert len(reports) == 1
    assert reports[0].exc_type is RuntimeError
    assert str(reports[0].exc_value) == "cannot print"
    assert type(reports[0].object) is TypeError


@pytest.mark.parametrize(
    "context, message",
    [
        (-1, "can't convert negative int to unsigned"),
        (Index(-5), "can't convert negative int to unsigned"),
        (2**64, "int too big to convert"),
        (Index(2**70), "int too big to convert"),
    ],
)
def test_context_out_of_range(context, message):
    error = raises_exactly(OverflowError, message, lambda: parse_vcf_files([], "", context))
    assert error.__cause__ is None


@pytest.mark.parametrize("context", [0, 1, True, False, 2**64 - 1, Index(7)])
def test_context_in_range(context):
    assert parse_vcf_files([], "", context).shape == (0, 0)


LONE_SURROGATE = "ref\udc80"
SURROGATE_MESSAGE = (
    "'utf-8' codec can't encode character '\\udc80' in position 3: surrogates not allowed"
)


def test_ref_genome_lone_surrogate():
    context = Index(3)
    error = raises_exactly(UnicodeEncodeError, SURROGATE_MESSAGE,
                           lambda: parse_vcf_files([], LONE_SURROGATE, context))
    assert context.calls == 0  # later arguments are not looked at


def test_path_lone_surrogate():
    raises_exactly(UnicodeEncodeError, SURROGATE_MESSAGE,
                   lambda: parse_vcf_files([LONE_SURROGATE], "", 3))


@pytest.mark.parametrize(
    "element, message",
    [
        (5, "'int' object cannot be converted to 'PyString'"),
        (None, "'NoneType' object cannot be converted to 'PyString'"),
        (b"a.tsv", "'bytes' object cannot be converted to 'PyString'"),
        (pathlib.Path("a.tsv"), "'PosixPath' object cannot be converted to 'PyString'"),
        (Outer.Inner(), "'Outer.Inner' object cannot be converted to 'PyString'"),
        (Nameless(), "'<failed to extract type name>' object cannot be converted to 'PyString'"),
    ],
)
def test_element_not_a_str(element, message):
    error = raises_exactly(TypeError, message, lambda: parse_vcf_files([element], "", 3))
    assert error.__cause__ is None


def test_list_and_str_subclasses_are_read_directly(ref_root, table):
    path = table("one.tsv", ["\t".join(["P1", "S1", "x", "GRCh37", "SNP", "1", "6", "6", "C", "T"])])

    class Guarded(list):
        def __iter__(self):
            raise AssertionError("__iter__ called")

        def __getitem__(self, index):
            raise AssertionError("__getitem__ called")

        def __len__(self):
            raise AssertionError("__len__ called")

    class GuardedText(str):
        def __str__(self):
            raise AssertionError("__str__ called")

        def __fspath__(self):
            raise AssertionError("__fspath__ called")

        def encode(self, *args):
            raise AssertionError("encode called")

    result = parse_vcf_files(Guarded([GuardedText(path)]), GuardedText(ref_root), 3)
    assert result.tolist() == [["P1::S1", "T[C>T]A"]]
    assert parse_vcf_files(PathList([Text(path), path]), Text(ref_root), 3).shape == (2, 2)
