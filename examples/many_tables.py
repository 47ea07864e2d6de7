#!/usr/bin/env python3
"""The 96-channel spectrum of thousands of mutation tables, computed on a Dask cluster.

    many_tables.py TABLE... --reference DIR [--workers N | --scheduler ADDRESS]
                   [--table-list FILE] [--batch-size B] [--tsv OUT] [--png OUT]

The tables are cut into batches of B files; each batch is one mutflank.parse_vcf_files
call on a worker, which returns only its per-sample channel counts (a few hundred numbers,
not the rows), and the counts of all batches are added up here. A call holds the
interpreter lock from start to end, so one Python process runs one call at a time: the
parallelism comes from worker processes, one thread each. Without --scheduler a local
cluster of N processes is started; with it, the batches go to an existing cluster whose
workers have mutflank installed and see the table and reference paths.

The result is the same matrix (and picture) as spectrum.py gives for the same tables.
"""

import argparse
import logging
import os
import sys

import spectrum


def count_batch(tables, reference):
    """Runs on a worker: the channel counts of one batch of tables."""
    import spectrum as worker_spectrum  # the copy uploaded to the worker

    return worker_spectrum.count_tables(tables, reference)


def batches(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def count_on_cluster(client, tables, reference, batch_size):
    """Per-sample counts of all tables, and the number of contexts outside the channels."""
    from distributed import as_completed

    client.upload_file(spectrum.__file__)
    work = batches(list(tables), batch_size)
    futures = client.map(count_batch, work, reference=reference, pure=False)
    first_table = {future.key: batch[0] for future, batch in zip(futures, work)}
    counts, other = {}, 0
    for future in as_completed(futures):
        if future.status == "error":
            error = future.exception()
            client.cancel(futures)
            raise RuntimeError(f"the batch starting with {first_table[future.key]} failed: "
                               f"{type(error).__name__}: {error}")
        batch_counts, batch_other = future.result()
        spectrum.merge_counts(counts, batch_counts)
        other += batch_other
    return counts, other


def read_table_list(path):
    with open(path, encoding="utf-8") as lines:
        return [line.rstrip("\n") for line in lines if line.strip()]


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="many_tables.py",
        description="Count the 96 substitution channels of many mutation tables with Dask.")
    parser.add_argument("tables", nargs="*", help="mutation tables")
    parser.add_argument("--table-list", metavar="FILE",
                        help="a file naming more tables, one path a line")
    parser.add_argument("--reference", required=True, help="reference directory (ROOT/<build>/<chrom>.txt)")
    parser.add_argument("--batch-size", type=int, default=64, help="tables per call (default: %(default)s)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int,
                       help=f"processes of the local cluster (default: the number of cores, {os.cpu_count()})")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="use the cluster of this scheduler (e.g. tcp://10.0.0.5:8786) instead")
    parser.add_argument("--tsv", default="spectrum.tsv", help="matrix to write (default: %(default)s)")
    parser.add_argument("--png", help="picture to write (default: none)")
    args = parser.parse_args(argv)
    tables = list(args.tables)
    if args.table_list:
        tables += read_table_list(args.table_list)
    if not tables:
        parser.error("no tables given")
    if args.batch_size < 1 or (args.workers is not None and args.workers < 1):
        parser.error("--batch-size and --workers must be at least 1")
    workers = args.workers or os.cpu_count() or 1

    from distributed import Client, LocalCluster

    try:
        if args.scheduler:
            with Client(args.scheduler) as client:
                counts, other = count_on_cluster(client, tables, args.reference, args.batch_size)
        else:
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
                    Client(cluster) as client:
                counts, other = count_on_cluster(client, tables, args.reference, args.batch_size)
    except (RuntimeError, OSError) as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    spectrum.write_matrix(counts, args.tsv)
    if args.png:
        spectrum.plot_spectra(counts, args.png)
    total = sum(sum(values) for values in counts.values())
    print(f"{parser.prog}: {len(tables)} table(s), {total} substitutions in {len(counts)} sample(s)"
          + (f"; {other} context(s) outside the 96 channels" if other else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
