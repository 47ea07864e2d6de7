#!/usr/bin/python3
"""Benchmarks of `mutflank extract` on cohorts made from the published reference signatures
(shared/signatures beside the project folder, read by path, never copied) with Poisson noise at known exposures.

    extract.py [--part accuracy|kinds|speed|baseline|all] [--replicates N] [--ranks A-B]
               [--cohorts N] [--rounds N] [--signatures DIR]

accuracy: ten seeded SBS96 cohorts of 100 to 300 samples, each of 4 to 8 reference
  signatures, 500 to 20,000 mutations per sample. Right number: the chosen rank is the planted
  one (goal: 8 of 10). Right signatures: in cohorts of at least 2,000 mutations per sample on
  average, every planted signature matched one-to-one by an extracted one at cosine >= 0.95,
  and the decomposition names the planted signature first (goal: 90%).
kinds: the same figures on DBS78 and ID83 cohorts (fewer mutations per sample).
speed: 300 samples x 96 channels, ranks 2 to 12, 100 replicates: one process, then --workers 2,
  --rounds times in turn, with the load average of the machine before and after each run
  (goals: 5 minutes, 1.6 times faster); then the baseline beside them.
baseline: the same work as a Python loop, one replicate at a time, over scikit-learn's NMF
  (beta_loss='kullback-leibler', solver='mu', at most as many steps), best of the same number
  of starts, on a tenth of the replicates, beside mutflank on that tenth (the factorisations
  only for scikit-learn; the whole command for mutflank).
Every run is in process, through mutflank_tools.cli.main.
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

SIGNATURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
                          "signatures")
FILES = {"SBS96": "COSMIC_v3.2_SBS_GRCh37.tsv", "DBS78": "COSMIC_v3.2_DBS_GRCh37.tsv",
         "ID83": "COSMIC_v3.2_ID_GRCh37.tsv"}
MOST_ALIKE = 0.8  # planted signatures more alike than this are not drawn together


def read_reference(folder, kind):
    """(path, channel labels, names, values channels x signatures) without the artefacts."""
    path = os.path.join(folder, FILES[kind])
    lines = [line.rstrip("\n").split("\t") for line in open(path, encoding="utf-8")]
    names = lines[0][1:]
    labels = [line[0] for line in lines[1:]]
    values = np.array([[float(cell) for cell in line[1:]] for line in lines[1:]])
    artefacts = set()
    listed = os.path.join(folder, "possible_artifacts.tsv")
    if os.path.exists(listed):
        for line in open(listed, encoding="utf-8").read().splitlines()[1:]:
            table, name = line.split("\t")
            if FILES[kind].startswith(table):
                artefacts.add(name)
    keep = [i for i, name in enumerate(names) if name not in artefacts]
    return path, labels, [names[i] for i in keep], values[:, keep] / values[:, keep].sum(axis=0)


def cohort(seed, values, k_range=(4, 8), samples_range=(100, 300), mutations=(500, 20000)):
    """A seeded cohort: (planted columns, counts channels x samples, mean mutations)."""
    rng = np.random.default_rng(seed)
    k = int(rng.integers(k_range[0], k_range[1] + 1))
    n = int(rng.integers(samples_range[0], samples_range[1] + 1))
    units = values / np.linalg.norm(values, axis=0)
    while True:
        pick = rng.choice(values.shape[1], k, replace=False)
        similarity = units[:, pick].T @ units[:, pick]
        np.fill_diagonal(similarity, 0)
        if similarity.max() < MOST_ALIKE:
            break
    active = rng.random((k, n)) < 0.6
    active[rng.integers(0, k, n), np.arange(n)] = True  # at least one signature a sample
    shares = rng.gamma(1.0, 1.0, (k, n)) * active
    shares /= shares.sum(axis=0)
    mean = float(np.exp(rng.uniform(np.log(mutations[0]), np.log(mutations[1]))))
    totals = np.clip(mean * rng.lognormal(0.0, 0.5, n), *mutations)
    counts = rng.poisson(values[:, pick] @ (shares * totals)).astype(float)
    return pick, counts, counts.sum(axis=0).mean()


def write_matrix(path, labels, counts):
    with open(path, "w", encoding="utf-8") as out:
        out.write("\t".join(["MutationType"] + [f"S{i + 1}" for i in range(counts.shape[1])])
                  + "\n")
        for label, row in zip(labels, counts.astype(int).tolist()):
            out.write("\t".join([label, *map(str, row)]) + "\n")


def read_tsv(path):
    lines = [line.split("\t") for line in open(path, encoding="utf-8").read().splitlines()]
    return lines[0], lines[1:]


def mutflank(*argv, cpu=None):
    """Runs the command in process: its wall-clock seconds (and, in `cpu`, those of the CPU
    that this process used, which a machine busy with other work inflates less)."""
    from mutflank_tools.cli import main

    started, used = time.perf_counter(), time.process_time()
    status = main([str(arg) for arg in argv])
    if status != 0:
        sys.exit(f"mutflank {' '.join(map(str, argv))}: exit {status}")
    if cpu is not None:
        cpu.append(time.process_time() - used)
    return time.perf_counter() - started


def judge(folder, kind, seed, args, reference):
    """One cohort through `mutflank extract`: its figures."""
    from scipy.optimize import linear_sum_assignment

    path, labels, names, values = reference
    pick, counts, mean = cohort(seed, values, **args.cohort_options)
    matrix = os.path.join(folder, f"cohort{seed}.tsv")
    write_matrix(matrix, labels, counts)
    prefix = os.path.join(folder, f"cohort{seed}")
    seconds = mutflank("extract", matrix, "-o", prefix, "--ranks", args.ranks, "--replicates",
                       args.replicates, "--seed", seed, "--signatures", path)
    _, rows = read_tsv(prefix + ".ranks.tsv")
    chosen = next(int(row[0]) for row in rows if row[-1] == "yes")
    stability = " ".join(f"{row[0]}:{float(row[1]):.2f}/{float(row[2]):.2f}" for row in rows)
    header, rows = read_tsv(prefix + ".signatures.tsv")
    order = {label: i for i, label in enumerate(row[0] for row in rows)}
    found = np.array([[float(cell) for cell in row[1:]] for row in rows])
    found = found[[order[label] for label in labels]]
    planted = values[:, pick]
    unit = lambda m: m / np.linalg.norm(m, axis=0)  # noqa: E731
    similarity = unit(planted).T @ unit(found)
    got, matched = linear_sum_assignment(similarity, maximize=True)
    cosines = np.zeros(len(pick))
    cosines[got] = similarity[got, matched]
    _, decomposed = read_tsv(prefix + ".decomposition.tsv")
    first = {row[0]: row[3].split(";")[0].split(":")[0] for row in decomposed}
    named = sum(first[header[1 + column]] == names[pick[row]] for row, column in zip(got, matched))
    return dict(seed=seed, samples=counts.shape[1], planted=len(pick), chosen=chosen,
                mean=mean, cosines=cosines, named=int(named), seconds=seconds,
                stability=stability)


def accuracy(kind, args, seeds, rich=2000):
    reference = read_reference(args.signatures, kind)
    results = []
    with tempfile.TemporaryDirectory() as folder:
        for seed in seeds:
            result = judge(folder, kind, seed, args, reference)
            results.append(result)
            print(f"{kind} cohort {result['seed']}: {result['samples']} samples, "
                  f"{result['mean']:,.0f} mutations/sample, planted {result['planted']}, "
                  f"chosen {result['chosen']}; cosines "
                  f"{' '.join(f'{c:.3f}' for c in sorted(result['cosines']))}; decomposition "
                  f"first {result['named']}/{result['planted']} ({result['seconds']:.0f} s); "
                  f"stability mean/least by rank {result['stability']}", flush=True)
    right = sum(r["chosen"] == r["planted"] for r in results)
    kind_rich = rich
    rich = [r for r in results if r["mean"] >= rich]
    planted = sum(r["planted"] for r in rich)
    matched = sum(int((r["cosines"] >= 0.95).sum()) for r in rich)
    named = sum(r["named"] for r in rich)
    print(f"{kind}: right number {right}/{len(results)}; in the {len(rich)} cohorts of >= "
          f"{kind_rich:,} mutations/sample: {matched}/{planted} planted signatures at cosine "
          f">= 0.95, "
          f"decomposition names the planted one first for {named}/{planted}"
          f" ({100 * named / max(planted, 1):.0f}%)", flush=True)


def speed_matrix(folder, args):
    _, labels, _, values = read_reference(args.signatures, "SBS96")
    rng = np.random.default_rng(300)
    pick = rng.choice(values.shape[1], 6, replace=False)
    shares = rng.dirichlet(np.full(6, 0.5), 300).T
    counts = rng.poisson(values[:, pick] @ (shares * rng.uniform(500, 5000, 300))).astype(float)
    path = os.path.join(folder, "speed.tsv")
    write_matrix(path, labels, counts)
    return path, counts


def load():
    """The machine's load average over the last minute: other work shares the 2 cores."""
    return f"load {os.getloadavg()[0]:.1f}"


