"""`mutflank plot`: the kinds of matrix and their layouts, pages in the format the output's name
asks for, cohorts, readability, exposures, and the tables it refuses."""

import re
import struct
from pathlib import Path

import numpy as np
import pytest

# The installed command's package; `make sanitize` runs the suite without it.
pytest.importorskip("mutflank_tools")
pytest.importorskip("matplotlib")
from cli_support import run  # noqa: E402
from mutflank_tools.counting import channels  # noqa: E402
from mutflank_tools.fit import signature_tables  # noqa: E402
from mutflank_tools.plots import layouts, matrix_files, overview, spectra  # noqa: E402
from mutflank_tools.plots.exposures import OTHER, palette, ranked, sample_order  # noqa: E402


def png_size(path):
    head = Path(path).read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def write(path, labels, counts, header="MutationType", proportions=False, order=None):
    """Writes a matrix of {sample: values in the order of `labels`}; rows in `order` (a key
    of the labels) when given."""
    names = list(counts)
    rows = sorted(range(len(labels)), key=lambda i: order(labels[i])) if order else \
        range(len(labels))
    text = "\t".join([header, *names]) + "\n"
    for i in rows:
        values = [counts[name][i] for name in names]
        text += "\t".join([labels[i], *(f"{v:.6f}" if proportions else str(v) for v in values)])
        text += "\n"
    Path(path).write_text(text)
    return path


def seeded(labels, samples, seed=1):
    rng = np.random.default_rng(seed)
    return {name: rng.integers(0, 30, len(labels)).tolist() for name in samples}


# ---- kinds, told from their row labels in any order -----------------------------------------

@pytest.mark.parametrize("kind, size", [
    ("SBS6", (800, 475)), ("SBS96", (1600, 565)), ("SBS1536", (1600, 605)),
    ("SBS192", (1600, 565)), ("SBS384", (1600, 565)), ("DBS78", (1600, 565)),
    ("ID83", (1600, 585))])
def test_each_kind_is_told_from_its_labels_and_drawn(tmp_path, kind, size):
    labels = layouts.channels_of(kind)
    counts = seeded(labels, ["b", "a"])
    counts["b"] = [0] * len(labels)
    path = write(tmp_path / "m.tsv", labels, counts, header="Type", order=str)
    status, _, stderr = run("plot", path, "-o", tmp_path / "m.png")
    assert (status, stderr) == (0, f"mutflank plot: {kind}, drew 2 samples -> "
                                   f"{tmp_path / 'm.png'}\n")
    assert png_size(tmp_path / "m.png") == size
    assert {p.name for p in tmp_path.iterdir()} == {"m.png", "m.tsv"}
    read_kind, samples, values = matrix_files.read_matrix(path)
    assert (read_kind, samples) == (kind, ["b", "a"])
    assert values[:, 1].tolist() == counts["a"]


def test_layouts_group_the_channels_as_the_field_does():
    dbs = layouts.layout("DBS78")
    assert [(b.label, b.end - b.start + 1) for b in dbs.bands] == [
        (f"{ref}>NN", n) for ref, n in zip(["AC", "AT", "CC", "CG", "CT", "GC", "TA", "TC", "TG",
                                            "TT"], [9, 6, 9, 6, 9, 6, 6, 9, 9, 9])]
    assert len(set(dbs.colours)) == 10
    assert [label for _, label in dbs.ticks[:3]] == ["CA", "CG", "CT"]
    ids = layouts.layout("ID83")
    groups = [(b.label, b.end - b.start + 1) for b in ids.bands if b.level == 0]
    assert groups == [("C", 6), ("T", 6), ("C", 6), ("T", 6)] + [
        (n, 6) for n in ("2", "3", "4", "5+") * 2] + [("2", 1), ("3", 2), ("4", 3), ("5+", 5)]
    assert len(set(ids.colours)) == 16
    ticks = dict(zip(channels.ID83, (label for _, label in ids.ticks)))
    assert [ticks[c] for c in ("1:Del:C:0", "1:Del:C:5", "1:Ins:T:0", "1:Ins:T:5",
                               "3:Del:R:5", "4:Ins:R:5", "5:Del:M:1", "5:Del:M:5")] == [
        "1", "6+", "0", "5+", "6+", "5+", "1", "5+"]
    # One order of the strands for both kinds: transcribed, untranscribed (both, none).
    for kind, strands in (("SBS192", "TU"), ("SBS384", "TUBN")):
        layout = layouts.layout(kind)
        x = dict(zip(layouts.channels_of(kind), layout.x))
        for context, centre in zip(channels.SBS96, range(96)):
            beside = [x[f"{s}:{context}"] for s in strands]
            assert beside == sorted(beside)
            assert np.allclose(np.diff(beside), layout.width)
            assert np.isclose(np.mean(beside), centre)


