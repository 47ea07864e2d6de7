#!/usr/bin/python3
"""The cost of securing a local Dask cluster: starting and stopping `--workers N` with its TLS
credentials (a new 2048-bit key and certificate, TLS on every connection) beside the same
cluster without them, in fresh interpreters, alternately.

    cluster_start.py [--workers N] [--rounds R]

Each round starts a fresh interpreter that opens the cluster as `mutflank` does
(runtime.cluster.connect: start, the workers' check, close) and measures its wall time; the CPU
time is that of the interpreter and every process it started (the workers included), from the
resource usage of the finished children. Medians over the rounds, and the median difference.
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import time

# The interpreter of one round: "secured" as the command runs it; "plain" with the credentials
# left out (Dask's default: no TLS).
ROUND = """
import sys
from mutflank_tools.runtime import cluster

if __name__ == "__main__":
    if sys.argv[1] == "plain":
        cluster._temporary_credentials = lambda distributed: None
    with cluster.connect(workers=int(sys.argv[2])) as client:
        assert client.scheduler.address.startswith(
            "tls://" if sys.argv[1] == "secured" else "tcp://"), client.scheduler.address
"""


def one_round(kind, workers):
    """(wall seconds, CPU seconds of the interpreter and its processes) of one start."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", ROUND, kind, str(workers)], check=True,
                   env={**os.environ, "PYTHONWARNINGS": "ignore"})
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    times = {"plain": [], "secured": []}
    for _ in range(args.rounds):
        for kind in times:
            times[kind].append(one_round(kind, args.workers))
    print(f"local cluster of {args.workers} workers: start, check and stop; medians of "
          f"{args.rounds} rounds")
    for kind, rounds in times.items():
        walls, cpus = zip(*rounds)
        print(f"  {kind:8} wall {statistics.median(walls):6.2f} s  (spread "
              f"{min(walls):.2f}-{max(walls):.2f})   CPU {statistics.median(cpus):6.2f} s  "
              f"(spread {min(cpus):.2f}-{max(cpus):.2f})")
    pairs = list(zip(times["plain"], times["secured"]))
    print(f"  secured - plain, median of the rounds' differences: wall "
          f"{statistics.median(s[0] - p[0] for p, s in pairs):+.2f} s, CPU "
          f"{statistics.median(s[1] - p[1] for p, s in pairs):+.2f} s")


if __name__ == "__main__":
    main()
