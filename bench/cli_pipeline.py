"""Benchmarks of the record pipeline behind `mutflank matrix` (run by `make bench-cli`):

- cohort: the 20-sample VCF of 200,000 SNVs through `matrix`, against an older checkout of the
  command run the same way in the same run (--old SRC: a `src` folder whose mutflank_tools is
  the older one; target: no slower), alternating, medians;
- many: 10,000 single-sample VCFs of 300 SNVs, in one process (target: at least 500 inputs a
  second) and with --workers 2 (target: at least 1.6 times faster), and with --old the older
  checkout the same way;
- memory: peak resident memory of `matrix` over tables of 1,000 and of 100,000 distinct
  chromosome names (and as many samples), against one of a single name: bounded by a batch.

Data is generated with fixed seeds into bench/.data/pipeline (kept). --quick uses fewer inputs.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DATA = HERE / ".data" / "pipeline"
CHROMOSOMES = {"1": 5_000_000, "2": 4_000_000, "X": 3_000_000}
PEAK = ("import resource, sys, runpy; sys.argv = ['mutflank', *sys.argv[1:]];\n"
        "try:\n    runpy.run_module('mutflank_tools', run_name='__main__')\n"
        "except SystemExit as done:\n    code = done.code\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)\n")


def reference():
    """A GRCh38 folder of random bases; {chromosome: codes}."""
    folder = DATA / "reference" / "GRCh38"
    genome = {}
    rng = np.random.default_rng(3)
    folder.mkdir(parents=True, exist_ok=True)
    for name, length in CHROMOSOMES.items():
        path = folder / f"{name}.txt"
        if not path.exists():
            rng.integers(0, 4, length, dtype=np.uint8).tofile(path)
        genome[name] = np.fromfile(path, dtype=np.uint8)
    return DATA / "reference", genome


def vcf_text(rng, genome, records, samples, carriers=(1, 5)):
    """VCF lines of `records` SNVs whose REF is the reference base, sorted; each carried by
    a few of the samples."""
    header = ["##fileformat=VCFv4.2",
              '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
              "\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO",
                         "FORMAT", *samples])]
    lines = []
    share = records // len(genome)
    for name, codes in genome.items():
        positions = np.sort(rng.choice(np.arange(1, len(codes) + 1), share, replace=False))
        refs = codes[positions - 1]
        alts = (refs + rng.integers(1, 4, share)) % 4
        for position, ref, alt in zip(positions.tolist(), refs.tolist(), alts.tolist()):
            held = set(rng.choice(len(samples), rng.integers(*carriers) if len(samples) > 1
                                  else 1, replace=False).tolist())
            genotypes = "\t".join("0/1" if i in held else "0/0" for i in range(len(samples)))
            lines.append(f"{name}\t{position}\t.\t{'ACGT'[ref]}\t{'ACGT'[alt]}\t50\tPASS\t.\tGT\t"
                         f"{genotypes}")
    return "\n".join(header + lines) + "\n"


def cohort(genome):
    path = DATA / "cohort.vcf"
    if not path.exists():
        path.write_text(vcf_text(np.random.default_rng(20), genome, 200_000,
                                 [f"S{i:02d}" for i in range(20)]))
    return path


def many(genome, count):
    folder = DATA / "many"
    folder.mkdir(exist_ok=True)
    paths = [folder / f"p{i:05d}.vcf" for i in range(count)]
    rng = np.random.default_rng(30)
    for number, path in enumerate(paths):
        if not path.exists():
            path.write_text(vcf_text(rng, genome, 300, [f"P{number:05d}"]))
    return paths


def command(args, src=None, stdin=None):
    """Runs `mutflank ARGS` with the package of `src` (default: the installed one); seconds."""
    env = dict(os.environ)
    if src is not None:
        env["PYTHONPATH"] = str(src)
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "mutflank_tools", *map(str, args)], env=env,
                          capture_output=True, text=True, input=stdin)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"mutflank {' '.join(map(str, args))} failed: {done.stderr}")
    return seconds


def bench_cohort(root, genome, old, repetitions):
    vcf = cohort(genome)
    out = DATA / "out"
    args = ["matrix", vcf, "--reference", root, "--build", "GRCh38", "-o", out]
    times = {"new": [], "old": []}
    for _ in range(repetitions):
        times["new"].append(command(args + ["--no-merge-doublets"]))
        if old:
            times["old"].append(command(args, src=old))
    new = statistics.median(times["new"])
    print(f"cohort: 20-sample VCF, 200,000 SNVs, matrix (all SBS types): {new:.2f} s")
    if old:
        before = statistics.median(times["old"])
        ratio = new / before
        print(f"  older checkout {before:.2f} s; new/old {ratio:.2f} <= 1.0: "
              f"{'ok' if ratio <= 1.0 else 'MISSED'}")


def bench_many(root, genome, count, old=None):
    paths = many(genome, count)
    listing = DATA / f"many-{count}.txt"
    listing.write_text("".join(f"{path}\n" for path in paths))
    args = ["matrix", "--table-list", listing, "--reference", root, "-o", DATA / "many-out",
            "--label-by-input", "--no-merge-doublets"]
    alone = command(args)
    workers = command(args + ["--workers", "2"])
    print(f"many: {count:,} single-sample VCFs of 300 SNVs: one process {alone:.2f} s "
          f"({count / alone:,.0f} inputs/s >= 500: {'ok' if count / alone >= 500 else 'MISSED'}),"
          f" --workers 2 {workers:.2f} s; speed-up {alone / workers:.2f} >= 1.6: "
          f"{'ok' if alone / workers >= 1.6 else 'MISSED'}")
    if old:
        old_alone = command(args, src=old)
        old_workers = command(args + ["--workers", "2"], src=old)
        print(f"  older checkout: one process {old_alone:.2f} s ({count / old_alone:,.0f} "
              f"inputs/s), --workers 2 {old_workers:.2f} s (speed-up "
              f"{old_alone / old_workers:.2f}); new/old: one process "
              f"{alone / old_alone:.2f}, --workers 2 {workers / old_workers:.2f}")


def bench_memory(root, genome):
    """Peak memory over tables of many distinct chromosome names and samples."""
    print("memory: peak resident MB of matrix over 100,000 records, by distinct chromosome "
          "names:")
    base = None
    for distinct in (1, 1_000, 100_000):
        path = DATA / f"names-{distinct}.tsv"
        if not path.exists():
            rows = [f"S0\tP\t.\tGRCh38\tSNV\tc{i % distinct}\t{i + 1}\t{i + 1}\tA\tC\n"
                    for i in range(100_000)]
            rows += [f"S0\tP\t.\tGRCh38\tSNV\t1\t{p}\t{p}\t{'ACGT'[genome['1'][p - 1]]}\t"
                     f"{'CGTA'[genome['1'][p - 1]]}\n" for p in range(10, 40_000_000, 1000)
                     if p < len(genome["1"])]
            path.write_text("".join(rows))
        done = subprocess.run([sys.executable, "-c", PEAK, "matrix", str(path), "--reference",
                               str(root), "-o", str(DATA / "names-out"), "--types", "SBS96",
                               "--allow-missing-chromosomes", "--no-merge-doublets"],
                              capture_output=True, text=True)
        peak = int(done.stderr.strip().splitlines()[-1]) / 1024
        base = base or peak
        print(f"  {distinct:>7,} names: {peak:6.1f} MB (+{peak - base:.1f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--old", help="src folder of an older checkout to compare with")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repetitions", type=int, default=3)
    args = parser.parse_args()
    root, genome = reference()
    bench_cohort(root, genome, args.old, 1 if args.quick else args.repetitions)
    bench_many(root, genome, 1_000 if args.quick else 10_000, args.old)
    bench_memory(root, genome)


if __name__ == "__main__":
    main()