@pytest.mark.parametrize("text, message", [
    ("MutationType\ts\n\n", "{path}: no channel rows"),
    ("MutationType\ts\nA[C>A]C\t1\n", "{path}: 1 of the 96 SBS96 channels: no 'A[C>A]A' and 94 "
                                      "more"),
    ("Channel\ts\n" + "".join(f"{c}\t1\n" for c in channels.SBS6),
     "{path}: line 1: not a table to plot (its first field is not MutationType, Type or "
     "Signature)"),
    ("Type\ts\n" + "".join(f"{c}\t1\n" for c in channels.SBS6[:5]) + "C>U\t1\n",
     "{path}: line 7: 'C>U' is not a SBS6 channel"),
    ("Type\ts\nfoo\t1\n", "{path}: line 2: 'foo' is a channel of none of the kinds plot draws "
                         "(SBS6, SBS96, SBS1536, SBS192, SBS384, DBS78, ID83)"),
    ("Type\ts\nC>A\t1\nC>G\t1\nC>A\t2\n",
     "{path}: line 4: row 'C>A' a second time (first on line 2)"),
    ("MutationType\ts\ts\n" + "".join(f"{c}\t1\t1\n" for c in channels.SBS6),
     "{path}: line 1: a column is named 's' twice"),
    ("MutationType\ts\n" + "".join(f"{c}\t{v}\n" for c, v in zip(channels.SBS6, "1234x6")),
     "{path}: line 6: 'x' is not a count or a proportion"),
    ("MutationType\ts\n" + "".join(f"{c}\t{v}\n" for c, v in zip(
        channels.SBS6, ["1", "-2", "0", "nan", "0", "0"])),
     "{path}: line 3: '-2' is not a count or a proportion"),
    ("MutationType\ts\nC>A\tinf\n", "{path}: line 2: 'inf' is not a count or a proportion"),
    ("MutationType\ts\n" + "".join(f"{c}\t1\t2\n" for c in channels.SBS6),
     "{path}: line 2: 2 values for 1 columns"),
    (b"MutationType\ts\nC>A\t\xff\n", "{path}: line 2: not UTF-8 text"),
])
def test_refused_matrices(tmp_path, text, message):
    path = tmp_path / "m.tsv"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    status, _, stderr = run("plot", path, "-o", tmp_path / "m.png")
    assert (status, stderr) == (1, f"mutflank plot: error: {message.format(path=path)}\n")
    assert not (tmp_path / "m.png").exists()


# ---- input read with bounds -----------------------------------------------------------------

def test_bounded_reading(tmp_path, monkeypatch):
    status, _, stderr = run("plot", "/dev/zero", "-o", tmp_path / "m.png")
    assert (status, stderr) == (1, "mutflank plot: error: /dev/zero: line 1: longer than 16 "
                                   "MiB: not a table of counts\n")
    path = write(tmp_path / "m.tsv", channels.SBS6, {"s": [1] * 6})
    monkeypatch.setattr(signature_tables, "MAX_BYTES", 40)  # the bounds of every table
    with pytest.raises(matrix_files.InputError, match=re.escape(
            f"{path}: line 6: the file goes on past 0 GiB: not a table of counts")):
        matrix_files.read_table(path)


# ---- names drawn literally, formats, atomic pages -------------------------------------------

