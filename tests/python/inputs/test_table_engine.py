"""The engine's scanner of ten-column mutation tables against the Python reader it replaced
(table_model.py), on every hostile case the readers' tests hold, through every form of input
(plain, gzip, bgzip, a FIFO) and at batch boundaries."""

import gzip

import pytest

from cli_support import write_text

readers = pytest.importorskip("mutflank_tools.inputs.open")
errors = pytest.importorskip("mutflank_tools.runtime.errors")
records_module = pytest.importorskip("mutflank_tools.inputs.records")
tables = pytest.importorskip("mutflank_tools.inputs.mutation_tables")
stream = pytest.importorskip("mutflank_tools.inputs.stream")

import table_model  # noqa: E402
from scanner_support import FORMS, check_case, outcome, read_fifo, write_case  # noqa: E402

TOP = 2**64 - 1
HEADER = "sample\tproject\tID\tbuild\ttype\tchromosome\tposition\tend\tREF\tALT\n"


def row(sample="S1", kind="SNV", chromosome="1", position="10", ref="C", alt="T", ident=".",
        build="GRCh38", extra=""):
    return (f"{sample}\tP\t{ident}\t{build}\t{kind}\t{chromosome}\t{position}\t{position}\t"
            f"{ref}\t{alt}{extra}\n")


def engine(path, batch_size=readers.BATCH_RECORDS):
    return outcome(lambda: readers.read_all(str(path), batch_size=batch_size))


def model(path, batch_size=readers.BATCH_RECORDS):
    def read():
        with readers.open_input(str(path)) as source:
            parser = table_model.TableModel(source, batch_size=batch_size)
            return list(parser.batches(source._lines.rest()))
    return outcome(read)


# (name, text, what the reading gives: records, or the exact fault after the path)
CASES = [
    ("header and rows", HEADER + row() + row("S2", "DBS", "X", "7", "AC", "GT", "rs1"), None),
    ("no header", row(position="+5") + row(position=str(TOP)), None),
    ("byte-order mark", "\ufeff" + HEADER + row(), None),
    ("crlf", (HEADER + row() + row("S2")).replace("\n", "\r\n"), None),
    ("no final line feed", HEADER + row().rstrip("\n"), None),
    ("lone carriage returns and blank lines", HEADER + "\r\n\n" + row() + "\r\n", None),
    ("fewer fields", HEADER + "a\tb\tc\n" + row() + "one field\n", None),
    ("leading zeros and plus", row(position="+000012") + row(position="0" * 30 + "9"), None),
    ("other rows with no position", HEADER + row(kind="INDEL", position="x")
     + row(kind="MNV", chromosome="7", position=str(TOP + 1)) + row(kind="snv", position="0"),
     None),
    ("header-like first line kept when its position is a number", row(sample="sample"), None),
    ("extra fields and tabs", row(extra="\textra\tmore") + row(alt="T\t"), None),
    ("alleles as written", row(ref="c", alt="<DEL>") + row(ref="É", alt="-"), None),
    ("text beyond ASCII", row(sample="Ünïcødé", chromosome="chrÅ"), None),
    ("empty fields", "\t\t\t\t\t\t5\t\t\t\n", None),
    ("position empty", HEADER + row(position=""), "line 2: the position is empty"),
    ("position not a number", HEADER + row(kind="SNP", position="1e5"),
     "line 2: position '1e5' is not a number"),
    ("position beyond 2^64 - 1", HEADER + row(position=str(TOP + 1)),
     f"line 2: position {TOP + 1} is larger than 2^64 - 1"),
    ("position zero", HEADER + row() + row(position="+0"),
     "line 3: position 0: positions count from 1"),
    ("position of other digits", HEADER + row(position="١٢"),
     "line 2: position '١٢' is not a number"),
    ("not UTF-8", HEADER + row() + "S1\tP\t.\tGRCh38\tSNV\t1\t5\t5\tC\t\udcff\n",
     "line 3: not UTF-8 text"),
    ("not UTF-8 in a line of fewer fields", HEADER + "x\udcfe\n", "line 2: not UTF-8 text"),
]


@pytest.mark.parametrize("form", list(FORMS))
@pytest.mark.parametrize("name, text, fault", CASES, ids=[case[0] for case in CASES])
def test_engine_and_model_agree_on_every_case(tmp_path, name, text, fault, form):
    check_case(write_case(tmp_path / "t.tsv", text, form), fault, engine, model)


