"""The exposures of `mutflank fit` (signatures x samples, absolute counts): stacked bars of each
sample's relative exposures, the TOP signatures with the largest total share coloured and the
rest together in grey, the samples grouped by their largest signature; or one sample's profile
beside its reconstruction from the signatures."""

import numpy as np

from ..fit.signature_tables import read_signatures
from ..runtime.errors import InputError, UsageError, shown
from . import layouts, matrix_files, pages, spectra
from .matrix_files import as_matrix, is_proportions

TOP = 20
OTHER = "#b0b0b0"
NAMES_SHOWN = 100


def palette(count):
    from matplotlib import colormaps

    # tab20 pairs a strong and a light shade of ten hues; its grey pair is left out, as grey
    # means the other signatures here, and two hues of tab20b take its place. Strong shades
    # first keep neighbours apart.
    pairs = [pair for pair in zip(*[iter(colormaps["tab20"].colors)] * 2)
             if len(set(pair[0])) > 1]
    extra = colormaps["tab20b"].colors
    ordered = [strong for strong, _ in pairs] + [extra[0], extra[12]] + [light for _, light in pairs]
    return [ordered[k % len(ordered)] for k in range(count)]


def ranked(signatures, values):
    """(signatures coloured, at most TOP: those of the largest share in any sample, then of
    the largest total share; their rows; relative exposures samples x signatures). A signature
    that dominates a few samples of a large cohort is coloured, however small its total."""
    totals = values.sum(axis=0)
    relative = np.divide(values, totals, out=np.zeros_like(values), where=totals > 0).T
    largest = relative.max(axis=0, initial=0.0)
    weight = relative.sum(axis=0)
    rows = sorted(range(len(signatures)), key=lambda r: (-largest[r], -weight[r], r))
    rows = [r for r in rows if largest[r] > 0][:TOP]
    return [signatures[r] for r in rows], rows, relative


def sample_order(samples, relative, rows):
    """Samples grouped by their largest signature (in the order of `rows`), within a group by
    its share, largest first; samples with no exposure last."""
    rank = {row: k for k, row in enumerate(rows)}

    def key(i):
        if relative[i].sum() == 0:
            return (len(rows) + 1, 0.0, samples[i])
        top = int(relative[i].argmax())
        return (rank.get(top, len(rows)), -relative[i, top], samples[i])

    return sorted(range(len(samples)), key=key)


