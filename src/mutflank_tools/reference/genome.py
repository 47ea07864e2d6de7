"""The reference folder as the pipeline reads it: which builds and chromosomes it has, and the
raw bytes around any record (REF checks, flanking bases, the strand-annotation bits).

A reference file holds one byte per base (byte k is position k + 1): 0..15 a base, "ACGT"[b & 3],
whose bits b >> 2 tell the transcribed strands; 16..19 N; anything else no base. Files are read
by the engine's window reader (the C++ core's, as `mutflank.parse_vcf_files` reads them) with
positioned reads, never memory-mapped: a file shortened while it is read gives an error naming
it instead of a bus error, and memory holds at most one read of 4 MiB.
Open files are kept in a small cache; chromosome look-ups in a bounded one, so neither grows
with the number of distinct names in the inputs."""

import collections
import functools
import os
import re

import numpy as np

from .. import _engine
from ..runtime.errors import InputError
from .fasta import missing_reference
from .folder import BUILDS, SUFFIX, canonical_build, chromosome_aliases, is_file_name

FILES_OPEN = 32
NAMES_KEPT = 4096  # (build, chromosome) look-ups remembered
ANNOTATION_MARKER = ".mutflank-annotation"
OUTSIDE = -1  # window value of a position off the chromosome
WINDOW_PAST_END = "Error reading data from the file"  # the window reader's message

# Why a record finds no reference.
NO_BUILD = "no reference folder for its build"
NO_FILE = "no reference file"
NOT_A_FILE_NAME = "chromosome cannot name a reference file (/, NUL, . or ..)"


class Chromosome:
    """One reference file: `length` bases, read in windows."""

    def __init__(self, genome, build, name, length):
        self.genome = genome
        self.build = build
        self.name = name  # as in the file name
        self.length = length
        self.path = os.path.join(genome.root, build, name + SUFFIX)

    def windows(self, positions, before, after):
        """int16 array (len(positions), before + 1 + after): the raw bytes from `before` bases
        before each 1-based position to `after` bases after it; OUTSIDE off the chromosome.
        Read by the engine's window reader: nearby positions share one read."""
        starts = np.asarray(positions).astype(np.int64) - 1 - before
        fd = self.genome._descriptor(self.path)
        try:
            return _engine.read_window_rows(fd, self.length, starts, before + 1 + after)
        except OSError as error:
            if str(error) == WINDOW_PAST_END:
                raise InputError(f"{self.path}: the reference file is shorter than its "
                                 f"{self.length:,} bases: was it changed while being read?"
                                 ) from None
            raise InputError(f"{self.path}: cannot read the reference: {error}") from None


class Genome:
    """The builds and chromosome files below `root`, listed once."""

    def __init__(self, root):
        if not os.path.isdir(root):
            raise InputError(missing_reference(root))
        self.root = root
        self._files = {}  # build -> {chromosome file name: length}
        self._open = collections.OrderedDict()  # path -> descriptor
        self._builds = None
        self.lookup = functools.lru_cache(maxsize=NAMES_KEPT)(self._lookup)

    def builds(self):
        """The build folders: GRCh37 and GRCh38 first, then the others by name."""
        if self._builds is None:
            try:
                names = [entry.name for entry in os.scandir(self.root)
                         if entry.is_dir() and not entry.name.startswith(".")]
            except OSError as error:
                raise InputError(f"{self.root}: cannot list: {error.strerror}") from None
            self._builds = sorted(names, key=lambda name: (
                name not in BUILDS, BUILDS.index(name) if name in BUILDS else 0, name))
        return self._builds

    def build(self, text):
        """The build folder that a build as written names (aliases such as hg19 included; any
        case), or None."""
        label = canonical_build(text)
        if label is None:
            return None
        builds = self.builds()
        if label in builds:
            return label
        folded = [name for name in builds if name.lower() == label.lower()]
        return folded[0] if len(folded) == 1 else None

    def annotated(self, build):
        """Whether the build's files carry transcription-strand bits (`mutflank reference
        --annotation` leaves a marker file in the build folder)."""
        return os.path.isfile(os.path.join(self.root, build, ANNOTATION_MARKER))

    def chromosomes(self, build):
        """{chromosome: length in bases} of the build's files (empty without its folder)."""
        files = self._files.get(build)
        if files is None:
            files = {}
            folder = os.path.join(self.root, build)
            try:
                entries = list(os.scandir(folder))
            except (FileNotFoundError, NotADirectoryError):
                entries = []
            except OSError as error:
                raise InputError(f"{folder}: cannot list: {error.strerror}") from None
            for entry in entries:
                if entry.name.endswith(SUFFIX) and entry.is_file():
                    files[entry.name[: -len(SUFFIX)]] = entry.stat().st_size
            self._files[build] = files
        return files

    def chromosome(self, build, name):
        """The Chromosome that `name` (as written, build as written) stands for, or None."""
        found = self.lookup(build, name)
        return found if isinstance(found, Chromosome) else None

    def _lookup(self, build_text, name):
        """A Chromosome, or the reason there is none (NO_BUILD, NO_FILE, NOT_A_FILE_NAME)."""
        build = self.build(build_text)
        if build is None:
            return NO_BUILD
        if not is_file_name(name):
            return NOT_A_FILE_NAME
        files = self.chromosomes(build)
        for candidate in [name, *chromosome_aliases(name)]:
            if candidate in files:
                return Chromosome(self, build, candidate, files[candidate])
        return NO_FILE

    def _descriptor(self, path):
        fd = self._open.get(path)
        if fd is not None:
            self._open.move_to_end(path)
            return fd
        try:
            fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        except OSError as error:
            raise InputError(f"{path}: cannot read the reference: {error.strerror}") from None
        self._open[path] = fd
        if len(self._open) > FILES_OPEN:
            os.close(self._open.popitem(last=False)[1])
        return fd

    def close(self):
        while self._open:
            os.close(self._open.popitem()[1])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def describe(self, shown=5):
        """A few words on what the reference holds: "GRCh38 (1, 2, 3, 4, 5 and 20 more)"."""
        parts = []
        for build in self.builds():
            names = sorted(self.chromosomes(build), key=_natural)
            text = ", ".join(names[:shown])
            if len(names) > shown:
                text += f" and {len(names) - shown} more"
            parts.append(f"{build} ({text or 'no chromosome files'})")
        return "; ".join(parts) or "no build folders"


