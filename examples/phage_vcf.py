"""Writes a small VCF of made-up calls on the lambda phage genome, for trying the road.

    python3 examples/phage_vcf.py REFERENCE_FOLDER OUT.vcf

REFERENCE_FOLDER is the folder `mutflank reference` wrote (its GRCh38 build holds the genome).
The VCF has 3,000 single-base substitutions in two samples: "mutator", which mostly turns C
into T (as a mismatch-repair defect or APOBEC would leave a signature), and "wild_type", whose
substitutions fall anywhere. A few doublets and small indels come along, for the DBS78 and ID83
matrices. The calls are drawn from a fixed seed: every run writes the same file.
"""

import random
import sys

CHROMOSOME = "gi|9626243|ref|NC_001416.1|"


def main(reference, output):
    genome = open(f"{reference}/GRCh38/{CHROMOSOME}.txt", "rb").read()
    bases = "".join("ACGT"[code] if code < 4 else "N" for code in genome)
    rng = random.Random(7)
    records = []
    for pos in sorted(rng.sample(range(3, len(bases) - 3), 3000)):
        ref = bases[pos - 1]
        mutator = rng.random() < 0.6
        kind = rng.random()
        if kind < 0.02:  # a doublet
            ref = bases[pos - 1:pos + 1]
            alt = "".join(rng.choice([b for b in "ACGT" if b != r]) for r in ref)
        elif kind < 0.05:  # a deletion of one base, written with the base before it
            ref, alt = bases[pos - 1:pos + 1], bases[pos - 1]
        elif mutator and ref in "CG" and rng.random() < 0.8:
            alt = {"C": "T", "G": "A"}[ref]
        else:
            alt = rng.choice([base for base in "ACGT" if base != ref])
        genotypes = "0/1\t0/0" if mutator else "0/0\t0/1"
        records.append((pos, ref, alt, genotypes))
    with open(output, "w") as vcf:
        vcf.write("##fileformat=VCFv4.2\n"
                  f"##contig=<ID={CHROMOSOME},length={len(genome)}>\n"
                  '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
                  "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tmutator\twild_type\n")
        last = 0
        for pos, ref, alt, genotypes in records:
            if pos <= last + 2:  # not beside the one before: adjacent calls merge into one
                continue
            vcf.write(f"{CHROMOSOME}\t{pos}\t.\t{ref}\t{alt}\t.\tPASS\t.\tGT\t{genotypes}\n")
            last = pos + len(ref) - 1


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2].strip())
    main(sys.argv[1], sys.argv[2])
