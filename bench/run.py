#!/usr/bin/python3
"""Times mutflank against the I/O floor and the pure-Python model, in one interleaved run.

    run.py --floor PATH [--scale S] [--repetitions R] [--context C]

Generates (or reuses) the data of bench/generate.py; has a fresh process run one mutflank
call over the tables and report its peak memory against the size of what it returned;
warms the page cache, checks that mutflank and the model return the same rows, then times,
in each repetition and in a rotating order: mutflank (windows batched through io_uring),
mutflank with io_uring forbidden by a seccomp filter (every window read by its own system
calls), the model, the floor, and the floor under the same filter over the 10 tables, and mutflank, the model and the floor (with 64 KiB reads, and with the 8 KiB reads
that mutflank makes) over the file whose lines are all skipped. Prints the medians and,
last, one line:

    mutflank/floor=X model/mutflank=Y scan_MBps=Z peak_ratio=W

Run it with the interpreter that has mutflank installed (make bench uses .venv).
"""

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import generate  # noqa: E402
import mutflank_model  # noqa: E402

# Targets: mutflank/floor per kept record, model/mutflank, scan speed and scan ratio
# against the floor, peak memory over result size.
TARGET_FLOOR_RATIO = 1.15
TARGET_BATCHED_RATIO = 0.6  # with io_uring, against the synchronous floor
TARGET_MODEL_RATIO = 4.0
TARGET_SCAN_MBPS = 1000.0
TARGET_SCAN_RATIO = 2.0
TARGET_PEAK_RATIO = 1.3

MEMORY_PROBE = r"""
import gc, json, resource, sys
import numpy
import mutflank
tables, root, context = json.loads(sys.argv[1])

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

gc.collect()
before = status("VmRSS")
result = mutflank.parse_vcf_files(tables, root, context)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
high_water = status("VmHWM") - before
size = result.nbytes + sum(sys.getsizeof(text) for text in result.flat)
print(json.dumps({"rows": result.shape[0], "peak": peak, "high_water": high_water,
                  "result": size}))
"""


def warm_page_cache(paths):
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.read(1 << 20):
                pass


def reference_files(root):
    for build in sorted(os.listdir(root)):
        for name in sorted(os.listdir(os.path.join(root, build))):
            yield os.path.join(root, build, name)


def floor_records(folder, root, context):
    """The floor's list of kept records at this context, written once per context."""
    path = os.path.join(folder, f"floor-records-context{context}.tsv")
    if os.path.exists(path):
        return path
    half = context // 2
    with open(os.path.join(folder, "kept.tsv")) as kept, open(path + ".tmp", "w") as out:
        for line in kept:
            table, line_index, build, chrom, position = line.rstrip("\n").split("\t")
            before = int(position) - 1
            start = max(before - half, 0)
            length = int(position) + half - start
            out.write(f"{table}\t{line_index}\t{root}/{build}/{chrom}.txt\t{start}\t{length}\n")
    os.replace(path + ".tmp", path)
    return path


def run_floor(floor, records, tables, block=None, forbid_io_uring=False):
    options = ["-b", str(block)] if block else []
    command = [floor, *options, records, *tables]
    if forbid_io_uring:  # under the same system-call filter as "mutflank sync"
        command = [sys.executable, os.path.join(HERE, "without_io_uring.py"), "--exec", *command]
    out = subprocess.run(command, check=True, capture_output=True, text=True)
    return float(out.stdout.split()[0])


def run_round_trips(floor, rounds):
    out = subprocess.run([floor, "-s", str(rounds)], check=True, capture_output=True, text=True)
    return float(out.stdout.split()[0])


SYNCHRONOUS_CALL = """
import json, sys, time
import mutflank
import numpy.core.multiarray  # loaded by the first call otherwise, and timed with it
tables, root, context = json.loads(sys.argv[1])
start = time.perf_counter()
mutflank.parse_vcf_files(tables, root, context)
print(time.perf_counter() - start)
"""


