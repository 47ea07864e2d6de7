"""`mutflank matrix`: SBS6, SBS96 and SBS1536 matrices of tables, VCF/BCF and MAF files.

Tables are counted as they are; VCF/BCF and MAF inputs are first converted to tables (as
`mutflank table --reference` does) in a temporary folder. The counting itself, the REF check
and the reasons for leaving records out are in `counting`; the Dask batches in `cluster`."""

import contextlib
import os
import sys
from dataclasses import dataclass

from . import channels
from .errors import InputError, UsageError
from .outputs import atomic_output
from .progress import progress
from .reference_folder import ReferenceFolder
from . import options

SUMMARY = "count substitutions by context into SBS6/SBS96/SBS1536 matrices"
EXAMPLE = "mutflank matrix tumour.vcf.gz cohort.maf tables/*.tsv --reference reference -o cohort"


def _matrix_types(text):
    import argparse

    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in channels.TYPES]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown matrix type {', '.join(unknown) or repr(text)}: choose from "
            + ",".join(channels.TYPES)
        )
    return [name for name in channels.TYPES if name in names]


def add_arguments(parser):
    parser.add_argument("inputs", nargs="*", metavar="INPUT",
                        help="mutation table, VCF/BCF or MAF file")
    options.add_reference(parser, required=True)
    parser.add_argument("-o", "--output", required=True, metavar="PREFIX",
                        help="writes PREFIX.<type>.tsv for every type")
    parser.add_argument("--types", type=_matrix_types, default=list(channels.TYPES),
                        help="comma-separated, from SBS6,SBS96,SBS1536 (default: all)")
    parser.add_argument("--proportions", action="store_true",
                        help="divide each sample's counts by its total")
    options.add_build(parser, help="GRCh37 or GRCh38 for VCF inputs")
    parser.add_argument("--table-list", metavar="FILE",
                        help="a file naming one input per line, added to INPUT")
    parser.add_argument("--pass-only", action="store_true",
                        help="VCF inputs: keep only records whose FILTER is PASS or '.'")
    parser.add_argument("--allow-ref-mismatch", action="store_true",
                        help="go on when many REF alleles differ from the reference")
    options.add_workers(parser)

# Above this share of a file's substitutions with a REF other than the reference's base, the
# reference is taken for the wrong one (another build, shifted coordinates).
REF_MISMATCH_LIMIT = 0.05


@dataclass(frozen=True)
class Options:
    """What counting an input needs, on this machine or on a Dask worker."""

    reference: str
    types: tuple = channels.TYPES
    build: str = None
    pass_only: bool = False
    chunk_records: int = None


@dataclass(frozen=True)
class Input:
    path: str
    kind: str  # "table", "vcf" or "maf"
    size: int = 0


def read_table_list(path):
    """The inputs named in `path`, one a line (blank lines ignored)."""
    try:
        with open(path, encoding="utf-8") as lines:
            return [line.rstrip("\r\n") for line in lines if line.strip()]
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror}") from None
    except UnicodeDecodeError:
        raise InputError(f"{path}: not UTF-8 text") from None


def classify(paths):
    """The inputs with their kind, told by content."""
    from .convert import detect_format

    inputs = []
    for path in paths:
        kind = detect_format(path)
        try:
            size = os.path.getsize(path)
        except OSError:
            size = 0
        inputs.append(Input(path, kind, size))
    return inputs


def count_input(counter, item, options):
    """Adds one input to a MatrixCounter: a table directly, VCF/BCF or MAF converted first."""
    if item.kind == "table":
        counter.add_table(item.path)
        return
    from .convert import convert

    converted = os.path.join(counter.scratch, "converted.tsv")
    with open(converted, "wb") as output:
        conversion = convert(item.path, output, build=options.build,
                             reference=counter.reference, pass_only=options.pass_only)
    counter.add_samples(conversion.samples)
    counter.add_left_out(conversion.left_out)
    counter.add_table(converted, label=item.path, lines=False)
    os.unlink(converted)


def count_batch(items, options, show_progress=False):
    """The Tally of some inputs, counted in this process (also the task of a Dask worker)."""
    from .counting import CHUNK_RECORDS, MatrixCounter

    with MatrixCounter(options.reference, options.types,
                       options.chunk_records or CHUNK_RECORDS) as counter:
        bar = progress(total=sum(item.size for item in items), desc="matrix", unit="B",
                       unit_scale=True) if show_progress else None
        for item in items:
            if bar is not None and item.kind == "table":
                counter.on_bytes = bar.update
            count_input(counter, item, options)
            counter.on_bytes = None
            if bar is not None and item.kind != "table":
                bar.update(item.size)
        if bar is not None:
            bar.close()
        return counter.finish()


