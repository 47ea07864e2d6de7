#!/usr/bin/python3
"""Times mutflank against the I/O floors and the pure-Python model, in one interleaved run.

    run.py --floor PATH [--scale S] [--repetitions R] [--context C] [--data DIR]

Generates (or reuses) the data of bench/generate.py; has a fresh process run one mutflank
call over the tables and report its peak memory against the size of what it returned;
warms the page cache, then times, in each repetition and in a rotating order (after the
first, it checks that mutflank and the model returned the same rows, and mutflank the same
rows for the small files and the deep root):

- over the 10 tables: mutflank (windows batched through io_uring), mutflank with io_uring
  forbidden by a seccomp filter (every window read by its own system calls), the model,
  the floor, the floor under the same filter, and the batched floor (the floor's windows
  read through io_uring, 128 records a submit);
- the same records in files of 100 lines: mutflank, the floor and the batched floor;
- the same reference through a root 6 folders deeper (hard links): mutflank, and the
  batched floor opening each file by its full path and relative to an O_PATH handle on
  its build folder (also with the shallow root);
- a cold reference (as root only: the page cache dropped before each of these, the tables
  read again so that only the reference is cold): mutflank and the batched floor;
- over the file whose lines are all skipped: mutflank, the model and the floor (with
  64 KiB reads, and with the 8 KiB reads that mutflank makes).

Prints the medians of the seconds and of the processor seconds (user and system time of
all the threads of the process measured, over the same span), which a busy machine disturbs
less; then the ratios the targets name (of seconds) and, last, one line:

    mutflank/floor=X model/mutflank=Y scan_MBps=Z peak_ratio=W mutflank/batched=... ...

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
# Against the batched floor, the same records in small files, a cold reference, a deep root.
TARGET_BATCHED_FLOOR_RATIO = 1.1  # mutflank / batched floor, 10 big tables
TARGET_SMALL_RATIO = 1.1  # small files / big tables, mutflank
TARGET_SMALL_FLOOR_RATIO = 0.85  # mutflank / synchronous floor, both on the small files
TARGET_COLD_RATIO = 1.15  # mutflank / batched floor, both with a cold reference
TARGET_DEEP_RATIO = 1.1  # deep root / shallow root, mutflank per record

DROP_CACHES = "/proc/sys/vm/drop_caches"

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


def floor_records(kept_path, root, context, path):
    """The floor's list of kept records (of kept_path, as generate.py writes it) with this
    root and context, written once."""
    if os.path.exists(path):
        return path
    half = context // 2
    with open(kept_path) as kept, open(path + ".tmp", "w") as out:
        for line in kept:
            table, line_index, build, chrom, position = line.rstrip("\n").split("\t")
            before = int(position) - 1
            start = max(before - half, 0)
            length = int(position) + half - start
            out.write(f"{table}\t{line_index}\t{root}/{build}/{chrom}.txt\t{start}\t{length}\n")
    os.replace(path + ".tmp", path)
    return path


def run_floor(floor, records, tables, block=None, forbid_io_uring=False, mode=None):
    """Seconds and processor seconds of the floor over `tables` (a list of paths, or the
    path of a file listing them); mode "-u" is the batched floor, "-U" the batched floor
    opening files relative to a handle on their folder."""
    options = ["-b", str(block)] if block else []
    options += [mode] if mode else []
    if isinstance(tables, str):
        command = [floor, *options, "-l", tables, records]
    else:
        command = [floor, *options, records, *tables]
    if forbid_io_uring:  # under the same system-call filter as "mutflank sync"
        command = [sys.executable, os.path.join(HERE, "without_io_uring.py"), "--exec", *command]
    out = subprocess.run(command, check=True, capture_output=True, text=True)
    fields = out.stdout.split()
    return float(fields[0]), float(fields[4])


def run_round_trips(floor, rounds):
    out = subprocess.run([floor, "-s", str(rounds)], check=True, capture_output=True, text=True)
    seconds, cpu_seconds = out.stdout.split()
    return float(seconds), float(cpu_seconds)


SYNCHRONOUS_CALL = """
import json, sys, time
import mutflank
import numpy.core.multiarray  # loaded by the first call otherwise, and timed with it
tables, root, context = json.loads(sys.argv[1])
start, start_cpu = time.perf_counter(), time.process_time()
mutflank.parse_vcf_files(tables, root, context)
print(time.perf_counter() - start, time.process_time() - start_cpu)
"""


def run_synchronous(tables, root, context):
    """mutflank with every window read by its own system calls: the same call in a process
    that may not create an io_uring, timed inside that process."""
    out = subprocess.run([sys.executable, os.path.join(HERE, "without_io_uring.py"), "-c",
                          SYNCHRONOUS_CALL, json.dumps([tables, root, context])],
                         check=True, capture_output=True, text=True)
    seconds, cpu_seconds = out.stdout.split()[-2:]
    return float(seconds), float(cpu_seconds)


def drop_page_cache():
    os.sync()
    with open(DROP_CACHES, "w") as f:
        f.write("3\n")


def why_no_cold_cache():
    """None when this process can drop the page cache (it just did), else why not."""
    if os.geteuid() != 0:
        return "not running as root"
    try:
        drop_page_cache()
    except OSError as error:
        return f"cannot write {DROP_CACHES}: {error.strerror}"
    return None


def time_call(function, *args, keep=None):
    """Seconds and processor seconds (user and system, all threads) of one call; appends its
    result to the list `keep` when there is one."""
    gc.collect()
    start, start_cpu = time.perf_counter(), time.process_time()
    result = function(*args)
    seconds, cpu_seconds = time.perf_counter() - start, time.process_time() - start_cpu
    if keep is not None:
        keep.append(result)
    del result
    return seconds, cpu_seconds


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
    deep = generate.deep_root(folder, manifest)
    tables = [os.path.join(folder, t) for t in manifest["tables"]]
    small, small_kept = generate.small_tables(folder, manifest)
    small_list = os.path.join(folder, "small", "tables.txt")
    skipped = [os.path.join(folder, manifest["skipped"])]
    c = args.context
    kept_path = os.path.join(folder, "kept.tsv")
    records = floor_records(kept_path, root, c,
                            os.path.join(folder, f"floor-records-context{c}.tsv"))
    deep_records = floor_records(kept_path, deep, c,
                                 os.path.join(folder, f"floor-records-context{c}-deep.tsv"))
    small_records = floor_records(small_kept, root, c,
                                  os.path.join(folder, f"floor-records-context{c}-small.tsv"))
    kept = manifest["kept"]
    table_mb = manifest["table_bytes"] / 1e6
    skipped_mb = manifest["skipped_bytes"] / 1e6

    memory = memory_probe(tables, root, c)
    no_cold = why_no_cold_cache()
    everything = [*reference_files(root), *tables, *small, *skipped, args.floor]
    warm_page_cache(everything)
    # The results of the first timed call of each of these, checked after the first
    # repetition (checking before would cost a model call more).
    first = {"mutflank": [], "model": [], "small mutflank": [], "deep mutflank": []}

    def check_first_results():
        ours, theirs = first["mutflank"][0], first["model"][0]
        if ours.shape != (kept, 2) or ours.shape != theirs.shape or not (ours == theirs).all():
            sys.exit(f"mutflank and the model disagree (shapes {ours.shape}, {theirs.shape}; "
                     f"{kept} kept records expected)")
        for name in ("small mutflank", "deep mutflank"):
            other = first[name][0]
            if other.shape != ours.shape or not (other == ours).all():
                sys.exit(f"{name}: other rows than mutflank over the 10 tables")
        for name in first:
            first[name] = None

    def timed(name, function, paths, reference):
        return lambda: time_call(function, paths, reference, c, keep=first.get(name))

    def cold(measure):
        """Runs `measure` with the reference out of the page cache and the tables in it, then
        warms all the data again for the other measurements."""
        drop_page_cache()
        warm_page_cache([*tables, args.floor, records])
        try:
            return measure()
        finally:
            warm_page_cache(everything)

    def batched_floor(records, tables, mode="-u"):
        return lambda: run_floor(args.floor, records, tables, mode=mode)

    runs = {
        "mutflank": timed("mutflank", mutflank.parse_vcf_files, tables, root),
        "mutflank sync": lambda: run_synchronous(tables, root, c),
        "model": timed("model", mutflank_model.parse_vcf_files, tables, root),
        "floor": lambda: run_floor(args.floor, records, tables),
        "floor filtered": lambda: run_floor(args.floor, records, tables, forbid_io_uring=True),
        "batched floor": batched_floor(records, tables),
        "round trips": lambda: run_round_trips(args.floor, kept),
        "small mutflank": timed("small mutflank", mutflank.parse_vcf_files, small, root),
        "small floor": lambda: run_floor(args.floor, small_records, small_list),
        "small batched floor": batched_floor(small_records, small_list),
        "deep mutflank": timed("deep mutflank", mutflank.parse_vcf_files, tables, deep),
        "deep batched floor": batched_floor(deep_records, tables),
        "batched floor O_PATH": batched_floor(records, tables, "-U"),
        "deep batched floor O_PATH": batched_floor(deep_records, tables, "-U"),
        "scan mutflank": lambda: time_call(mutflank.parse_vcf_files, skipped, root, c),
        "scan floor": lambda: run_floor(args.floor, "-", skipped),
        "scan floor 8k": lambda: run_floor(args.floor, "-", skipped, block=8192),
        "scan model": lambda: time_call(mutflank_model.parse_vcf_files, skipped, root, c),
    }
    if no_cold is None:
        runs["cold mutflank"] = lambda: cold(
            lambda: time_call(mutflank.parse_vcf_files, tables, root, c))
        runs["cold batched floor"] = lambda: cold(runs["batched floor"])
    times = {name: [] for name in runs}
    names = list(runs)
    for repetition in range(args.repetitions):
        shift = repetition % len(names)
        for name in names[shift:] + names[:shift]:
            times[name].append(runs[name]())
        if repetition == 0:
            check_first_results()
        print(f"  repetition {repetition + 1}/{args.repetitions} done", file=sys.stderr)
    median = {name: statistics.median(wall for wall, _ in values)
              for name, values in times.items()}
    median_cpu = {name: statistics.median(cpu for _, cpu in values)
                  for name, values in times.items()}

    def ratio(name, other):
        return median[name] / median[other]

    peak_ratio = memory["peak"] / memory["result"]
    floor_ratio = ratio("mutflank", "floor")
    batched_ratio = ratio("mutflank", "batched floor")
    sync_ratio = ratio("mutflank sync", "floor filtered")
    model_ratio = ratio("model", "mutflank")
    small_ratio = ratio("small mutflank", "mutflank")
    small_floor_ratio = ratio("small mutflank", "small floor")
    deep_ratio = ratio("deep mutflank", "mutflank")
    cold_ratio = ratio("cold mutflank", "cold batched floor") if no_cold is None else None
    scan_names = ("mutflank", "model", "floor", "floor 8k")
    scan_mbps = {name: skipped_mb / median[f"scan {name}"] for name in scan_names}
    scan_ratio = ratio("scan mutflank", "scan floor")

    def row(label, name, *against, note=""):
        """One line: seconds, processor seconds, microseconds per kept record, then the ratio
        of seconds to each of `against`."""
        ratios = "".join(f"{ratio(name, other):>12.2f}" for other in against)
        print(f"{label:<24}{median[name]:>9.3f}{median_cpu[name]:>9.3f}"
              f"{median[name] / kept * 1e6:>9.3f}{ratios}{note}")

    def heading(title, *columns):
        print(f"{title:<24}{'seconds':>9}{'cpu s':>9}{'us/kept':>9}"
              + "".join(f"{c:>12}" for c in columns))

    print(f"mutflank benchmark, scale {args.scale:g}, context {c}, "
          f"median of {args.repetitions} interleaved repetitions")
    print(f"machine: {machine()}")
    print(f"data: {len(tables)} tables, {manifest['table_lines']:,} lines, {table_mb:.1f} MB, "
          f"{kept:,} kept records; reference {manifest['reference_bytes'] / 1e6:.0f} MB; "
          f"all-skipped file {skipped_mb:.1f} MB")
    print()
    heading("10 tables", "x floor", "x batched")
    for name in ("mutflank", "mutflank sync", "model", "floor", "floor filtered",
                 "batched floor"):
        row(name, name, "floor", "batched floor")
    row("round trips", "round trips", "floor", note="             (3 empty system calls a record)")
    print()
    heading(f"{len(small):,} files of {generate.SMALL_LINES}", "x floor", "x batched",
            "x 10 tables")
    for name in ("mutflank", "floor", "batched floor"):
        row(name, "small " + name, "small floor", "small batched floor", name)
    print()
    heading("root 6 folders deeper", "x shallow", "x batched")
    row("mutflank", "deep mutflank", "mutflank", "deep batched floor")
    row("batched floor", "deep batched floor", "batched floor", "deep batched floor")
    row("batched floor O_PATH", "deep batched floor O_PATH", "batched floor O_PATH",
        "deep batched floor")
    row("  shallow root", "batched floor O_PATH", "batched floor O_PATH", "batched floor")
    print()
    if no_cold is None:
        heading("cold reference", "x warm", "x batched")
        row("mutflank", "cold mutflank", "mutflank", "cold batched floor")
        row("batched floor", "cold batched floor", "batched floor", "cold batched floor")
    else:
        print(f"cold reference: skipped, the page cache cannot be dropped ({no_cold})")
    print()
    print(f"{'all-skipped scan':<24}{'seconds':>9}{'cpu s':>9}{'MB/s':>9}{'x floor':>12}")
    for name in scan_names:
        print(f"{name:<24}{median['scan ' + name]:>9.3f}{median_cpu['scan ' + name]:>9.3f}"
              f"{scan_mbps[name]:>9.0f}"
              f"{ratio('scan ' + name, 'scan floor'):>12.2f}")
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
    print(f"  mutflank/batched floor {batched_ratio:.3f} <= {TARGET_BATCHED_FLOOR_RATIO}: "
          f"{verdict(batched_ratio <= TARGET_BATCHED_FLOOR_RATIO)}")
    print(f"  small files/10 tables {small_ratio:.3f} <= {TARGET_SMALL_RATIO}: "
          f"{verdict(small_ratio <= TARGET_SMALL_RATIO)}; mutflank/floor on the small files "
          f"{small_floor_ratio:.3f} <= {TARGET_SMALL_FLOOR_RATIO}: "
          f"{verdict(small_floor_ratio <= TARGET_SMALL_FLOOR_RATIO)} (mutflank/batched floor "
          f"on them {ratio('small mutflank', 'small batched floor'):.3f})")
    if no_cold is None:
        print(f"  cold reference, mutflank/batched floor {cold_ratio:.3f} <= "
              f"{TARGET_COLD_RATIO}: {verdict(cold_ratio <= TARGET_COLD_RATIO)}")
    else:
        print(f"  cold reference: skipped ({no_cold})")
    print(f"  deep/shallow root per kept record {deep_ratio:.3f} <= {TARGET_DEEP_RATIO}: "
          f"{verdict(deep_ratio <= TARGET_DEEP_RATIO)} (batched floor: "
          f"{ratio('deep batched floor', 'batched floor'):.3f} with full paths, "
          f"{ratio('deep batched floor O_PATH', 'batched floor O_PATH'):.3f} "
          f"with O_PATH handles)")
    print(f"  model/mutflank {model_ratio:.2f} >= {TARGET_MODEL_RATIO}: "
          f"{verdict(model_ratio >= TARGET_MODEL_RATIO)} "
          f"(model/floor {ratio('model', 'floor'):.2f})")
    print(f"  scan {scan_mbps['mutflank']:.0f} MB/s >= {TARGET_SCAN_MBPS:.0f}: "
          f"{verdict(scan_mbps['mutflank'] >= TARGET_SCAN_MBPS)}; "
          f"scan time {scan_ratio:.2f} x floor's <= {TARGET_SCAN_RATIO}: "
          f"{verdict(scan_ratio <= TARGET_SCAN_RATIO)} "
          f"({ratio('scan mutflank', 'scan floor 8k'):.2f} x the floor's with 8 KiB reads)")
    print(f"  peak memory {peak_ratio:.3f} x result <= {TARGET_PEAK_RATIO}: "
          f"{verdict(peak_ratio <= TARGET_PEAK_RATIO)}")
    cold_summary = "skipped" if cold_ratio is None else f"{cold_ratio:.3f}"
    print(f"mutflank/floor={floor_ratio:.3f} model/mutflank={model_ratio:.2f} "
          f"scan_MBps={scan_mbps['mutflank']:.0f} peak_ratio={peak_ratio:.3f} "
          f"mutflank/batched={batched_ratio:.3f} small/big={small_ratio:.3f} "
          f"small/floor={small_floor_ratio:.3f} cold/batched={cold_summary} "
          f"deep/shallow={deep_ratio:.3f}")


if __name__ == "__main__":
    main()
