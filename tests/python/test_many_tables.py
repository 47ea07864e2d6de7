"""examples/many_tables.py: the spectrum of many tables on a two-process Dask cluster."""

import random
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
import many_tables  # noqa: E402
import spectrum  # noqa: E402

# Debian's distributed calls a tornado function that tornado itself marks deprecated.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

GENOME_LENGTH = 3000
SAMPLES = ("S1", "S2", "S3", "S4")


@pytest.fixture
def data(tmp_path):
    """A random chromosome with some N and nine tables of random substitutions."""
    rng = random.Random(6)
    genome = [rng.choice([0, 1, 2, 3, 0, 1, 2, 3, 16]) for _ in range(GENOME_LENGTH)]
    (tmp_path / "ref" / "GRCh38").mkdir(parents=True)
    (tmp_path / "ref" / "GRCh38" / "7.txt").write_bytes(bytes(genome))
    tables = []
    for number in range(9):
        lines = []
        for _ in range(rng.randint(20, 60)):
            position = rng.randint(1, GENOME_LENGTH - 1)
            ref = "ACGTN"[min(genome[position - 1], 4)]
            alt = rng.choice([base for base in "ACGT" if base != ref])
            kind = rng.choice(["SNP", "SNP", "SNV", "INDEL"])
            lines.append(f"{rng.choice(SAMPLES)}\tP{number}\t.\tGRCh38\t{kind}\t7\t{position}\t"
                         f"{position}\t{ref}\t{alt}\n")
        path = tmp_path / f"t{number}.tsv"
        path.write_text("".join(lines))
        tables.append(str(path))
    return tmp_path, tables


def test_batches():
    assert many_tables.batches(list("abcde"), 2) == [["a", "b"], ["c", "d"], ["e"]]
    assert many_tables.batches(list("ab"), 5) == [["a", "b"]]


def test_local_cluster_counts_equal_one_call(data):
    tmp_path, tables = data
    single, other = spectrum.count_tables(tables, str(tmp_path / "ref"))
    assert sorted(single) == list(SAMPLES)
    assert other > 0  # some contexts hold an N
    (tmp_path / "more.txt").write_text("\n".join(tables[5:]) + "\n")
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "many_tables.py"), *tables[:5],
         "--table-list", str(tmp_path / "more.txt"), "--reference", str(tmp_path / "ref"),
         "--workers", "2", "--batch-size", "2",
         "--tsv", str(tmp_path / "many.tsv")],
        capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    total = sum(map(sum, single.values()))
    assert result.stderr.endswith(
        f"many_tables.py: 9 table(s), {total} substitutions in 4 sample(s); "
        f"{other} context(s) outside the 96 channels\n")
    assert spectrum.read_matrix(tmp_path / "many.tsv") == single


@pytest.mark.parametrize("args, message", [
    ([], "no tables given"),
    (["t.tsv", "--batch-size", "0"], "--batch-size and --workers must be at least 1"),
    (["t.tsv", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "not allowed with argument"),
])
def test_bad_arguments(args, message, capsys):
    with pytest.raises(SystemExit) as stop:
        many_tables.main([*args, "--reference", "ref"])
    assert stop.value.code == 2
    assert message in capsys.readouterr().err


@pytest.fixture(scope="module")
def scheduler():
    """The address of a two-process cluster started here, as one running elsewhere."""
    import logging

    from distributed import LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        yield cluster.scheduler_address


def test_existing_scheduler_counts_equal_one_call(data, scheduler, capsys):
    tmp_path, tables = data
    single, _ = spectrum.count_tables(tables, str(tmp_path / "ref"))
    code = many_tables.main([*tables, "--reference", str(tmp_path / "ref"), "--scheduler", scheduler,
                             "--batch-size", "4", "--tsv", str(tmp_path / "many.tsv")])
    assert code == 0, capsys.readouterr().err
    assert spectrum.read_matrix(tmp_path / "many.tsv") == single


def test_failing_batch_is_named(data, scheduler, capsys):
    tmp_path, tables = data
    missing = str(tmp_path / "missing.tsv")
    code = many_tables.main([*tables[:4], missing, *tables[4:], "--reference", str(tmp_path / "ref"),
                             "--scheduler", scheduler, "--batch-size", "2",
                             "--tsv", str(tmp_path / "many.tsv")])
    assert code == 1
    assert capsys.readouterr().err == (
        f"many_tables.py: error: the batch starting with {missing} failed: "
        "OSError: Failed to open the VCF file\n")
    assert not (tmp_path / "many.tsv").exists()
