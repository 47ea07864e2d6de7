"""Counting records into matrices. `Counter.add(records, input)` takes one batch of records
(readers' Records: named columns of equal length) through the same steps for every input:

1. samples chosen by --sample/--exclude; each sample that is left becomes a matrix column;
2. the mutation class of each record (kinds.mutation_classes; FILTER is the readers' job);
3. the reference: build folder and chromosome file (genome.Genome), position on it, and the
   REF check of every REF base;
4. each chosen kind classifies the records of its class (kinds.Kind.classify) into a channel,
   or a reason it leaves the record out.

What comes out is a `Tally`: per-column counts of every kind, the records left out by reason,
the REF check and the reference's coverage of every input. Tallies of any parts of the inputs add
up (`Tally.merge`), in any grouping, so a Dask run gives the matrices of a run in one process."""

import collections
import os
from dataclasses import dataclass

import numpy as np

from .. import _engine
from ..inputs.left_out import LeftOut
from ..inputs.records import Records
from ..inputs.stage import Origins, build_fault
from ..reference.genome import (NO_BUILD, NO_FILE, NOT_A_FILE_NAME, Chromosome,
                               ReferenceCoverage)
from ..runtime.errors import UsageError
from . import kinds as registry
from .counted import STALE, Counted
from . import doublets, snvs
from .doublets import DUPLICATE, MULTI_BASE, Merger, split_substitutions

PAST_END = snvs.PAST_END
REF_DIFFERS = snvs.REF_DIFFERS
NO_REFERENCE = (NO_BUILD, NO_FILE, NOT_A_FILE_NAME)
_SKIPPED = -2  # the class of a record that is not counted in _count (outside, or a copy)
MULTI_BASE_CLASS = "MBS"  # substitutions of three or more bases (kinds.dbs78)
COUNTED_AT_ONCE = 1 << 16  # records counted in one pass
REF_LIMIT = 0.05  # share of an input's REF bases differing from the reference that stops a run

# The columns of Records that counting reads (FILTER and ID are the readers' alone: not
# copied along with every batch).
_COUNTED = tuple(name for name in Records.EVERY_COLUMN if name not in ("filter", "id"))
# The columns of the Counted records that the checks hand on (the build is the checks' alone:
# a record's reference file is its place).
_CARRIED = tuple(name for name in Counted.EVERY_COLUMN if name not in ("filter", "id", "build"))
# The columns a mutation class's count reads.
_CLASS_COLUMNS = ("sample", "chromosome", "position", "ref", "alt", "index", "weight", "place",
                  "window", "first", "second")

# A reference byte as a base code (A 0, C 1, G 2, T 3, N 4, none 5); OUTSIDE (-1) is 6.
_BYTE_BASE = np.array([value & 3 for value in range(16)] + [4] * 4 + [5] * 236 + [6],
                      dtype=np.int8)
_LETTER = np.full(128, 5, dtype=np.int8)
for _code, _letter in enumerate("ACGTN"):
    _LETTER[ord(_letter)] = _code


@dataclass(frozen=True)
class Settings:
    """What counting needs besides the records; plain data, sent to Dask workers as it is."""

    kinds: tuple  # names of the kinds to write, in the registry's order
    build: str = None  # --build: the build of VCF and MAF records (tables keep their own)
    default_build: str = None  # of records that name none (VCF): --build, or the one folder
    samples: frozenset = None  # --sample: only these samples (None: every sample; taken by
    # the input stage, inputs.stage.SampleChoice, as work.count_inputs reads)
    exclude: frozenset = frozenset()  # --exclude
    by_input: bool = False  # a column per input and sample instead of per sample name
    merge_samples: bool = False  # --merge-samples: a sample's inputs add up into one column


class RefCheck:
    """The REF check of one input: REF bases compared, differing, and the first that differed
    (line, description)."""

    def __init__(self, checked=0, differing=0, first=None):
        self.checked, self.differing, self.first = checked, differing, first

    def merge(self, other):
        self.checked += other.checked
        self.differing += other.differing
        if other.first is not None and (self.first is None or other.first < self.first):
            self.first = other.first
        return self

    def __eq__(self, other):
        return vars(self) == vars(other)

    def __repr__(self):
        return f"RefCheck({vars(self)!r})"

    def message(self, name):
        """The complaint about input `name` when too many REF bases differ, or None."""
        if not self.checked or self.differing <= REF_LIMIT * self.checked:
            return None
        share = 100 * self.differing / self.checked
        return (f"{name}: REF differs from the reference base at {self.differing:,} of "
                f"{self.checked:,} records ({share:.1f}%), first at {self.first[1]}")


# ---- the tally -----------------------------------------------------------------------------