def speed(args):
    """One process and --workers 2 in turn, `args.rounds` times each, so that both see alike
    the load of whatever else runs on the machine; then the baseline beside them."""
    with tempfile.TemporaryDirectory() as folder:
        matrix, _ = speed_matrix(folder, args)
        common = [matrix, "--ranks", args.ranks, "--replicates", args.replicates, "--seed", 1]
        ratios = []
        for round_ in range(1, args.rounds + 1):
            cpu = []
            before = load()
            one = mutflank("extract", *common, "-o", os.path.join(folder, "one"), cpu=cpu)
            print(f"speed: 300 x 96, ranks {args.ranks}, {args.replicates} replicates: one "
                  f"process {one:.0f} s ({cpu[0]:.0f} s of CPU; {before}, then {load()})",
                  flush=True)
            before = load()
            two = mutflank("extract", *common, "-o", os.path.join(folder, "two"), "--workers",
                           2)
            same = all(open(os.path.join(folder, f"one.{end}.tsv")).read()
                       == open(os.path.join(folder, f"two.{end}.tsv")).read()
                       for end in ("signatures", "exposures", "fit", "ranks"))
            ratios.append(one / two)
            print(f"speed: --workers 2 {two:.0f} s ({one / two:.2f} times faster; {before}, "
                  f"then {load()}); files {'identical' if same else 'DIFFERENT'}", flush=True)
        if args.rounds > 1:
            print(f"speed: --workers 2 {float(np.median(ratios)):.2f} times faster than one "
                  f"process (median of {args.rounds} rounds)", flush=True)
    baseline(args)