def _natural(name):
    """Sort key putting chromosome 2 before 10."""
    bare = name[3:] if name.startswith("chr") else name
    return (0, int(bare), "") if bare.isdigit() else (1, 0, name)


# ---- how many of an input's records find a reference file? -------------------------------

MISSING_LIMIT = 0.05  # share of an input's records without a reference file that stops a run
SHOWN = 5


class ReferenceCoverage:
    """How much of one input the reference covers: its records of a counted class, those that
    found no build folder or chromosome file, and the first few builds and chromosomes they
    named. The coverages of parts of one input add up (`merge`)."""

    def __init__(self, records=0, missing=0, builds=(), chromosomes=()):
        self.records = records
        self.missing = missing
        self.builds = list(builds)
        self.chromosomes = list(chromosomes)

    def add(self, records, missing_builds, missing_chromosomes, missing=None):
        """Adds `records` records of which those with the (build, chromosome) pairs given
        (as sequences, one pair per missing record) had no reference; `missing`: how many
        had none, when the pairs given are only the first of them."""
        self.records += records
        self.missing += len(missing_chromosomes) if missing is None else missing
        self._note(missing_builds[:1000], missing_chromosomes[:1000])

    def _note(self, builds, chromosomes):
        for values, kept in ((builds, self.builds), (chromosomes, self.chromosomes)):
            for value in dict.fromkeys(list(values)):
                if len(kept) >= SHOWN:
                    break
                if value not in kept:
                    kept.append(value)

    def merge(self, other):
        self.records += other.records
        self.missing += other.missing
        self._note(other.builds, other.chromosomes)
        return self

    def __eq__(self, other):
        return vars(self) == vars(other)

    def __repr__(self):
        return f"ReferenceCoverage({vars(self)!r})"


def coverage_error(name, coverage, genome, what="records"):
    """The complaint about an input whose records too often find no reference file, or None
    (the caller adds what lets the run go on: --allow-missing-chromosomes)."""
    if not coverage.missing or coverage.missing <= MISSING_LIMIT * coverage.records:
        return None
    share = 100 * coverage.missing / coverage.records
    builds = ", ".join(build or "(none given)" for build in coverage.builds)
    question = "is it the reference of another build or organism?"
    for build in coverage.builds:
        near = _folder_near(build, genome)
        if near is not None:  # GRCh37-lite beside a GRCh37 folder, as TCGA MAFs write it
            question = (f"no build folder is named {build}; if it is {near}, give --build "
                        f"{near}")
            break
    return (f"{name}: {coverage.missing:,} of {coverage.records:,} {what} ({share:.1f}%) have no "
            f"reference file (build {builds}; chromosomes {', '.join(coverage.chromosomes)}), "
            f"the reference {genome.root} holds {genome.describe()}: {question}")


def _folder_near(build, genome):
    """The build folder that a build label without a folder of its own seems to be a variant
    of ("GRCh37-lite", "hg19_decoy": its first word names the folder), or None."""
    if not build or genome.build(build) is not None:
        return None
    first = re.split(r"[-_.+ ]", build, maxsplit=1)[0]
    return genome.build(first) if first != build else None
