"""Doublet-base substitutions: DBS78, the 78 channels of two adjacent bases both replaced
(`AC>CA`), as one record of two-base alleles or two adjacent SNVs merged (doublets.py).

A doublet whose reference is not one of the ten canonical reference doublets (AC, AT, CC, CG,
CT, GC, TA, TC, TG, TT) is reverse-complemented, REF and ALT both. For the four palindromic
reference doublets (AT, CG, GC, TA) a doublet and its reverse complement are one channel; the
label is whichever of the two the published order holds.
"""

import numpy as np

from .. import channels
from . import DOUBLET, MULTI, Kind, MutationClass, of_shape, register, register_class

BASES = "ACGT"
CANONICAL = ("AC", "AT", "CC", "CG", "CT", "GC", "TA", "TC", "TG", "TT")
_COMPLEMENT = str.maketrans("ACGT", "TGCA")


def reverse_complement(text):
    return text.translate(_COMPLEMENT)[::-1]


def label(ref, alt):
    """The DBS78 label of a doublet (two-base REF and ALT of A, C, G, T, both bases
    different), or None when it is no doublet of DBS78."""
    if (len(ref) != 2 or len(alt) != 2 or ref[0] == alt[0] or ref[1] == alt[1]
            or not set(ref + alt) <= set(BASES)):
        return None
    if ref not in CANONICAL:
        ref, alt = reverse_complement(ref), reverse_complement(alt)
    text = f"{ref}>{alt}"
    if text in _INDEX:
        return text
    return f"{ref}>{reverse_complement(alt)}"  # palindromic reference: the other label


_INDEX = {text: i for i, text in enumerate(channels.DBS78)}


def _code_table():
    """Channel index of each (REF pair, ALT pair) as 4-bit base codes: ref0 ref1 alt0 alt1,
    A 0, C 1, G 2, T 3; -1 for pairs that are no doublet."""
    table = np.full(256, -1, dtype=np.int64)
    for code in range(256):
        bases = "".join(BASES[(code >> shift) & 3] for shift in (6, 4, 2, 0))
        text = label(bases[:2], bases[2:])
        if text is not None:
            table[code] = _INDEX[text]
    return table


CODE_TABLE = _code_table()
_LETTER = np.full(256, 4, dtype=np.int64)
for _code, _base in enumerate(BASES):
    _LETTER[ord(_base)] = _code


def _letters(texts, length):
    """(records, length) base codes (A 0 .. T 3, other 4) of an object array of str, each of
    `length` letters."""
    data = np.frombuffer("".join(texts.tolist()).encode("ascii", "replace"), dtype=np.uint8)
    return _LETTER[data].reshape(len(texts), length)


# Two-base REF and ALT of A, C, G, T with both bases different (object arrays of str).
is_doublet = of_shape(DOUBLET)


def dbs78_codes(ref, alt):
    """DBS78 channel index of each doublet (object arrays of two-letter str; see is_doublet)."""
    if len(ref) == 0:
        return np.zeros(0, dtype=np.int64)
    r, a = _letters(ref, 2), _letters(alt, 2)
    return CODE_TABLE[(r[:, 0] << 6) | (r[:, 1] << 4) | (a[:, 0] << 2) | a[:, 1]]


# Three or more bases replaced by as many (alleles of equal length, A, C, G, T).
is_multi_base = of_shape(MULTI)
register_class(MutationClass("DBS", is_doublet, "doublet-base substitution", DOUBLET))
register(Kind("DBS78", channels.DBS78, "DBS", classify=lambda batch: dbs78_codes(batch.ref,
                                                                                 batch.alt),
              layout="dbs78", default="when present"))
# No matrix takes these; a class of their own names them in the summary of what was left out.
# A record of this class is cut into the stretches of changed bases it holds before counting
# (doublets.split_substitutions); a stretch of three or more is left out as a multi-base
# substitution.
register_class(MutationClass("MBS", is_multi_base, "substitution of three or more bases",
                             MULTI))
