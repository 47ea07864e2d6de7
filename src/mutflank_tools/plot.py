"""`mutflank plot`: a matrix written by `mutflank matrix` as a PNG picture, one panel per
sample: bar charts for SBS6 and SBS96, a heat map for SBS1536 (for each class, the two
bases on the left by row and the two on the right by column).

A picture cannot hold a cohort: by default the DEFAULT_SAMPLES samples with the most
substitutions are drawn (and standard error says which); `--samples` chooses others, at most
MAX_SAMPLES."""

import sys

from . import channels
from .errors import InputError, UsageError
from .outputs import atomic_output
from . import options

SUMMARY = "draw a matrix written by `mutflank matrix` as a PNG"
EXAMPLE = "mutflank plot cohort.SBS96.tsv -o cohort.SBS96.png --samples S1,S2"


def add_arguments(parser):
    parser.add_argument("matrix", metavar="MATRIX.tsv")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.png")
    parser.add_argument("--samples", type=options.names, metavar="S1,S2,...",
                        help="the samples to draw (default: see --help)")

CLASS_COLOURS = ("#1ebff0", "#050708", "#e62725", "#cbcacb", "#a1cf64", "#edc8c5")
DEFAULT_SAMPLES = 12
MAX_SAMPLES = 100
DPI = 100
NAMES_SHOWN = 5


def read_matrix(path):
    """(matrix type, sample names, {sample: list of values}) of a matrix file; InputError
    naming the file and line for anything else."""
    try:
        with open(path, encoding="utf-8") as handle:
            lines = handle.read().split("\n")
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror}") from None
    except UnicodeDecodeError:
        raise InputError(f"{path}: not UTF-8 text") from None
    if lines and lines[-1] == "":
        lines.pop()
    header = lines[0].rstrip("\r").split("\t") if lines else []
    if not header or header[0] != "MutationType":
        raise InputError(f"{path}: line 1: not a matrix of `mutflank matrix` (its first field "
                         "is not MutationType)")
    samples = header[1:]
    if len(set(samples)) != len(samples):
        raise InputError(f"{path}: line 1: a sample is named twice")
    rows = len(lines) - 1
    kind = next((name for name, names in channels.CHANNELS.items() if len(names) == rows), None)
    if kind is None:
        raise InputError(f"{path}: {rows} channel rows, not 6, 96 or 1536")
    expected = channels.CHANNELS[kind]
    values = [[] for _ in samples]
    for number, (line, channel) in enumerate(zip(lines[1:], expected), start=2):
        fields = line.rstrip("\r").split("\t")
        if fields[0] != channel:
            raise InputError(f"{path}: line {number}: channel {fields[0]!r} where {kind} has "
                             f"{channel!r}")
        if len(fields) != len(samples) + 1:
            raise InputError(f"{path}: line {number}: {len(fields) - 1} values for "
                             f"{len(samples)} samples")
        for column, text in zip(values, fields[1:]):
            try:
                value = float(text)
            except ValueError:
                value = -1.0
            if not value >= 0 or value == float("inf"):
                raise InputError(f"{path}: line {number}: {text!r} is not a count or a "
                                 "proportion")
            column.append(value)
    return kind, samples, dict(zip(samples, values))


def choose_samples(samples, values, wanted, path):
    """(samples to draw, message on what was drawn)."""
    totals = {name: sum(values[name]) for name in samples}
    if wanted:
        chosen = list(dict.fromkeys(wanted))
        unknown = [name for name in chosen if name not in values]
        if unknown:
            raise InputError(f"{path}: no sample {', '.join(unknown)} in the matrix")
        if len(chosen) > MAX_SAMPLES:
            raise UsageError(f"--samples names {len(chosen)} samples: a picture holds at most "
                             f"{MAX_SAMPLES}")
        return chosen, f"{len(chosen)} chosen sample{'s' if len(chosen) != 1 else ''}"
    if len(samples) <= DEFAULT_SAMPLES:
        return list(samples), f"{len(samples)} sample{'s' if len(samples) != 1 else ''}"
    chosen = sorted(samples, key=lambda name: (-totals[name], name))[:DEFAULT_SAMPLES]
    shown = ", ".join(chosen[:NAMES_SHOWN]) + (", ..." if len(chosen) > NAMES_SHOWN else "")
    return chosen, (f"{len(chosen)} of {len(samples):,} samples, those with the most "
                    f"substitutions ({shown}); choose others with --samples")


