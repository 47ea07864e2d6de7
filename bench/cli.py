#!/usr/bin/python3
"""Benchmarks of the `mutflank` command, on data generated once into bench/.data/cli.

    cli.py [--repetitions R] [--parts table,small,memory] [--old SRC]

table: `mutflank table --reference` on a bgzip VCF of 20 samples and 200,000 single-base
substitutions (1 to 5 carriers each, about 600,000 rows; chromosomes chr1, chr2, chrX against
reference files 1, 2, X, so every name is matched), timed in-process through `main()` so that
the interpreter's start is left out. Beside it, in the same run: `bcftools query -i 'GT="alt"'`
printing one line per carrying sample to a file (the field's own tool, doing less: no
classification, no renaming, no left-out counts), and a loop over pysam's records (one repetition).

With --old SRC (an older checkout's src folder), `table` on the same VCF is also timed with that
code, in fresh interpreters, alternating (target: no slower).

small: 1,000 single-sample VCFs of 300 SNVs, read by the readers and written by one `table`
run, in one process (target: at least 500 inputs a second); with --old, the older table too.

memory: peak resident memory, in a fresh process, of `mutflank table` over a VCF of 10,000
samples (and of its bcftools), and of `mutflank reference` over a FASTA whose one sequence is
a single line of 1 GB.

Run it with the interpreter that has mutflank installed (make bench-cli uses .venv).
"""

import argparse
import contextlib
import io
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, ".data", "cli")
SAMPLES = 20
SNVS = 200_000
CHROMOSOMES = {"chr1": 5_000_000, "chr2": 4_000_000, "chrX": 3_000_000}
TARGET_TABLE_ROWS_PER_SECOND = 500_000
WIDE_SAMPLES = 10_000
WIDE_RECORDS = 2_000
LONG_LINE = 1 << 30  # bases on the single line of the big FASTA


def _bgzip(text_path):
    import pysam

    packed = text_path + ".gz"
    pysam.tabix_compress(text_path, packed, force=True)
    os.unlink(text_path)
    return packed


def _vcf_header(samples, contigs):
    lines = ["##fileformat=VCFv4.2"]
    lines += [f"##contig=<ID={name},length={length}>" for name, length in contigs.items()]
    lines += ['##FILTER=<ID=LowQ,Description="Low quality">',
              '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
              "\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT",
                         *samples])]
    return "\n".join(lines) + "\n"


def cohort_vcf():
    """The 20-sample VCF (bgzip) and its reference folder; made once."""
    vcf = os.path.join(DATA, "cohort.vcf.gz")
    reference = os.path.join(DATA, "reference")
    if os.path.exists(vcf) and os.path.isdir(reference):
        return vcf, reference
    os.makedirs(os.path.join(reference, "GRCh38"), exist_ok=True)
    for name, length in CHROMOSOMES.items():
        with open(os.path.join(reference, "GRCh38", name[3:] + ".txt"), "wb") as out:
            out.truncate(length)
    rng = random.Random(20)
    samples = [f"S{i:02d}" for i in range(SAMPLES)]
    plain = os.path.join(DATA, "cohort.vcf")
    with open(plain, "w") as out:
        out.write(_vcf_header(samples, CHROMOSOMES))
        share = SNVS // len(CHROMOSOMES)
        for chrom, length in CHROMOSOMES.items():
            for pos in sorted(rng.sample(range(1, length), share)):
                ref = rng.choice("ACGT")
                alt = rng.choice([base for base in "ACGT" if base != ref])
                carriers = set(rng.sample(range(SAMPLES), rng.randint(1, 5)))
                genotypes = "\t".join("0/1" if i in carriers else "0/0" for i in range(SAMPLES))
                out.write(f"{chrom}\t{pos}\t.\t{ref}\t{alt}\t50\t"
                          f"{'PASS' if rng.random() < 0.9 else 'LowQ'}\t.\tGT\t{genotypes}\n")
    return _bgzip(plain), reference