class Tally:
    """Per-column counts of some inputs, and what was left out of them. A column's key is
    (input index, sample) with `Settings.by_input`, else (None, sample); `origins` keeps, per
    sample name, the first two inputs (by index) that hold it."""

    def __init__(self, kind_names=()):
        # The kinds classified: those named, or the kinds they are derived from.
        self.kinds = tuple(kind.name for kind in registry.sources(list(kind_names)))
        self.keys = []
        self._rows = {}
        self._counts = {name: np.zeros((0, len(registry.get(name).channels)), dtype=np.int64)
                        for name in self.kinds}
        # Columns merged in from other tallies, as (columns, {kind: counts}), joined to the
        # counts when next needed: one copy of each, however many tallies come in.
        self._blocks, self._in_blocks = [], 0
        self.origins = Origins()
        self.held = set()  # the names of --sample and --exclude that some input holds
        self.names = {}  # input index -> name as given
        self.declared = {}  # input index -> samples its header names (VCF/BCF)
        self.left_out = LeftOut()
        self.checks = collections.defaultdict(RefCheck)
        self.coverage = collections.defaultdict(ReferenceCoverage)
        self.records = 0  # records counted in at least one matrix
        self.classes_seen = set()  # mutation classes that had records
        # With Settings.merge_samples: what each mutation counted here added (a list of
        # Marks), so that a mutation that tallies of other inputs counted too is counted once
        # when they merge.
        self.marks = None

    @property
    def counts(self):
        """{kind name: array of (at least) columns x channels counts}."""
        if self._blocks:
            joined = len(self.keys) - self._in_blocks
            for name, array in self._counts.items():
                self._counts[name] = np.concatenate(
                    [array[:joined]] + [block.get(name, np.zeros((size, array.shape[1]),
                                                                  dtype=np.int64))
                                        for size, block in self._blocks])
            self._blocks, self._in_blocks = [], 0
        return self._counts

    def rows(self, keys):
        """The row of each key, new rows (of zeros) made as needed."""
        rows = self._rows
        new = [key for key in dict.fromkeys(keys) if key not in rows]
        if new:
            for key in new:
                rows[key] = len(self.keys)
                self.keys.append(key)
            for name, array in self.counts.items():
                if len(array) < len(self.keys):
                    grown = np.zeros((max(len(self.keys), 2 * len(array)), array.shape[1]),
                                     dtype=np.int64)
                    grown[:len(array)] = array
                    self.counts[name] = grown
        return np.fromiter((rows[key] for key in keys), dtype=np.int64, count=len(keys))

    def __getstate__(self):
        # Sent from Dask workers: the counts of the columns only, as their non-zero cells
        # (a column of 300 mutations fills 300 of SBS1536's cells), a tenth of the bytes.
        counts = self.counts
        state = dict(vars(self))
        state["_counts"] = {name: _sparse(array[:len(self.keys)])
                            for name, array in counts.items()}
        return state

    def __setstate__(self, state):
        state["_counts"] = {name: _dense(*packed) for name, packed in state["_counts"].items()}
        vars(self).update(state)

    def note_origin(self, sample, index):
        self.origins.note(sample, index)

    def matrix(self, name):
        """The (columns x channels) counts of a kind, derived kinds folded from their source."""
        kind = registry.get(name)
        source = registry.get(kind.derived_from) if kind.derived_from else kind
        counts = self.counts[source.name][:len(self.keys)]
        if kind.derived_from:
            folded = np.zeros((len(counts), len(kind.channels)), dtype=np.int64)
            np.add.at(folded.T, np.array(kind.fold), counts.T)
            return folded
        return counts

    def merge(self, other):
        counts, size = other.counts, len(other.keys)
        if (all(name in self._counts for name in other.kinds)
                and not any(key in self._rows for key in other.keys)):
            # Columns of other inputs (the usual tally of a worker): kept as a block.
            for key in other.keys:
                self._rows[key] = len(self.keys)
                self.keys.append(key)
            self._blocks.append((size, {name: counts[name][:size] for name in other.kinds}))
            self._in_blocks += size
            self._merge_facts(other)
            if other.marks is not None:  # columns of their own: no mutation in common
                self.marks = (self.marks or []) + [Marks.join(other.marks).moved(
                    np.arange(len(self.keys) - size, len(self.keys)))]
            return self
        for name in other.kinds:
            if name not in self.counts:
                self.kinds += (name,)
                self.counts[name] = np.zeros((len(self.keys), other.counts[name].shape[1]),
                                             dtype=np.int64)
        rows = self.rows(other.keys)
        for name in other.kinds:
            self.counts[name][rows] += counts[name][:size]
        self._merge_facts(other)
        self._merge_marks(other.marks, rows)
        return self

    def _merge_marks(self, marks, rows):
        """Adds the Marks of another tally (`rows`: the row here of each of its rows), and takes
        back what the copies of one mutation added beyond the first (the lowest input)."""
        if marks is None:
            return
        marks = Marks.join(marks).moved(rows)
        if not self.marks:
            self.marks = [marks]
            return
        joined = Marks.join(self.marks + [marks])
        order = np.lexsort((joined.index, joined.second, joined.first))
        again = np.zeros(len(order), dtype=bool)
        again[1:] = ((joined.first[order][1:] == joined.first[order][:-1])
                     & (joined.second[order][1:] == joined.second[order][:-1]))
        drop = order[again]
        if len(drop):
            counted = np.zeros(len(drop), dtype=bool)
            for name, codes in joined.codes.items():
                code = codes[drop]
                good = code >= 0
                counted |= good
                np.subtract.at(self.counts[name], (joined.row[drop][good], code[good]), 1)
            self.records -= int(counted.sum())
            for index in np.unique(joined.index[drop]).tolist():
                mine = drop[joined.index[drop] == index]
                self.left_out.add_each(DUPLICATE, joined.chromosome[mine], index)
            keep = np.ones(len(again), dtype=bool)
            keep[drop] = False
            joined = joined.take(keep)
        self.marks = [joined]

    def _merge_facts(self, other):
        """Merges all but the counts."""
        self.origins.merge(other.origins)
        self.held |= other.held
        self.names.update(other.names)
        self.declared.update(other.declared)
        self.left_out.merge(other.left_out)
        for table, mine in ((other.checks, self.checks), (other.coverage, self.coverage)):
            for index, value in table.items():
                mine[index].merge(value)
        self.records += other.records
        self.classes_seen |= other.classes_seen


