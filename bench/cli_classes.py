#!/usr/bin/python3
"""Benchmarks of the doublet, indel and strand classes (run by `make bench-cli`).

    cli_classes.py [--repetitions R] [--quick] [--parts matrix,annotation]

matrix: `mutflank matrix --types SBS96,DBS78,ID83` against `--types SBS96` alone, on one
bgzip VCF of 20 samples holding 200,000 SNVs, 20,000 doublets (half of them as two adjacent
SNVs, merged by the command, half as one two-base record) and 30,000 indels (a third of them
in homopolymers or tandem repeats); target: at most 1.5 times.

annotation: `mutflank reference --annotation` against `mutflank reference` alone, on a 100 MB
FASTA (gzip) and a GTF (gzip) of 100,000 transcripts in 25,000 genes, each transcript with
its exons, as an annotation from the field is laid out; target: at most 1.5 times.

Each pair is run R times in alternating order, in fresh processes; medians. Data is generated
with a fixed seed into bench/.data/classes, once. --quick: a tenth of everything.
"""

import argparse
import gzip
import os
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, ".data", "classes")
COMMAND = os.path.join(os.path.dirname(sys.executable), "mutflank")
SAMPLES = 20
TARGET = 1.5


def sizes(quick):
    scale = 10 if quick else 1
    return dict(snvs=200_000 // scale, doublets=20_000 // scale, indels=30_000 // scale,
                genome=100_000_000 // scale, transcripts=100_000 // scale)


def _random_genome(rng, length):
    bases = rng.integers(0, 4, length, dtype=np.uint8)
    # homopolymers and tandem repeats here and there, as in a real genome
    for start in rng.integers(0, length - 40, length // 2000):
        unit = bases[start:start + rng.integers(1, 5)]
        copies = rng.integers(3, 10)
        stretch = np.tile(unit, copies)[:length - start]
        bases[start:start + len(stretch)] = stretch
    return bases


def cohort(quick):
    """(reference folder, VCF) of the matrix benchmark."""
    n = sizes(quick)
    folder = os.path.join(DATA, "quick" if quick else "full")
    reference, vcf = os.path.join(folder, "ref"), os.path.join(folder, "cohort.vcf.gz")
    if os.path.exists(vcf):
        return reference, vcf
    os.makedirs(os.path.join(reference, "GRCh38"), exist_ok=True)
    rng = np.random.default_rng(3)
    chromosomes = {"chr1": 5_000_000, "chr2": 4_000_000, "chrX": 3_000_000}
    genome = {}
    for name, length in chromosomes.items():
        genome[name] = _random_genome(rng, length)
        genome[name].tofile(os.path.join(reference, "GRCh38", f"{name}.txt"))
    letters = np.frombuffer(b"ACGT", dtype=np.uint8)
    records = []  # (chromosome, position, REF, ALT, carriers)
    names = list(chromosomes)

    def place():
        name = names[rng.integers(0, len(names))]
        return name, int(rng.integers(50, chromosomes[name] - 50))

    def text(name, start, length):
        return letters[genome[name][start - 1:start - 1 + length]].tobytes().decode()

    def other(base):
        return "ACGT"[("ACGT".index(base) + int(rng.integers(1, 4))) % 4]

    def carriers():
        return rng.choice(SAMPLES, int(rng.integers(1, 4)), replace=False).tolist()

    for _ in range(n["snvs"]):
        name, pos = place()
        ref = text(name, pos, 1)
        records.append((name, pos, ref, other(ref), carriers()))
    for i in range(n["doublets"]):
        name, pos = place()
        ref = text(name, pos, 2)
        alt = other(ref[0]) + other(ref[1])
        who = carriers()
        if i % 2:
            records.append((name, pos, ref, alt, who))
        else:
            records += [(name, pos, ref[0], alt[0], who), (name, pos + 1, ref[1], alt[1], who)]
    for _ in range(n["indels"]):
        name, pos = place()
        length = int(rng.choice([1, 1, 1, 2, 3, 4, 6]))
        anchor = text(name, pos, 1)
        if rng.random() < 0.5:
            records.append((name, pos, text(name, pos, length + 1), anchor, carriers()))
        else:
            inserted = "".join(rng.choice(list("ACGT"), length))
            records.append((name, pos, anchor, anchor + inserted, carriers()))
    records.sort(key=lambda r: (names.index(r[0]), r[1]))
    header = ["##fileformat=VCFv4.2"] + [f"##contig=<ID={name},length={length}>"
                                         for name, length in chromosomes.items()]
    header.append("\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO",
                             "FORMAT"] + [f"S{i}" for i in range(SAMPLES)]))
    plain = vcf[:-3]
    with open(plain, "w") as out:
        out.write("\n".join(header) + "\n")
        for name, pos, ref, alt, who in records:
            genotypes = ["0/0"] * SAMPLES
            for i in who:
                genotypes[i] = "0/1"
            out.write(f"{name}\t{pos}\t.\t{ref}\t{alt}\t50\tPASS\t.\tGT\t"
                      + "\t".join(genotypes) + "\n")
    import pysam

    pysam.tabix_compress(plain, vcf, force=True)
    os.unlink(plain)
    return reference, vcf


