"""Channel labels as published signature tables spell them, mapped to the labels of
`mutflank matrix` (docs/classes.md), so that a table downloaded from COSMIC or shipped by an R
package is read as it is.

- One label column (`MutationType` or `Type`): our labels (`A[C>A]A`,
  `T:A[C>A]A`, `AC>CA`, `1:Del:C:0`) as they are, and COSMIC's indel labels
  `DEL|INS _ C|T|repeats|MH _ size _ count` (`DEL_C_1_0` is `1:Del:C:0`, `INS_repeats_5+_5+`
  is `5:Ins:R:5`, `DEL_MH_3_2` is `3:Del:M:2`; `5+` is our 5).
- Two label columns `Type` and `Subtype`: a substitution class and its context, `C>A` and
  `ACA` (SBS96) or `AACAA` (SBS1536), the class's reference base in the middle of the context,
  is `A[C>A]A`; a doublet group and its alternate doublet, `AC>NN` and `CA`, is `AC>CA`.
- Three label columns `Strand`, `Type` and `Subtype`: a strand letter (T, U, B, N) before the
  two above, `T` `C>A` `ACA` is `T:A[C>A]A`.
Header names are matched without regard to case."""

import re

ONE = ("MutationType", "Type")
TWO = ("type", "subtype")
THREE = ("strand", "type", "subtype")
STRANDS = frozenset("TUBN")
BASES = frozenset("ACGT")

_INDEL = re.compile(r"(DEL|INS)_(C|T|repeats|MH)_([1-5]|5\+)_([0-5]|5\+)")
_CHANGE = {"DEL": "Del", "INS": "Ins"}
_UNIT = {"C": "C", "T": "T", "repeats": "R", "MH": "M"}


def label_columns(header):
    """How many leading columns of a table with this header row hold its channel labels: 3,
    2 or 1 by the layouts above; 0 when the first field is none of them."""
    lowered = [name.strip().lower() for name in header[:3]]
    if tuple(lowered) == THREE:
        return 3
    if tuple(lowered[:2]) == TWO:
        return 2
    return 1 if header and header[0] in ONE else 0


def channel(fields):
    """Our label of the label fields of one row (1, 2 or 3 of them, as label_columns said).
    A label that is none of the published spellings is returned as written: the reader then
    says it is no channel of the matrix or the signatures, as it says of any unknown label."""
    if len(fields) == 1:
        return _single(fields[0])
    if len(fields) == 3:
        strand, rest = fields[0], _pair(fields[1], fields[2])
        return f"{strand}:{rest}" if strand in STRANDS and rest is not None else \
            ":".join(fields)
    return _pair(*fields) or ":".join(fields)


def _single(text):
    match = _INDEL.fullmatch(text)
    if match is None:
        return text
    change, unit, size, count = match.groups()
    return f"{size[0]}:{_CHANGE[change]}:{_UNIT[unit]}:{count[0]}"


def _pair(kind, context):
    """`C>A` + `ACA` -> `A[C>A]A`; `AC>NN` + `CA` -> `AC>CA`; None for anything else."""
    reference, _, alternate = kind.partition(">")
    if len(reference) == 1 and len(alternate) == 1 and len(context) % 2 == 1:
        middle = len(context) // 2
        if context[middle] == reference and set(context) <= BASES:
            return f"{context[:middle]}[{kind}]{context[middle + 1:]}"
    if len(reference) == 2 and alternate == "NN" and len(context) == 2:
        return f"{reference}>{context}"
    return None
