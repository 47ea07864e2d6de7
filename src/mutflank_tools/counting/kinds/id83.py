"""Small insertions and deletions: ID83, classified by the reference around each indel.

An indel is first reduced to the bases it inserts or deletes: the bases REF and ALT share at
their start (the anchor base of a VCF indel) and then at their end are trimmed; a MAF writes
'-' for the empty allele, its insertion sitting after Start_Position. It is then moved to the
leftmost place in the reference where the same bases can be inserted or deleted with the same
result (left alignment), so the class does not depend on where in a repeat the caller put it.
There, with L the length of the unit (the inserted or deleted bases):

- the copies: how many further copies of the unit follow in the reference (none can precede
  a left-aligned indel), up to 5;
- 1-base indels: `1:Del:C:n` / `1:Ins:T:n`, the base folded to its pyrimidine (A counts as T,
  G as C) and n the copies: for a deletion the homopolymer run holding the deleted base, minus
  one; for an insertion the run at the insertion point;
- longer indels with copies: `L:Del:R:n` / `L:Ins:R:n` (L 5 stands for 5 or more);
- longer deletions with no copy: microhomology m, the longest part of the unit that is
  repeated beside it, `L:Del:M:m` (m up to L - 1, and up to 5); with none `L:Del:R:0`. Left
  aligned, the longest suffix of the unit that precedes it is empty and m is the longest prefix
  that follows it; wherever the caller put it, prefix and suffix add up to this m.

An indel whose REF and ALT both keep bases after trimming is complex and left out (COMPLEX).
"""

import numpy as np

from ... import _engine
from .. import channels
from . import INDEL, Kind, MutationClass, of_shape, register, register_class

COMPLEX = "complex indel (REF and ALT both keep bases after trimming)"
NOT_ACGT_INDEL = "inserted or deleted bases other than A, C, G, T"
REASONS = (COMPLEX, NOT_ACGT_INDEL)  # the engine's reasons, in its order
INSERTION, DELETION = "Ins", "Del"
FIRST_SIDE = 32  # reference bases read on each side at first
WINDOW_CELLS = 1 << 24  # reference bytes read at once (long units are read a few at a time)
UNITS = ("C", "T", "R", "M")  # the engine's order of what a class names besides its size


def _engine_channels():
    """The engine's class numbers (((size * 2 + insertion) * 4 + unit) * 6 + count) as channels
    of ID83, -1 for a number that names none."""
    index = {label: i for i, label in enumerate(channels.ID83)}
    table = np.full(288, -1, dtype=np.int64)
    for size in range(1, 6):
        for insertion, kind in enumerate((DELETION, INSERTION)):
            for unit, letter in enumerate(UNITS):
                for count in range(6):
                    label = f"{size}:{kind}:{letter}:{count}"
                    if label in index:
                        table[((size * 2 + insertion) * 4 + unit) * 6 + count] = index[label]
    return table


ENGINE_CHANNELS = _engine_channels()


def classify_indels(ref, alt, window):
    """ID83 channel index of each record (ref, alt: object arrays of upper-case str), or -1 - i
    for REASONS[i], by the engine's rule (_engine.indel_classes). `window(before, after, rows)`
    gives the raw reference bytes around the records `rows` (see kinds.Batch.window). Records
    are read FIRST_SIDE bases on each side, and those whose unit needs more reference again,
    wider, the records of one width together (as many as WINDOW_CELLS bytes hold)."""
    codes = np.empty(len(ref), dtype=np.int64)
    wanted = np.full(len(ref), FIRST_SIDE, dtype=np.int64)  # 0 once classified
    while wanted.any():
        side = int(wanted[wanted > 0].min())
        rows = np.flatnonzero(wanted == side)[:max(1, WINDOW_CELLS // (2 * side + 1))]
        found, wider = _engine.indel_classes(window(side, side, rows), ref[rows], alt[rows],
                                             side)
        codes[rows] = np.where(found >= 0, ENGINE_CHANNELS[np.maximum(found, 0)], found)
        wanted[rows] = wider
    return codes


is_indel = of_shape(INDEL)  # alleles of different lengths, or a MAF's '-' for one of them


def _classify(batch):
    """classify_indels of each run of records of one indel once (a VCF record carried by
    several samples is several records of one indel, one after the other): a pass, where a
    sort would find every repeat (an indel is classed the same each time, so a repeat further
    on is only classed again)."""
    first, second = _engine.fingerprints(None, batch.chromosome, batch.chromosome,
                                         batch.position.astype(np.uint64), batch.ref, batch.alt)
    new = np.ones(len(first), dtype=bool)
    new[1:] = (first[1:] != first[:-1]) | (second[1:] != second[:-1])
    heads = np.flatnonzero(new)
    codes = classify_indels(batch.ref[heads], batch.alt[heads],
                            lambda before, after, rows: batch.window(before, after, heads[rows]))
    return codes[np.cumsum(new) - 1]


register_class(MutationClass("ID", is_indel, "small insertion or deletion", INDEL))
register(Kind("ID83", channels.ID83, "ID", classify=_classify, reasons=REASONS, layout="id83",
              default="when present"))
