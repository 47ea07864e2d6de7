"""VCF text (plain, gzip, bgzip) and BCF: one record per sample and alternate allele that the
sample's genotype (GT) carries. The header is read here (VcfHeader; a BCF's as the VCF text
htslib writes of it); the record lines by the engine's scanner (_engine.VcfScanner), a BCF's
records by htslib in the engine (_engine.BcfReader, bcf.py), whose batches VcfRecords turns
into Records and whose faults into the messages below.

A genotype carries the alleles it names: 0/1, 0|1, 1 (haploid) and the half call ./1 carry
allele 1; 1/2 carries 1 and 2. A phased diploid genotype (0|1, 1|0, 1|2) also says which
haplotype carries each allele, within its phase set (PS, where the sample gives one): the
records' `phase` (records.phase_code), by which adjacent SNVs in trans are not merged. A VCF
without GT (or without sample columns) is one sample, named after the file or by the `sample`
argument. POS is read exactly, up to 2^64 - 1.
"""

from dataclasses import dataclass

import numpy as np

from .. import _engine
from ..runtime.errors import InputError, at_line, shown
from . import stream
from .records import NO_CARRIER, NOT_PASS, NOT_VARIANT, SYMBOLIC, LeftOut, Records
from .stream import MAX_FIELD_BYTES

FIXED = (b"#CHROM", b"POS", b"ID", b"REF", b"ALT", b"QUAL", b"FILTER", b"INFO")


class VcfHeader:
    """What the header lines tell: the sample columns, and whether the samples have genotypes
    (FORMAT/GT declared, or named in the first record's FORMAT)."""

    def __init__(self, name, lines):
        self.name = name
        self.has_gt = False
        self.columns = []  # sample names, str
        self.last_line = 0  # the #CHROM line
        while True:
            item = lines.next_line()
            if item is None:
                raise InputError(f"{name}: no #CHROM header line: not a complete VCF header")
            number, line = item
            if line.startswith(b"##"):
                if line.startswith(b"##FORMAT=<ID=GT,"):
                    self.has_gt = True
                continue
            if not line.startswith(b"#CHROM"):
                raise InputError(at_line(name, number, "a record before the #CHROM header line"))
            self._columns(number, line)
            self.last_line = number
            if self.columns and not self.has_gt:
                # GT used without its ##FORMAT line: the first record's FORMAT tells.
                following = lines.peek_line()
                if following is not None:
                    fields = following[1].split(b"\t", 9)
                    self.has_gt = len(fields) > 8 and b"GT" in fields[8].split(b":")
            return

    def _columns(self, number, line):
        fields = line.split(b"\t")
        if len(fields) < len(FIXED):
            raise InputError(at_line(self.name, number, "the #CHROM line does not name "
                                     "the eight VCF columns separated by tabs"))
        if tuple(fields[:8]) != FIXED or (len(fields) > 8 and fields[8] != b"FORMAT"):
            raise InputError(at_line(self.name, number,
                                     "the #CHROM line does not name the VCF columns "
                                     "(#CHROM POS ID REF ALT QUAL FILTER INFO [FORMAT ...])"))
        columns = []
        for field in fields[9:]:
            try:
                columns.append(field.decode("utf-8"))
            except UnicodeDecodeError:
                raise InputError(at_line(self.name, number, "a sample name is not UTF-8 "
                                         "text")) from None
        if len(set(columns)) != len(columns):
            seen = set()
            twice = next(name for name in columns if name in seen or seen.add(name))
            raise InputError(at_line(self.name, number, f"sample {twice!r} is named twice"))
        self.columns = columns


@dataclass(frozen=True)
class RowsWanted:
    """What a reader needs to hand the ten-column table's rows of its records, written by the
    engine (`_engine.VcfScanner.next_rows`), instead of Records: `sample_text`, the row's sample
    of a sample name (None: the name itself); `project`; `place` and `faults` as
    `_engine.table_rows` takes them."""

    sample_text: object
    project: str
    place: object
    faults: tuple


@dataclass
class TableRows:
    """The table rows of one batch of records: their text, how many rows, of how many records,
    what `place` left out (as `_engine.table_rows` gives it) and what the reader left out."""

    text: bytes
    rows: int
    records: int
    dropped: list
    missing: list
    missing_count: int
    left_out: LeftOut


