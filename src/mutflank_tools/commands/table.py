"""`mutflank table`: VCF/BCF and MAF files to one ten-column mutation table.

One row per sample and alternate allele, tab-separated:

    sample  project  ID  build  type  chromosome  position  end  REF  ALT

Type is "SNV" for a single-base substitution (the rows the module counts), "DBS" for two
adjacent substituted bases, "MNV" for more, "INDEL" when the alleles differ in length and
"OTHER" for substitutions involving bases other than A, C, G, T; equal-length alleles are
trimmed of their common bases first (records.classify). The records come from the readers."""

import collections
import contextlib
import os
import sys

import numpy as np

from ..inputs.left_out import summary_lines
from ..inputs.open import check_distinct, open_input, read
from ..inputs.records import LeftOut, classify
from ..inputs.regions import RegionFilter, build_of_regions, read_regions, regions_for
from ..reference.folder import canonical_build, is_file_name
from ..reference.genome import Chromosome, Genome, ReferenceCoverage, coverage_error
from ..runtime.errors import InputError, UsageError, at_line
from ..runtime.outputs import atomic_output
from ..runtime.progress import progress
from . import options

SUMMARY = "write the ten-column mutation table of VCF/BCF or MAF files"
EXAMPLE = "mutflank table tumour.vcf.gz -o tumour.tsv --project PCAWG --reference reference"

NO_REFERENCE = "no reference file"
NOT_A_FILE_NAME = "chromosome cannot name a reference file (/, NUL, . or ..)"
REASONS = frozenset((NO_REFERENCE, NOT_A_FILE_NAME))
SINGLE_BASES = frozenset("ACGT")  # a set of str: "AC" is not in it
MATCHES_KEPT = 4096  # chromosome and build names remembered (bounded caches)
OPENED_AHEAD = 64  # inputs opened and checked before the first row is written


def add_arguments(parser):
    parser.add_argument("inputs", nargs="+", metavar="INPUT", type=options.input_path,
                        help="VCF, BCF or MAF file ('-' for standard input)")
    parser.add_argument("-o", "--output", default="-", metavar="TABLE",
                        help="table to write (default: standard output)")
    options.add_build(parser)
    parser.add_argument("--project", help="second part of every row key")
    options.add_reference(parser, help="match chromosome names to this reference folder's files")
    parser.add_argument("--sample", metavar="NAME",
                        help="the VCF sample column to take (default: every sample)")
    parser.add_argument("--pass-only", action="store_true",
                        help="keep only records whose FILTER is PASS or '.'")
    parser.add_argument("--allow-missing-chromosomes", action="store_true",
                        help="with --reference: go on when many records find no reference file")
    parser.add_argument("--regions", metavar="BED", type=options.input_path,
                        help="write only the records inside these regions (BED, plain or gzip); "
                        "with --reference, its chromosome names are matched to the reference's")
    same = parser.add_mutually_exclusive_group()
    same.add_argument("--label-by-input", action="store_true",
                      help="a sample name in several inputs: name each input's sample "
                      "FILE:SAMPLE (FILE alone for a one-sample VCF)")
    same.add_argument("--merge-samples", action="store_true",
                      help="a sample name in several inputs is one sample (a cohort split by "
                      "chromosome or region)")


def build_required(name, reference):
    """The usage error of a VCF whose build neither --build nor the reference folder tells."""
    if reference is None:
        return (f"--build is required for {name}: a VCF names no build (or give --reference "
                "with one build folder)")
    return (f"--build is required for {name}: a VCF names no build, and {reference.root} has "
            f"{len(reference.builds()) or 'no'} build folders")


