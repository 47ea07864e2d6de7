"""Counting substitutions by context: ten-column mutation tables in, per-sample SBS96 and
SBS1536 counts out, with what was left out and why, and the REF check of every file.

One `mutflank.parse_vcf_files` call at context 5 gives both matrices: the width-3 context is
the inner part of the width-5 one. The module fails a whole call on a record whose window
runs past its chromosome's end or whose chromosome has no file, so every record is checked
here first (chromosome file, as `ReferenceFolder.match` finds it; position; window) and the
module reads a table of the qualifying records only. Records that fit a window of width 3
but not 5 (the last but one base of a chromosome) go through a second, small call at
context 3. Tables are read in blocks and the module called on buffers of at most
`chunk_records` records, so memory is bounded by that buffer, not by the size of the inputs.
"""

import collections
import contextlib
import itertools
import mmap
import os
import tempfile
from dataclasses import dataclass, field

from . import channels
from .errors import InputError, at_line
from .reference_folder import ReferenceFolder, canonical_build

BLOCK_BYTES = 1 << 20
CHUNK_RECORDS = 100_000
MAPS_KEPT = 64
PAGES_MAPPED = 4096  # reference positions looked up between two releases of their pages
BLOCK_SAMPLES = 1024
COUNT = "int32"  # dtype of the per-sample counts: 2^31 - 1 substitutions per channel
MAX_POSITION = 2**64 - 1
SUBSTITUTION_TYPES = frozenset(("SNP", "SNV"))
BASE_SET = frozenset(channels.BASES)

# Reasons a record is left out of every matrix.
FEWER_FIELDS = "fewer than ten fields"
UNKNOWN_BUILD = "build not GRCh37 or GRCh38 (nor hg19, 37, hg38, 38)"
NOT_SUBSTITUTION = "not a single-base substitution of A, C, G, T"
NO_FILE = "no reference file"
PAST_END = "position past the chromosome end"
REF_DIFFERS = "REF differs from the reference base"
NEAR_END = "too close to a chromosome end"

_NO_BUILD = -2
_NO_FILE = -1
# Reference bytes 0..15 are A, C, G, T by their value modulo 4, 16..19 N (code 4), the rest
# no base (code 5); REF letters by the same codes.
_BYTE_BASE = bytes([value & 3 for value in range(16)] + [4] * 4 + [5] * 236)
_CODES = {base: code for code, base in enumerate(channels.BASES)}
_BY_BYTES = object()  # the key of a cache's own cache by the bytes of its texts
# The end of a module line for REF code * 4 + ALT code.
_ALLELES = [f"\t\t{ref}\t{alt}\n" for ref in channels.BASES for alt in channels.BASES]


@dataclass
class FileCheck:
    """The REF check of one input file."""

    label: str  # the input as the user named it
    lines: bool  # whether line numbers point into the user's file
    checked: int = 0  # substitutions whose position lies on the reference
    differing: int = 0
    first: str = ""  # where the first differing record is, and what it holds

    def merge(self, other):
        self.checked += other.checked
        self.differing += other.differing
        self.first = self.first or other.first


