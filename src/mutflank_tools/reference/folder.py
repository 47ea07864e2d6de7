"""The names in a reference folder as `mutflank reference` writes it:
<root>/<build>/<chromosome>.txt.
Any folder name is a build label (GRCh38, mm10, canFam3...); the usual human aliases name
GRCh37 and GRCh38. A record's chromosome matches its file directly or through an alias (chr
added or removed; M, MT, chrM and chrMT are one chromosome)."""

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
