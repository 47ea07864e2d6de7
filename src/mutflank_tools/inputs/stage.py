"""The input stage: the rules every verb that reads mutation inputs (`table`, `matrix`) applies
to them, each in one place, so that the verbs agree on options and messages.

- the inputs: named on the command line and in a --table-list file, each file once, none of
  them an output (the list file is an input too): `input_paths`, `files_read`;
- the samples: --sample and --exclude (`SampleChoice`), one sample name from several inputs
  (`Origins`: an error unless --label-by-input or --merge-samples), and the labels of
  --label-by-input (`input_labels`, `sample_label`);
- the build: --build, else the reference's one build folder (`resolve_build`, `build_fault`);
- the chromosomes: looked up in the reference (`chromosome_of`) and the 5% rule applied with
  one wording (`coverage_warnings`);
- the regions: --regions read once and matched to the reference (`regions_of`), and the one
  rule of the records inside them (`region_filter`, inputs/regions.py);
- what is left out: one `left_out.LeftOut`, with one wording.

A verb opens each input through `open.open_input` and reads it through `Stage.read`, which
applies these rules input by input, here or on a Dask worker; what a verb makes of the records
(rows of a table, a tally of matrices) is its own."""

import collections
import dataclasses
import os

import numpy as np

from ..reference.folder import is_file_name
from ..reference.genome import NOT_A_FILE_NAME, coverage_error
from ..runtime.errors import InputError, UsageError, shown
from .open import BATCH_RECORDS, check_distinct, read
from .records import sample_from_path
from .regions import RegionFilter, read_regions

# ---- the inputs -----------------------------------------------------------------------------


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


def input_paths(inputs, table_list=None):
    """The inputs of a run: those named, then those of the --table-list file. UsageError when
    there is none or when one file is named twice."""
    paths = [str(path) for path in inputs]
    if table_list is not None:
        paths += read_table_list(table_list)
    if not paths:
        raise UsageError("no input: name the files to read, or --table-list FILE")
    check_distinct(paths, "read")
    return paths


def files_read(named, paths):
    """Every file a run reads, none of which may be an output: the files its options name
    (`named`: the inputs and the --table-list file) and the inputs the list names."""
    return list(dict.fromkeys([*map(str, named), *paths]))


# ---- the samples ----------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class SampleChoice:
    """--sample and --exclude: the samples kept. --sample keeps only the samples it names
    (all when not given); --exclude leaves out those it names, also when --sample names them.
    Every name must be held by some input (`fault`). Plain data, sent to Dask workers."""

    samples: frozenset = None
    exclude: frozenset = frozenset()

    @classmethod
    def of(cls, sample_lists, exclude_lists):
        """The choice of the repeatable options (lists of lists of names, or None)."""
        samples = {name for names in sample_lists or () for name in names}
        exclude = {name for names in exclude_lists or () for name in names}
        return cls(frozenset(samples) if sample_lists else None, frozenset(exclude))

    def __post_init__(self):
        # Every name of --sample and --exclude, asked of every input.
        object.__setattr__(self, "named", (self.samples or frozenset()) | self.exclude)

    def keeps(self, sample):
        return (self.samples is None or sample in self.samples) and sample not in self.exclude

    def column(self, source):
        """The one sample column of a VCF/BCF to read, or None for every column. A VCF with
        genotypes: the one column chosen, when --sample chooses exactly one; a VCF without
        genotypes (one sample, named after its file): the column --sample chooses among its
        columns names that sample."""
        columns = getattr(source, "columns", None)
        if self.samples is None or not columns:
            return None
        chosen = [name for name in columns if name in self.samples]
        return chosen[0] if len(chosen) == 1 else None

    def held(self, names):
        """The names of --sample and --exclude among `names`."""
        named = self.named
        return {name for name in names if name in named} if named else set()

    def take(self, records):
        """The records of the samples kept (the batch itself when every one is)."""
        if self.samples is None and not self.exclude:
            return records
        samples = records.sample.tolist()
        keep = np.fromiter(map(self.keeps, samples), dtype=bool, count=len(samples))
        if keep.all():
            return records
        return records.take(keep, records.left_out)

    def fault(self, held):
        """The complaint about names of --sample or --exclude that no input holds (`held`:
        the names that some input holds), or None."""
        for option, names in (("--sample", self.samples or ()), ("--exclude", self.exclude)):
            absent = sorted(set(names) - set(held))
            if absent:
                return (f"{option} {', '.join(map(shown, absent))}: no input holds "
                        f"{'this sample' if len(absent) == 1 else 'these samples'}")
        return None