def test_names_are_drawn_as_written_long_ones_shortened(tmp_path):
    names = ["PD_001$a^2$", "$\\foo$", "患者_" + "x" * 300]
    path = write(tmp_path / "m.tsv", channels.SBS6, seeded(channels.SBS6, names))
    status, _, stderr = run("plot", path, "-o", tmp_path / "m.svg")
    assert (status, stderr) == (0, "mutflank plot: some characters of the names are not in the "
                                   "font and are drawn as boxes\n"
                                   f"mutflank plot: SBS6, drew 3 samples -> {tmp_path}/m.svg\n")
    svg = (tmp_path / "m.svg").read_text()
    assert "PD_001$a^2$" in svg and "$\\foo$" in svg
    assert "患者_" + "x" * 54 + "..." in svg and "x" * 58 not in svg


@pytest.mark.parametrize("name, magic", [
    ("m.png", b"\x89PNG\r\n\x1a\n"), ("m.PDF", b"%PDF-"), ("m.svg", b"<?xml")])
def test_the_extension_chooses_the_format(tmp_path, name, magic):
    path = write(tmp_path / "m.tsv", channels.SBS96, seeded(channels.SBS96, ["s"]))
    status, _, stderr = run("plot", path, "-o", tmp_path / name)
    assert (status, stderr) == (0, f"mutflank plot: SBS96, drew 1 sample -> {tmp_path / name}\n")
    assert (tmp_path / name).read_bytes().startswith(magic)
    assert {p.name for p in tmp_path.iterdir()} == {name, "m.tsv"}


@pytest.mark.parametrize("name", ["m.jpg", "m", "m.png.tmp"])
def test_other_extensions_are_refused(tmp_path, name):
    path = write(tmp_path / "m.tsv", channels.SBS6, {"s": [1] * 6})
    status, _, stderr = run("plot", path, "-o", tmp_path / name)
    assert (status, stderr) == (2, f"mutflank plot: error: {tmp_path / name}: name the picture "
                                   ".png, .pdf or .svg (its extension chooses the format)\n")
    assert [p.name for p in tmp_path.iterdir()] == ["m.tsv"]


def test_unreadable_matrix_and_unwritable_picture(tmp_path):
    status, _, stderr = run("plot", tmp_path / "absent.tsv", "-o", tmp_path / "m.png")
    assert (status, stderr) == (1, f"mutflank plot: error: {tmp_path}/absent.tsv: cannot read: "
                                   "No such file or directory\n")
    path = write(tmp_path / "m.tsv", channels.SBS6, {"s": [1] * 6})
    status, _, stderr = run("plot", path, "-o", tmp_path / "no" / "m.png")
    assert status == 1
    assert stderr.startswith(f"mutflank plot: error: {tmp_path}/no/m.png: cannot write: ")
    same = write(tmp_path / "m.svg", channels.SBS6, {"s": [1] * 6})
    assert run("plot", same, "-o", same) == (2, "", f"mutflank plot: error: {same}: the output "
                                                    "is also an input; choose another output\n")
    assert same.read_text().startswith("MutationType\ts\n")


# ---- cohorts: pages and the overview --------------------------------------------------------