def _pyplot():
    from .extras import require

    matplotlib = require("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _proportions(values):
    return any(value != int(value) for value in values) and sum(values) <= 1.0 + 1e-9


def _class_bands(axis, top, width):
    from matplotlib.patches import Rectangle

    for k, (cls, colour) in enumerate(zip(channels.CLASSES, CLASS_COLOURS)):
        axis.add_patch(Rectangle((width * k - 0.5, top * 0.93), width, top * 0.07,
                                 color=colour, clip_on=False, linewidth=0))
        axis.text(width * k + (width - 1) / 2, top * 0.965, cls, ha="center", va="center",
                  fontsize=9, color="white" if k in (1, 2) else "black", fontweight="bold")


def _bars(axis, kind, sample, values):
    names = channels.CHANNELS[kind]
    per_class = len(names) // 6
    colours = [CLASS_COLOURS[i // per_class] for i in range(len(names))]
    top = max(max(values, default=0), 1e-9 if _proportions(values) else 1) * 1.18
    axis.bar(range(len(names)), values, width=0.7, color=colours)
    axis.set_xlim(-0.6, len(names) - 0.4)
    axis.set_ylim(0, top)
    axis.set_xticks(range(len(names)))
    axis.set_xticklabels(names, rotation=90 if kind == "SBS96" else 0,
                         fontsize=6 if kind == "SBS96" else 9, family="monospace")
    proportions = _proportions(values)
    axis.set_ylabel("proportion" if proportions else "mutations")
    total = "" if proportions else f"  ({int(sum(values)):,} substitutions)"
    axis.set_title(f"{sample}{total}", loc="left", fontsize=10)
    axis.spines[["top", "right"]].set_visible(False)
    if kind == "SBS96":
        _class_bands(axis, top, per_class)


def _heat_map(figure, cell, sample, values):
    import numpy as np

    grid = cell.subgridspec(1, 6, wspace=0.12)
    data = np.asarray(values, dtype=float).reshape(6, 16, 16)
    top = float(data.max()) or 1.0
    pairs = [a + b for a in channels.BASES for b in channels.BASES]
    image = None
    for k, cls in enumerate(channels.CLASSES):
        axis = figure.add_subplot(grid[0, k])
        image = axis.imshow(data[k], cmap="viridis", vmin=0, vmax=top, aspect="equal",
                            interpolation="nearest")
        axis.set_title(cls, fontsize=9, color=CLASS_COLOURS[k] if k != 3 else "#808080",
                       fontweight="bold")
        axis.set_xticks(range(16))
        axis.set_xticklabels(pairs, rotation=90, fontsize=5, family="monospace")
        axis.set_yticks(range(16))
        axis.set_yticklabels(pairs if k == 0 else [], fontsize=5, family="monospace")
        if k == 0:
            proportions = _proportions(values)
            total = "" if proportions else f"  ({int(sum(values)):,} substitutions)"
            axis.set_ylabel(f"{sample}{total}\nleft bases", fontsize=8)
        axis.set_xlabel("right bases", fontsize=6)
    figure.colorbar(image, ax=figure.axes[-6:], shrink=0.8, pad=0.01, fraction=0.02)


# Inches of each panel: its height, the room above its axes (title) and below (labels).
PANELS = {"SBS6": (8, 2.6, 0.35, 0.45), "SBS96": (16, 3.2, 0.35, 0.75),
          "SBS1536": (16, 3.4, 0.35, 0.65)}


def draw(kind, samples, values, output):
    """Draws one panel per sample (all of `samples`, in order) into the PNG file `output`.
    Margins are fixed in inches (no layout engine, which is slow for many panels)."""
    plt = _pyplot()
    panels = samples or ["(no samples)"]
    width, height, above, below = PANELS[kind]
    total = height * len(panels)
    figure = plt.figure(figsize=(width, total))
    try:
        grid = figure.add_gridspec(len(panels), 1, left=0.9 / width, right=1 - 0.25 / width,
                                   top=1 - above / total, bottom=below / total,
                                   hspace=(above + below) / (height - above - below))
        for row, sample in enumerate(panels):
            sample_values = values.get(sample, [0] * len(channels.CHANNELS[kind]))
            if kind == "SBS1536":
                _heat_map(figure, grid[row, 0], sample, sample_values)
            else:
                _bars(figure.add_subplot(grid[row, 0]), kind, sample, sample_values)
        with atomic_output(output, "wb") as handle:
            figure.savefig(handle, dpi=DPI, format="png")
    finally:
        plt.close(figure)


def run(args):
    kind, samples, values = read_matrix(args.matrix)
    chosen, what = choose_samples(samples, values, args.samples, args.matrix)
    draw(kind, chosen, values, args.output)
    print(f"mutflank plot: {kind}, drew {what} -> {args.output}", file=sys.stderr)