def run_synchronous(tables, root, context):
    """mutflank with every window read by its own system calls: the same call in a process
    that may not create an io_uring, timed inside that process."""
    out = subprocess.run([sys.executable, os.path.join(HERE, "without_io_uring.py"), "-c",
                          SYNCHRONOUS_CALL, json.dumps([tables, root, context])],
                         check=True, capture_output=True, text=True)
    return float(out.stdout.split()[-1])


def time_call(function, *args):
    gc.collect()
    start = time.perf_counter()
    result = function(*args)
    seconds = time.perf_counter() - start
    del result
    return seconds


def memory_probe(tables, root, context):
    """Peak memory of one call in a fresh process. Linux carries the peak RSS of the process
    image that exec replaces into ru_maxrss, so this runs while the benchmark process is still
    small; the probe also reports its own high-water mark (VmHWM) as a cross-check."""
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, json.dumps([tables, root, context])],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, Python {platform.python_version()}"


def verdict(ok):
    return "ok" if ok else "MISSED"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor", required=True, help="the compiled bench/floor.c")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--context", type=int, default=5)
    parser.add_argument("--data", default=generate.DEFAULT_OUT)
    args = parser.parse_args()

    import mutflank  # the installed module; after argument parsing so --help works without it

    # The data is made in a child process, so that this one stays small (see memory_probe).
    subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), "--scale", str(args.scale),
                    "--out", args.data], check=True, stdout=subprocess.DEVNULL)
    manifest = generate.generate(args.scale, args.data)
    folder = generate.data_dir(args.scale, args.data)
    root = os.path.join(folder, manifest["reference"])
    tables = [os.path.join(folder, t) for t in manifest["tables"]]
    skipped = [os.path.join(folder, manifest["skipped"])]
    records = floor_records(folder, root, args.context)
    kept = manifest["kept"]
    table_mb = manifest["table_bytes"] / 1e6
    skipped_mb = manifest["skipped_bytes"] / 1e6

    memory = memory_probe(tables, root, args.context)
    warm_page_cache([*reference_files(root), *tables, *skipped])
    ours = mutflank.parse_vcf_files(tables, root, args.context)
    theirs = mutflank_model.parse_vcf_files(tables, root, args.context)
    if ours.shape != (kept, 2) or ours.shape != theirs.shape or not (ours == theirs).all():
        sys.exit(f"mutflank and the model disagree (shapes {ours.shape}, {theirs.shape}; "
                 f"{kept} kept records expected)")
    del ours, theirs

    runs = {
        "mutflank": lambda: time_call(mutflank.parse_vcf_files, tables, root, args.context),
        "mutflank sync": lambda: run_synchronous(tables, root, args.context),
        "model": lambda: time_call(mutflank_model.parse_vcf_files, tables, root, args.context),
        "floor": lambda: run_floor(args.floor, records, tables),
        "floor filtered": lambda: run_floor(args.floor, records, tables, forbid_io_uring=True),
        "round trips": lambda: run_round_trips(args.floor, kept),
        "scan mutflank": lambda: time_call(mutflank.parse_vcf_files, skipped, root, args.context),
        "scan floor": lambda: run_floor(args.floor, "-", skipped),
        "scan floor 8k": lambda: run_floor(args.floor, "-", skipped, block=8192),
        "scan model": lambda: time_call(mutflank_model.parse_vcf_files, skipped, root,
                                        args.context),
    }
    times = {name: [] for name in runs}
    names = list(runs)
    for repetition in range(args.repetitions):
        shift = repetition % len(names)
        for name in names[shift:] + names[:shift]:
            times[name].append(runs[name]())
        print(f"  repetition {repetition + 1}/{args.repetitions} done", file=sys.stderr)
    median = {name: statistics.median(values) for name, values in times.items()}

    peak_ratio = memory["peak"] / memory["result"]
    floor_ratio = median["mutflank"] / median["floor"]
    sync_ratio = median["mutflank sync"] / median["floor filtered"]
    model_ratio = median["model"] / median["mutflank"]
    scan_names = ("mutflank", "model", "floor", "floor 8k")
    scan_mbps = {name: skipped_mb / median[f"scan {name}"] for name in scan_names}
    scan_ratio = median["scan mutflank"] / median["scan floor"]

    print(f"mutflank benchmark, scale {args.scale:g}, context {args.context}, "
          f"median of {args.repetitions} interleaved repetitions")
    print(f"machine: {machine()}")
    print(f"data: {len(tables)} tables, {manifest['table_lines']:,} lines, {table_mb:.1f} MB, "
          f"{kept:,} kept records; reference {manifest['reference_bytes'] / 1e6:.0f} MB; "
          f"all-skipped file {skipped_mb:.1f} MB")
    print()
    print(f"{'tables':<16}{'seconds':>10}{'us/kept':>10}{'x floor':>10}")
    for name in ("mutflank", "mutflank sync", "model", "floor", "floor filtered"):
        print(f"{name:<16}{median[name]:>10.3f}{median[name] / kept * 1e6:>10.3f}"
              f"{median[name] / median['floor']:>10.2f}")
    print(f"{'round trips':<16}{median['round trips']:>10.3f}"
          f"{median['round trips'] / kept * 1e6:>10.3f}"
          f"{median['round trips'] / median['floor']:>10.2f}   (3 empty system calls a record)")
    print()
    print(f"{'all-skipped scan':<16}{'seconds':>10}{'MB/s':>10}{'x floor':>10}")
    for name in scan_names:
        print(f"{name:<16}{median['scan ' + name]:>10.3f}{scan_mbps[name]:>10.0f}"
              f"{median['scan ' + name] / median['scan floor']:>10.2f}")
    print()
    print(f"memory of one call: {memory['rows']:,} rows, result {memory['result'] / 1e6:.1f} MB "
          f"(array + strings), peak RSS growth {memory['peak'] / 1e6:.1f} MB "
          f"(high-water mark growth {memory['high_water'] / 1e6:.1f} MB)")
    print()
    print("targets:")
    print(f"  mutflank/floor per kept record {floor_ratio:.3f} <= {TARGET_FLOOR_RATIO}: "
          f"{verdict(floor_ratio <= TARGET_FLOOR_RATIO)}")
    print(f"  batched/floor per kept record {floor_ratio:.3f} <= {TARGET_BATCHED_RATIO}: "
          f"{verdict(floor_ratio <= TARGET_BATCHED_RATIO)} "
          f"(synchronous mutflank/floor, both under the filter, {sync_ratio:.3f} "
          f"<= {TARGET_FLOOR_RATIO}: {verdict(sync_ratio <= TARGET_FLOOR_RATIO)})")
    print(f"  model/mutflank {model_ratio:.2f} >= {TARGET_MODEL_RATIO}: "
          f"{verdict(model_ratio >= TARGET_MODEL_RATIO)} "
          f"(model/floor {median['model'] / median['floor']:.2f})")
    print(f"  scan {scan_mbps['mutflank']:.0f} MB/s >= {TARGET_SCAN_MBPS:.0f}: "
          f"{verdict(scan_mbps['mutflank'] >= TARGET_SCAN_MBPS)}; "
          f"scan time {scan_ratio:.2f} x floor's <= {TARGET_SCAN_RATIO}: "
          f"{verdict(scan_ratio <= TARGET_SCAN_RATIO)} "
          f"({median['scan mutflank'] / median['scan floor 8k']:.2f} x the floor's with 8 KiB reads)")
    print(f"  peak memory {peak_ratio:.3f} x result <= {TARGET_PEAK_RATIO}: "
          f"{verdict(peak_ratio <= TARGET_PEAK_RATIO)}")
    print(f"mutflank/floor={floor_ratio:.3f} model/mutflank={model_ratio:.2f} "
          f"scan_MBps={scan_mbps['mutflank']:.0f} peak_ratio={peak_ratio:.3f}")


if __name__ == "__main__":
    main()
