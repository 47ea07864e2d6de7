#!/usr/bin/python3
"""Benchmarks of `mutflank plot` (run by `make bench-cli`): wall time and peak resident memory,
each in a fresh child process, of

- 100 samples of an SBS96 count matrix drawn as panels (`--panels`) into PNG pages, one
  multi-page PDF and SVG pages (target: at most 10 s and 300 MB each);
- 100 samples of an SBS1536 matrix as heat-map panels (PNG pages);
- the cohort overview of 1,000 and of 10,000 samples of SBS96;
- the exposures of 1,000 samples to 40 signatures.

    cli_plot.py [--quick] [--old SRC]

--old SRC also times the same 100 SBS96 samples (`--samples` naming all of them, one PNG) with
the `mutflank_tools` package found in the folder SRC (an older checkout's src/), for a ratio.
Matrices are generated with a fixed seed into bench/.data/plot (cached).
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DATA = HERE / ".data" / "plot"
TARGET_SECONDS = 10.0
TARGET_MB = 300.0

# Runs a command and prints the peak resident size and the CPU time of its children: a fresh
# parent for each command, since a process's RUSAGE_CHILDREN keeps the largest child it ever had.
_MEASURE = """
import resource, subprocess, sys
done = subprocess.run(sys.argv[1:], capture_output=True, text=True)
if done.returncode:
    sys.exit(done.stderr)
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(usage.ru_maxrss, usage.ru_utime + usage.ru_stime)
"""


def peak_of(command):
    """(wall seconds, peak resident MB, CPU seconds) of a command run in a child process. On a
    shared machine the CPU time tells more than the wall time, which waits for other work."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", _MEASURE, *map(str, command)],
                          capture_output=True, text=True, check=False)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(map(str, command[:4]))} failed: {done.stderr}")
    peak, cpu = done.stdout.split()
    return seconds, int(peak) / 1024, float(cpu)


def write_matrix(path, labels, counts, corner="MutationType", prefix="S"):
    """A tab-separated table of `counts` (rows x samples), written once."""
    if path.exists():
        return path
    names = [f"{prefix}{i:05d}" for i in range(counts.shape[1])]
    with open(path, "w", encoding="utf-8") as out:
        out.write("\t".join([corner, *names]) + "\n")
        for label, row in zip(labels, counts):
            out.write(label + "\t" + "\t".join(map(str, row.tolist())) + "\n")
    return path


def cohort(rng, channels, samples, profiles=5):
    """Counts of `samples` mixtures of a few random profiles (channels x samples)."""
    basis = rng.dirichlet(np.full(channels, 0.2), profiles)
    mix = rng.dirichlet(np.full(profiles, 0.3), samples)
    totals = rng.integers(100, 5000, samples)
    return np.array([rng.multinomial(total, weights @ basis)
                     for total, weights in zip(totals, mix)]).T


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="leave out the 10,000 samples")
    parser.add_argument("--old", metavar="SRC", help="also time an older package in SRC")
    args = parser.parse_args()
    sys.path.insert(0, str(HERE.parent / "src"))
    from mutflank_tools.counting import channels

    DATA.mkdir(parents=True, exist_ok=True)
    out = DATA / "out"
    out.mkdir(exist_ok=True)
    rng = np.random.default_rng(11)
    sbs96 = write_matrix(DATA / "c100.SBS96.tsv", channels.SBS96, cohort(rng, 96, 100))
    sbs1536 = write_matrix(DATA / "c100.SBS1536.tsv", channels.SBS1536, cohort(rng, 1536, 100))
    big = {n: write_matrix(DATA / f"c{n}.SBS96.tsv", channels.SBS96, cohort(rng, 96, n))
           for n in ((1000,) if args.quick else (1000, 10_000))}
    exposures = rng.gamma(0.3, 300, (40, 1000)) * (rng.random((40, 1000)) < 0.3)
    exposures_path = write_matrix(DATA / "e1000.exposures.tsv",
                                  [f"SBS{i + 1}" for i in range(40)],
                                  np.round(exposures, 3), corner="Signature")
    command = [str(Path(sys.executable).parent / "mutflank"), "plot"]
    print(f"mutflank plot benchmark; machine: {os.cpu_count()} cores, "
          f"Python {sys.version.split()[0]}; each run a fresh process")
    rows = [("100 SBS96 samples as panels, PNG pages", [sbs96, "--panels", "-o",
                                                        out / "p.png"], True),
            ("100 SBS96 samples as panels, one PDF", [sbs96, "--panels", "-o", out / "p.pdf"],
             True),
            ("100 SBS96 samples as panels, SVG pages", [sbs96, "--panels", "-o", out / "p.svg"],
             True),
            ("100 SBS1536 samples as panels, PNG pages", [sbs1536, "--panels", "-o",
                                                          out / "h.png"], False)]
    rows += [(f"overview of {n:,} SBS96 samples", [path, "-o", out / f"o{n}.png"], False)
             for n, path in big.items()]
    rows += [("exposures of 1,000 samples, 40 signatures", [exposures_path, "-o",
                                                            out / "e.png"], False)]
    new_seconds = None
    print(f"  {'':45s} {'wall':>9s}  {'CPU':>7s}  {'peak':>7s}")
    for label, arguments, target in rows:
        seconds, peak, cpu = peak_of([*command, *arguments])
        verdict = ""
        if target:
            ok = seconds <= TARGET_SECONDS and peak <= TARGET_MB
            verdict = (f"  {'within' if ok else 'BEYOND'} {TARGET_SECONDS:.0f} s / "
                       f"{TARGET_MB:.0f} MB")
            new_seconds = new_seconds or (seconds, peak, cpu)
        print(f"  {label:45s} {seconds:7.2f} s {cpu:7.2f} s {peak:6.0f} MB{verdict}")
    if args.old:
        names = ",".join(f"S{i:05d}" for i in range(100))
        old = [sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv.pop(1)); "
               "from mutflank_tools.cli import main; sys.exit(main(sys.argv[1:]))",
               os.path.abspath(args.old), "plot", sbs96, "-o", out / "old.png", "--samples", names]
        seconds, peak, cpu = peak_of(old)
        print(f"  {'the same 100 samples, package in SRC':45s} {seconds:7.2f} s {cpu:7.2f} s "
              f"{peak:6.0f} MB  (now {cpu / new_seconds[2]:.1f}x less CPU time, "
              f"{peak / new_seconds[1]:.1f}x less memory)")


if __name__ == "__main__":
    main()
