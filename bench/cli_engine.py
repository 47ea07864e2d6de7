#!/usr/bin/python3
"""CPU seconds of the command's road against the floors of its input, in one run:

    cli_engine.py [--repetitions R] [--old SRC]

On a bgzip VCF of 20 samples and 1,060,000 records (1,000,000 SNVs, 5,000 doublets written as
two adjacent SNVs, 50,000 indels; 1 to 5 carriers each) over a 50 Mb random genome: `zcat`,
`bcftools query -f '%CHROM\\t%POS\\t%REF\\t%ALT[\\t%GT]\\n'`, `mutflank matrix --types SBS96`,
`mutflank matrix` (every default kind) and `mutflank table --build GRCh38`, each as its own
process, to /dev/null or a scratch folder. CPU is the user and system time of the process and
its children (getrusage), the median of R runs; with --old SRC (the src folder of an older
checkout) the command is also timed with that package, alternating with the installed one.

Goals: matrix --types SBS96 at most 3x zcat and 0.6x bcftools query; every kind at most 1.3x
SBS96; table at most 0.8x bcftools query.

Data is generated once, with a fixed seed, into bench/.data/engine. Run it with the interpreter
that has mutflank installed (.venv/bin/python).
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DATA = HERE / ".data" / "engine"
SAMPLES = 20
CHROMOSOMES = {str(n): 10_000_000 for n in range(1, 6)}
SNVS, DOUBLETS, INDELS = 1_000_000, 5_000, 50_000
BASES = np.frombuffer(b"ACGT", dtype=np.uint8)


def generate():
    """(reference folder, VCF path), written once."""
    reference, vcf = DATA / "reference", DATA / "big.vcf.gz"
    if vcf.exists():
        return reference, vcf
    rng = np.random.default_rng(22)
    folder = reference / "GRCh38"
    folder.mkdir(parents=True, exist_ok=True)
    genome = {}
    for name, length in CHROMOSOMES.items():
        codes = rng.integers(0, 4, length, dtype=np.uint8)
        (folder / f"{name}.txt").write_bytes(codes.tobytes())
        genome[name] = codes
    total = SNVS + DOUBLETS + INDELS
    names = list(CHROMOSOMES)
    kind = np.repeat(np.array([0, 1, 2]), [SNVS, DOUBLETS, INDELS])
    chrom = rng.integers(0, len(names), total)
    pos = rng.integers(10, 10_000_000 - 10, total)
    order = np.lexsort((pos, chrom))
    kind, chrom, pos = kind[order], chrom[order], pos[order]
    samples = [f"S{i:02d}" for i in range(SAMPLES)]
    lines = ["##fileformat=VCFv4.2"]
    lines += [f"##contig=<ID={n},length={length}>" for n, length in CHROMOSOMES.items()]
    lines.append('##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">')
    lines.append("\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO",
                            "FORMAT", *samples]))
    carriers = rng.integers(1, 6, total)
    shift = rng.integers(1, 4, (total, 2))
    extra = rng.integers(0, 4, (total, 3))
    for i in range(total):
        codes = genome[names[chrom[i]]]
        p = int(pos[i])
        records = []
        if kind[i] < 2:  # an SNV, or a doublet as two adjacent SNVs
            for k in range(kind[i] + 1):
                records.append((p + k, chr(BASES[codes[p - 1 + k]]),
                                chr(BASES[(codes[p - 1 + k] + shift[i, k]) % 4])))
        else:
            size = int(shift[i, 0])
            if i % 2:
                ref = bytes(BASES[codes[p - 1:p + size]]).decode()
                alt = ref[0]
            else:
                ref = chr(BASES[codes[p - 1]])
                alt = ref + bytes(BASES[extra[i, :size]]).decode()
            records.append((p, ref, alt))
        genotypes = ["0/0"] * SAMPLES
        for s in rng.choice(SAMPLES, carriers[i], replace=False):
            genotypes[s] = "0/1"
        calls = "\t".join(genotypes)
        for at, ref, alt in records:
            lines.append(f"{names[chrom[i]]}\t{at}\t.\t{ref}\t{alt}\t.\tPASS\t.\tGT\t{calls}")
    plain = DATA / "big.vcf"
    plain.write_text("\n".join(lines) + "\n")
    import pysam

    pysam.tabix_compress(str(plain), str(vcf), force=True)
    plain.unlink()
    return reference, vcf


def cpu(argv, env=None, stdout=subprocess.DEVNULL):
    """CPU seconds (user + system) of one process and its children."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run(argv, env=env, stdout=stdout, stderr=subprocess.PIPE, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(map(str, argv))} failed: {done.stderr}")
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--old", help="src folder of an older checkout to compare with")
    args = parser.parse_args()
    reference, vcf = generate()
    scratch = Path(tempfile.mkdtemp(prefix="mutflank-bench-"))
    fields = "%CHROM\t%POS\t%REF\t%ALT[\t%GT]\n"
    command = [sys.executable, "-m", "mutflank_tools"]
    runs = {
        "zcat": (["zcat", vcf], None),
        "bcftools query": (["bcftools", "query", "-f", fields, vcf], None),
    }
    versions = {"": None}
    if args.old:
        old_env = dict(os.environ, PYTHONPATH=str(Path(args.old).resolve()))
        versions["(old) "] = old_env
    for label, env in versions.items():
        runs[f"{label}matrix --types SBS96"] = (
            [*command, "matrix", vcf, "--reference", reference, "--types", "SBS96", "-o",
             scratch / "m"], env)
        runs[f"{label}matrix (every kind)"] = (
            [*command, "matrix", vcf, "--reference", reference, "-o", scratch / "m"], env)
        runs[f"{label}table --build GRCh38"] = (
            [*command, "table", vcf, "--build", "GRCh38", "-o", scratch / "t.tsv"], env)
    times = {name: [] for name in runs}
    try:
        for _ in range(args.repetitions):
            for name, (argv, env) in runs.items():
                times[name].append(cpu([str(a) for a in argv], env))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    zcat = statistics.median(times["zcat"])
    query = statistics.median(times["bcftools query"])
    print(f"{vcf.name}: {vcf.stat().st_size / 1e6:.1f} MB, CPU seconds, medians of "
          f"{args.repetitions}")
    print(f"| run | CPU | x zcat | x bcftools query |\n|---|---|---|---|")
    for name, values in times.items():
        median = statistics.median(values)
        print(f"| {name} | {median:.2f} s | {median / zcat:.1f} | {median / query:.2f} |")


if __name__ == "__main__":
    main()
