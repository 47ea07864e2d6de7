"""Counted records carry what the checks worked out (allele shapes, tally rows, reference
places) through the splitting of long substitutions and the doublet merger: every row that
comes out has the shape of its own alleles and the row and place of the record it came from."""

import numpy as np
import pytest

from test_kinds import SOURCE, batch

from mutflank_tools import _engine
from mutflank_tools.counting import doublets
from mutflank_tools.counting.counted import Counted
from mutflank_tools.counting.kinds import allele_shapes
from mutflank_tools.inputs.records import LeftOut

ROWS = [("S1", "1", 10, "A", "C"), ("S2", "1", 10, "A", "G"), ("S1", "1", 11, "C", "G"),
        ("S2", "1", 20, "ACGT", "TCAT"), ("S1", "1", 30, "AC", "GT"), ("S2", "2", 5, "A", "AT"),
        ("S1", "2", 7, "G", "T"), ("S1", "2", 7, "G", "T"), ("S2", "2", 21, "C", "A"),
        ("S1", "2", 40, "TTTT", "GTAA"), ("S2", "2", 22, "G", "T")]
SAMPLES, CHROMOSOMES = {"S1": 4, "S2": 9}, {"1": 0, "2": 3}


def counted(rows, first_line):
    records = batch(rows, first_line)
    return Counted(input=SOURCE, left_out=LeftOut(), filter=None, id=None, build=None,
                   **{name: getattr(records, name) for name in
                      ("sample", "chromosome", "position", "ref", "alt", "line", "phase",
                       "weight")},
                   shape=allele_shapes(records.ref, records.alt),
                   row=np.array([SAMPLES[s] for s in records.sample], dtype=np.int64),
                   place=np.array([CHROMOSOMES[c] for c in records.chromosome], dtype=np.int64))


@pytest.mark.parametrize("hold, size", [(doublets.HOLD, 11), (0, 1), (2, 3)])
def test_rows_keep_their_own_shape_row_and_place(hold, size):
    merger = doublets.Merger(hold=hold)
    out = []
    for start in range(0, len(ROWS), size):
        part = merger.feed(doublets.split_substitutions(counted(ROWS[start:start + size],
                                                                start + 1)))
        out.append(part)
    out.append(merger.finish())
    assert all(isinstance(part, Counted) for part in out)
    rows = [(s, c, p, r, a, int(shape), int(row), int(place))
            for part in out for s, c, p, r, a, shape, row, place in zip(
                part.sample, part.chromosome, part.position.tolist(), part.ref, part.alt,
                part.shape, part.row, part.place)]
    expected = [(s, c, p, r, a, int(allele_shapes(np.array([r], dtype=object),
                                                  np.array([a], dtype=object))[0]),
                 SAMPLES[s], CHROMOSOMES[c]) for s, c, p, r, a, *_ in rows]
    assert rows == expected
    assert sorted((s, c, p, r, a) for s, c, p, r, a, *_ in rows) == [
        ("S1", "1", 10, "AC", "CG"), ("S1", "1", 30, "AC", "GT"), ("S1", "2", 7, "G", "T"),
        ("S1", "2", 40, "T", "G"), ("S1", "2", 42, "TT", "AA"), ("S2", "1", 10, "A", "G"),
        ("S2", "1", 20, "A", "T"), ("S2", "1", 22, "G", "A"), ("S2", "2", 5, "A", "AT"),
        ("S2", "2", 21, "CG", "AT")]


def test_an_empty_batch_keeps_every_column():
    empty = doublets.concatenate([counted(ROWS[:1], 1).take(np.zeros(1, dtype=bool))],
                                 SOURCE, LeftOut())
    assert isinstance(empty, Counted)
    assert [len(getattr(empty, name)) for name in ("shape", "row", "place", "ref")] == [0] * 4


@pytest.mark.parametrize("seed", range(3))
def test_the_engine_takes_samples_as_numbers_or_names(seed):
    rng = np.random.default_rng(seed)
    size = 400
    numbers = rng.choice(np.array([7, 300, 2, 41], dtype=np.int64), size)
    names = np.array([f"S{n}" for n in numbers.tolist()], dtype=object)
    chromosomes = np.array(["1"] * (size // 2) + ["2"] * (size - size // 2), dtype=object)
    positions = np.concatenate([np.sort(rng.integers(1, 120, size // 2)),
                                np.sort(rng.integers(1, 120, size - size // 2))])
    alts = rng.choice(np.array(["A", "C"], dtype=object), size)
    phase = np.zeros(size, dtype=np.int64)
    answers = []
    for samples in (names, numbers):
        merger = _engine.DoubletMerger()
        half = size // 2
        order = [merger.check_order(samples[:half], chromosomes[:half], positions[:half]),
                 merger.check_order(samples[half:], chromosomes[half:], positions[half:])]
        resolved = merger.resolve(samples, chromosomes, positions, alts, phase, False)
        answers.append((order, [part.tolist() for part in resolved]))
    assert answers[0] == answers[1]
    assert answers[0][0] == [-1, -1]
    assert all(answers[0][1][i] for i in (0, 1, 2, 4, 5))  # kept, singles, pairs, runs, again
