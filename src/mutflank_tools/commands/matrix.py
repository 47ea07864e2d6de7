"""`mutflank matrix`: mutational-signature matrices (SBS6, SBS96, SBS1536 and the other kinds of
the registry in `counting.kinds`) of VCF/BCF, MAF and ten-column table inputs.

The road: the inputs are checked by the input stage (`inputs.stage`: each file named once,
none an output) and cut into jobs; each job reads its inputs once through `inputs.open`, takes
the chosen samples (`stage.SampleChoice`) and counts them (`counting.work.count_inputs` ->
`counting.tally.Counter`) here or on Dask workers (`counting.distributed`); the tallies add
up; then the whole is checked (does the reference fit each input, do its REF bases match, does
a sample name come from several inputs) before the matrices are written together."""

import os
import sys

import numpy as np

from ..counting import kinds as registry
from ..counting.tally import Settings
from ..counting.work import Item, count_inputs
from ..inputs import stage
from ..reference.genome import Genome
from ..runtime.errors import InputError, UsageError
from ..runtime.outputs import OutputSet, check_folder, refuse_inputs, removed_line
from ..runtime.progress import progress
from . import options

SUMMARY = "count mutations by context into SBS6/SBS96/SBS1536 (and other) matrices"
EXAMPLE = "mutflank matrix tumour.vcf.gz cohort.maf tables/*.tsv --reference reference -o cohort"