def header_samples(source):
    """The samples an input's header names (a VCF/BCF's), or None for an input whose samples
    are told by its records."""
    return list(source.samples) if source.kind in ("vcf", "bcf") and source.samples else None


def named_samples(source, column):
    """The samples of a VCF/BCF as read with `column` (SampleChoice.column): its header's, or
    the column that names the one sample of a VCF without genotypes; None for an input whose
    samples are told by its records."""
    declared = header_samples(source)
    if declared is not None and column is not None and declared != source.columns:
        return [column]
    return declared


class Origins(dict):
    """Sample name -> the first two inputs (by number) that hold it; adds up with `merge`."""

    def note(self, sample, index):
        held = self.get(sample, ())
        if index not in held and len(held) < 2:
            self[sample] = tuple(sorted(held + (index,)))
        elif index not in held and index < held[-1]:
            self[sample] = tuple(sorted(held[:1] + (index,)))

    def merge(self, other):
        for sample, held in other.items():
            for index in held:
                self.note(sample, index)
        return self

    def fault(self, names):
        """The complaint about the first sample name held by two inputs (`names`: input
        number -> name), or None."""
        for sample, held in self.items():
            if len(held) > 1:
                first, second = (names[index] for index in held)
                return (f"sample {shown(sample)} comes from more than one input ({first}, "
                        f"{second}): give --label-by-input for a sample per input, or --merge-samples if "
                        "the inputs are one cohort split by chromosome or region")
        return None


def input_labels(names):
    """The label of each input for --label-by-input: the shortest suffix of its path (the file
    name without its format suffixes, then with as many folders before it as it takes) that no
    other input shares; the name as given where even the whole path does not tell two apart
    (calls.vcf beside calls.maf)."""
    parts = []
    for name in names:
        pieces = [piece for piece in os.path.normpath(name).split(os.sep) if piece]
        pieces = pieces or [name]
        pieces[-1] = sample_from_path(pieces[-1])
        if os.path.isabs(name):
            pieces[0] = os.sep + pieces[0]
        parts.append(pieces)
    labels = [None] * len(names)
    for size in range(1, max(map(len, parts), default=0) + 1):
        # The inputs whose ending of `size` parts no other input shares (one pass a size).
        endings = collections.Counter(tuple(mine[-size:]) for mine in parts)
        for index, mine in enumerate(parts):
            if labels[index] is None and endings[tuple(mine[-size:])] == 1:
                labels[index] = "/".join(mine[-size:])
    return [label if label is not None else name for label, name in zip(labels, names)]


def sample_label(input_label, sample, alone):
    """A sample's label with --label-by-input: the input's label alone for an input whose
    header names one sample (a VCF of one sample column, or without genotypes), else
    INPUT:SAMPLE."""
    return input_label if alone else f"{input_label}:{sample}"


class Stage:
    """The stage's reading of one input after another, the same for every verb: the build
    checked as each input is opened (`check`), then its records read with the chosen samples
    only (`read`), noting the names of --sample/--exclude that an input holds (`held`) and the
    inputs each kept sample comes from (`origins`). `build`: --build, the build of VCF and MAF
    records (a table's records keep their own)."""

    def __init__(self, choice, default_build, genome, *, build=None, pass_only=False,
                 held=None, origins=None):
        self.choice, self.default_build, self.genome = choice, default_build, genome
        self.build, self.pass_only = build, pass_only
        self.held = set() if held is None else held
        self.origins = Origins() if origins is None else origins

    def check(self, source):
        """UsageError when the opened input's records name no build and none is given."""
        check_build(source, self.default_build, self.genome)

    def read(self, index, source, batch_size=BATCH_RECORDS, rows=None, snvs=None):
        """The Records batches of the opened input number `index`, of the chosen samples; with
        `rows` (vcf.RowsWanted, a VCF only), their table rows (vcf.TableRows): the reader's
        own choice of samples is then the stage's, a VCF's samples being its header's. `snvs`:
    a counter's hook for the SNVs of VCF text (open.read)."""
        choice = self.choice
        declared = header_samples(source)
        column = choice.column(source)
        if declared is not None:  # a VCF's samples are its header's, with calls or not
            self.held |= choice.held(declared + [column])
            for sample in named_samples(source, column):
                if choice.keeps(sample):
                    self.origins.note(sample, index)
        for records in read(source, sample=column, pass_only=self.pass_only,
                            build=self.build if source.kind != "table" else None,
                            batch_size=batch_size, samples=choice.samples,
                            exclude=choice.exclude, held=self.held, rows=rows, snvs=snvs):
            if rows is not None:
                yield records
                continue
            if declared is None:
                names = set(records.sample.tolist())
                self.held |= choice.held(names)
                for sample in names:
                    if choice.keeps(sample):
                        self.origins.note(sample, index)
            yield choice.take(records)

    def faults(self, names, merged):
        """InputError as `check_samples` says."""
        check_samples(self.choice, self.held, self.origins, names, merged)


