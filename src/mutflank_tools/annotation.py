"""Transcribed regions from a gene annotation (GTF or GFF3, plain or gzip), for reference
folders that carry the transcriptional strand of every base.

A reference byte 0..3 is a base (A, C, G, T); `base + 4 * s` is the same base with strand bits
s: 0 outside every transcribed region, 1 inside one on the + strand only, 2 on the - strand
only, 3 on both. N bytes (16) are left as they are.

The annotation is streamed once, line by line; only the gene and transcript features are kept,
as one merged list of intervals per sequence and strand, so memory grows with the number of
such features (a human annotation: a few MB), not with the file (exons, CDS and UTRs, the
bulk of it, are skipped).
"""

import gzip
import os
import zlib

import numpy as np

from .errors import InputError
from .reference_folder import chromosome_aliases

# Feature types that mark a transcribed region: genes and transcripts of every kind.
FEATURES = frozenset((b"gene", b"transcript", b"mRNA", b"primary_transcript"))
FEATURE_SUFFIXES = (b"_gene", b"_transcript", b"RNA")
STRANDS = {b"+": 0, b"-": 1}  # index into the per-strand interval lists
MARKER = ".mutflank-annotation"  # file in an annotated build folder (not a .txt chromosome)
READ_SIZE = 1 << 20


def is_transcribed(feature):
    return feature in FEATURES or feature.endswith(FEATURE_SUFFIXES)


class AnnotationError(Exception):
    """A malformed annotation file; the message names the line."""


def _merged(starts, ends):
    """Disjoint sorted half-open intervals covering the union of [starts, ends)."""
    if not starts:
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    starts = np.asarray(starts, np.int64)
    ends = np.asarray(ends, np.int64)
    order = np.argsort(starts, kind="stable")
    starts, ends = starts[order], ends[order]
    reach = np.maximum.accumulate(ends)
    # a new interval begins where its start lies beyond everything before it
    new = np.ones(len(starts), bool)
    new[1:] = starts[1:] > reach[:-1]
    first = np.flatnonzero(new)
    last = np.r_[first[1:], len(starts)] - 1
    return starts[first], reach[last]


class Annotation:
    """The transcribed regions of each sequence: {name: ((starts, ends) of +, (starts, ends)
    of -)}, 0-based half-open, merged."""

    def __init__(self, regions, features):
        self.regions = regions
        self.features = features  # gene and transcript features read

    def key_for(self, name):
        """The sequence name under which the annotation holds FASTA sequence `name`'s regions:
        its own name, else an alias (chr1 for 1, MT for chrM); None when it holds none."""
        for key in (name, *chromosome_aliases(name)):
            if key in self.regions:
                return key
        return None


def _open(path):
    if os.path.isdir(path):
        raise InputError(f"{path}: is a folder")
    try:
        raw = open(path, "rb")
    except OSError as error:
        raise InputError(f"{path}: {error.strerror}") from None
    if raw.read(2) == b"\x1f\x8b":
        raw.seek(0)
        return gzip.GzipFile(fileobj=raw, mode="rb"), raw
    raw.seek(0)
    return raw, raw


