"""Adjacent single-base substitutions of one sample merged into doublets.

Two SNVs of the same sample at adjacent positions of the same chromosome, from the same input,
are one doublet-base substitution: they leave the stream as one record with two-base alleles
(at the first position, with the first SNV's line) and are not counted as SNVs. A run of three
or more adjacent substituted positions in a sample is a multi-base substitution: its records
are left out of every matrix and counted (MULTI_BASE). Several SNVs at one position (the
alleles of a multi-allelic site) with no neighbour stay SNVs.

The records come here after the REF check: a record whose REF differs from the reference is
left out on its own and takes no part in a run. Two adjacent positions whose genotypes are
phased in trans (0|1 beside 1|0, in one phase set) are not one run: a doublet is two bases
changed on one molecule. The same SNV of a sample written twice (same position and ALT) is
kept once and the copy counted (DUPLICATE). Every count of left-out records adds the records'
`weight`, so it counts the records of the input.

A Merger is fed the batches of one input in order; it holds back the SNVs that may still meet
a neighbour and lets the rest through. Inputs need not be sorted:

- it first holds every SNV of the input, up to HOLD of them; an input that ends before that
  (nearly every MAF and single-sample VCF) is merged whatever its order;
- past HOLD SNVs, memory must stay bounded, so it streams: each sample's records must then come
  in order (positions ascending within a chromosome, each chromosome in one stretch; several
  samples may interleave, as in a VCF, or follow one another, as in a MAF of many tumours).
  Only the runs that a later record could still extend are held back. An input that breaks the
  order then stops with an error naming the line, rather than missing a doublet.
"""

import numpy as np

from .. import _engine
from ..inputs.records import LeftOut, Records
from ..runtime.errors import InputError, at_line
from .counted import STALE
from .kinds import DOUBLET, SINGLE, allele_shapes

HOLD = 500_000  # SNVs of one input held before streaming starts
MULTI_BASE = "multi-base substitution (three or more adjacent bases)"
DUPLICATE = "the same mutation of the sample again (counted once)"


def take(records, index, left_out=None):
    """The records at `index` (a bool mask or positions), as a new Records."""
    return records.take(index, left_out)


def concatenate(parts, source, left_out):
    """One Records of several of one input; `source`: the input (for an empty result)."""
    kind = type(parts[0]) if parts else Records
    parts = [part for part in parts if len(part)]
    if not parts:
        return kind.empty(source, left_out)
    if len(parts) == 1:  # the columns as they are: nothing changes them in place
        return parts[0].take(slice(None), left_out)
    return kind.concatenate(source, parts, left_out)


def single_base_substitutions(records):
    """Which records replace one base of A, C, G, T by another."""
    shape = getattr(records, "shape", None)  # counting's Counted carry their shapes
    return (allele_shapes(records.ref, records.alt) if shape is None else shape) == SINGLE


def split_substitutions(records):
    """The records with each substitution of three or more bases (equal-length alleles of A,
    C, G, T, trimmed) cut at its unchanged bases into the stretches of changed bases it holds,
    as if the caller had written one record per stretch: ACG>TCA at 100 is A>T at 100 and G>A
    at 102. A stretch keeps the record's line, sample and phase; the first stretch of a record
    stands for it (weight), the others for nothing, so that summaries count input records."""
    ref, alt = records.ref, records.alt
    lengths = _engine.text_lengths(ref)
    long = np.flatnonzero(lengths > 2)
    if not len(long):
        return records
    pieces = []  # (record, offset, ref, alt) of the stretches
    for at in long.tolist():
        r, a = ref[at], alt[at]
        if len(a) != len(r) or not _BASES.issuperset(r + a):
            continue  # an indel, or bases other than A, C, G, T: as it is
        offset = None
        for i in range(len(r) + 1):
            changed = i < len(r) and r[i] != a[i]
            if changed and offset is None:
                offset = i
            elif not changed and offset is not None:
                pieces.append((at, offset, r[offset:i], a[offset:i]))
                offset = None
    if not pieces:
        return records
    split = np.zeros(len(records), dtype=bool)
    order = np.array([at for at, _, _, _ in pieces], dtype=np.int64)
    split[order] = True
    # Each record's stretches take its place: a sorted input stays sorted for the merger.
    source = np.concatenate([np.flatnonzero(~split), order])
    rows = np.argsort(source, kind="stable")
    result = records.take(source[rows], records.left_out)
    stretch = np.flatnonzero(rows >= len(source) - len(order))
    result.position[stretch] += np.array([o for _, o, _, _ in pieces], dtype=np.uint64)
    result.ref[stretch] = _objects([r for _, _, r, _ in pieces])
    result.alt[stretch] = _objects([a for _, _, _, a in pieces])
    first = np.ones(len(order), dtype=bool)
    first[1:] = order[1:] != order[:-1]
    result.weight[stretch[~first]] = 0
    if getattr(result, "shape", None) is not None:
        result.shape[stretch] = allele_shapes(result.ref[stretch], result.alt[stretch])
    if getattr(result, "window", None) is not None:  # at another position
        result.window[stretch] = STALE
    return result