def genome_and_genes(quick):
    """(FASTA, GTF) of the annotation benchmark."""
    n = sizes(quick)
    folder = os.path.join(DATA, "quick" if quick else "full")
    fasta, gtf = os.path.join(folder, "genome.fa.gz"), os.path.join(folder, "genes.gtf.gz")
    if os.path.exists(gtf):
        return fasta, gtf
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(5)
    chromosomes = {f"chr{i}": n["genome"] // 10 for i in range(1, 11)}
    with gzip.open(fasta + ".part", "wb", compresslevel=6) as out:
        for name, length in chromosomes.items():
            out.write(f">{name}\n".encode())
            bases = np.frombuffer(b"ACGTacgtNA", dtype=np.uint8)[
                rng.choice(10, length, p=[.24, .24, .24, .24, .01, .01, .01, .005, .004, .001])]
            lines = bases[:length - length % 60].reshape(-1, 60)
            lines = np.hstack([lines, np.full((len(lines), 1), 10, dtype=np.uint8)])
            out.write(lines.tobytes())
            out.write(bases[length - length % 60:].tobytes() + b"\n")
    os.replace(fasta + ".part", fasta)
    genes = n["transcripts"] // 4
    gene_names = list(chromosomes)
    lines = []
    for g in range(genes):
        name = gene_names[g % len(gene_names)]
        start = int(rng.integers(1, chromosomes[name] - 200_000))
        end = start + int(rng.integers(2_000, 150_000))
        strand = "+-"[int(rng.integers(0, 2))]
        gene_id = f'gene_id "ENSG{g:011d}.1"; gene_type "protein_coding"; gene_name "G{g}"; level 2;'
        lines.append(f"{name}\tHAVANA\tgene\t{start}\t{end}\t.\t{strand}\t.\t{gene_id}")
        for t in range(4):
            t_start = start + int(rng.integers(0, 1000))
            t_end = end - int(rng.integers(0, 1000))
            ident = (f'{gene_id} transcript_id "ENST{4 * g + t:011d}.1"; '
                     f'transcript_type "protein_coding"; transcript_name "G{g}-{t}"; tag "basic";')
            lines.append(f"{name}\tHAVANA\ttranscript\t{t_start}\t{t_end}\t.\t{strand}\t.\t{ident}")
            exons = np.sort(rng.integers(t_start, t_end, 16))
            for e in range(8):
                lines.append(f"{name}\tHAVANA\texon\t{exons[2 * e]}\t{exons[2 * e + 1]}\t.\t"
                             f"{strand}\t.\t{ident} exon_number {e + 1}; exon_id \"ENSE{e}\";")
                if e % 2:
                    lines.append(f"{name}\tHAVANA\tCDS\t{exons[2 * e]}\t{exons[2 * e + 1]}\t.\t"
                                 f"{strand}\t0\t{ident} exon_number {e + 1};")
    with gzip.open(gtf + ".part", "wt", compresslevel=6) as out:
        out.write("##description: generated for the benchmark\n")
        out.write("\n".join(lines) + "\n")
    os.replace(gtf + ".part", gtf)
    return fasta, gtf


def timed(argv, scratch=None):
    if scratch is not None:
        shutil.rmtree(scratch, ignore_errors=True)
    start = time.perf_counter()
    done = subprocess.run([COMMAND, *argv], capture_output=True, text=True, check=False)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed: {done.stderr}")
    return seconds


def compare(name, alone, both, repetitions):
    """Runs the two command lines alternately; prints and returns the ratio of medians."""
    times = {"alone": [], "with": []}
    for repetition in range(repetitions):
        pairs = [("alone", alone), ("with", both)]
        for label, run in (pairs if repetition % 2 == 0 else pairs[::-1]):
            times[label].append(run())
    a, b = statistics.median(times["alone"]), statistics.median(times["with"])
    ratio = b / a
    verdict = "ok" if ratio <= TARGET else "SLOWER THAN THE TARGET"
    print(f"{name}: {a:.2f} s alone, {b:.2f} s with the new classes: {ratio:.2f}x "
          f"(target <= {TARGET}x) {verdict}")
    return ratio


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--parts", default="matrix,annotation")
    args = parser.parse_args()
    parts = args.parts.split(",")
    scratch = os.path.join(DATA, "scratch")
    os.makedirs(scratch, exist_ok=True)
    if "matrix" in parts:
        reference, vcf = cohort(args.quick)
        out = os.path.join(scratch, "m")
        compare("matrix SBS96,DBS78,ID83 vs SBS96",
                lambda: timed(["matrix", vcf, "--reference", reference, "-o", out,
                               "--types", "SBS96"]),
                lambda: timed(["matrix", vcf, "--reference", reference, "-o", out,
                               "--types", "SBS96,DBS78,ID83"]), args.repetitions)
    if "annotation" in parts:
        fasta, gtf = genome_and_genes(args.quick)
        out = os.path.join(scratch, "ref")
        compare("reference --annotation vs reference",
                lambda: timed(["reference", fasta, out, "--build", "GRCh38"], out),
                lambda: timed(["reference", fasta, out, "--build", "GRCh38", "--annotation",
                               gtf], out), args.repetitions)
        shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