def bars_figure(table):
    signatures, samples, values = table.rows, table.columns, table.values
    names, rows, relative = ranked(signatures, values)
    order = sample_order(samples, relative, rows)
    shares = relative[order]
    stack = [shares[:, r] for r in rows]
    rest = shares.sum(axis=1) - sum(stack) if stack else shares.sum(axis=1)
    colours = palette(len(rows))
    labels = list(names)
    if len(signatures) > len(rows) and np.any(rest > 1e-12):
        stack.append(np.clip(rest, 0, None))
        colours.append(OTHER)
        labels.append(f"{len(signatures) - len(rows)} other signatures")
    count = len(samples)
    width = 16
    height = 6.5
    figure = pages.figure(width, height)
    axis = figure.add_axes([0.9 / width, (1.2 if count <= NAMES_SHOWN else 0.6) / height,
                            1 - 3.6 / width, 1 - (1.7 if count <= NAMES_SHOWN else 1.1) / height])
    edges = np.arange(count + 1)
    if count:
        # Step-shaped stacks: one polygon per signature, however many samples.
        axis.stackplot(edges, *[np.append(row, row[-1:]) for row in stack], colors=colours,
                       step="post", labels=labels, linewidth=0)
    if 0 < count <= NAMES_SHOWN:
        axis.vlines(edges[1:-1], 0, 1, colors="white", linewidth=0.6)
        axis.set_xticks(edges[:-1] + 0.5)
        axis.set_xticklabels([samples[i] for i in order], rotation=90,
                             fontsize=max(4, min(8, 700 // count)))
    else:
        axis.set_xticks([])
        axis.set_xlabel(f"{count:,} samples, grouped by their largest signature")
    axis.tick_params(axis="x", length=0)
    axis.set_xlim(0, max(count, 1))
    axis.set_ylim(0, 1)
    axis.set_ylabel("share of the sample's mutations")
    axis.spines[["top", "right"]].set_visible(False)
    if count:
        # Listed top to bottom as they are stacked.
        handles, names = axis.get_legend_handles_labels()
        axis.legend(handles[::-1], names[::-1], loc="upper left", bbox_to_anchor=(1.01, 1.0),
                    fontsize=8, frameon=False)
    axis.set_title(f"Signature exposures of {count:,} sample{'s' if count != 1 else ''} "
                   f"({len(signatures)} signatures; the {len(rows)} largest coloured)",
                   loc="left", fontsize=11)
    return figure


def _signatures(path):
    """(channel labels, signature names, channels x signatures, each summing to 1) of a
    signatures file, read as `mutflank fit` reads it."""
    table = read_signatures(path)
    return list(table.rows), list(table.columns), np.asarray(table.values, dtype=float)


def cosine(a, b):
    norm = float(np.linalg.norm(a) * np.linalg.norm(b))
    return float(a @ b) / norm if norm else float("nan")


def reconstruction_figure(args, table):
    sample = args.reconstruction
    if sample not in table.columns:
        raise InputError(f"{table.path}: no sample {shown(sample)} in the exposures")
    matrix = matrix_files.read_table(args.matrix, matrix_files.CHANNEL_HEADERS)
    kind, values = as_matrix(matrix)
    if sample not in matrix.columns:
        raise InputError(f"{args.matrix}: no sample {shown(sample)} in the matrix")
    labels, names, signatures = _signatures(args.signatures)
    where = {label: i for i, label in enumerate(labels)}
    expected = layouts.channels_of(kind)
    missing = [label for label in expected if label not in where]
    if missing:
        raise InputError(f"{args.signatures}: no channel {missing[0]!r} of the {kind} matrix "
                         f"{args.matrix}")
    columns = {name: k for k, name in enumerate(names)}
    absent = [name for name in table.rows if name not in columns]
    if absent:
        raise InputError(f"{args.signatures}: no signature {shown(absent[0])} of the exposures "
                         f"{table.path}")
    exposure = table.values[:, table.columns.index(sample)]
    basis = signatures[[where[label] for label in expected]][:, [columns[n] for n in table.rows]]
    profile = values[:, matrix.columns.index(sample)]
    rebuilt = basis @ exposure
    similarity = cosine(profile, rebuilt)
    proportions = is_proportions(values)
    if proportions:
        total = rebuilt.sum()
        rebuilt = rebuilt / total if total else rebuilt
    layout = layouts.layout(kind)
    width, height = layout.size
    figure = pages.figure(width, 2 * height + 0.4)
    grid = figure.add_gridspec(2, 1, left=0.9 / width, right=1 - 0.25 / width,
                               top=1 - 0.75 / (2 * height + 0.4),
                               bottom=(0.95 if layout.captions else 0.75) / (2 * height + 0.4),
                               hspace=0.45)
    used = int(np.count_nonzero(exposure))
    top = float(max(profile.max(initial=0), rebuilt.max(initial=0)))
    similar = "NA" if np.isnan(similarity) else f"{similarity:.3f}"
    headings = [spectra.title(f"{sample}: profile", profile, layout.noun, proportions),
                f"reconstruction from {used} signature{'s' if used != 1 else ''}"]
    for row, (data, heading) in enumerate(zip((profile, rebuilt), headings)):
        if layout.style == "heat map":
            spectra.heat_map(figure, grid[row, 0], heading, data, proportions)
        else:
            spectra.bars(figure.add_subplot(grid[row, 0]), layout, data, heading, proportions,
                         top)
    figure.suptitle(f"{sample}: {kind} profile and its reconstruction, cosine similarity "
                    f"{similar}", x=0.9 / width, ha="left", fontsize=11)
    return figure, kind, similar


def draw(args, table, inputs):
    """Draws an exposures Table as args ask, refusing an output that is one of the `inputs`;
    (what was drawn, for the message; files)."""
    if args.samples or args.panels or args.overview:
        raise UsageError("--samples, --panels and --overview are for matrices; exposures are "
                         "drawn all together, or one sample with --reconstruction")
    if args.reconstruction:
        figure, kind, similar = reconstruction_figure(args, table)
        written = pages.write([figure], 1, args.output, inputs)
        return kind, f"{args.reconstruction} and its reconstruction (cosine similarity " \
                     f"{similar})", written
    figure = bars_figure(table)
    written = pages.write([figure], 1, args.output, inputs)
    count = len(table.columns)
    return "exposures", f"{count:,} sample{'s' if count != 1 else ''}", written