def add_arguments(parser):
    parser.add_argument("inputs", nargs="*", metavar="INPUT", type=options.input_path,
                        help="VCF/BCF, MAF or ten-column table ('-' for standard input)")
    options.add_reference(parser, required=True)
    parser.add_argument("-o", "--output", required=True, metavar="PREFIX", type=options.prefix,
                        help="writes PREFIX.<type>.tsv for every type (and removes those of "
                        "other types that an earlier run wrote)")
    parser.add_argument("--types", type=options.kind_list(registry.names), default=None,
                        help=f"comma-separated, any case, from {','.join(registry.names())} "
                             f"(default: {','.join(registry.defaults())})")
    parser.add_argument("--proportions", action="store_true",
                        help="divide each sample's counts by its total")
    options.add_build(parser, help="the build of VCF and MAF records (default: a MAF's "
                                   "NCBI_Build; for a VCF the reference's one build folder)")
    options.add_table_list(parser)
    options.add_pass_only(parser)
    options.add_samples(parser)
    options.add_regions(parser)
    parser.add_argument("--no-merge-doublets", action="store_true",
                        help="keep adjacent SNVs of a sample as SNVs (default: one doublet, "
                             "counted in DBS78 and not in the SBS matrices)")
    parser.add_argument("--allow-ref-mismatch", action="store_true",
                        help="go on when many REF alleles differ from the reference")
    options.add_allow_missing_chromosomes(parser)
    options.add_workers(parser)


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
    build, default_build = stage.resolve_build(args.build, genome, args.reference)
    choice = stage.SampleChoice.of(args.sample, args.exclude)
    return Settings(
        kinds=tuple(args.types or registry.defaults()), build=build,
        default_build=default_build, samples=choice.samples, exclude=choice.exclude,
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
        from ..counting.distributed import count_on_cluster  # a run starts sooner without

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
    warnings = stage.coverage_warnings(tally.coverage, names, genome,
                                       args.allow_missing_chromosomes)
    for index in sorted(tally.checks):
        message = tally.checks[index].message(names[index])
        if message is None:
            continue
        if not args.allow_ref_mismatch:
            raise InputError(f"{message}; is the reference of another build? "
                             "(--allow-ref-mismatch goes on without them)")
        warnings.append(f"warning: {message}; left out, going on (--allow-ref-mismatch)")
    stage.check_samples(stage.SampleChoice(settings.samples, settings.exclude), tally.held,
                        tally.origins, names, args.merge_samples or args.label_by_input)
    return warnings


def column_labels(tally):
    """The label of each column of the tally: the sample name, or with --label-by-input the
    input's label (inputs/stage.py), followed by ":sample" unless the input's header names one
    sample."""
    order = sorted(tally.names)
    labels = dict(zip(order, stage.input_labels([tally.names[index] for index in order])))
    return [sample if index is None
            else stage.sample_label(labels[index], sample, tally.declared.get(index) == 1)
            for index, sample in tally.keys]


CELLS_AT_ONCE = 1 << 22  # cells of one digit made into text in one step of count_cells
_SMALL = [str(number) for number in range(4096)]  # the text of the usual counts


def count_cells(counts):
    """The text of each row of `counts` (a 2-D array of whole numbers): every count after a
    tab, in decimal. A matrix of 10,000 columns has 17 million cells, mostly of one digit in
    the rows of the larger kinds: the text of such rows is made by NumPy a block of rows at a
    time, the others' one number at a time."""
    rows, columns = counts.shape
    texts = [""] * rows
    if not rows or not columns:
        return texts
    integer = counts.dtype.kind in "iu"
    digit = (counts.min(axis=1) >= 0) & (counts.max(axis=1) < 10) & integer
    single = np.flatnonzero(digit)
    # One byte a cell, in the memory order of `counts` (often the transpose of its rows): a
    # pass in that order costs a tenth of gathering the rows of 8-byte counts.
    small = counts.astype(np.uint8) if len(single) else None
    step = max(1, CELLS_AT_ONCE // columns)
    size = 2 * columns
    for start in range(0, len(single), step):
        block = single[start:start + step]
        first, last = int(block[0]), int(block[-1])
        picked = small[first:last + 1] if last - first + 1 == len(block) else small[block]
        cells = np.empty((len(block), columns, 2), dtype=np.uint8)
        cells[:, :, 0] = ord("\t")
        np.add(picked, ord("0"), out=cells[:, :, 1])
        text = cells.tobytes().decode("ascii")
        for number, row in enumerate(block.tolist()):
            texts[row] = text[number * size:(number + 1) * size]
    for row in np.flatnonzero(~digit).tolist():
        values = counts[row]
        small = integer and values.min() >= 0 and values.max() < len(_SMALL)
        cells = map(_SMALL.__getitem__ if small else str, values.tolist())  # twice as quick
        texts[row] = "\t" + "\t".join(cells)
    return texts


def matrix_lines(labels, counts, channels, proportions):
    """The lines of one matrix: the header, then one row per channel. `counts` is columns x
    channels, in the order of `labels`."""
    yield "\t".join(["MutationType", *labels]) + "\n"
    if proportions:
        totals = counts.sum(axis=1)
        for channel, row in zip(channels, counts.T):
            values = np.divide(row, totals, out=np.zeros(len(row)), where=totals > 0)
            yield "\t".join([channel, *map(repr, values.tolist())]) + "\n"
        return
    for channel, cells in zip(channels, count_cells(np.asarray(counts).T)):
        yield f"{channel}{cells}\n"


def chosen_kinds(args, tally):
    """The kinds to write: --types, else the defaults (those written "when present" only when
    their mutation class had records)."""
    if args.types:
        return args.types
    return [name for name in registry.defaults()
            if registry.get(name).default is True
            or registry.get(name).mutation_class in tally.classes_seen]


def run(args):
    paths = stage.input_paths(args.inputs, args.table_list)
    inputs = stage.files_read(options.inputs_of(args), paths)  # the list itself is read too
    if "-" in paths and (args.workers or args.scheduler):
        raise UsageError("standard input (-) cannot be read by Dask workers: name a file")
    genome = Genome(args.reference)
    _output_folder(args.output)
    kinds = args.types or registry.defaults()
    family = {name: f"{args.output}.{name}.tsv" for name in registry.names()}
    refuse_inputs([family[name] for name in kinds], inputs, family.values())
    settings = settings_of(args, genome)
    check_strand(kinds, genome, settings)
    regions, region_warnings = stage.regions_of(
        args.regions, genome, settings.build or settings.default_build, args.reference)
    tally = count(items_of(paths, absolute=bool(args.workers or args.scheduler)), args,
                  settings, regions)
    warnings = region_warnings + check(tally, args, genome, settings)

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
