"""Adjacent single-base substitutions of one sample merged into doublets.

Two SNVs of the same sample at adjacent positions of the same chromosome, from the same input,
are one doublet-base substitution: they leave the stream as one record with two-base alleles
(at the first position, with the first SNV's line) and are not counted as SNVs. A run of three
or more adjacent substituted positions in a sample is a multi-base substitution: its records
are left out of every matrix and counted (MULTI_BASE). Several SNVs at one position (the
alleles of a multi-allelic site) with no neighbour stay SNVs.

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

import dataclasses

import numpy as np

from ..inputs.records import LeftOut, Records
from ..runtime.errors import InputError, at_line
from .kinds.sbs import letter_codes

HOLD = 500_000  # SNVs of one input held before streaming starts
MULTI_BASE = "multi-base substitution (three or more adjacent bases)"
# The per-record columns of Records (every field but the input and what was left out).
_COLUMNS = tuple(field.name for field in dataclasses.fields(Records)
                 if field.name not in ("input", "left_out"))


def take(records, index, left_out=None):
    """The records at `index` (a bool mask or positions), as a new Records."""
    return Records(input=records.input, left_out=LeftOut() if left_out is None else left_out,
                   **{name: getattr(records, name)[index] for name in _COLUMNS})


def concatenate(parts, source, left_out):
    """One Records of several of one input; `source`: the input (for an empty result)."""
    parts = [part for part in parts if len(part)]
    if not parts:
        return Records(input=source, left_out=left_out, **{
            name: np.zeros(0, dtype={"position": np.uint64, "line": np.int64}.get(name, object))
            for name in _COLUMNS})
    if len(parts) == 1:  # the columns as they are: nothing changes them in place
        return Records(input=source, left_out=left_out,
                       **{name: getattr(parts[0], name) for name in _COLUMNS})
    return Records(input=source, left_out=left_out, **{
        name: np.concatenate([getattr(part, name) for part in parts]) for name in _COLUMNS})


def single_base_substitutions(ref, alt):
    """Which records replace one base of A, C, G, T by another (object arrays of str)."""
    count = len(ref)
    one = ((np.fromiter(map(len, ref.tolist()), dtype=np.int64, count=count) == 1)
           & (np.fromiter(map(len, alt.tolist()), dtype=np.int64, count=count) == 1))
    result = np.zeros(count, dtype=bool)
    if one.any():
        r, a = letter_codes(ref[one]), letter_codes(alt[one])
        result[one] = (r < 4) & (a < 4) & (r != a)
    return result


class _Codes:
    """Small whole numbers for the names (samples, chromosomes) of one input."""

    def __init__(self):
        self.code = {}

    def of(self, names):
        code = self.code
        if len(names) and (names == names[0]).all():  # one sample, one chromosome: common
            return np.full(len(names), code.setdefault(names[0], len(code)), dtype=np.int64)
        return np.fromiter((code.setdefault(name, len(code)) for name in names.tolist()),
                           dtype=np.int64, count=len(names))


class Merger:
    """Merges the adjacent SNVs of one input (see the module's text). `feed(records)` returns
    the records that may be counted now; `finish()` the rest, when the input has ended."""

    def __init__(self, merge=True, hold=HOLD):
        self.merge = merge
        self.hold = hold
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
        order = np.lexsort((positions, chromosomes, samples))
        s, c, p = samples[order], chromosomes[order], positions[order]
        step = np.diff(p)
        starts = np.ones(len(s), dtype=bool)
        starts[1:] = (s[1:] != s[:-1]) | (c[1:] != c[:-1]) | (step > 1)
        run = np.cumsum(starts) - 1  # run number of each record
        runs = int(run[-1]) + 1
        records = np.bincount(run, minlength=runs)
        new_position = np.ones(len(s), dtype=bool)
        new_position[1:] = starts[1:] | (step > 0)
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
        for chromosome, count in zip(*np.unique(held.chromosome[order[multi]].astype(str),
                                                return_counts=True)):
            left_out.add(MULTI_BASE, chromosome, int(count))
        released = [take(held, order[single])]
        firsts = order[pair & starts]
        seconds = order[pair & ~starts]
        if len(firsts):
            doublets = take(held, firsts)
            doublets.ref = _joined(held.ref[firsts], held.ref[seconds])
            doublets.alt = _joined(held.alt[firsts], held.alt[seconds])
            released.append(doublets)
        return released


def _joined(first, second):
    joined = np.empty(len(first), dtype=object)
    joined[:] = [a + b for a, b in zip(first.tolist(), second.tolist())]
    return joined
