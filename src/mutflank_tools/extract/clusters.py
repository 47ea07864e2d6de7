"""The replicate signatures of one rank clustered into that many groups, and how well apart the
groups are.

Clusters: every replicate gives one signature to each cluster. Starting from the signatures of
the first replicate as centroids, each replicate's signatures are matched one-to-one to the
centroids by the assignment of largest total cosine similarity (the Hungarian method), the
centroids become the mean of their members, and this repeats until no match changes.

Silhouette, with the cosine distance d = 1 - cosine similarity: for a signature i of a cluster
A, a(i) is its mean distance to the other members of A and b(i) the least, over the other
clusters B, of its mean distance to the members of B; s(i) = (b - a) / max(a, b), 0 when a
cluster has one member or a = b = 0. A cluster's silhouette is the mean over its members."""

import numpy as np

MAX_ROUNDS = 100


def unit_columns(values):
    """Columns scaled to unit length (last two axes: channels x signatures)."""
    norms = np.linalg.norm(values, axis=-2, keepdims=True)
    return values / np.where(norms > 0, norms, 1.0)


def match(signatures, rounds=MAX_ROUNDS):
    """(labels: replicates x rank, the cluster of each replicate signature; centroids: channels
    x rank, the mean of each cluster's members scaled to sum to 1) of signatures (replicates x
    channels x rank)."""
    from scipy import optimize  # optional: the verb says which package is missing

    units = unit_columns(signatures)
    replicates, _, rank = signatures.shape
    centroids = units[0]
    labels = np.full((replicates, rank), -1)
    for _ in range(rounds):
        similarity = np.swapaxes(units, 1, 2) @ unit_columns(centroids)  # reps x own x centroid
        new = np.empty_like(labels)
        for replicate in range(replicates):
            own, cluster = optimize.linear_sum_assignment(similarity[replicate], maximize=True)
            new[replicate, own] = cluster
        if np.array_equal(new, labels):
            break
        labels = new
        centroids = _means(units, labels, rank)
    return labels, _means(signatures, labels, rank, total=True)


def _means(signatures, labels, rank, total=False):
    """Mean of each cluster's members (channels x rank); summing to 1 with `total`."""
    replicates = np.arange(len(labels))[:, None]
    order = np.argsort(labels, axis=1)  # each replicate's signature of cluster 0, 1, ...
    members = signatures[replicates, :, order]  # replicates x rank x channels
    means = members.mean(axis=0).T
    if total:
        means = means / means.sum(axis=0, keepdims=True)
    return means


def silhouettes(signatures, labels):
    """The silhouette of every replicate signature (replicates x rank), by cosine distance."""
    replicates, channels, rank = signatures.shape
    points = np.swapaxes(unit_columns(signatures), 1, 2).reshape(-1, channels)
    flat = labels.reshape(-1)
    distance = np.maximum(1.0 - points @ points.T, 0.0)
    np.fill_diagonal(distance, 0.0)
    members = np.bincount(flat, minlength=rank)
    sums = distance @ np.eye(rank)[flat]  # point x cluster: sum of distances to its members
    everyone = np.arange(len(flat))
    own = members[flat] - 1
    a = np.where(own > 0, sums[everyone, flat] / np.maximum(own, 1), 0.0)
    means = sums / members
    means[everyone, flat] = np.inf
    b = means.min(axis=1) if rank > 1 else np.zeros(len(flat))
    larger = np.maximum(a, b)
    s = np.where((own > 0) & (larger > 0), (b - a) / np.where(larger > 0, larger, 1.0), 0.0)
    return s.reshape(replicates, rank)


def stability(signatures, labels):
    """(mean silhouette of all replicate signatures, least mean silhouette of a cluster)."""
    s = silhouettes(signatures, labels)
    flat = labels.reshape(-1)
    per_cluster = np.bincount(flat, weights=s.reshape(-1)) / np.bincount(flat)
    return float(s.mean()), float(per_cluster.min())
