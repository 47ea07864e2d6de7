"""VCF text (plain, gzip, bgzip; BCF arrives here as the text `bcftools view` prints): one
record per sample and alternate allele that the sample's genotype (GT) carries.

A genotype carries the alleles it names: 0/1, 0|1, 1 (haploid) and the half call ./1 carry
allele 1; 1/2 carries 1 and 2. A phased diploid genotype (0|1, 1|0, 1|2) also says which
haplotype carries each allele, within its phase set (PS, where the sample gives one): the
records' `phase` (records.phase_code), by which adjacent SNVs in trans are not merged. A VCF
without GT (or without sample columns) is one sample, named after the file or by the `sample`
argument. POS is read exactly, up to 2^64 - 1.
"""

import collections
import os

import numpy as np

from .. import _engine
from ..runtime.errors import InputError, at_line, shown
from . import stream
from .records import (NO_CARRIER, NOT_PASS, NOT_VARIANT, SYMBOLIC, LeftOut, Records,
                      allele_fault, phase_code)
from .stream import MAX_FIELD_BYTES
from .vcf_columns import columns_of_block

FIXED = (b"#CHROM", b"POS", b"ID", b"REF", b"ALT", b"QUAL", b"FILTER", b"INFO")
MAX_POSITION = 2**64 - 1
_GENOTYPE_CACHE = 4096


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


class Genotypes:
    """Genotype text -> the allele numbers it names (cached)."""

    def __init__(self):
        self._known = {}

    def alleles(self, text):
        found = self._known.get(text)
        if found is None:
            numbers = set()
            for part in text.replace(b"|", b"/").split(b"/"):
                if part == b"." or part == b"":
                    continue
                if not (part.isdigit() and part.isascii()):
                    return None
                numbers.add(int(part))
            found = frozenset(numbers)
            if len(self._known) >= _GENOTYPE_CACHE:
                self._known.clear()
            self._known[text] = found
        return found

    @staticmethod
    def haplotypes(text):
        """{allele number: haplotype bits (1 first, 2 second)} of a phased diploid genotype
        (a|b of two numbers or '.', as the quick road reads 0|1 and .|1 alike), else None."""
        parts = text.split(b"|")
        if len(parts) != 2 or not all(part == b"." or (part.isdigit() and part.isascii())
                                      for part in parts):
            return None
        bits = {}
        for bit, part in ((1, parts[0]), (2, parts[1])):
            if part != b".":
                bits[int(part)] = bits.get(int(part), 0) | bit
        return bits


def phase_set(keys, parts):
    """The phase-set part of a phase code: PS + 1 where the genotype's FORMAT gives a PS of
    digits, else 0 (every phased genotype without PS is in one set); None when the PS is
    something else (its phase is then not used)."""
    try:
        text = parts[keys.index(b"PS")]
    except (ValueError, IndexError):
        return 0
    if text == b".":
        return 0
    if text.isdigit() and text.isascii() and len(text) <= 18:
        return int(text) + 1
    return None


def position(text):
    """The POS of a record as an int, or None when it is not 1 .. 2^64 - 1 in plain digits."""
    if not (text.isdigit() and text.isascii()):
        return None
    value = int(text)
    return value if 1 <= value <= MAX_POSITION else None


