"""The unit of work of `mutflank fit`: the fit of a slice of the samples, with its bootstrap.
A plain function of plain arguments (NumPy arrays, numbers, SeedSequences) that runs alike in
this process or on a Dask worker. Each sample draws its resamples from its own seed, and the
cut into slices depends only on the number of samples and resamples, so the results do not
depend on where, or in which order, the slices run."""

import numpy as np

from . import solve

FITS_PER_SLICE = 5000  # fits (samples times resamples) in one unit of work
# The most resamples of --bootstrap: a sample's exposures of all of them are kept for their
# quantiles (100,000 resamples of one sample on 78 signatures: 130 MB at most).
MAX_RESAMPLES = 100_000
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
    signature's exposure above 0. The resamples are drawn and fitted FITS_PER_SLICE at a
    time, so that only their exposures are kept (resamples x signatures per sample)."""
    samples, channels = counts.shape
    refits = np.empty((samples * resamples, signatures.shape[1]))
    block = np.zeros((min(FITS_PER_SLICE, samples * resamples), channels))
    done = filled = 0  # resamples fitted; resamples drawn into the block

    def fit_block():
        rows = np.arange(done, done + filled) // resamples  # the sample of each resample
        refits[done:done + filled] = solve.fit(signatures, block[:filled], method, max_delta,
                                               passive[rows])
        return done + filled, 0

    for sample, seed in zip(counts, seeds):
        total = int(sample.sum())  # whole, and exact: at most 2^53 (checked by the verb)
        generator = np.random.default_rng(seed)
        left = resamples
        while left:
            size = min(left, len(block) - filled)
            part = block[filled:filled + size]
            if total > 0:
                part[:] = generator.multinomial(total, sample / sample.sum(), size=size)
            else:
                part[:] = 0.0
            filled, left = filled + size, left - size
            if filled == len(block):
                done, filled = fit_block()
    if filled:
        done, filled = fit_block()
    refits = refits.reshape(samples, resamples, -1)
    median, low, high = np.quantile(refits, QUANTILES, axis=1)
    return {"median": median, "low": low, "high": high, "kept": (refits > 0).mean(axis=1)}


def merge(parts):
    """The results of consecutive slices joined, in order, into those of all samples."""
    return {key: np.concatenate([part[key] for part in parts]) for key in parts[0]}