def check_refs(tally, allow):
    """Stops on a file whose REF alleles differ from the reference too often; with `allow`,
    warns instead. Returns the warning lines."""
    warnings = []
    for check in tally.files.values():
        if not check.checked or check.differing <= REF_MISMATCH_LIMIT * check.checked:
            continue
        share = 100 * check.differing / check.checked
        message = (f"{check.label}: REF differs from the reference base at {check.differing:,} "
                   f"of {check.checked:,} substitutions ({share:.1f}%), first at {check.first}")
        if not allow:
            raise InputError(f"{message}; is the reference of another build? "
                             "(--allow-ref-mismatch goes on without them)")
        warnings.append(f"warning: {message}; left out, going on (--allow-ref-mismatch)")
    return warnings


def left_out_summary(left_out):
    """Lines of what was left out, by reason, with counts and the chromosomes concerned."""
    import collections

    from .left_out import summary_lines

    on_chromosomes = collections.Counter(
        {key: count for key, count in left_out.items() if key[1]})
    lines = summary_lines(on_chromosomes)
    nowhere = collections.Counter()
    for (reason, chromosome), count in left_out.items():
        if not chromosome:
            nowhere[reason] += count
    for reason, total in sorted(nowhere.items(), key=lambda item: (-item[1], item[0])):
        lines.append(f"left out {total} record{'' if total == 1 else 's'}: {reason}")
    return lines


def matrix_lines(names, order, per_sample, matrix_type, proportions):
    """The lines of one matrix, one at a time: header, then one row per channel in order.
    `per_sample` is samples x channels; `order` lists the rows of `names` in it."""
    import numpy as np

    yield "\t".join(["MutationType", *names]) + "\n"
    totals = np.zeros(len(order), dtype=np.int64)
    for column in range(per_sample.shape[1]):
        totals += per_sample[order, column]
    for column, channel in enumerate(channels.CHANNELS[matrix_type]):
        row = per_sample[order, column]
        if proportions:
            values = np.divide(row, totals, out=np.zeros(len(row)), where=totals > 0)
            cells = map(repr, values.tolist())
        else:
            cells = map(str, row.tolist())
        yield "\t".join([channel, *cells]) + "\n"


def format_matrix(names, counts, matrix_type, proportions):
    """The whole text of a matrix from its channels x samples array (see matrix_lines)."""
    return "".join(matrix_lines(names, list(range(len(names))), counts.T, matrix_type,
                                proportions))


def output_paths(prefix, types):
    return {name: f"{prefix}.{name}.tsv" for name in types}


def _check_output_folder(prefix):
    folder = os.path.dirname(os.path.abspath(prefix))
    if not os.path.isdir(folder):
        raise InputError(f"{prefix}: cannot write: no such folder {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise InputError(f"{prefix}: cannot write: permission denied in {folder}")


def run(args):
    paths = list(args.inputs)
    if args.table_list:
        paths += read_table_list(args.table_list)
    if not paths:
        raise UsageError("no input: name tables, VCF/BCF or MAF files, or --table-list FILE")
    build = args.build  # canonical or None: checked by the option's parser
    reference = ReferenceFolder(args.reference)
    if not reference.builds():
        raise InputError(f"{args.reference}: no GRCh37 or GRCh38 folder in the reference")
    _check_output_folder(args.output)
    if build is not None and build not in reference.builds():
        raise InputError(f"{args.reference}: no {build} folder in the reference folder")
    inputs = classify(paths)
    if build is None and len(reference.builds()) != 1:
        from .convert import build_required

        for item in inputs:
            if item.kind == "vcf":
                raise UsageError(build_required(item.path, reference))
    options = Options(reference=args.reference, types=tuple(args.types), build=build,
                      pass_only=args.pass_only)
    if args.workers or args.scheduler:
        from .cluster import count_on_cluster

        tally = count_on_cluster(inputs, options, workers=args.workers,
                                 scheduler=args.scheduler)
    else:
        tally = count_batch(inputs, options, show_progress=True)
    warnings = check_refs(tally, args.allow_ref_mismatch)

    written = output_paths(args.output, args.types)
    with contextlib.ExitStack() as outputs:
        # Every matrix is written under a temporary name first; the renames come at the end.
        for name, path in written.items():
            out = outputs.enter_context(atomic_output(path, "w", encoding="utf-8", newline="\n"))
            out.writelines(matrix_lines(*tally.matrix(name), name, args.proportions))

    for line in warnings:
        print(f"mutflank matrix: {line}", file=sys.stderr)
    for line in left_out_summary(tally.left_out):
        print(f"mutflank matrix: {line}", file=sys.stderr)
    samples = len(tally.samples)
    print(f"mutflank matrix: {tally.records:,} substitution{'s' if tally.records != 1 else ''}"
          f" of {samples:,} sample{'s' if samples != 1 else ''} from {len(inputs):,} "
          f"input{'s' if len(inputs) != 1 else ''} -> {', '.join(written.values())}",
          file=sys.stderr)
