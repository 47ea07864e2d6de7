"""The extraction's algorithm: planted signatures found again, the matching and the silhouette
against plain models written from their definitions, results whatever the cut into units, and
the rank rule."""

import itertools

import numpy as np
import pytest

pytest.importorskip("scipy")
pytest.importorskip("mutflank_tools")  # not installed under make sanitize
from mutflank_tools.extract import clusters, nmf, ranks, work  # noqa: E402


def distinct_signatures(rng, channels, k, most=0.6):
    """k random signatures (channels x k, columns summing to 1), no two of cosine above most."""
    while True:
        values = rng.dirichlet(np.full(channels, 0.3), size=k).T
        units = values / np.linalg.norm(values, axis=0)
        similarity = units.T @ units
        np.fill_diagonal(similarity, 0)
        if similarity.max() < most:
            return values


def cohort(seed, k, samples, mutations, channels=96):
    """(signatures, counts channels x samples): Poisson counts of mixtures of k signatures."""
    rng = np.random.default_rng(seed)
    signatures = distinct_signatures(rng, channels, k)
    shares = rng.dirichlet(np.full(k, 0.7), size=samples).T
    return signatures, rng.poisson(signatures @ shares * mutations).astype(float)


def best_cosines(planted, found):
    """The cosine of each planted signature to its one-to-one match among those found."""
    from scipy.optimize import linear_sum_assignment

    similarity = clusters.unit_columns(planted).T @ clusters.unit_columns(found)
    rows, columns = linear_sum_assignment(similarity, maximize=True)
    return similarity[rows, columns]


def replicate_signatures(counts, rank, replicates, seed=3):
    return np.concatenate([work.factorise_unit(unit, counts, seed)[1]
                           for unit in work.units([rank], replicates)])


@pytest.mark.parametrize("seed, k", [(1, 3), (2, 4)])
def test_planted_signatures_are_found_and_their_number_chosen(seed, k):
    planted, counts = cohort(seed, k, samples=40, mutations=3000)
    summaries = [ranks.summarise(rank, counts, replicate_signatures(counts, rank, 8))
                 for rank in range(2, k + 2)]
    assert ranks.choose(summaries) == k
    chosen = summaries[k - 2]
    assert chosen.signatures.shape == (96, k)
    np.testing.assert_allclose(chosen.signatures.sum(axis=0), 1.0)
    assert best_cosines(planted, chosen.signatures).min() >= 0.97
    assert chosen.stability > 0.9 and chosen.cosine > 0.97
    assert summaries[-1].least < ranks.STABLE_LEAST  # one more than planted splits noise


def test_replicates_do_not_depend_on_the_cut_into_units():
    _, counts = cohort(5, 3, samples=30, mutations=1000)
    whole = work.factorise_unit((3, 0, 6), counts, 11)
    parts = [work.factorise_unit(unit, counts, 11) for unit in ((3, 0, 2), (3, 2, 3), (3, 3, 6))]
    assert np.array_equal(whole[1], np.concatenate([part[1] for part in parts]))
    assert np.array_equal(whole[2], np.concatenate([part[2] for part in parts]))
    other_seed = work.factorise_unit((3, 0, 2), counts, 12)[1]
    assert not np.array_equal(other_seed, whole[1][:2])


@pytest.mark.parametrize("cells, replicates, cut", [
    (96 * 300, 25, [(0, 10), (10, 20), (20, 25)]),  # 3.5 MB a replicate: ten a unit
    (1536 * 1000, 3, [(0, 1), (1, 2), (2, 3)]),  # 147 MB a replicate: one a unit
    (1536 * 200, 7, [(0, 7)]),  # 29 MB: eight would fit
])
def test_units_are_cut_by_the_matrix_size_alone_largest_rank_first(cells, replicates, cut):
    assert work.units([2, 5], replicates, cells) == [(rank, first, end) for rank in (5, 2)
                                                     for first, end in cut]


@pytest.mark.parametrize("together", [1, 2, 4])
def test_factorisations_do_not_depend_on_how_many_step_together(monkeypatch, together):
    """Three replicates of 12 x 30 (2,880 bytes a matrix) and their 9 starts, stepped whole,
    then a few matrices at a time."""
    _, counts = cohort(6, 3, samples=30, mutations=1000, channels=12)
    resamples = np.stack([nmf.resample(counts, nmf.replicate_rng(4, 3, replicate))
                          for replicate in range(3)])

    def factorised():
        rngs = [nmf.replicate_rng(4, 3, replicate) for replicate in range(3)]
        for rng in rngs:
            rng.poisson(counts)  # as the resample drew
        return nmf.best_of_starts(resamples, 3, rngs)

    monkeypatch.setattr(nmf, "CACHE_BYTES", 1 << 30)
    assert nmf.stepped_together(resamples) > 9
    whole = factorised()
    monkeypatch.setattr(nmf, "CACHE_BYTES", together * 2 * 2880 + 2879)
    assert nmf.stepped_together(resamples) == together
    for got, expected in zip(factorised(), whole):
        assert np.array_equal(got, expected)


