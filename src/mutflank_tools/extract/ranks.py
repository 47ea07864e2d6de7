"""What each rank gives, and the rule that chooses one.

For a rank k: the replicate signatures are clustered (clusters.match); the centroids are the
rank's signatures; the stability is the mean silhouette of the clustering and its minimum per
signature; the accuracy is that of reconstructing the original matrix M (channels x samples)
from the centroids with exposures by non-negative least squares (the fit's solver): the mean
over samples of the cosine similarity of sample and reconstruction, and the relative error
|M - W E| / |M| (Frobenius norms).

The rule (docs/extract.md): a rank is stable when its mean silhouette is at least STABLE_MEAN
and the least mean silhouette of one of its signatures at least STABLE_LEAST; the chosen rank
is the largest stable one. One signature more than the data hold splits a real one, or fits
noise, differently in every replicate: its cluster's silhouette falls far below the others',
so the least silhouette tells an unstable rank even when the mean stays high."""

from dataclasses import dataclass

import numpy as np

from . import clusters
from ..fit.solve import nnls, quality

STABLE_MEAN = 0.8
STABLE_LEAST = 0.5


@dataclass
class Rank:
    rank: int
    signatures: np.ndarray  # channels x rank, columns summing to 1
    stability: float  # mean silhouette
    least: float  # least mean silhouette of a signature
    cosine: float  # mean cosine similarity of sample and reconstruction
    error: float  # relative Frobenius error of the reconstruction


def summarise(rank, counts, replicate_signatures):
    """The Rank of `rank` from its replicate signatures (replicates x channels x rank) and the
    matrix counts (channels x samples)."""
    labels, centroids = clusters.match(replicate_signatures)
    stability, least = clusters.stability(replicate_signatures, labels)
    samples = counts.T
    exposures = nnls(centroids, samples)
    cosine, _ = quality(centroids, samples, exposures)
    error = np.linalg.norm(samples - exposures @ centroids.T) / np.linalg.norm(samples)
    return Rank(rank, centroids, stability, least, float(np.nanmean(cosine)), float(error))


def stable(rank):
    return rank.stability >= STABLE_MEAN and rank.least >= STABLE_LEAST


def choose(ranks):
    """The chosen rank number of a list of Rank: the largest stable rank; the smallest rank
    when none is stable."""
    good = [rank.rank for rank in ranks if stable(rank)]
    return max(good) if good else min(rank.rank for rank in ranks)