def _sparse(array):
    """(shape, flat places, values) of the non-zero cells of an array of counts, in the
    smallest types that hold them."""
    places = np.flatnonzero(array)
    values = array.reshape(-1)[places]
    kind = np.min_scalar_type(int(values.max())) if len(values) else np.uint8
    return array.shape, places.astype(np.min_scalar_type(max(array.size, 1))), \
        values.astype(kind)


def _dense(shape, places, values):
    array = np.zeros(shape, dtype=np.int64)
    array.reshape(-1)[places] = values
    return array


class Marks:
    """What each mutation counted in a tally added, for tallies whose columns may share
    mutations (--merge-samples): its fingerprint (`first`, `second`: the two 64-bit words of
    _engine.fingerprints), its tally row, input and chromosome, and its channel in each kind
    classified (-1: none)."""

    def __init__(self, first, second, row, index, chromosome, codes):
        self.first, self.second, self.row, self.index = first, second, row, index
        self.chromosome, self.codes = chromosome, codes

    def __len__(self):
        return len(self.first)

    def take(self, which):
        return Marks(self.first[which], self.second[which], self.row[which],
                     self.index[which], self.chromosome[which],
                     {name: codes[which] for name, codes in self.codes.items()})

    def moved(self, rows):
        """The marks with row r named rows[r]."""
        marks = self.take(slice(None))
        marks.row = np.asarray(rows, dtype=np.int64)[self.row]
        return marks

    @staticmethod
    def join(parts):
        if len(parts) == 1:
            return parts[0]
        if not parts:
            empty = np.zeros(0, dtype=np.uint64)
            return Marks(empty, empty, np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64),
                         np.zeros(0, dtype=object), {})
        names = dict.fromkeys(name for part in parts for name in part.codes)
        return Marks(*(np.concatenate([getattr(part, field) for part in parts])
                       for field in ("first", "second", "row", "index", "chromosome")),
                     {name: np.concatenate([part.codes.get(name, np.full(len(part), -1))
                                            for part in parts]) for name in names})


# ---- counting ------------------------------------------------------------------------------

def _take(columns, mask):
    """The rows of `columns` where the bool `mask` holds (the same arrays when it always
    does: nothing changes a column in place)."""
    if mask.all():
        return dict(columns)
    return {name: values[mask] for name, values in columns.items()}


def _indel_bases(columns):
    """(position, REF, ALT) of each record, an indel's reduced to the bases it inserts or
    deletes ('-' for none) and the position of the first base after them, however it is
    written: G>GT at 100 (a VCF's anchor base) and a MAF's -/T at 100 are both -/T at 101."""
    position, ref, alt = columns["position"], columns["ref"], columns["alt"]
    indels = np.flatnonzero(columns["shape"] == registry.INDEL)
    if not len(indels):
        return position, ref, alt
    position, ref, alt = position.copy(), ref.copy(), alt.copy()
    for at in indels.tolist():
        start, r, a = int(position[at]), ref[at], alt[at]
        if r == "-":  # a MAF insertion sits after its position
            r, start = "", start + 1
        a = "" if a == "-" else a
        shared = len(os.path.commonprefix([r, a]))
        r, a, start = r[shared:], a[shared:], start + shared
        while r and a and r[-1] == a[-1]:
            r, a = r[:-1], a[:-1]
        position[at], ref[at], alt[at] = start, r or "-", a or "-"
    return position, ref, alt


def _input_rows(indexes):
    """(input index, its rows) of each input among `indexes` (or of each value of any int64
    codes), in order of appearance: the slice of its run where an input's records are one run
    (as batches come: one pass; the columns taken are views, as nothing changes a column in
    place), else a mask over all (a pass per input)."""
    starts = np.flatnonzero(indexes[1:] != indexes[:-1]) + 1
    runs = np.concatenate([[0], starts]).tolist()
    heads = indexes[runs].tolist() if len(indexes) else []
    if len(set(heads)) == len(heads):
        ends = runs[1:] + [len(indexes)]
        return [(index, slice(start, end)) for index, start, end in zip(heads, runs, ends)]
    return [(index, indexes == index) for index in dict.fromkeys(heads)]


def _apart(records):
    """Whether no two SNVs of `records` sit at one position or side by side, whatever their
    samples and chromosomes, and they are few enough for a merger to hold: a merger of the
    input would let every record through unchanged."""
    positions = records.position[records.shape == registry.SINGLE]
    if len(positions) > doublets.HOLD:
        return False
    positions = np.sort(positions.astype(np.int64))
    return not (positions[1:] - positions[:-1] <= 1).any()


