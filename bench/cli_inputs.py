#!/usr/bin/python3
"""The cost of opening and reading inputs, in one run (run by `make bench-inputs`):

    cli_inputs.py [--repetitions R] [--old SITE] [--quick]

- many: `mutflank matrix` over 10,000 single-sample VCFs of 300 SNVs (on bench/cli_pipeline.py's
  reference, written once into bench/.data/pipeline/small; named through --table-list) in one process: seconds, CPU seconds (user and system of
  the process and its children) and inputs a second of each. Goal: at least 2,000 inputs a
  second.
- bcf: `mutflank matrix --types SBS96` over the 20-sample, 1.06M-record VCF of
  bench/cli_engine.py and over the same records as BCF (converted once with `bcftools view
  -Ob`), CPU seconds, beside `bcftools view` of the BCF to /dev/null (htslib decoding it and
  printing the text that a pipe from bcftools carries).

With --old SITE (the folder holding an older installed `mutflank_tools`, e.g. the
site-packages of another checkout's .venv) each mutflank run is also timed with that package,
alternating with the installed one. Medians of R runs. --quick: 1,000 inputs.
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import cli_engine  # noqa: E402
import cli_pipeline  # noqa: E402


def timed(argv, env=None):
    """(seconds, CPU seconds) of one process and its children."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run([str(a) for a in argv], env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(map(str, argv))} failed: {done.stderr}")
    return seconds, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def versions(old):
    found = {"": None}
    if old:
        found["(old) "] = dict(os.environ, PYTHONPATH=str(Path(old).resolve()))
    return found


def median_runs(runs, repetitions):
    """{name: (median seconds, median CPU seconds)}, the runs alternating."""
    times = {name: [] for name in runs}
    for _ in range(repetitions):
        for name, (argv, env) in runs.items():
            times[name].append(timed(argv, env))
    return {name: (statistics.median(t[0] for t in values),
                   statistics.median(t[1] for t in values)) for name, values in times.items()}


def small_inputs(genome, count, records=300):
    """`count` single-sample VCFs of `records` SNVs whose REF is the reference base."""
    folder = cli_pipeline.DATA / "small"
    folder.mkdir(exist_ok=True)
    paths = [folder / f"p{i:05d}.vcf" for i in range(count)]
    names = list(genome)
    rng = np.random.default_rng(31)
    for number, path in enumerate(paths):
        if path.exists():
            continue
        chosen = rng.integers(0, len(names), records)
        lines = ["##fileformat=VCFv4.2",
                 '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
                 "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t"
                 f"P{number:05d}"]
        for index, name in enumerate(names):
            codes = genome[name]
            positions = np.unique(rng.integers(1, len(codes) + 1, int((chosen == index).sum())))
            refs = codes[positions - 1]
            alts = (refs + rng.integers(1, 4, len(refs))) % 4
            lines += [f"{name}\t{p}\t.\t{'ACGT'[r]}\t{'ACGT'[a]}\t50\tPASS\t.\tGT\t0/1"
                      for p, r, a in zip(positions.tolist(), refs.tolist(), alts.tolist())]
        path.write_text("\n".join(lines) + "\n")
    return paths


def bench_many(count, old, repetitions):
    root, genome = cli_pipeline.reference()
    paths = small_inputs(genome, count)
    listing = cli_pipeline.DATA / f"small-{count}.txt"
    listing.write_text("".join(f"{path}\n" for path in paths))
    command = [sys.executable, "-m", "mutflank_tools"]
    runs = {f"{label}matrix": ([*command, "matrix", "--table-list", listing, "--reference",
                                root, "-o", cli_pipeline.DATA / "many-out", "--label-by-input"],
                               env)
            for label, env in versions(old).items()}
    print(f"many: {count:,} single-sample VCFs of 300 SNVs, one process, medians of "
          f"{repetitions}")
    print("| run | seconds | inputs/s | CPU seconds | inputs/CPU s |\n|---|---|---|---|---|")
    for name, (seconds, cpu) in median_runs(runs, repetitions).items():
        goal = "" if name.startswith("(old)") else (
            " (goal >= 2,000: " + ("ok" if count / seconds >= 2000 else "MISSED") + ")")
        print(f"| {name} | {seconds:.2f} | {count / seconds:,.0f}{goal} | {cpu:.2f} | "
              f"{count / cpu:,.0f} |")


def bench_bcf(old, repetitions):
    reference, vcf = cli_engine.generate()
    bcf = vcf.with_name("big.bcf")
    if not bcf.exists():
        subprocess.run(["bcftools", "view", "--no-version", "-Ob", "-o", bcf, vcf], check=True)
    command = [sys.executable, "-m", "mutflank_tools"]
    out = cli_engine.DATA / "inputs-out"
    runs = {"bcftools view big.bcf": (["bcftools", "view", "--no-version", "-Ov", "-o",
                                        os.devnull, bcf], None)}
    for label, env in versions(old).items():
        for path in (vcf, bcf):
            runs[f"{label}matrix --types SBS96 {path.name}"] = (
                [*command, "matrix", path, "--reference", reference, "--types", "SBS96", "-o",
                 out], env)
    print(f"bcf: {bcf.name} ({bcf.stat().st_size / 1e6:.1f} MB) beside {vcf.name} "
          f"({vcf.stat().st_size / 1e6:.1f} MB), CPU seconds, medians of {repetitions}")
    print("| run | CPU seconds |\n|---|---|")
    for name, (_, cpu) in median_runs(runs, repetitions).items():
        print(f"| {name} | {cpu:.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--old", help="folder of an older installed mutflank_tools")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", choices=["many", "bcf"])
    args = parser.parse_args()
    if args.only in (None, "many"):
        bench_many(1_000 if args.quick else 10_000, args.old, args.repetitions)
    if args.only in (None, "bcf"):
        bench_bcf(args.old, args.repetitions)


if __name__ == "__main__":
    main()