def baseline(args):
    """scikit-learn's NMF, one replicate (and start) at a time, on a tenth of the replicates."""
    from sklearn.decomposition import NMF

    from mutflank_tools.extract import nmf

    low, high = map(int, args.ranks.split("-"))
    replicates = max(1, args.replicates // 10)
    with tempfile.TemporaryDirectory() as folder:
        matrix, counts = speed_matrix(folder, args)
        cpu = []
        ours = mutflank("extract", matrix, "--ranks", args.ranks, "--replicates", replicates,
                        "--seed", 1, "-o", os.path.join(folder, "tenth"), cpu=cpu)
    started, used = time.perf_counter(), time.process_time()
    for rank in range(low, high + 1):
        for replicate in range(replicates):
            rng = nmf.replicate_rng(1, rank, replicate)
            resample = nmf.resample(counts, rng).T  # samples x channels
            best = None
            for start in range(nmf.STARTS):
                model = NMF(rank, init="random", solver="mu", beta_loss="kullback-leibler",
                            max_iter=nmf.MAX_STEPS, tol=1e-4,
                            random_state=int(rng.integers(2**31)))
                model.fit_transform(resample)
                if best is None or model.reconstruction_err_ < best:
                    best = model.reconstruction_err_
    theirs, their_cpu = time.perf_counter() - started, time.process_time() - used
    print(f"baseline: ranks {args.ranks}, {replicates} replicates: scikit-learn NMF loop "
          f"{theirs:.0f} s ({their_cpu:.0f} s of CPU), mutflank extract {ours:.0f} s "
          f"({cpu[0]:.0f} s of CPU): {their_cpu / cpu[0]:.1f} times the CPU", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--part", default="all",
                        choices=("accuracy", "kinds", "speed", "baseline", "all"))
    parser.add_argument("--replicates", type=int, default=100)
    parser.add_argument("--ranks", default="2-12")
    parser.add_argument("--cohorts", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=1,
                        help="speed: runs of one process and of two workers, in turn")
    parser.add_argument("--signatures", default=SIGNATURES)
    args = parser.parse_args()
    args.cohort_options = {}
    if args.part in ("accuracy", "all"):
        accuracy("SBS96", args, range(1, args.cohorts + 1))
    if args.part in ("kinds", "all"):
        args.cohort_options = dict(mutations=(100, 2000))
        accuracy("DBS78", args, range(101, 101 + args.cohorts), rich=0)
        args.cohort_options = dict(k_range=(3, 6), mutations=(200, 5000))
        accuracy("ID83", args, range(201, 201 + args.cohorts), rich=0)
    if args.part in ("speed", "all"):
        speed(args)  # and the baseline beside it
    if args.part == "baseline":
        baseline(args)


if __name__ == "__main__":
    main()
