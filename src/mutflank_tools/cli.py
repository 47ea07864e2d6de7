"""The `mutflank` command: one verb per step of the road from a user's files to signature
matrices. `main(argv)` parses the options and runs the verb's `run(args)`; every input fault
ends as one line `mutflank <verb>: error: <message>` on standard error."""

import argparse
import importlib
import os
import sys

from .errors import InputError, UsageError
from .reference_folder import canonical_build

EXAMPLES = {
    "reference": "example:\n  mutflank reference hg38.fa.gz reference --build GRCh38",
    "table": "example:\n  mutflank table tumour.vcf.gz -o tumour.tsv --project PCAWG"
    " --reference reference",
    "matrix": "example:\n  mutflank matrix tumour.vcf.gz cohort.maf tables/*.tsv"
    " --reference reference -o cohort",
    "plot": "example:\n  mutflank plot cohort.SBS96.tsv -o cohort.SBS96.png --samples S1,S2",
}
MATRIX_TYPES = ("SBS6", "SBS96", "SBS1536")


class Parser(argparse.ArgumentParser):
    """argparse with usage errors on one line: `<prog>: error: <message>`, exit status 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}\n")


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return value


def _matrix_types(text):
    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in MATRIX_TYPES]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown matrix type {', '.join(unknown) or repr(text)}: choose from "
            + ",".join(MATRIX_TYPES)
        )
    return [name for name in MATRIX_TYPES if name in names]


def _build(text):
    build = canonical_build(text)
    if build is None:
        raise argparse.ArgumentTypeError(
            f"unknown build {text!r}: use GRCh37 or GRCh38 (hg19, 37, hg38, 38)"
        )
    return build


def _names(text):
    return [name for name in text.split(",") if name]


def build_parser():
    from mutflank import __version__

    parser = Parser(
        prog="mutflank",
        description="From FASTA, VCF/BCF and MAF files to mutation-context tables and "
        "mutational-signature matrices (SBS6, SBS96, SBS1536).",
    )
    parser.add_argument("--version", action="version", version=f"mutflank {__version__}")
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", parser_class=Parser)
    verbs.required = True

    def verb(name, summary):
        return verbs.add_parser(
            name,
            help=summary,
            description=summary,
            epilog=EXAMPLES[name],
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )

    reference = verb("reference", "build a reference folder (one byte per base) from a FASTA file")
    reference.add_argument("fasta", metavar="FASTA", help="FASTA file, plain or gzip/bgzip")
    reference.add_argument("outdir", metavar="OUTDIR", help="reference folder to write")
    reference.add_argument("--build", required=True, type=_build, help="GRCh37 or GRCh38 (hg19, 37, hg38, 38)")

    table = verb("table", "write the ten-column mutation table of VCF/BCF or MAF files")
    table.add_argument("inputs", nargs="+", metavar="INPUT", help="VCF, BCF or MAF file")
    table.add_argument("-o", "--output", default="-", metavar="TABLE",
                       help="table to write (default: standard output)")
    table.add_argument("--build", type=_build, help="GRCh37 or GRCh38 (hg19, 37, hg38, 38)")
    table.add_argument("--project", help="second part of every row key")
    table.add_argument("--reference", metavar="DIR",
                       help="match chromosome names to this reference folder's files")
    table.add_argument("--sample", metavar="NAME",
                       help="the VCF sample column to take (default: every sample)")
    table.add_argument("--pass-only", action="store_true",
                       help="keep only records whose FILTER is PASS or '.'")

    matrix = verb("matrix", "count substitutions by context into SBS6/SBS96/SBS1536 matrices")
    matrix.add_argument("inputs", nargs="*", metavar="INPUT",
                        help="mutation table, VCF/BCF or MAF file")
    matrix.add_argument("--reference", required=True, metavar="DIR", help="reference folder")
    matrix.add_argument("-o", "--output", required=True, metavar="PREFIX",
                        help="writes PREFIX.<type>.tsv for every type")
    matrix.add_argument("--types", type=_matrix_types, default=list(MATRIX_TYPES),
                        help="comma-separated, from SBS6,SBS96,SBS1536 (default: all)")
    matrix.add_argument("--proportions", action="store_true",
                        help="divide each sample's counts by its total")
    matrix.add_argument("--build", type=_build, help="GRCh37 or GRCh38 for VCF inputs")
    matrix.add_argument("--table-list", metavar="FILE",
                        help="a file naming one input per line, added to INPUT")
    matrix.add_argument("--pass-only", action="store_true",
                        help="VCF inputs: keep only records whose FILTER is PASS or '.'")
    matrix.add_argument("--allow-ref-mismatch", action="store_true",
                        help="go on when many REF alleles differ from the reference")
    where = matrix.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_positive, metavar="N",
                       help="run on a local Dask cluster of N processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on an existing Dask cluster")

    plot = verb("plot", "draw a matrix written by `mutflank matrix` as a PNG")
    plot.add_argument("matrix", metavar="MATRIX.tsv")
    plot.add_argument("-o", "--output", required=True, metavar="OUT.png")
    plot.add_argument("--samples", type=_names, metavar="S1,S2,...",
                      help="the samples to draw (default: see --help)")
    return parser


def main(argv=None):
    """Runs the command; returns its exit status (0 success, 1 input error, 2 usage)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    prog = f"mutflank {args.verb}"
    try:
        importlib.import_module(f"{__package__}.{args.verb}").run(args)
        sys.stdout.flush()
    except InputError as error:
        return _fail(prog, error, 1)
    except UsageError as error:
        return _fail(prog, error, 2)
    except BrokenPipeError:
        # The reader went away (`| head`): say nothing, and keep Python's own flush at exit
        # from failing again on the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return _fail(prog, "interrupted", 130)
    except OSError as error:
        # A file the verb opened itself and could not use; the verbs name their files.
        where = f"{error.filename}: " if error.filename else ""
        return _fail(prog, f"{where}{error.strerror or error}", 1)
    return 0


def _fail(prog, message, status):
    print(f"{prog}: error: {message}", file=sys.stderr)
    return status


def entry_point():
    """The console script `mutflank`."""
    sys.exit(main())
