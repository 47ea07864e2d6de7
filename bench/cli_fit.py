#!/usr/bin/python3
"""Benchmarks of `mutflank fit`, on random signatures and Poisson-sampled mixtures of them
generated here (no published signature file), every process held to one BLAS thread.

    cli_fit.py [--repetitions R] [--quick]

solver: the stacked NNLS of 10,000 samples x 96 channels on 79 signatures, in-process, beside
  the baseline of a Python loop over scipy.optimize.nnls, one sample at a time (goal: 5 s).
nnls, strict: the command `mutflank fit` on the same matrix (goals: 5 s, 60 s).
bootstrap: `mutflank fit --bootstrap 1000` on 100 samples, in one process and with
  --workers 2 (goals: 60 s, and at least 1.6 times faster with two workers); the same with
  --method strict, a longer job; and the bootstrap's fits alone, without Dask's start.
--quick: a tenth of the samples and resamples, one repetition, no goals.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # one core: before NumPy is imported
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import resource  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

CHANNELS = 96
SIGNATURES = 79
SAMPLES = 10_000
BOOTSTRAP_SAMPLES = 100
RESAMPLES = 1000
COMMAND = os.path.join(os.path.dirname(sys.executable), "mutflank")


def mixtures(samples, seed=79):
    """(signatures channels x k, counts samples x channels): each sample a mixture of 2 to 8
    random signatures with gamma-distributed exposures, Poisson-sampled."""
    rng = np.random.default_rng(seed)
    signatures = rng.dirichlet(np.full(CHANNELS, 0.5), size=SIGNATURES).T
    exposures = np.zeros((samples, SIGNATURES))
    for row in exposures:
        present = rng.choice(SIGNATURES, rng.integers(2, 9), replace=False)
        row[present] = rng.gamma(2.0, 150.0, present.size)
    return signatures, rng.poisson(exposures @ signatures.T)


def write(folder, signatures, counts):
    labels = [f"C{i:02d}" for i in range(CHANNELS)]
    matrix, table = os.path.join(folder, "matrix.tsv"), os.path.join(folder, "signatures.tsv")
    with open(table, "w") as out:
        out.write("\t".join(["Type", *(f"SBS{j + 1}" for j in range(SIGNATURES))]) + "\n")
        for label, row in zip(labels, signatures):
            out.write("\t".join([label, *map(repr, row.tolist())]) + "\n")
    with open(matrix, "w") as out:
        out.write("\t".join(["MutationType", *(f"S{i}" for i in range(len(counts)))]) + "\n")
        for label, row in zip(labels, counts.T):
            out.write("\t".join([label, *map(str, row.tolist())]) + "\n")
    return matrix, table


def _cpu():
    """CPU seconds of this process and of its waited-for children (a command's workers)."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def best(repetitions, action):
    """The fastest of `repetitions` runs: a Seconds of its wall-clock and CPU time."""
    runs = []
    for _ in range(repetitions):
        start, cpu = time.perf_counter(), _cpu()
        action()
        runs.append(Seconds(time.perf_counter() - start, _cpu() - cpu))
    return min(runs)


class Seconds(float):
    """Wall-clock seconds that also carry the CPU seconds they took: on a machine shared with
    other work the CPU time is the steadier figure."""

    def __new__(cls, wall, cpu):
        self = super().__new__(cls, wall)
        self.cpu = cpu
        return self


def command(*args):
    def action():
        subprocess.run([COMMAND, "fit", *map(str, args)], check=True, stderr=subprocess.DEVNULL)
    return action


def line(name, seconds, goal=None, note=""):
    verdict = ""
    if goal is not None:
        verdict = f"  (goal {goal:g} s: {'met' if seconds <= goal else 'MISSED'})"
    print(f"{name:<44} {seconds:8.2f} s  ({seconds.cpu:6.2f} s CPU){verdict}{note}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    goal = (lambda seconds: None) if args.quick else (lambda seconds: seconds)
    repetitions = 1 if args.quick else args.repetitions
    samples, resamples = SAMPLES // scale, RESAMPLES // scale

    from scipy.optimize import nnls as scipy_nnls

    from mutflank_tools.fit import solve as fit_solve

    signatures, counts = mixtures(samples)
    counts = counts.astype(np.float64)
    print(f"{samples:,} samples x {CHANNELS} channels on {SIGNATURES} random signatures, "
          f"one BLAS thread, best of {repetitions}; load average {os.getloadavg()[0]:.1f} on "
          f"{os.cpu_count()} cores")
    stacked = best(repetitions, lambda: fit_solve.nnls(signatures, counts))
    loop = best(1, lambda: [scipy_nnls(signatures, row) for row in counts])
    line("solver: stacked NNLS (in-process)", stacked, goal(5))
    line("baseline: loop over scipy.optimize.nnls", loop,
         note=f"  (stacked is {loop / stacked:.1f}x faster; {loop.cpu / stacked.cpu:.1f}x in CPU)")

    with tempfile.TemporaryDirectory() as folder:
        matrix, table = write(folder, signatures, counts.astype(np.int64))
        out = os.path.join(folder, "out")
        line("mutflank fit --method nnls", best(repetitions, command(
            matrix, "--signatures", table, "-o", out)), goal(5))
        line("mutflank fit --method strict", best(repetitions, command(
            matrix, "--signatures", table, "-o", out, "--method", "strict")), goal(60))

        small, table = write(folder, *mixtures(BOOTSTRAP_SAMPLES, seed=100))
        boot = ["--signatures", table, "-o", out, "--bootstrap", resamples, "--seed", 1]
        one = best(repetitions, command(small, *boot))
        two = best(repetitions, command(small, *boot, "--workers", 2))
        line(f"mutflank fit --bootstrap {resamples} ({BOOTSTRAP_SAMPLES} samples)", one, goal(60))
        line("  the same with --workers 2", two,
             note=f"  ({one / two:.2f}x faster; goal 1.6x: "
                  f"{'met' if one / two >= 1.6 else 'MISSED'}; the CPU includes Dask's start)")
        strict = [*boot, "--method", "strict"]
        one = best(1, command(small, *strict))
        two = best(1, command(small, *strict, "--workers", 2))
        line("  with --method strict (one run)", one)
        line("  the same with --workers 2", two, note=f"  ({one / two:.2f}x faster)")
        serial, parallel = bootstrap_phase(*mixtures(BOOTSTRAP_SAMPLES, seed=100), resamples)
        line("  its fits alone, in-process, one process", serial)
        line("  its fits alone on 2 running workers", parallel,
             note=f"  ({serial / parallel:.2f}x faster: Dask's start and stop left out)")


def bootstrap_phase(signatures, counts, resamples):
    """Seconds of the bootstrap's fits in this process, and on a running local cluster of two
    workers (its start, about a second of a fresh Dask, left out)."""
    import dask

    from mutflank_tools.fit import work as fit_work
    from mutflank_tools.runtime.cluster import connect, results

    counts = counts.astype(np.float64)
    seeds = np.random.SeedSequence(1).spawn(len(counts))
    units = [(number, counts[start:end], seeds[start:end])
             for number, (start, end) in enumerate(fit_work.slices(len(counts), resamples))]
    options = dict(signatures=signatures, method="nnls", max_delta=0.004, resamples=resamples)
    serial = best(1, lambda: [fit_work.fit_unit(unit, **options) for unit in units])
    with dask.config.set({"distributed.worker.multiprocessing-method": "fork"}), \
            connect(workers=2) as client:
        # CPU of the workers is not counted here: they are not waited for until the end
        return serial, best(1, lambda: list(results(client, fit_work.fit_unit, units, str,
                                                    **options)))


if __name__ == "__main__":
    main()
