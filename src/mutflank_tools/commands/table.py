"""`mutflank table`: VCF/BCF and MAF files to one ten-column mutation table.

One row per sample and alternate allele, tab-separated:

    sample  project  ID  build  type  chromosome  position  end  REF  ALT

Type is "SNV" for a single-base substitution (the rows the module counts), "DBS" for two
adjacent substituted bases, "MNV" for more, "INDEL" when the alleles differ in length and
"OTHER" for substitutions involving bases other than A, C, G, T; equal-length alleles are
trimmed of their common bases first (the engine's table_rows). The inputs, samples, build and
chromosomes are the input stage's (inputs/stage.py), as for `matrix`: the table is the same
pipeline's other output."""

import contextlib
import os
import sys

import numpy as np

from .. import _engine
from ..inputs import stage
from ..inputs.left_out import LeftOut
from ..inputs.open import open_input
from ..inputs.records import NOT_VARIANT, SYMBOLIC
from ..inputs.vcf import RowsWanted
from ..reference.folder import canonical_build
from ..reference.genome import NO_BUILD, NO_FILE, NOT_A_FILE_NAME, Chromosome, Genome, \
    ReferenceCoverage
from ..runtime.errors import InputError, UsageError, at_line
from ..runtime.outputs import OutputSet
from ..runtime.progress import progress
from . import options

SUMMARY = "write the ten-column mutation table of VCF/BCF or MAF files"
EXAMPLE = "mutflank table tumour.vcf.gz -o tumour.tsv --project PCAWG --reference reference"

REASONS = frozenset((NO_BUILD, NO_FILE, NOT_A_FILE_NAME))  # a chromosome without a file
MATCHES_KEPT = 4096  # chromosome and build names remembered (bounded caches)
OPENED_AHEAD = 64  # inputs opened and checked before the first row is written
FAULTS = (NOT_VARIANT, SYMBOLIC)  # the reasons of alleles that give no row


def add_arguments(parser):
    parser.add_argument("inputs", nargs="*", metavar="INPUT", type=options.input_path,
                        help="VCF, BCF or MAF file ('-' for standard input)")
    parser.add_argument("-o", "--output", default="-", metavar="TABLE",
                        help="table to write (default: standard output)")
    options.add_build(parser)
    parser.add_argument("--project", help="second part of every row key")
    options.add_reference(parser, help="match chromosome names to this reference folder's files")
    options.add_table_list(parser)
    options.add_pass_only(parser)
    options.add_samples(parser)
    options.add_allow_missing_chromosomes(parser)
    options.add_regions(parser)


def _check(source, reading):
    """Faults of one opened input, before anything is written."""
    if source.kind == "table":
        raise InputError(f"{source.name}: already a mutation table, not a VCF, BCF or MAF file")
    reading.check(source)


