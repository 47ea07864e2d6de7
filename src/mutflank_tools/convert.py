"""VCF/BCF and MAF files to the ten-column mutation table that the `mutflank` module reads.

One row per sample and alternate allele, tab-separated:

    sample  project  ID  build  type  chromosome  position  end  REF  ALT

Type is "SNV" for a single-base substitution (the rows the module counts), "DBS" for two
adjacent substituted bases, "MNV" for more, "INDEL" when the alleles differ in length and
"OTHER" for substitutions involving bases other than A, C, G, T. Alleles are upper-cased, and
equal-length alleles are trimmed of their common leading and trailing bases first (REF ATG,
ALT ACG at 100 is the SNV T>C at 101). '*', '.', symbolic (<DEL>) and breakend alleles give
no row. Records left out are counted by reason and chromosome in `Conversion.left_out`.

VCF and BCF files (plain, gzip or bgzip) are read by `bcftools query`, which parses them with
htslib and keeps, for each record, only the samples whose genotype carries an alternate allele.
MAF files (plain or gzip) are read here, by their header names.
"""

import collections
import contextlib
import fcntl
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import zlib

from .errors import InputError, UsageError, at_line
from .reference_folder import canonical_build

BASES = frozenset(b"ACGT")
SUFFIXES = (".gz", ".bgz")
FORMATS = (".vcf", ".bcf", ".maf", ".tsv", ".txt")
HEAD_SIZE = 1 << 16
BATCH = 4096  # records between two writes of the output
PIPE_SIZE = 1 << 20  # bytes of bcftools' output in flight
F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)
# The filter of `bcftools query`: every record is printed ("| 1=1"), and its sample blocks
# hold only the samples whose genotype holds an alternate allele or a missing one; of the
# latter, the reader keeps the half calls such as ./1 (GT="alt" leaves them out, and a
# regular expression on GT costs bcftools half as much again as the whole query).
CARRIERS = 'GT="alt" | GT="mis" | 1=1'

# Reasons for leaving a record out, as they appear in the summary.
NO_REFERENCE = "no reference file"
NOT_PASS = "filter not PASS"
NO_CARRIER = "no sample carries the allele"
NOT_VARIANT = "allele *, . or equal to REF"
SYMBOLIC = "symbolic allele"

MAF_COLUMNS = (
    "Chromosome",
    "Start_Position",
    "Reference_Allele",
    "Tumor_Seq_Allele1",
    "Tumor_Seq_Allele2",
    "Tumor_Sample_Barcode",
)
MAF_BUILD = "NCBI_Build"
# Any of these in the first line after the comments makes a MAF header.
MAF_NAMES = frozenset(MAF_COLUMNS + (MAF_BUILD, "Hugo_Symbol", "Variant_Type", "End_Position"))


class Conversion:
    """What one conversion did: the samples the input names (even those without a row), the
    rows written, and the records left out as a Counter of (reason, chromosome)."""

    def __init__(self):
        self.samples = []
        self.rows = 0
        self.left_out = collections.Counter()

    def __repr__(self):
        return (f"Conversion(samples={self.samples!r}, rows={self.rows}, "
                f"left_out={dict(self.left_out)!r})")


def sample_from_path(path):
    """The file name without its folder and its .vcf/.bcf/.maf/.tsv/.txt (and .gz/.bgz)
    suffix: the sample of a VCF without genotypes, and the default project."""
    name = os.path.basename(os.fspath(path))
    for suffixes in (SUFFIXES, FORMATS):
        for suffix in suffixes:
            if name.endswith(suffix) and len(name) > len(suffix):
                name = name[: -len(suffix)]
                break
    return name