def _check(source, args, reference):
    """Usage faults of one opened input, before anything is written."""
    name = source.name
    if source.kind == "table":
        raise InputError(f"{name}: already a mutation table, not a VCF, BCF or MAF file")
    if source.kind == "maf" and args.sample is not None:
        raise UsageError(f"--sample names a VCF sample column; {name} is a MAF file")
    if args.build is not None:
        return
    if source.kind in ("vcf", "bcf") and (reference is None or len(reference.builds()) != 1):
        raise UsageError(build_required(name, reference))
    if source.kind == "maf" and not source.names_build:
        raise UsageError(f"--build is required for {name}: its header (line "
                         f"{source.header_line}) has no NCBI_Build column")


class Rows:
    """Turns Records into table rows: the build folder label, the chromosome as the reference
    names it (or as written), the type and trimmed alleles."""

    def __init__(self, args, reference):
        self.build = args.build
        self.reference = reference
        self.pass_only = args.pass_only
        self.left_out = LeftOut()
        # Of the input being read: its records, and those without a reference file.
        self.coverage = ReferenceCoverage()
        self._builds = {}
        self._chromosomes = {}

    def _build_of(self, source, written, line):
        if not written:  # a VCF without --build: the reference's one build folder
            return self.reference.builds()[0]
        build = self._builds.get(written)
        if build is None:
            build = canonical_build(written)
            if build is None:
                raise InputError(at_line(source.name, line, f"build {written!r} cannot name a "
                                         "build folder: give --build"))
            if len(self._builds) < MATCHES_KEPT:
                self._builds[written] = build
        return build

    def _chromosome(self, build, chromosome):
        key = (build, chromosome)
        found = self._chromosomes.get(key, False)
        if found is False:
            if not is_file_name(chromosome):
                found = NOT_A_FILE_NAME
            elif self.reference is None:
                found = chromosome
            else:
                found = self.reference.lookup(build, chromosome)
                found = found.name if isinstance(found, Chromosome) else NO_REFERENCE
            if len(self._chromosomes) >= MATCHES_KEPT:
                self._chromosomes.clear()
            self._chromosomes[key] = found
        return found

    @staticmethod
    def _texts(project, ids, builds, targets, positions, refs, alts, chromosomes):
        """The row texts (without the sample) of records of any kind; a (reason, chromosome)
        in place of each record left out, and whether there is one."""
        texts = []
        dropped = False
        for ident, build, target, pos, ref, alt, chrom in zip(ids, builds, targets, positions,
                                                              refs, alts, chromosomes):
            if target in REASONS:
                texts.append((target, chrom))
                dropped = True
                continue
            variant = classify(pos, ref, alt)
            if isinstance(variant, str):
                texts.append((variant, chrom))
                dropped = True
                continue
            kind, start, ref, alt = variant
            end = start + len(ref) - 1 if ref != "-" else start
            texts.append(f"\t{project}\t{ident}\t{build}\t{kind}\t{target}\t{start}\t"
                         f"{end}\t{ref}\t{alt}\n")
        return texts, dropped

    def text(self, records, project):
        """The rows of one batch as bytes; the number of rows. Rows of one record and allele
        differ only in their sample: the rest of the row is made once per record."""
        source = records.input
        count = len(records)
        if not count:
            return b"", 0
        line, alt = records.line, records.alt
        changed = np.ones(count, dtype=bool)
        changed[1:] = (line[1:] != line[:-1]) | (alt[1:] != alt[:-1])
        heads = np.flatnonzero(changed)
        written = records.build[heads].tolist()
        distinct = dict.fromkeys(written)
        if len(distinct) > 1:  # the first line of each in order, so a fault names its line
            lines = line[heads].tolist()
            for index, text in enumerate(written):
                if distinct[text] is None:
                    distinct[text] = self._build_of(source, text, lines[index])
            builds = list(map(distinct.__getitem__, written))
        else:
            builds = [self._build_of(source, written[0], int(line[0]))] * len(written)
        chromosomes = records.chromosome[heads].tolist()
        if len(distinct) == 1:
            found = {chrom: self._chromosome(builds[0], chrom)
                     for chrom in dict.fromkeys(chromosomes)}
            targets = list(map(found.__getitem__, chromosomes))
        else:
            targets = [self._chromosome(build, chrom) for build, chrom in zip(builds, chromosomes)]
        refs, alts = records.ref[heads].tolist(), records.alt[heads].tolist()
        positions = records.position[heads].tolist()
        ids = records.id[heads].tolist()
        if (SINGLE_BASES.issuperset(refs) and SINGLE_BASES.issuperset(alts)
                and REASONS.isdisjoint(targets)):  # single-base substitutions only
            texts = [f"\t{project}\t{ident}\t{build}\tSNV\t{target}\t{pos}\t{pos}\t{ref}\t{alt}\n"
                     for ident, build, target, pos, ref, alt in zip(ids, builds, targets,
                                                                   positions, refs, alts)]
            dropped = False
        else:
            texts, dropped = self._texts(project, ids, builds, targets, positions, refs, alts,
                                         chromosomes)
        owner = (np.cumsum(changed) - 1).tolist()
        samples = records.sample.tolist()
        if self.reference is not None:
            sizes = np.diff(np.append(heads, count)).tolist()
            missing = [index for index, target in enumerate(targets) if target is NO_REFERENCE]
            self.coverage.add(sum(size for size, target in zip(sizes, targets)
                             if target is not NOT_A_FILE_NAME),
                         [builds[index] for index in missing for _ in range(sizes[index])],
                         [chromosomes[index] for index in missing for _ in range(sizes[index])])
        if dropped:
            kept = []
            for sample, index in zip(samples, owner):
                text = texts[index]
                if type(text) is tuple:
                    self.left_out.add(*text)
                else:
                    kept += (sample, text)
            return "".join(kept).encode("utf-8"), len(kept) // 2
        pieces = [""] * (2 * count)
        pieces[::2] = samples
        pieces[1::2] = map(texts.__getitem__, owner)
        return "".join(pieces).encode("utf-8"), count


