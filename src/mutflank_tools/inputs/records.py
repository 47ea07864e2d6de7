"""Records: one batch of mutation records read from one input, as NumPy columns of equal
length, and the rules every reader and consumer of records shares (the reasons a record is left
out, the variant class of a pair of alleles).

One record is one sample and one alternate allele that the sample carries, with the alleles as
the input writes them (upper-cased for VCF and MAF; a VCF indel keeps its anchor base, a MAF
indel its '-'). Records that a reader drops are counted in `left_out`, by (reason, chromosome).

Two columns are filled by default when a reader does not give them: `phase`, the haplotypes of
a phased genotype that carry the allele (0: not phased, the only value of MAF and tables; see
`phase_code`), and `weight`, how many input records a row stands for (1; counting sets 2 for a
doublet merged from two SNVs, and 1 and 0 for the pieces of one record split at its unchanged
bases), so that every summary counts the records of the input.
"""

import os
from dataclasses import dataclass, field

import numpy as np

from .left_out import LeftOut  # noqa: F401 (the one LeftOut, as readers import it)

BASES = frozenset("ACGT")

# Reasons for leaving a record out, as they appear in the summaries.
NOT_PASS = "filter not PASS"
NO_CARRIER = "no sample carries the allele"
NOT_VARIANT = "allele *, . or equal to REF"
SYMBOLIC = "symbolic allele"
FEWER_FIELDS = "fewer than ten fields"
BAD_POSITION = "position not a number"

SUFFIXES = (".gz", ".bgz")
FORMATS = (".vcf", ".bcf", ".maf", ".tsv", ".txt")


@dataclass
class Records:
    """One batch of records from one input (see the module's text). Every column has one entry
    per record; `line` is the 1-based line of the input (for BCF: the record number)."""

    input: object  # the inputs.open.Input it came from
    sample: np.ndarray  # object: str, as written
    chromosome: np.ndarray  # object: str, as written
    build: np.ndarray  # object: str, as written; '' when the input does not say (VCF)
    position: np.ndarray  # uint64, 1-based
    ref: np.ndarray  # object: str
    alt: np.ndarray  # object: str, one alternate allele
    filter: np.ndarray  # object: str, FILTER text; '' when the format has none (None: not
    # carried, as counting, which reads no FILTER past the readers, makes its records)
    line: np.ndarray  # int64
    id: np.ndarray  # object: str, the record's ID ('.' when the format has none; None: as filter)
    left_out: LeftOut = field(default_factory=LeftOut)  # dropped since the previous batch
    phase: np.ndarray = None  # int64, see phase_code; None: not phased (zeros)
    weight: np.ndarray = None  # int64, input records a row stands for; None: ones

    def __post_init__(self):
        if self.phase is None:
            self.phase = np.zeros(len(self.position), dtype=np.int64)
        if self.weight is None:
            self.weight = np.ones(len(self.position), dtype=np.int64)

    def __len__(self):
        return len(self.position)

    # The columns a reader gives, in the order of the constructor; EVERY_COLUMN adds the two
    # that default.
    COLUMNS = ("sample", "chromosome", "build", "position", "ref", "alt", "filter", "line", "id")
    EVERY_COLUMN = COLUMNS + ("phase", "weight")

    def take(self, index, left_out=None):
        """The records at `index` (a bool mask or positions), as a new Records."""
        return type(self)(input=self.input,
                          left_out=LeftOut() if left_out is None else left_out,
                          **{name: _rows(getattr(self, name), index)
                             for name in self.EVERY_COLUMN})

    @classmethod
    def concatenate(cls, source, pieces, left_out):
        """One Records of the pieces' records, in order, with `left_out`."""
        if len(pieces) == 1:
            pieces[0].left_out = left_out
            return pieces[0]
        if not pieces:
            return cls.empty(source, left_out)
        return cls(input=source, left_out=left_out, **{
            name: _joined([getattr(piece, name) for piece in pieces])
            for name in cls.EVERY_COLUMN})

    @classmethod
    def empty(cls, source, left_out=None):
        """No records, with `left_out`."""
        types = {"position": np.uint64, "line": np.int64, "phase": np.int64, "weight": np.int64}
        return cls(input=source, left_out=LeftOut() if left_out is None else left_out,
                   **{name: np.zeros(0, dtype=types.get(name, object))
                      for name in cls.EVERY_COLUMN})

    @classmethod
    def of_lists(cls, source, sample, chromosome, build, position, ref, alt, filter, line, ident,
                 left_out):
        """Records from Python lists (one entry per record)."""
        def objects(values):
            array = np.empty(len(values), dtype=object)
            array[:] = values
            return array
        return cls(source, objects(sample), objects(chromosome), objects(build),
                   np.array(position, dtype=np.uint64), objects(ref), objects(alt),
                   objects(filter), np.array(line, dtype=np.int64), objects(ident), left_out)


