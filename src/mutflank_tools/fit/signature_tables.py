"""The tables of `mutflank fit`: a labelled table of numbers (channels x signatures,
channels x samples, signatures x samples) read with every fault named by file and line, and the
lines of the files the verb writes. NumPy only; no verb is imported here."""

import itertools
import math
from dataclasses import dataclass, field

import numpy as np

from ..runtime.errors import InputError, at_line, shown
from . import published

NUMBER = "%.10g"  # how every number of the written tables is printed


@dataclass
class Table:
    """Numbers labelled by row and by column, read from `path`."""

    path: str
    rows: list  # row labels (channels, or signature names), in file order
    columns: list  # column names (signatures, or samples), in file order
    values: np.ndarray  # float64, rows x columns
    lines: list  # the 1-based line of each row in the file
    header_line: int = 1
    normalised: list = field(default_factory=list)  # columns rescaled to sum to 1
    written: list = field(default_factory=list)  # each row's label as the file writes it


# Bounds of a table read (signatures, matrices, exposures): a line longer than MAX_LINE bytes
# or a file longer than MAX_BYTES is an error naming the file and the line, so that /dev/zero
# or a runaway stream cannot fill the memory.
MAX_LINE = 16 << 20
MAX_BYTES = 1 << 30


def text_lines(path, what="a table of numbers"):
    """(number, text) of each line of the UTF-8 file `path`, without its line end (and
    without a byte-order mark), read with the bounds above; `what` the file should have been,
    for the messages."""
    try:
        handle = open(path, "rb")
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror}") from None
    total = 0
    with handle:
        for number in itertools.count(1):
            try:
                line = handle.readline(MAX_LINE + 1)
            except OSError as error:
                raise InputError(f"{path}: cannot read: {error.strerror}") from None
            if not line:
                return
            total += len(line)
            if len(line) > MAX_LINE:
                raise InputError(at_line(path, number, f"longer than {MAX_LINE >> 20} MiB: "
                                                       f"not {what}"))
            if total > MAX_BYTES:
                raise InputError(at_line(path, number, f"the file goes on past "
                                                       f"{MAX_BYTES >> 30} GiB: not {what}"))
            try:
                text = line.decode("utf-8-sig" if number == 1 else "utf-8")
            except UnicodeDecodeError:
                raise InputError(at_line(path, number, "not UTF-8 text")) from None
            yield number, text.rstrip("\r\n")


def _lines(path, what):
    """(number, fields) of the non-empty lines of a tab-separated table."""
    for number, line in text_lines(path, what):
        if line.strip():
            yield number, line.split("\t")


def read_table(path, heads, what, channels=False):
    """The Table of `path`, whose first header field is one of `heads` and whose columns are
    `what` ("signature", "sample"): unique row labels and column names, one non-negative
    finite number per cell. With `channels`, the rows are channels, labelled in any of the
    layouts of published tables (`published`), and `rows` holds our labels."""
    lines = _lines(path, f"a table of {what}s")
    first = next(lines, None)
    if first is None:
        raise InputError(f"{path}: empty file")
    number, header = first
    header_number = number
    width = published.label_columns(header) if channels else int(header[0] in heads)
    if not width:
        raise InputError(at_line(path, number, f"the first column is headed "
                                               f"{header[0]!r}, not "
                                               f"{' or '.join(heads)}"))
    columns = header[width:]
    if not columns:
        raise InputError(at_line(path, number, f"no {what} columns"))
    named = set()
    for name in columns:
        if name in named or not name:
            problem = (f"{what} {name!r} named twice" if name
                       else f"a {what} column has no name")
            raise InputError(at_line(path, number, problem))
        named.add(name)
    rows, written, numbers, where, seen = [], [], [], [], {}
    for number, fields in lines:
        label_text = "\t".join(fields[:width])
        label = published.channel(fields[:width]) if channels else label_text
        if label in seen:
            raise InputError(at_line(path, number, f"{label_text!r} listed twice (first on "
                                                   f"line {seen[label]})"))
        seen[label] = number
        if len(fields) != len(header):
            count = len(fields) - width
            raise InputError(at_line(path, number, f"{count} value{'' if count == 1 else 's'} "
                                                   f"for {len(columns)} {what}s"))
        try:
            row = [float(text) for text in fields[width:]]
        except ValueError:
            row = None
        if row is None or not all(0 <= value <= MAX_VALUE for value in row):
            for name, text in zip(columns, fields[width:]):
                _check_number(path, number, text, f"{what} {shown(name)}")
        rows.append(label)
        written.append(label_text)
        numbers.append(row)
        where.append(number)
    if not rows:
        raise InputError(f"{path}: no rows below the header")
    values = np.array(numbers, dtype=np.float64).reshape(len(rows), len(columns))
    return Table(path, rows, columns, values, where, header_line=header_number,
                 written=written)


