"""What `mutflank plot` chooses to show: the overview's profiles and title, the order of strand
bars, the coloured signatures of an exposures plot, SBS1536 cells of none and of one mutation,
and the names of page files; through the command in process, read back from SVG text."""

import re

import numpy as np
import pytest

pytest.importorskip("matplotlib")
pytest.importorskip("mutflank_tools")
from mutflank_tools.cli import main  # noqa: E402
from mutflank_tools.counting import channels, kinds  # noqa: E402
from mutflank_tools.plots import pages, spectra  # noqa: E402


def command(capsys, *argv):
    """(exit status, standard error) of `mutflank ARGV` run in this process."""
    try:
        status = main([str(arg) for arg in argv])
    except SystemExit as stop:
        status = stop.code
    return status, capsys.readouterr()


def write(path, head, rows, columns, values):
    lines = ["\t".join([head, *columns])]
    lines += ["\t".join([row, *map(str, line)]) for row, line in zip(rows, values.tolist())]
    path.write_text("\n".join(lines) + "\n")
    return path


def texts(svg):
    """The texts of an SVG written by matplotlib (text kept as text), in document order."""
    return re.findall(r"<text\b[^>]*>([^<]*)</text>", svg.read_text())


def cohort(seed):
    """A small noisy cohort (samples x SBS96 counts) of few planted signatures: where the
    factorisation tends to find more profiles than the cohort shows."""
    rng = np.random.default_rng(seed)
    samples, planted = int(rng.integers(13, 200)), int(rng.integers(1, 6))
    signatures = rng.dirichlet(np.full(96, 0.3), planted)
    weights = rng.dirichlet(np.full(planted, 0.5), samples) * rng.integers(20, 2000, (samples, 1))
    return rng.poisson(weights @ signatures)


@pytest.mark.parametrize("seed", [1, 30, 49, 214])
def test_the_overview_has_no_profile_of_no_sample(tmp_path, capsys, seed):
    counts = cohort(seed)
    names = [f"S{i}" for i in range(len(counts))]
    m = write(tmp_path / "m.tsv", "MutationType", channels.SBS96, names, counts.T)
    status, _ = command(capsys, "plot", m, "-o", tmp_path / "o.svg", "--overview")
    assert status == 0
    shown = texts(tmp_path / "o.svg")
    title = next(text for text in shown if text.startswith("SBS96: "))
    groups = [int(size.replace(",", "")) for size in
              re.findall(r"^profile \d+: ([\d,]+) samples?$", "\n".join(shown), re.M)]
    assert title.endswith(f"grouped by {len(groups)} profile{'s' * (len(groups) != 1)}")
    assert min(groups) >= 1 and sum(groups) == len(names)


@pytest.mark.parametrize("kind, title", [
    ("SBS1536", "SBS1536 drawn as SBS96 (the outer bases summed): 13 samples"),
    ("SBS192", "SBS192 drawn as SBS96 (the strands summed): 13 samples"),
    ("SBS384", "SBS384 drawn as SBS96 (the strands summed): 13 samples"),
    ("DBS78", "DBS78: 13 samples"),
])
def test_the_overview_title_names_the_kind_drawn(tmp_path, capsys, kind, title):
    labels = kinds.get(kind).channels
    counts = np.random.default_rng(3).poisson(2.0, (len(labels), 13))
    m = write(tmp_path / "m.tsv", "MutationType", labels, [f"S{i}" for i in range(13)], counts)
    status, _ = command(capsys, "plot", m, "-o", tmp_path / "o.svg")
    assert status == 0
    assert [text for text in texts(tmp_path / "o.svg") if text.startswith(kind)][0].startswith(
        title + " (each sample's counts as proportions), grouped by")


@pytest.mark.parametrize("kind", ["SBS192", "SBS384"])
def test_strand_bars_stand_in_one_order(tmp_path, capsys, kind):
    labels = kinds.get(kind).channels
    counts = np.arange(len(labels))[:, None] % 7
    m = write(tmp_path / "m.tsv", "MutationType", labels, ["S1"], counts)
    status, _ = command(capsys, "plot", m, "-o", tmp_path / "p.svg")
    assert status == 0
    legend = [text for text in texts(tmp_path / "p.svg")
              if text in ("transcribed", "untranscribed", "both strands", "no gene")]
    assert legend == ["transcribed", "untranscribed", "both strands", "no gene"][:len(legend)]
    assert len(legend) == len(labels) // 96


def test_a_signature_dominating_a_few_samples_is_coloured(tmp_path, capsys):
    # 300 samples on 78 signatures: 40 common ones share every sample; SBS78 is 90% of two
    # samples, and less in total than any of the 40 (1.8 samples' worth against about 7).
    rng = np.random.default_rng(5)
    values = np.zeros((78, 300))
    values[:40] = rng.dirichlet(np.ones(40), 300).T * 1000
    values[77, :2] = 9 * values[:40, :2].sum(axis=0)
    names = [f"SBS{j + 1}" for j in range(78)]
    e = write(tmp_path / "e.exposures.tsv", "Signature", names, [f"S{i}" for i in range(300)],
              values)
    status, _ = command(capsys, "plot", e, "-o", tmp_path / "e.svg")
    assert status == 0
    legend = [text for text in texts(tmp_path / "e.svg") if re.fullmatch(r"SBS\d+", text)]
    assert "SBS78" in legend and len(legend) == 20


def test_sbs1536_cells_of_none_and_of_one_stand_apart(tmp_path):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    values = np.zeros(1536)
    values[0], values[1], values[2] = 1, 40, 0  # cells (0, 0), (0, 1), (0, 2) of C>A
    figure = pages.figure(16, 3.4)
    panel = spectra.heat_map(figure, figure.add_gridspec(1, 1)[0, 0], "S1", values, False)
    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    pixels = np.asarray(canvas.buffer_rgba())[:, :, :3].astype(int)
    height = pixels.shape[0]

    def colour(column):
        x, y = panel.axes[0].transData.transform((column, 0))
        return pixels[int(height - y), int(x)]

    none, one, many = colour(2), colour(0), colour(1)
    assert tuple(none) == (255, 255, 255)
    assert np.abs(none - one).sum() > 150 and np.abs(one - many).sum() > 150
    sizes = {text.get_fontsize() for axis in panel.axes for text in axis.texts
             if re.fullmatch(r"[ACGT]{2}", text.get_text())}
    assert sizes == {7}


def test_page_files_are_numbered_with_two_digits(tmp_path, capsys):
    counts = np.random.default_rng(2).poisson(3.0, (96, 8))
    m = write(tmp_path / "m.tsv", "MutationType", channels.SBS96, [f"S{i}" for i in range(8)],
              counts)
    status, out = command(capsys, "plot", m, "-o", tmp_path / "p.png", "--panels")
    assert (status, out.err) == (0, f"mutflank plot: SBS96, drew 8 samples on 2 pages -> "
                                    f"{tmp_path}/p.01.png ... {tmp_path}/p.02.png\n")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["m.tsv", "p.01.png", "p.02.png"]
    status, out = command(capsys, "plot", "--help")
    assert "OUT.01.png, OUT.02.png, ... beside it (page numbers of two digits" in " ".join(
        out.out.split())
