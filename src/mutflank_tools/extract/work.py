"""The unit of work of `mutflank extract`: the factorisations of a block of replicates of one
rank. A plain function of plain arguments that runs alike in this process or on a Dask worker.
Each replicate draws its resample and its starts from its own generator, derived from (seed,
rank, replicate), and the cut into blocks depends only on the number of replicates, so the
results do not depend on where, or in which order, the blocks run."""

import numpy as np

from . import nmf

REPLICATES_PER_UNIT = 10
UNIT_BYTES = 256 << 20  # about the most a unit's arrays of the matrix's size take together
ARRAYS = 4  # of the matrix's size per start while it runs: resample, its copy, V / WH, WH


def replicates_per_unit(cells):
    """Replicates in one unit for a matrix of `cells` channels x samples: REPLICATES_PER_UNIT,
    fewer (at least 1) when their arrays would pass UNIT_BYTES."""
    each = cells * 8 * nmf.STARTS * ARRAYS
    return max(1, min(REPLICATES_PER_UNIT, UNIT_BYTES // max(each, 1)))


def units(ranks, replicates, cells=0):
    """(rank, first, end) of every block of replicates, for each rank: a cut fixed by the
    number of replicates and the size of the matrix, whatever runs the units. The largest
    ranks come first: a unit costs about in proportion to its rank (a rank-12 unit several
    times a rank-2 one), so workers that take units in this order all finish within a small unit of
    each other, where the largest last would leave one worker alone on it."""
    per_unit = replicates_per_unit(cells)
    return [(rank, first, min(first + per_unit, replicates))
            for rank in sorted(ranks, reverse=True) for first in range(0, replicates, per_unit)]


def factorise_unit(unit, counts, seed):
    """(unit, signatures: replicates x channels x rank with columns summing to 1, divergence
    per replicate) of the unit (rank, first, end) of counts (channels x samples)."""
    rank, first, end = unit
    rngs = [nmf.replicate_rng(seed, rank, replicate) for replicate in range(first, end)]
    resamples = np.stack([nmf.resample(counts, rng) for rng in rngs])
    w, _, divergence = nmf.best_of_starts(resamples, rank, rngs)
    return unit, w, divergence