def _write_all(output, data):
    """Writes all of `data`: a buffered pipe can take part of it and then fail, and the write
    then returns the part written instead of raising."""
    view = memoryview(data)
    while view:
        written = output.write(view)
        if written is None:
            return
        view = view[written:]


def run(args):
    prog = "mutflank table"
    if args.project is not None and any(c in args.project for c in "\t\r\n"):
        raise UsageError("--project may not hold a tab or a line break")
    if args.project is not None and not args.project.isascii():
        try:
            args.project.encode("utf-8")
        except UnicodeEncodeError:
            raise UsageError(f"--project {args.project!r} is not UTF-8 text") from None
    reference = None
    if args.reference is not None:
        reference = Genome(args.reference)
        if args.build is not None and reference.build(args.build) is None:
            raise InputError(f"{args.reference}: no {args.build} folder in the reference folder")
    if args.output != "-" and os.path.isdir(args.output):
        raise InputError(f"{args.output}: is a folder")
    check_distinct(args.inputs, "read")
    inside, warnings = _region_filter(args, reference)

    samples, total = {}, 0
    origins = {}  # sample name as written -> the first input that holds it
    rows = Rows(args, reference)
    by_input = collections.Counter()  # (reason, input) -> records left out
    with contextlib.ExitStack() as stack:
        # The inputs are opened and their headers read before anything is written (beyond
        # OPENED_AHEAD of them, each when its turn comes: descriptors are a bounded resource).
        sources = []
        for name in args.inputs[:OPENED_AHEAD]:
            source = stack.enter_context(open_input(name))
            _check(source, args, reference)
            sources.append(source)
        if args.output == "-":
            output = sys.stdout.buffer
        else:
            output = stack.enter_context(atomic_output(args.output, "wb",
                                                      inputs=options.inputs_of(args)))
        bar = stack.enter_context(progress(total=None, unit=" rows", desc="table"))
        for index, name in enumerate(args.inputs):
            if index < OPENED_AHEAD:
                source = sources[index]
            else:
                source = stack.enter_context(open_input(name))
                _check(source, args, reference)
            project = args.project if args.project is not None else source.stem
            before = collections.Counter(rows.left_out)
            declared = [args.sample] if args.sample is not None and source.samples else \
                source.samples
            if declared is not None:
                _note_origins(declared, name, origins, args)
            for records in read(source, sample=args.sample, pass_only=args.pass_only,
                                build=args.build):
                records = inside(records)
                rows.left_out.update(records.left_out)
                if declared is None:
                    _note_origins(dict.fromkeys(records.sample.tolist()), name, origins, args)
                if args.label_by_input:
                    records.sample = _labelled(records.sample, source.stem,
                                               declared is not None and len(declared) == 1)
                text, count = rows.text(records, project)
                if count:
                    _write_all(output, text)
                total += count
                bar.update(count)
                if source.samples is None:
                    samples.update(dict.fromkeys(records.sample.tolist()))
            if source.samples is not None:
                samples.update(dict.fromkeys(source.samples))
            source.close()
            if reference is not None:
                message = coverage_error(name, rows.coverage, reference)
                if message is not None and not args.allow_missing_chromosomes:
                    raise InputError(f"{message} (--allow-missing-chromosomes goes on without "
                                     "them)")
                if message is not None:
                    warnings.append(f"warning: {message} Left out, going on "
                                    "(--allow-missing-chromosomes)")
                rows.coverage = ReferenceCoverage()
            for (reason, _), count in (collections.Counter(rows.left_out) - before).items():
                by_input[(reason, name)] += count
        output.flush()
    where = "standard output" if args.output == "-" else args.output
    print(f"{prog}: wrote {total:,} row{'' if total == 1 else 's'} of {len(samples):,} "
          f"sample{'' if len(samples) == 1 else 's'} to {where}", file=sys.stderr)
    for line in warnings + _summary(rows.left_out, by_input if len(args.inputs) > 1 else None):
        print(f"{prog}: {line}", file=sys.stderr)