# ---- the plain models ----------------------------------------------------------------------

def plain_cosine(a, b):
    return float(a @ b / (np.linalg.norm(a) * np.linalg.norm(b)))


def plain_match(signatures):
    """Matching to centroids by trying every permutation of each replicate's signatures."""
    replicates, _, rank = signatures.shape
    centroids = [signatures[0][:, j] / np.linalg.norm(signatures[0][:, j]) for j in range(rank)]
    labels = None
    for _ in range(100):
        new = []
        for r in range(replicates):
            best = max(itertools.permutations(range(rank)), key=lambda perm: sum(
                plain_cosine(signatures[r][:, i], centroids[perm[i]]) for i in range(rank)))
            new.append(list(best))
        if new == labels:
            break
        labels = new
        centroids = []
        for c in range(rank):
            members = [signatures[r][:, labels[r].index(c)] for r in range(replicates)]
            centroids.append(np.mean([m / np.linalg.norm(m) for m in members], axis=0))
    return np.array(labels)


def plain_silhouettes(signatures, labels):
    points = [(signatures[r][:, i], labels[r][i]) for r in range(len(labels))
              for i in range(len(labels[r]))]
    values = []
    for i, (p, own) in enumerate(points):
        def mean_distance(cluster):
            others = [1 - plain_cosine(p, q) for j, (q, c) in enumerate(points)
                      if c == cluster and j != i]
            return sum(others) / len(others) if others else None
        a = mean_distance(own)
        if a is None:
            values.append(0.0)
            continue
        b = min(mean_distance(c) for c in set(labels.flat) if c != own)
        values.append(0.0 if max(a, b) == 0 else (b - a) / max(a, b))
    return np.array(values).reshape(labels.shape)


def noisy_replicates(seed, replicates, rank, noise, channels=12):
    """Replicates of `rank` signatures with noise, each replicate's columns shuffled; also the
    shuffles (the true cluster of each column)."""
    rng = np.random.default_rng(seed)
    truth = rng.dirichlet(np.ones(channels), size=rank).T
    stack, shuffles = [], []
    for _ in range(replicates):
        order = rng.permutation(rank)
        values = truth[:, order] * rng.lognormal(0, noise, (channels, rank))
        stack.append(values / values.sum(axis=0))
        shuffles.append(order)
    return np.array(stack), np.array(shuffles)


@pytest.mark.parametrize("seed, replicates, rank, noise", [
    (1, 6, 3, 0.1), (2, 5, 4, 0.8), (3, 8, 2, 1.5), (4, 1, 3, 0.5), (5, 7, 4, 2.0)])
def test_matching_and_silhouettes_agree_with_plain_models(seed, replicates, rank, noise):
    signatures, _ = noisy_replicates(seed, replicates, rank, noise)
    labels, centroids = clusters.match(signatures)
    assert np.array_equal(labels, plain_match(signatures))
    for c in range(rank):
        members = [signatures[r][:, list(labels[r]).index(c)] for r in range(replicates)]
        np.testing.assert_allclose(centroids[:, c], np.mean(members, axis=0) /
                                   np.mean(members, axis=0).sum(), rtol=1e-12)
    expected = plain_silhouettes(signatures, labels)
    np.testing.assert_allclose(clusters.silhouettes(signatures, labels), expected, atol=1e-12)
    mean, least = clusters.stability(signatures, labels)
    assert mean == pytest.approx(expected.mean(), abs=1e-12)
    per_cluster = [expected[labels == c].mean() for c in range(rank)]
    assert least == pytest.approx(min(per_cluster), abs=1e-12)


def test_matching_finds_the_shuffled_columns_of_close_replicates():
    signatures, shuffles = noisy_replicates(9, 20, 5, 0.05)
    labels, _ = clusters.match(signatures)
    # Cluster names are those of the first replicate's columns: map them to the truth.
    named = {label: shuffles[0][i] for i, label in enumerate(labels[0])}
    assert np.array_equal(np.vectorize(named.get)(labels), shuffles)
    assert clusters.stability(signatures, labels)[1] > 0.9


def summary(rank, stability, least, error=0.1):
    return ranks.Rank(rank, np.zeros((4, rank)), stability, least, 0.99, error)


@pytest.mark.parametrize("table, chosen", [
    ([(2, 0.9, 0.8), (3, 0.95, 0.9), (4, 0.85, 0.55), (5, 0.7, -0.2)], 4),
    ([(2, 0.9, 0.8), (3, 0.79, 0.7), (4, 0.9, 0.6), (5, 0.81, 0.49)], 4),  # a gap, then stable
    ([(2, 0.95, 0.9), (3, 0.95, 0.49), (4, 0.6, 0.1)], 2),  # one unstable signature is enough
    ([(3, 0.5, 0.1), (4, 0.6, 0.2)], 3),  # none stable: the smallest
])
def test_the_rule_chooses_the_largest_stable_rank(table, chosen):
    assert ranks.choose([summary(*row) for row in table]) == chosen
