"""counting.opportunities.count: the chromosome files of a build counted by several threads at
once sum to what the engine counts file by file, whatever the number of threads; the progress
hears of each file, largest first; a file that cannot be read is one error naming it, the
first in that order."""

import os

import numpy as np
import pytest

pytest.importorskip("mutflank_tools")
from mutflank_tools import _engine  # noqa: E402
from mutflank_tools.counting import opportunities  # noqa: E402
from mutflank_tools.reference.genome import Genome  # noqa: E402
from mutflank_tools.runtime.errors import InputError  # noqa: E402

LENGTHS = {"1": 3000, "2": 5000, "3": 1000, "X": 2000}


@pytest.fixture
def reference(tmp_path):
    folder = tmp_path / "reference" / "B"
    folder.mkdir(parents=True)
    rng = np.random.default_rng(5)
    for name, length in LENGTHS.items():
        codes = rng.integers(0, 4, length, dtype=np.uint8)
        codes[100:110] = 16  # an N run
        codes.tofile(folder / f"{name}.txt")
    return tmp_path / "reference"


def engine_sums(root):
    """The engine's counts of each file, added up one file at a time."""
    sums = [np.zeros((4, 32), np.uint64), np.zeros(512, np.uint64), np.zeros(10, np.uint64)]
    for name in LENGTHS:
        for total, part in zip(sums, _engine.count_contexts(str(root / "B" / f"{name}.txt"),
                                                            None, None)):
            total += part
    return sums


@pytest.mark.parametrize("threads", [1, 2, 3, 8])
def test_threads_sum_to_the_files_counted_one_by_one(reference, monkeypatch, threads):
    monkeypatch.setattr(opportunities, "workers", lambda: threads)
    heard = []
    counts, bases, chromosomes = opportunities.count(Genome(str(reference)), "B",
                                                     on_chromosome=heard.append)
    trinucleotides, pentanucleotides, dinucleotides = engine_sums(reference)
    assert np.array_equal(counts.trinucleotides, trinucleotides)
    assert np.array_equal(counts.pentanucleotides, pentanucleotides)
    assert np.array_equal(counts.dinucleotides, dinucleotides)
    # Each N of the run stops 5 pentanucleotides; each chromosome's ends stop 4.
    assert int(counts.pentanucleotides.sum()) == sum(LENGTHS.values()) - 4 * (10 + 4) - 4 * 4
    assert (bases, chromosomes) == (11000, 4)
    assert heard == [5000, 3000, 2000, 1000]


@pytest.mark.parametrize("threads", [1, 2])
def test_the_first_unreadable_file_largest_first_is_the_error(reference, monkeypatch, threads):
    monkeypatch.setattr(opportunities, "workers", lambda: threads)
    genome = Genome(str(reference))
    genome.chromosomes("B")  # listed before two files go
    os.remove(reference / "B" / "X.txt")
    os.remove(reference / "B" / "1.txt")
    with pytest.raises(InputError) as error:
        opportunities.count(genome, "B")
    assert str(error.value) == f"{reference / 'B' / '1.txt'}: cannot open the chromosome file"