def wide_vcf():
    """A VCF of 10,000 samples (bgzip), each record carried by 1 to 20 of them; made once."""
    vcf = os.path.join(DATA, "wide.vcf.gz")
    if os.path.exists(vcf):
        return vcf
    rng = random.Random(10_000)
    samples = [f"donor{i:05d}" for i in range(WIDE_SAMPLES)]
    plain = os.path.join(DATA, "wide.vcf")
    with open(plain, "w") as out:
        out.write(_vcf_header(samples, {"chr1": 5_000_000}))
        for pos in sorted(rng.sample(range(1, 5_000_000), WIDE_RECORDS)):
            genotypes = ["0/0"] * WIDE_SAMPLES
            for i in rng.sample(range(WIDE_SAMPLES), rng.randint(1, 20)):
                genotypes[i] = "0/1"
            out.write(f"chr1\t{pos}\t.\tC\tT\t50\tPASS\t.\tGT\t" + "\t".join(genotypes) + "\n")
    return _bgzip(plain)


def long_line_fasta():
    """A FASTA whose one sequence is a single line of 1 GB; made once."""
    fasta = os.path.join(DATA, "long_line.fa")
    if os.path.exists(fasta) and os.path.getsize(fasta) > LONG_LINE:
        return fasta
    block = bytes(random.Random(1).choices(b"ACGTacgtN", k=1 << 20))
    with open(fasta + ".part", "wb") as out:
        out.write(b">long one line of 1 GiB\n")
        for _ in range(LONG_LINE // len(block)):
            out.write(block)
        out.write(b"\n")
    os.replace(fasta + ".part", fasta)
    return fasta


# ---- table ---------------------------------------------------------------------------------

def _cpu_seconds():
    """User and system time of this process and of its waited-for children."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def _time_main(argv):
    """(wall seconds, CPU seconds of the process and its bcftools) of main(argv)."""
    from mutflank_tools.cli import main

    with contextlib.redirect_stderr(io.StringIO()) as errors:
        cpu = _cpu_seconds()
        start = time.perf_counter()
        status = main(argv)
        seconds = time.perf_counter() - start
        cpu = _cpu_seconds() - cpu
    if status != 0:
        raise SystemExit(f"mutflank {' '.join(argv)} failed: {errors.getvalue()}")
    return seconds, cpu


def _time_bcftools(vcf):
    """`bcftools query` printing one line per sample whose genotype is alternate, to a file."""
    printed = os.path.join(DATA, "cohort.query.txt")
    with open(printed, "wb") as out:
        cpu = _cpu_seconds()
        start = time.perf_counter()
        subprocess.run(["bcftools", "query", "-i", 'GT="alt"', "-f",
                        "[%SAMPLE\t%CHROM\t%POS\t%ID\t%REF\t%ALT\n]", vcf],
                       stdout=out, check=True)
        seconds = time.perf_counter() - start
        cpu = _cpu_seconds() - cpu
    with open(printed, "rb") as lines:
        count = sum(1 for _ in lines)
    os.unlink(printed)
    return seconds, cpu, count


def _time_pysam_loop(vcf, output):
    """The rows of every carrying sample and allele, from a loop over pysam's records."""
    import pysam

    start = time.perf_counter()
    rows = 0
    with pysam.VariantFile(vcf) as records, open(output, "w") as out:
        samples = list(records.header.samples)
        for record in records:
            for index, alt in enumerate(record.alts or (), start=1):
                for name in samples:
                    if index in (record.samples[name]["GT"] or ()):
                        out.write(f"{name}\tP\t{record.id or '.'}\tGRCh38\tSNV\t"
                                  f"{record.chrom[3:]}\t{record.pos}\t{record.pos}\t"
                                  f"{record.ref}\t{alt}\n")
                        rows += 1
    return time.perf_counter() - start, rows


def table_benchmark(repetitions):
    vcf, reference = cohort_vcf()
    output = os.path.join(DATA, "cohort.tsv")
    argv = ["table", vcf, "--reference", reference, "--project", "P", "-o", output]
    _time_main(argv)  # warm the page cache
    with open(output, "rb") as table:
        rows = sum(1 for _ in table)
    ours, theirs = [], []
    for _ in range(repetitions):
        ours.append(_time_main(argv))
        seconds, cpu, printed = _time_bcftools(vcf)
        theirs.append((seconds, cpu))
    if printed != rows:
        raise SystemExit(f"bcftools printed {printed} lines, mutflank table wrote {rows} rows")
    cpu = _cpu_seconds()
    loop, loop_rows = _time_pysam_loop(vcf, output + ".pysam")
    loop_cpu = _cpu_seconds() - cpu
    os.unlink(output + ".pysam")
    if loop_rows != rows:
        raise SystemExit(f"the pysam loop wrote {loop_rows} rows, mutflank table {rows}")
    table, table_cpu = (statistics.median(values) for values in zip(*ours))
    query, query_cpu = (statistics.median(values) for values in zip(*theirs))
    rate = rows / table
    print(f"table: {SAMPLES}-sample bgzip VCF, {SNVS:,} SNVs, {rows:,} rows, --reference "
          f"(every chromosome renamed); median of {repetitions}; CPU = user + system time of "
          "the process and its children")
    print("                   wall s     rows/s     CPU s   rows/CPU s")
    for name, seconds, cpu, note in (
            ("mutflank table", table, table_cpu, "in-process main()"),
            ("bcftools query", query, query_cpu, "GT=\"alt\", one line per carrier"),
            ("pysam loop", loop, loop_cpu, "one repetition")):
        print(f"  {name:<15}{seconds:7.3f} {rows / seconds:11,.0f} {cpu:8.3f} {rows / cpu:11,.0f}"
              f"   ({note})")
    print(f"  mutflank table / bcftools query: wall x{table / query:.2f}, CPU "
          f"x{table_cpu / query_cpu:.2f}; pysam loop / mutflank table: wall x{loop / table:.1f}")
    verdict = "ok" if rate >= TARGET_TABLE_ROWS_PER_SECOND else "MISSED"
    print(f"  target: {rate:,.0f} rows/s >= {TARGET_TABLE_ROWS_PER_SECOND:,}: {verdict} "
          f"({rows / table_cpu:,.0f} rows per CPU second)")
    return {"table_rows_per_second": round(rate)}


# ---- memory --------------------------------------------------------------------------------

MEMORY_PROBE = r"""
import contextlib, io, json, resource, sys
from mutflank_tools.cli import main
with contextlib.redirect_stderr(io.StringIO()) as errors:
    status = main(sys.argv[1:])
print(json.dumps({"status": status, "errors": errors.getvalue(),
                  "self": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                  "children": resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024}))
"""


def _peak(argv):
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, *argv], capture_output=True,
                          text=True, check=True)
    seconds = time.perf_counter() - start
    report = json.loads(done.stdout)
    if report["status"] != 0:
        raise SystemExit(f"mutflank {' '.join(argv)} failed: {report['errors']}")
    return seconds, report["self"], report["children"]


