"""The unit of work of `mutflank fit`: the fit of a slice of the samples, with its bootstrap.
A plain function of plain arguments (NumPy arrays, numbers, SeedSequences) that runs alike in
this process or on a Dask worker. Each sample draws its resamples from its own seed, and the
cut into slices depends only on the number of samples and resamples, so the results do not
depend on where, or in which order, the slices run."""

import numpy as np

from . import solve

FITS_PER_SLICE = 5000  # fits (samples times resamples) in one unit of work
QUANTILES = (0.5, 0.025, 0.975)  # the median and the 95% interval of the bootstrap


def slices(samples, resamples):
    """(start, end) of the slices of `samples` samples: a fixed cut for a given number of
    resamples, whatever runs them."""
    size = max(1, FITS_PER_SLICE // (resamples + 1))
    return [(start, min(start + size, samples)) for start in range(0, samples, size)]


def fit_slice(signatures, counts, method, max_delta, resamples=0, seeds=()):
    """The fit of `counts` (samples x channels) on `signatures` (channels x k): a dict of
    exposures (samples x k), cosine and rss (per sample) and, when `resamples` > 0, the
    bootstrap's median, low and high quantiles and the fraction of resamples in which each
    signature was kept (samples x k). `seeds` holds one numpy SeedSequence per sample."""
    exposures = solve.fit(signatures, counts, method, max_delta)
    cosine, rss = solve.quality(signatures, counts, exposures)
    result = {"exposures": exposures, "cosine": cosine, "rss": rss}
    if resamples:
        # The resamples start from the positive exposures of their sample's NNLS fit.
        start = exposures if method == "nnls" else solve.nnls(signatures, counts)
        result.update(bootstrap(signatures, counts, method, max_delta, resamples, seeds,
                                start > 0))
    return result


def fit_unit(unit, signatures, method, max_delta, resamples):
    """(number, fit_slice of the slice) of a unit (number, counts, seeds): the task of a Dask
    worker, whose results may come back in any order."""
    number, counts, seeds = unit
    return number, fit_slice(signatures, counts, method, max_delta, resamples, seeds)


def bootstrap(signatures, counts, method, max_delta, resamples, seeds, passive):
    """Refits of `resamples` multinomial resamples of each sample (its total count, its
    channel proportions), summarised by quantiles and the fraction of resamples with the
    signature's exposure above 0."""
    samples, channels = counts.shape
    draws = np.zeros((samples, resamples, channels))
    for row, (sample, seed) in enumerate(zip(counts, seeds)):
        total = int(round(sample.sum()))
        if total > 0:
            draws[row] = np.random.default_rng(seed).multinomial(total, sample / sample.sum(),
                                                                 size=resamples)
    draws = draws.reshape(-1, channels)
    passive = np.repeat(passive, resamples, axis=0)
    # At most FITS_PER_SLICE at once: the solver's working arrays stay small for any N.
    refits = np.concatenate([
        solve.fit(signatures, draws[start:start + FITS_PER_SLICE], method, max_delta,
                      passive[start:start + FITS_PER_SLICE])
        for start in range(0, len(draws), FITS_PER_SLICE)])
    refits = refits.reshape(samples, resamples, -1)
    median, low, high = np.quantile(refits, QUANTILES, axis=1)
    return {"median": median, "low": low, "high": high, "kept": (refits > 0).mean(axis=1)}


def merge(parts):
    """The results of consecutive slices joined, in order, into those of all samples."""
    return {key: np.concatenate([part[key] for part in parts]) for key in parts[0]}
