#!/usr/bin/python3
"""Convert VCF files into mutflank's ten-column mutation table.

    vcf_to_table.py VCF... --build GRCh37|GRCh38 --project P [-o TABLE]

One output line per alternate allele and sample, ten tab-separated columns:

    0 sample   1 project   2 VCF ID   3 build   4 type   5 chromosome
    6 position (1-based)   7 end position   8 reference allele   9 alternate allele

Type is "SNP" for a single-base substitution, "DBS" for two adjacent substituted bases,
"MNV" for more, "INDEL" when the alleles differ in length, "SV" for symbolic and breakend
alleles and "OTHER" for substitutions involving bases other than A, C, G, T; mutflank
reads only the SNP lines. Equal-length alleles are trimmed of their common leading and
trailing bases first (REF ATG, ALT ACG at 100 is the SNP T>C at 101). Multi-allelic
records give one line per alternate allele; '*' (an allele removed by an upstream
deletion) is not a variant and gives none.

The sample: with --sample-from-file, the file name (without .vcf/.vcf.gz/.bcf); with
--sample NAME, that sample column, for every record; otherwise a VCF without sample
columns is named after its file, a VCF with one sample column gives every record to that
sample, and a VCF with several gives each alternate allele to the samples whose genotype
(GT) carries it.
"""

import argparse
import contextlib
import gzip
import os
import shutil
import sys
import tempfile

import pysam

BUILDS = ("GRCh37", "GRCh38")
BASES = frozenset("ACGT")
SUFFIXES = (".gz", ".bgz")
FORMATS = (".vcf", ".bcf")


class VcfError(Exception):
    """A VCF that cannot be converted; the message names the file."""


def sample_from_path(path):
    """The file name without its directory and its .vcf/.bcf (and .gz/.bgz) suffix."""
    name = os.path.basename(path)
    for suffixes in (SUFFIXES, FORMATS):
        for suffix in suffixes:
            if name.endswith(suffix) and len(name) > len(suffix):
                name = name[: -len(suffix)]
                break
    return name


def classify(pos, ref, alt):
    """(type, position, ref, alt) of one alternate allele, or None when it is no variant."""
    ref, alt = ref.upper(), alt.upper()
    if alt in ("*", ".", ""):
        return None
    if alt.startswith("<") or "[" in alt or "]" in alt:
        return "SV", pos, ref, alt
    if len(ref) != len(alt):
        return "INDEL", pos, ref, alt
    start, end = 0, len(ref)
    while start < end and ref[start] == alt[start]:
        start += 1
    while end > start and ref[end - 1] == alt[end - 1]:
        end -= 1
    if start == end:  # the alternate equals the reference
        return None
    ref, alt, pos = ref[start:end], alt[start:end], pos + start
    if not (BASES.issuperset(ref) and BASES.issuperset(alt)):
        return "OTHER", pos, ref, alt
    return {1: "SNP", 2: "DBS"}.get(len(ref), "MNV"), pos, ref, alt


def carriers(record, samples, index):
    """The samples whose genotype holds allele number index."""
    if "GT" not in record.format:
        return []
    return [name for name in samples if index in (record.samples[name]["GT"] or ())]


@contextlib.contextmanager
def open_vcf(path):
    """pysam.VariantFile over path; a plain (non-BGZF) gzip file is unpacked to a temporary
    file first, as htslib reads only BGZF-compressed VCF."""
    try:
        with open(path, "rb") as raw:
            head = raw.read(18)
    except OSError as error:
        raise VcfError(f"{path}: {error.strerror}") from None
    plain_gzip = head[:2] == b"\x1f\x8b" and not (head[3] & 4 and head[12:14] == b"BC")
    with contextlib.ExitStack() as stack:
        target = path
        if plain_gzip:
            folder = stack.enter_context(tempfile.TemporaryDirectory(prefix="vcf_to_table."))
            target = os.path.join(folder, "unpacked.vcf")
            try:
                with gzip.open(path, "rb") as packed, open(target, "wb") as unpacked:
                    shutil.copyfileobj(packed, unpacked, 1 << 20)
            except (OSError, EOFError) as error:
                raise VcfError(f"{path}: cannot decompress: {error}") from None
        try:
            vcf = stack.enter_context(pysam.VariantFile(target))
        except (OSError, ValueError):
            raise VcfError(f"{path}: not a readable VCF/BCF file") from None
        yield vcf


def table_rows(path, build, project, sample=None, sample_from_file=False):
    """Yields the ten-column rows (lists of texts) of one VCF file, in file order."""
    with open_vcf(path) as vcf:
        columns = list(vcf.header.samples)
        if sample is not None and sample not in columns:
            raise VcfError(f"{path}: no sample column {sample!r} (columns: {', '.join(columns) or 'none'})")
        if sample_from_file or not columns:
            fixed = [sample_from_path(path)]
        elif sample is not None:
            fixed = [sample]
        elif len(columns) == 1:
            fixed = columns
        else:
            fixed = None  # decided by each record's genotypes
        where = "the header"
        records = iter(vcf)
        while True:
            try:
                record = next(records)
            except StopIteration:
                return
            except (OSError, ValueError) as error:
                raise VcfError(f"{path}: cannot read the record after {where} ({error})") from None
            where = f"{record.chrom}:{record.pos}"
            for index, alt in enumerate(record.alts or (), start=1):
                variant = classify(record.pos, record.ref, alt)
                if variant is None:
                    continue
                kind, pos, ref, alt_bases = variant
                names = fixed if fixed is not None else carriers(record, columns, index)
                for name in names:
                    yield [name, project, record.id or ".", build, kind, record.chrom,
                           str(pos), str(pos + len(ref) - 1), ref, alt_bases]


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Convert VCF files (plain, gzip/bgzip or BCF) into a mutflank mutation table.")
    parser.add_argument("vcf", nargs="+", help="VCF files")
    parser.add_argument("--build", required=True, choices=BUILDS, help="genome build column")
    parser.add_argument("--project", required=True, help="second column (second part of the row key)")
    parser.add_argument("-o", "--output", default="-", help="table to write (default: standard output)")
    naming = parser.add_mutually_exclusive_group()
    naming.add_argument("--sample", metavar="NAME",
                        help="take every record for this sample column, whatever its genotype")
    naming.add_argument("--sample-from-file", action="store_true",
                        help="name the sample after the file, ignoring sample columns")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary on standard error")
    args = parser.parse_args(argv)
    if any(c in args.project for c in "\t\r\n"):
        parser.error("--project may not hold a tab or a line break")

    pysam.set_verbosity(1)  # htslib's errors, not its warnings about undeclared contigs
    counts = {}
    output = sys.stdout if args.output == "-" else None
    try:
        with contextlib.ExitStack() as stack:
            if output is None:
                output = stack.enter_context(open(args.output, "w", encoding="utf-8", newline="\n"))
            for path in args.vcf:
                for row in table_rows(path, args.build, args.project, args.sample, args.sample_from_file):
                    output.write("\t".join(row) + "\n")
                    counts[row[4]] = counts.get(row[4], 0) + 1
    except (VcfError, OSError) as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        if args.output != "-":  # no half-written table is left behind
            with contextlib.suppress(OSError):
                os.unlink(args.output)
        return 1
    if not args.quiet:
        summary = ", ".join(f"{kind} {n}" for kind, n in sorted(counts.items())) or "no variants"
        print(f"{parser.prog}: {sum(counts.values())} rows ({summary})", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
