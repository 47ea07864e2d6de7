"""MAF (plain or gzip), read by its header names: one record per line. The alternate allele is
Tumor_Seq_Allele2, or Tumor_Seq_Allele1 when Allele2 is the reference allele; '-' alleles of
indels are kept. The build is NCBI_Build as written ('' without that column); FILTER, where the
MAF has that column, as written, and with `pass_only` a record whose FILTER is neither PASS
nor '.' (nor empty) is left out.

The header is read here (MafHeader); the record lines by the engine's scanner
(_engine.MafScanner, C++ in src/core/maf_scanner.cpp) from the input's own descriptor, whose
batches MafRecords turns into Records and whose faults into the messages below. A record whose
alleles hold text beyond ASCII comes back as written, and is upper-cased and judged here."""

import numpy as np

from .. import _engine
from ..reference.folder import is_file_name
from ..runtime.errors import InputError, at_line
from . import stream
from .records import NOT_PASS, NOT_VARIANT, SYMBOLIC, LeftOut, Records, allele_fault
from .stream import MAX_FIELD_BYTES

COLUMNS = ("Chromosome", "Start_Position", "Reference_Allele", "Tumor_Seq_Allele1",
           "Tumor_Seq_Allele2", "Tumor_Sample_Barcode")
BUILD = "NCBI_Build"
FILTER = "FILTER"  # as some callers' MAFs carry it; others have none
# Any of these in the first line after the comments makes a MAF header.
NAMES = frozenset(COLUMNS + (BUILD, "Hugo_Symbol", "Variant_Type", "End_Position"))
MAX_POSITION = 2**64 - 1


def is_maf_header(fields):
    return bool(NAMES.intersection(name.strip().decode("utf-8", "replace") for name in fields))


class MafHeader:
    def __init__(self, name, lines):
        self.name = name
        while True:
            item = lines.next_line()
            if item is None:
                raise InputError(f"{name}: no MAF header line")
            number, line = item
            if line.startswith(b"#") or not line.strip():
                continue
            break
        try:
            header = [field.strip() for field in line.decode("utf-8").split("\t")]
        except UnicodeDecodeError:
            raise InputError(at_line(name, number, "not UTF-8 text")) from None
        self.line = number
        self.width_named = len(header)
        where = {}
        for index, field in enumerate(header):
            where.setdefault(field, index)
        for field in COLUMNS:
            if field not in where:
                raise InputError(at_line(name, number, f"the MAF header has no {field} column"))
        self.at = [where[field] for field in COLUMNS]
        self.build_at = where.get(BUILD)
        self.filter_at = where.get(FILTER)


class MafRecords:
    """`build`: the build of every record (the NCBI_Build column is then not read);
    `samples` (None: all) and `exclude`: the rows of other samples are passed over (the names
    of `exclude` so passed over are added to the set `held`, when given)."""

    def __init__(self, source, header, *, batch_size, build=None, pass_only=False,
                 samples=None, exclude=frozenset(), held=None):
        self.samples, self.exclude, self.held = samples, exclude, held
        self.source = source
        self.pass_only = pass_only
        self.name = source.name
        self.header = header
        self.batch_size = batch_size
        self.build = build

    def engine_batches(self, fd, prefix, start):
        """The Records batches of the record lines, read by the engine's scanner from the
        descriptor `fd`: from the byte `start` on with positioned reads when `prefix` is None
        (a regular file), else `prefix` and then what follows."""
        header = self.header
        build_at = header.build_at if self.build is None else None
        filter_at = header.filter_at
        width = max(header.at + [build_at or 0, filter_at or 0]) + 1
        scanner = _engine.MafScanner(
            fd, prefix or b"", prefix is None, start, header.line, tuple(header.at),
            -1 if build_at is None else build_at, -1 if filter_at is None else filter_at, width,
            self.pass_only, None if self.samples is None else list(self.samples),
            list(self.exclude), self.batch_size, stream.MAX_LINE_BYTES, MAX_FIELD_BYTES)
        return stream.scanned(scanner, lambda batch: self.records_of(batch, build_at is not None),
                              self.engine_fault)

    def records_of(self, batch, build_read):
        if self.held is not None:
            self.held.update(batch["held"])
        left_out = LeftOut.of_engine(batch["left_out"], ENGINE_REASONS)
        count = len(batch["position"])
        build = batch["build"]
        if not build_read:
            build = np.empty(count, dtype=object)
            build.fill(self.build or "")
        ref, alt, chromosome, line = batch["ref"], batch["alt"], batch["chromosome"], batch["line"]
        keep = None
        for index in np.flatnonzero(batch["deferred"]).tolist():
            # Alleles beyond ASCII: upper-cased as Python does, then the rules of every record.
            allele1, allele2 = alt[index].upper(), batch["allele2"][index].upper()
            ref[index] = ref[index].upper()
            alt[index] = allele1 if allele2 == ref[index] else allele2
            reason = allele_fault(ref[index], alt[index])
            if reason is not None:
                left_out.add(reason, chromosome[index])
                if keep is None:
                    keep = np.ones(count, dtype=bool)
                keep[index] = False
            elif build_read and not is_file_name(build[index]):
                raise InputError(at_line(self.name, int(line[index]),
                                         f"{BUILD} {batch['build_written'][index]!r} cannot "
                                         "name a build folder: give --build"))
        ident = np.empty(count, dtype=object)
        ident.fill(".")
        records = Records(self.source, batch["sample"], chromosome, build, batch["position"],
                          ref, alt, batch["filter"], line, ident, left_out)
        return records if keep is None else records.take(keep, left_out)

    def engine_fault(self, fault):
        """The InputError of a fault the engine's scanner reports."""
        kind, number, count = fault["fault"], fault["fault_line"], fault["count"]
        if kind == "stream":
            return stream.engine_stream_fault(self.name, fault)
        text = fault["text"].decode("utf-8", "replace")
        message = {
            "line_too_long": f"longer than {stream.MAX_LINE_BYTES >> 20} MiB (the line limit)",
            "not_utf8": "not UTF-8 text",
            "field_count": f"{count} tab-separated fields, the header names "
                           f"{self.header.width_named}",
            "empty_field": f"empty {EMPTY_FIELDS[min(count, 2)]}",
            "field_too_long": f"a field is longer than {MAX_FIELD_BYTES >> 20} MiB (the field "
                              "limit)",
            "bad_position": f"Start_Position {text!r} is not a position (a whole number from 1)",
            "bad_build": f"{BUILD} {text!r} cannot name a build folder: give --build",
        }[kind]
        return InputError(at_line(self.name, number, message))


# The engine's reasons for leaving a record out, by their number (MafLeftOutReason).
ENGINE_REASONS = (NOT_PASS, NOT_VARIANT, SYMBOLIC)
# The fields that may not be empty, by the engine's number.
EMPTY_FIELDS = ("Tumor_Sample_Barcode", "Chromosome", "Reference_Allele")
