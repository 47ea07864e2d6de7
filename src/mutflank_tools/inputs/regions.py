"""Regions of a BED file (`--regions`), and the one rule that tells whether a record lies in
them.

Reading: the file is plain or gzip (told by its first bytes) and read once, so a pipe works;
the engine reads it (C++), this module merges and matches what it read.
Blank lines, '#' comments and `track`/`browser` lines are skipped; every other line holds at
least three fields, separated by tabs or blanks: chromosome, start and end, 0-based and
half-open (start 0, end 10 are the first ten bases). An interval may be empty (start equal to
end: it holds no base). Intervals may overlap, touch and come in any order: they are merged,
per chromosome, into sorted intervals that neither overlap nor touch. Memory grows with the
number of intervals, not with the file.

Names: with a reference, each chromosome name of the file is matched to the reference's files
as a record's is (the file of that name, else of an alias: chr1 and 1, chrM and MT); regions
on chromosomes the reference lacks are counted (`missing`) for the summary.

The rule (`RegionFilter`): a record lies in the regions when the bases it changes do. A
single-base substitution is inside when its base is; a doublet (two-base alleles) when both
bases are, and so every base of a longer substitution (equal-length alleles are first
trimmed of the bases they share at either end); an indel when the first base after its anchor
is (the base shared by REF and ALT at their start; a MAF insertion sits after Start_Position,
a MAF deletion starts at it). A record outside is left out under one reason, OUTSIDE. A record
on a chromosome that the reference lacks is let through: the checks of the reference's fit
report it as they do without regions."""

import os

import numpy as np

from .. import _engine
from ..reference.folder import chromosome_aliases
from ..runtime.errors import InputError, at_line

OUTSIDE = "outside the regions of --regions"
SHOWN = 5  # chromosomes named in the summary of regions the reference lacks
MAX_LINE = 1 << 20  # bytes of one line: a file without line ends does not fill the memory
FAR = 1 << 62  # beyond every chromosome: larger coordinates are taken as this


class Regions:
    """Merged intervals per chromosome: {name: (starts, ends)}, int64, 0-based half-open,
    sorted, apart (each ends before the next starts)."""

    def __init__(self, path, intervals, lines, missing=None, build=None):
        self.path = path  # as the user gave it
        self.intervals = intervals
        self.lines = lines  # intervals read
        self.missing = missing or {}  # {chromosome as written: intervals} the reference lacks
        self.build = build  # the reference's build folder they were matched to, if any

    def matched(self, names, build=None):
        """The regions with their chromosomes named as the reference's files: `names` is the
        set of file names of the build the regions are for."""
        intervals, missing = {}, {}
        gathered = {}
        for name, (starts, ends) in self.intervals.items():
            target = next((candidate for candidate in (name, *chromosome_aliases(name))
                           if candidate in names), None)
            if target is None:
                missing[name] = len(starts)
                continue
            gathered.setdefault(target, []).append((starts, ends))
        for target, parts in gathered.items():  # one part: merged already
            intervals[target] = parts[0] if len(parts) == 1 else merge(
                np.concatenate([starts for starts, _ in parts]),
                np.concatenate([ends for _, ends in parts]))
        return Regions(self.path, intervals, self.lines, missing, build)

    def lookup(self, name):
        """(starts, ends) of the chromosome `name` as a record writes it: the intervals under
        its name and its aliases together (matched regions hold one of them), or None."""
        found = [self.intervals[candidate] for candidate in (name, *chromosome_aliases(name))
                 if candidate in self.intervals]
        if len(found) < 2:
            return found[0] if found else None
        return merge(np.concatenate([starts for starts, _ in found]),
                     np.concatenate([ends for _, ends in found]))

    def bases(self):
        """Bases inside the regions (of the chromosomes they name)."""
        return int(sum(int((ends - starts).sum()) for starts, ends in self.intervals.values()))

    def missing_line(self):
        """The summary line of regions on chromosomes the reference lacks, or None."""
        if not self.missing:
            return None
        total = sum(self.missing.values())
        named = sorted(self.missing.items(), key=lambda item: (-item[1], item[0]))
        text = ", ".join(f"{name} ({count:,})" for name, count in named[:SHOWN])
        if len(named) > SHOWN:
            text += f" and {len(named) - SHOWN} more"
        return (f"{self.path}: {total:,} region{'' if total == 1 else 's'} on chromosomes the "
                f"reference lacks, left aside: {text}")


def merge(starts, ends):
    """Sorted intervals that neither overlap nor touch, covering the union of the non-empty
    [starts, ends)."""
    starts = np.asarray(starts, dtype=np.int64)
    ends = np.asarray(ends, dtype=np.int64)
    full = ends > starts
    starts, ends = starts[full], ends[full]
    if not len(starts):
        return starts, ends
    order = np.argsort(starts, kind="stable")
    starts, ends = starts[order], ends[order]
    reach = np.maximum.accumulate(ends)
    new = np.ones(len(starts), dtype=bool)
    new[1:] = starts[1:] > reach[:-1]  # touching intervals are one
    first = np.flatnonzero(new)
    last = np.r_[first[1:], len(starts)] - 1
    return starts[first], reach[last]


