"""A matrix file as `mutflank plot` draws it: its kind, found from its channel rows, and its
values in that kind's order; and whether it holds counts or proportions."""

import numpy as np

from ..runtime.errors import InputError, at_line
from . import layouts, tables


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
    table = tables.read_table(path, tables.CHANNEL_HEADERS)
    kind, values = as_matrix(table)
    return kind, table.columns, values


def is_proportions(values):
    """Whether a matrix holds proportions: not all whole numbers, each column summing to 1 (or
    0 for a sample with nothing)."""
    if values.size == 0 or np.all(values == np.round(values)):
        return False
    totals = values.sum(axis=0)
    return bool(np.all((np.abs(totals - 1) < 1e-3) | (totals == 0)))
