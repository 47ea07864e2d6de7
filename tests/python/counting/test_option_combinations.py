"""`mutflank matrix` over combinations of its options: every kind alone and in pairs, with and
without merged doublets, chosen samples, regions, several inputs labelled or merged, on small
seeded inputs of every shape of record (SNVs, adjacent SNVs, records of two and more bases,
indels, records off the reference, wrong REF bases, an empty input) written as a VCF, a MAF or a
ten-column table. Each run is held to a plain model of its totals per column and kind, and of
the records it leaves out: a kind's counts do not depend on which other kinds are chosen, and
every record of a chosen sample is either counted or left out."""

import copy
import random
import re
from pathlib import Path

import pytest

from cli_support import MAF_HEADER, write_text

pytest.importorskip("mutflank_tools")  # not installed under make sanitize
from mutflank_tools.cli import main  # noqa: E402
from mutflank_tools.counting import doublets  # noqa: E402

BUILD = "GRCh38"
RNG = random.Random(1536)
GENOMES = {"1": "".join(RNG.choice("ACGT") for _ in range(2400)),
           "2": "".join(RNG.choice("ACGT") for _ in range(1200))}
# One gene on each chromosome (1-based, inclusive); SBS192 counts the SNVs inside them.
GENES = {"1": (200, 1100, "+"), "2": (300, 800, "-")}
# The --regions BED (0-based, end excluded).
REGIONS = {"1": (600, 1700), "2": (0, 500)}
SAMPLES = ("S1", "S2", "S3")
KINDS = ("SBS6", "SBS96", "SBS1536", "SBS192", "SBS384", "DBS78", "ID83")
CLASS = {"SBS6": "SBS", "SBS96": "SBS", "SBS1536": "SBS", "SBS192": "SBS", "SBS384": "SBS",
         "DBS78": "DBS", "ID83": "ID"}
# Shapes of events: the bases each takes (from its position) and the records it writes.
EVENTS = ("snv", "pair", "triple", "doublet", "mbs", "split", "mixed", "deletion", "insertion",
          "wrong", "past_end", "no_file")
SPAN = {"snv": 1, "pair": 2, "triple": 3, "doublet": 2, "mbs": 3, "split": 3, "mixed": 4,
        "deletion": 2, "insertion": 1, "wrong": 1, "past_end": 1, "no_file": 1}


def other(base, step=1):
    return "ACGT"[("ACGT".index(base) + step) % 4]


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    folder = tmp_path_factory.mktemp("reference")
    fasta = write_text(folder / "g.fa", "".join(f">{name}\n{bases}\n"
                                                for name, bases in GENOMES.items()))
    gtf = write_text(folder / "genes.gtf", "".join(
        f"{name}\tt\tgene\t{start}\t{end}\t.\t{strand}\t.\tgene_id \"g{name}\";\n"
        for name, (start, end, strand) in GENES.items()))
    assert main(["reference", str(fasta), str(folder / "ref"), "--build", BUILD,
                 "--annotation", str(gtf)]) == 0
    return folder / "ref"


class Event:
    """Records of one sample around one place, that nothing else comes near."""

    def __init__(self, shape, sample, chromosome, position, rng):
        self.shape, self.sample, self.chromosome, self.position = shape, sample, chromosome, \
            position
        bases = GENOMES[chromosome]
        here = bases[position - 1:position - 1 + SPAN[shape]]
        if shape in ("snv", "pair", "triple"):
            self.records = [(chromosome, position + i, base, other(base, rng.randint(1, 3)))
                            for i, base in enumerate(here)]
        elif shape in ("doublet", "mbs"):
            self.records = [(chromosome, position, here,
                             "".join(other(base, rng.randint(1, 3)) for base in here))]
        elif shape == "split":  # two SNVs two bases apart, the base between them unchanged
            self.records = [(chromosome, position, here,
                             other(here[0]) + here[1] + other(here[2], 2))]
        elif shape == "mixed":  # an SNV and a doublet, one base apart
            self.records = [(chromosome, position, here,
                             other(here[0]) + here[1] + other(here[2]) + other(here[3], 3))]
        elif shape == "deletion":  # written with its anchor base
            self.records = [(chromosome, position, here, here[0])]
        elif shape == "insertion":
            self.records = [(chromosome, position, here, here + rng.choice("ACGT"))]
        elif shape == "wrong":
            self.records = [(chromosome, position, other(here, 2), other(here, 3))]
        elif shape == "past_end":
            self.records = [("2", len(GENOMES["2"]) + 5, "A", "C")]
        else:  # a chromosome the reference lacks
            self.records = [("9", position, "A", "G")]