def classify(pos, ref, alt):
    """(type, position, REF, ALT) of one alternate allele at `pos`, or the reason it gives no
    row (a str). REF and ALT are upper-cased; equal-length alleles are trimmed of their common
    leading and trailing bases."""
    ref, alt = ref.upper(), alt.upper()
    if alt in ("*", ".", ""):
        return NOT_VARIANT
    if alt.startswith("<") or "[" in alt or "]" in alt:
        return SYMBOLIC
    if len(ref) != len(alt) or ref == "-" or alt == "-":
        return "INDEL", pos, ref, alt
    start, end = 0, len(ref)
    while start < end and ref[start] == alt[start]:
        start += 1
    while end > start and ref[end - 1] == alt[end - 1]:
        end -= 1
    if start == end:  # the alternate allele is the reference allele
        return NOT_VARIANT
    ref, alt, pos = ref[start:end], alt[start:end], pos + start
    if not (BASES.issuperset(ref.encode()) and BASES.issuperset(alt.encode())):
        return "OTHER", pos, ref, alt
    return {1: "SNV", 2: "DBS"}.get(len(ref), "MNV"), pos, ref, alt


# ---- telling the formats apart -------------------------------------------------------------

def _head(path, size=HEAD_SIZE):
    """The first `size` bytes of the file's text (gzip and bgzip unpacked)."""
    try:
        with open(path, "rb") as raw:
            data = raw.read(size)
            if data[:2] != b"\x1f\x8b":
                return data
            text = b""
            unpack = zlib.decompressobj(31)
            while len(text) < size:
                if not data:
                    break
                text += unpack.decompress(data, size - len(text))
                if unpack.unconsumed_tail:
                    data = unpack.unconsumed_tail
                elif unpack.eof:  # one gzip member ends; bgzip files hold many
                    data = unpack.unused_data or raw.read(size)
                    unpack = zlib.decompressobj(31)
                else:
                    data = raw.read(size)
            return text
    except zlib.error as error:
        raise InputError(f"{path}: cannot decompress: {error}") from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror}") from None


def _first_line(text):
    """The first line that is neither empty nor a '#' comment, split at its tabs."""
    for line in text.split(b"\n"):
        line = line.rstrip(b"\r")
        if line and not line.startswith(b"#"):
            return line.split(b"\t")
    return None


def detect_format(path):
    """"vcf" for VCF or BCF (plain, gzip or bgzip), "maf" for MAF (plain or gzip), "table" for
    a ten-column mutation table (an empty file is an empty table); told by content, not by
    name. InputError naming the file for anything else, or a file that cannot be read."""
    if os.path.isdir(path):
        raise InputError(f"{path}: is a folder")
    text = _head(path)
    if text.startswith(b"##fileformat=VCF") or text.startswith(b"BCF\x02"):
        return "vcf"
    if not text.strip():
        return "table"
    fields = _first_line(text)
    if fields is not None:
        if MAF_NAMES.intersection(name.strip().decode("utf-8", "replace") for name in fields):
            return "maf"
        if len(fields) >= 10:
            return "table"
    raise InputError(f"{path}: not a VCF, BCF, MAF or mutation table file")


# ---- the conversion ------------------------------------------------------------------------

def convert(path, output, *, build=None, project=None, reference=None, sample=None,
            pass_only=False, progress=None):
    """Writes the table rows of one VCF/BCF or MAF file to the binary file `output`; returns
    a Conversion.

    build: "GRCh37"/"GRCh38" (or an alias such as hg19) or None: then a MAF row takes its
    NCBI_Build, a VCF the one build folder of `reference`; otherwise UsageError.
    project: the second column; None gives the file name without its suffixes.
    reference: a ReferenceFolder; chromosomes are written as its file names, and records on a
    chromosome without a file are left out.
    sample: a VCF's sample column to take (without genotypes: the one sample's name).
    pass_only: leave out records whose FILTER is neither PASS nor '.'.
    progress: called with the number of rows written since its last call.
    """
    kind = detect_format(path)
    if build is not None:
        canonical = canonical_build(build)
        if canonical is None:
            raise UsageError(f"unknown build {build!r}: use GRCh37 or GRCh38 (hg19, 37, hg38, 38)")
        build = canonical
    if project is None:
        project = sample_from_path(path)
    if any(c in project for c in "\t\r\n"):
        raise UsageError("--project may not hold a tab or a line break")
    try:
        project.encode("utf-8")
    except UnicodeEncodeError:
        raise UsageError(f"--project {project!r} is not UTF-8 text") from None
    options = _Options(path, output, build, project.encode("utf-8", "surrogateescape"),
                       reference, sample, pass_only, progress or (lambda rows: None))
    if kind == "vcf":
        return _convert_vcf(options)
    if kind == "maf":
        if sample is not None:
            raise UsageError(f"--sample names a VCF sample column; {path} is a MAF file")
        return _convert_maf(options)
    raise InputError(f"{path}: already a mutation table, not a VCF, BCF or MAF file")


