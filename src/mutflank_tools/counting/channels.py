"""The channels of the three single-base-substitution matrices, in their conventional order,
and the foldings of the larger onto the smaller (what the matrix kinds in `kinds` count).

- SBS6: the six classes of a pyrimidine reference base, C>A C>G C>T T>A T>C T>G.
- SBS96: each class with one base on each side, `A[C>A]A` ... `T[T>G]T`, by class, then the
  left base, then the right base.
- SBS1536: each class with two bases on each side, `AA[C>A]AA` ..., by class, then the two
  left bases, then the two right bases.
"""

import itertools
import os

BASES = "ACGT"
CLASSES = ("C>A", "C>G", "C>T", "T>A", "T>C", "T>G")
_PAIRS = ["".join(pair) for pair in itertools.product(BASES, repeat=2)]

SBS6 = CLASSES
SBS96 = tuple(f"{left}[{cls}]{right}" for cls in CLASSES for left in BASES for right in BASES)
SBS1536 = tuple(
    f"{left}[{cls}]{right}" for cls in CLASSES for left in _PAIRS for right in _PAIRS
)


def published_order(name):
    """The channel labels of a published reference table, in its row order (the files in
    `orders/`, one label a line)."""
    path = os.path.join(os.path.dirname(__file__), "orders", f"{name}.txt")
    with open(path, encoding="ascii") as lines:
        return tuple(line.strip() for line in lines if line.strip())


SBS192 = published_order("SBS192")
DBS78 = published_order("DBS78")
ID83 = published_order("ID83")
CHANNELS = {"SBS6": SBS6, "SBS96": SBS96, "SBS1536": SBS1536}
TYPES = tuple(CHANNELS)


def sbs96_of_sbs1536(counts_1536):
    """Folds an array whose last axis holds the 1536 channels onto the 96 (the inner bases)."""
    shaped = counts_1536.reshape(*counts_1536.shape[:-1], 6, 4, 4, 4, 4)
    return shaped.sum(axis=(-4, -1)).reshape(*counts_1536.shape[:-1], 96)


def sbs6_of_sbs96(counts_96):
    """Sums an array whose last axis holds the 96 channels by class."""
    return counts_96.reshape(*counts_96.shape[:-1], 6, 16).sum(axis=-1)