def _open(path):
    """A descriptor of the file `path`, opened for reading (the caller closes it)."""
    if os.path.isdir(path):
        raise InputError(f"{path}: is a folder")
    try:
        return os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror}") from None


def read_regions(path):
    """The Regions of the BED file `path` (see the module's text), read by the engine
    (_engine.read_bed, C++ in src/core/bed_reader.cpp); InputError naming the file and the
    line at fault."""
    fd = _open(path)
    try:
        found = _engine.read_bed(fd, MAX_LINE, FAR)
    finally:
        os.close(fd)
    if "fault" in found:
        raise _fault(path, found)
    codes, starts, ends = found["code"], found["start"], found["end"]
    if not len(codes):
        raise InputError(f"{path}: no interval: a BED file has lines of chromosome, start "
                         "and end")
    intervals = {}
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(len(found["names"]) + 1))
    for code, name in enumerate(found["names"]):  # UTF-8: the engine checked them
        mine = order[bounds[code]:bounds[code + 1]]
        intervals[name.decode("utf-8")] = merge(starts[mine], ends[mine])
    return Regions(path, intervals, len(codes))


def _fault(path, fault):
    """The InputError of a fault of _engine.read_bed."""
    kind, number = fault["fault"], fault["line"]
    if kind == "stream":
        reason = (os.strerror(fault["code"]) if fault["stream"] == "read_failed"
                  else "not a valid, complete gzip file")
        where = f" after line {number - 1}" if number > 1 else ""
        return InputError(f"{path}: cannot read{where}: {reason}")
    if kind == "line_too_long":
        message = f"longer than {MAX_LINE:,} bytes: not a BED file"
    elif kind == "fields":
        count = fault["count"]
        message = (f"{count} field{'' if count == 1 else 's'}, a BED line has at least 3: "
                   "chromosome, start, end")
    elif kind == "end_before_start":
        message = f"end {fault['end']} is before start {fault['start']}"
    elif kind == "name_not_utf8":
        message = f"chromosome name {fault['text'][:40]!r} is not UTF-8 text"
    else:
        what = "start" if kind == "bad_start" else "end"
        message = f"{what} {_shown(fault['text'])} is not a whole number of 0 or more"
    return InputError(at_line(path, number, message))


def _shown(field):
    text = field.decode("utf-8", "replace")
    return repr(text[:40])


# ---- the rule -----------------------------------------------------------------------------

class RegionFilter:
    """Keeps the records inside the regions. `known(name)` tells whether the reference has a
    file for a chromosome as records write it (None: every chromosome counts as known)."""

    def __init__(self, regions, known=None):
        self.regions = regions
        self.known = known
        self._numbers = {}  # chromosome as written -> its table's number, -1 or -2 (_resolve)
        self._tables = []  # (starts, ends) of the chromosomes met

    def _resolve(self, name):
        """The number of the table of the chromosome `name` as written, -1 when the reference
        lacks it (its records are let through), -2 when it has no regions."""
        found = self.regions.lookup(name)
        if found is None:
            return -2 if self.known is None or self.known(name) else -1
        self._tables.append(found)
        return len(self._tables) - 1

    def inside(self, chromosome, position, ref, alt):
        """Whether each record lies in the regions (records on chromosomes the reference
        lacks: True, left to the reference's checks); the rule is the engine's
        (_engine.inside_regions, src/core/region_rule.hpp), a pass over the records."""
        if len(self._numbers) > 4096:
            self._numbers.clear()
            self._tables.clear()
        return _engine.inside_regions(chromosome, position, ref, alt, self._numbers,
                                      self._resolve, self._tables)

    def keep(self, records, rows=None):
        """Whether each record lies inside (None: all do); those outside are counted in the
        records' `left_out` under OUTSIDE. `rows`: the rows looked at (a bool mask; None:
        all), the others neither inside nor counted, each as the input records it stands for
        (its weight: a merged doublet is two, the second piece of a split record none). The
        records are not copied: a consumer that takes rows anyway (counting) folds the mask
        into its own take."""
        keep = self.inside(records.chromosome, records.position, records.ref, records.alt)
        outside = ~keep if rows is None else ~keep & rows
        if not outside.any():
            return rows
        names, codes = _codes(records.chromosome[outside])
        counts = np.bincount(codes, weights=records.weight[outside], minlength=len(names))
        for name, count in zip(names, counts.astype(np.int64).tolist()):
            records.left_out.add(OUTSIDE, name, count)
        return keep if rows is None else keep & rows

    def apply(self, records):
        """The records inside; those outside counted in their `left_out` under OUTSIDE."""
        keep = self.keep(records)
        if keep is None:
            return records
        return records.take(np.flatnonzero(keep), records.left_out)


def _codes(values):
    """(distinct values in order of appearance, index of each value among them), quick for
    the runs of one chromosome that records come in."""
    if not len(values):
        return [], np.zeros(0, dtype=np.int64)
    changed = np.ones(len(values), dtype=bool)
    changed[1:] = values[1:] != values[:-1]
    heads = np.flatnonzero(changed)
    index = {}
    codes = np.fromiter((index.setdefault(value, len(index)) for value in values[heads].tolist()),
                        dtype=np.int64, count=len(heads))
    return list(index), codes[np.cumsum(changed) - 1]