class _Options:
    def __init__(self, path, output, build, project, reference, sample, pass_only, progress):
        self.path = path
        self.output = output
        self.build = build
        self.project = project
        self.reference = reference
        self.sample = sample
        self.pass_only = pass_only
        self.progress = progress
        self.result = Conversion()
        self._chromosomes = {}  # (build, chromosome as written) -> name written, or None

    def chromosome(self, build, name):
        """The chromosome to write for `name` (bytes), or None when it has no reference file."""
        key = (build, name)
        found = self._chromosomes.get(key, False)
        if found is False:
            if self.reference is None:
                found = name
            else:
                match = self.reference.match(build, name.decode("utf-8", "surrogateescape"))
                found = None if match is None else match.encode("utf-8", "surrogateescape")
            self._chromosomes[key] = found
        return found

    def write(self, rows, count):
        """Writes a batch of row texts; `count` rows. The table must be UTF-8 for the module."""
        data = b"".join(rows)
        if not data.isascii():
            try:
                data.decode("utf-8")
            except UnicodeDecodeError:
                return False
        self.output.write(data)
        self.result.rows += count
        self.progress(count)
        return True


# ---- VCF and BCF through bcftools ----------------------------------------------------------

def _bcftools():
    program = shutil.which("bcftools")
    if program is None:
        raise InputError("reading VCF/BCF needs the bcftools program: install the Debian "
                         "package bcftools")
    return program


def _argument(path):
    """A path that bcftools cannot take for an option or for standard input."""
    path = os.fspath(path)
    return "./" + path if path.startswith("-") else path


def _htslib_error(text):
    """The first error line of bcftools' standard error, without htslib's [E::function]."""
    lines = [line.strip() for line in text.splitlines()]
    chosen = [line for line in lines if line.startswith("[E::")] or [
        line for line in lines if line and not line.startswith("[W::")]
    if not chosen:
        return "bcftools failed"
    return re.sub(r"^\[E::\w+\] ", "", chosen[0]).rstrip(":")


def build_required(path, reference):
    """The usage error of a VCF whose build neither --build nor the reference folder tells."""
    if reference is None:
        return (f"--build is required for {path}: a VCF names no build (or give --reference "
                "with one build folder)")
    return (f"--build is required for {path}: a VCF names no build, and {reference.root} has "
            f"{len(reference.builds()) or 'no'} build folders")


def _vcf_header(path, program):
    """(sample columns, whether FORMAT/GT is declared) of a VCF/BCF header."""
    try:
        done = subprocess.run([program, "view", "-h", "--no-version", _argument(path)],
                              capture_output=True, stdin=subprocess.DEVNULL, check=False)
    except OSError as error:
        raise InputError(f"cannot run bcftools: {error.strerror}") from None
    errors = done.stderr.decode("utf-8", "replace")
    if done.returncode != 0 or "[E::" in errors:
        raise InputError(f"{path}: not a readable VCF/BCF file ({_htslib_error(errors)})")
    lines = done.stdout.rstrip(b"\n").split(b"\n")
    columns = lines[-1].rstrip(b"\r").split(b"\t")[9:] if lines[-1].startswith(b"#CHROM") else []
    has_gt = any(line.startswith(b"##FORMAT=<ID=GT,") for line in lines)
    return columns, has_gt


_GENOTYPES = {}  # genotype text -> the allele numbers it holds


def _alleles_of(genotype):
    alleles = _GENOTYPES.get(genotype)
    if alleles is None:
        alleles = frozenset(int(part) for part in re.split(rb"[/|]", genotype) if part.isdigit())
        _GENOTYPES[genotype] = alleles
    return alleles


