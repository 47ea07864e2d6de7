"""Names read from the inputs (chromosomes, samples) reach the terminal with their control
characters escaped, through the command in process."""

import pytest

pytest.importorskip("mutflank_tools")
from mutflank_tools.cli import main  # noqa: E402

CODES = {"A": 0, "C": 1, "G": 2, "T": 3}


def record(sample, chrom, pos=2, ref="C", alt="T"):
    return f"{sample}\tP\t.\tGRCh37\tSNV\t{chrom}\t{pos}\t{pos}\t{ref}\t{alt}\n"


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "ref" / "GRCh37").mkdir(parents=True)
    (tmp_path / "ref" / "GRCh37" / "1.txt").write_bytes(bytes(CODES[b] for b in "ACGTACGTAC"))
    return tmp_path


def matrix(folder, capsys, *tables):
    paths = []
    for number, text in enumerate(tables, 1):
        paths.append(folder / f"t{number}.tsv")
        paths[-1].write_text(text)
    status = main(["matrix", *map(str, paths), "--reference", str(folder / "ref"), "-o",
                   str(folder / "m"), "--types", "SBS96"])
    return status, capsys.readouterr().err


def test_a_chromosome_left_out_is_named_escaped(folder, capsys):
    records = "".join(record(f"S{i}", "1") for i in range(30)) + record("S0", "x\x1b[2J")
    status, err = matrix(folder, capsys, records)
    assert status == 0, err
    assert "no reference file, on x\\x1b[2J (1)" in err and "\x1b" not in err


def test_a_sample_of_two_inputs_is_named_escaped(folder, capsys):
    sample = "S\x1b]0;t\x07"
    status, err = matrix(folder, capsys, record(sample, "1"), record(sample, "1", 6, "C", "A"))
    assert status == 1
    assert err.startswith("mutflank matrix: error: sample S\\x1b]0;t\\x07 comes from more than "
                          "one input")
    assert "\x1b" not in err and "\x07" not in err
