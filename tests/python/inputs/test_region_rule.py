"""The rule of which records lie in the regions (RegionFilter.inside, run by the engine)
against a plain model of it, on seeded records: SNVs, doublets, longer substitutions, indels
as a VCF and as a MAF writes them, alleles beyond ASCII, chromosomes under an alias, without
regions, and that the reference lacks."""

import random

import numpy as np
import pytest

pytest.importorskip("mutflank_tools")  # not installed under make sanitize

from mutflank_tools.inputs.regions import Regions, RegionFilter, merge  # noqa: E402


def stretch(position, ref, alt):
    """(first, end), 0-based half-open: the bases that decide, written out."""
    if ref == "-":  # a MAF insertion, of one base too
        return position, position + 1
    if alt == "-":
        return position - 1, position
    if len(ref) == 1 and len(alt) == 1:
        return position - 1, position
    if len(ref) == len(alt):
        changed = [i for i in range(len(ref)) if ref[i] != alt[i]]
        if not changed:
            return position - 1, position
        return position - 1 + changed[0], position + changed[-1]
    shared = 0
    while shared < min(len(ref), len(alt)) and ref[shared] == alt[shared]:
        shared += 1
    return position - 1 + shared, position + shared


def model(covered, known, chromosome, position, ref, alt):
    """Inside when every base of the stretch is covered by one interval of the chromosome."""
    bases = covered.get(chromosome)
    if bases is None:
        return chromosome not in known
    first, end = stretch(position, ref, alt)
    return all(bases.get(at, -1) == bases.get(first, -2) for at in range(first, end))


ALLELES = [("A", "C"), ("AC", "GT"), ("AC", "AT"), ("ACG", "TCA"), ("AAA", "AAA"), ("A", "AT"),
           ("AT", "A"), ("CAT", "CG"), ("-", "TT"), ("GG", "-"), ("-", "T"), ("G", "-"),
           ("é", "è"), ("éA", "éC"), ("A", "AÉ"), ("N", "A")]


@pytest.mark.parametrize("seed", range(8))
def test_inside_follows_the_rule(seed):
    rng = random.Random(seed)
    tables, covered = {}, {}
    for name in ("1", "chrX", "5"):
        starts = [rng.randrange(0, 300) for _ in range(rng.randrange(0, 25))]
        ends = [start + rng.randrange(0, 12) for start in starts]
        tables[name] = merge(starts, ends)
        # Each covered base names its (merged) interval: a stretch is inside when one holds it.
        covered[name] = {at: i for i, (start, end) in enumerate(zip(*tables[name]))
                         for at in range(start, end)}
    covered["X"] = covered.pop("chrX")  # records write it without "chr": found by its alias
    known = {"1", "X", "5", "7"}  # 7 has no regions; 9 the reference lacks
    rows = []
    for _ in range(2000):
        chromosome = rng.choice(["1", "1", "X", "5", "7", "9"])
        if chromosome == "7":
            covered.setdefault("7", {})
        rows.append((chromosome, rng.randrange(1, 320), *rng.choice(ALLELES)))
    rows.sort(key=lambda row: row[0] if seed % 2 else 0)  # runs of one chromosome, or mixed
    regions = Regions("r.bed", tables, 0)
    rule = RegionFilter(regions, known=lambda name: name in known)
    columns = [np.array([row[i] for row in rows], dtype=object) for i in range(4)]
    columns[1] = columns[1].astype(np.uint64)
    found = rule.inside(*columns)
    expected = [model(covered, known, *row) for row in rows]
    assert found.tolist() == expected
    # Asked again with its names known: the same answers.
    assert rule.inside(*columns).tolist() == expected


def test_inside_of_no_records_and_of_unknown_names_without_a_reference():
    regions = Regions("r.bed", {"1": merge([0], [10])}, 1)
    rule = RegionFilter(regions)
    empty = np.zeros(0, dtype=object)
    assert rule.inside(empty, np.zeros(0, dtype=np.uint64), empty, empty).tolist() == []
    names = np.array(["2", "1", "chr1"], dtype=object)
    alleles = np.array(["A", "A", "A"], dtype=object)
    assert rule.inside(names, np.array([5, 10, 11], dtype=np.uint64), alleles,
                       np.array(["C", "C", "C"], dtype=object)).tolist() == [False, True, False]