def _convert_vcf(options):
    path = options.path
    result = options.result
    program = _bcftools()
    build = options.build
    if build is None:
        builds = options.reference.builds() if options.reference is not None else []
        if len(builds) != 1:
            raise UsageError(build_required(path, options.reference))
        build = builds[0]
    columns, has_gt = _vcf_header(path, program)
    wanted = None if options.sample is None else options.sample.encode("utf-8", "surrogateescape")
    if wanted is not None and wanted not in columns:
        names = ", ".join(c.decode("utf-8", "replace") for c in columns) or "none"
        raise InputError(f"{path}: no sample column {options.sample!r} (columns: {names})")
    genotypes = has_gt and bool(columns)
    if genotypes:
        taken = [wanted] if wanted is not None else columns
        fixed = None
    else:
        taken = [wanted] if wanted is not None else [
            sample_from_path(path).encode("utf-8", "surrogateescape")]
        fixed = taken
    for name in taken:
        try:
            name.decode("utf-8")
        except UnicodeDecodeError:
            raise InputError(f"{path}: sample name {name!r} is not UTF-8") from None
    result.samples = [name.decode("utf-8") for name in taken]

    form = "%CHROM\t%POS\t%ID\t%REF\t%ALT\t%FILTER"
    command = [program, "query"]
    with contextlib.ExitStack() as stack:
        if genotypes:
            command += ["-i", CARRIERS]
            form += "\t[%GT,][\t%SAMPLE]"
            if wanted is not None:
                listing = stack.enter_context(tempfile.NamedTemporaryFile("wb", suffix=".txt"))
                listing.write(wanted + b"\n")
                listing.flush()
                command += ["-S", listing.name]
        command += ["-f", form + "\n", _argument(path)]
        errors = stack.enter_context(tempfile.TemporaryFile())
        try:
            process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors,
                                       stdin=subprocess.DEVNULL, bufsize=PIPE_SIZE)
        except OSError as error:
            raise InputError(f"cannot run bcftools: {error.strerror}") from None
        with contextlib.suppress(OSError):
            # A roomy pipe lets bcftools run ahead while Python waits for a core, and back.
            fcntl.fcntl(process.stdout.fileno(), F_SETPIPE_SZ, PIPE_SIZE)
        try:
            with process.stdout:
                failure = _vcf_rows(options, build, fixed, process.stdout)
            if failure is not None:
                process.kill()  # the rest does not matter, and it may wait on a full pipe
            status = process.wait()
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        errors.seek(0)
        text = errors.read().decode("utf-8", "replace")
    faults = []  # (line or record number, message naming the place)
    if "[E::" in text or (status != 0 and failure is None):
        message = _htslib_error(text)
        located = re.search(r" at (\S+):(\d+)", message)
        line = _vcf_line(path, chrom_pos=located.groups() if located else None)
        if line is None and failure is None:
            raise InputError(f"{path}: cannot read the records ({message})")
        if line is not None:
            faults.append((line, at_line(path, line, message)))
    if failure is not None:
        record, message = failure
        line = _vcf_line(path, record=record)
        faults.append((line or record, at_line(path, line, message) if line
                       else f"{path}: record {record}: {message}"))
    if faults:
        raise InputError(min(faults)[1])  # the first in the file
    return result