# Counts up to 2^53 are whole numbers in a double; beyond, and their squares in a residual
# beyond 1e308, a fit would go wrong without a word.
MAX_VALUE = float(2**53)


def _check_number(path, number, text, whose):
    try:
        value = float(text)
    except ValueError:
        raise InputError(at_line(path, number, f"{whose}: {text!r} is not a number")) from None
    if math.isnan(value):
        raise InputError(at_line(path, number, f"{whose}: {text!r} is not a number"))
    if value < 0:
        raise InputError(at_line(path, number, f"{whose}: {text!r} is negative"))
    if math.isinf(value):
        raise InputError(at_line(path, number, f"{whose}: {text!r} is not finite"))
    if value > MAX_VALUE:
        raise InputError(at_line(path, number, f"{whose}: {text!r} is larger than "
                                               f"{int(MAX_VALUE):,}, the largest count read exactly"))


# A column off 1 by more than this is said to be scaled; published tables miss 1 by rounding.
ROUNDING = 1e-3
SAME_DIGITS = 12  # decimals of the scaled values two columns share when they are one signature


def read_signatures(path):
    """The signatures of `path`: channels x signatures, every column scaled to sum to 1
    (`normalised` names those that were off by more than rounding); a column summing to 0 and
    two columns that are one signature are errors."""
    table = read_table(path, published.ONE, "signature", channels=True)
    sums = table.values.sum(axis=0)
    for name, total in zip(table.columns, sums):
        if total == 0:
            raise InputError(at_line(path, table.header_line,
                                     f"signature {shown(name)} sums to 0"))
    table.normalised = [name for name, total in zip(table.columns, sums)
                        if abs(total - 1) > ROUNDING]
    table.values = table.values / sums
    _check_distinct(table)
    return table


def _check_distinct(table):
    """Two columns with the same scaled values would share their exposure in any proportion:
    the fit could not tell them apart."""
    rounded = np.round(table.values.T, SAME_DIGITS)
    _, first, inverse = np.unique(rounded, axis=0, return_index=True, return_inverse=True)
    inverse = inverse.reshape(-1)
    twice = np.flatnonzero(first[inverse] != np.arange(len(inverse)))
    if twice.size:
        later = int(twice[0])
        earlier = int(first[inverse[later]])
        raise InputError(at_line(table.path, table.header_line,
                                 f"signatures {shown(table.columns[earlier])} and "
                                 f"{shown(table.columns[later])} are one signature (the same "
                                 "values once scaled to sum to 1): keep one of them"))


def read_matrix(path):
    """A matrix of `mutflank matrix` (or of a published layout): channels x samples, counts
    or proportions."""
    return read_table(path, published.ONE, "sample", channels=True)


def read_exposures(path):
    """The exposures written by `mutflank fit`: signatures x samples, mutation counts."""
    return read_table(path, ("Signature",), "sample")


def read_opportunities(path):
    """The opportunities of `mutflank opportunities`: one column of counts per channel."""
    table = read_table(path, ("MutationType",), "column")
    if len(table.columns) != 1:
        raise InputError(at_line(path, table.header_line, f"{len(table.columns)} columns: "
                                 "opportunities are one column per channel, as `mutflank "
                                 "opportunities` writes them"))
    return table


