"""The names in a reference folder as `mutflank reference` writes it:
<root>/<build>/<chromosome>.txt.
Any folder name is a build label (GRCh38, mm10, canFam3...); the usual human aliases name
GRCh37 and GRCh38. A record's chromosome matches its file directly or through an alias (chr
added or removed; M, MT, chrM and chrMT are one chromosome)."""

import os

from .errors import InputError
from .fasta import missing_reference

BUILDS = ("GRCh37", "GRCh38")
_BUILD_NAMES = {
    "grch37": "GRCh37", "hg19": "GRCh37", "37": "GRCh37",
    "grch38": "GRCh38", "hg38": "GRCh38", "38": "GRCh38",
}
_MITOCHONDRION = ("chrM", "chrMT", "M", "MT")
SUFFIX = ".txt"


def is_file_name(name):
    """Whether `name` can name a file inside a folder: not empty, not . or .., no / or NUL."""
    return bool(name) and name not in (".", "..") and "/" not in name and "\0" not in name


def canonical_build(text):
    """The folder label of a build as written: "GRCh37" for hg19, GRCh37 or 37 (any case,
    blanks around ignored), "GRCh38" likewise; any other name that can be a folder name as it
    is (stripped); None for one that cannot (empty, '.', '..', holding '/' or NUL)."""
    name = str(text).strip()
    canonical = _BUILD_NAMES.get(name.lower())
    if canonical is not None:
        return canonical
    return name if is_file_name(name) else None


def chromosome_aliases(name):
    """The other names under which a chromosome may be written, in order of preference:
    with "chr" removed or added; M, MT, chrM and chrMT are one chromosome."""
    if name in _MITOCHONDRION:
        return [other for other in _MITOCHONDRION if other != name]
    if name.startswith("chr") and len(name) > 3:
        return [name[3:]]
    return ["chr" + name]


class ReferenceFolder:
    """The builds and chromosome files below `root`, listed once and kept."""

    def __init__(self, root):
        if not os.path.isdir(root):
            raise InputError(missing_reference(root))
        self.root = root
        self._files = {}  # build -> {chromosome as in the file name: length in bases}
        self._matches = {}  # (build, chromosome as written) -> file chromosome or None

    def builds(self):
        """The builds that have a folder below the root: GRCh37 and GRCh38 first, then the
        others by name."""
        try:
            names = [entry.name for entry in os.scandir(self.root)
                     if entry.is_dir() and not entry.name.startswith(".")]
        except OSError as error:
            raise InputError(f"{self.root}: cannot list: {error.strerror}") from None
        return sorted(names, key=lambda name: (name not in BUILDS, BUILDS.index(name)
                                               if name in BUILDS else 0, name))

    def chromosomes(self, build):
        """{chromosome: length in bases} of the build's files (empty when it has no folder)."""
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

    def match(self, build, chromosome):
        """The name of the file chromosome that `chromosome` (as written in a record) stands
        for: itself when its file exists, else the first alias with a file; None when the
        build has no such chromosome."""
        key = (build, chromosome)
        if not is_file_name(chromosome):
            return None
        if key not in self._matches:
            files = self.chromosomes(build)
            found = None
            for name in [chromosome, *chromosome_aliases(chromosome)]:
                if name in files:
                    found = name
                    break
            self._matches[key] = found
        return self._matches[key]

    def length(self, build, chromosome):
        """Length in bases of a file chromosome (a name returned by match())."""
        return self.chromosomes(build)[chromosome]

    def path(self, build, chromosome):
        return os.path.join(self.root, build, chromosome + SUFFIX)
