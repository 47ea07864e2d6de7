"""Signature tables as they are published (COSMIC's downloads, the Type/Subtype layout of R
packages) read by `mutflank fit` and `mutflank plot`, and the rules of a signatures file:
through the command in process, against the published tables in ../shared/signatures."""

from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("scipy")
pytest.importorskip("mutflank_tools")
from mutflank_tools.counting import kinds  # noqa: E402
from mutflank_tools.cli import main  # noqa: E402

SHARED = Path(__file__).resolve().parents[4] / "shared"
PUBLISHED = SHARED / "signatures"
CHANNELS = SHARED / "channels"
KIND_OF = {"SBS": "SBS96", "DBS": "DBS78", "ID": "ID83", "TSB": "SBS192"}
TABLES = sorted(path.name for path in PUBLISHED.glob("COSMIC_*.tsv"))

if not PUBLISHED.is_dir():
    pytest.skip("the published tables are not beside the project", allow_module_level=True)


def command(capsys, *argv):
    """(exit status, standard error) of `mutflank ARGV` run in this process."""
    try:
        status = main([str(arg) for arg in argv])
    except SystemExit as stop:
        status = stop.code
    return status, capsys.readouterr().err


def order(kind):
    """Our labels of `kind`, in the published order (../shared/channels)."""
    return (CHANNELS / f"{kind}.txt").read_text().split()


def kind_of(name):
    return KIND_OF["TSB" if "_TSB_" in name else name.split("_")[2].split(".")[0]]


def read(path):
    """(labels, header, values channels x signatures) of a published table."""
    lines = [line.split("\t") for line in Path(path).read_text().splitlines() if line]
    values = np.array([[float(cell) for cell in line[1:]] for line in lines[1:]])
    return [line[0] for line in lines[1:]], lines[0], values


def write(path, header, rows, values):
    """A table of label fields (each row a list) and values; the rows in a shuffled order."""
    shuffled = np.random.default_rng(0).permutation(len(rows))
    path.write_text("\n".join(["\t".join(header)] + [
        "\t".join([*rows[i], *map(repr, values[i].tolist())]) for i in shuffled]) + "\n")
    return path


def matrix(path, kind, samples=3):
    labels = order(kind)
    counts = np.random.default_rng(len(labels)).poisson(4.0, (len(labels), samples))
    return write(path, ["MutationType", *[f"S{i + 1}" for i in range(samples)]],
                 [[label] for label in labels], counts.astype(float))


def exposures(capsys, folder, matrix_path, signatures, *options):
    status, err = command(capsys, "fit", matrix_path, "--signatures", signatures, "-o",
                          folder / "p", *options)
    assert status == 0, err
    lines = [line.split("\t") for line in (folder / "p.exposures.tsv").read_text().splitlines()]
    return err, np.array([[float(cell) for cell in line[1:]] for line in lines[1:]])


@pytest.mark.parametrize("name", TABLES)
def test_every_published_table_fits_its_kind_without_a_word(tmp_path, capsys, name):
    err, _ = exposures(capsys, tmp_path, matrix(tmp_path / "m.tsv", kind_of(name)),
                       PUBLISHED / name)
    assert err.splitlines() == [
        f"mutflank fit: 3 samples on {len(read(PUBLISHED / name)[1]) - 1} signatures (nnls) -> "
        f"{tmp_path}/p.exposures.tsv, {tmp_path}/p.fit.tsv"]


def test_cosmic_indel_labels_are_our_channels(tmp_path, capsys):
    # v3.1 writes DEL_C_1_0 where v3.2 writes 1:Del:C:0; the values agree to 1e-6.
    cosmic, _, old = read(PUBLISHED / "COSMIC_v3.1_ID.tsv")
    ours, _, new = read(PUBLISHED / "COSMIC_v3.2_ID_GRCh37.tsv")
    assert ours == order("ID83") and np.abs(old - new).max() < 1e-6
    m = matrix(tmp_path / "m.tsv", "ID83")
    _, by_cosmic = exposures(capsys, tmp_path, m, PUBLISHED / "COSMIC_v3.1_ID.tsv")
    _, by_ours = exposures(capsys, tmp_path, m, PUBLISHED / "COSMIC_v3.2_ID_GRCh37.tsv")
    assert np.allclose(by_cosmic, by_ours, rtol=1e-4, atol=1e-6)
    assert by_ours.max() > 1


def subtype_layout(labels):
    """The Type/Subtype (and Strand) fields of our labels: A[C>A]A -> C>A, ACA; AC>CA ->
    AC>NN, CA; T:A[C>A]A -> T, C>A, ACA."""
    rows = []
    for label in labels:
        strand, _, rest = label.rpartition(":")
        if "[" in rest:
            left, change, right = rest.replace("[", "]").split("]")
            fields = [change, left + change[0] + right]
        else:
            reference, alternate = rest.split(">")
            fields = [f"{reference}>NN", alternate]
        rows.append([strand, *fields] if strand else fields)
    return rows


