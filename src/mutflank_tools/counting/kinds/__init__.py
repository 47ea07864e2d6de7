"""Matrix kinds as data: each kind declares its channels, the mutation class of the records it
takes, the reference it needs around them, how it classifies a batch, and the plot layout that
draws it. A new kind is a module of this package that calls `register(Kind(...))`, named in
MODULES below; nothing else in the pipeline changes.

A kind's `classify(batch)` gets a `Batch` of records of its mutation class whose REF matched the
reference, and returns one int64 per record: a channel index (0 .. len(channels) - 1), or a
negative code -1 - i for reason `reasons[i]` (the record is left out of this kind, and the
summary says why). A derived kind (SBS6 from SBS96) has no classify of its own: its counts are
the source kind's, each source channel added to channel `fold[i]`."""

import importlib
import sys
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

from ... import _engine

# Reasons shared by the kinds that read bases around a record.
AT_START = "at a chromosome start"
NEAR_END = "too close to a chromosome end"
NOT_ACGT = "a base other than A, C, G, T beside it"


@dataclass(frozen=True)
class Kind:
    name: str  # as in the file name and --types: "SBS96"
    channels: tuple  # the labels, in the order of the matrix rows
    mutation_class: str  # the records it takes: "SBS", "DBS" or "ID"
    flank: int = 0  # reference bases on each side that classify reads
    classify: Optional[Callable] = None  # Batch -> int64 array (see above)
    reasons: tuple = ()  # texts of the negative codes of classify
    derived_from: Optional[str] = None  # the kind this one is folded from
    fold: Optional[tuple] = None  # channel index here of each channel of derived_from
    strand: bool = False  # needs the reference's transcription-strand bits
    layout: str = "sbs"  # the name of the plot layout that draws it
    default: object = True  # without --types: True written, "when present" only when its
    # mutation class had records, False only when asked
    channel_flank: Optional[int] = None  # classify is the engine's SBS channel rule of this
    # flank (_engine.sbs_channels): the engine may then count SNVs where it reads them


@dataclass(frozen=True)
class MutationClass:
    """Which records are of a class: `accepts(ref, alt)` takes object arrays of upper-case str
    (one ALT per record) and returns a bool array. A record of no class is left out with the
    reason `OTHER`; a record of a class that no chosen kind takes is left out as not counted.
    Classes are tried in the order mutation_classes() lists them; a record takes the first
    that accepts it. A class of one of the engine's allele shapes (`shape`, below) names it,
    and its records are told by one pass of the engine for every such class."""

    name: str  # "SBS"
    accepts: Callable
    description: str  # "single-base substitution"
    shape: Optional[int] = None  # the allele shape it takes, or None: accepts alone tells


# The shapes of a pair of alleles that the engine tells (_engine.allele_classes): one base of
# A, C, G, T replaced by another, two both replaced, alleles of A, C, G, T of one length of
# three or more, alleles of different lengths (or a MAF's '-'); NO_SHAPE for any other pair.
NO_SHAPE, SINGLE, DOUBLET, MULTI, INDEL = range(5)


def allele_shapes(ref, alt):
    """The shape of each pair of alleles (object arrays of upper-case str), uint8."""
    return _engine.allele_classes(ref, alt)


def of_shape(shape):
    """The `accepts` of the class of the pairs of alleles of `shape`."""

    def accepts(ref, alt):
        return allele_shapes(ref, alt) == shape

    return accepts


OTHER = "alleles of no mutation class (not A, C, G, T, or REF equal to ALT)"


def not_counted(mutation_class):
    """The reason a record of a class that no chosen kind takes is left out."""
    return f"not counted: no chosen matrix takes a {mutation_class.description}"

_CLASSES = {}
_KINDS = {}
_RANKS = {}  # kind key -> its place in listings
# Modules that register kinds, in the order their kinds are listed.
MODULES = ("sbs", "strand", "dbs78", "id83")
_loaded = False