def _vcf_rows(options, build, fixed, lines):
    """Turns the lines of `bcftools query` into rows; returns None, or (record number, message)
    of the first record at fault (the rows of its batch are not written).

    A line is CHROM, POS, ID, REF, ALT, FILTER, then (with genotypes) the genotypes of the
    samples that bcftools kept, each followed by a comma, and those samples' names."""
    result = options.result
    left_out = result.left_out
    written = {}  # chromosome as written -> name to write, or None
    project = options.project
    build_bytes = build.encode()
    pass_only = options.pass_only
    bases = BASES_BYTES
    batch, numbers, count = [], [], 0
    number = 0
    for line in lines:
        number += 1
        fields = line[:-1].split(b"\t")
        chrom, pos, vid, ref, alt, filt = fields[:6]
        if pass_only and filt != b"PASS" and filt != b".":
            left_out[(NOT_PASS, chrom.decode("utf-8", "replace"))] += 1
            continue
        target = written.get(chrom, False)
        if target is False:
            target = written[chrom] = options.chromosome(build, chrom)
        if target is None:
            left_out[(NO_REFERENCE, chrom.decode("utf-8", "replace"))] += 1
            continue
        if pos[0] == 48 or pos[0] == 45:  # "0" or "-": htslib's reading of a bad POS
            return number, f"position {pos.decode()} is not a position on the chromosome"
        if fixed is None:
            genotypes, names = fields[6], fields[7:]
        else:
            genotypes, names = b"", fixed
        if len(alt) == 1 and len(ref) == 1 and ref != alt and ref in bases and alt in bases:
            if b"." in genotypes:  # missing alleles: keep those that still hold allele 1
                names = [name for name, genotype in zip(names, genotypes.split(b","))
                         if 1 in _alleles_of(genotype)]
            if not names:
                left_out[(NO_CARRIER, chrom.decode("utf-8", "replace"))] += 1
                continue
            rest = b"\t%s\t%s\t%s\tSNV\t%s\t%s\t%s\t%s\t%s\n" % (
                project, vid, build_bytes, target, pos, pos, ref, alt)
            batch.append(rest.join(names) + rest)
            numbers.append(number)
            count += len(names)
        else:
            split = genotypes.split(b",") if fixed is None else None
            for index, allele in enumerate(alt.split(b","), start=1):
                variant = classify(int(pos), ref.decode("utf-8", "surrogateescape"),
                                   allele.decode("utf-8", "surrogateescape"))
                if isinstance(variant, str):
                    left_out[(variant, chrom.decode("utf-8", "replace"))] += 1
                    continue
                holders = names if split is None else [
                    name for name, genotype in zip(names, split) if index in _alleles_of(genotype)]
                if not holders:
                    left_out[(NO_CARRIER, chrom.decode("utf-8", "replace"))] += 1
                    continue
                kind, start, ref_text, alt_text = variant
                ref_bytes = ref_text.encode("utf-8", "surrogateescape")
                rest = b"\t%s\t%s\t%s\t%s\t%s\t%d\t%d\t%s\t%s\n" % (
                    project, vid, build_bytes, kind.encode(), target, start,
                    start + max(len(ref_bytes), 1) - 1, ref_bytes,
                    alt_text.encode("utf-8", "surrogateescape"))
                batch.append(rest.join(holders) + rest)
                numbers.append(number)
                count += len(holders)
        if len(batch) >= BATCH:
            if not options.write(batch, count):
                return _first_bad(batch, numbers), "not UTF-8 text"
            batch, numbers, count = [], [], 0
    if batch and not options.write(batch, count):
        return _first_bad(batch, numbers), "not UTF-8 text"
    return None


BASES_BYTES = frozenset(bytes([base]) for base in b"ACGT")


def _first_bad(batch, numbers):
    """The record number of the first batch entry that is not UTF-8 text."""
    for rows, number in zip(batch, numbers):
        try:
            rows.decode("utf-8")
        except UnicodeDecodeError:
            return number
    return numbers[0]


def _open_unpacked(path):
    """The file's bytes, gunzipped when it starts with gzip's magic number (gzip or bgzip)."""
    with open(path, "rb") as raw:
        packed = raw.read(2) == b"\x1f\x8b"
    return gzip.open(path, "rb") if packed else open(path, "rb")


def _vcf_line(path, record=None, chrom_pos=None):
    """The line number of a record of a text VCF: the `record`-th record, or the first whose
    CHROM and POS are `chrom_pos`; None for BCF or when it cannot be found."""
    try:
        with _open_unpacked(path) as text:
            seen = 0
            for number, line in enumerate(text, start=1):
                if number == 1 and line.startswith(b"BCF"):
                    return None
                if line.startswith(b"#"):
                    continue
                seen += 1
                if record is not None and seen == record:
                    return number
                if chrom_pos is not None:
                    fields = line.split(b"\t", 2)
                    if len(fields) > 1 and [f.decode("utf-8", "replace") for f in fields[:2]] \
                            == list(chrom_pos):
                        return number
    except (OSError, EOFError, zlib.error):
        return None
    return None


# ---- MAF -----------------------------------------------------------------------------------

