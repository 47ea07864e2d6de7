"""`mutflank table`: VCF/BCF and MAF files to one ten-column mutation table."""

import collections
import contextlib
import os
import sys

from . import convert
from .errors import InputError, UsageError
from .left_out import summary_lines
from .outputs import atomic_output
from .progress import progress
from .reference_folder import ReferenceFolder
from . import options

SUMMARY = "write the ten-column mutation table of VCF/BCF or MAF files"
EXAMPLE = "mutflank table tumour.vcf.gz -o tumour.tsv --project PCAWG --reference reference"


def add_arguments(parser):
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="VCF, BCF or MAF file")
    parser.add_argument("-o", "--output", default="-", metavar="TABLE",
                        help="table to write (default: standard output)")
    options.add_build(parser)
    parser.add_argument("--project", help="second part of every row key")
    options.add_reference(parser, help="match chromosome names to this reference folder's files")
    parser.add_argument("--sample", metavar="NAME",
                        help="the VCF sample column to take (default: every sample)")
    parser.add_argument("--pass-only", action="store_true",
                        help="keep only records whose FILTER is PASS or '.'")


def run(args):
    prog = "mutflank table"
    build = args.build  # canonical or None: checked by the option's parser
    if args.project is not None and any(c in args.project for c in "\t\r\n"):
        raise UsageError("--project may not hold a tab or a line break")
    reference = None
    if args.reference is not None:
        reference = ReferenceFolder(args.reference)
        if build is not None and build not in reference.builds():
            raise InputError(f"{args.reference}: no {build} folder in the reference folder")
    # Every input is looked at before anything is written.
    for path in args.inputs:
        kind = convert.detect_format(path)
        if kind == "table":
            raise InputError(f"{path}: already a mutation table, not a VCF, BCF or MAF file")
        if kind == "maf" and args.sample is not None:
            raise UsageError(f"--sample names a VCF sample column; {path} is a MAF file")
        if kind == "vcf" and build is None and (reference is None or len(reference.builds()) != 1):
            raise UsageError(convert.build_required(path, reference))
    if args.output != "-" and os.path.isdir(args.output):
        raise InputError(f"{args.output}: is a folder")

    samples, rows, left_out = {}, 0, collections.Counter()
    with contextlib.ExitStack() as stack:
        if args.output == "-":
            output = sys.stdout.buffer
        else:
            output = stack.enter_context(atomic_output(args.output, "wb"))
        bar = stack.enter_context(progress(total=None, unit=" rows", desc="table"))
        for path in args.inputs:
            done = convert.convert(path, output, build=build, project=args.project,
                                   reference=reference, sample=args.sample,
                                   pass_only=args.pass_only, progress=bar.update)
            samples.update(dict.fromkeys(done.samples))
            rows += done.rows
            left_out.update(done.left_out)
        output.flush()
    where = "standard output" if args.output == "-" else args.output
    print(f"{prog}: wrote {rows} row{'' if rows == 1 else 's'} of {len(samples)} "
          f"sample{'' if len(samples) == 1 else 's'} to {where}", file=sys.stderr)
    for line in summary_lines(left_out):
        print(f"{prog}: {line}", file=sys.stderr)
