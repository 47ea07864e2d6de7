"""examples/spectrum.py: the 96-channel counts, the TSV matrix and the bar chart."""

import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
import spectrum  # noqa: E402

# chromosome 1, positions 1..12
SEQUENCE = "ACGTACGATCNG"
CODES = {"A": 0, "C": 1, "G": 2, "T": 3, "N": 16}
# sample, type, position, ref, alt  ->  context at context width 3
TABLE_1 = [
    ("S1", "SNP", 2, "C", "T"),  # A[C>T]G
    ("S1", "SNV", 6, "C", "A"),  # A[C>A]G
    ("S1", "SNP", 7, "G", "A"),  # forward C,G,A: T[C>T]G on the pyrimidine strand
    ("S2", "DBS", 3, "GT", "AA"),  # not read by the module
    ("S1", "SNP", 10, "C", "G"),  # T[C>G]N: an N beside it, no channel
]
TABLE_2 = [
    ("S2", "SNP", 4, "T", "C"),  # G[T>C]A
    ("S2", "SNP", 5, "A", "G"),  # forward T,A,C: G[T>C]A
    ("S2", "SNP", 1, "A", "C"),  # first base: G[T>G] with no left base, no channel
    ("S1", "SNP", 2, "C", "T"),  # A[C>T]G again
]
EXPECTED = {
    "S1": {"A[C>T]G": 2, "A[C>A]G": 1, "T[C>T]G": 1},
    "S2": {"G[T>C]A": 2},
}


def nonzero(counts):
    return {sample: {spectrum.CHANNELS[i]: n for i, n in enumerate(values) if n}
            for sample, values in counts.items()}


@pytest.fixture
def data(tmp_path):
    (tmp_path / "ref" / "GRCh37").mkdir(parents=True)
    (tmp_path / "ref" / "GRCh37" / "1.txt").write_bytes(bytes(CODES[b] for b in SEQUENCE))
    tables = []
    for number, records in enumerate([TABLE_1, TABLE_2], start=1):
        path = tmp_path / f"table{number}.tsv"
        path.write_text("".join(f"{s}\tP\t.\tGRCh37\t{t}\t1\t{p}\t{p}\t{r}\t{a}\n"
                                for s, t, p, r, a in records))
        tables.append(str(path))
    return tmp_path, tables


# ---- the channels ----------------------------------------------------------------------

def test_channels_in_the_conventional_order():
    assert len(spectrum.CHANNELS) == len(set(spectrum.CHANNELS)) == 96
    assert spectrum.CHANNELS[:5] == ("A[C>A]A", "A[C>A]C", "A[C>A]G", "A[C>A]T", "C[C>A]A")
    assert spectrum.CHANNELS[15:17] == ("T[C>A]T", "A[C>G]A")
    assert [spectrum.CHANNELS[16 * k][2:5] for k in range(6)] == list(spectrum.CLASSES)
    assert spectrum.CLASSES == ("C>A", "C>G", "C>T", "T>A", "T>C", "T>G")
    assert spectrum.CHANNELS[-1] == "T[T>G]T"


def test_counts_by_sample_from_the_row_key():
    rows = [("S1::a", "A[C>T]G"), ("S1::b", "A[C>T]G"), ("S2::a::b", "T[T>G]T"),
            ("S1::c", "[C>T]G"), ("S1::d", "N[C>A]A"), ("S3::e", "AA[C>T]GG")]
    counts, other = spectrum.count_channels(rows)
    assert nonzero(counts) == {"S1": {"A[C>T]G": 2}, "S2": {"T[T>G]T": 1}}
    assert other == 3


def test_merge_adds_per_sample():
    a, _ = spectrum.count_channels([("S1::x", "A[C>A]A"), ("S2::x", "T[T>G]T")])
    b, _ = spectrum.count_channels([("S1::y", "A[C>A]A"), ("S3::y", "C[C>G]C")])
    assert nonzero(spectrum.merge_counts(a, b)) == {
        "S1": {"A[C>A]A": 2}, "S2": {"T[T>G]T": 1}, "S3": {"C[C>G]C": 1}}


def test_matrix_round_trip(tmp_path):
    counts = {"b": list(range(96)), "a": [7] * 96}
    spectrum.write_matrix(counts, tmp_path / "m.tsv")
    lines = (tmp_path / "m.tsv").read_text().splitlines()
    assert lines[0] == "MutationType\ta\tb"
    assert lines[1] == "A[C>A]A\t7\t0"
    assert lines[96] == "T[T>G]T\t7\t95"
    assert len(lines) == 97
    assert spectrum.read_matrix(tmp_path / "m.tsv") == counts


def test_read_matrix_refuses_another_row_order(tmp_path):
    (tmp_path / "m.tsv").write_text("MutationType\ts\nA[C>A]C\t1\n")
    with pytest.raises(ValueError, match=re.escape("row 2 is 'A[C>A]C', expected 'A[C>A]A'")):
        spectrum.read_matrix(tmp_path / "m.tsv")


# ---- with the module -------------------------------------------------------------------

def test_counts_of_hand_checked_tables(data):
    tmp_path, tables = data
    counts, other = spectrum.count_tables(tables, str(tmp_path / "ref"))
    assert nonzero(counts) == EXPECTED
    assert other == 2


def test_no_qualifying_record_gives_no_sample(data):
    tmp_path, _ = data
    empty = tmp_path / "empty.tsv"
    empty.write_text("S1\tP\t.\tGRCh37\tINDEL\t1\t2\t2\tC\tCA\n")
    assert spectrum.count_tables([str(empty)], str(tmp_path / "ref")) == ({}, 0)


def png_size(path):
    head = Path(path).read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def test_command_writes_matrix_and_picture(data):
    tmp_path, tables = data
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "spectrum.py"), *tables,
         "--reference", str(tmp_path / "ref"),
         "--tsv", str(tmp_path / "out.tsv"), "--png", str(tmp_path / "out.png")],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stderr == (f"spectrum.py: 6 substitutions in 2 sample(s) -> {tmp_path / 'out.tsv'}, "
                             f"{tmp_path / 'out.png'}; 2 context(s) outside the 96 channels\n")
    assert nonzero(spectrum.read_matrix(tmp_path / "out.tsv")) == EXPECTED
    assert png_size(tmp_path / "out.png") == (1600, 640)  # one 320-pixel panel per sample


def test_command_reports_a_missing_reference(data):
    tmp_path, tables = data
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "spectrum.py"), *tables,
         "--reference", str(tmp_path / "nowhere"), "--tsv", str(tmp_path / "out.tsv"),
         "--png", str(tmp_path / "out.png")],
        capture_output=True, text=True)
    assert result.returncode == 1
    assert result.stderr == "spectrum.py: error: Failed to open the bytes file\n"
    assert not (tmp_path / "out.tsv").exists()


def test_picture_of_no_sample(tmp_path):
    spectrum.plot_spectra({}, tmp_path / "none.png")
    assert png_size(tmp_path / "none.png") == (1600, 320)