class VcfRecords:
    """Turns the record lines of a VCF into Records batches (see the module's text).

    `record_offset`: subtracted from line numbers (BCF: gives the record number)."""

    def __init__(self, source, header, *, sample=None, pass_only=False, batch_size,
                 record_offset=0):
        self.source = source
        self.name = source.name
        self.header = header
        self.pass_only = pass_only
        self.batch_size = batch_size
        self.offset = record_offset
        columns = header.columns
        if sample is not None and sample not in columns:
            listed = ", ".join(columns) or "none"
            raise InputError(f"{self.name}: no sample column {sample!r} (columns: {listed})")
        self.by_genotype = header.has_gt and bool(columns)
        if self.by_genotype:
            self.taken = [columns.index(sample)] if sample is not None else list(
                range(len(columns)))
            self.samples = [columns[i] for i in self.taken]
        else:
            self.taken = []
            self.samples = [sample if sample is not None else source.stem]
        self.sample_array = np.empty(len(self.samples), dtype=object)
        self.sample_array[:] = self.samples
        self.width = 9 + len(columns) if columns else None
        self.genotypes = Genotypes()

    def fault(self, number, message):
        if self.offset:
            return InputError(f"{self.name}: record {number - self.offset}: {message}")
        return InputError(at_line(self.name, number, message))

    def engine_batches(self, fd, prefix, start):
        """The Records batches of the record lines, read by the engine's scanner from the
        descriptor `fd` (see _engine.VcfScanner): from the byte `start` on with positioned
        reads when `prefix` is None (a regular file), else `prefix` and then what follows."""
        header = self.header
        scanner = _engine.VcfScanner(
            fd, prefix or b"", prefix is None, start, header.last_line, self.width or 0,
            self.by_genotype, self.taken, self.pass_only, self.batch_size,
            stream.MAX_LINE_BYTES, MAX_FIELD_BYTES)
        try:
            while True:
                batch = scanner.next_batch()
                if batch is None:
                    return
                if "fault" in batch:
                    raise self.engine_fault(batch)
                yield self.records_of(batch)
        finally:
            scanner.close()

    def records_of(self, batch):
        """Records of one engine batch: its rows (one per alternate allele) repeated for each
        sample that carries the allele."""
        left_out = LeftOut()
        for reason, chromosome, count in batch["left_out"]:
            left_out.add(ENGINE_REASONS[reason], chromosome, count)
        carriers = np.diff(batch["carrier_start"]).astype(np.int64)
        total = int(carriers.sum())
        columns = [batch[name] for name in ("chromosome", "position", "ref", "alt", "filter",
                                            "line", "id")]
        if total != len(carriers):  # several samples carry an allele: repeat its row
            rows = np.repeat(np.arange(len(carriers)), carriers)
            columns = [column[rows] for column in columns]
        chromosome, position, ref, alt, filters, line, ident = columns
        build = np.empty(total, dtype=object)
        build.fill("")
        line = line.astype(np.int64) - self.offset if self.offset else line.astype(np.int64)
        return Records(self.source, self.sample_array[batch["carrier_sample"]], chromosome,
                       build, position, ref, alt, filters, line, ident, left_out,
                       phase=batch["carrier_phase"])

    def engine_fault(self, fault):
        """The InputError of a fault the engine's scanner reports."""
        kind, number, count = fault["fault"], fault["line"], fault["count"]
        if kind == "stream":
            reason = fault["stream"]
            if reason == "read_failed":
                return InputError(f"{self.name}: cannot read: {os.strerror(fault['code'])}")
            if reason == "gzip_cut":
                return InputError(f"{self.name}: cannot decompress: the gzip data ends early "
                                  "(a cut file?)")
            code = fault["code"]
            detail = fault["detail"] or ZLIB_MESSAGES.get(code)
            text = f"Error {code} while decompressing data" + (f": {detail}" if detail else "")
            return InputError(f"{self.name}: cannot decompress: {text}")
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
        }[kind]
        return self.fault(number, message)

    def batches(self, blocks):
        pieces, count = [], 0
        left_out = LeftOut()
        quick = self.by_genotype and self.width is not None
        for first, data in blocks:
            found = None
            if quick and data.endswith(b"\n"):
                found = columns_of_block(self, first, data)
            if found is None:
                piece = self._lines(first, data.split(b"\n"), None, left_out)
            else:
                piece = self._quick(first, data, found, left_out)
            if len(piece):
                pieces.append(piece)
                count += len(piece)
            if count >= self.batch_size:
                yield Records.concatenate(self.source, pieces, left_out)
                pieces, count = [], 0
                left_out = LeftOut()
        if pieces or left_out:
            yield Records.concatenate(self.source, pieces, left_out)

    def _lines(self, first, parts, numbers, left_out):
        """The Records of lines parts[i] (numbered first + i), for i in `numbers` (None: all),
        line by line."""
        columns = [[] for _ in range(10)]
        for index in range(len(parts)) if numbers is None else numbers:
            line = parts[index]
            if line and line != b"\r":
                self._record(first + index, line, columns, left_out)
        records = Records.of_lists(self.source, *columns[:9], None)
        records.phase = np.array(columns[9], dtype=np.int64)
        return records

    def _quick(self, first, data, found, left_out):
        """The Records of a block read by columns, with its other lines read one by one."""
        columns, slow, dropped = found
        for reason, chromosomes in dropped:
            if len(chromosomes):
                for chromosome, number in collections.Counter(chromosomes.tolist()).items():
                    left_out.add(reason, chromosome, number)
        build = np.empty(len(columns["position"]), dtype=object)
        build[:] = ""
        piece = Records(self.source, columns["sample"], columns["chromosome"], build,
                        columns["position"], columns["ref"], columns["alt"], columns["filter"],
                        columns["line"], columns["id"], None, phase=columns["phase"])
        if not len(slow):
            return piece
        other = self._lines(first, data.split(b"\n"), slow.tolist(), left_out)
        if not len(other):
            return piece
        both = Records.concatenate(self.source, [piece, other], None)
        return both.take(np.argsort(both.line, kind="stable"), None)

    def _record(self, number, line, columns, left_out):
        if line.endswith(b"\r"):
            line = line[:-1]
        fields = line.split(b"\t")
        count = len(fields)
        if count < 8:
            raise self.fault(number, f"{count} tab-separated field{'s' if count != 1 else ''}:"
                                     " a VCF record has at least eight")
        if self.width is not None and count != self.width:
            raise self.fault(number, f"{count} tab-separated fields, the #CHROM line names "
                                     f"{self.width}")
        chrom, pos_text, ident, ref, alt_text, _, filter_text = fields[:7]
        pos = position(pos_text)
        if pos is None:
            shown = pos_text.decode("utf-8", "replace")
            raise self.fault(number, f"position {shown} is not a position on the chromosome "
                                     "(a whole number from 1 to 2^64 - 1)")
        if not chrom:
            raise self.fault(number, "empty CHROM")
        if max(len(chrom), len(ref), len(alt_text), len(filter_text)) > MAX_FIELD_BYTES:
            raise self.fault(number, f"a field is longer than {MAX_FIELD_BYTES >> 20} MiB "
                                     "(the field limit)")
        try:
            chrom_text = chrom.decode("utf-8")
            filter_str = filter_text.decode("utf-8")
            ref_str = ref.decode("utf-8").upper()
            alleles = alt_text.decode("utf-8").upper().split(",")
            ident_str = ident.decode("utf-8")
        except UnicodeDecodeError:
            raise self.fault(number, "not UTF-8 text") from None
        if self.pass_only and filter_str not in ("PASS", "."):
            left_out.add(NOT_PASS, chrom_text)
            return
        carriers = self._carriers(number, fields, len(alleles)) if self.by_genotype else None
        samples, chromosomes, builds, positions, refs, alts, filters, lines, ids, phases = \
            columns
        for index, alt in enumerate(alleles, start=1):
            reason = allele_fault(ref_str, alt)
            if reason is not None:
                left_out.add(reason, chrom_text)
                continue
            if carriers is None:
                holders = self.samples
                phases.extend([0] * len(holders))
            else:
                holders = [name for name, held, _ in carriers if index in held]
                if not holders:
                    left_out.add(NO_CARRIER, chrom_text)
                    continue
                phases.extend(phase(index) for _, held, phase in carriers if index in held)
            n = len(holders)
            samples.extend(holders)
            chromosomes.extend([chrom_text] * n)
            builds.extend([""] * n)
            positions.extend([pos] * n)
            refs.extend([ref_str] * n)
            alts.extend([alt] * n)
            filters.extend([filter_str] * n)
            lines.extend([number - self.offset] * n)
            ids.extend([ident_str] * n)

    def _carriers(self, number, fields, alternates):
        """[(sample, allele numbers, allele number -> its phase code)] of the taken samples
        whose genotype names an allele."""
        keys = fields[8].split(b":")
        try:
            at = keys.index(b"GT")
        except ValueError:
            return []
        columns = self.header.columns
        alleles = self.genotypes.alleles
        found = []
        for i in self.taken:
            text = parts = fields[9 + i]
            if at or b":" in text:
                parts = text.split(b":")
                text = parts[at] if at < len(parts) else b"."
            held = alleles(text)
            if held is None:
                raise self.fault(number, f"genotype {text.decode('utf-8', 'replace')!r} of "
                                         f"sample {shown(columns[i])} is not a genotype")
            if held and held != ZERO:
                if max(held) > alternates:
                    raise self.fault(
                        number, f"genotype {text.decode('utf-8', 'replace')} of sample "
                                f"{columns[i]} names allele {max(held)}, but the record has "
                                f"{alternates} alternate allele{'s' if alternates != 1 else ''}")
                found.append((columns[i], held, _phases(text, keys, parts)))
        return found


def _phases(genotype, keys, parts):
    """allele number -> phase code (records.phase_code) of one sample's genotype; `parts`: its
    FORMAT fields (split at ':', or the whole field when it is the genotype alone)."""
    bits = Genotypes.haplotypes(genotype) if b"|" in genotype else None
    phase_set_code = phase_set(keys, parts) if bits and isinstance(parts, list) else 0
    if not bits or phase_set_code is None:
        return _UNPHASED
    return lambda allele: phase_code(bits.get(allele, 0), phase_set_code)


def _UNPHASED(allele):
    return 0


ZERO = frozenset((0,))

# The engine's reasons for leaving a record out, by their number (LeftOutReason).
ENGINE_REASONS = (NOT_PASS, NOT_VARIANT, SYMBOLIC, NO_CARRIER)
# What Python's zlib says of an error that zlib gave no message for.
ZLIB_MESSAGES = {-5: "incomplete or truncated stream", -2: "inconsistent stream state",
                 -3: "invalid input data"}