_BASES = frozenset("ACGT")


def _objects(values):
    array = np.empty(len(values), dtype=object)
    array[:] = values
    return array


class Merger:
    """Merges the adjacent SNVs of one input (see the module's text). `feed(records)` returns
    the records that may be counted now; `finish()` the rest, when the input has ended. The
    engine's DoubletMerger decides; the records held back stay here."""

    def __init__(self, merge=True, hold=None):
        self.merge = merge
        self.hold = HOLD if hold is None else hold
        self.source = None
        self._pending = []  # Records of SNVs held back
        self._kind = Records  # the type of the Records fed
        self._held = 0
        self._streaming = False
        self._engine = _engine.DoubletMerger()

    def feed(self, records):
        parts = _taken(self.feed_parts(records))
        return parts[0] if len(parts) == 1 else \
            concatenate(parts, records.input, parts[0].left_out)

    def feed_parts(self, records):
        """What feed returns, as a list of (Records, the rows let through: a bool mask, or
        None for all), the first Records with the left_out, not joined into one: the SNVs
        held are let through as they were fed, with a mask, rather than copied (the counter
        takes the rows it counts anyway)."""
        self.source = records.input
        self._kind = type(records)
        if not self.merge or len(records) == 0:
            return [(records, None)]
        snv = single_base_substitutions(records)
        if not snv.any():
            return [(records, None)]
        self._pending.append(concatenate([records], records.input, LeftOut()) if snv.all()
                             else take(records, snv))
        self._held += int(snv.sum())
        left_out = LeftOut()
        left_out.update(records.left_out)
        released = []
        rest = take(records, ~snv, left_out)
        if self._streaming:
            self._check_order(self._pending[-1])
            released = self._resolve(left_out, final=False)
        elif self._held > self.hold:
            self._streaming = True
            for part in self._pending:
                self._check_order(part)
            released = self._resolve(left_out, final=False)
        return [(rest, None), *released]

    def finish(self):
        """The records still held back, with the multi-base runs among them left out."""
        parts = self.finish_parts()
        return concatenate(_taken(parts[1:]), self.source, parts[0][0].left_out)

    def finish_parts(self):
        """What finish returns, as feed_parts does: the first (no records) with the
        left_out."""
        left_out = LeftOut()
        released = self._resolve(left_out, final=True) if self._pending else []
        return [(self._kind.empty(self.source, left_out), None), *released]

    def _check_order(self, part):
        """InputError at the first record that comes before an earlier one of its sample."""
        at = self._engine.check_order(_samples(part), part.chromosome,
                                      part.position.astype(np.int64))
        if at >= 0:
            self._unsorted(part, at)

    def _unsorted(self, part, i):
        raise unsorted_fault(part.input.name, int(part.line[i]), part.chromosome[i],
                             part.position[i], part.sample[i], self.hold)

    def _resolve(self, left_out, final):
        """Merges the held SNVs whose runs are complete; keeps the others held. Returns the
        (Records, mask) to release: each part held with the mask of its SNVs let through
        alone, then the doublets. Only the columns the engine and the counts of left-out
        records read are joined across the parts; the rest are taken once, by the
        consumer."""
        parts, self._pending = [p for p in self._pending if len(p)], []
        if not parts:
            self._held = 0
            return []
        held = _Joined(parts)
        kept, singles, firsts, seconds, multi, again = self._engine.resolve(
            held.column(_samples), held.column("chromosome"),
            held.column("position").astype(np.int64), held.column("alt"),
            held.column("phase"), final)
        _leave(left_out, DUPLICATE, held, again)
        if len(kept):
            self._pending.append(held.take(kept))
        self._held = len(kept)
        _leave(left_out, MULTI_BASE, held, multi)
        alone = np.zeros(len(held), dtype=bool)
        alone[singles] = True
        released = [(part, None if mine.all() else mine)
                    for part, mine in zip(parts, held.split(alone)) if mine.any()]
        if len(firsts):
            doublets = held.take(firsts)
            doublets.ref = _joined(held.column("ref")[firsts], held.column("ref")[seconds])
            doublets.alt = _joined(held.column("alt")[firsts], held.column("alt")[seconds])
            doublets.weight = held.column("weight")[firsts] + held.column("weight")[seconds]
            if getattr(doublets, "shape", None) is not None:
                doublets.shape = np.full(len(firsts), DOUBLET, dtype=np.uint8)
            released.append((doublets, None))
        return released


