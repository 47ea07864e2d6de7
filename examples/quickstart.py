"""A first run of mutflank on a tiny, made-up reference and mutation table.

Writes a reference directory and a ten-column mutation table into a temporary folder,
turns the table into mutation-context strings with parse_vcf_files, and prints the rows
and how many substitutions fall into each of the six classes.
"""

import collections
import pathlib
import tempfile

import mutflank

# One byte per base in the reference files.
BASE_BYTE = {"A": 0, "C": 1, "G": 2, "T": 3, "N": 16}

# Chromosome 1 of the made-up genome, position 1 first.
CHROMOSOME_1 = "GATCCTAGCTAGGCTTACGATCGATTGCAAGCTNNACGTTAGCCATGCAGTCGATCCGAT"

# (sample, position, alternate allele); the reference allele is read from the sequence.
MUTATIONS = [
    ("S1", 4, "T"),   # C>T
    ("S1", 8, "A"),   # G>A, reported as C>T with the flanks of the other strand
    ("S1", 17, "C"),  # A>C, reported as T>G
    ("S2", 16, "G"),  # T>G
    ("S2", 22, "A"),  # C>A
    ("S2", 27, "C"),  # G>C, reported as C>G
    ("S2", 39, "C"),  # T>C
    ("S2", 45, "T"),  # A>T, reported as T>A
    ("S2", 51, "A"),  # T>A
    ("S3", 2, "G"),   # A>G at the chromosome start: one base to its left
    ("S3", 56, "T"),  # C>T
    ("S3", 57, "C"),  # C>C: no substitution, skipped
]

SUBSTITUTION_CLASSES = ["C>A", "C>G", "C>T", "T>A", "T>C", "T>G"]


def write_reference(root):
    folder = root / "GRCh37"
    folder.mkdir(parents=True)
    (folder / "1.txt").write_bytes(bytes(BASE_BYTE[base] for base in CHROMOSOME_1))


def write_table(path):
    header = "Project\tSample\tID\tGenome\tmut_type\tchrom\tpos_start\tpos_end\tref\talt"
    lines = [header]  # skipped: "Genome" is not a genome build
    for number, (sample, position, alt) in enumerate(MUTATIONS, start=1):
        ref = CHROMOSOME_1[position - 1]
        fields = ["demo", sample, f"m{number}", "GRCh37", "SNP", "1", str(position),
                  str(position), ref, alt]
        lines.append("\t".join(fields))
    # Skipped as well: not a single-base substitution.
    lines.append("\t".join(["demo", "S3", "m10", "GRCh37", "INDEL", "1", "30", "31", "AA", "A"]))
    path.write_text("\n".join(lines) + "\n")


def main():
    with tempfile.TemporaryDirectory(prefix="mutflank-quickstart-") as folder:
        root = pathlib.Path(folder) / "reference"
        table = pathlib.Path(folder) / "mutations.tsv"
        write_reference(root)
        write_table(table)
        rows = mutflank.parse_vcf_files([str(table)], str(root), 5)

    print(f"mutflank {mutflank.__version__}: {rows.shape[0]} rows, context 5")
    for key, context in rows:
        print(f"  {key:<10} {context}")

    counts = collections.Counter(context[context.index("[") + 1 : context.index("]")]
                                 for _, context in rows)
    print("substitution classes:")
    for name in SUBSTITUTION_CLASSES:
        print(f"  {name}  {counts[name]}")


if __name__ == "__main__":
    main()
