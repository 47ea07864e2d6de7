"""The engine's MAF scanner against the Python reader it replaced (maf_model.py), on every
hostile case the readers' tests hold, through every form of input (plain, gzip, bgzip, a FIFO)
and at batch boundaries, with the options that reach it (--build, --pass-only, --sample,
--exclude)."""

import pytest

readers = pytest.importorskip("mutflank_tools.inputs.open")
errors = pytest.importorskip("mutflank_tools.runtime.errors")
records_module = pytest.importorskip("mutflank_tools.inputs.records")
maf = pytest.importorskip("mutflank_tools.inputs.maf")
stream = pytest.importorskip("mutflank_tools.inputs.stream")

import maf_model  # noqa: E402
from scanner_support import FORMS, check_case, outcome, read_fifo, write_case  # noqa: E402

TOP = 2**64 - 1
COLUMNS = ["Hugo_Symbol", "Chromosome", "Start_Position", "Reference_Allele",
           "Tumor_Seq_Allele1", "Tumor_Seq_Allele2", "Tumor_Sample_Barcode", "NCBI_Build",
           "FILTER"]
HEADER = "\t".join(COLUMNS) + "\n"


def row(chromosome="1", position="10", ref="C", allele1="C", allele2="T", sample="S1",
        build="GRCh37", filter_text="PASS", gene="TP53"):
    return "\t".join([gene, chromosome, position, ref, allele1, allele2, sample, build,
                      filter_text]) + "\n"


def engine(path, batch_size=readers.BATCH_RECORDS, **options):
    held = set()
    return outcome(lambda: readers.read_all(str(path), batch_size=batch_size, held=held,
                                            **options), held)


def model(path, batch_size=readers.BATCH_RECORDS, **options):
    held = set()

    def read():
        with readers.open_input(str(path)) as source:
            parser = maf_model.MafModel(source, source._header, batch_size=batch_size,
                                        held=held, **options)
            return list(parser.batches(source._lines.rest()))
    return outcome(read, held)


# (name, text, the fault after the path, or None for records)
CASES = [
    ("rows", HEADER + row() + row("X", "7", "ac", "ac", "gt", "S2", " 38 ", "."), None),
    ("comments, blank lines and a byte-order mark",
     "\ufeff#version 2.4\n\n" + HEADER + "\n" + row() + "\r\n" + row(sample="S2"), None),
    ("crlf", (HEADER + row() + row(position="11")).replace("\n", "\r\n"), None),
    ("no final line feed", HEADER + row().rstrip("\n"), None),
    ("blanks around fields", HEADER + row(" 1 ", "\u00a012\u3000", " c", "C\u2003", "\x1ct ",
                                          "\u2028S1\u205f", "\x0bGRCh38\x0c", " PASS "), None),
    ("allele2 is the reference", HEADER + row(ref="A", allele1="G", allele2="a"), None),
    ("indel dashes", HEADER + row(ref="-", allele1="-", allele2="AT")
     + row(ref="CA", allele1="CA", allele2="-"), None),
    ("left out alleles", HEADER + row(allele2="*") + row(allele2=".") + row(allele2="")
     + row(allele2="<DEL>") + row(allele2="C]2:5]") + row(ref="T", allele1="T", allele2="T"),
     None),
    ("filters", HEADER + row(filter_text="LowQ") + row(filter_text="") + row(filter_text="."),
     None),
    ("top position and leading zeros", HEADER + row(position=str(TOP)) + row(position="0007"),
     None),
    ("alleles beyond ASCII", HEADER + row(ref="\u00e9", allele1="\u00e9", allele2="\u00df")
     + row(ref="SS", allele1="C", allele2="\u00df") + row(ref="\u00e9", allele1="x",
                                                          allele2="\u00c9"), None),
    ("text beyond ASCII elsewhere", HEADER + row(sample="\u00dcn\u00efc\u00f8d\u00e9",
                                                 chromosome="chr\u00c5"), None),
    ("extra fields", HEADER + row().rstrip("\n") + "\textra\tmore\n", None),
    ("too few fields", HEADER + row() + "1\t5\tC\n",
     "line 3: 3 tab-separated fields, the header names 9"),
    ("a blank line of spaces", HEADER + "   \n", "line 2: 1 tab-separated fields, the header "
     "names 9"),
    ("empty sample", HEADER + row(sample=" "), "line 2: empty Tumor_Sample_Barcode"),
    ("empty chromosome", HEADER + row(chromosome="\u3000", sample=""),
     "line 2: empty Tumor_Sample_Barcode"),
    ("empty chromosome alone", HEADER + row(chromosome=""), "line 2: empty Chromosome"),
    ("empty reference", HEADER + row(ref=""), "line 2: empty Reference_Allele"),
    ("position not a number", HEADER + row(position="+5"),
     "line 2: Start_Position '+5' is not a position (a whole number from 1)"),
    ("position of other digits", HEADER + row(position="\u0663"),
     "line 2: Start_Position '\u0663' is not a position (a whole number from 1)"),
    ("position zero", HEADER + row(position=" 0 "),
     "line 2: Start_Position '0' is not a position (a whole number from 1)"),
    ("position beyond 2^64 - 1", HEADER + row(position=str(TOP + 1)),
     f"line 2: Start_Position '{TOP + 1}' is not a position (a whole number from 1)"),
    ("build that names no folder", HEADER + row() + row(build=" .. "),
     "line 3: NCBI_Build ' .. ' cannot name a build folder: give --build"),
    ("build of a left-out record is not checked", HEADER + row(allele2="*", build="a/b"), None),
    ("build beyond ASCII that names no folder",
     HEADER + row(ref="\u00e9", allele1="\u00e9", allele2="A", build="x/\u00e9"),
     "line 2: NCBI_Build 'x/\u00e9' cannot name a build folder: give --build"),
    ("not UTF-8", HEADER + row() + row(sample="S\udcff"), "line 3: not UTF-8 text"),
]


