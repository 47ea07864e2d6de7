"""The same mutation of a column counted once: the engine's set of mutations, whose lanes
look for repeats among the records of one position while their records come sorted, against
a plain set; and the counter's records left out as copies, in and across batches."""

import random
import re

import numpy as np
import pytest

from test_counting_rules import (BUILD, DUPLICATES, GENOME, other, reference,  # noqa: F401
                                 snv, write_input)

from mutflank_tools import _engine
from mutflank_tools.counting.tally import Settings
from mutflank_tools.counting.work import Item, count_inputs


def objects(values):
    array = np.empty(len(values), dtype=object)
    array[:] = values
    return array


def seeded_records(seed, shuffled):
    """(lane, chromosome, position, mutation id) of records sorted by chromosome and position,
    with repeats at a position; the second half shuffled when `shuffled`. A mutation keeps to
    its lane, as a record's mutation class and input do."""
    rng = random.Random(seed)
    records = []
    for chromosome in ("1", "2", "X"):
        for position in sorted(rng.sample(range(1, 300), 80)):
            for _ in range(rng.randint(1, 4)):
                mutation = rng.randint(0, 2)
                records.append((mutation % 2, chromosome, position, mutation))
    if shuffled:
        half = len(records) // 2
        records[half:] = rng.sample(records[half:], len(records) - half)
    return records


def first_times_in_batches(records, seed):
    """What one MutationSet says of `records`, fed in batches of random sizes."""
    rng = random.Random(seed)
    seen, answers, at = _engine.MutationSet(), [], 0
    while at < len(records):
        batch = records[at:at + rng.randint(1, 40)]
        at += len(batch)
        lanes = np.array([lane for lane, *_ in batch], dtype=np.int64)
        chromosomes = objects([chromosome for _, chromosome, _, _ in batch])
        positions = np.array([position for *_, position, _ in batch], dtype=np.uint64)
        first = np.array([hash((c, p, m)) & (2 ** 64 - 1) for _, c, p, m in batch],
                         dtype=np.uint64)
        second = np.array([p * 7 + m for _, _, p, m in batch], dtype=np.uint64)
        answers += seen.first_times(first, second, lanes, chromosomes, positions).tolist()
    return answers, len(seen)


@pytest.mark.parametrize("shuffled", [False, True])
@pytest.mark.parametrize("seed", range(4))
def test_the_set_answers_as_a_plain_set(seed, shuffled):
    records = seeded_records(seed, shuffled)
    model, expected = set(), []
    for _, chromosome, position, mutation in records:
        expected.append((chromosome, position, mutation) not in model)
        model.add((chromosome, position, mutation))
    answers, size = first_times_in_batches(records, seed)
    assert answers == expected
    assert size == len(model)
    assert expected.count(False) > 20


@pytest.mark.parametrize("disorder", [("1", 40), ("2", 10)])
def test_a_repeat_after_a_record_out_of_order_is_found(disorder):
    # chromosome 1 to 50, then 2 from 20; a record out of order; repeats of records kept before
    records = [(0, "1", 10, 1), (0, "1", 50, 1), (0, "2", 20, 1), (0, *disorder, 2),
               (0, "1", 10, 1), (0, "2", 20, 1), (0, *disorder, 2), (0, "2", 30, 1)]
    answers, size = first_times_in_batches(records, 0)
    assert answers == [True, True, True, True, False, False, False, True]
    assert size == 5


@pytest.mark.parametrize("arguments, error, message", [
    ((np.zeros(1, dtype=np.int64),), TypeError,
     "first_times: give lanes with chromosomes and positions"),
    ((np.zeros(1, dtype=np.int64), objects([b"1"]), np.zeros(1, dtype=np.uint64)), TypeError,
     "bad argument type for built-in operation"),
    ((np.zeros(2, dtype=np.int64), objects(["1"]), np.zeros(1, dtype=np.uint64)), ValueError,
     "lanes has another length"),
])
def test_the_set_names_arguments_that_do_not_fit(arguments, error, message):
    words = np.zeros(1, dtype=np.uint64)
    with pytest.raises(error, match=re.escape(message)):
        _engine.MutationSet().first_times(words, words, *arguments)


# ---- the counter -----------------------------------------------------------------------------

def deletion(pos, sample="S1"):
    return (sample, pos, GENOME[pos - 1:pos + 2], "-", "")


def doublet(pos, sample="S1"):
    ref = GENOME[pos - 1:pos + 1]
    return (sample, pos, ref, other(ref[0]) + other(ref[1]), "")


def counted(reference, path, options, batch_records):
    settings = Settings(kinds=("SBS96", "DBS78", "ID83"))
    tally = count_inputs([Item(0, str(path), str(path))], str(reference), settings,
                         batch_records=batch_records, merge_doublets="merge" in options)
    return ({name: int(tally.matrix(name).sum()) for name in ("SBS96", "DBS78", "ID83")},
            dict(tally.left_out))


@pytest.mark.parametrize("options", [("merge",), ()])
@pytest.mark.parametrize("shuffled", [False, True])
@pytest.mark.parametrize("batch_records", [2, 3, 1 << 16])
def test_copies_in_and_across_batches_are_left_out(reference, tmp_path, options, shuffled,
                                                   batch_records):
    # Deletions, doublets and SNVs of two samples, each third one written twice in a row (a
    # copy across a batch edge where batches are small), and a doublet of two SNVs that is
    # also written as a doublet.
    records = []
    for number, pos in enumerate(range(100, 1400, 50)):
        sample = "S1" if number % 2 else "S2"
        for record in (deletion(pos, sample), doublet(pos + 10, sample), snv(pos + 20, sample)):
            records += [record] * (2 if number % 3 == 0 else 1)
    records += [snv(1500), snv(1501), doublet(1500)]
    if shuffled:
        records = random.Random(5).sample(records, len(records))
    path = write_input(tmp_path / "calls.maf", records, "maf")
    counts, left_out = counted(reference, path, options, batch_records)
    merged = "merge" in options
    assert counts == {"SBS96": 26 + (0 if merged else 2), "DBS78": 27, "ID83": 26}
    copies = 27 + (2 if merged else 0)
    assert left_out == {(DUPLICATES, "1"): copies}


@pytest.mark.parametrize("options", [("merge",), ()])
def test_inputs_read_whole_or_in_pieces_count_alike(reference, tmp_path, options):
    # Small inputs read whole in one group (those whose SNVs are apart pass no merger) or in
    # batches of two records (every input through its merger): SNVs apart, side by side, at
    # one position, and copies.
    calls = [[snv(100), snv(300), snv(500), deletion(700)],
             [snv(100), snv(101), snv(400), doublet(600)],
             [snv(200), snv(200), snv(900)],
             [snv(1000, "S2"), snv(1002, "S2"), snv(1004, "S2")]]
    paths = [write_input(tmp_path / f"{n}.maf", rows, "maf") for n, rows in enumerate(calls)]
    settings = Settings(kinds=("SBS96", "DBS78", "ID83"), by_input=True)
    results = []
    for batch_records in (1 << 16, 2):
        tally = count_inputs([Item(n, str(path), str(path)) for n, path in enumerate(paths)],
                             str(reference), settings, batch_records=batch_records,
                             merge_doublets="merge" in options)
        results.append(({name: tally.matrix(name).tolist() for name in ("SBS96", "DBS78",
                                                                          "ID83")},
                         dict(tally.left_out), dict(tally.left_out.inputs), tally.records))
    assert results[0] == results[1]
    merged = "merge" in options
    assert results[0][3] == (12 if merged else 13)
    assert results[0][2] == {(DUPLICATES, 2): 1}