def _baseline():
    """Peak memory of a process that only imports the command (--version)."""
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE.replace(
        "status = main(sys.argv[1:])", "status = 0; import mutflank, mutflank_tools.inputs.open")],
        capture_output=True, text=True, check=True)
    return json.loads(done.stdout)["self"]


def memory_benchmark():
    mib = 1 << 20
    base = _baseline()
    vcf = wide_vcf()
    output = os.path.join(DATA, "wide.tsv")
    seconds, own, bcftools = _peak(["table", vcf, "--build", "38", "-o", output])
    figures = {"table_wide_peak_mb": round(own / mib)}
    with open(output, "rb") as table:
        rows = sum(1 for _ in table)
    print(f"memory: mutflank table, VCF of {WIDE_SAMPLES:,} samples x {WIDE_RECORDS:,} records "
          f"({os.path.getsize(vcf) / mib:.1f} MB bgzip), {rows:,} rows, {seconds:.1f} s:")
    print(f"  peak RSS {own / mib:.0f} MB (an interpreter that only imports it: "
          f"{base / mib:.0f} MB); bcftools {bcftools / mib:.0f} MB")
    fasta = long_line_fasta()
    outdir = os.path.join(DATA, "long_line_reference")
    if os.path.isdir(outdir):
        import shutil

        shutil.rmtree(outdir)
    seconds, own, _ = _peak(["reference", fasta, outdir, "--build", "38"])
    print(f"memory: mutflank reference, FASTA of one {LONG_LINE / mib:.0f} MiB line, "
          f"{seconds:.1f} s: peak RSS {own / mib:.0f} MB")
    figures["reference_long_line_peak_mb"] = round(own / mib)
    return figures


# ---- against an older checkout, and many small inputs --------------------------------------

SMALL_INPUTS = 1000
SMALL_SNVS = 300


