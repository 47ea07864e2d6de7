"""`mutflank matrix`: mutational-signature matrices (SBS6, SBS96, SBS1536 and the other kinds of
the registry in `counting.kinds`) of VCF/BCF, MAF and ten-column table inputs.

The road: the inputs are checked (each file named once) and cut into jobs; each job reads its
inputs once through `inputs.open` and counts them (`counting.work.count_inputs` ->
`counting.tally.Counter`) here or on Dask workers (`counting.distributed`); the tallies add
up; then the whole is checked (does the reference fit each input, do its REF bases match, does
a sample name come from several inputs) before the matrices are written together."""

import argparse
import os
import sys

from ..counting import kinds as registry
from ..counting.distributed import count_on_cluster
from ..counting.tally import Settings
from ..counting.work import Item, count_inputs
from ..inputs.open import check_distinct
from ..inputs.records import sample_from_path
from ..inputs.regions import build_of_regions, regions_for
from ..reference.genome import Genome, coverage_error
from ..runtime.errors import InputError, UsageError
from ..runtime.outputs import OutputSet, check_folder, refuse_inputs, removed_line
from ..runtime.progress import progress
from . import options

SUMMARY = "count mutations by context into SBS6/SBS96/SBS1536 (and other) matrices"
EXAMPLE = "mutflank matrix tumour.vcf.gz cohort.maf tables/*.tsv --reference reference -o cohort"


def matrix_types(text):
    """The kinds named in a comma-separated list (any case), in the registry's order."""
    wanted = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in wanted if registry.get(name) is None]
    if unknown or not wanted:
        raise argparse.ArgumentTypeError(
            f"unknown matrix type {', '.join(unknown) or repr(text)}: choose from "
            + ",".join(registry.names()))
    chosen = {registry.get(name).name for name in wanted}
    return [name for name in registry.names() if name in chosen]


def add_arguments(parser):
    parser.add_argument("inputs", nargs="*", metavar="INPUT", type=options.input_path,
                        help="VCF/BCF, MAF or ten-column table ('-' for standard input)")
    options.add_reference(parser, required=True)
    parser.add_argument("-o", "--output", required=True, metavar="PREFIX", type=options.prefix,
                        help="writes PREFIX.<type>.tsv for every type (and removes those of "
                        "other types that an earlier run wrote)")
    parser.add_argument("--types", type=matrix_types, default=None,
                        help=f"comma-separated, any case, from {','.join(registry.names())} "
                             f"(default: {','.join(registry.defaults())})")
    parser.add_argument("--proportions", action="store_true",
                        help="divide each sample's counts by its total")
    options.add_build(parser, help="the build of VCF and MAF records (default: a MAF's "
                                   "NCBI_Build; for a VCF the reference's one build folder)")
    parser.add_argument("--table-list", metavar="FILE", type=options.input_path,
                        help="a file naming one input per line (blank and '#' lines skipped)")
    parser.add_argument("--pass-only", action="store_true",
                        help="VCF inputs, and MAFs with a FILTER column: keep only records whose "
                        "FILTER is PASS or '.'")
    parser.add_argument("--sample", type=options.names, action="append", metavar="NAMES",
                        help="count only these samples (comma-separated; repeatable)")
    parser.add_argument("--exclude", type=options.names, action="append", metavar="NAMES",
                        help="leave these samples out (comma-separated; repeatable)")
    same = parser.add_mutually_exclusive_group()
    same.add_argument("--label-by-input", action="store_true",
                      help="a column per input and sample, labelled by the input's file name "
                           "(FILE:SAMPLE, or FILE alone for a single-sample input)")
    same.add_argument("--merge-samples", action="store_true",
                      help="add up samples of one name from several inputs (one cohort split "
                           "by chromosome or region)")
    parser.add_argument("--regions", metavar="BED", type=options.input_path,
                        help="count only the records inside these regions (BED, plain or gzip: "
                        "an exome's or a panel's targets)")
    parser.add_argument("--no-merge-doublets", action="store_true",
                        help="keep adjacent SNVs of a sample as SNVs (default: one doublet, "
                             "counted in DBS78 and not in the SBS matrices)")
    parser.add_argument("--allow-ref-mismatch", action="store_true",
                        help="go on when many REF alleles differ from the reference")
    parser.add_argument("--allow-missing-chromosomes", action="store_true",
                        help="go on when many records find no build folder or chromosome file")
    options.add_workers(parser)


