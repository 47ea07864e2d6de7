"""Benchmarks of `mutflank matrix` and `mutflank plot` (run by `make bench-matrix`).

- matrix from tables, all three types, against one bare `mutflank.parse_vcf_files` call at
  context 5 on the same tables (target: at most 2 times its time), in one process, repeated
  in alternating order, medians;
- `mutflank plot` of a 1,000-sample SBS96 matrix: time and peak memory;
- peak memory of `mutflank matrix` over 10,000 small tables and over one table of 5 million
  records, against a run over one small table (bounded by the buffer, not by the records).

Data is generated with a fixed seed into bench/.data/cli (cached). --quick uses a tenth.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DATA = HERE / ".data" / "cli"
CHROMOSOMES = {"1": 40_000_000, "2": 30_000_000, "X": 20_000_000}
SAMPLES = 20


def reference(root):
    """A GRCh37 reference of random bases (a few N), made once."""
    folder = root / "GRCh37"
    if all((folder / f"{name}.txt").exists() for name in CHROMOSOMES):
        return {name: np.fromfile(folder / f"{name}.txt", dtype=np.uint8)
                for name in CHROMOSOMES}
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(1)
    genome = {}
    for name, length in CHROMOSOMES.items():
        bases = rng.integers(0, 4, length, dtype=np.uint8)
        bases[rng.integers(0, length, length // 1000)] = 16
        bases.tofile(folder / f"{name}.txt")
        genome[name] = bases
    return genome


def table_text(rng, genome, records, samples=SAMPLES, sample_names=None):
    """Ten-column lines of substitutions sorted by chromosome and position, the way
    `mutflank table` writes a multi-sample VCF: each record's carriers one after another."""
    names = list(CHROMOSOMES)
    weights = np.array([CHROMOSOMES[name] for name in names], dtype=float)
    chosen = rng.choice(len(names), records, p=weights / weights.sum())
    lines = []
    for index, name in enumerate(names):
        count = int((chosen == index).sum())
        positions = np.sort(rng.integers(1, CHROMOSOMES[name] + 1, count))
        codes = genome[name][positions - 1]
        refs = np.where(codes < 4, codes, rng.integers(0, 4, count))
        alts = (refs + rng.integers(1, 4, count)) % 4
        who = rng.integers(0, samples, count)
        for position, ref, alt, sample in zip(positions.tolist(), refs.tolist(),
                                              alts.tolist(), who.tolist()):
            sample_name = sample_names[sample] if sample_names else f"S{sample:02d}"
            lines.append(f"{sample_name}\tBENCH\t.\tGRCh37\tSNV\t{name}\t{position}\t{position}\t"
                         f"{'ACGT'[ref]}\t{'ACGT'[alt]}\n")
    return "".join(lines)


def tables(root, genome, count, records, tag, samples=SAMPLES):
    folder = root / tag
    paths = [folder / f"t{i:05d}.tsv" for i in range(count)]
    if all(path.exists() for path in paths):
        return paths
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(zlib.crc32(tag.encode()))
    for number, path in enumerate(paths):
        names = [f"T{number:05d}_{i}" for i in range(samples)] if count > 100 else None
        with open(path, "w") as out:
            for start in range(0, records, 500_000):  # in parts: the text of 5M lines is big
                out.write(table_text(rng, genome, min(500_000, records - start), samples, names))
    return paths


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def bench_matrix_against_bare(root, paths, repetitions):
    import mutflank

    from mutflank_tools.cli import main

    out = root / "out" / "bench"
    out.parent.mkdir(exist_ok=True)
    names = [str(path) for path in paths]
    ref = str(root / "ref")

    def bare():
        mutflank.parse_vcf_files(names, ref, 5)

    def command():
        code = main(["matrix", *names, "--reference", ref, "-o", str(out), "--merge-samples"])
        assert code == 0

    devnull = open(os.devnull, "w")
    saved, sys.stderr = sys.stderr, devnull
    try:
        command()  # imports and caches warm
        times = {"bare": [], "matrix": []}
        for repetition in range(repetitions):
            order = [("bare", bare), ("matrix", command)]
            for name, function in order if repetition % 2 == 0 else order[::-1]:
                times[name].append(timed(function))
    finally:
        sys.stderr = saved
    records = sum(1 for name in names for _ in open(name))
    bare_s = statistics.median(times["bare"])
    matrix_s = statistics.median(times["matrix"])
    print(f"matrix from {len(names)} tables, {records:,} records, all three types "
          f"(median of {repetitions}, alternating):")
    print(f"  one parse_vcf_files call at context 5  {bare_s:7.3f} s  "
          f"{1e6 * bare_s / records:5.2f} us/record")
    print(f"  mutflank matrix (in-process)           {matrix_s:7.3f} s  "
          f"{1e6 * matrix_s / records:5.2f} us/record")
    ratio = matrix_s / bare_s
    print(f"  matrix/bare {ratio:.2f} <= 2.0: {'ok' if ratio <= 2.0 else 'MISSED'}")
    return ratio