@pytest.mark.parametrize("name, header", [
    ("COSMIC_v3.2_SBS_GRCh37.tsv", ["Type", "SubType"]),
    ("COSMIC_v3.2_DBS_GRCh38.tsv", ["Type", "Subtype"]),
    ("COSMIC_v3.1_TSB_SBS.tsv", ["Strand", "Type", "Subtype"]),
])
def test_type_and_subtype_columns_are_read_as_our_labels(tmp_path, capsys, name, header):
    labels, names, values = read(PUBLISHED / name)
    layout = write(tmp_path / "s.tsv", header + names[1:], subtype_layout(labels), values)
    m = matrix(tmp_path / "m.tsv", kind_of(name))
    _, by_layout = exposures(capsys, tmp_path, m, layout)
    _, by_ours = exposures(capsys, tmp_path, m, PUBLISHED / name)
    assert np.array_equal(by_layout, by_ours) and by_ours.max() > 1


def test_a_matrix_in_a_published_layout_is_drawn_as_its_kind(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    cosmic, _, _ = read(PUBLISHED / "COSMIC_v3.1_ID.tsv")
    counts = np.arange(83.0)[:, None] % 5
    m = write(tmp_path / "m.tsv", ["MutationType", "S1"], [[label] for label in cosmic], counts)
    status, err = command(capsys, "plot", m, "-o", tmp_path / "m.png")
    assert (status, err) == (0, f"mutflank plot: ID83, drew 1 sample -> {tmp_path}/m.png\n")


# ---- the rules of a signatures file --------------------------------------------------------

def small_signatures(path, sums, copy=None):
    """SBS96 signatures SBS1.. summing to `sums`; `copy` = (k, scale) adds SBSx, a multiple
    of signature k."""
    values = np.random.default_rng(4).dirichlet(np.ones(96), size=len(sums)).T * sums
    names = [f"SBS{j + 1}" for j in range(len(sums))]
    if copy is not None:
        values = np.column_stack([values, values[:, copy[0]] * copy[1]])
        names.append("SBSx")
    return write(path, ["Type", *names], [[label] for label in order("SBS96")], values)


@pytest.mark.parametrize("sums, said", [
    ([1.0, 0.9991, 1.0009], None),  # rounding
    ([1.0, 0.9989, 1.0011], "SBS2, SBS3"),
    ([2.0, 1.0, 1.0], "SBS1"),
])
def test_columns_are_said_scaled_only_beyond_rounding(tmp_path, capsys, sums, said):
    signatures = small_signatures(tmp_path / "s.tsv", sums)
    err, _ = exposures(capsys, tmp_path, matrix(tmp_path / "m.tsv", "SBS96"), signatures)
    scaled = [line for line in err.splitlines() if line.startswith(f"mutflank fit: {signatures}")]
    assert scaled == ([f"mutflank fit: {signatures}: scaled to sum to 1: {said}"] if said
                      else [])


@pytest.mark.parametrize("scale", [1.0, 0.5])
def test_one_signature_in_two_columns_is_refused(tmp_path, capsys, scale):
    signatures = small_signatures(tmp_path / "s.tsv", [1.0, 1.0, 1.0], copy=(1, scale))
    status, err = command(capsys, "fit", matrix(tmp_path / "m.tsv", "SBS96"), "--signatures",
                          signatures, "-o", tmp_path / "p")
    assert (status, err) == (1, f"mutflank fit: error: {signatures}: line 1: signatures SBS2 "
                                "and SBSx are one signature (the same values once scaled to "
                                "sum to 1): keep one of them\n")


@pytest.mark.parametrize("matrix_kind, signatures_kind", [
    ("SBS384", "SBS192"), ("SBS96", "SBS192"), ("SBS192", "SBS96"), ("DBS78", "ID83")])
def test_a_matrix_of_another_kind_names_the_kind_to_count(tmp_path, capsys, matrix_kind,
                                                          signatures_kind):
    def table(path, head, kind, columns):
        labels = kinds.get(kind).channels
        values = np.random.default_rng(1).integers(1, 9, (len(labels), columns)).astype(float)
        return write(path, [head, *[f"C{i}" for i in range(columns)]],
                     [[label] for label in labels], values)

    m = table(tmp_path / "m.tsv", "MutationType", matrix_kind, 2)
    s = table(tmp_path / "s.tsv", "Type", signatures_kind, 2)
    status, err = command(capsys, "fit", m, "--signatures", s, "-o", tmp_path / "p")
    assert (status, err) == (1, f"mutflank fit: error: {m}: a matrix of {matrix_kind}, and the "
                                f"signatures {s} are {signatures_kind}: fit a matrix of their "
                                f"kind (`mutflank matrix --types {signatures_kind}`)\n")
