"""--regions in the counter: the records outside are left out by a mask folded into the take
the counter does anyway, not by a copy of each batch. The mask must count what a copy of the
records inside counts, whatever the batches, inputs, doublets, copies and columns."""

import random

import numpy as np
import pytest

from test_counting_rules import BUILD, GENOME, other, reference, write_input  # noqa: F401

from mutflank_tools.counting import doublets, work
from mutflank_tools.counting.tally import Settings
from mutflank_tools.counting.work import Item, count_inputs
from mutflank_tools.inputs.regions import OUTSIDE, read_regions
from mutflank_tools.inputs.stage import region_filter

KINDS = ("SBS96", "DBS78", "ID83")


def seeded_inputs(seed, ordered, inputs=3):
    """Records (sample, position, REF, ALT, genotype) of several inputs: SNVs alone, side by
    side (doublets), in runs of three, written twice, at one position as two alleles, doublets
    as written, and deletions; some mutations in two inputs."""
    rng = random.Random(seed)
    shared = []
    calls = []
    for _ in range(inputs):
        records = list(shared)
        for _ in range(60):
            pos, sample = rng.randrange(10, 2900), rng.choice(("S1", "S2", "S3"))
            shape = rng.randrange(6)
            ref = GENOME[pos - 1]
            if shape == 0:
                records.append((sample, pos, ref, other(ref, rng.randint(1, 3)), ""))
            elif shape in (1, 2):  # two or three SNVs side by side
                records += [(sample, at, GENOME[at - 1], other(GENOME[at - 1]), "")
                            for at in range(pos, pos + 1 + shape)]
            elif shape == 3:  # written twice, or as two alleles
                records += [(sample, pos, ref, other(ref, step), "")
                            for step in (1, rng.randint(1, 2))]
            elif shape == 4:
                pair = GENOME[pos - 1:pos + 1]
                records.append((sample, pos, pair, other(pair[0]) + other(pair[1]), ""))
            else:
                records.append((sample, pos, GENOME[pos - 1:pos + 2], "-", ""))
        shared = rng.sample(records, 10)
        calls.append(sorted(records, key=lambda record: record[1]) if ordered
                     else rng.sample(records, len(records)))
    return calls


def seeded_bed(path, seed):
    rng = random.Random(seed)
    lines = []
    for _ in range(40):
        start = rng.randrange(0, 2950)
        lines.append(f"1\t{start}\t{start + rng.choice((1, 2, 5, 40, 200))}\n")
    path.write_text("".join(lines))
    return path


class CopyingFilter:
    """Copies instead of masks: the rows a unit's mask lets through (the doublet merger's
    SNVs), then those inside, each taken as a copy before counting (the columns replaced in
    place, as the counter holds the batch); no mask handed on."""

    def __init__(self, rule):
        self.rule = rule

    def keep(self, records, rows=None):
        if rows is not None:
            copy(records, rows)
        keep = self.rule.keep(records)
        if keep is not None:
            copy(records, keep)
        return None


def copy(records, mask):
    kept = records.take(np.flatnonzero(mask), records.left_out)
    for name in type(records).EVERY_COLUMN:
        setattr(records, name, getattr(kept, name))


def tallied(reference, paths, settings, regions, batch_records, merge_doublets):
    tally = count_inputs([Item(n, str(path), str(path)) for n, path in enumerate(paths)],
                         str(reference), settings, regions=regions,
                         batch_records=batch_records, merge_doublets=merge_doublets)
    return (tally.keys, {name: tally.matrix(name).tolist() for name in KINDS},
            dict(tally.left_out), dict(tally.left_out.inputs), tally.records)


@pytest.mark.parametrize("hold", [None, 8])
@pytest.mark.parametrize("columns", [{}, {"merge_samples": True}, {"by_input": True}])
@pytest.mark.parametrize("merge_doublets", [True, False])
@pytest.mark.parametrize("batch_records", [7, 1 << 16])
@pytest.mark.parametrize("seed", range(3))
def test_a_mask_counts_what_a_copy_counts(reference, tmp_path, monkeypatch, seed, batch_records,
                                          merge_doublets, columns, hold):
    # Inputs held whole by the doublet merger, or streamed past a few SNVs (sorted then).
    if hold is not None:
        monkeypatch.setattr(doublets, "HOLD", hold)
    paths = [write_input(tmp_path / f"{n}.maf", rows, "maf")
             for n, rows in enumerate(seeded_inputs(seed, ordered=hold is not None))]
    regions = read_regions(str(seeded_bed(tmp_path / "r.bed", seed))).matched({"1"}, BUILD)
    settings = Settings(kinds=KINDS, **columns)
    masked = tallied(reference, paths, settings, regions, batch_records, merge_doublets)
    monkeypatch.setattr(work, "region_filter",
                        lambda regions, genome: CopyingFilter(region_filter(regions, genome)))
    copied = tallied(reference, paths, settings, regions, batch_records, merge_doublets)
    assert masked == copied
    # Records inside and outside, doublets merged or written, copies met.
    _, counts, left_out, _, _ = masked
    assert left_out.get((OUTSIDE, "1"), 0) > 20
    assert all(np.sum(counts[name]) > 0 for name in KINDS)
    assert any(reason.startswith("the same mutation") for reason, _ in left_out)