# Runs a command and prints its peak resident size: a fresh parent for each command, since a
# process's RUSAGE_CHILDREN keeps the largest child it ever had.
_MEASURE = """
import resource, subprocess, sys
done = subprocess.run(sys.argv[1:], capture_output=True, text=True)
if done.returncode:
    sys.exit(done.stderr)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def peak_of(command):
    """(seconds, peak resident MB) of a command run in a child process."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", _MEASURE, *map(str, command)],
                          capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(map(str, command[:3]))} failed: {done.stderr}")
    return seconds, int(done.stdout) / 1024


def mutflank_command():
    return [str(Path(sys.executable).parent / "mutflank")]


def bench_plot(root):
    from mutflank_tools.counting import channels
    from mutflank_tools.commands import matrix

    rng = np.random.default_rng(5)
    path = root / "cohort.SBS96.tsv"
    counts = rng.integers(0, 200, (96, 1000))
    names = [f"DO{i:05d}" for i in range(1000)]
    path.write_text("".join(matrix.matrix_lines(names, counts.T, channels.SBS96, False)))
    assert len(channels.SBS96) == 96
    seconds, peak = peak_of([*mutflank_command(), "plot", str(path), "-o",
                             str(root / "out" / "cohort.png")])
    print(f"plot of a 1,000-sample SBS96 matrix: {seconds:.2f} s, peak resident {peak:.0f} MB")


def bench_memory(root, genome, quick):
    ref = str(root / "ref")
    out = str(root / "out" / "memory")
    one = tables(root, genome, 1, 1000, "one-small")
    small_count = 1000 if quick else 10_000
    small = tables(root, genome, small_count, 20, f"small-{small_count}", samples=1)
    listing = root / f"small-{small_count}.list"
    listing.write_text("".join(f"{path}\n" for path in small))
    big_records = 500_000 if quick else 5_000_000
    big = tables(root, genome, 1, big_records, f"big-{big_records}")
    rows = [("1 table of 1,000 records", one),
            (f"{small_count:,} tables of 20 records, one sample each", None),
            (f"1 table of {big_records:,} records", big)]
    print("peak resident memory of mutflank matrix (child process, all three types):")
    for label, paths in rows:
        inputs = [str(path) for path in paths] if paths else ["--table-list", str(listing)]
        seconds, peak = peak_of([*mutflank_command(), "matrix", *inputs, "--reference", ref,
                                 "-o", out])
        print(f"  {label:45s} {seconds:7.2f} s  peak {peak:6.0f} MB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the data")
    parser.add_argument("--repetitions", type=int, default=5)
    args = parser.parse_args()
    scale = 0.1 if args.quick else 1.0
    root = DATA
    root.mkdir(parents=True, exist_ok=True)
    genome = reference(root / "ref")
    (root / "out").mkdir(exist_ok=True)
    paths = tables(root, genome, 10, int(100_000 * scale), f"tables-{scale}")
    print(f"mutflank command benchmark; machine: {os.cpu_count()} cores, "
          f"Python {sys.version.split()[0]}")
    bench_matrix_against_bare(root, paths, args.repetitions)
    bench_plot(root)
    bench_memory(root, genome, args.quick)


if __name__ == "__main__":
    main()