class VcfRecords:
    """Turns the record lines of a VCF into Records batches (see the module's text).

    `by_record`: the batches number records, not lines (a BCF): faults say "record N";
    `build`: the build column of every record ('' when not told). `samples` (None: all) and
    `exclude`: the samples whose records are kept; the alleles that only other samples carry
    are passed over, so that every reason counts the records of these samples only (an allele
    that no sample carries is counted once, whatever the choice)."""

    def __init__(self, source, header, *, sample=None, pass_only=False, batch_size,
                 by_record=False, build="", samples=None, exclude=frozenset()):
        self.source = source
        self.build = build
        self.name = source.name
        self.header = header
        self.pass_only = pass_only
        self.batch_size = batch_size
        self.by_record = by_record
        columns = header.columns
        if sample is not None and sample not in columns:
            listed = ", ".join(columns) or "none"
            raise InputError(f"{self.name}: no sample column {sample!r} (columns: {listed})")
        self.by_genotype = header.has_gt and bool(columns)
        if self.by_genotype:
            # Every column is read, to tell an allele that no sample carries.
            self.taken = list(range(len(columns)))
            self.samples = list(columns)
        else:
            self.taken = []
            self.samples = [sample if sample is not None else source.stem]
        self.kept = [(sample is None or not self.by_genotype or name == sample)
                     and (samples is None or name in samples) and name not in exclude
                     for name in self.samples]
        if all(self.kept):
            self.kept = []
        self.sample_array = np.empty(len(self.samples), dtype=object)
        self.sample_array[:] = self.samples
        self.width = 9 + len(columns) if columns else None

    def fault(self, number, message):
        if self.by_record:
            return InputError(f"{self.name}: record {number}: {message}")
        return InputError(at_line(self.name, number, message))

    def engine_batches(self, fd, prefix, start, rows=None, snvs=None):
        """The Records batches of the record lines, read by the engine's scanner from the
        descriptor `fd` (see _engine.VcfScanner): from the byte `start` on with positioned
        reads when `prefix` is None (a regular file), else `prefix` and then what follows.
        With `rows` (RowsWanted): TableRows batches instead. With `snvs`, a function of the
        reader's samples (an object array, by the scanner's number) that gives a counter's
        hook (its `next_batch(scanner)` and `noted(batch)`): the counter takes the SNVs of
        each batch as they are read, and the Records hold the other rows."""
        scanner = _engine.VcfScanner(
            fd, prefix or b"", prefix is None, start, self.header.last_line, self.width or 0,
            self.by_genotype, self.taken, self.kept, self.pass_only, self.batch_size,
            stream.MAX_LINE_BYTES, MAX_FIELD_BYTES, snvs is None)
        if rows is not None:
            return self._table_rows(scanner, rows)
        if snvs is not None:
            hook = snvs(self.sample_array)

            def records_of(batch):
                hook.noted(batch)
                return self.records_of(batch)

            return stream.scanned(scanner, records_of, self.engine_fault,
                                  lambda: hook.next_batch(scanner))
        return stream.scanned(scanner, self.records_of, self.engine_fault)

    def _table_rows(self, scanner, wanted):
        naming = wanted.sample_text
        samples = [name if naming is None else naming(name) for name in self.samples]

        def rows_of(batch):
            return TableRows(batch["text"], batch["rows"], batch["records"], batch["dropped"],
                             batch["missing"], batch["missing_count"],
                             LeftOut.of_engine(batch["left_out"], ENGINE_REASONS))

        return stream.scanned(scanner, rows_of, self.engine_fault, lambda: scanner.next_rows(
            samples, wanted.project, self.build, wanted.place, wanted.faults))

    def bcf_batches(self, reader):
        """The Records batches of the records of a BCF, read by the engine's BcfReader."""
        reader.scan(self.by_genotype, self.taken, self.kept, self.pass_only, self.batch_size,
                    MAX_FIELD_BYTES)
        return stream.scanned(reader, self.records_of, self.engine_fault)

    def records_of(self, batch):
        """Records of one engine batch, whose columns hold one row per alternate allele and
        sample that carries it."""
        left_out = LeftOut.of_engine(batch["left_out"], ENGINE_REASONS)
        line = batch["line"]
        build = np.empty(len(line), dtype=object)
        build.fill(self.build)
        return Records(self.source, self.sample_array[batch["sample"]], batch["chromosome"],
                       build, batch["position"], batch["ref"], batch["alt"], batch["filter"],
                       line, batch["id"], left_out, phase=batch["phase"])

    def engine_fault(self, fault):
        """The InputError of a fault the engine's scanner reports."""
        kind, number, count = fault["fault"], fault["line"], fault["count"]
        if kind == "stream":
            return stream.engine_stream_fault(self.name, fault)
        if kind == "line_too_long":
            return InputError(at_line(self.name, number, f"longer than "
                                      f"{stream.MAX_LINE_BYTES >> 20} MiB (the line limit)"))
        text = fault["text"].decode("utf-8", "replace")
        sample = self.header.columns[fault["sample"]] if self.header.columns else ""
        message = {
            "too_few_fields": f"{count} tab-separated field{'s' if count != 1 else ''}: a VCF "
                              "record has at least eight",
            "field_count": f"{count} tab-separated fields, the #CHROM line names "
                           f"{fault['limit']}",
            "bad_position": f"position {text} is not a position on the chromosome (a whole "
                            "number from 1 to 2^64 - 1)",
            "empty_chromosome": "empty CHROM",
            "field_too_long": f"a field is longer than {MAX_FIELD_BYTES >> 20} MiB (the field "
                              "limit)",
            "not_utf8": "not UTF-8 text",
            "not_a_genotype": f"genotype {text!r} of sample {shown(sample)} is not a genotype",
            "allele_beyond": f"genotype {shown(text)} of sample {shown(sample)} names allele "
                             f"{fault['allele']}, but the record has {count} alternate "
                             f"allele{'s' if count != 1 else ''}",
            "unreadable": "htslib cannot read it (a damaged or cut BCF file?)",
        }[kind]
        return self.fault(number, message)

# The engine's reasons for leaving a record out, by their number (LeftOutReason).
ENGINE_REASONS = (NOT_PASS, NOT_VARIANT, SYMBOLIC, NO_CARRIER)
