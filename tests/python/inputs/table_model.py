"""The Python reader of the ten-column mutation table that the engine's scanner replaced, kept
as the model it is tested against (test_table_engine.py): blocks of common lines read column
by column with NumPy, the other lines one by one. The table (plain or gzip), the module's own
input:

    sample  project  ID  build  type  chromosome  position  end  REF  ALT

one record per line with its fields as written (alleles are not upper-cased: the module reads
them case by case). A line of fewer than ten fields is left out; a first line whose position is
no number is a header and skipped. The position is an optional '+' and decimal digits, from 1 to
2^64 - 1; a row of type SNP or SNV (the rows the module counts) with another position is an
error, any other row is left out."""

import numpy as np

from mutflank_tools.inputs.fields import Fields
from mutflank_tools.inputs.mutation_tables import position_fault
from mutflank_tools.inputs.records import BAD_POSITION, FEWER_FIELDS, LeftOut, Records
from mutflank_tools.inputs.stream import MAX_FIELD_BYTES, text_blocks
from mutflank_tools.runtime.errors import InputError, at_line

MAX_POSITION = 2**64 - 1
SUBSTITUTION_TYPES = frozenset(("SNP", "SNV"))


class TableModel:
    def __init__(self, source, *, batch_size):
        self.source = source
        self.name = source.name
        self.batch_size = batch_size

    def batches(self, blocks):
        pieces, count = [], 0
        left_out = LeftOut()
        for first, data in blocks:
            found = _quick(self.source, first, data) if data.endswith(b"\n") else None
            if found is None:
                piece = self._lines(_split(text_blocks(self.name, [(first, data)])), left_out)
            else:
                piece, slow = found
                if len(slow):
                    parts = data.split(b"\n")
                    other = self._lines(((first + index, self._decode(first + index,
                                                                      parts[index]))
                                         for index in slow.tolist()), left_out)
                    if len(other):
                        both = Records.concatenate(self.source, [piece, other], None)
                        order = np.argsort(both.line, kind="stable")
                        piece = Records(self.source, *(getattr(both, name)[order]
                                                       for name in Records.COLUMNS), None)
            if len(piece):
                pieces.append(piece)
                count += len(piece)
            if count >= self.batch_size:
                yield Records.concatenate(self.source, pieces, left_out)
                pieces, count = [], 0
                left_out = LeftOut()
        if pieces or left_out:
            yield Records.concatenate(self.source, pieces, left_out)

    def _decode(self, number, line):
        try:
            return line.decode("utf-8")
        except UnicodeDecodeError:
            raise InputError(at_line(self.name, number, "not UTF-8 text")) from None

    def _lines(self, lines, left_out):
        """The Records of (line number, text) pairs, line by line."""
        name = self.name
        columns = [[] for _ in range(9)]
        samples, chromosomes, builds, positions, refs, alts, filters, numbers, ids = columns
        for number, line in lines:
            if line.endswith("\r"):
                line = line[:-1]
            fields = line.split("\t", 10)
            if len(fields) < 10:
                if line:
                    left_out.add(FEWER_FIELDS, "")
                continue
            pos = fields[6]
            digits = pos[1:] if pos[:1] == "+" else pos
            if digits.isdigit() and digits.isascii() and 0 < int(digits) <= MAX_POSITION:
                value = int(digits)
            elif number == 1:
                continue  # a header line
            elif fields[4] in SUBSTITUTION_TYPES:
                raise InputError(at_line(name, number, position_fault(pos)))
            else:
                left_out.add(BAD_POSITION, fields[5])
                continue
            if len(line) > MAX_FIELD_BYTES and max(map(len, fields[:10])) > MAX_FIELD_BYTES:
                raise InputError(at_line(name, number, f"a field is longer than "
                                         f"{MAX_FIELD_BYTES >> 20} MiB (the field limit)"))
            samples.append(fields[0])
            ids.append(fields[2])
            builds.append(fields[3])
            chromosomes.append(fields[5])
            positions.append(value)
            refs.append(fields[8])
            alts.append(fields[9])
            filters.append("")
            numbers.append(number)
        return Records.of_lists(self.source, *columns, None)


def _split(blocks):
    """(line number, text) of the lines of decoded blocks."""
    for first, text in blocks:
        parts = text.split("\n")
        if text.endswith("\n"):
            parts.pop()
        yield from enumerate(parts, start=first)


def _quick(source, first, data):
    """(Records of the block's common lines read column by column, indexes of its other
    lines), or None. Common: ten fields of ASCII, a position of 1 to 18 plain digits, fields
    within the limit, not the first line of the input (it may be a header)."""
    fields = Fields(data, 10)
    if not len(fields.rows):
        return None
    value, ok = fields.number(6)
    ok &= fields.lengths.max(axis=1) <= MAX_FIELD_BYTES
    if first == 1:
        ok &= fields.rows != 0
    if not ok.any():
        return None
    rows = fields.rows[ok]
    filters = np.empty(len(rows), dtype=object)
    filters[:] = ""
    piece = Records(source, fields.texts(0, ok), fields.texts(5, ok), fields.texts(3, ok),
                    value[ok].astype(np.uint64), fields.texts(8, ok), fields.texts(9, ok),
                    filters, (rows + first).astype(np.int64), fields.texts(2, ok), None)
    slow = np.ones(fields.count, dtype=bool)
    slow[rows] = False
    return piece, np.flatnonzero(slow)
