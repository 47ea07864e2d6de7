"""Transcriptional strand of single-base substitutions: SBS384 (each SBS96 channel on the
transcribed strand T, the untranscribed strand U, in genes on both strands B, or in none N) and
SBS192 (its T and U rows, in the published order: U first).

The substitution is folded onto its pyrimidine reference base. A gene on the + strand has the
reference's forward strand as its coding (untranscribed) strand, one on the - strand the
reverse. So a C or T reference base (folded: itself, on the forward strand) is U in a + gene
and T in a - gene; an A or G reference base (folded: its complement, on the reverse strand) is
T in a + gene and U in a - gene. Strand bits s = byte >> 2 of the reference base: 1 + only,
2 - only, 3 both (B), 0 none (N).
"""

import numpy as np

from .. import channels
from . import Kind, get, register, sbs

STRANDS = ("T", "U", "B", "N")  # the row blocks of SBS384, in order
SBS384 = tuple(f"{strand}:{label}" for strand in STRANDS for label in channels.SBS96)
T, U, B, N = range(4)


def _strand_table():
    """Strand class (index into STRANDS) of each reference byte 0..15."""
    table = np.full(16, N, dtype=np.int64)
    for byte in range(16):
        base, bits = byte & 3, byte >> 2
        pyrimidine = base in (1, 3)  # C, T: the folded base is on the forward strand
        if bits == 1:
            table[byte] = U if pyrimidine else T
        elif bits == 2:
            table[byte] = T if pyrimidine else U
        elif bits == 3:
            table[byte] = B
    return table


STRAND_OF_BYTE = _strand_table()


def strand_classes(reference_bytes):
    """Strand class (T 0, U 1, B 2, N 3) of the substitutions at these raw reference bytes
    (0..15; a byte that is no base gives N)."""
    codes = np.asarray(reference_bytes, dtype=np.int64)
    inside = (codes >= 0) & (codes < 16)
    return np.where(inside, STRAND_OF_BYTE[np.where(inside, codes, 0)], N)


def sbs384_codes(sbs96_codes, reference_bytes):
    """SBS384 channel index of each substitution from its SBS96 code (negative codes, reasons,
    kept as they are) and the raw reference byte at its position."""
    codes = np.asarray(sbs96_codes, dtype=np.int64)
    return np.where(codes >= 0, strand_classes(reference_bytes) * 96 + codes, codes)


def _sbs192_fold():
    """SBS192 channel of each SBS384 channel, -1 for the B and N rows (not in SBS192)."""
    index = {label: i for i, label in enumerate(channels.SBS192)}
    return tuple(index.get(label, -1) for label in SBS384)


SBS192_OF_SBS384 = _sbs192_fold()


BOTH_STRANDS = "in genes on both strands"
NO_GENE = "outside every annotated gene"
REASONS_192 = sbs.REASONS + (BOTH_STRANDS, NO_GENE)
_FOLD_192 = np.array(SBS192_OF_SBS384, dtype=np.int64)


def _classify_384(batch):
    return sbs384_codes(get("SBS96").classify(batch), batch.window(0, 0)[:, 0])


def _classify_192(batch):
    codes = _classify_384(batch)
    good = codes >= 0
    result = np.where(good, _FOLD_192[np.where(good, codes, 0)], codes)
    both = good & (codes // 96 == B)
    none = good & (codes // 96 == N)
    result[both] = -1 - REASONS_192.index(BOTH_STRANDS)
    result[none] = -1 - REASONS_192.index(NO_GENE)
    return result


register(Kind("SBS192", channels.SBS192, "SBS", flank=1, classify=_classify_192,
              reasons=REASONS_192, strand=True, layout="sbs192", default=False))
register(Kind("SBS384", SBS384, "SBS", flank=1, classify=_classify_384, reasons=sbs.REASONS,
              strand=True, layout="sbs384", default=False))
