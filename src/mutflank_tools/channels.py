"""The channels of the three single-base-substitution matrices, in their conventional order,
and the mapping of a context string (as `mutflank.parse_vcf_files` writes it) to them.

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
# Bases on each side of the substitution that each type needs (SBS6 comes from SBS96).
FLANK = {"SBS6": 1, "SBS96": 1, "SBS1536": 2}

_INDEX_96 = {channel: i for i, channel in enumerate(SBS96)}
_INDEX_1536 = {channel: i for i, channel in enumerate(SBS1536)}

# Codes beyond the channels: why a context is no channel of a type.
AT_START = "at a chromosome start"
NOT_ACGT = "a base other than A, C, G, T beside it"
NO_CLASS = "not a substitution of one A, C, G or T base"
REASONS = (AT_START, NOT_ACGT, NO_CLASS)
OFFSET_96 = len(SBS96)
OFFSET_1536 = len(SBS1536)


def _code(flank_left, substitution, flank_right, flank, channel_index):
    if len(flank_left) < flank or len(flank_right) < flank:
        return AT_START
    text = f"{flank_left[len(flank_left) - flank:]}[{substitution}]{flank_right[:flank]}"
    index = channel_index.get(text)
    if index is not None:
        return index
    if substitution not in CLASSES:
        return NO_CLASS
    return NOT_ACGT


def context_codes(context):
    """(SBS96 code, SBS1536 code) of one context string of any width: a channel index, or
    channel count + the index of the reason in REASONS when the context is no channel."""
    open_at = context.find("[")
    close_at = context.find("]", open_at)
    if open_at < 0 or close_at < 0:
        return OFFSET_96 + 2, OFFSET_1536 + 2
    left, substitution, right = (
        context[:open_at], context[open_at + 1:close_at], context[close_at + 1:])
    codes = []
    for flank, index, offset in ((1, _INDEX_96, OFFSET_96), (2, _INDEX_1536, OFFSET_1536)):
        code = _code(left, substitution, right, flank, index)
        codes.append(code if isinstance(code, int) else offset + REASONS.index(code))
    return tuple(codes)


def sbs96_of_sbs1536(counts_1536):
    """Folds an array whose last axis holds the 1536 channels onto the 96 (the inner bases)."""
    shaped = counts_1536.reshape(*counts_1536.shape[:-1], 6, 4, 4, 4, 4)
    return shaped.sum(axis=(-4, -1)).reshape(*counts_1536.shape[:-1], 96)


def sbs6_of_sbs96(counts_96):
    """Sums an array whose last axis holds the 96 channels by class."""
    return counts_96.reshape(*counts_96.shape[:-1], 6, 16).sum(axis=-1)
