"""`mutflank opportunities`: how often each context occurs in a reference folder, in the whole
genome or inside regions (an exome's targets): the opportunities by which `fit` rescales
signatures made on one sequence to the counts of another (counting/opportunities.py counts,
docs/regions.md has the rules).

Each matrix kind's file has the layout of a matrix with one column, `opportunities`: every
channel holds the count of its reference context. With --regions a context counts when its
central base (both bases of a dinucleotide) lies in a region, its flanks read wherever they
lie: the rule of `matrix --regions` for records. ID83 is refused: an indel's chance depends on
the repeat or microhomology around it, not on one context of fixed width."""

import sys

from ..counting import kinds as registry
from ..counting.opportunities import channel_values, count, has_opportunities
from ..inputs.stage import regions_of
from ..reference.genome import Genome
from ..runtime.errors import InputError, UsageError
from ..runtime.outputs import OutputSet, check_folder, refuse_inputs, removed_line
from ..runtime.progress import progress
from . import options
from .matrix import matrix_lines

SUMMARY = "count how often each context occurs in a reference, or inside regions of it"
EXAMPLE = "mutflank opportunities reference --build GRCh38 --regions exome.bed -o exome"

DEFAULT_TYPES = ("SBS96", "SBS1536", "DBS78")
COLUMN = "opportunities"
NO_OPPORTUNITY = ("ID83 has no simple opportunity: an indel's chance depends on the repeat or "
                  "microhomology around it, not on one context of fixed width; choose from ")


def counted_kinds():
    """The kinds that have opportunities."""
    return [kind.name for kind in registry.all_kinds() if has_opportunities(kind)]


def add_arguments(parser):
    parser.add_argument("reference", metavar="REFERENCE",
                        help="reference folder, as `mutflank reference` writes it")
    options.add_build(parser, help=options.BUILD_HELP + " (default: the reference's one build)")
    parser.add_argument("--regions", metavar="BED", type=options.input_path,
                        help="count only contexts centred inside these regions (BED, plain or "
                        "gzip: an exome's or a panel's targets)")
    parser.add_argument("--types", type=options.kind_list(counted_kinds), default=None,
                        help=f"comma-separated, any case, from {','.join(counted_kinds())} "
                        f"(default: {','.join(DEFAULT_TYPES)})")
    parser.add_argument("-o", "--output", required=True, metavar="PREFIX", type=options.prefix,
                        help="writes PREFIX.<type>.tsv for every type")


def build_of(genome, build, root):
    """The build folder to count: --build, else the reference's one build folder."""
    if build is not None:
        found = genome.build(build)
        if found is None:
            raise InputError(f"{root}: no {build} folder in the reference folder (it holds "
                             f"{genome.describe()})")
        return found
    builds = genome.builds()
    if len(builds) != 1:
        raise UsageError(f"--build is required: the reference {root} has "
                         f"{len(builds) or 'no'} build folders")
    return builds[0]


def check_kinds(kinds, genome, build):
    """Usage errors of kinds that cannot be counted here."""
    if any(not has_opportunities(registry.get(name)) for name in kinds):
        raise UsageError(NO_OPPORTUNITY + ",".join(counted_kinds()))
    strand = [name for name in kinds if registry.get(name).strand]
    if strand and not genome.annotated(build):
        raise UsageError(f"{', '.join(strand)} need{'s' if len(strand) == 1 else ''} a reference "
                         f"with transcription strands: {genome.root}/{build} has none (write it "
                         "with mutflank reference --annotation GENES.gtf)")


def run(args):
    genome = Genome(args.reference)
    build = build_of(genome, args.build, args.reference)
    kinds = args.types or list(DEFAULT_TYPES)
    check_kinds(kinds, genome, build)
    check_folder(args.output)
    family = {name: f"{args.output}.{name}.tsv" for name in counted_kinds()}
    written = {name: family[name] for name in kinds}
    inputs = options.inputs_of(args)
    refuse_inputs(list(written.values()), inputs, family.values())
    regions, warnings = regions_of(args.regions, genome, build, args.reference)
    files = genome.chromosomes(build)
    bar = progress(total=sum(files.values()), desc="opportunities", unit=" bases",
                   unit_scale=True)
    counts, bases, chromosomes = count(genome, build, regions and regions.intervals,
                                       on_chromosome=bar.update)
    bar.close()
    # The files of every kind are replaced together, and those of other kinds that an earlier
    # run wrote under this prefix go.
    with OutputSet(inputs=inputs, family=family.values()) as outputs:
        for name, path in written.items():
            kind = registry.get(name)
            values = channel_values(kind, counts)[None, :]
            outputs.open(path, "w", encoding="utf-8", newline="\n").writelines(
                matrix_lines([COLUMN], values, kind.channels, False))
    for line in warnings:
        print(f"mutflank opportunities: {line}", file=sys.stderr)
    where = (f"{bases:,} bases inside the regions of {args.regions} on {chromosomes:,} "
             f"chromosome{'' if chromosomes == 1 else 's'}" if regions is not None else
             f"{bases:,} bases of {chromosomes:,} chromosome{'' if chromosomes == 1 else 's'}")
    print(f"mutflank opportunities: {build}, {where} -> {', '.join(written.values())}",
          file=sys.stderr)
    if outputs.removed:
        print(f"mutflank opportunities: {removed_line(outputs.removed)}", file=sys.stderr)