def _maf_lines(path):
    """Yields (line number, text without its line end) of a MAF file, plain or gzip."""
    try:
        with _open_unpacked(path) as stream:
            for number, line in enumerate(stream, start=1):
                if line.endswith(b"\n"):
                    line = line[:-1]
                if line.endswith(b"\r"):
                    line = line[:-1]
                try:
                    yield number, line.decode("utf-8")
                except UnicodeDecodeError:
                    raise InputError(at_line(path, number, "not UTF-8 text")) from None
    except (EOFError, zlib.error) as error:
        raise InputError(f"{path}: cannot decompress: {error}") from None
    except OSError as error:
        if isinstance(error, gzip.BadGzipFile):
            raise InputError(f"{path}: cannot decompress: {error}") from None
        raise InputError(f"{path}: {error.strerror or error}") from None


def _convert_maf(options):
    path = options.path
    result = options.result
    left_out = result.left_out
    chromosome = options.chromosome
    project = options.project.decode("utf-8", "surrogateescape")
    lines = _maf_lines(path)
    header = None
    for number, line in lines:
        if line.startswith("#") or not line.strip():
            continue
        header = [name.strip() for name in line.split("\t")]
        break
    if header is None:
        raise InputError(f"{path}: no MAF header line")
    where = {}
    for index, name in enumerate(header):
        where.setdefault(name, index)
    needed = MAF_COLUMNS if options.build is not None else MAF_COLUMNS + (MAF_BUILD,)
    for name in needed:
        if name not in where:
            if name == MAF_BUILD:
                raise UsageError(f"--build is required for {path}: its header (line {number}) "
                                 f"has no {MAF_BUILD} column")
            raise InputError(at_line(path, number, f"the MAF header has no {name} column"))
    chrom_at, pos_at, ref_at, allele1_at, allele2_at, sample_at = (where[n] for n in MAF_COLUMNS)
    build_at = where.get(MAF_BUILD) if options.build is None else None
    width = max(where[name] for name in needed) + 1
    samples = {}
    batch, count = [], 0
    for number, line in lines:
        if not line:
            continue
        fields = line.split("\t")
        if len(fields) < width:
            raise InputError(at_line(path, number, f"{len(fields)} tab-separated fields, the "
                                                   f"header names {len(header)}"))
        sample = fields[sample_at].strip()
        chrom = fields[chrom_at].strip()
        ref = fields[ref_at].strip()
        allele2 = fields[allele2_at].strip()
        allele1 = fields[allele1_at].strip()
        for name, value in (("Tumor_Sample_Barcode", sample), ("Chromosome", chrom),
                            ("Reference_Allele", ref)):
            if not value:
                raise InputError(at_line(path, number, f"empty {name}"))
        position = fields[pos_at].strip()
        if not (position.isascii() and position.isdigit()) or int(position) < 1:
            raise InputError(at_line(path, number, f"Start_Position {position!r} is not a "
                                                   "position (a whole number from 1)"))
        if build_at is None:
            build = options.build
        else:
            build = canonical_build(fields[build_at])
            if build is None:
                raise InputError(at_line(path, number, f"{MAF_BUILD} {fields[build_at]!r} is "
                                         "not GRCh37 or GRCh38 (hg19, 37, hg38, 38): give --build"))
        samples.setdefault(sample, None)
        alt = allele1 if allele2.upper() == ref.upper() else allele2
        target = chromosome(build, chrom.encode("utf-8", "surrogateescape"))
        if target is None:
            left_out[(NO_REFERENCE, chrom)] += 1
            continue
        variant = classify(int(position), ref, alt)
        if isinstance(variant, str):
            left_out[(variant, chrom)] += 1
            continue
        kind, start, ref, alt = variant
        end = start + len(ref) - 1 if ref != "-" else start
        batch.append(f"{sample}\t{project}\t.\t{build}\t{kind}\t"
                     f"{target.decode('utf-8', 'surrogateescape')}\t{start}\t{end}\t{ref}\t{alt}\n"
                     .encode("utf-8", "surrogateescape"))
        count += 1
        if len(batch) >= BATCH:
            _write_maf(options, batch, count)
            batch, count = [], 0
    if batch:
        _write_maf(options, batch, count)
    result.samples = list(samples)
    return result


def _write_maf(options, batch, count):
    # MAF text and the project are checked UTF-8; only a reference file name can be not.
    if not options.write(batch, count):
        raise InputError(f"{options.reference.root}: a chromosome file name is not UTF-8")
