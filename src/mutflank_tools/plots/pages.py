"""Figures written in the format that the output's name asks for (PNG, PDF or SVG), all files of
a run together or none (outputs.OutputSet). A picture is at most a page: more pages go into one
multi-page PDF, or into numbered PNG or SVG files beside the name given (`cohort.png` ->
`cohort.01.png`, `cohort.02.png`, ..., two digits however many pages). The name given and its
numbered pages are one family: the members that a run does not write, left by an earlier one,
are removed with its commit."""

import collections
import os
import sys
import warnings

from ..runtime.errors import UsageError
from ..runtime.extras import require
from ..runtime.outputs import OutputSet

FORMATS = {".png": "png", ".pdf": "pdf", ".svg": "svg"}
DPI = 100
# Inches of a page of panels.
PAGE_WIDTH = 16
PAGE_HEIGHT = 20
# Digits of a page number, whatever the number of pages (at most 100 panels, 7 or more to a
# page: at most 15 pages), so that the files of a run sort in page order.
PAGE_DIGITS = 2
# Numbered pages of up to three digits, in any width (`cohort.1.png`, `cohort.01.png`), are
# the family's: earlier versions numbered pages in as many digits as their count had.
FAMILY_PAGES = 999

Written = collections.namedtuple("Written", "names removed")  # files written, stale ones removed


def output_format(path):
    """The format named by `path`'s extension; UsageError for any other."""
    extension = os.path.splitext(path)[1].lower()
    if extension not in FORMATS:
        raise UsageError(f"{path}: name the picture .png, .pdf or .svg (its extension chooses "
                         "the format)")
    return FORMATS[extension]


def figure(width, height):
    """A new matplotlib Figure of width x height inches, drawing every text literally (a `$` in
    a sample name is a dollar sign, not the start of a formula), keeping SVG text as text.
    Made without pyplot: nothing global holds it, so it goes when it is no longer used."""
    matplotlib = require("matplotlib")
    from matplotlib.figure import Figure

    matplotlib.rcParams.update({"text.parse_math": False, "svg.fonttype": "none",
                                "pdf.fonttype": 42, "svg.hashsalt": "mutflank"})
    return Figure(figsize=(width, height), dpi=DPI)


def page_names(output, count):
    """The file of each page: `output` itself for one page, numbered files beside it for more
    (a PDF holds every page itself)."""
    if count == 1 or output_format(output) == "pdf":
        return [output]
    stem, extension = os.path.splitext(output)
    return [f"{stem}.{number:0{PAGE_DIGITS}d}{extension}" for number in range(1, count + 1)]


def family(output):
    """Every name a run with `output` may write: `output`, and for PNG and SVG its numbered
    pages (`cohort.1.png`, `cohort.01.png`, ... `cohort.999.png`)."""
    if output_format(output) == "pdf":
        return [output]
    stem, extension = os.path.splitext(output)
    return [output] + [f"{stem}.{number:0{digits}d}{extension}"
                       for number in range(1, FAMILY_PAGES + 1)
                       for digits in range(len(str(number)), len(str(FAMILY_PAGES)) + 1)]


def write(figures, count, output, inputs=()):
    """Saves the `count` figures that the iterable `figures` makes under `output` (see
    page_names), all files together or none, removing the family's other members (see
    family); an output that is one of `inputs` is refused. Returns Written."""
    fmt = output_format(output)
    names = page_names(output, count)
    with warnings.catch_warnings(record=True) as said, \
            OutputSet(inputs, family=family(output)) as outputs:
        # A character of a name that the font lacks is drawn as a box; matplotlib's warning
        # of each such glyph becomes one line below.
        warnings.filterwarnings("always", message="Glyph .* missing from", category=UserWarning)
        _save(figures, fmt, output, names, outputs)
    if any("missing from" in str(warning.message) for warning in said):
        print("mutflank plot: some characters of the names are not in the font and are drawn "
              "as boxes", file=sys.stderr)
    return Written(names, outputs.removed)


def _save(figures, fmt, output, names, outputs):
    if fmt == "pdf":
        from matplotlib.backends.backend_pdf import PdfPages

        with PdfPages(outputs.open(output, "wb"),
                      metadata={"Creator": "mutflank plot"}) as pdf:
            for page in figures:
                pdf.savefig(page)
        return
    for name, page in zip(names, figures):
        handle = outputs.open(name, "wb")
        if fmt == "png":  # light compression: the pictures are mostly flat colour
            page.savefig(handle, format=fmt, metadata={"Software": "mutflank plot"},
                         pil_kwargs={"compress_level": 1})
        else:
            page.savefig(handle, format=fmt, metadata={"Creator": "mutflank plot"})


def describe(names):
    """The files written, for standard error."""
    return names[0] if len(names) == 1 else f"{names[0]} ... {names[-1]}"
