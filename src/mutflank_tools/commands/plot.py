"""`mutflank plot`: a matrix written by `mutflank matrix`, or the exposures written by
`mutflank fit`, as a picture (PNG, PDF or SVG, as the output's name says).

- A matrix of up to DEFAULT_SAMPLES samples: one panel per sample in its kind's layout (bars
  for SBS6, SBS96, SBS192, SBS384, DBS78 and ID83; heat maps for SBS1536). `--samples` or
  `--panels` ask for panels of more (at most MAX_PANELS), a page at a time.
- A larger matrix, or `--overview`: one heat map of every sample's proportions, the samples
  grouped by the profile that dominates them.
- An opportunities file of `mutflank opportunities` (one column, `opportunities`): the
  frequency of each reference context, one bar per context (plots/contexts.py).
- Exposures: stacked relative-exposure bars per sample; with `--reconstruction SAMPLE` (and
  `--matrix`, `--signatures`) that sample's profile beside its reconstruction.
- The signatures of `mutflank extract` (a matrix of proportions) as panels in their kind's
  layout; its ranks table as stability and error against the rank, the chosen one marked.

The code that draws lives in the `plots` package."""

import sys

import numpy as np

from ..plots import contexts, exposures, layouts, matrix_files, overview, pages, ranks, spectra
from ..plots.matrix_files import as_matrix, is_proportions
from ..runtime.errors import InputError, UsageError, shown
from . import options
from ..runtime.outputs import removed_line

SUMMARY = ("draw a matrix of `mutflank matrix`, the exposures of `mutflank fit` or the "
           "signatures and ranks of `mutflank extract`")
EXAMPLE = ("mutflank plot cohort.SBS96.tsv -o cohort.SBS96.png --samples S1,S2\n"
           "  mutflank plot cohort.SBS96.tsv -o cohort.pdf --panels\n"
           "  mutflank plot fit.exposures.tsv -o exposures.png\n"
           "  mutflank plot cohort.ranks.tsv -o ranks.png\n"
           "  mutflank plot fit.exposures.tsv --reconstruction S1 --matrix cohort.SBS96.tsv "
           "--signatures COSMIC.tsv -o S1.png")

DEFAULT_SAMPLES = 12
MAX_PANELS = 100


def add_arguments(parser):
    parser.add_argument(
        "table", metavar="TABLE.tsv", type=options.input_path,
        help="a matrix of `mutflank matrix` (SBS6, SBS96, SBS1536, SBS192, SBS384, DBS78 or "
        "ID83, told from its row labels, which may come in any order; first column "
        "MutationType or Type; counts or proportions; the signatures of `mutflank extract` "
        "are one), the exposures of `mutflank fit` (first column Signature), or the ranks "
        "of `mutflank extract` (first column Rank)")
    parser.add_argument(
        "-o", "--output", required=True, metavar="OUT.png",
        help="the picture; its extension chooses the format: .png, .pdf or .svg. Pages beyond "
        "the first go into the same PDF, or into OUT.01.png, OUT.02.png, ... beside it (page "
        "numbers of two digits, however many pages); the pictures of an earlier run under "
        "these names that this run does not draw are removed")
    parser.add_argument(
        "--samples", type=options.names, metavar="S1,S2,...",
        help=f"draw these samples, one panel each, in this order (at most {MAX_PANELS}). "
        f"Default: every sample when there are at most {DEFAULT_SAMPLES}, else the overview")
    how = parser.add_mutually_exclusive_group()
    how.add_argument("--panels", action="store_true",
                     help=f"draw every sample as a panel (at most {MAX_PANELS}), "
                     f"{pages.PAGE_HEIGHT} inches of panels to a page")
    how.add_argument("--overview", action="store_true",
                     help="draw all samples in one heat map of their proportions, grouped by "
                     "the profile that dominates them (the default beyond "
                     f"{DEFAULT_SAMPLES} samples)")
    parser.add_argument(
        "--reconstruction", metavar="SAMPLE",
        help="with an exposures table: draw SAMPLE's profile from --matrix beside its "
        "reconstruction from --signatures and the exposures, with their cosine similarity")
    parser.add_argument("--matrix", metavar="MATRIX.tsv", type=options.input_path,
                        help="the matrix that was fitted (with --reconstruction)")
    parser.add_argument("--signatures", metavar="SIGNATURES.tsv", type=options.input_path,
                        help="the signatures it was fitted to (with --reconstruction)")


def choose_samples(samples, wanted, path):
    """The samples to draw as panels: `wanted` (checked) or all."""
    chosen = list(dict.fromkeys(wanted)) if wanted else list(samples)
    known = set(samples)
    unknown = [name for name in chosen if name not in known]
    if unknown:
        raise InputError(f"{path}: no sample {', '.join(map(shown, unknown))} in the matrix")
    if len(chosen) > MAX_PANELS:
        option = "--samples names" if wanted else "--panels would draw"
        raise UsageError(f"{option} {len(chosen):,} samples: panels are for at most "
                         f"{MAX_PANELS}; --overview draws a whole cohort")
    return chosen


