"""Transcribed regions from a gene annotation (GTF or GFF3, plain or gzip), for reference
folders that carry the transcriptional strand of every base.

A reference byte 0..3 is a base (A, C, G, T); `base + 4 * s` is the same base with strand bits
s: 0 outside every transcribed region, 1 inside one on the + strand only, 2 on the - strand
only, 3 on both. N bytes (16) are left as they are. A transcribed region is a feature of type
gene or transcript (GTF), or gene, mRNA, ncRNA_gene, lnc_RNA, pseudogenic_transcript... (any
type named gene, transcript or mRNA, or ending in _gene, _transcript or RNA: GFF3).

Reading: the annotation is streamed once. Most of a human annotation (1.5 GB) is exons, CDS and
UTRs; `grep -F` picks out the lines that can name a transcribed type (their type and the tab
after it), behind `igzip` (or `gzip`) for a compressed file, in processes of their own, while
`mutflank reference` converts the FASTA. Only those lines reach Python, in a thread, and are
kept as one merged list of intervals per sequence and strand: memory grows with the number of
genes and transcripts (a few MB for a human annotation), not with the file.

Painting: the strand bits are added to the written reference files afterwards, in place,
stretch by stretch of one level, through a memory map.
"""

import array
import mmap
import os
import shutil
import subprocess
import tempfile
import threading

import numpy as np

from ..runtime.errors import InputError
from .folder import chromosome_aliases

TYPES = frozenset((b"gene", b"transcript", b"mRNA", b"primary_transcript"))
TYPE_SUFFIXES = (b"_gene", b"_transcript", b"RNA")
# Text that every line of a transcribed feature holds: the end of its type and the tab after.
MARKS = ("gene\t", "transcript\t", "RNA\t", "##FASTA")
STRANDS = {b"+": 0, b"-": 1}  # index into the per-strand interval lists
MARKER = ".mutflank-annotation"  # file in an annotated build folder (not a .txt chromosome)
PAINT_BYTES = 1 << 22  # bases painted at a time (bounds the temporary mask)
PENDING = 1 << 16  # intervals of a sequence and strand read before they are merged
FAR = 1 << 62  # beyond every sequence: larger coordinates are taken as this one
MAX_LINE = 16 << 20  # bytes of the longest annotation line read


def is_transcribed(feature):
    return feature in TYPES or feature.endswith(TYPE_SUFFIXES)


class AnnotationError(Exception):
    """A malformed annotation file; the message names the line."""


def merged(starts, ends):
    """Disjoint sorted half-open intervals covering the union of [starts, ends)."""
    if not len(starts):
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    starts = np.asarray(starts, np.int64)
    ends = np.asarray(ends, np.int64)
    order = np.argsort(starts, kind="stable")
    starts, ends = starts[order], ends[order]
    reach = np.maximum.accumulate(ends)
    new = np.ones(len(starts), bool)  # an interval that starts beyond everything before it
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


class _Strand:
    """The regions of one sequence and strand as they are read: merged intervals, and the
    intervals read since the last merge (8 bytes a number). They are merged when there are as
    many new ones as merged ones (at least PENDING): memory follows the merged regions, which
    the genome bounds, not the number of features, at a cost of O(n log n) in all."""

    def __init__(self):
        self.starts = self.ends = np.zeros(0, np.int64)
        self.new_starts, self.new_ends = array.array("q"), array.array("q")

    def add(self, start, end):
        self.new_starts.append(start)
        self.new_ends.append(end)
        if len(self.new_starts) >= max(PENDING, len(self.starts)):
            self.merge()

    def merge(self):
        if self.new_starts:
            self.starts, self.ends = merged(
                np.concatenate([self.starts, np.frombuffer(self.new_starts, np.int64)]),
                np.concatenate([self.ends, np.frombuffer(self.new_ends, np.int64)]))
            self.new_starts, self.new_ends = array.array("q"), array.array("q")
        return self.starts, self.ends