def test_many_panels_go_on_pages(tmp_path):
    # Full pages and the last one of SBS96 panels; the most panels a run draws (SBS6, whose
    # panels draw fastest); a PDF holds its pages itself.
    names = [f"S{i:03d}" for i in range(100)]
    path = write(tmp_path / "m.tsv", channels.SBS96, seeded(channels.SBS96, names[:16]))
    status, _, stderr = run("plot", path, "-o", tmp_path / "c.png", "--panels")
    files = [tmp_path / f"c.{n:02d}.png" for n in range(1, 4)]
    assert (status, stderr) == (0, f"mutflank plot: SBS96, drew 16 samples on 3 pages -> "
                                   f"{files[0]} ... {files[-1]}\n")
    assert sorted(tmp_path.iterdir()) == sorted(files + [path])
    assert [png_size(f) for f in files] == [(1600, 1790)] * 2 + [(1600, 565)]
    status, _, stderr = run("plot", path, "-o", tmp_path / "c.pdf", "--samples",
                            ",".join(names[:8]))
    assert (status, stderr) == (0, f"mutflank plot: SBS96, drew 8 chosen samples on 2 pages -> "
                                   f"{tmp_path / 'c.pdf'}\n")
    assert len(re.findall(rb"/Type /Page\b(?!s)", (tmp_path / "c.pdf").read_bytes())) == 2
    (tmp_path / "six").mkdir()
    six = write(tmp_path / "six" / "m.tsv", channels.SBS6, seeded(channels.SBS6, names))
    status, _, stderr = run("plot", six, "-o", tmp_path / "six" / "c.svg", "--panels")
    files = [tmp_path / "six" / f"c.{n:02d}.svg" for n in range(1, 13)]
    assert (status, stderr) == (0, f"mutflank plot: SBS6, drew 100 samples on 12 pages -> "
                                   f"{files[0]} ... {files[-1]}\n")
    assert sorted((tmp_path / "six").iterdir()) == sorted(files + [six])


@pytest.mark.parametrize("count, args, size", [
    (13, (), (1600, 1150)), (1000, (), (1600, 1550)), (3, ("--overview",), (1600, 820))])
def test_a_cohort_is_drawn_in_one_overview(tmp_path, count, args, size):
    names = [f"S{i:04d}" for i in range(count)]
    path = write(tmp_path / "m.tsv", channels.SBS1536, seeded(channels.SBS1536, names))
    status, _, stderr = run("plot", path, "-o", tmp_path / "o.png", *args)
    assert (status, stderr) == (0, f"mutflank plot: SBS1536, drew an overview of {count:,} "
                                   f"samples; draw panels of some with --samples -> "
                                   f"{tmp_path / 'o.png'}\n")
    assert png_size(tmp_path / "o.png") == size


@pytest.mark.parametrize("args", [(), ("--overview",)])
def test_a_matrix_of_no_samples_draws_one_empty_panel(tmp_path, args):
    path = write(tmp_path / "m.tsv", channels.SBS6, {})
    status, _, stderr = run("plot", path, "-o", tmp_path / "m.png", *args)
    assert (status, stderr) == (0, f"mutflank plot: SBS6, drew 0 samples -> {tmp_path / 'm.png'}"
                                   "\n")
    assert png_size(tmp_path / "m.png") == (800, 260)


def test_the_overview_groups_samples_of_one_profile_together():
    rng = np.random.default_rng(4)
    planted = np.zeros((3, 96))
    planted[0, 32:48] = 1  # C>T
    planted[1, 48:64] = 1  # T>A
    planted[2, :16] = 1    # C>A
    truth = rng.permutation(np.repeat([0, 1, 2], [50, 30, 20]))
    shares = overview.proportions_of(np.array([rng.multinomial(300, planted[t] / 16)
                                               for t in truth]).T.astype(float)).T
    shares = np.vstack([shares, np.zeros(96)])
    names = [f"S{i:03d}" for i in range(101)]
    order, groups, profiles = overview.order(names, shares)
    assert order[-1] == 100 and groups[-1] == -1  # the sample with nothing comes last
    assert [truth[i] for i in order[:50]] == [0] * 50
    assert [truth[i] for i in order[50:80]] == [1] * 30
    assert [truth[i] for i in order[80:100]] == [2] * 20
    assert groups[:100] == sorted(groups[:100])
    assert profiles.shape[1] == 96 and np.allclose(profiles.sum(axis=1), 1)


def test_sample_choice_errors(tmp_path):
    counts = {f"S{i}": [1] * 6 for i in range(101)}
    path = write(tmp_path / "m.tsv", channels.SBS6, counts)
    cases = [(("--samples", "S1,nobody,ghost"), 1,
              f"{path}: no sample nobody, ghost in the matrix"),
             (("--samples", ",".join(counts)), 2, "--samples names 101 samples: panels are for "
                                                  "at most 100; --overview draws a whole cohort"),
             (("--panels",), 2, "--panels would draw 101 samples: panels are for at most 100; "
                                "--overview draws a whole cohort")]
    for args, status, message in cases:
        assert run("plot", path, "-o", tmp_path / "m.png", *args) == (
            status, "", f"mutflank plot: error: {message}\n")
    assert not (tmp_path / "m.png").exists()