def _run_timed(argv, pythonpath=None):
    """(wall seconds, CPU seconds) of `mutflank argv` in a fresh interpreter (start included),
    with PYTHONPATH=pythonpath when given (an older checkout's src folder)."""
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    cpu = _cpu_seconds()
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "mutflank_tools", *argv], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start, _cpu_seconds() - cpu


def versus_old(old, repetitions):
    """`table` on the 20-sample VCF by this checkout and by `old`, alternating; medians."""
    vcf, _ = cohort_vcf()
    output = os.path.join(DATA, "cohort.old.tsv")
    argv = ["table", vcf, "--build", "38", "-o", output]
    times = {"this": [], "old": []}
    for _ in range(repetitions):
        times["old"].append(_run_timed(argv, old))
        times["this"].append(_run_timed(argv))
    os.unlink(output)
    (this, this_cpu), (then, then_cpu) = (
        [statistics.median(values) for values in zip(*times[key])] for key in ("this", "old"))
    print(f"table vs {old}: the {SAMPLES}-sample VCF, fresh interpreters, alternating, median of "
          f"{repetitions}")
    print(f"  this checkout {this:6.3f} s wall {this_cpu:6.3f} s CPU")
    print(f"  older         {then:6.3f} s wall {then_cpu:6.3f} s CPU (with its bcftools)")
    print(f"  this / older: wall x{this / then:.2f}, CPU x{this_cpu / then_cpu:.2f} "
          f"(target: wall <= 1: {'ok' if this <= then else 'MISSED'})")
    return {"table_vs_old_wall": round(this / then, 3)}


def small_vcfs():
    """SMALL_INPUTS single-sample VCFs of SMALL_SNVS SNVs each (made once)."""
    folder = os.path.join(DATA, "small")
    names = [os.path.join(folder, f"donor{i:04d}.vcf") for i in range(SMALL_INPUTS)]
    if os.path.exists(names[-1]):
        return names
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(300)
    for name in names:
        lines = [_vcf_header(["TUMOUR"], {"chr1": 5_000_000}).rstrip("\n")]
        for pos in sorted(rng.sample(range(1, 5_000_000), SMALL_SNVS)):
            ref = rng.choice("ACGT")
            alt = rng.choice([base for base in "ACGT" if base != ref])
            lines.append(f"chr1\t{pos}\t.\t{ref}\t{alt}\t50\tPASS\t.\tGT\t0/1")
        with open(name + ".part", "w") as out:
            out.write("\n".join(lines) + "\n")
        os.replace(name + ".part", name)
    return names


def small_inputs(old):
    """Inputs a second of the readers alone and of `table` over all of them, in one process."""
    from mutflank_tools.inputs.open import open_input, read

    names = small_vcfs()
    start = time.perf_counter()
    count = 0
    for name in names:
        with open_input(name) as source:
            count += sum(len(batch) for batch in read(source))
    readers_alone = time.perf_counter() - start
    output = os.path.join(DATA, "small.tsv")
    table, _ = _time_main(["table", *names, "--build", "38", "-o", output])
    print(f"small inputs: {len(names):,} single-sample VCFs of {SMALL_SNVS} SNVs "
          f"({count:,} records), one process")
    print(f"  readers alone   {readers_alone:6.3f} s  {len(names) / readers_alone:8,.0f} inputs/s")
    print(f"  mutflank table  {table:6.3f} s  {len(names) / table:8,.0f} inputs/s "
          f"(target: >= 500 inputs/s: {'ok' if len(names) / table >= 500 else 'MISSED'})")
    if old:
        then, _ = _run_timed(["table", *names, "--build", "38", "-o", output], old)
        print(f"  older table     {then:6.3f} s  {len(names) / then:8,.0f} inputs/s (fresh "
              "interpreter, a bcftools per input)")
    os.unlink(output)
    return {"small_inputs_per_second": round(len(names) / table)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--parts", default="table,small,memory",
                        help="comma-separated parts to run (default: table,small,memory)")
    parser.add_argument("--old", metavar="SRC",
                        help="an older checkout's src folder: table timed against it too")
    args = parser.parse_args()
    os.makedirs(DATA, exist_ok=True)
    parts = args.parts.split(",")
    if "table" in parts:
        table_benchmark(args.repetitions)
        if args.old:
            versus_old(args.old, args.repetitions)
    if "small" in parts:
        small_inputs(args.old)
    if "memory" in parts:
        memory_benchmark()


if __name__ == "__main__":
    main()