def opportunity_ratio(matrix, opportunities, genome):
    """Per channel of the matrix (in its order), the samples' opportunity over the genome's
    (0 where neither has any). A channel missing from either file is an error, as is one with
    no opportunity in the genome and some in the samples (not one reference)."""
    counts = []
    for table in (opportunities, genome):
        index = {label: row for row, label in enumerate(table.rows)}
        for label, number in zip(matrix.rows, matrix.lines):
            if label not in index:
                raise InputError(at_line(table.path, table.header_line, f"no channel {label!r} "
                                         f"(line {number} of the matrix {matrix.path})"))
        counts.append(table.values[[index[label] for label in matrix.rows], 0])
    mine, theirs = counts
    bad = (theirs == 0) & (mine > 0)
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        label = matrix.rows[row]
        line = genome.lines[genome.rows.index(label)]
        raise InputError(at_line(genome.path, line, f"channel {label!r} has no opportunity, "
                                 f"but {opportunities.path} gives it {NUMBER % mine[row]}: are "
                                 "both of one reference?"))
    ratio = np.zeros(len(matrix.rows))
    np.divide(mine, theirs, out=ratio, where=theirs > 0)
    return ratio


def rescaled(values, names, ratio, where):
    """The signatures `values` (channels x signatures) with each channel multiplied by
    `ratio` and each signature summed to 1 again; a signature left with nothing is an error
    naming the file `where` (the opportunities that took it away)."""
    scaled = values * ratio[:, None]
    sums = scaled.sum(axis=0)
    if (sums == 0).any():
        name = names[int(np.flatnonzero(sums == 0)[0])]
        raise InputError(f"{where}: signature {name} has no weight left: its channels have no "
                         "opportunity here")
    return scaled / sums


def aligned(signatures, matrix):
    """The signatures' values with their rows in the matrix's channel order; a channel on one
    side only is an error naming the file and line where it is (as the file writes it)."""
    index = {label: row for row, label in enumerate(signatures.rows)}
    for label, text, number in zip(matrix.rows, matrix.written, matrix.lines):
        if label not in index:
            raise InputError(at_line(matrix.path, number, f"channel {text!r} is not in the "
                                                          f"signatures {signatures.path}"))
    present = set(matrix.rows)
    for label, text, number in zip(signatures.rows, signatures.written, signatures.lines):
        if label not in present:
            raise InputError(at_line(signatures.path, number, f"channel {text!r} is not in "
                                                              f"the matrix {matrix.path}"))
    return signatures.values[[index[label] for label in matrix.rows]]


def _number(value):
    if value == 0:  # most exposures: no formatting needed
        return "0"
    return "NA" if math.isnan(value) else NUMBER % value


def exposure_lines(signatures, samples, exposures):
    """PREFIX.exposures.tsv: one row per signature, one column per sample."""
    yield "\t".join(["Signature", *samples]) + "\n"
    for name, row in zip(signatures, exposures):
        yield "\t".join([name, *map(_number, row.tolist())]) + "\n"


def fit_lines(samples, totals, cosines, rss, used, rescaled=None):
    """PREFIX.fit.tsv: one row per sample; with `rescaled` (the opportunities the signatures
    were rescaled by, as "SAMPLES / GENOME") a last column, Rescaled, that says so."""
    yield "Sample\tTotal\tCosine\tRSS\tSignatures" + ("\tRescaled\n" if rescaled else "\n")
    last = f"\t{_clean(rescaled)}\n" if rescaled else "\n"
    for row in zip(samples, totals.tolist(), cosines.tolist(), rss.tolist(), used.tolist()):
        name, total, cosine, residual, count = row
        yield f"{name}\t{_number(total)}\t{_number(cosine)}\t{_number(residual)}\t{count}{last}"


def _clean(text):
    """Text for one cell: tabs and line breaks as spaces."""
    return " ".join(text.replace("\t", " ").splitlines())


def bootstrap_lines(signatures, samples, summary):
    """PREFIX.bootstrap.tsv: one row per sample and signature; `summary` holds arrays
    signatures x samples under median, low, high, kept."""
    yield "Sample\tSignature\tMedian\tQ2.5\tQ97.5\tKept\n"
    columns = [summary[key] for key in ("median", "low", "high", "kept")]
    for sample, name in enumerate(samples):
        for signature, label in enumerate(signatures):
            cells = [_number(column[signature, sample]) for column in columns]
            yield "\t".join([name, label, *cells]) + "\n"