def register(kind):
    """Adds a kind; its name must be new (case does not tell two names apart)."""
    key = kind.name.lower()
    if key in _KINDS:
        raise ValueError(f"kind {kind.name} registered twice")
    if (kind.classify is None) == (kind.derived_from is None):
        raise ValueError(f"kind {kind.name}: give classify, or derived_from and fold")
    _KINDS[key] = kind
    _RANKS[key] = _rank(sys._getframe(1))
    return kind


def _rank(frame):
    """Where a registration is listed: in the order of MODULES whatever module was imported
    first (a test may import one directly), then in the order the module registers."""
    module = frame.f_globals.get("__name__", "").rpartition(".")[2]
    return MODULES.index(module) if module in MODULES else len(MODULES), len(_RANKS)


def register_class(mutation_class):
    _CLASSES[mutation_class.name] = mutation_class
    _RANKS["class " + mutation_class.name] = _rank(sys._getframe(1))
    return mutation_class


def mutation_classes():
    """Every registered mutation class, listed as the kinds are."""
    _load()
    return [_CLASSES[name] for name in sorted(_CLASSES, key=lambda n: _RANKS["class " + n])]


def _load():
    global _loaded
    if not _loaded:
        _loaded = True
        for module in MODULES:
            importlib.import_module(f"{__name__}.{module}")


def all_kinds():
    """Every registered kind: those of MODULES in its order, each module's in the order it
    registers them (see _rank)."""
    _load()
    return [_KINDS[key] for key in sorted(_KINDS, key=_RANKS.__getitem__)]


def get(name):
    """The kind called `name` (any case), or None."""
    _load()
    return _KINDS.get(str(name).strip().lower())


def names():
    return [kind.name for kind in all_kinds()]


def defaults():
    return [kind.name for kind in all_kinds() if kind.default]


def sources(chosen):
    """The kinds that must be classified to give the kinds named in `chosen`: each chosen kind,
    or the kind it is derived from; in registration order."""
    needed = set()
    for name in chosen:
        kind = get(name)
        needed.add((get(kind.derived_from) if kind.derived_from else kind).name)
    return [kind for kind in all_kinds() if kind.name in needed]


class Batch:
    """Records of one mutation class whose REF matched the reference, with the reference around
    them. `sample`, `chromosome`, `ref`, `alt` are object arrays of str, `position` int64
    (1-based); `window(before, after)` gives the raw reference bytes from `before` bases before
    each record's position to `after` bases after it, as an int16 array of shape
    (records, before + 1 + after): 0..15 a base ("ACGT"[b & 3], transcription-strand bits
    b >> 2), 16..19 N, 20..255 no base, -1 outside the chromosome. `window(..., rows=index)`
    reads the windows of those records only (a wider look at a few)."""

    def __init__(self, sample, chromosome, position, ref, alt, reader, windows=None):
        self.sample = sample
        self.chromosome = chromosome
        self.position = position
        self.ref = ref
        self.alt = alt
        self._reader = reader  # (before, after, rows or None) -> window
        self._windows = dict(windows or {})

    def __len__(self):
        return len(self.position)

    def window(self, before, after, rows=None):
        if rows is not None:
            return self._reader(before, after, rows)
        for (wide_before, wide_after), window in self._windows.items():
            if wide_before >= before and wide_after >= after:
                start = wide_before - before
                return window[:, start:start + before + 1 + after]
        window = self._windows[(before, after)] = self._reader(before, after, None)
        return window

    def subset(self, keep):
        """The batch of the records where `keep` holds (windows read so far kept)."""
        reader = self._reader
        index = np.flatnonzero(keep)

        def read(before, after, rows=None):
            return reader(before, after, index if rows is None else index[rows])

        return Batch(self.sample[keep], self.chromosome[keep], self.position[keep],
                     self.ref[keep], self.alt[keep], read,
                     {key: window[keep] for key, window in self._windows.items()})