@dataclass
class Tally:
    """What counting some inputs gave; tallies of disjoint inputs add up (`merge`)."""

    samples: list = field(default_factory=list)  # names, in order of appearance
    counts_96: object = None  # numpy COUNT array, samples x 96
    counts_1536: object = None  # samples x 1536
    left_out: collections.Counter = field(default_factory=collections.Counter)
    files: dict = field(default_factory=dict)  # input label -> FileCheck
    records: int = 0  # substitutions counted in at least one matrix

    def merge(self, other):
        import numpy as np

        if self.counts_96 is None:
            self.counts_96 = np.zeros((0, 96), dtype=COUNT)
            self.counts_1536 = np.zeros((0, 1536), dtype=COUNT)
        index = {name: i for i, name in enumerate(self.samples)}
        new = [name for name in other.samples if name not in index]
        for name in new:
            index[name] = len(self.samples)
            self.samples.append(name)
        if new:
            self.counts_96 = np.vstack([self.counts_96, np.zeros((len(new), 96), COUNT)])
            self.counts_1536 = np.vstack(
                [self.counts_1536, np.zeros((len(new), 1536), COUNT)])
        rows = np.array([index[name] for name in other.samples], dtype=np.int64)
        if len(rows):
            self.counts_96[rows] += other.counts_96
            self.counts_1536[rows] += other.counts_1536
        self.left_out.update(other.left_out)
        for label, check in other.files.items():
            if label in self.files:
                self.files[label].merge(check)
            else:
                self.files[label] = check
        self.records += other.records
        return self

    def matrix(self, matrix_type):
        """(sample names sorted, their rows in the arrays, samples x channels array) of one
        matrix type; no copy of the per-sample counts is made for SBS96 and SBS1536."""
        import numpy as np

        order = sorted(range(len(self.samples)), key=self.samples.__getitem__)
        names = [self.samples[i] for i in order]
        if self.counts_96 is None:
            per_sample = np.zeros((len(names), len(channels.CHANNELS[matrix_type])), COUNT)
            order = list(range(len(names)))
        elif matrix_type == "SBS1536":
            per_sample = self.counts_1536
        elif matrix_type == "SBS96":
            per_sample = self.counts_96
        else:
            per_sample = channels.sbs6_of_sbs96(self.counts_96)
        return names, np.array(order, dtype=np.int64), per_sample


class SampleCounts:
    """Per-sample rows of `width` counts, kept in blocks of BLOCK_SAMPLES samples so that a new
    sample never copies the others (a cohort's SBS1536 counts are its largest object)."""

    def __init__(self, width):
        self.width = width
        self._blocks = []

    def add(self, samples, columns):
        """Adds one for every (samples[i], columns[i]) pair."""
        import numpy as np

        pairs, counts = np.unique(samples.astype(np.int64) * self.width + columns,
                                  return_counts=True)
        if not len(pairs):
            return
        rows, cells = np.divmod(pairs, self.width)
        last = int(rows[-1]) // BLOCK_SAMPLES
        while len(self._blocks) <= last:
            self._blocks.append(np.zeros((BLOCK_SAMPLES, self.width), dtype=COUNT))
        blocks = rows // BLOCK_SAMPLES
        for number in np.unique(blocks).tolist():
            here = blocks == number
            # The pairs are distinct, so a fancy-indexed += adds each once.
            self._blocks[number][rows[here] % BLOCK_SAMPLES, cells[here]] += counts[here].astype(
                COUNT)

    def array(self, samples, columns):
        """The samples x columns array of the first `samples` samples (the blocks go)."""
        import numpy as np

        blocks, self._blocks = self._blocks, []
        result = np.zeros((samples, columns), dtype=COUNT)
        for number, block in enumerate(blocks):
            start = number * BLOCK_SAMPLES
            end = min(start + BLOCK_SAMPLES, samples)
            result[start:end] = block[:end - start, :columns]
            blocks[number] = None
        return result


def position_fault(text):
    """Why `text` is not a position as the module reads it (an optional "+" and decimal digits,
    from 1 to 2^64 - 1), or None when it is one."""
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