class Rows:
    """Turns Records into table rows: the build folder label, the chromosome as the reference
    names it (or as written), the type and trimmed alleles."""

    def __init__(self, reference, default_build):
        self.build = default_build
        self.reference = reference
        self.left_out = LeftOut()
        self.input = None  # the number of the input being read
        # Of the input being read: its records, and those without a reference file.
        self.coverage = ReferenceCoverage()
        self._builds = {}
        self._chromosomes = {}

    def _build_of(self, source, written, line):
        if not written:  # records that name no build: the reference's one build folder
            return self.build
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
            found = stage.chromosome_of(self.reference, build, chromosome)
            if isinstance(found, Chromosome):
                found = found.name
            if len(self._chromosomes) >= MATCHES_KEPT:
                self._chromosomes.clear()
            self._chromosomes[key] = found
        return found

    def _place(self, source):
        """The `place` of _engine.table_rows for records of `source`: (build folder,
        chromosome as the row names it, the reason a record is left out or None)."""
        def place(written, chromosome, line):
            build = self._build_of(source, written, line)
            target = self._chromosome(build, chromosome)
            if target in REASONS:  # a reason, not a chromosome name
                return build, chromosome, target
            return build, target, None
        return place

    def text(self, records, project):
        """The rows of one batch as bytes; the number of rows. The engine writes them
        (_engine.table_rows), asking `_place` once per run of records of one build and
        chromosome."""
        if not len(records):
            return b"", 0
        text, count, dropped, missing, missing_count = _engine.table_rows(
            records.sample, records.id, records.build, records.chromosome, records.position,
            records.ref, records.alt, records.line, project, self._place(records.input),
            FAULTS)
        self._note(len(records), dropped, missing, missing_count)
        return text, count

    def wanted(self, source, project, label, alone):
        """What a VCF's reader needs to write its rows itself (inputs.vcf.RowsWanted), with
        the sample labels of --label-by-input when `label` is not None."""
        naming = None
        if label is not None:
            naming = lambda sample: stage.sample_label(label, sample, alone)  # noqa: E731
        return RowsWanted(naming, project, self._place(source), FAULTS)

    def written(self, rows):
        """The text and number of the rows of a batch that the reader wrote (TableRows)."""
        self._note(rows.records, rows.dropped, rows.missing, rows.missing_count)
        return rows.text, rows.rows

    def _note(self, records, dropped, missing, missing_count):
        """What `place` left out of a batch of `records` records."""
        for reason, chromosome, records_left in dropped:
            self.left_out.add(reason, chromosome, records_left, input=self.input)
        if self.reference is not None:
            self.coverage.add(records, [build for build, _ in missing],
                              [chromosome for _, chromosome in missing], missing_count)


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
    paths = stage.input_paths(args.inputs, args.table_list)
    reference = None
    if args.reference is not None:
        reference = Genome(args.reference)
    build, default_build = stage.resolve_build(args.build, reference, args.reference)
    if args.output != "-" and os.path.isdir(args.output):
        raise InputError(f"{args.output}: is a folder")
    choice = stage.SampleChoice.of(args.sample, args.exclude)
    labels = stage.input_labels(paths) if args.label_by_input else None
    regions, region_warnings = stage.regions_of(args.regions, reference,
                                                build or default_build, args.reference)
    rule = stage.region_filter(regions, reference)
    inside = None if rule is None else rule.apply

    samples, total = {}, 0
    reading = stage.Stage(choice, default_build, reference, build=build,
                          pass_only=args.pass_only)
    rows = Rows(reference, default_build)
    warnings = region_warnings
    with contextlib.ExitStack() as stack:
        # The inputs are opened and their headers read before anything is written (beyond
        # OPENED_AHEAD of them, each when its turn comes: descriptors are a bounded resource).
        sources = []
        for name in paths[:OPENED_AHEAD]:
            source = stack.enter_context(open_input(name))
            _check(source, reading)
            sources.append(source)
        if args.output == "-":
            output = sys.stdout.buffer
        else:
            # The set is entered empty, then its file opened: a stop between the two steps
            # of enter_context finds nothing made yet.
            outputs = stack.enter_context(OutputSet(
                inputs=stage.files_read(options.inputs_of(args), paths)))
            output = outputs.open(args.output, "wb")
        bar = stack.enter_context(progress(total=None, unit=" rows", desc="table"))
        for index, name in enumerate(paths):
            if index < OPENED_AHEAD:
                source = sources[index]
            else:
                source = stack.enter_context(open_input(name))
                _check(source, reading)
            rows.input = index
            project = args.project if args.project is not None else source.stem
            declared = stage.header_samples(source)
            alone = declared is not None and len(declared) == 1
            if declared is not None:  # the samples the header names, with calls or not
                kept = [sample for sample in stage.named_samples(source, choice.column(source))
                        if choice.keeps(sample)]
                if labels is not None:
                    kept = [stage.sample_label(labels[index], sample, alone) for sample in kept]
                samples.update(dict.fromkeys(kept))
            # A VCF's rows are written by its reader, without Records, unless --regions
            # takes some of them.
            wanted = None
            if source.kind == "vcf" and inside is None:
                wanted = rows.wanted(source, project,
                                     None if labels is None else labels[index], alone)
            for records in reading.read(index, source, rows=wanted):
                if wanted is not None:
                    rows.left_out.merge(records.left_out, index)
                    text, count = rows.written(records)
                    if count:
                        _write_all(output, text)
                    total += count
                    bar.update(count)
                    continue
                if inside is not None:
                    records = inside(records)
                rows.left_out.merge(records.left_out, index)
                if labels is not None:
                    records.sample = _labelled(records.sample, labels[index], alone)
                text, count = rows.text(records, project)
                if count:
                    _write_all(output, text)
                total += count
                bar.update(count)
                if declared is None:
                    samples.update(dict.fromkeys(records.sample.tolist()))
            source.close()
            message = reading.origins.fault(dict(enumerate(paths)))
            if message is not None and not (args.merge_samples or args.label_by_input):
                raise InputError(message)  # as soon as a second input holds the name
            if reference is not None:
                warnings += stage.coverage_warnings({index: rows.coverage}, {index: name},
                                                    reference, args.allow_missing_chromosomes)
                rows.coverage = ReferenceCoverage()
        reading.faults(dict(enumerate(paths)), args.merge_samples or args.label_by_input)
        output.flush()
    where = "standard output" if args.output == "-" else args.output
    print(f"{prog}: wrote {total:,} row{'' if total == 1 else 's'} of {len(samples):,} "
          f"sample{'' if len(samples) == 1 else 's'} to {where}", file=sys.stderr)
    for line in warnings + rows.left_out.lines(dict(enumerate(paths))):
        print(f"{prog}: {line}", file=sys.stderr)


def _labelled(samples, label, alone):
    """The sample column with --label-by-input (stage.sample_label)."""
    if alone:
        return np.full(len(samples), label, dtype=object)
    return np.array([stage.sample_label(label, sample, False) for sample in samples.tolist()],
                    dtype=object)