def _per_input(indexes):
    """{input index: its records among `indexes`}, in order of appearance."""
    if len(indexes) and indexes[0] == indexes[-1] and (indexes == indexes[0]).all():
        return {int(indexes[0]): len(indexes)}
    values, counts = np.unique(indexes, return_counts=True)
    return dict(zip(values.tolist(), counts.tolist()))


def _pairs(indexes, samples):
    """(distinct (input index, sample) pairs in order of appearance, index of each record's
    pair among them)."""
    return _engine.pair_codes(indexes, samples)


def _codes(values):
    """(distinct values in order of appearance, index of each value among them)."""
    index = {}
    if isinstance(values, np.ndarray) and len(values) > 1:
        # Records of one input come in runs of one sample (and chromosome): name the runs.
        changed = np.ones(len(values), dtype=bool)
        changed[1:] = values[1:] != values[:-1]
        heads = np.flatnonzero(changed)
        if 4 * len(heads) < len(values):
            codes = np.fromiter((index.setdefault(value, len(index))
                                 for value in values[heads].tolist()),
                                dtype=np.int64, count=len(heads))
            return list(index), codes[np.cumsum(changed) - 1]
    values = values.tolist() if isinstance(values, np.ndarray) else list(values)
    index = {value: number for number, value in enumerate(dict.fromkeys(values))}
    inverse = np.fromiter(map(index.__getitem__, values), dtype=np.int64, count=len(values))
    return list(index), inverse


