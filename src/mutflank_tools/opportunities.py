"""`mutflank opportunities`: how often each context occurs in a reference folder, in the whole
genome or inside regions (an exome's targets): the opportunities by which `fit` rescales
signatures made on one sequence to the counts of another.

Each matrix kind's file has the layout of a matrix with one column, `opportunities`: every
channel holds the count of its reference context, so the three channels of one context share
it. The counting itself is the engine's (`_engine.count_contexts`, one chromosome file at a
time, in bounded memory); this module maps its counts onto the channels of each kind.

- SBS96, SBS6 (folded from it), SBS1536: trinucleotides or pentanucleotides, the central base
  folded to its pyrimidine, both strands counted (each position once).
- SBS192, SBS384: the same trinucleotides by the transcription strand of the central base,
  from a reference written with `mutflank reference --annotation`.
- DBS78: reference dinucleotides, folded onto the ten of the channels as the channels are.
- ID83: no simple opportunity (an indel's chance depends on the repeat or microhomology
  around it, not on one context of fixed width), so it is refused.

With --regions a context counts when its central base (both bases of a dinucleotide) lies in
a region; its flanks are read from the reference wherever they lie: the rule `matrix
--regions` uses for records. Contexts holding a base other than A, C, G, T are not counted."""

import argparse
import sys

import numpy as np

from . import _engine
from . import kinds as registry
from . import options
from .errors import InputError, UsageError
from .genome import Genome
from .matrix import matrix_lines
from .outputs import OutputSet, check_folder, refuse_inputs
from .progress import progress
from .regions import regions_for

SUMMARY = "count how often each context occurs in a reference, or inside regions of it"
EXAMPLE = "mutflank opportunities reference --build GRCh38 --regions exome.bed -o exome"

DEFAULT_TYPES = ("SBS96", "SBS1536", "DBS78")
COLUMN = "opportunities"
BASE = {base: code for code, base in enumerate("ACGT")}
DINUCLEOTIDES = ("AC", "AT", "CC", "CG", "CT", "GC", "TA", "TC", "TG", "TT")  # the engine's
STRANDS = ("T", "U", "B", "N")  # the engine's order of strand classes
NO_OPPORTUNITY = ("ID83 has no simple opportunity: an indel's chance depends on the repeat or "
                  "microhomology around it, not on one context of fixed width; choose from ")


def opportunity_types(text):
    """The kinds named in a comma-separated list (any case), in the registry's order."""
    wanted = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in wanted if registry.get(name) is None]
    if unknown or not wanted:
        raise argparse.ArgumentTypeError(
            f"unknown matrix type {', '.join(unknown) or repr(text)}: choose from "
            + ",".join(counted_kinds()))
    chosen = {registry.get(name).name for name in wanted}
    return [name for name in registry.names() if name in chosen]


def counted_kinds():
    """The kinds that have opportunities: every kind but those of indels."""
    return [kind.name for kind in registry.all_kinds() if kind.mutation_class != "ID"]


