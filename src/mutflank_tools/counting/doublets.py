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

from ..inputs.records import LeftOut, Records, in_trans
from ..runtime.errors import InputError, at_line
from .kinds import SINGLE, allele_shapes
from .kinds.sbs import letter_codes

HOLD = 500_000  # SNVs of one input held before streaming starts
MULTI_BASE = "multi-base substitution (three or more adjacent bases)"
DUPLICATE = "the same mutation of the sample again (counted once)"


def take(records, index, left_out=None):
    """The records at `index` (a bool mask or positions), as a new Records."""
    return records.take(index, left_out)


def concatenate(parts, source, left_out):
    """One Records of several of one input; `source`: the input (for an empty result)."""
    parts = [part for part in parts if len(part)]
    if not parts:
        return Records.empty(source, left_out)
    if len(parts) == 1:  # the columns as they are: nothing changes them in place
        return parts[0].take(slice(None), left_out)
    return Records.concatenate(source, parts, left_out)


def single_base_substitutions(ref, alt):
    """Which records replace one base of A, C, G, T by another (object arrays of str)."""
    return allele_shapes(ref, alt) == SINGLE


def split_substitutions(records):
    """The records with each substitution of three or more bases (equal-length alleles of A,
    C, G, T, trimmed) cut at its unchanged bases into the stretches of changed bases it holds,
    as if the caller had written one record per stretch: ACG>TCA at 100 is A>T at 100 and G>A
    at 102. A stretch keeps the record's line, sample and phase; the first stretch of a record
    stands for it (weight), the others for nothing, so that summaries count input records."""
    ref, alt = records.ref, records.alt
    lengths = np.fromiter(map(len, ref.tolist()), dtype=np.int64, count=len(ref))
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
    split[[at for at, _, _, _ in pieces]] = True
    order = np.array([at for at, _, _, _ in pieces], dtype=np.int64)
    stretches = records.take(order)
    stretches.position = stretches.position + np.array([o for _, o, _, _ in pieces],
                                                        dtype=np.uint64)
    stretches.ref = _objects([r for _, _, r, _ in pieces])
    stretches.alt = _objects([a for _, _, _, a in pieces])
    first = np.ones(len(order), dtype=bool)
    first[1:] = order[1:] != order[:-1]
    stretches.weight = np.where(first, stretches.weight, 0)
    return concatenate([records.take(~split), stretches], records.input, records.left_out)


_BASES = frozenset("ACGT")


def _objects(values):
    array = np.empty(len(values), dtype=object)
    array[:] = values
    return array


class _Codes:
    """Small whole numbers for the names (samples, chromosomes) of one input."""

    def __init__(self):
        self.code = {}

    def of(self, names):
        code = self.code
        if len(names) and (names == names[0]).all():  # one sample, one chromosome: common
            return np.full(len(names), code.setdefault(names[0], len(code)), dtype=np.int64)
        names = names.tolist()
        for name in dict.fromkeys(names):
            code.setdefault(name, len(code))
        return np.fromiter(map(code.__getitem__, names), dtype=np.int64, count=len(names))


