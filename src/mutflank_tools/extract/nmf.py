"""Non-negative matrix factorisation under the Poisson likelihood (Kullback-Leibler
divergence), for many resamples of a matrix at once.

A resample V (channels x samples) is factorised as W H, W (channels x k) the signatures and
H (k x samples) the exposures, by the multiplicative updates of Lee and Seung:

    H <- H * (W' (V / WH)) / (W' 1)        W <- W * ((V / WH) H') / (1 H')

which never increase D(V | WH) = sum(V log(V / WH) - V + WH). The resamples of a batch and
their starts move together as 3-D arrays (batch x rows x columns): every step is one stacked
matrix product per term, and each factorisation's arithmetic is the same whatever else is in
its batch, so results do not depend on how the replicates are grouped. A batch steps a few
matrices at a time (CHECK_EVERY steps each), as many as keep V and V / WH within a core's cache
(CACHE_BYTES): a whole batch of 300-sample matrices is tens of MB, and stepping it at once
streams them from memory at every operation, which at low ranks takes longer than the
arithmetic, and two processes share that memory's bandwidth.

Several starts per resample run for START_STEPS steps; the one of lowest divergence goes on
until the divergence falls by less than TOLERANCE (relative) over CHECK_EVERY steps, or
MAX_STEPS in all."""

import numpy as np

STARTS = 3
START_STEPS = 50
MAX_STEPS = 500
CHECK_EVERY = 20
TOLERANCE = 5e-5
FLOOR = 1e-16  # W and H stay above it, so that V / WH is always defined
CACHE_BYTES = 1 << 20  # V and V / WH of the matrices stepped together (half a core's L2 here)


def replicate_rng(seed, rank, replicate):
    """The random generator of one replicate: derived from (seed, rank, replicate) alone."""
    return np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(rank, replicate)))


def resample(counts, rng):
    """A Poisson resample of counts (channels x samples): each cell drawn around its count, so
    each sample's total varies as the number of its mutations would."""
    return rng.poisson(counts).astype(np.float64)


def starts(counts, rank, count, rng):
    """`count` random starts (W: count x channels x rank with columns summing to 1, H: count x
    rank x samples) whose product has the scale of `counts`."""
    channels, samples = counts.shape
    w = rng.uniform(0.0, 1.0, (count, channels, rank)) + FLOOR
    w /= w.sum(axis=1, keepdims=True)
    totals = counts.sum(axis=0)
    h = rng.uniform(0.0, 2.0, (count, rank, samples)) * (totals / rank) + FLOOR
    return w, h


def divergence(v, w, h):
    """D(V | WH) of each factorisation of a batch (v, w, h: batch x ...)."""
    from scipy.special import xlogy  # optional: the verb says which package is missing

    wh = w @ h
    return (xlogy(v, v / wh) - v + wh).sum(axis=(1, 2))


def _step(v, w, h):
    """One multiplicative update of H, then of W, in place."""
    q = w @ h
    np.divide(v, q, out=q)
    h *= np.swapaxes(w, 1, 2) @ q
    h /= w.sum(axis=1)[:, :, None]
    np.maximum(h, FLOOR, out=h)
    q = w @ h
    np.divide(v, q, out=q)
    w *= q @ np.swapaxes(h, 1, 2)
    w /= h.sum(axis=2)[:, None, :]
    np.maximum(w, FLOOR, out=w)


def _normalised(w, h):
    """W with columns summing to 1 and H scaled to keep WH."""
    scale = w.sum(axis=1)  # batch x rank
    return w / scale[:, None, :], h * scale[:, :, None]


def stepped_together(v):
    """How many matrices of the batch v step together: as many as keep their V and V / WH
    within CACHE_BYTES, at least one."""
    return max(1, CACHE_BYTES // max(2 * v[0].nbytes, 1))


def factorise(v, w, h, steps=MAX_STEPS, check_every=CHECK_EVERY, tolerance=TOLERANCE):
    """Runs the updates on a batch (v: batch x channels x samples, w and h their starts) until
    each factorisation converges or `steps` are done; converged ones leave the batch, so each
    runs exactly the steps it needs. Returns (w, h, divergence) with W's columns summing to 1."""
    w, h = w.copy(), h.copy()
    active = np.arange(len(v))
    last = divergence(v, w, h)
    together = stepped_together(v)
    done = 0
    while active.size and done < steps:
        span = min(check_every, steps - done)
        now = np.empty(active.size)
        for first in range(0, active.size, together):
            some = active[first:first + together]
            vs, ws, hs = v[some], w[some], h[some]
            for _ in range(span):
                _step(vs, ws, hs)
            w[some], h[some] = ws, hs
            now[first:first + together] = divergence(vs, ws, hs)
        done += span
        moving = (last[active] - now) > tolerance * np.abs(now)
        last[active] = now
        active = active[moving]
    w, h = _normalised(w, h)
    return w, h, last


def best_of_starts(v, rank, rngs, count=STARTS, start_steps=START_STEPS, steps=MAX_STEPS):
    """For each matrix of v (batch x channels x samples) with its generator in `rngs`: `count`
    starts run START_STEPS steps, and the best of them runs on to convergence. Returns
    (w: batch x channels x rank, h: batch x rank x samples, divergence per matrix)."""
    batch = len(v)
    inits = [starts(v[i], rank, count, rng) for i, rng in enumerate(rngs)]
    w = np.concatenate([init[0] for init in inits])
    h = np.concatenate([init[1] for init in inits])
    repeated = np.repeat(v, count, axis=0)
    w, h, scores = factorise(repeated, w, h, steps=start_steps, tolerance=0.0)
    best = scores.reshape(batch, count).argmin(axis=1) + np.arange(batch) * count
    return factorise(v, w[best], h[best], steps=max(steps - start_steps, 0))