def read_table_list(path):
    """The inputs named in `path`, one a line; blank lines and '#' comments are skipped."""
    try:
        with open(path, encoding="utf-8") as lines:
            names = [line.rstrip("\r\n") for line in lines]
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror}") from None
    except UnicodeDecodeError:
        raise InputError(f"{path}: not UTF-8 text") from None
    return [name for name in names if name.strip() and not name.lstrip().startswith("#")]


def items_of(paths, absolute=False):
    """The jobs' view of the inputs: numbered, with their sizes, and named as given; opened by
    absolute path when `absolute` (a Dask worker may run in another folder), else as given (a
    working folder deeper than PATH_MAX has no absolute name)."""
    items = []
    for index, path in enumerate(paths):
        opened, size = path, 0
        if path != "-":
            opened = os.path.abspath(path) if absolute else path
            try:
                size = os.stat(path).st_size
            except OSError:
                pass
        items.append(Item(index, path, opened, size))
    return items


def _output_folder(prefix):
    check_folder(prefix)


def settings_of(args, genome):
    """The counting Settings of the options; InputError when --build has no folder."""
    builds = genome.builds()
    if not builds:
        raise InputError(f"{args.reference}: no build folder in the reference folder")
    build = args.build
    if build is not None:
        found = genome.build(build)
        if found is None:
            raise InputError(f"{args.reference}: no {build} folder in the reference folder "
                             f"(it holds {genome.describe()})")
        build = found
    samples = {name for names in args.sample or () for name in names}
    exclude = {name for names in args.exclude or () for name in names}
    return Settings(
        kinds=tuple(args.types or registry.defaults()), build=build,
        default_build=build or (builds[0] if len(builds) == 1 else None),
        samples=frozenset(samples) if args.sample else None, exclude=frozenset(exclude),
        by_input=args.label_by_input, merge_samples=args.merge_samples)


def check_strand(kinds, genome, settings):
    """UsageError when a strand matrix is asked of a reference without strand annotation."""
    strand = [name for name in kinds if registry.get(name).strand]
    if not strand:
        return
    builds = [settings.build] if settings.build else genome.builds()
    plain = [build for build in builds if not genome.annotated(build)]
    if plain:
        raise UsageError(f"{', '.join(strand)} need{'s' if len(strand) == 1 else ''} a reference "
                         f"with transcription strands: {os.path.join(genome.root, plain[0])} "
                         "has none (write it with mutflank reference --annotation GENES.gtf)")


def count(items, args, settings, regions=None):
    """The Tally of every input, in this process or on Dask workers."""
    work = dict(pass_only=args.pass_only, merge_doublets=not args.no_merge_doublets,
                regions=regions)
    if args.workers or args.scheduler:
        return count_on_cluster(items, os.path.abspath(args.reference), settings, work,
                                workers=args.workers, scheduler=args.scheduler)
    bar = progress(total=len(items), desc="matrix", unit=" inputs")
    tally = count_inputs(items, args.reference, settings, on_input=lambda item: bar.update(1),
                         **work)
    bar.close()
    return tally


def check(tally, args, genome, settings):
    """Stops on what would make the matrices wrong; returns warning lines for what is let go."""
    names = tally.names
    warnings = []
    for index in sorted(tally.coverage):
        message = coverage_error(names[index], tally.coverage[index], genome)
        if message is None:
            continue
        if not args.allow_missing_chromosomes:
            raise InputError(f"{message} (--allow-missing-chromosomes goes on without them)")
        warnings.append(f"warning: {message} Left out, going on (--allow-missing-chromosomes)")
    for index in sorted(tally.checks):
        message = tally.checks[index].message(names[index])
        if message is None:
            continue
        if not args.allow_ref_mismatch:
            raise InputError(f"{message}; is the reference of another build? "
                             "(--allow-ref-mismatch goes on without them)")
        warnings.append(f"warning: {message}; left out, going on (--allow-ref-mismatch)")
    if not (args.merge_samples or args.label_by_input):
        for sample, held in tally.origins.items():
            if len(held) > 1:
                first, second = (names[index] for index in held)
                raise InputError(
                    f"sample {sample} comes from more than one input ({first}, {second}): "
                    "give --label-by-input for a column per input, or --merge-samples if the "
                    "inputs are one cohort split by chromosome or region")
    if settings.samples is not None:
        absent = sorted(settings.samples - set(tally.origins))
        if absent:
            raise InputError(f"--sample {', '.join(absent)}: no input holds "
                             f"{'this sample' if len(absent) == 1 else 'these samples'}")
    return warnings


