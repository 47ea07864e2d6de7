"""Opportunities: how often each reference context occurs, in a whole build of a reference
folder or inside regions, mapped onto the channels of the matrix kinds. The counting is the
engine's (`_engine.count_contexts`: one chromosome file at a time, in bounded memory); this
module sums it over chromosomes and spreads it over each kind's channels: every channel holds
the count of its reference context, so the channels of one context share it.

- SBS96, SBS1536 (and SBS6, folded from SBS96): trinucleotides or pentanucleotides, the
  central base folded to its pyrimidine, both strands counted (each position once).
- SBS192, SBS384: the same trinucleotides by the transcription strand of the central base.
- DBS78: reference dinucleotides folded onto the ten of the channels, as the channels are.
- The indel kinds have none (`has_opportunities`)."""

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from .. import _engine
from ..runtime.errors import InputError
from . import kinds as registry

BASE = {base: code for code, base in enumerate("ACGT")}
DINUCLEOTIDES = ("AC", "AT", "CC", "CG", "CT", "GC", "TA", "TC", "TG", "TT")  # the engine's
STRANDS = ("T", "U", "B", "N")  # the engine's order of strand classes


def has_opportunities(kind):
    """Whether a kind's channels have an opportunity: every kind but those of indels."""
    return kind.mutation_class != "ID"


class Counts:
    """The engine's counts summed over chromosomes: trinucleotides (strand class x 32),
    pentanucleotides (512), dinucleotides (10)."""

    def __init__(self):
        self.trinucleotides = np.zeros((4, 32), dtype=np.uint64)
        self.pentanucleotides = np.zeros(512, dtype=np.uint64)
        self.dinucleotides = np.zeros(10, dtype=np.uint64)

    def add(self, counted):
        trinucleotides, pentanucleotides, dinucleotides = counted
        self.trinucleotides += trinucleotides
        self.pentanucleotides += pentanucleotides
        self.dinucleotides += dinucleotides


def _centre(base):
    return 0 if base == "C" else 1


def channel_values(kind, counts):
    """The opportunity of every channel of `kind` (a kinds.Kind), in its order, as int64."""
    if kind.derived_from:
        source = registry.get(kind.derived_from)
        values = np.zeros(len(kind.channels), dtype=np.int64)
        np.add.at(values, np.array(kind.fold), channel_values(source, counts))
        return values
    if kind.mutation_class == "DBS":
        index = {pair: i for i, pair in enumerate(DINUCLEOTIDES)}
        return np.array([counts.dinucleotides[index[label[:2]]] for label in kind.channels],
                        dtype=np.int64)
    values = []
    for label in kind.channels:
        strand, _, label = label.rpartition(":")
        left, rest = label.split("[")
        change, right = rest.split("]")
        flanks = [BASE[base] for base in left + right]
        code = 0
        for base in flanks:
            code = code * 4 + base
        if len(flanks) == 4:
            values.append(counts.pentanucleotides[_centre(change[0]) * 256 + code])
        else:
            by_strand = counts.trinucleotides[:, _centre(change[0]) * 16 + code]
            values.append(by_strand[STRANDS.index(strand)] if strand else by_strand.sum())
    return np.array(values, dtype=np.int64)


def workers():
    """Threads that count chromosome files at once: the processors this process may run on
    (the engine counts without the interpreter lock)."""
    return max(1, len(os.sched_getaffinity(0)))


def count(genome, build, intervals=None, on_chromosome=None):
    """(Counts, bases looked at, chromosomes counted) of the build's chromosome files in
    `genome` (reference.Genome), whole, or inside `intervals` ({chromosome file name: (starts,
    ends)}, merged: sorted, apart). The files are counted by `workers()` threads at once,
    largest first; `on_chromosome(bases)` is called in this thread as each is done, and the
    first file (in that order) that cannot be read is the error."""
    files = genome.chromosomes(build)
    names = sorted(files, key=lambda name: (-files[name], name))
    if intervals is not None:
        names = [name for name in names if name in intervals]
    jobs, bases = [], 0
    for name in names:
        path = genome.chromosome(build, name).path
        if intervals is None:
            starts = ends = None
            bases += files[name]
        else:
            starts, ends = intervals[name]
            bases += int((np.minimum(ends, files[name]) - np.minimum(starts, files[name])).sum())
        jobs.append((name, path, starts, ends))
    counts = Counts()
    pool = ThreadPoolExecutor(max_workers=workers())
    try:
        for (name, _, _, _), counted in zip(jobs, pool.map(_count_file, jobs)):
            counts.add(counted)
            if on_chromosome is not None:
                on_chromosome(files[name])
    finally:  # on an error, the files not yet started are not counted
        pool.shutdown(cancel_futures=True)
    return counts, bases, len(names)


def _count_file(job):
    _, path, starts, ends = job
    try:
        return _engine.count_contexts(path, starts, ends)
    except OSError as error:
        raise InputError(f"{path}: {error}") from None

