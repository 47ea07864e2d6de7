"""The ranks table of `mutflank extract` (PREFIX.ranks.tsv) as a picture: the stability (mean
and least silhouette) and the reconstruction error against the rank, the chosen rank marked."""

from dataclasses import dataclass

import numpy as np

from ..fit.signature_tables import text_lines
from ..runtime.errors import InputError, at_line
from . import pages

CORNER = "Rank"
COLUMNS = ["Rank", "Stability", "LeastStability", "Cosine", "Error", "Chosen"]


@dataclass
class Ranks:
    ranks: list
    stability: np.ndarray
    least: np.ndarray
    cosine: np.ndarray
    error: np.ndarray
    chosen: int


def is_ranks(path):
    """Whether the file's header starts with the ranks table's first column."""
    try:
        first = next(text_lines(path, "a table of ranks"), None)
    except InputError:
        return False
    return first is not None and first[1].split("\t")[0] == CORNER


def read_ranks(path):
    """The Ranks of a ranks table; InputError naming the file and line of a fault."""
    lines = text_lines(path, "a table of ranks")
    _, header = next(lines)
    if header.split("\t") != COLUMNS:
        raise InputError(at_line(path, 1, f"not the header of a ranks table of `mutflank "
                                          f"extract` ({' '.join(COLUMNS)})"))
    rows, chosen = [], []
    for number, text in lines:
        if not text:
            continue
        fields = text.split("\t")
        try:
            if len(fields) != len(COLUMNS) or fields[-1] not in ("yes", "no"):
                raise ValueError
            rank = int(fields[0])
            values = [float(field) for field in fields[1:-1]]
        except ValueError:
            raise InputError(at_line(path, number, "not a row of a ranks table: a rank, four "
                                                   "numbers and yes or no")) from None
        if rows and rank <= rows[-1][0]:
            raise InputError(at_line(path, number, f"rank {rank} after rank {rows[-1][0]}"))
        rows.append([rank, *values])
        if fields[-1] == "yes":
            chosen.append(rank)
    if not rows or len(chosen) != 1:
        raise InputError(f"{path}: a ranks table has ranks and one chosen: here "
                         f"{len(rows)} rank{'s' if len(rows) != 1 else ''}, {len(chosen)} chosen")
    table = np.array(rows)
    return Ranks([row[0] for row in rows], table[:, 1], table[:, 2], table[:, 3], table[:, 4],
                 chosen[0])


def figure(ranks):
    """Stability above, error below, against the rank; the chosen rank marked in both."""
    drawing = pages.figure(7, 6)
    above, below = drawing.subplots(2, 1, sharex=True)
    above.plot(ranks.ranks, ranks.stability, "o-", color="#1f5fa8", label="mean silhouette")
    above.plot(ranks.ranks, ranks.least, "s--", color="#d6452b",
               label="least silhouette of a signature")
    above.set_ylabel("stability")
    above.set_ylim(min(-0.05, float(np.nanmin(ranks.least)) - 0.05), 1.05)
    above.legend(loc="lower left", frameon=False)
    below.plot(ranks.ranks, ranks.error, "o-", color="#2d7d32")
    below.set_ylabel("relative error of the reconstruction")
    below.set_xlabel("rank (number of signatures)")
    below.set_xticks(ranks.ranks)
    for axis in (above, below):
        axis.axvline(ranks.chosen, color="#808080", linestyle=":", zorder=0)
        axis.spines[["top", "right"]].set_visible(False)
    above.set_title(f"chosen rank: {ranks.chosen}", loc="left")
    drawing.tight_layout()
    return drawing


def draw(path, output):
    """Draws the ranks table at `path` into `output`: (kind, what was drawn, pages.Written)."""
    ranks = read_ranks(path)
    written = pages.write([figure(ranks)], 1, output, [path])
    return "ranks", f"{len(ranks.ranks)} ranks, rank {ranks.chosen} chosen", written
