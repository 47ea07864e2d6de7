"""parse_vcf_files over real files: the result array, extraction errors and PanicException."""

import re
import sys
import threading

import numpy
import pytest

from conftest import record, run_python, write_reference, write_table
from mutflank import parse_vcf_files

# On chromosome 1 (ACGTTCAGGATCCATG): C at 6 between T and A; G at 8 between A and G.
C_TO_T = record("C", "T", 6)
G_TO_A = record("G", "A", 8, key=("P2", "S2"))


def make_panic(folder):
    """Makes a call fail internally; returns the exception it raised."""
    path = write_table(folder / "bad.tsv", [record("C", "T", "abc")])
    with pytest.raises(BaseException) as info:
        parse_vcf_files([path], str(folder), 3)
    return info.value


@pytest.fixture
def panic_type(tmp_path):
    return type(make_panic(tmp_path))


def invalid_utf8_table(folder):
    path = folder / "bad.tsv"
    path.write_bytes(C_TO_T.encode() + b"\n" + C_TO_T.encode() + b"\xff\xfe\n")
    return str(path)


def rows(result):
    assert isinstance(result, numpy.ndarray)
    assert result.dtype == numpy.dtype(object)
    assert result.ndim == 2
    assert all(type(text) is str for text in result.flat)
    return result.tolist()


class TestResult:
    def test_rows_and_shape(self, ref_root, table):
        result = parse_vcf_files([table("a.tsv", [C_TO_T, G_TO_A])], ref_root, 3)
        assert result.shape == (2, 2)
        assert rows(result) == [["P1::S1", "T[C>T]A"], ["P2::S2", "C[C>T]T"]]

    def test_wider_context(self, ref_root, table):
        result = parse_vcf_files([table("a.tsv", [C_TO_T, G_TO_A])], ref_root, 5)
        assert rows(result) == [["P1::S1", "TT[C>T]AG"], ["P2::S2", "TC[C>T]TG"]]

    @pytest.mark.parametrize("context", [0, 1, False, True])
    def test_zero_half_width(self, ref_root, table, context):
        result = parse_vcf_files([table("a.tsv", [C_TO_T, G_TO_A])], ref_root, context)
        assert rows(result) == [["P1::S1", "[C>T]"], ["P2::S2", "[C>T]"]]

    def test_even_context_is_the_next_odd_one(self, ref_root, table):
        path = table("a.tsv", [C_TO_T, G_TO_A])
        assert rows(parse_vcf_files([path], ref_root, 4)) == rows(
            parse_vcf_files([path], ref_root, 5))

    def test_one_record_on_its_way(self, tmp_path):
        # G>A at 1000 with C, G, A at 999..1001 (byte offsets 998..1000).
        root = tmp_path / "ref"
        write_reference(root, "GRCh37", "1", bytes(998) + bytes([1, 2, 0]))
        path = write_table(tmp_path / "t.tsv", ["\t".join(
            ["P1", "S1", "x", "GRCh37", "SNP", "1", "1000", "1000", "G", "A"])])
        assert rows(parse_vcf_files([path], str(root), 3)) == [["P1::S1", "T[C>T]G"]]

    def test_non_ascii_texts(self, ref_root, table):
        line = record("\u00e9", "A", 6, key=("Pa\u00efs", "\u6837\u672c"))
        result = parse_vcf_files([table("u.tsv", [line])], ref_root, 3)
        assert rows(result) == [["Pa\u00efs::\u6837\u672c", "T[\u00e9>A]A"]]

    @pytest.mark.parametrize("line, expected", [
        (C_TO_T, ["P1::S1", "T[C>T]A"]),
        (record("C", "T", 6, key=("P", "\u6837")), ["P::\u6837", "T[C>T]A"]),
        (record("\u00e9", "A", 6, key=("Pa\u00efs", "S")), ["Pa\u00efs::S", "T[\u00e9>A]A"]),
    ])
    def test_texts_in_the_narrowest_kind(self, ref_root, table, line, expected):
        # == and hashing do not tell a str stored wider than it needs; isascii() and the size do.
        texts = rows(parse_vcf_files([table("k.tsv", [line])], ref_root, 3))[0]
        assert texts == expected
        assert [text.isascii() for text in texts] == [text.isascii() for text in expected]
        assert [sys.getsizeof(text) for text in texts] == [sys.getsizeof(t) for t in expected]

    @pytest.mark.parametrize(
        "lines",
        [[], ["chrom\tpos"], [record("C", "T", 6, build="hg19"), record("C", "C", 6),
                              record("C", "N", "abc"), record("C", "T", 6, kind="INDEL")]],
        ids=["empty file", "short line", "no qualifying record"],
    )
    def test_no_row_gives_shape_0_0(self, ref_root, table, lines):
        result = parse_vcf_files([table("n.tsv", lines)], ref_root, 3)
        assert result.shape == (0, 0)
        assert result.dtype == numpy.dtype(object)

    def test_empty_list_does_not_look_at_the_reference(self, tmp_path):
        result = parse_vcf_files([], str(tmp_path / "missing"), 3)
        assert result.shape == (0, 0)
        assert result.dtype == numpy.dtype(object)

    def test_order_across_files_and_duplicates(self, ref_root, table):
        first = table("first.tsv", [C_TO_T])
        second = table("second.tsv", [G_TO_A, C_TO_T])
        one = ["P1::S1", "T[C>T]A"]
        two = ["P2::S2", "C[C>T]T"]
        assert rows(parse_vcf_files([first, second], ref_root, 3)) == [one, two, one]
        assert rows(parse_vcf_files([second, first], ref_root, 3)) == [two, one, one]
        assert rows(parse_vcf_files([first, first], ref_root, 3)) == [one, one]

    def test_each_call_returns_a_new_array(self, ref_root, table):
        path = table("a.tsv", [C_TO_T])
        first = parse_vcf_files([path], ref_root, 3)
        second = parse_vcf_files([path], ref_root, 3)
        assert first is not second
        first[0, 0] = "changed"
        assert rows(second) == [["P1::S1", "T[C>T]A"]]
        assert rows(first) == [["changed", "T[C>T]A"]]

    def test_array_holds_one_reference_per_element(self, ref_root, table):
        result = parse_vcf_files([table("a.tsv", [C_TO_T])], ref_root, 3)
        key = result[0, 0]
        held = sys.getrefcount(key)
        del result
        assert sys.getrefcount(key) == held - 1

    def test_threads_get_their_own_rows(self, ref_root, table):
        paths = [table(f"t{i}.tsv", [record("C", "T", 6, key=(f"P{i}", "S"))] * (i + 1))
                 for i in range(4)]
        failures = []

        def work(i):
            for _ in range(25):
                got = rows(parse_vcf_files([paths[i]], ref_root, 3))
                if got != [[f"P{i}::S", "T[C>T]A"]] * (i + 1):
                    failures.append(got)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert failures == []


