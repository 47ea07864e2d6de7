"""The ten-column mutation table (plain or gzip), the module's own input:

    sample  project  ID  build  type  chromosome  position  end  REF  ALT

one record per line with its fields as written (alleles are not upper-cased: the module reads
them case by case). A line of fewer than ten fields is left out; a first line whose position is
no number is a header and skipped. The position is an optional '+' and decimal digits, from 1 to
2^64 - 1; a row of type SNP or SNV (the rows the module counts) with another position is an
error, any other row is left out."""

from ..errors import InputError, at_line
from ..records import BAD_POSITION, FEWER_FIELDS, LeftOut, Records
from .stream import MAX_FIELD_BYTES, text_blocks

MAX_POSITION = 2**64 - 1
SUBSTITUTION_TYPES = frozenset(("SNP", "SNV"))


def position_fault(text):
    """Why `text` is not a position as the module reads it, or None when it is one."""
    digits = text[1:] if text[:1] == "+" else text
    if not text:
        return "the position is empty"
    if not (digits and digits.isascii() and digits.isdigit()):
        return f"position {text!r} is not a number"
    value = int(digits)
    if value > MAX_POSITION:
        return f"position {text} is larger than 2^64 - 1"
    if value == 0:
        return "position 0: positions count from 1"
    return None


class TableRecords:
    def __init__(self, source, *, batch_size):
        self.source = source
        self.name = source.name
        self.batch_size = batch_size

    def batches(self, blocks):
        name = self.name
        columns = [[] for _ in range(9)]
        left_out = LeftOut()
        samples, chromosomes, builds, positions, refs, alts, filters, lines, ids = columns
        for first, text in text_blocks(name, blocks):
            parts = text.split("\n")
            if text.endswith("\n"):
                parts.pop()
            for number, line in enumerate(parts, start=first):
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
                lines.append(number)
                if len(positions) >= self.batch_size:
                    yield Records.of_lists(self.source, *columns, left_out)
                    columns = [[] for _ in range(9)]
                    samples, chromosomes, builds, positions, refs, alts, filters, lines, ids = \
                        columns
                    left_out = LeftOut()
        if positions or left_out:
            yield Records.of_lists(self.source, *columns, left_out)
