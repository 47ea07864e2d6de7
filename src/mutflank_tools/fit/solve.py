"""Non-negative least squares for many samples at once, and the `strict` refit on top of it.

For signatures S (channels x k, full column rank) and a sample m, the exposures e >= 0 that
minimise |m - S e|^2 are those of the normal equations G e = b (G = S'S, b = S'm) on a passive
set P, with e_P > 0 and gradient y = G e - b >= 0 outside P. Block principal pivoting (Kim and
Park, 2011) finds P by exchanging every variable that breaks one of these conditions at once,
starting from the support found by a few steps of projected gradient descent. All samples
move together: each step solves the systems of all unfinished samples, grouped by the size of
their passive set into one stacked `numpy.linalg.solve`. A sample whose number of broken
conditions stops falling (it happens with nearly dependent signatures, where exchanges one at
a time would take many steps), or signatures that are not of full rank, go to scipy's
Lawson-Hanson `nnls`, one sample at a time."""

import numpy as np

MAX_STEPS = 100
FULL_EXCHANGES = 3  # exchanges allowed without fewer broken conditions, before giving up
TOLERANCE = 1e-10  # relative to the sample's largest |S'm|
GUESS_STEPS = 20
CONDITION_LIMIT = 1e10  # of G, beyond which the signatures count as rank deficient


def gram(signatures):
    """(G = S'S for signatures channels x k, or None; whether the stacked solver may use it).
    With more signatures than channels, G (k x k) is not of full rank and is not made: 20,000
    signatures would make one of 3 GiB."""
    if signatures.shape[0] < signatures.shape[1]:
        return None, False
    g = signatures.T @ signatures
    return g, bool(np.linalg.cond(g) < CONDITION_LIMIT)


def nnls(signatures, counts, allowed=None, passive=None):
    """Exposures (samples x k) of counts (samples x channels) on signatures (channels x k).
    `allowed` (samples x k, bool) keeps some signatures out of some samples' fits; `passive`
    is a guess of the positive exposures to start from."""
    g, usable = gram(signatures)
    n, k = counts.shape[0], signatures.shape[1]
    allowed = np.ones((n, k), bool) if allowed is None else allowed
    if not usable:
        return _without_dust(_scipy_nnls(signatures, counts, allowed, np.arange(n),
                                         np.zeros((n, k))))
    b = counts @ signatures  # samples x k: S'm of each sample
    passive = (_guess(g, b, allowed) if passive is None else passive) & allowed
    tolerance = TOLERANCE * np.maximum(np.abs(b).max(axis=1, initial=0.0), 1e-300)[:, None]
    x = np.zeros((n, k))
    y = -b.copy()
    _solve(g, b, passive, np.arange(n), x, y)
    fewest = np.full(n, k + 1)
    chances = np.full(n, FULL_EXCHANGES)
    todo = np.arange(n)
    stalled = []  # samples for the one-by-one solver
    for _ in range(MAX_STEPS):
        broken = ((passive[todo] & (x[todo] < -tolerance[todo]))
                  | (~passive[todo] & allowed[todo] & (y[todo] < -tolerance[todo])))
        count = broken.sum(axis=1)
        unfinished = count > 0
        todo, broken, count = todo[unfinished], broken[unfinished], count[unfinished]
        if todo.size == 0:
            break
        better = count < fewest[todo]
        fewest[todo[better]] = count[better]
        chances[todo[better]] = FULL_EXCHANGES
        patient = ~better & (chances[todo] > 0)
        chances[todo[patient]] -= 1
        stuck = ~better & ~patient
        stalled.append(todo[stuck])
        todo, broken = todo[~stuck], broken[~stuck]
        passive[todo] ^= broken
        _solve(g, b, passive, todo, x, y)
    else:
        stalled.append(todo)
    if stalled:
        x = _scipy_nnls(signatures, counts, allowed, np.concatenate(stalled), x)
    return _without_dust(x)