class Counter:
    """Counts batches of records into a Tally, against one genome. Each record is checked on
    its own first (sample, mutation class, reference, REF), then the records of each input
    that passed are regrouped (`doublets`: multi-base records split at their unchanged bases,
    adjacent SNVs merged) and counted."""

    def __init__(self, genome, settings, merge_doublets=True, inside=None):
        self.genome = genome
        # (Records, the rows looked at: a mask or None for all) -> the rows of those inside
        # --regions, None when all are; those outside counted in the records' left_out
        # (inputs.regions.RegionFilter.keep): applied once doublets are made, so that a
        # doublet is inside when both its bases are. The mask, as the merger's of the SNVs
        # it lets through, joins the take that leaves out the classes no chosen kind takes
        # (_count): a batch is copied once, with regions or without.
        self.inside = inside
        self.settings = settings
        chosen = [registry.get(name) for name in settings.kinds]
        self.chosen = chosen
        self.sources = registry.sources(settings.kinds)
        self.tally = Tally(kind.name for kind in self.sources)
        self.classes = registry.mutation_classes()
        self.merge_doublets = merge_doublets
        self._mergers = {}  # input index -> the doublets.Merger of an input not yet ended
        # The mutations counted, to count each once: of the inputs not yet ended, or of every
        # input with merge_samples (a sample's inputs add up in one column).
        self._seen = _engine.MutationSet()
        # The reference files met (a record's "place" is its file's number here).
        self._places, self._place_numbers = [], {}
        if settings.merge_samples:
            self.tally.marks = []
        taken = {kind.mutation_class for kind in self.sources}
        # The flank of the windows that the kinds of substitutions read (None: none is chosen).
        self._flank = max((kind.flank for kind in self.sources if kind.mutation_class == "SBS"),
                          default=None)
        # The classes whose records are looked up and checked: those a chosen kind takes,
        # substitutions of several bases when their pieces (SNVs, doublets) may be counted, and
        # SNVs when merged doublets may be (two SNVs side by side are a doublet: they are left
        # out as SNVs only once the merger has seen them).
        self._snv_class = next(number for number, mutation_class in enumerate(self.classes)
                               if mutation_class.shape == registry.SINGLE)
        self.checked_classes = [number for number, mutation_class in enumerate(self.classes)
                         if mutation_class.name in taken
                         or (mutation_class.name == MULTI_BASE_CLASS and taken & {"SBS", "DBS"})
                         or (number == self._snv_class and merge_doublets and "DBS" in taken)]
        # The SNVs of VCF text counted by the engine as it reads them (snvs.py), where the
        # engine's rules are the whole of what counting does to them: no regions, no columns
        # shared by inputs, doublets merged, and the engine's channels for every SBS kind.
        engine_kinds = None
        if inside is None and merge_doublets and not settings.merge_samples:
            engine_kinds = snvs.engine_kinds(self.sources)
        self.engine_snvs = None if engine_kinds is None else snvs.EngineSnvs(self, engine_kinds)

    def snv_hook(self, index, name):
        """What a VCF reader of input number `index` (`name`) takes to have the engine count its
        SNVs as it reads them (vcf.VcfRecords.engine_batches), or None."""
        if self.engine_snvs is None:
            return None
        return lambda samples: self.engine_snvs.hook(index, name, samples)

    def taken_apart(self, index):
        """The records of the batch of input `index` read last that the engine took as it read
        them, beside its Records (its SNVs)."""
        return 0 if self.engine_snvs is None else self.engine_snvs.taken_apart(index)

    def add(self, records, index, name, input_kind="table"):
        """Counts one batch of records of input number `index`, called `name`, of the format
        `input_kind` ("table", "vcf", "bcf" or "maf"), the input's last."""
        self.add_inputs([(records, index, name)], input_kind, ended=(index,))

    def add_inputs(self, parts, input_kind="table", ended=()):
        """Counts batches of several inputs of one format together: `parts` is a list of
        (records, input index, name); `ended`: the indexes of inputs that have no more
        records. One pass over many small inputs costs about what one input does, and every
        per-input fact (left out, REF check, reference coverage, origins, columns) stays the
        input's own."""
        tally = self.tally
        sources = {}
        engine_snvs = self.engine_snvs
        for records, index, name in parts:
            tally.names[index] = name
            tally.left_out.add_counter(index, getattr(records, "left_out", {}) or {})
            sources[index] = records.input
            if engine_snvs is not None and engine_snvs.reads(index):
                engine_snvs.apply(index)  # the SNVs of the batch these records came with
        parts = [part for part in parts if len(part[0].position)]
        units = []
        if parts:
            columns = self._check(parts, input_kind)
            for index, mine in _input_rows(columns["index"]):
                records = Counted(input=sources[index], left_out=LeftOut(), filter=None,
                                  id=None, build=None,
                                  **{name: None if columns[name] is None else
                                     columns[name][mine] for name in _CARRIED})
                records = split_substitutions(records)
                merger = self._merger_of(index, sources[index])
                if merger is None and index in ended and (not self.merge_doublets
                                                          or _apart(records)):
                    # The whole input, which a merger would let through as it is.
                    units.append((records, index, None))
                    continue
                if merger is None:
                    merger = self._mergers[index] = Merger(merge=self.merge_doublets)
                units += [(part, index, rows) for part, rows in merger.feed_parts(records)]
        if engine_snvs is not None:
            # Inputs whose batches held SNVs only: the engine's merger steps all the same.
            for index in engine_snvs.unstepped():
                merger = self._merger_of(index, sources[index])
                units += [(part, index, rows) for part, rows in
                          merger.feed_parts(Counted.empty(sources[index]))]
        for index in ended:
            merger = self._mergers.pop(index, None)
            if merger is not None:
                units += [(part, index, rows) for part, rows in merger.finish_parts()]
        # (records, input index, the rows to count: a bool mask, None for all)
        if self.inside is not None:
            units = [(records, index, self.inside(records, rows))
                     for records, index, rows in units]
        for records, index, _ in units:
            tally.left_out.add_counter(index, records.left_out)
        # Counted a batch at a time: the SNVs an input held until its end may be many.
        group, size = [], 0
        for records, index, keep in units:
            for start in range(0, len(records), COUNTED_AT_ONCE):
                part, kept = records, keep
                if len(records) > COUNTED_AT_ONCE:
                    end = start + COUNTED_AT_ONCE
                    part = records.take(slice(start, end))
                    kept = None if keep is None else keep[start:end]
                if len(part) >= COUNTED_AT_ONCE // 8:
                    # Small parts (of many inputs) are joined; a large one is counted alone
                    # rather than copied into a group.
                    self._count([(part, index, kept)], input_kind)
                    continue
                if group and size + len(part) > COUNTED_AT_ONCE:
                    self._count(group, input_kind)
                    group, size = [], 0
                group.append((part, index, kept))
                size += len(part)
        if group:
            self._count(group, input_kind)
        if not self._mergers and not self.settings.merge_samples:
            self._seen = _engine.MutationSet()  # a later input has columns of its own

    def _merger_of(self, index, source):
        """The merger of input `index` if it has one: the engine's where the engine holds its
        SNVs."""
        merger = self._mergers.get(index)
        if merger is None and self.engine_snvs is not None and self.engine_snvs.holds(index):
            merger = self._mergers[index] = self.engine_snvs.merger(index, source)
        return merger

    def _columns(self, parts, names=_COUNTED):
        """The columns `names` of several Records (and "index", the input of each record); a
        column that some part lacks (None: a window not carried) is None."""
        columns = {}
        for column in names:
            values = [getattr(records, column) for records, *_ in parts]
            columns[column] = None if any(value is None for value in values) else \
                values[0] if len(values) == 1 else np.concatenate(values)
        columns["index"] = np.repeat(np.array([part[1] for part in parts], dtype=np.int64),
                                     [len(part[0].position) for part in parts])
        return columns

    def _rows(self, columns):
        """The tally row of each record (new columns made as needed)."""
        tally = self.tally
        pairs, pair_codes = _pairs(columns["index"], columns["sample"])
        for index, sample in pairs:
            tally.note_origin(sample, index)
        keys = pairs if self.settings.by_input else [(None, sample) for _, sample in pairs]
        return tally.rows(keys)[pair_codes]

    def _classes(self, columns):
        """The number of each record's mutation class in self.classes, -1 for none (the
        shapes of the alleles: columns["shape"])."""
        shapes = columns["shape"]
        classes = np.full(len(shapes), -1, dtype=np.int64)
        for number, mutation_class in enumerate(self.classes):
            open_ = classes < 0
            if open_.any() and mutation_class.shape is not None:
                classes[open_ & (shapes == mutation_class.shape)] = number
            elif open_.any():
                accepted = np.zeros(len(classes), dtype=bool)
                accepted[open_] = mutation_class.accepts(columns["ref"][open_],
                                                         columns["alt"][open_])
                classes[accepted] = number
        return classes

    def _check(self, parts, input_kind):
        """The columns of the records of `parts` (of the chosen samples: the input stage took
        them, work.count_inputs) that may be counted: of a mutation class a chosen kind takes (or may take once split), with a reference
        file, within the chromosome, their REF the reference's. The others are left out, and
        the input's REF check and reference fit noted, record by record."""
        tally = self.tally
        columns = self._columns(parts)
        # A sample is a column whatever becomes of its records.
        columns["row"] = self._rows(columns)
        indexes, chromosomes = columns["index"], columns["chromosome"]
        # One pass of the engine for every class of a shape, its answer carried on.
        columns["shape"] = registry.allele_shapes(columns["ref"], columns["alt"])
        classes = self._classes(columns)
        self._leave(registry.OTHER, indexes, chromosomes, classes < 0)
        checked = np.isin(classes, self.checked_classes)
        for number, mutation_class in enumerate(self.classes):
            mine = classes == number
            if mine.any() and number not in self.checked_classes:
                tally.classes_seen.add(mutation_class.name)
                self._leave(registry.not_counted(mutation_class), indexes, chromosomes, mine)
        columns = _take(columns, checked)
        if not len(columns["index"]):
            return self._placed(columns, [], columns["row"])
        found, pair_codes, builds = self._locate(columns, input_kind)
        on_file = np.array([isinstance(item, Chromosome) for item in found], dtype=bool)
        missing = ~on_file[pair_codes]
        indexes, chromosomes = columns["index"], columns["chromosome"]
        for index, records in _per_input(indexes).items():
            tally.coverage[index].records += records
        if missing.any():
            for index in dict.fromkeys(indexes[missing].tolist()):
                mine = missing & (indexes == index)
                tally.coverage[index].add(0, [builds] * int(mine.sum()) if isinstance(
                    builds, str) else builds[mine], chromosomes[mine])
        for reason in NO_REFERENCE:
            which = np.array([item == reason if isinstance(item, str) else False
                              for item in found], dtype=bool)
            if which.any():
                self._leave(reason, indexes, chromosomes, which[pair_codes])
        lengths = np.array([item.length if isinstance(item, Chromosome) else 0
                            for item in found], dtype=np.uint64)
        positions = columns["position"].astype(np.uint64, copy=False)
        past = ~missing & (positions > lengths[pair_codes])
        self._leave(PAST_END, indexes, chromosomes, past)
        keep = ~missing & ~past
        if not keep.any():
            return self._placed(_take(columns, keep), found, pair_codes[keep])
        del columns["build"]  # not read past here
        columns = _take(columns, keep)
        pair_codes = pair_codes[keep]
        batch = self._batch(columns, found, pair_codes)
        flank = self._flank
        if flank is not None:
            # One read for the REF check and the kinds: the window carried on.
            longest = int(_engine.text_lengths(columns["ref"]).max())
            columns["window"] = batch.window(flank, max(flank, longest - 1))[:, :2 * flank + 1]
        same = self._check_refs(batch, columns)
        if not same.all():
            self._leave(REF_DIFFERS, columns["index"], columns["chromosome"], ~same)
            columns = _take(columns, same)
            pair_codes = pair_codes[same]
        return self._placed(columns, found, pair_codes)

    def _placed(self, columns, found, pair_codes):
        """The columns with "place": the number of each record's reference file (of `found`,
        by `pair_codes`) among the Counter's places."""
        numbers = np.array([self.place_number(item) if isinstance(item, Chromosome) else -1
                            for item in found], dtype=np.int64)
        columns["place"] = numbers[pair_codes] if len(numbers) else \
            np.zeros(len(pair_codes), dtype=np.int64)
        if "window" not in columns:
            columns["window"] = None if self._flank is None else \
                np.zeros((len(pair_codes), 2 * self._flank + 1), dtype=np.int16)
        return columns

    def place_number(self, chromosome):
        """The number of a Chromosome's reference file among the Counter's places."""
        number = self._place_numbers.setdefault(chromosome.path, len(self._places))
        if number == len(self._places):
            self._places.append(chromosome)
            if self.engine_snvs is not None:
                self.engine_snvs.add_place(number, chromosome)
        return number

    def _locate(self, columns, input_kind):
        """(the Chromosome, or the reason there is none, of each distinct (build, chromosome)
        name; the index of each record's among them; each record's build, or the one build
        of all)."""
        chromosome_names = columns["chromosome"]
        builds, one = self._builds(columns, input_kind)
        if one is None and len(set(builds.tolist())) == 1:
            one = builds[0]
        if one is not None:
            # The common case: one build, told by names alone.
            names, pair_codes = _codes(chromosome_names)
            pairs = [(one, name) for name in names]
            builds = one
        else:
            pairs, pair_codes = _codes(list(zip(builds.tolist(), chromosome_names.tolist())))
        return [self.genome.lookup(build, name) for build, name in pairs], pair_codes, builds

    def _batch(self, columns, found, pair_codes, window=None):
        """A kinds.Batch of records whose chromosomes are all `found` (by `pair_codes`);
        `window`: their windows of (flank, flank) read so far (Counted.window)."""
        positions = columns["position"].astype(np.int64)

        def reader(before, after, subset):
            picked = positions if subset is None else positions[np.asarray(subset)]
            codes = pair_codes if subset is None else pair_codes[np.asarray(subset)]
            window = np.empty((len(picked), before + 1 + after), dtype=np.int16)
            # Each chromosome's records: the slice of its run as records come, else a mask.
            for code, here in _input_rows(codes):
                window[here] = found[code].windows(picked[here], before, after)
            return window

        windows = {}
        if window is not None:
            stale = np.flatnonzero(window[:, 0] == STALE)
            if len(stale):
                window = window.copy()
                window[stale] = reader(self._flank, self._flank, stale)
            windows[(self._flank, self._flank)] = window
        return registry.Batch(columns["sample"], columns["chromosome"], positions,
                              columns["ref"], columns["alt"], reader, windows)

    def _count(self, units, input_kind):
        """Counts the checked records of `units` ([(Records, input index, whether each lies
        inside the regions or None: all do)], after the regrouping) in the matrices of their
        class."""
        columns = self._columns(units, _CARRIED)
        rows = columns["row"]
        indexes, chromosomes, weights = columns["index"], columns["chromosome"], \
            columns["weight"]
        # The same mutation of a column again is counted once: its copies take no class (the
        # columns are not copied without them; each class takes its rows once, below). So
        # do the rows a unit's mask leaves out (outside the regions, counted in their
        # left_out already; or SNVs the merger holds or merged).
        classes = self._classes(columns)
        if any(keep is not None for _, _, keep in units):
            outside = ~np.concatenate([np.ones(len(records), dtype=bool) if keep is None
                                       else keep for records, _, keep in units])
            classes[outside] = _SKIPPED
        new = self._first_times(columns, classes)
        new[classes == _SKIPPED] = True
        if not new.all():
            self._leave(DUPLICATE, indexes, chromosomes, ~new, weights)
            classes[~new] = _SKIPPED
        self._leave(registry.OTHER, indexes, chromosomes, classes == -1, weights)
        for number, mutation_class in enumerate(self.classes):
            mine = classes == number
            if not mine.any():
                continue
            self.tally.classes_seen.add(mutation_class.name)
            kinds = [kind for kind in self.sources if kind.mutation_class == mutation_class.name]
            if mutation_class.name == MULTI_BASE_CLASS:
                self._leave(MULTI_BASE, indexes, chromosomes, mine, weights)
            elif not kinds:
                self._leave(registry.not_counted(mutation_class), indexes, chromosomes, mine,
                            weights)
            else:
                if mine.all():  # the merger's SNVs come as a part of their own
                    self._count_class(columns, rows, kinds)
                else:
                    self._count_class({name: None if columns[name] is None else
                                       columns[name][mine] for name in _CLASS_COLUMNS
                                       if name in columns}, rows[mine], kinds)

    def _first_times(self, columns, classes):
        """Whether each record is the first of its mutation in its column."""
        settings = self.settings
        if settings.merge_samples:
            # A column fed by several inputs: one hash set, and the fingerprints kept (Marks).
            # Inputs may name one chromosome each its own way (chr1, 1): a mutation's is its
            # reference file's; and write an indel each its own way (a VCF's anchor base, a
            # MAF's '-'): a mutation's are the bases it inserts or deletes, and where.
            files = np.array([f"{place.build}/{place.name}" for place in self._places] or [""],
                             dtype=object)
            position, ref, alt = _indel_bases(columns)
            first, second = columns["first"], columns["second"] = _engine.fingerprints(
                columns["index"] if settings.by_input else None, columns["sample"],
                files[columns["place"]], position, ref, alt)
            counted = classes != _SKIPPED
            if counted.all():
                return self._seen.first_times(first, second)
            new = np.ones(len(classes), dtype=bool)
            new[counted] = self._seen.first_times(first[counted], second[counted])
            return new
        # A column is one input's: each input and mutation class is a lane of its own, most
        # often sorted. The merger let each SNV of a sample through once already (a copy is
        # its DUPLICATE), so merged SNVs need no second look.
        new = np.ones(len(classes), dtype=bool)
        look = classes != _SKIPPED
        if self.merge_doublets:
            look &= classes != self._snv_class
        if not look.any():
            return new
        part = {name: columns[name] if look.all() else columns[name][look]
                for name in ("index", "sample", "chromosome", "position", "ref", "alt")}
        first, second = _engine.fingerprints(
            part["index"] if settings.by_input else None, part["sample"], part["chromosome"],
            part["position"], part["ref"], part["alt"])
        lanes = part["index"] * (len(self.classes) + 1) + classes[look] + 1
        new[look] = self._seen.first_times(first, second, lanes, part["chromosome"],
                                           part["position"])
        return new

    def _leave(self, reason, indexes, chromosomes, mask=None, weights=None):
        """Notes the records where `mask` holds (all: None) as left out for `reason`, each
        under its own input; `weights`: the input records each row stands for (1 each)."""
        if mask is not None:
            indexes, chromosomes = indexes[mask], chromosomes[mask]
            weights = None if weights is None else weights[mask]
        if weights is not None and not (weights == 1).all():
            indexes, chromosomes = np.repeat(indexes, weights), np.repeat(chromosomes, weights)
        if not len(indexes):
            return
        first = int(indexes[0])
        if (indexes == first).all():
            self.tally.left_out.add_each(reason, chromosomes, first)
            return
        for index in dict.fromkeys(indexes.tolist()):
            self.tally.left_out.add_each(reason, chromosomes[indexes == index], index)

    def _builds(self, columns, name_kind):
        """(The build of each record: --build for VCF and MAF records, the one given by the
        record for tables, the default where the record names none; None when
        all have one; that one build, else None)."""
        builds = columns["build"]
        settings = self.settings
        if settings.build is not None and name_kind != "table":
            return None, settings.build
        empty = builds == ""
        if empty.any():
            if settings.default_build is None:
                name = self.tally.names[int(columns["index"][np.argmax(empty)])]
                raise UsageError(build_fault(name, "its records name no build", self.genome))
            if empty.all():
                return None, settings.default_build
            builds = builds.copy()
            builds[empty] = settings.default_build
        return builds, None

    def _count_class(self, columns, rows, kinds):
        tally = self.tally
        batch = self._batch(columns, self._places, columns["place"], columns["window"])
        codes = {kind.name: kind.classify(batch) for kind in kinds}
        counted = np.zeros(len(rows), dtype=bool)
        for kind in kinds:
            code = codes[kind.name]
            good = code >= 0
            counted |= good
            flat = rows[good] * len(kind.channels) + code[good]
            cells = tally.counts[kind.name].reshape(-1)
            if len(cells) <= 4 * len(flat):  # a count of every cell costs less than a sort
                cells += np.bincount(flat, minlength=len(cells))
            else:
                at, counts = np.unique(flat, return_counts=True)
                cells[at] += counts
        tally.records += int(counted.sum())
        self.leave_out_by_kind(codes, batch.chromosome, columns["index"], columns["weight"])
        if tally.marks is not None:
            tally.marks.append(Marks(columns["first"], columns["second"], rows,
                                     columns["index"], columns["chromosome"], codes))

    def leave_out_by_kind(self, codes, chromosomes, indexes, weights):
        """Records a kind left out, one line per reason naming the chosen kinds it concerns."""
        lost = {}  # (reason, chosen kind names) -> mask
        for chosen in self.chosen:
            source = registry.get(chosen.derived_from) if chosen.derived_from else chosen
            if source.name not in codes:
                continue
            code = codes[source.name]
            for number, reason in enumerate(source.reasons):
                mask = code == -1 - number
                if mask.any():
                    lost.setdefault(reason, []).append((chosen.name, mask))
        for reason, pairs in lost.items():
            # Records lost by the same reason to the same set of kinds form one line.
            signature = np.zeros(len(chromosomes), dtype=np.int64)
            for bit, (_, mask) in enumerate(pairs):
                signature |= mask.astype(np.int64) << bit
            for value in np.unique(signature[signature > 0]).tolist():
                names = [name for bit, (name, _) in enumerate(pairs) if value >> bit & 1]
                self._leave(f"{reason} for {', '.join(names)}", indexes, chromosomes,
                            signature == value, weights)

    def _check_refs(self, batch, columns):
        """Whether each record's REF bases are the reference's; notes the input's REF check."""
        ref_texts = batch.ref
        lengths = _engine.text_lengths(ref_texts)
        longest = int(lengths.max())
        bases = _BYTE_BASE[batch.window(0, longest - 1).astype(np.int64)]
        letters = np.full((len(ref_texts), longest), 5, dtype=np.int8)  # 5: not compared
        for length in np.unique(lengths).tolist():
            at = np.flatnonzero(lengths == length)
            data = np.frombuffer("".join(ref_texts[at].tolist()).encode("ascii", "replace"),
                                 dtype=np.uint8).reshape(len(at), length)
            letters[at, :length] = _LETTER[np.minimum(data, 127)]
        # Letters other than A, C, G, T, N (a MAF's '-') are not compared.
        inside = (np.arange(longest) < lengths[:, None]) & (letters < 5)
        same = ((letters == bases) | ~inside).all(axis=1)
        indexes = columns["index"]
        for index, records in _per_input(indexes).items():
            self.tally.checks[index].checked += records
        for index in dict.fromkeys(indexes[~same].tolist()):
            differing = np.flatnonzero(~same & (indexes == index))
            check = self.tally.checks[index]
            check.differing += len(differing)
            at = differing[np.argmin(columns["line"][differing])]
            reference = "".join("ACGTN "[code] if code < 6 else "-"
                                for code in bases[at, :lengths[at]].tolist())
            self.note_ref_differs(index, int(columns["line"][at]), batch.chromosome[at],
                                  batch.position[at], ref_texts[at], reference)
        return same

    def note_ref_differs(self, index, line, chromosome, position, ref, reference):
        """Notes a record of input `index` whose REF differs from the reference's bases
        `reference`, as the first of the input's if it is (the lowest line)."""
        place = f"line {line} " if line > 0 else ""
        first = (line, f"{place}({chromosome}:{position} REF {ref}, reference {reference})")
        self.tally.checks[index].merge(RefCheck(0, 0, first))