def unsorted_fault(name, line, chromosome, position, sample, hold):
    """The InputError of an SNV at `line` of input `name` that comes before an earlier one of
    its sample once a merger of `hold` SNVs streams."""
    return InputError(at_line(
        name, line,
        f"{chromosome}:{position} of sample {sample} comes after a later position of that "
        f"sample: an input of more than {hold:,} SNVs must be sorted by chromosome and position "
        "within each sample to merge adjacent SNVs into doublets (sort it, or give "
        "--no-merge-doublets)"))


class _Joined:
    """Several Records of one input seen as one, end to end, without joining them: a column
    is joined when read, rows are taken from the parts that hold them."""

    def __init__(self, parts):
        self.parts = parts
        self.offsets = np.cumsum([0] + [len(part) for part in parts])
        self._columns = {}

    def __len__(self):
        return int(self.offsets[-1])

    def column(self, name):
        """A column of every part, joined (`name`: an attribute, or a function of a part)."""
        if name not in self._columns:
            read = name if callable(name) else (lambda part: getattr(part, name))
            values = [read(part) for part in self.parts]
            self._columns[name] = values[0] if len(values) == 1 else np.concatenate(values)
        return self._columns[name]

    @property
    def chromosome(self):
        return self.column("chromosome")

    @property
    def weight(self):
        return self.column("weight")

    def split(self, mask):
        """A bool mask over all, as the masks of each part."""
        return [mask[start:end] for start, end in zip(self.offsets[:-1].tolist(),
                                                        self.offsets[1:].tolist())]

    def take(self, index):
        """The rows `index` (positions in order), as one new Records."""
        if len(self.parts) == 1:
            return take(self.parts[0], index)
        which = np.searchsorted(self.offsets, index, side="right") - 1
        pieces = [take(part, index[which == number] - self.offsets[number])
                  for number, part in enumerate(self.parts) if (which == number).any()]
        joined = concatenate(pieces, self.parts[0].input, LeftOut())
        order = np.argsort(which, kind="stable")
        if (order[1:] < order[:-1]).any():  # rows of the parts out of the parts' order
            joined = take(joined, np.argsort(order))
        return joined


def _taken(parts):
    """The Records of (Records, mask) pairs with their masks applied."""
    return [records if mine is None else take(records, mine, records.left_out)
            for records, mine in parts]


def _samples(records):
    """The samples of records as the engine takes them: counting's Counted by their tally
    rows (one per sample of an input: numbers are quicker to code than names)."""
    row = getattr(records, "row", None)
    return records.sample if row is None else row


def _leave(left_out, reason, records, index):
    """Counts the input records that the rows `index` of `records` stand for as left out."""
    if not len(index):
        return
    names, inverse = np.unique(records.chromosome[index].astype(str), return_inverse=True)
    weights = np.bincount(inverse, weights=records.weight[index], minlength=len(names))
    for chromosome, count in zip(names.tolist(), weights.astype(np.int64).tolist()):
        if count:
            left_out.add(reason, chromosome, count)


def _joined(first, second):
    joined = np.empty(len(first), dtype=object)
    joined[:] = [a + b for a, b in zip(first.tolist(), second.tolist())]
    return joined