def check_samples(choice, held, origins, names, merged):
    """InputError for a sample name that comes from several inputs (`origins`; `names`: input
    number -> name) unless `merged` (--label-by-input or --merge-samples), then for a name of
    --sample or --exclude that no input holds (`held`)."""
    message = None if merged else origins.fault(names)
    if message is None:
        message = choice.fault(held)
    if message is not None:
        raise InputError(message)


# ---- the build --------------------------------------------------------------------------------

def resolve_build(build, genome, root):
    """(the build folder of --build, the build of records that name none): --build (as the
    reference's folder names it, with a reference), else the reference's one build folder,
    else None. InputError when the reference has no build folder or none of --build."""
    if genome is None:
        return build, build
    builds = genome.builds()
    if not builds:
        raise InputError(f"{root}: no build folder in the reference folder")
    if build is not None:
        found = genome.build(build)
        if found is None:
            raise InputError(f"{root}: no {build} folder in the reference folder (it holds "
                             f"{genome.describe()})")
        return found, found
    return None, builds[0] if len(builds) == 1 else None


def build_fault(name, what, genome):
    """The usage error of input `name` whose records name no build (`what` says why) when
    neither --build nor the reference's one build folder tells it."""
    if genome is None:
        return (f"--build is required for {name}: {what} (or give --reference with one build "
                "folder)")
    count = len(genome.builds())
    return (f"--build is required for {name}: {what}, and {genome.root} has {count or 'no'} "
            f"build folder{'' if count == 1 else 's'}")


def check_build(source, default_build, genome):
    """UsageError when the records of an opened input name no build and none is given."""
    if default_build is not None or source.kind == "table":
        return
    if source.kind in ("vcf", "bcf"):
        raise UsageError(build_fault(source.name, "a VCF names no build", genome))
    if source.kind == "maf" and not source.names_build:
        raise UsageError(build_fault(source.name, f"its header (line {source.header_line}) has "
                                     "no NCBI_Build column", genome))


# ---- the chromosomes --------------------------------------------------------------------------

def chromosome_of(genome, build, chromosome):
    """The reference's Chromosome of a record, or the reason it has none (the reasons of
    `Genome.lookup`); without a reference, the name as written when it can name a file."""
    if genome is not None:
        return genome.lookup(build, chromosome)
    return chromosome if is_file_name(chromosome) else NOT_A_FILE_NAME


def coverage_warnings(coverages, names, genome, allow):
    """The 5% rule: InputError for the first input (by number) whose records too often find
    no reference file, unless `allow` (--allow-missing-chromosomes); then the warning lines.
    `coverages`: input number -> ReferenceCoverage."""
    warnings = []
    for index in sorted(coverages):
        message = coverage_error(names[index], coverages[index], genome)
        if message is None:
            continue
        if not allow:
            raise InputError(f"{message} (--allow-missing-chromosomes goes on without them)")
        warnings.append(f"warning: {message} Left out, going on (--allow-missing-chromosomes)")
    return warnings


# ---- the regions ------------------------------------------------------------------------------

def regions_of(path, genome, build, root):
    """(the Regions of --regions `path`, or None without it; the warning lines they give).
    With a reference their chromosomes are matched to the files of `build` (the build folder
    of --build, else the reference's one build folder: UsageError when neither tells);
    without one they are kept as written."""
    if path is None:
        return None, []
    if genome is None:
        return read_regions(path), []
    if build is None:
        builds = genome.builds()
        raise UsageError(f"--regions needs --build: the reference {root} has "
                         f"{len(builds) or 'no'} build folders")
    regions = read_regions(path).matched(set(genome.chromosomes(build)), build)
    return regions, [f"warning: {regions.missing_line()}"] if regions.missing else []


def region_filter(regions, genome):
    """The inputs.regions.RegionFilter of `regions` (its `apply`: the records inside; its
    `keep`: which records are inside), or None without regions. A record on a chromosome the
    reference lacks passes, so that the reference's checks see it as they do without
    regions."""
    if regions is None:
        return None
    if genome is None:
        return RegionFilter(regions)
    return RegionFilter(regions, known=lambda name: genome.chromosome(regions.build, name)
                        is not None)