# ---- readability ----------------------------------------------------------------------------

def contrast(a, b):
    """The WCAG contrast ratio of two colours."""
    from matplotlib.colors import to_rgb

    def luminance(colour):
        linear = [c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4
                  for c in to_rgb(colour)]
        return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]

    high, low = sorted((luminance(a), luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


def test_titles_scales_and_wording_read_well():
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(16, 3.4))
    panel = spectra.HeatPanel(figure, figure.add_gridspec(1, 1)[0, 0])
    titles = [t for axis in panel.axes for t in axis.texts if t.get_text() in channels.CLASSES]
    assert [t.get_text() for t in titles] == list(channels.CLASSES)
    for text in titles:
        background = text.get_bbox_patch().get_facecolor()
        assert contrast(text.get_color(), background) >= 4.5, text.get_text()
    panel.show(np.arange(1536) % 7, "s", proportions=False)
    FigureCanvasAgg(figure).draw()
    ticks = panel.scale.ax.get_yticks()
    assert len(ticks) > 1 and all(t == int(t) for t in ticks)
    panel.show(np.zeros(1536), "none", proportions=False)
    assert not panel.scale.ax.get_visible()
    assert [n.get_text() for n in panel.notes] == ["no substitutions"] * 6

    figure = Figure(figsize=(16, 3.2))
    bars = spectra.BarPanel(figure.add_subplot(), layouts.layout("SBS96"))
    bars.show(np.zeros(96), "empty", proportions=True)
    FigureCanvasAgg(figure).draw()
    assert list(bars.axis.get_yticks()) == []
    assert (bars.note.get_text(), bars.axis.get_ylabel()) == ("no substitutions", "proportion")
    bars.show(np.arange(96) % 5, "counts", proportions=False)
    FigureCanvasAgg(figure).draw()
    assert all(t == int(t) for t in bars.axis.get_yticks())
    assert (bars.note.get_text(), bars.axis.get_ylabel()) == ("", "mutations")


@pytest.mark.parametrize("values, proportions, title", [
    ([[0.25, 0.75, 0, 0, 0, 0], [0, 0, 0, 0, 0, 0]], True, "s"),
    ([[1, 0, 0, 0, 0, 0], [0, 1, 0, 0, 0, 0]], False, "s  (1 substitution)"),
    ([[0.5, 0.25, 0, 0, 0, 0], [0.5, 0.5, 0, 0, 0, 0]], False, "s  (1 substitution)"),
    ([[2000, 3, 0, 0, 0, 0], [0, 0, 0, 0, 0, 0]], False, "s  (2,003 substitutions)")])
def test_proportions_are_named_so(values, proportions, title):
    values = np.array(values, dtype=float).T
    assert matrix_files.is_proportions(values) is proportions
    assert spectra.title("s", values[:, 0], "substitutions", proportions) == title


# ---- arguments ------------------------------------------------------------------------------

def test_help_explains_every_argument_and_samples_may_have_spaces(tmp_path):
    status, stdout, _ = run("plot", "--help")
    text = " ".join(stdout.split())
    assert status == 0 and "see --help" not in text
    for words in ("a matrix of `mutflank matrix` (SBS6, SBS96, SBS1536, SBS192, SBS384, DBS78 "
                  "or ID83", "its extension chooses the format: .png, .pdf or .svg",
                  "draw these samples, one panel each", "the exposures of `mutflank fit`",
                  "--reconstruction SAMPLE"):
        assert words in text
    path = write(tmp_path / "m.tsv", channels.SBS6, {"a": [1] * 6, "b b": [2] * 6, "c": [0] * 6})
    status, _, stderr = run("plot", path, "-o", tmp_path / "m.png", "--samples", " c , b b,,c")
    assert (status, stderr) == (0, f"mutflank plot: SBS6, drew 2 chosen samples -> "
                                   f"{tmp_path / 'm.png'}\n")


# ---- exposures ------------------------------------------------------------------------------

def write_exposures(path, signatures, samples, values):
    rows = ["\t".join(["Signature", *samples])]
    rows += ["\t".join([name, *(f"{v:.10g}" for v in row)]) for name, row in zip(signatures,
                                                                                  values)]
    Path(path).write_text("\n".join(rows) + "\n")
    return path


def test_exposures_are_stacked_the_largest_coloured(tmp_path):
    signatures = [f"SBS{i}" for i in range(1, 26)]
    values = np.zeros((25, 4))
    values[:, 0] = np.arange(25)       # SBS25 largest
    values[0, 1] = 10                  # only SBS1
    values[[0, 3], 2] = [5, 20]        # SBS4 on top
    names, rows, relative = ranked(signatures, values)
    assert len(names) == 20 and names[:2] == ["SBS1", "SBS4"]
    # b's top is SBS1, c's SBS4, a's SBS25; d has nothing.
    assert sample_order(["a", "b", "c", "d"], relative, rows) == [1, 2, 0, 3]
    # twenty colours, none of them a grey like the one of the other signatures
    colours = palette(20)
    assert len(set(colours)) == 20 and OTHER not in colours
    assert not [colour for colour in colours if len(set(colour)) == 1]
    path = write_exposures(tmp_path / "f.exposures.tsv", signatures, ["a", "b", "c", "d"], values)
    status, _, stderr = run("plot", path, "-o", tmp_path / "e.png")
    assert (status, stderr) == (0, f"mutflank plot: exposures, drew 4 samples -> "
                                   f"{tmp_path / 'e.png'}\n")
    assert png_size(tmp_path / "e.png") == (1600, 650)


def test_a_reconstruction_beside_its_profile(tmp_path):
    rng = np.random.default_rng(6)
    signatures = rng.dirichlet(np.ones(96), 3).T
    exposure = np.array([[100.0, 0], [50, 10], [0, 0]])
    profile = signatures @ exposure
    profile[:, 1] = 0
    profile[0, 1] = 10
    matrix = write(tmp_path / "m.tsv", channels.SBS96,
                   {"a": profile[:, 0].tolist(), "b": profile[:, 1].tolist()}, proportions=True)
    sigs = write(tmp_path / "s.tsv", channels.SBS96, {f"X{k}": signatures[:, k].tolist()
                                                      for k in range(3)}, proportions=True,
                 order=str)
    exposures = write_exposures(tmp_path / "f.exposures.tsv", ["X0", "X1", "X2"], ["a", "b"],
                                exposure)
    expected_b = (10 * signatures[0, 1]) / (10 * np.linalg.norm(signatures[:, 1]))
    for sample, cosine in (("a", "1.000"), ("b", f"{expected_b:.3f}")):
        status, _, stderr = run("plot", exposures, "-o", tmp_path / "r.png", "--reconstruction",
                                sample, "--matrix", matrix, "--signatures", sigs)
        assert (status, stderr) == (0, f"mutflank plot: SBS96, drew {sample} and its "
                                       f"reconstruction (cosine similarity {cosine}) -> "
                                       f"{tmp_path / 'r.png'}\n")
    cases = [(("--reconstruction", "a"), 2, "--reconstruction SAMPLE needs --matrix MATRIX.tsv "
              "and --signatures SIGNATURES.tsv, with the exposures as TABLE.tsv"),
             (("--reconstruction", "z", "--matrix", matrix, "--signatures", sigs), 1,
              f"{exposures}: no sample z in the exposures")]
    for args, status, message in cases:
        assert run("plot", exposures, "-o", tmp_path / "x.png", *args) == (
            status, "", f"mutflank plot: error: {message}\n")
    assert run("plot", matrix, "-o", tmp_path / "x.png", "--reconstruction", "a", "--matrix",
               matrix, "--signatures", sigs) == (
        2, "", f"mutflank plot: error: {matrix}: --reconstruction takes the exposures of "
               "`mutflank fit` (first column Signature), not a matrix\n")
