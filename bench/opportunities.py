"""Benchmarks of regions and opportunities (run by `make bench-opportunities`):

- opportunities: `mutflank opportunities` of a seeded random genome (AT-rich, with GC-rich
  exon-like stretches and N runs) against one pass over its reference folder, `cat
  REF/BUILD/* > /dev/null`, in the same run, alternating, medians; once with the files in the
  page cache (warm) and once with them dropped from it before each run (cold:
  posix_fadvise DONTNEED on these files only); and the peak resident memory of the command;
- regions: `mutflank matrix` of a VCF of 1,060,000 records without --regions, with 200,000
  intervals tiling the genome (nearly every record inside: the filter's own cost) and with
  200,000 exome-like intervals (most records outside), alternating, medians; then the same
  without and with 200,000 intervals tiling its genome on the 20-sample VCF of
  bench/cli_engine.py (50 Mb genome, made by it when missing). With `--baseline PYTHON`
  every run is also made by that interpreter's install (another build of the command),
  alternating with this one's, and the outputs of the two compared byte for byte;
- fits: seeded cohorts whose counts come from genome signatures rescaled to the exome-like
  regions (their opportunities counted by `mutflank opportunities` on that genome), fitted
  with and without --opportunities/--signature-opportunities: the median over samples of the
  L1 error of the exposures (sum of |fitted - planted| over the sum of planted), both figures.

Data is generated with fixed seeds into bench/.data/opportunities (kept). --quick uses a
genome of 30 Mb instead of 300 Mb. --full times only the opportunities, on a genome of the
size of GRCh38 (3.1 Gb: its 25 chromosomes' lengths, random AT-rich bases, N at the ends and
in a block in the middle of each, about 3.1 GB on disk).
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
DATA = HERE / ".data" / "opportunities"
COMMAND = [sys.executable, "-m", "mutflank_tools"]
INTERVALS = 200_000
RECORDS = 1_060_000


def genome(scale):
    """A GRCh38 folder of three chromosomes (scale x 150, 100, 50 Mb): AT-rich bases, GC-rich
    exon-like stretches where the BED's intervals lie, a few N runs; and the BED."""
    root = DATA / f"reference-{scale}"
    folder = root / "GRCh38"
    bed = DATA / f"exome-{scale}.bed"
    lengths = {"1": 150_000_000 * scale // 10, "2": 100_000_000 * scale // 10,
               "3": 50_000_000 * scale // 10}
    if bed.exists() and all((folder / f"{name}.txt").exists() for name in lengths):
        return root, bed, lengths
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(17)
    total = sum(lengths.values())
    lines = []
    at_rich = np.array([0, 0, 0, 1, 1, 2, 2, 3, 3, 3], dtype=np.uint8)  # A C G T .3 .2 .2 .3
    gc_rich = np.array([0, 0, 1, 1, 1, 2, 2, 2, 3, 3], dtype=np.uint8)  # .2 .3 .3 .2
    for name, length in lengths.items():
        bases = np.empty(length, dtype=np.uint8)
        for start in range(0, length, 1 << 24):
            piece = bases[start:start + (1 << 24)]
            piece[:] = at_rich[rng.integers(0, 10, len(piece), dtype=np.uint8)]
        count = INTERVALS * length // total
        starts = np.sort(rng.integers(20, length - 400, count))
        sizes = rng.integers(80, 300, count)
        for start, size in zip(starts.tolist(), sizes.tolist()):
            exon = gc_rich[rng.integers(0, 10, size + 40, dtype=np.uint8)]
            # CpG enriched: a C is followed by a G more often than by chance.
            cpg = np.flatnonzero(exon[:-1] == 1)
            exon[cpg[rng.random(len(cpg)) < 0.15] + 1] = 2
            bases[start - 20:start + size + 20] = exon
            lines.append(f"{name}\t{start}\t{start + size}")
        for start in rng.integers(0, length - 50_000, 10).tolist():
            bases[start:start + 20_000] = 16
        bases.tofile(folder / f"{name}.txt")
    order = rng.permutation(len(lines))
    bed.write_text("".join(lines[i] + "\n" for i in order))
    return root, bed, lengths


# The lengths of GRCh38's chromosomes.
GRCH38 = {"1": 248_956_422, "2": 242_193_529, "3": 198_295_559, "4": 190_214_555,
          "5": 181_538_259, "6": 170_805_979, "7": 159_345_973, "8": 145_138_636,
          "9": 138_394_717, "10": 133_797_422, "11": 135_086_622, "12": 133_275_309,
          "13": 114_364_328, "14": 107_043_718, "15": 101_991_189, "16": 90_338_345,
          "17": 83_257_441, "18": 80_373_285, "19": 58_617_616, "20": 64_444_167,
          "21": 46_709_983, "22": 50_818_468, "X": 156_040_895, "Y": 57_227_415, "MT": 16_569}


def full_genome():
    """A GRCh38 folder of GRCh38's chromosome lengths: AT-rich random bases, 10 kb of N at
    each end and a block of N of 3% of the length at 40% of it (a centromere)."""
    root = DATA / "reference-grch38"
    folder = root / "GRCh38"
    paths = {name: folder / f"{name}.txt" for name in GRCH38}
    if all(path.exists() and path.stat().st_size == GRCH38[name] for name, path in paths.items()):
        return root
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(31)
    at_rich = np.array([0, 0, 0, 1, 1, 2, 2, 3, 3, 3], dtype=np.uint8)
    for name, length in GRCH38.items():
        bases = np.empty(length, dtype=np.uint8)
        for start in range(0, length, 1 << 24):
            piece = bases[start:start + (1 << 24)]
            piece[:] = at_rich[rng.integers(0, 10, len(piece), dtype=np.uint8)]
        if length > 1_000_000:
            bases[:10_000] = bases[-10_000:] = 16
            middle = length * 4 // 10
            bases[middle:middle + length * 3 // 100] = 16
        bases.tofile(f"{paths[name]}.part")
        os.replace(f"{paths[name]}.part", paths[name])
    return root


def vcf(root, lengths):
    """One sample's VCF of RECORDS SNVs whose REF is the reference base, sorted."""
    path = DATA / f"calls-{root.name}.vcf"
    if path.exists():
        return path
    rng = np.random.default_rng(23)
    total = sum(lengths.values())
    out = ["##fileformat=VCFv4.2",
           '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
           "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1"]
    for name, length in lengths.items():
        codes = np.fromfile(root / "GRCh38" / f"{name}.txt", dtype=np.uint8)
        count = RECORDS * length // total
        positions = np.sort(rng.choice(np.flatnonzero(codes < 4)[::7], count, replace=False)) + 1
        refs = codes[positions - 1]
        alts = (refs + rng.integers(1, 4, count)) % 4
        out += [f"{name}\t{p}\t.\t{'ACGT'[r]}\t{'ACGT'[a]}\t.\tPASS\t.\tGT\t0/1"
                for p, r, a in zip(positions.tolist(), refs.tolist(), alts.tolist())]
    path.write_text("\n".join(out) + "\n")
    return path


def timed(command, **options):
    """(wall seconds, peak resident MB, CPU seconds) of a command run to its end."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               **options)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    error = process.stderr.read().decode()
    process.stderr.close()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode:
        raise SystemExit(f"{' '.join(map(str, command))} failed:\n{error}")
    return wall, usage.ru_maxrss / 1024, usage.ru_utime + usage.ru_stime


def drop_from_cache(paths):
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def bench_opportunities(root, repetitions):
    files = sorted(str(path) for path in (root / "GRCh38").glob("*.txt"))
    size = sum(os.path.getsize(path) for path in files)
    cat = ["sh", "-c", 'cat "$@" > /dev/null', "cat", *files]
    mine = [*COMMAND, "opportunities", str(root), "--build", "GRCh38",
            "-o", str(DATA / "genome"), "--types", "SBS96,SBS1536,DBS78"]
    print(f"opportunities of a {size / 1e6:,.0f} Mb genome ({len(files)} chromosomes) against "
          f"cat of its folder, median of {repetitions} (load average before: "
          f"{os.getloadavg()[0]:.1f}):")
    for state in ("warm", "cold"):
        times = {"cat": [], "opportunities": []}
        cpu = {"cat": [], "opportunities": []}
        peaks = []
        timed(cat)  # into the cache, for the warm runs
        for _ in range(repetitions):
            for name, command in (("cat", cat), ("opportunities", mine)):
                if state == "cold":
                    drop_from_cache(files)
                wall, peak, seconds = timed(command)
                times[name].append(wall)
                cpu[name].append(seconds)
                if name == "opportunities":
                    peaks.append(peak)
        cat_s = statistics.median(times["cat"])
        mine_s = statistics.median(times["opportunities"])
        cat_cpu, mine_cpu = (statistics.median(cpu[name]) for name in ("cat", "opportunities"))
        print(f"  {state:4}  cat {cat_s:7.3f} s   opportunities {mine_s:7.3f} s   ratio "
              f"{mine_s / cat_s:5.2f}   ({size / mine_s / 1e6:,.0f} Mb/s; peak memory "
              f"{max(peaks):.0f} MB; CPU: cat {cat_cpu:.2f} s, opportunities "
              f"{mine_cpu:.2f} s)")
    print(f"  (load average after: {os.getloadavg()[0]:.1f})")


def covering(lengths):
    """A BED of INTERVALS intervals that tile the genome, one base apart: nearly every record
    is inside, so the filter's own cost shows."""
    path = DATA / f"covering-{sum(lengths.values())}.bed"
    if not path.exists():
        step = sum(lengths.values()) // INTERVALS
        path.write_text("".join(f"{name}\t{start}\t{start + step - 1}\n"
                                for name, length in lengths.items()
                                for start in range(0, length - step + 1, step)))
    return path


def regions_runs(calls, root, beds, repetitions, installs):
    """{(install, run): (median wall seconds, median CPU seconds)} of `matrix` of `calls`
    without --regions
    ("plain") and with each of `beds` ({run: path}), the installs ({name: interpreter})
    alternating; exits when two installs' outputs differ."""
    runs = {"plain": [], **{name: ["--regions", str(bed)] for name, bed in beds.items()}}
    times = {}
    for _ in range(repetitions):
        for run, extra in runs.items():
            outputs = {}
            for install, python in installs.items():
                prefix = DATA / f"m-{install}"
                command = [python, "-m", "mutflank_tools", "matrix", str(calls), "--reference",
                           str(root), "-o", str(prefix), "--types", "SBS96", *extra]
                wall, _, cpu = timed(command)
                times.setdefault((install, run), []).append((wall, cpu))
                outputs[install] = Path(f"{prefix}.SBS96.tsv").read_bytes()
            if len(set(outputs.values())) > 1:
                raise SystemExit(f"the installs' matrices differ ({run})")
    return {key: tuple(statistics.median(column) for column in zip(*values))
            for key, values in times.items()}


def print_regions(title, medians, installs, names):
    print(title)
    for install in installs:
        plain, plain_cpu = medians[install, "plain"]
        shown = "; ".join(f"with {text} {medians[install, run][0]:.2f} s "
                          f"({100 * (medians[install, run][0] / plain - 1):+.1f}%; CPU "
                          f"{medians[install, run][1]:.2f} s, "
                          f"{100 * (medians[install, run][1] / plain_cpu - 1):+.1f}%)"
                          for run, text in names.items())
        print(f"  {install:8}  without --regions {plain:.2f} s (CPU {plain_cpu:.2f} s); "
              f"{shown}")


def bench_regions(root, bed, lengths, repetitions, installs):
    medians = regions_runs(vcf(root, lengths), root, {"exome": bed, "covering": covering(lengths)},
                           repetitions, installs)
    print_regions(f"matrix of {RECORDS:,} records, median of {repetitions}:", medians, installs,
                  {"covering": f"{INTERVALS:,} intervals tiling the genome (nearly every "
                               "record inside)",
                   "exome": f"the exome-like BED of {INTERVALS:,} intervals (most records "
                            "outside)"})
    sys.path.insert(0, str(HERE))
    from cli_engine import generate  # noqa: PLC0415 (the engine benchmark's data, made once)

    reference, calls = generate()
    folder = Path(reference) / "GRCh38"
    sizes = {path.stem: path.stat().st_size for path in sorted(folder.glob("*.txt"))}
    medians = regions_runs(calls, reference, {"covering": covering(sizes)}, repetitions,
                           installs)
    print_regions(f"matrix of the 20-sample VCF {calls}, median of {repetitions}:", medians,
                  installs, {"covering": f"{INTERVALS:,} intervals tiling its genome"})


def bench_fits(root, bed, cohorts, samples):
    genome_prefix, exome_prefix = DATA / "genome", DATA / "exome"
    for prefix, extra in ((genome_prefix, []), (exome_prefix, ["--regions", str(bed)])):
        timed([*COMMAND, "opportunities", str(root), "--build", "GRCh38", "-o", str(prefix),
               "--types", "SBS96", *extra])
    read = {}
    for name, prefix in (("genome", genome_prefix), ("exome", exome_prefix)):
        lines = Path(f"{prefix}.SBS96.tsv").read_text().splitlines()[1:]
        read[name] = np.array([float(line.split("\t")[1]) for line in lines])
        labels = [line.split("\t")[0] for line in lines]
    ratio = read["exome"] / read["genome"]
    errors = {"without": [], "with": []}
    for seed in range(cohorts):
        rng = np.random.default_rng(100 + seed)
        signatures = rng.dirichlet(np.full(96, 0.3), size=12).T
        scaled = signatures * ratio[:, None]
        scaled /= scaled.sum(axis=0)
        planted = np.zeros((12, samples))
        for column in planted.T:
            active = rng.choice(12, rng.integers(2, 5), replace=False)
            column[active] = rng.dirichlet(np.ones(len(active))) * rng.integers(100, 1500)
        counts = np.array([rng.multinomial(int(round(column.sum())),
                                           scaled @ column / column.sum())
                           for column in planted.T]).T
        planted *= counts.sum(axis=0) / planted.sum(axis=0)  # in the drawn mutations
        folder = DATA / f"cohort-{seed}"
        folder.mkdir(exist_ok=True)
        names = [f"S{i}" for i in range(12)]
        (folder / "sig.tsv").write_text("Type\t" + "\t".join(names) + "\n" + "".join(
            f"{label}\t" + "\t".join(map(repr, row)) + "\n"
            for label, row in zip(labels, signatures.tolist())))
        (folder / "m.tsv").write_text("MutationType\t" + "\t".join(
            f"P{i}" for i in range(samples)) + "\n" + "".join(
            f"{label}\t" + "\t".join(map(str, row)) + "\n"
            for label, row in zip(labels, counts.tolist())))
        for name, extra in (("without", []),
                            ("with", ["--opportunities", f"{exome_prefix}.SBS96.tsv",
                                      "--signature-opportunities",
                                      f"{genome_prefix}.SBS96.tsv"])):
            timed([*COMMAND, "fit", str(folder / "m.tsv"), "--signatures",
                   str(folder / "sig.tsv"), "-o", str(folder / name), *extra])
            lines = (folder / f"{name}.exposures.tsv").read_text().splitlines()[1:]
            fitted = np.array([[float(cell) for cell in line.split("\t")[1:]]
                               for line in lines])
            errors[name] += (np.abs(fitted - planted).sum(axis=0)
                             / planted.sum(axis=0)).tolist()
    print(f"fits of {cohorts} cohorts of {samples} exome-like samples on 12 genome signatures "
          f"(largest channel ratio of exome to genome opportunities over the smallest: "
          f"{ratio.max() / ratio.min():.2f}): median L1 error of the exposures "
          f"{statistics.median(errors['without']):.4f} without opportunities, "
          f"{statistics.median(errors['with']):.4f} with them")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--only", choices=("opportunities", "regions", "fits"))
    parser.add_argument("--baseline", metavar="PYTHON",
                        help="the interpreter of another install to time the regions against")
    parser.add_argument("--full", action="store_true",
                        help="only the opportunities, of a genome of GRCh38's size")
    args = parser.parse_args()
    DATA.mkdir(parents=True, exist_ok=True)
    if args.full:
        bench_opportunities(full_genome(), args.repetitions)
        return
    root, bed, lengths = genome(1 if args.quick else 10)
    if args.only in (None, "opportunities"):
        bench_opportunities(root, args.repetitions)
    if args.only in (None, "regions"):
        installs = {"this": sys.executable}
        if args.baseline:
            installs["baseline"] = args.baseline
        bench_regions(root, bed, lengths, args.repetitions, installs)
    if args.only in (None, "fits"):
        bench_fits(root, bed, cohorts=5, samples=100)


if __name__ == "__main__":
    main()