class Merger:
    """Merges the adjacent SNVs of one input (see the module's text). `feed(records)` returns
    the records that may be counted now; `finish()` the rest, when the input has ended."""

    def __init__(self, merge=True, hold=None):
        self.merge = merge
        self.hold = HOLD if hold is None else hold
        self.source = None
        self._pending = []  # Records of SNVs held back
        self._held = 0
        self._streaming = False
        self._samples, self._chromosomes = _Codes(), _Codes()
        # streaming: per sample code, [current chromosome code, last position, finished set]
        self._state = {}

    def feed(self, records):
        self.source = records.input
        if not self.merge or len(records) == 0:
            return records
        snv = single_base_substitutions(records.ref, records.alt)
        if not snv.any():
            return records
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
        return concatenate([rest, *released], records.input, left_out) if released else rest

    def finish(self):
        """The records still held back, with the multi-base runs among them left out."""
        left_out = LeftOut()
        released = self._resolve(left_out, final=True) if self._pending else []
        return concatenate(released, self.source, left_out)

    def _check_order(self, part):
        """InputError at the first record that comes before an earlier one of its sample."""
        samples = self._samples.of(part.sample)
        chromosomes = self._chromosomes.of(part.chromosome)
        order = np.argsort(samples, kind="stable")
        s, c, p = samples[order], chromosomes[order], part.position.astype(np.int64)[order]
        # stretches: records of one sample on one chromosome, one after the other
        begins = np.ones(len(s), dtype=bool)
        begins[1:] = (s[1:] != s[:-1]) | (c[1:] != c[:-1])
        backwards = ~begins & (p < np.r_[0, p[:-1]])
        if backwards.any():
            self._unsorted(part, order[np.argmax(backwards)])
        firsts = np.flatnonzero(begins)
        lasts = np.r_[firsts[1:], len(s)] - 1
        for i, last in zip(firsts.tolist(), lasts.tolist()):  # one per stretch: few
            state = self._state.get(s[i])
            if state is None:
                state = self._state[s[i]] = [c[i], p[i], set()]
            elif state[0] == c[i]:
                if p[i] < state[1]:
                    self._unsorted(part, order[i])
            elif c[i] in state[2]:
                self._unsorted(part, order[i])
            else:
                state[2].add(state[0])
                state[0] = c[i]
            state[1] = p[last]

    def _unsorted(self, part, i):
        raise InputError(at_line(
            part.input.name, int(part.line[i]),
            f"{part.chromosome[i]}:{part.position[i]} of sample {part.sample[i]} comes after a "
            f"later position of that sample: an input of more than {self.hold:,} SNVs must be "
            "sorted by chromosome and position within each sample to merge adjacent SNVs into "
            "doublets (sort it, or give --no-merge-doublets)"))

    def _resolve(self, left_out, final):
        """Merges the held SNVs whose runs are complete; keeps the others held. Returns the
        Records to release."""
        held = concatenate(self._pending, self.source, LeftOut())
        self._pending = []
        if final and not (np.diff(np.sort(held.position.astype(np.int64))) <= 1).any():
            return [held]  # no two SNVs side by side, nor at one position, in any sample
        samples = self._samples.of(held.sample)
        chromosomes = self._chromosomes.of(held.chromosome)
        positions = held.position.astype(np.int64)
        alleles = letter_codes(held.alt)
        order = np.lexsort((alleles, positions, chromosomes, samples))
        s, c, p, a = samples[order], chromosomes[order], positions[order], alleles[order]
        step = np.diff(p)
        other = (s[1:] != s[:-1]) | (c[1:] != c[:-1])
        # A sample's mutation written again (the same position and ALT) is counted once.
        again = np.zeros(len(s), dtype=bool)
        again[1:] = ~other & (step == 0) & (a[1:] == a[:-1])
        if again.any():
            _leave(left_out, DUPLICATE, held, order[again])
            order, s, c, p = order[~again], s[~again], c[~again], p[~again]
            step = np.diff(p)
            other = (s[1:] != s[:-1]) | (c[1:] != c[:-1])
        starts = np.ones(len(s), dtype=bool)
        starts[1:] = other | (step > 1)
        new_position = np.ones(len(s), dtype=bool)
        new_position[1:] = starts[1:] | (step > 0)
        phase = held.phase[order]
        if phase.any():
            starts |= new_position & _apart(phase, new_position)
        run = np.cumsum(starts) - 1  # run number of each record
        runs = int(run[-1]) + 1
        records = np.bincount(run, minlength=runs)
        positions_in_run = np.bincount(run, weights=new_position, minlength=runs).astype(int)
        keep = np.zeros(runs, dtype=bool)
        if not final:  # a run is open while its sample may still add a record beside it
            current = np.full(len(self._samples.code), -1, dtype=np.int64)
            last = np.zeros(len(self._samples.code), dtype=np.int64)
            for sample, state in self._state.items():
                current[sample], last[sample] = state[0], state[1]
            ends = np.r_[np.flatnonzero(starts)[1:], len(s)] - 1
            keep = (current[s[ends]] == c[ends]) & (p[ends] >= last[s[ends]] - 1)
        kept = keep[run]
        if kept.any():
            self._pending.append(take(held, order[kept]))
        self._held = int(kept.sum())
        single = ~kept & (positions_in_run[run] == 1)
        pair = ~kept & (positions_in_run[run] == 2) & (records[run] == 2)
        multi = ~kept & ~single & ~pair
        _leave(left_out, MULTI_BASE, held, order[multi])
        released = [take(held, order[single])]
        firsts = order[pair & starts]
        seconds = order[pair & ~starts]
        if len(firsts):
            doublets = take(held, firsts)
            doublets.ref = _joined(held.ref[firsts], held.ref[seconds])
            doublets.alt = _joined(held.alt[firsts], held.alt[seconds])
            doublets.weight = held.weight[firsts] + held.weight[seconds]
            released.append(doublets)
        return released


def _apart(phase, new_position):
    """For each record of sorted SNVs (`phase` codes; `new_position`: the first record of each
    position), whether its position and the one before have no pair of records that one
    molecule can carry: every pair is in trans. A position is known when its records are all
    phased in one phase set; two known positions of one set are apart when no haplotype
    carries alleles of both."""
    group = np.cumsum(new_position) - 1
    heads = np.flatnonzero(new_position)
    bits = np.bitwise_or.reduceat(phase & 3, heads)
    sets = phase >> 2
    low, high = np.minimum.reduceat(sets, heads), np.maximum.reduceat(sets, heads)
    known = (np.minimum.reduceat(phase, heads) > 0) & (low == high)
    summary = np.where(known, bits | (low << 2), 0)  # a phase code of the whole position
    apart = np.zeros(len(heads), dtype=bool)
    apart[1:] = in_trans(summary[:-1], summary[1:])
    return apart[group]


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