@pytest.mark.parametrize("form", list(FORMS))
@pytest.mark.parametrize("name, text, fault", CASES, ids=[case[0] for case in CASES])
def test_engine_and_model_agree_on_every_case(tmp_path, name, text, fault, form):
    check_case(write_case(tmp_path / "t.maf", text, form), fault, engine, model)


@pytest.mark.parametrize("options", [
    {"build": "GRCh38"},
    {"pass_only": True},
    {"samples": frozenset(["S2", "S9"])},
    {"exclude": frozenset(["S1"])},
    {"samples": frozenset(["S1"]), "exclude": frozenset(["S1", "S2"]), "pass_only": True},
])
def test_options_that_reach_the_scanner(tmp_path, options):
    text = HEADER + "".join(row(sample=f"S{index % 3}", position=str(index + 1),
                                filter_text=("PASS", "LowQ", "")[index % 3],
                                build=("GRCh37", "..")[index % 5 == 4])
                            for index in range(40))
    path = write_case(tmp_path / "o.maf", text)
    found = engine(path, **options)
    assert found == model(path, **options)
    if "build" in options:  # the column is not read: no build fault
        assert {record[2] for record in found[0]} == {"GRCh38"}


def test_records_hold_the_stripped_upper_cased_fields(tmp_path):
    path = write_case(tmp_path / "r.maf", HEADER + row(" 7 ", " 12 ", " a", "a", "g ", " S2 ",
                                                       " 38 ", "LowQ")
                      + row(allele2="*", chromosome="Y"))
    rows, left_out, held = engine(path)
    assert rows == [("S2", "7", "38", 12, "A", "G", "LowQ", 2, ".", 0, 1)]
    assert (left_out, held) == ({(records_module.NOT_VARIANT, "Y"): 1}, [])


@pytest.mark.parametrize("limit, text, fault", [
    (8, row(sample="\u00c9" * 8), None),  # characters, not bytes
    (8, row(sample="\u00c9" * 9), "line 2: a field is longer than 0 MiB (the field limit)"),
    (8, row(allele2="T" * 9), "line 2: a field is longer than 0 MiB (the field limit)"),
    (8, row(gene="x" * 20), None),  # a field not read
])
def test_the_field_limit(tmp_path, monkeypatch, limit, text, fault):
    monkeypatch.setattr(maf, "MAX_FIELD_BYTES", limit)
    monkeypatch.setattr(maf_model, "MAX_FIELD_BYTES", limit)
    check_case(write_case(tmp_path / "t.maf", HEADER + text), fault, engine, model)


@pytest.mark.parametrize("form", list(FORMS))
def test_a_line_beyond_the_line_limit(tmp_path, monkeypatch, form):
    monkeypatch.setattr(stream, "MAX_LINE_BYTES", 1 << 20)
    path = write_case(tmp_path / "t.maf", HEADER + row() * 3 + row(gene="G" * (1 << 20)) + row(),
                      form)
    assert engine(path) == f"{path}: line 5: longer than 1 MiB (the line limit)"


def test_batch_boundaries_change_nothing(tmp_path):
    lines = [HEADER]
    for index in range(3000):
        lines.append(row(chromosome=str(index % 4), position=str(index + 1),
                         allele2=("T", "*", "<DEL>", "G")[index % 4],
                         sample=f"S{index % 5}", filter_text=("PASS", "q")[index % 7 == 0]))
    path = write_case(tmp_path / "b.maf", "".join(lines), "gzip")
    whole = engine(path, pass_only=True, exclude=frozenset(["S4"]))
    assert len(whole[0]) > 800 and whole[2] == ["S4"]
    for size in (1, 2, 7, 1000):
        assert engine(path, size, pass_only=True, exclude=frozenset(["S4"])) == whole
        assert model(path, size, pass_only=True, exclude=frozenset(["S4"])) == whole


@pytest.mark.parametrize("form", list(FORMS))
def test_a_fifo_is_read_once_from_the_bytes_already_read(tmp_path, form):
    text = "#comment\n" + HEADER + "".join(row(position=str(index + 1), sample=f"S{index % 9}")
                                           for index in range(40000))
    assert len(text) > 1 << 20  # beyond the head read to tell the format
    data = FORMS[form](text.encode())
    results = read_fifo(tmp_path / "f.maf", data, engine, model)
    assert results[0] == results[1] and len(results[0][0]) == 40000
