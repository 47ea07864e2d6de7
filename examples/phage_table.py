"""From a FASTA genome and a VCF to mutation contexts, through the `mutflank` command's package.

Builds the reference folder of the lambda phage genome (Debian's bowtie2-examples), writes a
VCF of 300 random substitutions in two samples, one of them a "mutator" that mostly turns C
into T, converts it to the ten-column table with `mutflank table`, and reads the table with
the module: each row key is the table's sample and project, `sample::project`.

    python3 examples/phage_table.py
"""

import collections
import pathlib
import random
import tempfile

import mutflank
from mutflank_tools.cli import main

LAMBDA = "/usr/share/doc/bowtie2/examples/reference/lambda_virus.fa.gz"
CHROMOSOME = "gi|9626243|ref|NC_001416.1|"


def write_vcf(path, genome):
    rng = random.Random(7)
    lines = ["##fileformat=VCFv4.2",
             f"##contig=<ID={CHROMOSOME},length={len(genome)}>",
             '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
             "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tmutator\twild_type"]
    for pos in sorted(rng.sample(range(2, len(genome)), 300)):
        ref = "ACGT"[genome[pos - 1]]
        mutator = rng.random() < 0.6
        if mutator and ref in "CG" and rng.random() < 0.8:
            alt = {"C": "T", "G": "A"}[ref]
        else:
            alt = rng.choice([base for base in "ACGT" if base != ref])
        genotypes = "0/1\t0/0" if mutator else "0/0\t0/1"
        lines.append(f"{CHROMOSOME}\t{pos}\t.\t{ref}\t{alt}\t.\tPASS\t.\tGT\t{genotypes}")
    path.write_text("\n".join(lines) + "\n")


def run():
    with tempfile.TemporaryDirectory(prefix="mutflank-phage-") as folder:
        folder = pathlib.Path(folder)
        reference, vcf, table = folder / "ref", folder / "phage.vcf", folder / "phage.tsv"
        assert main(["reference", LAMBDA, str(reference), "--build", "GRCh38"]) == 0
        write_vcf(vcf, (reference / "GRCh38" / f"{CHROMOSOME}.txt").read_bytes())
        assert main(["table", str(vcf), "--reference", str(reference), "--project", "demo",
                     "-o", str(table)]) == 0
        print("the table's first row:")
        print("  " + table.read_text().splitlines()[0])
        rows = mutflank.parse_vcf_files([str(table)], str(reference), 3)

    print("the module's first rows (row key, context):")
    for key, context in rows[:3]:
        print(f"  {key:<16} {context}")
    classes = collections.Counter((key, context[2:5]) for key, context in rows)
    print("substitution classes by sample:")
    for sample in sorted({key for key, _ in rows}):
        counts = "  ".join(f"{name} {classes[(sample, name)]:3d}"
                           for name in ("C>A", "C>G", "C>T", "T>A", "T>C", "T>G"))
        print(f"  {sample:<16} {counts}")


if __name__ == "__main__":
    run()