class Collector:
    """Gathers the features of annotation lines, one at a time."""

    def __init__(self):
        self.strands = {}  # name -> (_Strand of +, _Strand of -)
        self.features = 0

    def add(self, number, line):
        """Takes line `number` (bytes, without its line end) if it is a transcribed feature
        with a strand; AnnotationError when such a line is malformed. Coordinates beyond
        FAR, past the end of any sequence, are taken as FAR (the feature is then clipped at
        its sequence's end, as any feature that runs past it)."""
        fields = line.split(b"\t", 7)  # the attributes are not needed
        if len(fields) < 3 or fields[0][:1] == b"#" or not is_transcribed(fields[2]):
            return
        if len(fields) < 8:
            raise AnnotationError(f"line {number}: {len(fields)} tab-separated fields, a GTF or "
                                  "GFF3 line has 9")
        strand = STRANDS.get(fields[6])
        if strand is None:
            return  # no strand ('.' or '?'): no transcribed strand to tell
        try:
            start, end = int(fields[3]), int(fields[4])
        except ValueError:
            raise AnnotationError(f"line {number}: start and end are not whole numbers") from None
        if start < 1 or end < start:
            raise AnnotationError(f"line {number}: start {start} and end {end} are not "
                                  "1 <= start <= end")
        strands = self.strands.get(fields[0])
        if strands is None:
            strands = self.strands[fields[0]] = (_Strand(), _Strand())
        strands[strand].add(min(start - 1, FAR), min(end, FAR))
        self.features += 1

    def annotation(self):
        regions = {}
        for name, strands in self.strands.items():
            try:
                text = name.decode("utf-8")
            except UnicodeDecodeError:
                raise AnnotationError(f"sequence name {name!r} is not valid UTF-8") from None
            regions[text] = (strands[0].merge(), strands[1].merge())
        return Annotation(regions, self.features)


def _feed(head, source, process):
    """Writes `head` and the rest of `source` into the standard input of `process`, then
    closes both."""
    try:
        process.stdin.write(head)
        shutil.copyfileobj(source, process.stdin, 1 << 20)
    except OSError:
        pass  # the process stopped early (it was killed, or failed: result() tells)
    finally:
        source.close()
        try:
            process.stdin.close()
        except OSError:
            pass


def _decompressor():
    return ["igzip", "-dc"] if shutil.which("igzip") else ["gzip", "-dc"]


class AnnotationReading:
    """Reads an annotation in the background (see the module's text): started on creation,
    `result()` waits for it and gives the Annotation, or raises InputError naming the file
    (and the line at fault). `close()` stops it early."""

    def __init__(self, path):
        self.path = path
        if os.path.isdir(path):
            raise InputError(f"{path}: is a folder")
        try:
            source = open(path, "rb", buffering=0)  # unbuffered: seek(0) moves the descriptor
        except OSError as error:
            raise InputError(f"{path}: {error.strerror}") from None
        # Opened once: a pipe (--annotation <(zcat genes.gtf.gz)) can be read only once. A
        # file is handed to the first process as it is; a pipe whose first bytes were read to
        # tell gzip is fed to it by a thread, those bytes first.
        self._errors, self._processes, self._checks = [], [], []
        try:
            head = source.read(2)
            seekable = source.seekable()
            if seekable:
                source.seek(0)
            stdin = source if seekable else subprocess.PIPE
            if head == b"\x1f\x8b":
                stdin = self._start([*_decompressor(), "-c"], stdin, "decompress").stdout
            self._grep = self._start(
                ["grep", "-a", "-n", "-F", *(part for mark in MARKS for part in ("-e", mark))],
                stdin, "read")
            if self._grep is not self._processes[0]:
                stdin.close()  # grep holds the decompressor's output now
        except BaseException:
            source.close()
            raise
        if seekable:
            source.close()
        else:
            threading.Thread(target=_feed, args=(head, source, self._processes[0]),
                             daemon=True).start()
        self._collector = Collector()
        self._failure = None
        self._early = False  # stopped before grep's end: its exit status tells nothing
        self._thread = threading.Thread(target=self._collect, daemon=True)
        self._thread.start()

    def _start(self, command, stdin, what):
        errors = tempfile.TemporaryFile()
        process = subprocess.Popen(command, stdin=stdin, stdout=subprocess.PIPE, stderr=errors,
                                   env=dict(os.environ, LC_ALL="C"))
        self._errors.append(errors)
        self._processes.append(process)
        self._checks.append((process, errors, what))
        return process

    def _collect(self):
        try:
            while line := self._grep.stdout.readline(MAX_LINE + 1):
                number, _, text = line.rstrip(b"\r\n").partition(b":")
                if len(line) > MAX_LINE:
                    raise AnnotationError(f"line {int(number)}: longer than {MAX_LINE >> 20} "
                                          "MiB: not a GTF or GFF3 line")
                if text.startswith(b"##FASTA"):
                    self._early = True  # GFF3: sequences follow, no more features
                    break
                self._collector.add(int(number), text)
        except MemoryError:
            self._early = True
            self._failure = f"{self.path}: out of memory while reading it"
        except Exception as error:  # reported by result()
            self._early = True
            self._failure = f"{self.path}: {error}"
        finally:
            for process in self._processes:
                if self._early and process.poll() is None:
                    process.kill()
                process.wait()
            self._grep.stdout.close()

    def result(self):
        self._thread.join()
        try:
            # A process that failed on its own comes first: a file cut short also ends in
            # a malformed line. One killed here (-9, after a fault or ##FASTA) tells nothing.
            for process, errors, what in self._checks:
                if process.returncode > (1 if process is self._grep else 0):
                    if what == "decompress":
                        raise InputError(f"{self.path}: cannot decompress: not a valid, "
                                         "complete gzip file")
                    errors.seek(0)
                    said = errors.read().decode("utf-8", "replace").strip().splitlines()
                    if said and said[-1].endswith("memory exhausted"):
                        # grep holds one line at a time: only a line of hundreds of MB does it
                        raise InputError(f"{self.path}: a line longer than the memory allows "
                                         f"(grep: memory exhausted): not a GTF or GFF3 line")
                    raise InputError(f"{self.path}: cannot {what}: "
                                     + (said[-1] if said else f"status {process.returncode}"))
            if self._failure is not None:
                raise InputError(self._failure)
            try:
                annotation = self._collector.annotation()
            except AnnotationError as error:
                raise InputError(f"{self.path}: {error}") from None
            if not annotation.features:
                raise InputError(f"{self.path}: no gene or transcript feature with a strand: "
                                 "not a GTF or GFF3 annotation")
            return annotation
        finally:
            self.close()

    def close(self):
        """Stops the reading (when it still runs) and frees what it holds."""
        if self._thread.is_alive():
            self._early = True
            for process in self._processes:
                if process.poll() is None:
                    process.kill()
            self._thread.join()
        for errors in self._errors:
            errors.close()