def test_records_hold_the_fields_as_written(tmp_path):
    path = write_case(tmp_path / "t.tsv", HEADER + row(ident="rs7", ref="c", alt="<DEL>")
                      + "a\tb\n" + row(kind="INDEL", chromosome="9", position="x"))
    rows, left_out = engine(path)
    assert rows == [("S1", "1", "GRCh38", 10, "c", "<DEL>", "", 2, "rs7", 0, 1)]
    assert left_out == {(records_module.FEWER_FIELDS, ""): 1,
                        (records_module.BAD_POSITION, "9"): 1}


@pytest.mark.parametrize("limit, text, fault", [
    # Characters, not bytes, count against the field limit.
    (8, row(sample="ÉÉÉÉÉÉÉÉ"), None),
    (8, row(sample="ÉÉÉÉÉÉÉÉÉ"), "line 1: a field is longer than 0 MiB (the field limit)"),
    (8, row(alt="TTTTTTTTT"), "line 1: a field is longer than 0 MiB (the field limit)"),
    (8, row(extra="\t" + "x" * 20), None),  # beyond the ten fields
    (8, row(kind="INDEL", chromosome="c" * 20, position="x"), None),  # left out first
])
def test_the_field_limit(tmp_path, monkeypatch, limit, text, fault):
    monkeypatch.setattr(tables, "MAX_FIELD_BYTES", limit)
    monkeypatch.setattr(table_model, "MAX_FIELD_BYTES", limit)
    check_case(write_case(tmp_path / "t.tsv", text), fault, engine, model)


@pytest.mark.parametrize("form", list(FORMS))
def test_a_line_beyond_the_line_limit(tmp_path, monkeypatch, form):
    monkeypatch.setattr(stream, "MAX_LINE_BYTES", 1 << 20)
    long_row = row(alt="A" * (1 << 20))
    path = write_case(tmp_path / "t.tsv", long_row + row(), form)
    assert engine(path) == model(path) == f"{path}: line 1: longer than 1 MiB (the line limit)"
    # The model checks only the first line of each block it reads; the engine every line.
    path = write_case(tmp_path / "t.tsv", HEADER + row() * 3 + long_row + row(), form)
    assert engine(path) == f"{path}: line 5: longer than 1 MiB (the line limit)"


def test_batch_boundaries_change_nothing(tmp_path):
    lines = [HEADER]
    for index in range(3000):
        if index % 7 == 0:
            lines.append("too\tfew\n")
        elif index % 11 == 0:
            lines.append(row(kind="INDEL", chromosome=str(index % 5), position="?"))
        else:
            lines.append(row(f"S{index % 13}", position=str(index + 1)))
    path = write_text(tmp_path / "b.tsv.gz", "".join(lines))
    whole = engine(path)
    assert len(whole[0]) > 2000
    for size in (1, 2, 7, 1000):
        batches = readers.read_all(str(path), batch_size=size)
        assert max(len(batch) for batch in batches) <= size
        assert outcome(lambda: batches) == whole == model(path, batch_size=size)


@pytest.mark.parametrize("form", list(FORMS))
def test_a_fifo_is_read_once_from_the_bytes_already_read(tmp_path, form):
    text = HEADER + "".join(row(f"S{i % 17}", position=str(i + 1)) for i in range(60000))
    data = FORMS[form](text.encode())
    assert len(text) > 1 << 20  # beyond the head read to tell the format
    results = read_fifo(tmp_path / "f.tsv", data, engine, model)
    assert results[0] == results[1] and len(results[0][0]) == 60000


@pytest.mark.parametrize("damage, message", [
    (lambda data: data[:-20], "cannot decompress: the gzip data ends early (a cut file?)"),
    (lambda data: data[:-4000] + b"\xff" * 4000,
     "cannot decompress: Error -3 while decompressing data: incorrect data check"),
])
def test_damaged_gzip_is_the_streams_fault(tmp_path, damage, message):
    text = HEADER + "".join(row(position=str(i + 1)) for i in range(40000))
    path = tmp_path / "d.tsv.gz"
    path.write_bytes(damage(gzip.compress(text.encode(), compresslevel=0)))
    assert engine(path) == model(path) == f"{path}: {message}"