def _without_dust(x):
    """x with the exposures that are rounding noise (at most TOLERANCE times the sample's
    largest) set to 0, so that a signature the fit does not need counts as unused."""
    return np.where(x > TOLERANCE * x.max(axis=1, keepdims=True, initial=0.0), x, 0.0)


def _guess(g, b, allowed, steps=GUESS_STEPS):
    """The positive exposures after a few steps of accelerated projected gradient descent: a
    cheap start for the exchanges, which then need few steps on small systems."""
    step = 1.0 / np.linalg.eigvalsh(g)[-1]
    x = previous = np.zeros_like(b)
    z = x
    for t in range(steps):
        x = np.maximum(z - step * (z @ g - b), 0.0) * allowed
        z = x + (t / (t + 3)) * (x - previous)
        previous = x
    return x > 0


def _solve(g, b, passive, rows, x, y):
    """x = the solution of G x = b on each row's passive set (0 elsewhere), y = G x - b."""
    sizes = passive[rows].sum(axis=1)
    x[rows] = 0.0
    for size in np.unique(sizes):
        group = rows[sizes == size]
        if size == 0:
            continue
        where = np.nonzero(passive[group])[1].reshape(len(group), size)
        system = g[where[:, :, None], where[:, None, :]]
        right = np.take_along_axis(b[group], where, axis=1)
        x[group[:, None], where] = np.linalg.solve(system, right[:, :, None])[:, :, 0]
    y[rows] = x[rows] @ g - b[rows]


def _scipy_nnls(signatures, counts, allowed, rows, x):
    from scipy.optimize import nnls as lawson_hanson

    for row in rows:
        use = np.flatnonzero(allowed[row])
        x[row] = 0.0
        if use.size:
            x[row, use] = lawson_hanson(signatures[:, use], counts[row], maxiter=50 * use.size)[0]
    return x


def quality(signatures, counts, exposures):
    """(cosine similarity, residual sum of squares) of each sample and its reconstruction;
    the cosine is NaN for a sample with no mutations and 0 for an empty reconstruction."""
    rebuilt = exposures @ signatures.T
    rss = ((counts - rebuilt) ** 2).sum(axis=1)
    norms = np.linalg.norm(counts, axis=1) * np.linalg.norm(rebuilt, axis=1)
    dots = (counts * rebuilt).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        cosine = np.where(norms > 0, dots / np.where(norms > 0, norms, 1), 0.0)
    cosine[counts.sum(axis=1) == 0] = np.nan
    return cosine, rss


def strict(signatures, counts, max_delta, passive=None):
    """The `strict` exposures: from the NNLS fit, drop the signature of smallest exposure and
    refit on the rest, for as long as the cosine similarity falls by at most `max_delta` in
    that step; the last fit within it is kept. A signature at 0 goes first and changes
    nothing, so the signatures left at 0 by a fit are dropped at once, without a refit."""
    exposures = nnls(signatures, counts, passive=passive)
    cosine, _ = quality(signatures, counts, exposures)
    kept = exposures > 0
    todo = np.flatnonzero(kept.any(axis=1))
    while todo.size:
        current = exposures[todo]
        smallest = np.argmin(np.where(current > 0, current, np.inf), axis=1)
        trial = kept[todo].copy()
        trial[np.arange(todo.size), smallest] = False
        refit = nnls(signatures, counts[todo], allowed=trial, passive=trial)
        trial_cosine, _ = quality(signatures, counts[todo], refit)
        within = cosine[todo] - trial_cosine <= max_delta
        todo = todo[within]
        exposures[todo] = refit[within]
        cosine[todo] = trial_cosine[within]
        kept[todo] = refit[within] > 0
        todo = todo[kept[todo].any(axis=1)]
    return exposures


def fit(signatures, counts, method, max_delta, passive=None):
    """Exposures (samples x k) by `method`: "nnls" or "strict"; `passive` as for nnls."""
    if method == "strict":
        return strict(signatures, counts, max_delta, passive)
    return nnls(signatures, counts, passive=passive)