def _rows(column, index):
    """The rows `index` of a column, None of a column not carried."""
    return None if column is None else column[index]


def _joined(columns):
    """The columns of several Records one after the other, None when they are not carried."""
    return None if columns[0] is None else np.concatenate(columns)


def phase_code(haplotypes, phase_set=0):
    """The `phase` of a record from a phased genotype: the bits of the haplotypes that carry
    its allele (1 the first, 2 the second, 3 both) and the genotype's phase set (PS + 1, or 0
    where the sample has no PS); 0 stands for an unphased genotype. Two records are in trans,
    on different molecules, when both are phased in one phase set with no haplotype in
    common (the doublet merger's rule, counting/doublets.py)."""
    return haplotypes | (phase_set << 2) if haplotypes else 0


def allele_fault(ref, alt):
    """Why an alternate allele gives no record (a reason above), or None. Alleles upper-case."""
    if alt in ("*", ".", ""):
        return NOT_VARIANT
    if alt[0] == "<" or "[" in alt or "]" in alt:
        return SYMBOLIC
    if alt == ref:
        return NOT_VARIANT
    return None


def differing(ref, alt):
    """(start, end) of the stretch where two equal-length alleles differ, their common leading
    and trailing bases left aside; start == end when they are equal."""
    start, end = 0, len(ref)
    while start < end and ref[start] == alt[start]:
        start += 1
    while end > start and ref[end - 1] == alt[end - 1]:
        end -= 1
    return start, end


def classify(pos, ref, alt):
    """(type, position, REF, ALT) of one record's alleles (upper-case), or the reason it is no
    variant. Equal-length alleles are trimmed of their common leading and trailing bases first
    (REF ATG, ALT ACG at 100 is the SNV T>C at 101); type is "SNV" for one substituted base,
    "DBS" for two, "MNV" for more, "INDEL" when the lengths differ (or an allele is '-'),
    "OTHER" for a substitution of bases other than A, C, G, T."""
    fault = allele_fault(ref, alt)
    if fault is not None:
        return fault
    if len(ref) != len(alt) or ref == "-" or alt == "-":
        return "INDEL", pos, ref, alt
    start, end = differing(ref, alt)
    if start == end:
        return NOT_VARIANT
    ref, alt, pos = ref[start:end], alt[start:end], pos + start
    if not (BASES.issuperset(ref) and BASES.issuperset(alt)):
        return "OTHER", pos, ref, alt
    return {1: "SNV", 2: "DBS"}.get(len(ref), "MNV"), pos, ref, alt


def sample_from_path(path):
    """The file name without its folder and its .vcf/.bcf/.maf/.tsv/.txt (and .gz/.bgz)
    suffix: the sample of a VCF without genotypes, and the default project."""
    name = os.path.basename(os.fspath(path))
    for suffixes in (SUFFIXES, FORMATS):
        for suffix in suffixes:
            if name.endswith(suffix) and len(name) > len(suffix):
                name = name[: -len(suffix)]
                break
    return name
