"""The ten-column mutation table (plain, gzip or bgzip), the module's own input:

    sample  project  ID  build  type  chromosome  position  end  REF  ALT

one record per line with its fields as written (alleles are not upper-cased: the module reads
them case by case). A line of fewer than ten fields is left out; a first line whose position is
no number is a header and skipped. The position is an optional '+' and decimal digits, from 1 to
2^64 - 1; a row of type SNP or SNV (the rows the module counts) with another position is an
error, any other row is left out.

The lines are scanned by the engine (_engine.MutationTableScanner, C++ in
src/core/mutation_table_scanner.cpp) from the input's own descriptor, as VCF text is; its
batches become Records here and its faults the messages below."""

import numpy as np

from .. import _engine
from ..runtime.errors import InputError, at_line
from . import stream
from .records import BAD_POSITION, FEWER_FIELDS, LeftOut, Records
from .stream import MAX_FIELD_BYTES

MAX_POSITION = 2**64 - 1
# The engine's reasons for leaving a line out, by their number (TableLeftOutReason).
ENGINE_REASONS = (FEWER_FIELDS, BAD_POSITION)


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

    def engine_batches(self, fd, prefix, start):
        """The Records batches of the table, read by the engine's scanner from the descriptor
        `fd`: from the byte `start` on with positioned reads when `prefix` is None (a regular
        file), else `prefix` and then what follows."""
        scanner = _engine.MutationTableScanner(fd, prefix or b"", prefix is None, start,
                                               self.batch_size, stream.MAX_LINE_BYTES,
                                               MAX_FIELD_BYTES)
        return stream.scanned(scanner, self.records_of, self.engine_fault)

    def records_of(self, batch):
        left_out = LeftOut.of_engine(batch["left_out"], ENGINE_REASONS)
        filters = np.empty(len(batch["position"]), dtype=object)
        filters.fill("")
        return Records(self.source, batch["sample"], batch["chromosome"], batch["build"],
                       batch["position"], batch["ref"], batch["alt"], filters, batch["line"],
                       batch["id"], left_out)

    def engine_fault(self, fault):
        """The InputError of a fault the engine's scanner reports."""
        kind, number = fault["fault"], fault["line"]
        if kind == "stream":
            return stream.engine_stream_fault(self.name, fault)
        message = {
            "line_too_long": f"longer than {stream.MAX_LINE_BYTES >> 20} MiB (the line limit)",
            "not_utf8": "not UTF-8 text",
            "field_too_long": f"a field is longer than {MAX_FIELD_BYTES >> 20} MiB (the field "
                              "limit)",
        }.get(kind)
        if message is None:  # bad_position: the scanner checked the line's UTF-8
            message = position_fault(fault["text"].decode("utf-8"))
        return InputError(at_line(self.name, number, message))