def raises_os_error(message, call):
    with pytest.raises(OSError) as info:
        call()
    error = info.value
    assert type(error) is OSError
    assert error.args == (message,)
    assert str(error) == message
    assert error.errno is None and error.strerror is None
    assert error.filename is None and error.filename2 is None
    return error


class TestExtractionErrors:
    @pytest.mark.parametrize(
        "make_path, message",
        [
            (lambda tmp: str(tmp / "missing.tsv"), "Failed to open the VCF file"),
            (lambda tmp: str(tmp / "a\0b.tsv"), "Failed to open the VCF file"),
            (lambda tmp: str(tmp), "Error reading line from the VCF file"),
            (invalid_utf8_table, "Error reading line from the VCF file"),
            (lambda tmp: write_table(tmp / "chr.tsv", [record("C", "T", 6, chrom="2")]),
             "Failed to open the bytes file"),
            (lambda tmp: write_table(tmp / "zero.tsv", [record("C", "T", 0)]),
             "Error seeking to the specified position"),
            (lambda tmp: write_table(tmp / "end.tsv", [record("C", "T", 16)]),
             "Error reading data from the file"),
        ],
        ids=["missing table", "NUL in path", "directory", "invalid UTF-8",
             "missing chromosome", "position 0", "window past the end"],
    )
    def test_os_errors(self, ref_root, tmp_path, make_path, message):
        folder = tmp_path / "tables"
        folder.mkdir()
        path = make_path(folder)
        raises_os_error(message, lambda: parse_vcf_files([path], ref_root, 3))

    def test_failure_in_second_file_discards_the_first(self, ref_root, table):
        good = table("good.tsv", [C_TO_T, G_TO_A])
        raises_os_error("Failed to open the VCF file",
                        lambda: parse_vcf_files([good, good + ".missing"], ref_root, 3))
        assert parse_vcf_files([good], ref_root, 3).shape == (2, 2)

    def test_file_is_scanned_before_the_next_element_is_converted(self, ref_root, table):
        good = table("good.tsv", [C_TO_T])
        failing = table("failing.tsv", [C_TO_T, record("C", "T", 6, chrom="9")])
        with pytest.raises(TypeError, match=re.escape(
                "'int' object cannot be converted to 'PyString'")):
            parse_vcf_files([good, 5], ref_root, 3)
        raises_os_error("Failed to open the bytes file",
                        lambda: parse_vcf_files([failing, 5], ref_root, 3))
        with pytest.raises(TypeError, match=re.escape(
                "'int' object cannot be converted to 'PyString'")):
            parse_vcf_files([5, failing], ref_root, 3)