ABOVE = 0.4  # inches above each panel (its title)


def _geometry(layout):
    """(inches of a panel's axes, inches below the lowest panel for the channel labels,
    panels to a page)."""
    width, height = layout.size
    below = 0.95 if layout.captions else 0.45 if layout.kind == "SBS6" else 0.75
    axes = height - ABOVE - below
    return axes, below, max(1, int((pages.PAGE_HEIGHT - below) // (axes + ABOVE)))


def panel_pages(kind, samples, columns, proportions):
    """One figure per page of panels, made as they are saved. Pages of bars reuse one figure:
    its panels are shown again with the next samples' values."""
    layout = layouts.layout(kind)
    width = layout.size[0]
    axes, below, per_page = _geometry(layout)
    heat = layout.style == "heat map"
    panels = samples or ["(no samples)"]
    reused = None  # (figure, its BarPanels) of the last page of bars
    for first in range(0, len(panels), per_page):
        page = panels[first:first + per_page]
        if reused is not None and len(reused[1]) == len(page):
            figure, drawn = reused
        else:
            total = len(page) * (axes + ABOVE) + below
            figure = pages.figure(width, total)
            grid = figure.add_gridspec(len(page), 1, left=0.9 / width, right=1 - 0.25 / width,
                                       top=1 - ABOVE / total, bottom=below / total,
                                       hspace=ABOVE / axes)
            drawn = [spectra.HeatPanel(figure, grid[row, 0], labels=row == len(page) - 1)
                     if heat else spectra.BarPanel(figure.add_subplot(grid[row, 0]), layout,
                                                   labels=row == len(page) - 1)
                     for row in range(len(page))]
            reused = (figure, drawn)
        for panel, sample in zip(drawn, page):
            values = columns.get(sample, np.zeros(len(layouts.channels_of(kind))))
            panel.show(values, spectra.title(sample, values, layout.noun, proportions),
                       proportions)
        yield figure


def page_count(kind, samples):
    per_page = _geometry(layouts.layout(kind))[2]
    return max(1, -(-len(samples) // per_page))


def draw_matrix(args, table):
    kind, values = as_matrix(table)
    samples, path = table.columns, table.path
    proportions = is_proportions(values)
    many = not args.samples and not args.panels and len(samples) > DEFAULT_SAMPLES
    if samples and (args.overview or many):
        figure = overview.figure(kind, samples, values, proportions)
        written = pages.write([figure], 1, args.output, options.inputs_of(args))
        what = (f"an overview of {len(samples):,} samples; draw panels of some with --samples")
        return kind, what, written
    chosen = choose_samples(samples, args.samples, path)
    columns = {name: values[:, i] for i, name in enumerate(samples)}
    count = page_count(kind, chosen)
    written = pages.write(panel_pages(kind, chosen, columns, proportions), count,
                          args.output, options.inputs_of(args))
    plural = "s" if len(chosen) != 1 else ""
    what = f"{len(chosen)} {'chosen ' if args.samples else ''}sample{plural}"
    if count > 1:
        what += f" on {count} pages"
    return kind, what, written


def run(args):
    pages.output_format(args.output)  # a name it cannot write is refused before any work
    reconstruction = (args.reconstruction, args.matrix, args.signatures)
    if any(reconstruction) and not all(reconstruction):
        raise UsageError("--reconstruction SAMPLE needs --matrix MATRIX.tsv and --signatures "
                         "SIGNATURES.tsv, with the exposures as TABLE.tsv")
    if ranks.is_ranks(args.table):
        if args.samples or args.panels or args.overview or any(reconstruction):
            raise UsageError("a ranks table of `mutflank extract` is drawn whole: --samples, "
                             "--panels, --overview and --reconstruction are for other tables")
        kind, what, written = ranks.draw(args.table, args.output)
    else:
        kind, what, written = _draw_table(args)
    print(f"mutflank plot: {kind}, drew {what} -> {pages.describe(written.names)}",
          file=sys.stderr)
    if written.removed:
        print(f"mutflank plot: {removed_line(written.removed)}", file=sys.stderr)


def _draw_table(args):
    """Draws a matrix or exposures table; (kind, what was drawn, pages.Written)."""
    table = matrix_files.read_table(args.table)
    if table.corner == matrix_files.SIGNATURE_HEADER:
        return exposures.draw(args, table, options.inputs_of(args))
    if args.reconstruction:
        raise UsageError(f"{args.table}: --reconstruction takes the exposures of `mutflank fit` "
                         "(first column Signature), not a matrix")
    if contexts.is_opportunities(table):
        kind, values = as_matrix(table)
        return contexts.draw(args, table, kind, layouts.channels_of(kind), values,
                             options.inputs_of(args))
    return draw_matrix(args, table)