def read_annotation(path, bar=None):
    """The Annotation of a GTF or GFF3 file. InputError naming the file (and line) when it
    cannot be read or holds no gene or transcript feature."""
    collected = {}  # name -> ([+ starts], [+ ends], [- starts], [- ends])
    features = 0
    stream, raw = _open(path)
    number = 0
    done = 0
    try:
        with stream, raw:
            for number, line in enumerate(stream, 1):
                if line[:1] == b"#":
                    if line.startswith(b"##FASTA"):
                        break  # GFF3: sequences follow, no more features
                    continue
                fields = line.split(b"\t", 8)
                if len(fields) < 8:
                    if line.strip():
                        raise AnnotationError(
                            f"line {number}: {len(fields)} tab-separated fields, "
                            "a GTF or GFF3 line has 9")
                    continue
                if not is_transcribed(fields[2]):
                    continue
                strand = STRANDS.get(fields[6])
                if strand is None:
                    continue  # no strand ('.' or '?'): no transcribed strand to tell
                try:
                    start, end = int(fields[3]), int(fields[4])
                except ValueError:
                    raise AnnotationError(f"line {number}: start and end are not whole "
                                          "numbers") from None
                if start < 1 or end < start:
                    raise AnnotationError(f"line {number}: start {start} and end {end} are "
                                          "not 1 <= start <= end")
                try:
                    name = fields[0].decode("utf-8")
                except UnicodeDecodeError:
                    raise AnnotationError(f"line {number}: sequence name is not valid "
                                          "UTF-8") from None
                lists = collected.get(name)
                if lists is None:
                    lists = collected[name] = ([], [], [], [])
                lists[2 * strand].append(start - 1)
                lists[2 * strand + 1].append(end)
                features += 1
                if bar is not None and number % 65536 == 0:
                    position = raw.tell()
                    bar.update(position - done)
                    done = position
    except (EOFError, zlib.error, gzip.BadGzipFile) as error:
        raise InputError(f"{path}: cannot decompress: {error}") from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None
    except AnnotationError as error:
        raise InputError(f"{path}: {error}") from None
    if not features:
        raise InputError(f"{path}: no gene or transcript feature with a strand: not a GTF "
                         "or GFF3 annotation")
    regions = {name: (_merged(lists[0], lists[1]), _merged(lists[2], lists[3]))
               for name, lists in collected.items()}
    return Annotation(regions, features)


def strand_bits(regions, start, length):
    """uint8 strand bits s (0..3) of the bases start .. start+length-1 of a sequence whose
    merged regions are `regions` (None: no gene on it)."""
    bits = np.zeros(length, np.uint8)
    if regions is None:
        return bits
    end = start + length
    for bit, (starts, ends) in ((1, regions[0]), (2, regions[1])):
        first = np.searchsorted(ends, start, side="right")
        last = np.searchsorted(starts, end, side="left")
        for lo, hi in zip(starts[first:last], ends[first:last]):
            bits[max(lo, start) - start:min(hi, end) - start] |= bit
    return bits


class StrandPainter:
    """Adds the strand bits to encoded bases as the reference writer writes them, one
    sequence after the other (see fasta.ReferenceWriter)."""

    def __init__(self, annotation):
        self.annotation = annotation
        self.painted = set()  # annotation sequences that met a FASTA sequence
        self._regions = None
        self._offset = 0

    def start(self, name):
        key = self.annotation.key_for(name)
        self._regions = None if key is None else self.annotation.regions[key]
        if key is not None:
            self.painted.add(key)
        self._offset = 0

    def paint(self, encoded):
        """`encoded` (bytes of codes 0..3 and 16) with the strand bits of its bases added."""
        offset = self._offset
        self._offset += len(encoded)
        if self._regions is None:
            return encoded
        bits = strand_bits(self._regions, offset, len(encoded))
        if not bits.any():
            return encoded
        codes = np.frombuffer(encoded, np.uint8)
        return np.where(codes < 4, codes | (bits << 2), codes).astype(np.uint8).tobytes()

    def unmatched(self):
        """Names of annotated sequences that no FASTA sequence took."""
        return sorted(set(self.annotation.regions) - self.painted)


def write_marker(folder, annotation_path, annotation):
    """Marks a build folder as annotated (the strand matrices need one)."""
    with open(os.path.join(folder, MARKER), "w", encoding="utf-8") as marker:
        marker.write(f"annotation\t{os.path.basename(annotation_path)}\n"
                     f"features\t{annotation.features}\n")


def is_annotated(build_folder):
    """Whether `mutflank reference --annotation` wrote this build folder."""
    return os.path.isfile(os.path.join(build_folder, MARKER))