POSITION = "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: %s }"


class TestPanicException:
    @pytest.mark.parametrize(
        "position, context, message",
        [
            ("abc", 3, POSITION % "InvalidDigit"),
            ("-5", 3, POSITION % "InvalidDigit"),
            ("", 3, POSITION % "Empty"),
            ("18446744073709551616", 3, POSITION % "PosOverflow"),
            ("2", 2**64 - 1, "capacity overflow"),
        ],
    )
    def test_internal_failures(self, ref_root, table, panic_type, position, context, message):
        path = table("p.tsv", [C_TO_T, record("C", "T", position)])
        with pytest.raises(BaseException) as info:
            parse_vcf_files([path], ref_root, context)
        error = info.value
        assert type(error) is panic_type
        assert error.args == (message,)
        assert str(error) == message

    def test_class(self, tmp_path, panic_type):
        cls = panic_type
        assert cls.__name__ == "PanicException"
        assert cls.__qualname__ == "PanicException"
        assert cls.__module__ == "pyo3_runtime"
        assert cls.__mro__ == (cls, BaseException, object)
        assert not issubclass(cls, Exception)
        assert isinstance(cls.__doc__, str) and cls.__doc__
        assert type(make_panic(tmp_path)) is cls  # made once per process

    def test_not_caught_by_except_exception(self, ref_root, table):
        path = table("p.tsv", [record("C", "T", "abc")])
        with pytest.raises(BaseException) as info:
            try:
                parse_vcf_files([path], ref_root, 3)
            except Exception:  # noqa: BLE001
                pytest.fail("PanicException caught as an Exception")
        assert type(info.value).__name__ == "PanicException"


REPORT = re.compile(
    r"thread '(?P<thread>[^']*)' panicked at (?P<place>src/lib/[\w/]+\.cpp:\d+):\n"
    r"(?P<message>.*)\n"
)


def panic_script(body):
    return f"""
        import sys, mutflank
        def call(*args):
            try:
                mutflank.parse_vcf_files(*args)
            except BaseException as error:
                print(type(error).__module__, type(error).__qualname__, error, flush=True)
            else:
                print("no error", flush=True)
        {body}
        """


class TestPanicReport:
    def test_report_on_standard_error(self, ref_root, table):
        path = table("p.tsv", [record("C", "T", "abc")])
        result = run_python(panic_script(f"call([{path!r}], {ref_root!r}, 3)"))
        message = POSITION % "InvalidDigit"
        assert result.stdout == f"pyo3_runtime PanicException {message}\n"
        match = REPORT.fullmatch(result.stderr)
        assert match, result.stderr
        assert match["thread"] == "MainThread"
        assert match["message"] == message

    def test_report_names_the_thread(self, ref_root, table):
        path = table("p.tsv", [record("C", "T", 6, chrom="1"), record("C", "T", "")])
        result = run_python(panic_script(
            f"""
        import threading
        thread = threading.Thread(target=call, args=([{path!r}], {ref_root!r}, 3),
                                  name="worker-7")
        thread.start(); thread.join()
            """))
        match = REPORT.fullmatch(result.stderr)
        assert match, result.stderr
        assert match["thread"] == "worker-7"
        assert match["message"] == POSITION % "Empty"

    def test_uncaught_panic(self, ref_root, table):
        path = table("p.tsv", [record("C", "T", "1.5")])
        result = run_python(
            f"import mutflank\nmutflank.parse_vcf_files([{path!r}], {ref_root!r}, 3)\n")
        message = POSITION % "InvalidDigit"
        assert result.returncode == 1
        assert REPORT.match(result.stderr)
        assert result.stderr.startswith(f"thread 'MainThread' panicked at src/lib/")
        assert result.stderr.endswith(f"\npyo3_runtime.PanicException: {message}\n")

    def test_no_report_for_other_errors(self, ref_root, table):
        path = table("e.tsv", [record("C", "T", 16)])
        result = run_python(panic_script(
            f"call([{path!r}], {ref_root!r}, 3); call([5], '', 3); call([], '', -1)"))
        assert result.stderr == ""
        assert result.stdout.splitlines() == [
            "builtins OSError Error reading data from the file",
            "builtins TypeError 'int' object cannot be converted to 'PyString'",
            "builtins OverflowError can't convert negative int to unsigned",
        ]
