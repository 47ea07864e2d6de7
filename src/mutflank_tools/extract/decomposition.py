"""Extracted signatures told in known ones: the closest reference signature by cosine
similarity, and a sparse non-negative decomposition into reference signatures by the fit's
`strict` rule (NNLS, then the smallest weight dropped while the cosine similarity falls by at
most max_delta a step)."""

import numpy as np

from ..fit.solve import quality, strict
from .clusters import unit_columns

MAX_DELTA = 0.004  # as fit's --max-delta


def decompose(extracted, reference, max_delta=MAX_DELTA):
    """For extracted (channels x n) on reference (channels x m), both in one channel order:
    (index of the closest reference signature per extracted one, its cosine, weights n x m of
    the decomposition summing to 1, the decomposition's cosine)."""
    similarity = unit_columns(extracted).T @ unit_columns(reference)
    closest = similarity.argmax(axis=1)
    weights = strict(reference, extracted.T, max_delta)
    cosine, _ = quality(reference, extracted.T, weights)
    totals = weights.sum(axis=1, keepdims=True)
    weights = weights / np.where(totals > 0, totals, 1.0)
    return closest, similarity[np.arange(len(closest)), closest], weights, cosine