def column_labels(tally):
    """The label of each column of the tally: the sample name, or with --label-by-input the
    input's file stem (its name as given where two inputs share a stem), followed by
    ":sample" when the input holds several samples: as many as a VCF's header names, whatever
    samples carry calls, else as many as have records."""
    labels = []
    stems = {}
    for index, name in tally.names.items():
        stems.setdefault(sample_from_path(name), []).append(index)
    per_input = {}
    for index, _ in tally.keys:
        per_input[index] = per_input.get(index, 0) + 1
    for index, sample in tally.keys:
        if index is None:
            labels.append(sample)
            continue
        name = tally.names[index]
        stem = sample_from_path(name)
        file_label = stem if len(stems[stem]) == 1 else name
        several = tally.declared.get(index, per_input[index]) > 1
        labels.append(f"{file_label}:{sample}" if several else file_label)
    return labels


_SMALL = [str(number) for number in range(4096)]  # the text of the usual counts


def matrix_lines(labels, counts, channels, proportions):
    """The lines of one matrix: the header, then one row per channel. `counts` is columns x
    channels, in the order of `labels`."""
    import numpy as np

    yield "\t".join(["MutationType", *labels]) + "\n"
    totals = counts.sum(axis=1)
    for channel, row in zip(channels, counts.T):
        if proportions:
            values = np.divide(row, totals, out=np.zeros(len(row)), where=totals > 0)
            cells = map(repr, values.tolist())
        elif row.max(initial=0) < len(_SMALL):
            cells = map(_SMALL.__getitem__, row.tolist())  # twice as quick as str() each
        else:
            cells = map(str, row.tolist())
        yield "\t".join([channel, *cells]) + "\n"


def chosen_kinds(args, tally):
    """The kinds to write: --types, else the defaults (those written "when present" only when
    their mutation class had records)."""
    if args.types:
        return args.types
    return [name for name in registry.defaults()
            if registry.get(name).default is True
            or registry.get(name).mutation_class in tally.classes_seen]


def run(args):
    paths = [str(path) for path in args.inputs]
    if args.table_list:
        paths += read_table_list(args.table_list)
    inputs = [*options.inputs_of(args), *paths]  # the list itself is read too
    if not paths:
        raise UsageError("no input: name tables, VCF/BCF or MAF files, or --table-list FILE")
    check_distinct(paths)
    if "-" in paths and (args.workers or args.scheduler):
        raise UsageError("standard input (-) cannot be read by Dask workers: name a file")
    genome = Genome(args.reference)
    _output_folder(args.output)
    kinds = args.types or registry.defaults()
    family = {name: f"{args.output}.{name}.tsv" for name in registry.names()}
    refuse_inputs([family[name] for name in kinds], inputs, family.values())
    settings = settings_of(args, genome)
    check_strand(kinds, genome, settings)
    regions = None
    if args.regions:
        build = build_of_regions(genome, settings.build, args.reference)
        regions = regions_for(args.regions, genome, build)
    tally = count(items_of(paths, absolute=bool(args.workers or args.scheduler)), args,
                  settings, regions)
    warnings = check(tally, args, genome, settings)
    if regions is not None and regions.missing:
        warnings.insert(0, f"warning: {regions.missing_line()}")

    labels = column_labels(tally)
    order = sorted(range(len(labels)), key=labels.__getitem__)
    labels = [labels[i] for i in order]
    written = {name: family[name] for name in chosen_kinds(args, tally)}
    with OutputSet(inputs=inputs, family=family.values()) as outputs:
        # Every matrix is written under a temporary name first; they replace the files of an
        # earlier run together at the end, or none does, and matrices of other kinds that an
        # earlier run wrote under this prefix go.
        for name, path in written.items():
            counts = tally.matrix(name)[order]
            outputs.open(path, "w", encoding="utf-8", newline="\n").writelines(
                matrix_lines(labels, counts, registry.get(name).channels, args.proportions))

    for line in warnings + tally.left_out.lines(tally.names):
        print(f"mutflank matrix: {line}", file=sys.stderr)
    what = {"SBS"} == {registry.get(name).mutation_class for name in written}
    noun = "substitution" if what else "mutation"
    records, samples = tally.records, len(labels)
    print(f"mutflank matrix: {records:,} {noun}{'s' if records != 1 else ''}"
          f" of {samples:,} sample{'s' if samples != 1 else ''} from {len(paths):,} "
          f"input{'s' if len(paths) != 1 else ''} -> {', '.join(written.values())}",
          file=sys.stderr)
    if outputs.removed:
        print(f"mutflank matrix: {removed_line(outputs.removed)}", file=sys.stderr)