def read_annotation(path):
    """The Annotation of a GTF or GFF3 file (see AnnotationReading)."""
    return AnnotationReading(path).result()


def strand_steps(regions):
    """The strand bits of a sequence as a step function: (edges, levels), level[i] holding
    on [edges[i], edges[i + 1]) and 0 before the first edge and from the last one on."""
    (plus_starts, plus_ends), (minus_starts, minus_ends) = regions
    edges = np.unique(np.concatenate([plus_starts, plus_ends, minus_starts, minus_ends]))

    def inside(starts, ends):
        return (np.searchsorted(starts, edges, "right")
                - np.searchsorted(ends, edges, "right")).astype(np.int64)

    return edges, inside(plus_starts, plus_ends) | inside(minus_starts, minus_ends) << 1


def paint_file(path, length, regions):
    """Adds the strand bits of `regions` to the reference file `path` of `length` bases, in
    place through a memory map, PAINT_BYTES at a time (only the stretches inside genes)."""
    edges, levels = strand_steps(regions)
    edges = np.minimum(edges, length)
    if not length or not levels.any():
        return
    with open(path, "r+b") as reference, mmap.mmap(reference.fileno(), length) as mapped:
        bases = stretch = np.frombuffer(mapped, dtype=np.uint8)
        for lo, hi, level in zip(edges[:-1].tolist(), edges[1:].tolist(), levels[:-1].tolist()):
            for start in range(lo, hi, PAINT_BYTES) if level else ():
                stretch = bases[start:min(start + PAINT_BYTES, hi)]
                np.add(stretch, 4 * level, out=stretch, where=stretch < 4)  # N stays N
        del bases, stretch  # the map closes only once no array looks into it


def paint_folder(folder, lengths, annotation, suffix=".txt"):
    """Paints the reference files of `folder` ([(name, length), ...] as written); returns
    (the names of annotated sequences that no file took, [(name, number of its regions that
    run past its end and were clipped), ...] in the order of `lengths`)."""
    used = set()
    past = []
    for name, length in lengths:
        key = annotation.key_for(name)
        if key is not None:
            used.add(key)
            regions = annotation.regions[key]
            paint_file(os.path.join(folder, name + suffix), length, regions)
            beyond = sum(int(np.count_nonzero(ends > length)) for _, ends in regions)
            if beyond:
                past.append((name, beyond))
    return sorted(set(annotation.regions) - used), past


def write_marker(folder, annotation_path, annotation):
    """Marks a build folder as annotated (the strand matrices need one)."""
    with open(os.path.join(folder, MARKER), "w", encoding="utf-8") as marker:
        marker.write(f"annotation\t{os.path.basename(annotation_path)}\n"
                     f"features\t{annotation.features}\n")


def is_annotated(build_folder):
    """Whether `mutflank reference --annotation` wrote this build folder."""
    return os.path.isfile(os.path.join(build_folder, MARKER))