def _region_filter(args, reference):
    """The filter of --regions (every record without it) and the warning lines it gives."""
    if not args.regions:
        return (lambda records: records), []
    if reference is None:
        return RegionFilter(read_regions(args.regions)).apply, []
    build = build_of_regions(reference, args.build, args.reference)
    regions = regions_for(args.regions, reference, build)
    found = RegionFilter(regions, known=lambda name: reference.chromosome(build, name)
                         is not None)
    return found.apply, [f"warning: {regions.missing_line()}"] if regions.missing else []


def _note_origins(names, name, origins, args):
    """Notes the input of each sample name; one name from two inputs is an error unless the
    user said what it means."""
    for sample in names:
        first = origins.setdefault(sample, name)
        if first != name and not (args.merge_samples or args.label_by_input):
            raise InputError(
                f"sample {sample} comes from more than one input ({first}, {name}): give "
                "--label-by-input for a sample per input, or --merge-samples if the inputs are "
                "one cohort split by chromosome or region")


def _labelled(samples, stem, alone):
    """The sample column with --label-by-input: STEM for the one sample of a VCF, else
    STEM:SAMPLE."""
    if alone:
        return np.full(len(samples), stem, dtype=object)
    return np.array([f"{stem}:{sample}" for sample in samples.tolist()], dtype=object)


def _summary(left_out, by_input, shown=8):
    """The left-out lines; with several inputs each names the inputs concerned."""
    lines = summary_lines(left_out)
    if not by_input:
        return lines
    totals = collections.Counter()
    for (reason, _), count in left_out.items():
        totals[reason] += count
    reasons = sorted((reason for reason in totals if totals[reason]),
                     key=lambda reason: (-totals[reason], reason))
    for index, reason in enumerate(reasons):
        inputs = sorted(((name, count) for (cause, name), count in by_input.items()
                         if cause == reason and count), key=lambda item: -item[1])
        named = ", ".join(f"{name} ({count:,})" for name, count in inputs[:shown])
        if len(inputs) > shown:
            named += f" and {len(inputs) - shown} more inputs"
        lines[index] += f"; in {named}"
    return lines