def add_arguments(parser):
    parser.add_argument("reference", metavar="REFERENCE",
                        help="reference folder, as `mutflank reference` writes it")
    options.add_build(parser, help=options.BUILD_HELP + " (default: the reference's one build)")
    parser.add_argument("--regions", metavar="BED",
                        help="count only contexts centred inside these regions (BED, plain or "
                        "gzip: an exome's or a panel's targets)")
    parser.add_argument("--types", type=opportunity_types, default=None,
                        help=f"comma-separated, any case, from {','.join(counted_kinds())} "
                        f"(default: {','.join(DEFAULT_TYPES)})")
    parser.add_argument("-o", "--output", required=True, metavar="PREFIX",
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


class Counts:
    """The engine's counts summed over chromosomes: trinucleotides (strand class x 32),
    pentanucleotides (512), dinucleotides (10)."""

    def __init__(self):
        self.trinucleotides = np.zeros((4, 32), dtype=np.uint64)
        self.pentanucleotides = np.zeros(512, dtype=np.uint64)
        self.dinucleotides = np.zeros(10, dtype=np.uint64)

    def add(self, counted):
        trinucleotides, pentanucleotides, dinucleotides = counted
        self.trinucleotides += trinucleotides
        self.pentanucleotides += pentanucleotides
        self.dinucleotides += dinucleotides


def _centre(base):
    return 0 if base == "C" else 1


def channel_values(kind, counts):
    """The opportunity of every channel of `kind` (a kinds.Kind), in its order, as int64."""
    if kind.derived_from:
        source = registry.get(kind.derived_from)
        values = np.zeros(len(kind.channels), dtype=np.int64)
        np.add.at(values, np.array(kind.fold), channel_values(source, counts))
        return values
    if kind.mutation_class == "DBS":
        index = {pair: i for i, pair in enumerate(DINUCLEOTIDES)}
        return np.array([counts.dinucleotides[index[label[:2]]] for label in kind.channels],
                        dtype=np.int64)
    values = []
    for label in kind.channels:
        strand, _, label = label.rpartition(":")
        left, rest = label.split("[")
        change, right = rest.split("]")
        flanks = [BASE[base] for base in left + right]
        code = 0
        for base in flanks:
            code = code * 4 + base
        if len(flanks) == 4:
            values.append(counts.pentanucleotides[_centre(change[0]) * 256 + code])
        else:
            by_strand = counts.trinucleotides[:, _centre(change[0]) * 16 + code]
            values.append(by_strand[STRANDS.index(strand)] if strand else by_strand.sum())
    return np.array(values, dtype=np.int64)


def check_kinds(kinds, genome, build):
    if "ID83" in kinds:
        raise UsageError(NO_OPPORTUNITY + ",".join(counted_kinds()))
    strand = [name for name in kinds if registry.get(name).strand]
    if strand and not genome.annotated(build):
        raise UsageError(f"{', '.join(strand)} need{'s' if len(strand) == 1 else ''} a reference "
                         f"with transcription strands: {genome.root}/{build} has none (write it "
                         "with mutflank reference --annotation GENES.gtf)")


def count(genome, build, regions):
    """(Counts, bases looked at, chromosomes counted) of the build's chromosome files, whole
    or inside `regions`."""
    files = genome.chromosomes(build)
    names = sorted(files)
    if regions is not None:
        names = [name for name in names if name in regions.intervals]
    counts, bases = Counts(), 0
    bar = progress(total=sum(files[name] for name in names), desc="opportunities",
                   unit=" bases", unit_scale=True)
    for name in names:
        path = genome.chromosome(build, name).path
        if regions is None:
            starts = ends = None
            bases += files[name]
        else:
            starts, ends = regions.intervals[name]
            bases += int((np.minimum(ends, files[name]) - np.minimum(starts, files[name])).sum())
        try:
            counts.add(_engine.count_contexts(path, starts, ends))
        except OSError as error:
            raise InputError(f"{path}: {error}") from None
        bar.update(files[name])
    bar.close()
    return counts, bases, len(names)


def run(args):
    genome = Genome(args.reference)
    build = build_of(genome, args.build, args.reference)
    kinds = args.types or list(DEFAULT_TYPES)
    check_kinds(kinds, genome, build)
    check_folder(args.output)
    written = {name: f"{args.output}.{name}.tsv" for name in kinds}
    inputs = [args.regions] if args.regions else []
    refuse_inputs(list(written.values()), inputs)
    regions = regions_for(args.regions, genome, build) if args.regions else None
    counts, bases, chromosomes = count(genome, build, regions)
    with OutputSet(inputs=inputs) as outputs:
        for name, path in written.items():
            kind = registry.get(name)
            values = channel_values(kind, counts)[None, :]
            outputs.open(path, "w", encoding="utf-8", newline="\n").writelines(
                matrix_lines([COLUMN], values, kind.channels, False))
    if regions is not None and regions.missing:
        print(f"mutflank opportunities: warning: {regions.missing_line()}", file=sys.stderr)
    where = (f"{bases:,} bases inside the regions of {args.regions} on {chromosomes:,} "
             f"chromosome{'' if chromosomes == 1 else 's'}" if regions is not None else
             f"{bases:,} bases of {chromosomes:,} chromosome{'' if chromosomes == 1 else 's'}")
    print(f"mutflank opportunities: {build}, {where} -> {', '.join(written.values())}",
          file=sys.stderr)
