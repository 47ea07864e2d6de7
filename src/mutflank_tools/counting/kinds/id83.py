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

from .. import channels
from . import INDEL, Kind, MutationClass, of_shape, register, register_class

COMPLEX = "complex indel (REF and ALT both keep bases after trimming)"
NOT_ACGT_INDEL = "inserted or deleted bases other than A, C, G, T"
REASONS = (COMPLEX, NOT_ACGT_INDEL)
INSERTION, DELETION = "Ins", "Del"
MAX_COUNT = 5
INDEX = {label: i for i, label in enumerate(channels.ID83)}
_FOLD = {"A": "T", "G": "C", "C": "C", "T": "T"}
BASES = frozenset("ACGT")
# Window bytes (-1 outside the chromosome, 0..15 bases, 16..19 N, other no base) as letters:
# '|' outside, so that no base ever matches beyond a chromosome end.
_LETTERS = np.frombuffer(b"|" + b"ACGT" * 4 + b"N" * 4 + b"?" * 236, dtype=np.uint8)
WIDTH = 32  # reference bases read on each side at first


def normalise(position, ref, alt):
    """(kind, start, bases) of an indel at a 1-based position: kind INSERTION or DELETION,
    start the 0-based reference index of the first deleted base or of the base the insertion
    goes before; or COMPLEX."""
    if ref == "-":  # MAF insertion, between Start_Position and the next base
        return INSERTION, position, alt
    if alt == "-":
        return DELETION, position - 1, ref
    shared = 0
    while shared < min(len(ref), len(alt)) and ref[shared] == alt[shared]:
        shared += 1
    ref, alt, start = ref[shared:], alt[shared:], position - 1 + shared
    while ref and alt and ref[-1] == alt[-1]:
        ref, alt = ref[:-1], alt[:-1]
    if ref and alt:
        return COMPLEX
    return (DELETION, start, ref) if ref else (INSERTION, start, alt)


def left_align(text, kind, start, bases):
    """(start, bases) of the indel moved as far left in `text` (reference letters) as it
    goes; start 0 means it reached the beginning of `text`."""
    length = len(bases)
    if kind == DELETION:
        while start > 0 and text[start - 1] == text[start + length - 1]:
            start -= 1
        return start, text[start:start + length]
    while start > 0 and text[start - 1] == bases[-1]:
        bases = bases[-1] + bases[:-1]
        start -= 1
    return start, bases


def copies_after(text, at, unit):
    """Copies of `unit` one after the other in `text` from index `at`, up to MAX_COUNT."""
    count, length = 0, len(unit)
    while count < MAX_COUNT and text[at:at + length] == unit:
        count += 1
        at += length
    return count


def microhomology(text, start, unit):
    """Longest prefix of a deleted `unit` at `start` that follows the deletion, or suffix that
    precedes it (shorter than the unit)."""
    length = len(unit)
    after = text[start + length:start + 2 * length - 1]
    before = text[max(0, start - length + 1):start]
    prefix = next((k for k in range(length - 1, 0, -1) if after[:k] == unit[:k]), 0)
    suffix = next((k for k in range(length - 1, 0, -1) if before[-k:] == unit[-k:]), 0)
    return max(prefix, suffix)


def label(text, kind, start, bases):
    """The ID83 label of an indel of `bases` at index `start` of `text`, the reference letters
    around it ('|' beyond a chromosome end); None when left alignment reached the beginning
    of `text` (read more reference to the left)."""
    start, unit = left_align(text, kind, start, bases)
    if start == 0:
        return None
    length = len(unit)
    size = min(length, MAX_COUNT)
    count = copies_after(text, start + length if kind == DELETION else start, unit)
    if length == 1:
        return f"1:{kind}:{_FOLD[unit]}:{count}"
    if kind == INSERTION or count:
        return f"{size}:{kind}:R:{count}"
    homology = microhomology(text, start, unit)
    if homology:
        return f"{size}:Del:M:{min(homology, MAX_COUNT)}"
    return f"{size}:Del:R:0"


def classify_indels(position, ref, alt, window):
    """ID83 channel index of each record (position: 1-based int array; ref, alt: object
    arrays of upper-case str), or -1 - i for REASONS[i]. `window(before, after, rows)` gives
    the raw reference bytes around the records `rows` (see kinds.Batch.window)."""
    codes = np.empty(len(position), dtype=np.int64)
    events = {}  # record -> (kind, start relative to its position, bases)
    for i, (pos, r, a) in enumerate(zip(position.tolist(), ref.tolist(), alt.tolist())):
        event = normalise(pos, r, a)
        if event == COMPLEX:
            codes[i] = -1 - REASONS.index(COMPLEX)
        elif not BASES.issuperset(event[2]):
            codes[i] = -1 - REASONS.index(NOT_ACGT_INDEL)
        else:
            events[i] = (event[0], event[1] - (pos - 1), event[2])
    # Reference read on each side of a record: enough for five copies of its unit and the
    # microhomology after it, as a power of two, so that records of like size share one read.
    width = {i: _power_of_two(max(WIDTH, 8 * len(bases) + offset))
             for i, (_, offset, bases) in events.items()}
    while events:
        for side in sorted(set(width.values())):
            rows = np.array([i for i in events if width[i] == side], dtype=np.int64)
            if not len(rows):
                continue
            letters = _LETTERS[window(side, side, rows).astype(np.int64) + 1]
            for row, i in zip(letters, rows.tolist()):
                kind, offset, bases = events[i]
                found = label(row.tobytes().decode("ascii"), kind, side + offset, bases)
                if found is None:  # left alignment ran to the start of what was read
                    width[i] = 4 * side
                else:
                    codes[i] = INDEX[found]
                    del events[i], width[i]
    return codes


def _power_of_two(number):
    return 1 << (number - 1).bit_length()


is_indel = of_shape(INDEL)  # alleles of different lengths, or a MAF's '-' for one of them


def _classify(batch):
    """classify_indels of each distinct indel once (a VCF record carried by several samples
    is several records of one indel)."""
    index = {}
    inverse = np.fromiter(
        (index.setdefault(key, len(index)) for key in zip(
            batch.chromosome.tolist(), batch.position.tolist(), batch.ref.tolist(),
            batch.alt.tolist())),
        dtype=np.int64, count=len(batch))
    first = np.full(len(index), len(batch), dtype=np.int64)
    np.minimum.at(first, inverse, np.arange(len(batch)))
    codes = classify_indels(batch.position[first], batch.ref[first], batch.alt[first],
                            lambda before, after, rows: batch.window(before, after, first[rows]))
    return codes[inverse]


register_class(MutationClass("ID", is_indel, "small insertion or deletion", INDEL))
register(Kind("ID83", channels.ID83, "ID", classify=_classify, reasons=REASONS, layout="id83",
              default="when present"))
