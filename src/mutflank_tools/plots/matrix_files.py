"""The files `mutflank plot` reads: matrices of `mutflank matrix` (or in the layouts of published
tables, `fit.published`), exposures of `mutflank fit` and signatures, each a tab-separated table
of numbers with a label column, read with the bounds of every table
(`fit.signature_tables.text_lines`): a line longer than 16 MiB or a file longer than 1 GiB is
an error naming the file and the line, so `/dev/zero` or a runaway file cannot fill the memory.
A matrix's kind is found from its channel rows (`as_matrix`); `is_proportions` tells
proportions from counts."""

from dataclasses import dataclass

import numpy as np

from ..fit import published
from ..fit.signature_tables import text_lines
from ..runtime.errors import InputError, at_line
from . import layouts

# The first field of the header: the row-label column of each kind of table (a matrix may
# also come in the layouts of published tables: `published`).
CHANNEL_HEADERS = published.ONE
SIGNATURE_HEADER = "Signature"


@dataclass
class Table:
    path: str
    corner: str        # the header's first field
    columns: list      # the other header fields (samples or signatures)
    rows: list         # the row labels (channels in our spelling)
    lines: list        # the line number of each row
    values: np.ndarray  # float64, rows x columns, every value finite and >= 0


def read_table(path, corners=CHANNEL_HEADERS + (SIGNATURE_HEADER,)):
    """The Table of a file whose header starts with one of `corners`; InputError naming the
    file and line for anything else (a row label seen twice, a row of the wrong width, a value
    that is not a finite number >= 0)."""
    lines = text_lines(path, "a table of counts")
    first = next(lines, None)
    header = first[1].split("\t") if first else []
    channels = not header or header[0] != SIGNATURE_HEADER  # else a row per signature
    width = published.label_columns(header) if channels else 1
    if not header or not width or header[0] not in corners and width == 1:
        names = " or ".join([", ".join(corners[:-1]), corners[-1]] if len(corners) > 1
                            else corners)
        raise InputError(at_line(path, 1, f"not a table to plot (its first field is not "
                                          f"{names})"))
    columns = header[width:]
    seen = set()
    for name in columns:
        if name in seen:
            raise InputError(at_line(path, 1, f"a column is named {name!r} twice"))
        seen.add(name)
    rows, numbers, values, where = [], [], [], {}
    for number, text in lines:
        if not text:
            continue
        fields = text.split("\t")
        label = published.channel(fields[:width]) if channels else fields[0]
        if label in where:
            written = "\t".join(fields[:width])
            raise InputError(at_line(path, number, f"row {written!r} a second time (first on "
                                                   f"line {where[label]})"))
        if len(fields) != len(columns) + width:
            raise InputError(at_line(path, number, f"{len(fields) - width} values for "
                                                   f"{len(columns)} columns"))
        try:
            row = np.array(fields[width:], dtype=np.float64)
            bad = ~(np.isfinite(row) & (row >= 0))
        except ValueError:
            bad = [not _is_count(field) for field in fields[width:]]
        if np.any(bad):
            field = fields[width + int(np.flatnonzero(bad)[0])]
            raise InputError(at_line(path, number, f"{field!r} is not a count or a proportion"))
        where[label] = number
        rows.append(label)
        numbers.append(number)
        values.append(row)
    array = np.vstack(values) if values else np.zeros((0, len(columns)))
    return Table(str(path), header[0], columns, rows, numbers, array)


def _is_count(text):
    try:
        value = float(text)
    except ValueError:
        return False
    return 0 <= value < float("inf")


def as_matrix(table):
    """(kind, channels x samples values in the kind's order) of a Table of channel rows."""
    kind = layouts.kind_of(table.rows)
    if kind is not None:
        where = {label: row for row, label in enumerate(table.rows)}
        return kind, table.values[[where[label] for label in layouts.channels_of(kind)]]
    if not table.rows:
        raise InputError(f"{table.path}: no channel rows")
    closest, missing, extra = layouts.closest(table.rows)
    if len(extra) == len(table.rows):
        raise InputError(at_line(table.path, table.lines[0], f"{table.rows[0]!r} is a channel of "
                                 f"none of the kinds plot draws ({', '.join(layouts.names())})"))
    if extra:
        line = table.lines[table.rows.index(extra[0])]
        raise InputError(at_line(table.path, line, f"{extra[0]!r} is not a {closest} channel"))
    more = f" and {len(missing) - 1:,} more" if len(missing) > 1 else ""
    count = len(layouts.channels_of(closest))
    raise InputError(f"{table.path}: {len(table.rows):,} of the {count} {closest} channels: "
                     f"no {missing[0]!r}{more}")


def read_matrix(path):
    """(kind, sample names, channels x samples values) of a matrix file."""
    table = read_table(path, CHANNEL_HEADERS)
    kind, values = as_matrix(table)
    return kind, table.columns, values


def is_proportions(values):
    """Whether a matrix holds proportions: not all whole numbers, each column summing to 1 (or
    0 for a sample with nothing)."""
    if values.size == 0 or np.all(values == np.round(values)):
        return False
    totals = values.sum(axis=0)
    return bool(np.all((np.abs(totals - 1) < 1e-3) | (totals == 0)))