class MatrixCounter:
    """Counts the substitutions of tables into per-sample SBS96 and SBS1536 counts.

    `add_table` reads one table; `add_samples` names samples that have no record (they get a
    column of zeros); `finish` flushes what is buffered and returns the Tally. A fault in a
    table raises InputError naming its label and line; nothing is partly counted then, since
    the caller drops the counter."""

    def __init__(self, reference, types=channels.TYPES, chunk_records=CHUNK_RECORDS):
        import numpy as np

        self._np = np
        self.reference = reference if isinstance(reference, ReferenceFolder) else (
            ReferenceFolder(reference))
        self.types = [name for name in channels.TYPES if name in types]
        self.wide = "SBS1536" in self.types
        self.context = 5 if self.wide else 3
        self.chunk_records = chunk_records
        self._narrow_types = [name for name in self.types if name != "SBS1536"]
        self._samples = {}
        self._names = []
        self._counts_96 = SampleCounts(99)  # 96 channels + 3 reasons
        self._counts_1536 = SampleCounts(1539)
        self._left_out = collections.Counter()
        self._left_rows = []  # (reason, chromosome) of records left out, counted at a flush
        self._files = {}
        self._file_list = []
        self._chromosomes = {}  # (build as written, chromosome as written) -> id or code
        self._chromosome_keys = {}  # "build<TAB>type<TAB>chromosome" -> id or code
        self._chromosome_rows = []  # id -> (prefix of a module line, length, name, path)
        # Blocks of records to count, column by column: file id, line, sample id, chromosome
        # id, position, REF and ALT codes (A 0, C 1, G 2, T 3).
        self._pending = []
        self._pending_records = 0
        self._length_array = np.zeros(0, dtype=np.int64)
        self._prefix_table = np.zeros((0, 0), dtype=np.uint8)
        self._allele_table = np.frombuffer("".join(_ALLELES).encode(), dtype=np.uint8).reshape(
            16, -1)
        self._maps = {}  # chromosome id -> (memory map of its file, NumPy view of it)
        self._letters = np.full(256, 5, dtype=np.uint8)  # byte -> A 0, C 1, G 2, T 3, else 5
        self._letters[[ord(base) for base in channels.BASES]] = range(4)
        self._contexts = {}  # context string -> packed (SBS96 code, SBS1536 code)
        self._records = 0
        self._folder = tempfile.TemporaryDirectory(prefix="mutflank-matrix-")
        self.on_bytes = None  # called with the size of every block read from a table
        self.scratch = self._folder.name  # a private folder for the caller's files too
        self._table = os.path.join(self.scratch, "records.tsv")

    # ---- inputs ------------------------------------------------------------------------

    def add_samples(self, names):
        for name in names:
            self._sample(name)

    def add_left_out(self, left_out):
        """Adds records left out before the tables (a Counter of (reason, chromosome))."""
        self._left_out.update(left_out)

    def add_table(self, path, label=None, lines=True):
        """Counts the table at `path`. `label` names it in messages (default: the path);
        `lines` False when its line numbers mean nothing to the user (a converted input)."""
        label = path if label is None else label
        file_id = self._file(label, lines)
        try:
            handle = open(path, "rb")
        except OSError as error:
            raise InputError(f"{label}: cannot read: {error.strerror}") from None
        with handle:
            first_line = 1
            rest = b""
            while True:
                try:
                    block = handle.read(BLOCK_BYTES)
                except OSError as error:
                    raise InputError(f"{label}: cannot read: {error.strerror}") from None
                if self.on_bytes is not None:
                    self.on_bytes(len(block))
                if block:
                    cut = block.rfind(b"\n")
                    if cut < 0:
                        rest += block
                        continue
                    data, rest = rest + block[: cut + 1], block[cut + 1:]
                else:
                    data, rest = rest, b""
                    if not data:
                        break
                self._scan(data, first_line, file_id, label, lines)
                first_line += data.count(b"\n")
                if max(self._pending_records, len(self._left_rows)) >= self.chunk_records:
                    self._flush()

    def finish(self):
        """Counts what is buffered; returns the Tally and forgets it."""
        self._flush()
        self.close()
        n = len(self._names)
        return Tally(
            samples=list(self._names),
            counts_96=self._counts_96.array(n, 96),
            counts_1536=self._counts_1536.array(n, 1536),
            left_out=self._left_out,
            files=self._files,
            records=self._records,
        )

    def close(self):
        self._unmap()
        self._folder.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # ---- reading -----------------------------------------------------------------------

    @staticmethod
    def _decode(data, label, first_line, lines):
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            line = first_line + data.count(b"\n", 0, error.start)
            message = "not UTF-8 text"
            raise InputError(at_line(label, line, message) if lines else f"{label}: {message}"
                             ) from None
        # A carriage return before a line feed belongs to the line end; a lone one stays.
        return text.replace("\r\n", "\n") if "\r" in text else text

    def _file(self, label, lines):
        check = self._files.get(label)
        if check is None:
            check = self._files[label] = FileCheck(label, lines)
        self._file_list.append(check)
        return len(self._file_list) - 1

    def _sample(self, name):
        index = self._samples.get(name)
        if index is None:
            index = self._samples[name] = len(self._names)
            self._names.append(name)
        return index

    def _chromosome(self, build_text, chromosome):
        build = canonical_build(build_text)
        if build is None:
            code = _NO_BUILD
        else:
            name = self.reference.match(build, chromosome)
            if name is None:
                code = _NO_FILE
            else:
                code = len(self._chromosome_rows)
                self._chromosome_rows.append((
                    f"{build}\tSNV\t{name}\t",
                    self.reference.length(build, name),
                    chromosome,
                    self.reference.path(build, name),
                ))
        self._chromosomes[(build_text, chromosome)] = code
        return code

    def _scan(self, data, first_line, file_id, label, lines):
        """Sorts the lines of `data` (whole lines, the first numbered `first_line`) into the
        buffer of records to count and the tally of records left out."""
        if not self._scan_columns(data, first_line, file_id):
            text = self._decode(data, label, first_line, lines)
            self._scan_lines(text, first_line, file_id, label, lines)

    def _run_ids(self, data, starts, ends, cache, make):
        """The id of the field data[starts[i]:ends[i]] of every line, from `cache` (text ->
        id) or make(text). When the field seldom changes from one line to the next, only the
        lines where it changes are looked up; otherwise the distinct fields are found with
        NumPy (by a hash of their bytes, checked byte for byte). None when a field is longer
        than 64 bytes."""
        np = self._np
        lengths = ends - starts
        width = int(lengths.max()) if len(lengths) else 0
        if width > 64:
            return None
        array = np.frombuffer(data, dtype=np.uint8)
        columns = np.arange(-(-max(width, 1) // 8) * 8, dtype=np.int32)
        at = np.minimum(starts.astype(np.int32)[:, None] + columns, len(array) - 1)
        cells = np.where(columns < lengths[:, None], array[at], np.uint8(0))
        changed = np.ones(len(starts), dtype=bool)
        changed[1:] = (lengths[1:] != lengths[:-1]) | (cells[1:] != cells[:-1]).any(axis=1)
        if changed.sum() * 8 > len(changed):
            heads, inverse = self._distinct(cells, lengths)
        else:
            heads = np.flatnonzero(changed)
            inverse = np.cumsum(changed) - 1
        by_bytes = cache.setdefault(_BY_BYTES, {})
        pieces = [data[start:end] for start, end in zip(starts[heads].tolist(),
                                                         ends[heads].tolist())]
        ids = [by_bytes.get(piece) for piece in pieces]
        if None in ids:
            for index, piece in enumerate(pieces):
                if ids[index] is None:
                    text = piece.decode("ascii")
                    value = cache.get(text)
                    by_bytes[piece] = ids[index] = make(text) if value is None else value
        return np.array(ids, dtype=np.int64)[inverse]

    def _distinct(self, cells, lengths):
        """(first line of each distinct row of `cells`, in line order; the index of every
        line's row among them). Rows are told apart by a 64-bit hash of their bytes; equal
        hashes of different rows fall back to a byte-wise sort."""
        np = self._np
        words = cells.view(np.uint64)
        hashes = lengths.astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15)
        for column in range(words.shape[1]):
            hashes = (hashes ^ words[:, column]) * np.uint64(0xBF58476D1CE4E5B9)
            hashes ^= hashes >> np.uint64(31)
        _, first, inverse = np.unique(hashes, return_index=True, return_inverse=True)
        if not ((cells == cells[first][inverse]).all() and
                (lengths == lengths[first][inverse]).all()):
            rows = np.ascontiguousarray(np.column_stack([cells, lengths.astype(np.uint8)]))
            _, first, inverse = np.unique(rows.view(f"V{rows.shape[1]}").ravel(),
                                          return_index=True, return_inverse=True)
        return self._in_line_order(first, inverse)

    def _in_line_order(self, first, inverse):
        np = self._np
        order = np.argsort(first)  # new texts get their ids in line order
        rank = np.empty_like(order)
        rank[order] = np.arange(len(order))
        return first[order], rank[inverse]

    def _scan_columns(self, data, first_line, file_id):
        """The quick road, whole columns at once with NumPy, for a block of ASCII lines that
        all end with a line feed and have exactly ten fields, whose substitutions have positions
        of 1 to 18 plain digits. False (nothing done) for any other block."""
        np = self._np
        array = np.frombuffer(data, dtype=np.uint8)
        if not len(array) or array[-1] != 10 or (array >= 128).any():
            return False
        line_ends = np.flatnonzero(array == 10)
        lines = len(line_ends)
        tabs = np.flatnonzero(array == 9)
        if len(tabs) != 9 * lines:
            return False
        tabs = tabs.reshape(lines, 9)
        line_starts = np.empty(lines, dtype=np.int64)
        line_starts[0] = 0
        line_starts[1:] = line_ends[:-1] + 1
        if not ((tabs[:, 0] >= line_starts).all() and (tabs[:, 8] < line_ends).all()):
            return False
        ends = np.empty((lines, 10), dtype=np.int64)
        ends[:, :9] = tabs
        # A carriage return before the line feed belongs to the line end.
        ends[:, 9] = line_ends - (array[line_ends - 1] == 13)
        starts = np.empty((lines, 10), dtype=np.int64)
        starts[:, 0] = line_starts
        starts[:, 1:] = tabs + 1
        ends[:, 9] = np.maximum(ends[:, 9], starts[:, 9])
        lengths = ends - starts

        def letter(column):
            return np.where(lengths[:, column] == 1, self._letters[array[starts[:, column]]], 5)

        ref_codes, alt_codes = letter(8), letter(9)
        kind = starts[:, 4]
        last = len(array) - 1
        substitution_type = (lengths[:, 4] == 3) & (array[kind] == 83) & (
            array[np.minimum(kind + 1, last)] == 78) & (
            (array[np.minimum(kind + 2, last)] == 80) | (array[np.minimum(kind + 2, last)] == 86))

        where = self._run_ids(data, starts[:, 3], ends[:, 5], self._chromosome_keys,
                              self._chromosome_of_key)
        if where is None:
            return False
        known = where != _NO_BUILD
        if first_line == 1 and not known[0]:
            return False  # perhaps a header line
        samples = self._run_ids(data, starts[:, 0], ends[:, 0], self._samples, self._sample)
        if samples is None:
            return False
        candidate = known & substitution_type & (alt_codes < 4)
        positions = self._positions(array, starts[:, 6], lengths[:, 6], candidate)
        if positions is None:
            return False  # the line by line road names the line
        substitution = candidate & (ref_codes < 4) & (ref_codes != alt_codes)
        if not known.all() or not substitution.all():
            chromosomes = None
            for reason, mask in ((UNKNOWN_BUILD, ~known),
                                 (NOT_SUBSTITUTION, known & ~substitution)):
                if mask.any():
                    chromosomes = chromosomes or self._field_texts(data, starts[:, 5], ends[:, 5])
                    self._leave_out_where(reason, mask, chromosomes)
        missing = substitution & (where == _NO_FILE)
        on_file = substitution & (where >= 0)
        past = on_file & (positions > self._lengths()[np.where(on_file, where, -1)])
        for reason, mask in ((NO_FILE, missing), (PAST_END, past)):
            if mask.any():
                self._leave_out_where(reason, mask, self._field_texts(data, starts[:, 5],
                                                                      ends[:, 5]))
        keep = np.flatnonzero(on_file & ~past)
        self._pending.append((
            np.full(len(keep), file_id, dtype=np.int64), keep + first_line, samples[keep],
            where[keep], positions[keep], ref_codes[keep].astype(np.uint8),
            alt_codes[keep].astype(np.uint8)))
        self._pending_records += len(keep)
        return True

    def _positions(self, array, starts, lengths, candidate):
        """The positions of plain digits (1 to 18 of them) of the candidate lines, or None when
        one of them is written otherwise (or is 0)."""
        np = self._np
        if not candidate.any():
            return np.zeros(len(starts), dtype=np.int64)
        wanted = lengths[candidate]
        if wanted.min() < 1 or wanted.max() > 18:
            return None
        width = int(lengths[candidate].max())
        columns = np.arange(width)
        inside = columns < np.minimum(lengths, width)[:, None]
        at = np.minimum(starts[:, None] + columns, len(array) - 1)
        digits = np.where(inside, array[at] - 48, 0).astype(np.int64)
        if ((digits < 0) | (digits > 9))[candidate].any():
            return None
        values = np.zeros(len(starts), dtype=np.int64)
        for column in range(width):
            values = np.where(inside[:, column], values * 10 + digits[:, column], values)
        if (values[candidate] == 0).any():
            return None
        return values

    def _field_texts(self, data, starts, ends):
        return [data[start:end].decode("ascii") for start, end in zip(starts.tolist(),
                                                                       ends.tolist())]

    def _chromosome_of_key(self, text):
        """The chromosome id (or code) of "build<TAB>type<TAB>chromosome" as written."""
        build, _, chromosome = text.split("\t")
        code = self._chromosomes.get((build, chromosome))
        if code is None:
            code = self._chromosome(build, chromosome)
        self._chromosome_keys[text] = code
        return code

    def _leave_out_where(self, reason, mask, chromosomes):
        if mask.any():
            self._left_out.update(
                (reason, name) for name in itertools.compress(chromosomes, mask.tolist()))

    def _lengths(self):
        """Lengths of the chromosome ids, and a 0 last (index -1 for no chromosome)."""
        rows = self._chromosome_rows
        if len(self._length_array) != len(rows) + 1:
            self._length_array = self._np.array([row[1] for row in rows] + [0],
                                                dtype=self._np.int64)
        return self._length_array

    def _scan_lines(self, text, first_line, file_id, label, lines):
        """The road for any block, line by line; raises InputError on a malformed position."""
        samples = self._samples
        chromosomes = self._chromosomes
        rows = self._chromosome_rows
        left = self._left_rows
        kept = []
        line_number = first_line - 1
        for line in text.split("\n"):
            line_number += 1
            fields = line.split("\t", 10)
            if len(fields) < 10:
                if line:
                    left.append((FEWER_FIELDS, ""))
                continue
            chromosome = fields[5]
            where = chromosomes.get((fields[3], chromosome))
            if where is None:
                where = self._chromosome(fields[3], chromosome)
            if where == _NO_BUILD:
                position = fields[6]
                if line_number == 1 and not (position.isascii() and position.isdigit()):
                    continue  # a header line
                left.append((UNKNOWN_BUILD, chromosome))
                if fields[0] not in samples:
                    self._sample(fields[0])
                continue
            sample = samples.get(fields[0])
            if sample is None:
                sample = self._sample(fields[0])
            alt = fields[9]
            if fields[4] not in SUBSTITUTION_TYPES or alt not in BASE_SET:
                left.append((NOT_SUBSTITUTION, chromosome))
                continue
            fault = position_fault(fields[6])
            if fault is not None:
                if lines:
                    raise InputError(at_line(label, line_number, fault))
                raise InputError(f"{label}: a record on {chromosome}: {fault}")
            position = int(fields[6])
            ref = fields[8]
            if ref not in BASE_SET or ref == alt:
                left.append((NOT_SUBSTITUTION, chromosome))
                continue
            if where == _NO_FILE:
                left.append((NO_FILE, chromosome))
                continue
            if position > rows[where][1]:
                left.append((PAST_END, chromosome))
                continue
            kept.append((line_number, sample, where, position, _CODES[ref], _CODES[alt]))
        if kept:
            np = self._np
            line_numbers, sample_ids, where, positions, ref_codes, alt_codes = zip(*kept)
            self._pending.append((
                np.full(len(kept), file_id, dtype=np.int64),
                np.array(line_numbers, dtype=np.int64), np.array(sample_ids, dtype=np.int64),
                np.array(where, dtype=np.int64), np.array(positions, dtype=np.int64),
                np.array(ref_codes, dtype=np.uint8), np.array(alt_codes, dtype=np.uint8)))
            self._pending_records += len(kept)

    # ---- counting ----------------------------------------------------------------------

    def _flush(self):
        if self._left_rows:
            self._left_out.update(self._left_rows)
            self._left_rows = []
        if not self._pending:
            return
        np = self._np
        columns = [np.concatenate(column) for column in zip(*self._pending)]
        self._pending = []
        self._pending_records = 0
        file_ids, line_numbers, sample_ids, chromosome_ids, positions, ref_codes, alt_codes = (
            columns)
        del columns
        bases = self._reference_bases(chromosome_ids, positions)
        self._unmap()
        differs = bases != ref_codes
        self._check_refs(file_ids, differs, line_numbers, chromosome_ids, positions, ref_codes,
                         bases)
        room = self._lengths()[chromosome_ids] - positions  # bases after the position
        half = self.context // 2
        same = ~differs
        full = same & (room >= half)
        near = same & (room < half) & (room >= 1)  # only with context 5: width 3 fits
        none = same & (room < 1)
        self._count_call(full, chromosome_ids, positions, ref_codes, alt_codes, sample_ids,
                         self.context)
        if near.any():
            self._count_call(near, chromosome_ids, positions, ref_codes, alt_codes,
                             sample_ids, 3)
        for index in np.flatnonzero(none):
            self._leave_out(NEAR_END, self.types, chromosome_ids[index])

    def _reference_bases(self, chromosome_ids, positions):
        """The base codes (A 0, C 1, G 2, T 3, N 4, none 5) of the reference at the positions,
        read from the chromosome files (every position lies on its chromosome)."""
        np = self._np
        bases = np.empty(len(positions), dtype=np.uint8)
        order = np.argsort(chromosome_ids, kind="stable")
        ids, starts = np.unique(chromosome_ids[order], return_index=True)
        ends = list(starts[1:]) + [len(order)]
        table = np.frombuffer(_BYTE_BASE, dtype=np.uint8)
        for chromosome, start, end in zip(ids, starts, ends):
            at = order[start:end]
            path = self._chromosome_rows[chromosome][3]
            at = at[np.argsort(positions[at], kind="stable")]  # each page once
            try:
                data, view = self._mapped(chromosome, path)
                values = np.empty(len(at), dtype=np.uint8)
                for first in range(0, len(at), PAGES_MAPPED):
                    part = slice(first, first + PAGES_MAPPED)
                    values[part] = view[positions[at[part]] - 1]
                    # Each position maps one page of the file into the resident size; they
                    # go again every PAGES_MAPPED positions.
                    with contextlib.suppress(AttributeError, OSError):
                        data.madvise(mmap.MADV_DONTNEED)
            except (OSError, ValueError, IndexError) as error:
                raise InputError(f"{path}: cannot read the reference: {error}") from None
            bases[at] = table[values]
        return bases

    def _mapped(self, chromosome, path):
        """The chromosome file as a NumPy view of a read-only memory map, for one buffer (the
        pages it touches count in the resident size until it is unmapped)."""
        kept = self._maps.get(chromosome)
        if kept is None:
            if len(self._maps) >= MAPS_KEPT:
                self._unmap()
            with open(path, "rb") as handle:
                data = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
            with contextlib.suppress(AttributeError, OSError):
                data.madvise(mmap.MADV_RANDOM)  # no read-ahead, no pages mapped around
            kept = self._maps[chromosome] = (data, self._np.frombuffer(data, dtype=self._np.uint8))
        return kept

    def _unmap(self):
        while self._maps:
            data, view = self._maps.popitem()[1]
            del view  # the map closes once no view of it is left
            with contextlib.suppress(BufferError):
                data.close()

    def _check_refs(self, file_ids, differs, line_numbers, chromosome_ids, positions,
                    ref_codes, bases):
        np = self._np
        files = self._file_list
        checked = np.bincount(file_ids, minlength=len(files))
        for file_id in np.flatnonzero(checked):
            files[file_id].checked += int(checked[file_id])
        if not differs.any():
            return
        where = np.flatnonzero(differs)
        ids, first = np.unique(file_ids[where], return_index=True)
        counts = np.bincount(file_ids[where], minlength=len(files))
        for file_id, index in zip(ids, where[first]):
            check = files[file_id]
            check.differing += int(counts[file_id])
            if not check.first:
                name = self._chromosome_rows[chromosome_ids[index]][2]
                place = f"line {line_numbers[index]} " if check.lines else ""
                check.first = (f"{place}({name}:{positions[index]} REF "
                               f"{channels.BASES[ref_codes[index]]}, reference "
                               f"{'ACGTN '[bases[index]]})")
        per_chromosome = np.bincount(chromosome_ids[where])
        for chromosome in np.flatnonzero(per_chromosome):
            name = self._chromosome_rows[chromosome][2]
            self._left_out[(REF_DIFFERS, name)] += int(per_chromosome[chromosome])

    def _count_call(self, selected, chromosome_ids, positions, ref_codes, alt_codes, sample_ids,
                    context):
        """Runs the module over the selected records at `context` and counts their contexts."""
        import mutflank

        np = self._np
        chosen = np.flatnonzero(selected)
        if not len(chosen):
            return
        with open(self._table, "wb") as table:
            table.write(self._module_table(chromosome_ids[chosen], positions[chosen],
                                           ref_codes[chosen] * 4 + alt_codes[chosen]))
        try:
            result = mutflank.parse_vcf_files([self._table], self.reference.root, context)
        except BaseException as error:  # PanicException derives from BaseException
            if isinstance(error, (KeyboardInterrupt, SystemExit)):
                raise
            raise InputError(
                f"{self.reference.root}: the reference could not be read around the records "
                f"({type(error).__name__}: {error})") from None
        if len(result) != len(chosen):
            raise InputError(f"{self.reference.root}: the reference changed while counting")
        contexts = self._contexts
        try:
            packed = [contexts[text] for text in result[:, 1]]
        except KeyError:
            for text in result[:, 1]:
                if text not in contexts:
                    code_96, code_1536 = channels.context_codes(text)
                    contexts[text] = (code_96 << 11) | code_1536
            packed = [contexts[text] for text in result[:, 1]]
        del result
        packed = np.array(packed, dtype=np.int64)
        codes_96 = packed >> 11
        codes_1536 = packed & 2047
        if self.wide and context == 3:
            codes_1536[:] = 1536 + 3  # a code of its own: too close to the end for SBS1536
        samples = sample_ids[chosen]
        self._counts_96.add(samples, codes_96)
        ok_1536 = codes_1536 < 1536
        self._counts_1536.add(samples[ok_1536], codes_1536[ok_1536])
        ok_96 = codes_96 < 96
        counted = np.zeros(len(chosen), dtype=bool)
        if self._narrow_types:
            counted |= ok_96
        if self.wide:
            counted |= ok_1536
        self._records += int(counted.sum())
        for index in np.flatnonzero(~(ok_96 & (ok_1536 | (not self.wide)))):
            self._leave_out_codes(int(codes_96[index]), int(codes_1536[index]),
                                  chromosome_ids[chosen[index]])

    def _module_table(self, chromosome_ids, positions, alleles):
        """The bytes of a table the module reads: one line per record, with the canonical
        build, type SNV, the chromosome's file name, the position and the alleles (REF code * 4
        + ALT code). Every line has the same length (the row key, which is not used, pads the
        shorter chromosome names; positions have leading zeros), so the table is built as one
        2-D byte array, column block by column block."""
        np = self._np
        if len(self._prefix_table) != len(self._chromosome_rows):
            prefixes = [("\t\t\t" + row[0]).encode() for row in self._chromosome_rows]
            width = max(map(len, prefixes))
            self._prefix_table = np.array(
                [list(b"_" * (width - len(prefix)) + prefix) for prefix in prefixes],
                dtype=np.uint8)
        digits = len(str(int(positions.max())))
        powers = 10 ** np.arange(digits - 1, -1, -1, dtype=np.int64)
        prefix = self._prefix_table.shape[1]
        out = np.empty((len(positions), prefix + digits + self._allele_table.shape[1]),
                       dtype=np.uint8)
        out[:, :prefix] = self._prefix_table[chromosome_ids]
        out[:, prefix:prefix + digits] = positions[:, None] // powers % 10 + 48
        out[:, prefix + digits:] = self._allele_table[alleles]
        return out.tobytes()

    def _leave_out_codes(self, code_96, code_1536, chromosome):
        lost = []
        reason = None
        if code_96 >= 96 and self._narrow_types:
            lost += self._narrow_types
            reason = channels.REASONS[code_96 - 96]
        if self.wide and code_1536 >= 1536:
            lost.append("SBS1536")
            if reason is None:
                reason = (NEAR_END if code_1536 == 1539
                          else channels.REASONS[code_1536 - 1536])
        if lost:
            self._leave_out(reason, lost, chromosome)

    def _leave_out(self, reason, types, chromosome):
        name = self._chromosome_rows[chromosome][2]
        self._left_out[(f"{reason} for {', '.join(types)}", name)] += 1
