"""The unit of work of `mutflank extract`: the factorisations of a block of replicates of one
rank. A plain function of plain arguments that runs alike in this process or on a Dask worker.
Each replicate draws its resample and its starts from its own generator, derived from (seed,
rank, replicate), and the cut into blocks depends only on the number of replicates, so the
results do not depend on where, or in which order, the blocks run."""

import numpy as np

from . import nmf

REPLICATES_PER_UNIT = 10


def units(ranks, replicates, per_unit=REPLICATES_PER_UNIT):
    """(rank, first, end) of every block of replicates, for each rank: a fixed cut."""
    return [(rank, first, min(first + per_unit, replicates))
            for rank in ranks for first in range(0, replicates, per_unit)]


def factorise_unit(unit, counts, seed):
    """(unit, signatures: replicates x channels x rank with columns summing to 1, divergence
    per replicate) of the unit (rank, first, end) of counts (channels x samples)."""
    rank, first, end = unit
    rngs = [nmf.replicate_rng(seed, rank, replicate) for replicate in range(first, end)]
    resamples = np.stack([nmf.resample(counts, rng) for rng in rngs])
    w, _, divergence = nmf.best_of_starts(resamples, rank, rngs)
    return unit, w, divergence