def events_of(seed, samples, count):
    """`count` events of each sample, every shape at least once, none beside the next of its
    sample; positions clear of the chromosome ends."""
    rng = random.Random(seed)
    events = []
    for sample in samples:
        shapes = list(EVENTS) + [rng.choice(EVENTS[:9]) for _ in range(count - len(EVENTS))]
        slots = {name: sorted(rng.sample(range(2, len(bases) // 7 - 2), len(shapes)))
                 for name, bases in GENOMES.items()}
        rng.shuffle(shapes)
        for number, shape in enumerate(shapes):
            chromosome = "1" if number % 3 else "2"
            position = 7 * slots[chromosome][number] + rng.randint(0, 2)
            events.append(Event(shape, sample, chromosome, position, rng))
    return events


def records_of(events, shuffle=None):
    """(chromosome, position, REF, ALT, sample) of the events' records, as an input holds
    them: in order of chromosome and position, or shuffled by the random.Random `shuffle`."""
    rows = sorted(((*record, event.sample) for event in events for record in event.records),
                  key=lambda row: (row[0], row[1]))
    if shuffle is not None:
        shuffle.shuffle(rows)
    return rows


def write_input(path, events, form, shuffle=None):
    """Writes the records of events (records_of) as a VCF (a column per sample), a MAF or a
    ten-column table; returns the path."""
    rows = records_of(events, shuffle)
    if form == "vcf":
        samples = sorted({row[4] for row in rows}) or ["S1"]
        lines = ["##fileformat=VCFv4.2", '##FORMAT=<ID=GT,Number=1,Type=String,Description="">',
                 "\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO",
                            "FORMAT", *samples])]
        lines += ["\t".join([chromosome, str(position), ".", ref, alt, ".", "PASS", ".", "GT",
                             *["0/1" if name == sample else "0/0" for name in samples]])
                  for chromosome, position, ref, alt, sample in rows]
        return write_text(path, "\n".join(lines) + "\n")
    if form == "maf":  # indels as a MAF writes them, without the anchor base
        return write_text(path, "\t".join(MAF_HEADER) + "\n" + "".join(
            f"G\t{chromosome}\t{position}\t{end}\tSNP\t{ref}\t{ref}\t{alt}\t{sample}\t{BUILD}\n"
            for chromosome, position, end, ref, alt, sample in map(maf_row, rows)))
    return write_text(path, "".join(
        f"{sample}\tP\t.\t{BUILD}\tSNV\t{chromosome}\t{position}\t{position + len(ref) - 1}"
        f"\t{ref}\t{alt}\n" for chromosome, position, ref, alt, sample in rows))


def maf_row(row):
    """(chromosome, Start_Position, End_Position, REF, ALT, sample) of a record as a MAF writes
    it: an insertion after Start_Position, a deletion from it, their empty allele '-'."""
    chromosome, position, ref, alt, sample = row
    if len(ref) < len(alt):
        return chromosome, position, position + 1, "-", alt[1:], sample
    if len(ref) > len(alt):
        return chromosome, position + 1, position + len(ref) - 1, ref[1:], "-", sample
    return chromosome, position, position + len(ref) - 1, ref, alt, sample


def write_bed(path):
    return write_text(path, "".join(f"{name}\t{start}\t{end}\n"
                                    for name, (start, end) in REGIONS.items()))


def units(event, merge):
    """(mutation class, first base, bases, input records it stands for) of each mutation the
    event's records make once checked and merged (an indel's first base: the one after its
    anchor); None for an event whose records are all left out before (a wrong REF, off the
    reference)."""
    at = event.position
    if event.shape in ("wrong", "past_end", "no_file"):
        return None
    if event.shape == "pair" and merge:
        return [("DBS", at, 2, 2)]
    if event.shape == "triple" and merge or event.shape == "mbs":
        return []
    if event.shape in ("snv", "pair", "triple"):
        return [("SBS", at + i, 1, 1) for i in range(SPAN[event.shape])]
    if event.shape == "split":  # one record, two SNVs: the first stands for the record
        return [("SBS", at, 1, 1), ("SBS", at + 2, 1, 0)]
    if event.shape == "mixed":
        return [("SBS", at, 1, 1), ("DBS", at + 2, 2, 0)]
    if event.shape == "doublet":
        return [("DBS", at, 2, 1)]
    return [("ID", at + 1, 1, 1)]


def inside(chromosome, first, bases, ranges):
    start, end = ranges[chromosome]
    return start < first and first + bases - 1 <= end


def model(inputs, kinds, *, merge=True, samples=None, exclude=(), regions=False,
          by_input=False, labels=None, alone=None):
    """(columns, {kind: {column: total}}, mutations counted, [records left out of each
    input]) that a run over `inputs` ([(events of one input, ids of the events that copy one
    of an earlier input)]) gives: every record of a chosen sample is counted in some chosen
    kind or left out (as the records the mutation stands for); a mutation that one chosen kind
    leaves out ("for" it) while another counts it is both. With `by_input`, a column is
    labelled INPUT:SAMPLE, or INPUT alone for an input whose header names one sample."""
    totals = {kind: {} for kind in kinds}
    columns, mutations, left_out = set(), 0, [0] * len(inputs)
    for number, (events, copies) in enumerate(inputs):
        for event in events:
            if samples is not None and event.sample not in samples or event.sample in exclude:
                continue
            column = event.sample if not by_input else labels[number] if alone[number] \
                else f"{labels[number]}:{event.sample}"
            columns.add(column)
            made = units(event, merge)
            if made is None or id(event) in copies:  # left out, or counted once already
                left_out[number] += len(event.records)
                continue
            counted = 0
            for mutation_class, first, bases, records in made:
                if regions and not inside(event.chromosome, first, bases, REGIONS):
                    continue
                start, end, _ = GENES[event.chromosome]
                takes = [kind for kind in kinds if CLASS[kind] == mutation_class
                         and (kind != "SBS192" or start <= first <= end)]
                for kind in takes:
                    totals[kind][column] = totals[kind].get(column, 0) + 1
                if takes:
                    mutations += 1
                    counted += records
                    if "SBS192" in kinds and "SBS192" not in takes and mutation_class == "SBS":
                        left_out[number] += records
            left_out[number] += len(event.records) - counted
    return sorted(columns), {kind: {column: n for column, n in counts.items() if n}
                             for kind, counts in totals.items()}, mutations, left_out


def read_matrix(text):
    """(columns, {column: total} of the non-zero columns) of a matrix file's text."""
    lines = [line.split("\t") for line in text.splitlines()]
    totals = {column: sum(int(line[number]) for line in lines[1:])
              for number, column in enumerate(lines[0][1:], start=1)}
    return lines[0][1:], {column: total for column, total in totals.items() if total}


def run_matrix(capsys, reference, paths, prefix, kinds, options):
    """(exit status, standard error lines, {kind: text of its file}) of one run."""
    for old in prefix.parent.glob(prefix.name + ".*"):
        old.unlink()
    code = main(["matrix", *map(str, paths), "--reference", str(reference), "-o", str(prefix),
                 "--types", ",".join(kinds), *options])
    err = capsys.readouterr().err.splitlines()
    files = {kind: prefix.parent / f"{prefix.name}.{kind}.tsv" for kind in kinds}
    return code, err, {kind: path.read_text() for kind, path in files.items()
                       if path.exists()}


def left_out_records(err, paths, verb="matrix"):
    """The records that the summary lines of standard error say were left out of each input
    (a line names the inputs concerned when there are several)."""
    counts = [0] * len(paths)
    for line in err:
        match = re.match(rf"mutflank {verb}: left out ([\d,]+) records?: .*?(?:, in (.*))?$", line)
        if match is None:
            continue
        if len(paths) == 1:
            counts[0] += int(match[1])
            continue
        for name, count in re.findall(r"(\S+) \((\d+)\)", match[2]):
            counts[paths.index(Path(name))] += int(count)
    return counts


SUFFIX = {"vcf": "vcf", "maf": "maf", "table": "tsv"}
EMPTY = {"vcf": "##fileformat=VCFv4.2\n##FORMAT=<ID=GT,Number=1,Type=String,Description=\"\">\n"
                 "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS9\n",
         "maf": "\t".join(MAF_HEADER) + "\n"}
# The kinds of one run: every kind (the run the others are held to), each alone, a few groups.
CHOICES = [KINDS] + [(kind,) for kind in KINDS] + [
    ("SBS96", "DBS78"), ("DBS78", "ID83"), ("SBS192", "ID83"), ("SBS6", "SBS384")]


def layout(name, seed):
    """[(events of an input, the events that copy one of an earlier input)] of a layout: one
    input of three samples; two of the same samples, some mutations in both; two inputs of
    samples of their own and an empty input (of a sample of its own, a VCF's)."""
    events = events_of(seed, SAMPLES, 60)
    if name == "one":
        return [(events, set())]
    first, second = events[::2], events[1::2]
    if name == "apart":
        return [([event for event in events if event.sample != "S3"], set()),
                ([event for event in events if event.sample == "S3"], set()), ([], set())]
    shared = [copy.copy(event) for event in first
              if event.shape in ("snv", "pair", "doublet", "deletion", "insertion")][::3]
    return [(first, set()), (second + shared, {id(event) for event in shared})]


BED = object()  # stands for the path of the --regions file in OPTIONS
# (layout, options) of each run.
OPTIONS = {
    "plain": ("one", []),
    "no merge": ("one", ["--no-merge-doublets"]),
    "samples": ("one", ["--sample", "S1,S3"]),
    "exclude, no merge": ("one", ["--exclude", "S2", "--no-merge-doublets"]),
    "regions": ("one", ["--regions", BED]),
    "regions, no merge, a sample": ("one", ["--regions", BED, "--no-merge-doublets",
                                            "--sample", "S2"]),
    "merged samples": ("shared", ["--merge-samples"]),
    "merged samples, no merge": ("shared", ["--merge-samples", "--no-merge-doublets"]),
    "merged samples, regions, exclude": ("shared", ["--merge-samples", "--regions", BED,
                                                    "--exclude", "S1"]),
    "by input": ("shared", ["--label-by-input"]),
    "by input, no merge, a sample": ("shared", ["--label-by-input", "--no-merge-doublets",
                                                "--sample", "S2"]),
    "inputs apart, one empty": ("apart", []),
    "inputs apart, by input": ("apart", ["--label-by-input", "--exclude", "S2"]),
}


def chosen_samples(options):
    """The model's `samples` and `exclude` of --sample and --exclude among `options`."""
    chosen = {"samples": None, "exclude": ()}
    for flag, value in zip(options, options[1:]):
        if flag in ("--sample", "--exclude"):
            chosen["exclude" if flag == "--exclude" else "samples"] = value.split(",")
    return chosen


def check_runs(capsys, reference, tmp_path, forms, inputs, options, shuffle=None):
    """Runs matrix over `inputs` (layout's), written in `forms` (one per input, in turn), with
    `options` and each choice of kinds; holds each run to the model, and each kind's file to
    the one of the run of every kind."""
    paths = []
    for number, (events, _) in enumerate(inputs):
        form = forms[number % len(forms)]
        if events:
            path = tmp_path / f"in{number}.{SUFFIX[form]}"
            paths.append(write_input(path, events, form, shuffle))
        else:  # a table has no empty form: it would be empty of bytes
            form = "maf" if form == "table" else form
            paths.append(write_text(tmp_path / f"in{number}.{form}", EMPTY[form]))
    options = [str(write_bed(tmp_path / "regions.bed")) if option is BED else option
               for option in options]
    chosen = chosen_samples(options)
    merged = "--merge-samples" in options
    labels = [path.stem for path in paths]
    alone = [path.suffix == ".vcf" and len({event.sample for event in events}) == 1
             for path, (events, _) in zip(paths, inputs)]
    every = None
    for kinds in CHOICES:
        code, err, files = run_matrix(capsys, reference, paths, tmp_path / "m", kinds, options)
        assert code == 0, (kinds, err)
        columns, totals, mutations, left_out = model(
            [(events, copies if merged else set()) for events, copies in inputs], kinds,
            merge="--no-merge-doublets" not in options, regions="--regions" in options,
            by_input="--label-by-input" in options, labels=labels, alone=alone, **chosen)
        assert sorted(files) == sorted(kinds), (kinds, err)
        assert {kind: read_matrix(text) for kind, text in files.items()} == \
            {kind: (columns, totals[kind]) for kind in kinds}, (kinds, err)
        assert left_out_records(err, paths) == left_out, (kinds, err)
        noun = "substitution" if {CLASS[kind] for kind in kinds} == {"SBS"} else "mutation"
        assert err[-1] == (
            f"mutflank matrix: {mutations} {noun}s of {len(columns)} sample"
            f"{'s' * (len(columns) > 1)} from {len(paths)} input{'s' * (len(paths) > 1)} -> "
            + ", ".join(f"{tmp_path / 'm'}.{kind}.tsv" for kind in kinds)), kinds
        if every is None:
            every = files
        else:
            assert files == {kind: every[kind] for kind in kinds}, kinds


@pytest.mark.parametrize("form", ["vcf", "maf", "table"])
@pytest.mark.parametrize("case", OPTIONS)
def test_each_kind_counts_alike_whatever_the_options_and_other_kinds(capsys, reference,
                                                                     tmp_path, form, case):
    name, options = OPTIONS[case]
    check_runs(capsys, reference, tmp_path, [form], layout(name, seed=len(case)), options)


@pytest.mark.parametrize("forms, order, case", [
    (["vcf", "maf", "table"], "sorted", "merged samples, regions, exclude"),
    (["maf", "table"], "shuffled", "by input"),
    (["table"], "shuffled", "no merge"),
    (["vcf"], "streamed", "plain"),
    (["maf"], "streamed", "regions"),
    (["table", "vcf"], "streamed", "merged samples"),
])
def test_inputs_of_every_form_and_order_count_alike(capsys, reference, tmp_path, monkeypatch,
                                                    forms, order, case):
    # Streamed: the merger holds 4 SNVs of an input before it streams the sorted rest.
    if order == "streamed":
        monkeypatch.setattr(doublets, "HOLD", 4)
    name, options = OPTIONS[case]
    check_runs(capsys, reference, tmp_path, forms, layout(name, seed=len(case) + 7), options,
               random.Random(len(forms)) if order == "shuffled" else None)


# ---- mutflank table ------------------------------------------------------------------------

def table_rows(inputs, forms, *, reference=False, regions=False, samples=None, exclude=(),
               labels=None):
    """(rows, records left out) that `table` writes of `inputs` (layout's, written in
    `forms`): a row per record of a chosen sample, in the order of the inputs, its alleles as
    written (a MAF's indels without their anchor base); left out, a record outside the
    regions (the bases it changes: an indel's first after its anchor) and, with a reference,
    a record on a chromosome it lacks."""
    rows, left_out = [], 0
    for number, (events, _) in enumerate(inputs):
        form = forms[number % len(forms)]
        for record in records_of(events):
            chromosome, position, ref, alt, sample = record
            if samples is not None and sample not in samples or sample in exclude:
                continue
            known = chromosome in GENOMES
            if reference and not known:
                left_out += 1
                continue
            first, bases = (position + 1, 1) if len(ref) != len(alt) else (position, len(ref))
            if regions and not (known and inside(chromosome, first, bases, REGIONS)):
                left_out += 1
                continue
            label = sample if labels is None else f"{labels[number]}:{sample}"
            kind = "INDEL" if len(ref) != len(alt) else \
                ("SNV", "DBS", "MNV")[min(len(ref), 3) - 1]
            if form == "maf":
                _, position, _, ref, alt, _ = maf_row(record)
            rows.append([label, f"in{number}", ".", BUILD, kind, chromosome, str(position),
                         str(position + len(ref) - 1), ref, alt])
    return rows, left_out


TABLE_OPTIONS = {
    "reference": ("one", ["--reference"]),
    "regions": ("one", ["--reference", "--regions", BED]),
    "regions, no reference": ("one", ["--regions", BED, "--build", BUILD]),
    "samples": ("one", ["--build", BUILD, "--sample", "S1,S3"]),
    "by input, exclude": ("shared", ["--reference", "--exclude", "S2", "--label-by-input"]),
    "merged samples, regions": ("shared", ["--reference", "--merge-samples", "--regions", BED]),
    "inputs apart, one empty": ("apart", ["--reference"]),
}


@pytest.mark.parametrize("forms", [["vcf"], ["maf"], ["maf", "vcf"]])
@pytest.mark.parametrize("case", TABLE_OPTIONS)
def test_table_writes_a_row_of_each_record_it_keeps(capsys, reference, tmp_path, forms, case):
    name, options = TABLE_OPTIONS[case]
    inputs = layout(name, seed=len(case))
    paths = []
    for number, (events, _) in enumerate(inputs):
        form = forms[number % len(forms)]
        paths.append(write_input(tmp_path / f"in{number}.{form}", events, form) if events else
                     write_text(tmp_path / f"in{number}.{form}", EMPTY[form]))
    options = [str(write_bed(tmp_path / "regions.bed")) if option is BED else option
               for option in options]
    if "--reference" in options:
        options.insert(options.index("--reference") + 1, str(reference))
    out = tmp_path / "calls.tsv"
    code = main(["table", *map(str, paths), "-o", str(out), *options])
    err = capsys.readouterr().err.splitlines()
    assert code == 0, err
    rows, left_out = table_rows(
        inputs, forms, reference="--reference" in options, regions="--regions" in options,
        labels=[path.stem for path in paths] if "--label-by-input" in options else None,
        **chosen_samples(options))
    assert [line.split("\t") for line in out.read_text().splitlines()] == rows
    # A VCF's samples are those its header names, whether or not they carry calls.
    empty = forms[(len(inputs) - 1) % len(forms)]
    kept = {row[0] for row in rows} | ({"S9"} if name == "apart" and empty == "vcf" else set())
    assert err[0] == (f"mutflank table: wrote {len(rows)} rows of {len(kept)} samples to {out}")
    assert sum(left_out_records(err, paths, "table")) == left_out
    if "--regions" in options:
        return  # a doublet of two SNVs is inside when both bases are: matrix makes it, not table
    # The matrices of the table are those of its inputs.
    chosen = [option for option in options if option not in ("--reference", str(reference))]
    for source, prefix, more in (([out], "t", []), (paths, "i", chosen)):
        assert main(["matrix", *map(str, source), "--reference", str(reference), "-o",
                     str(tmp_path / prefix), "--types", ",".join(KINDS), *more]) == 0, \
            capsys.readouterr().err
    assert [(tmp_path / f"t.{kind}.tsv").read_text() for kind in KINDS] == \
        [(tmp_path / f"i.{kind}.tsv").read_text() for kind in KINDS]
