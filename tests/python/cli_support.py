"""Shared fixtures of the `mutflank` command's tests: running the installed command, seeded
synthetic calls written as a multi-sample VCF and as the MAF of the same calls, with the table
rows a plain model expects of them, and the lambda phage reference built once per session."""

import contextlib
import gzip
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

COMMAND = os.path.join(os.path.dirname(sys.executable), "mutflank")
LAMBDA_FASTA = Path("/usr/share/doc/bowtie2/examples/reference/lambda_virus.fa.gz")
LAMBDA_NAME = "gi|9626243|ref|NC_001416.1|"
LAMBDA_LENGTH = 48502
PYVCF = Path("/usr/share/doc/python3-vcf/test")  # the VCF files of python-pyvcf-examples
BASE_BYTE = {"A": 0, "C": 1, "G": 2, "T": 3, "N": 16}




@contextlib.contextmanager
def piped(data):
    """Yields the name (/dev/fd/N) of a pipe that a thread feeds `data` (bytes) into, as a
    shell's process substitution does; the pipe is closed and the feeder joined after."""
    read_end, write_end = os.pipe()

    def feed():
        with contextlib.suppress(BrokenPipeError), os.fdopen(write_end, "wb") as pipe:
            pipe.write(data)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        yield f"/dev/fd/{read_end}"
    finally:
        os.close(read_end)  # a reader that stopped early: the feeder's write ends
        writer.join()

def scheduler_address(path):
    """The address a Dask scheduler wrote to its file `path`; None while the file is missing
    or still being written (it is not written in one step)."""
    try:
        return json.loads(path.read_text())["address"]
    except (OSError, ValueError, KeyError):
        return None


def run(*args, cwd=None, stdin=None, env=None, pass_fds=()):
    """Runs `mutflank_tools.cli.main(args)` in this process, as the installed command would
    run: standard input from `stdin` through a pipe (text or bytes; default: /dev/null),
    standard output and error each into a pipe of its own at their file descriptors 1 and 2,
    the working folder `cwd`, `env` entries added to the environment for the call. Returns
    (status, standard output, standard error); standard output is bytes when `stdin` is.
    `pass_fds` is accepted for run_command's sake: this process holds those descriptors."""
    from mutflank_tools import cli

    binary = isinstance(stdin, bytes)
    argv = [os.fsdecode(arg) if isinstance(arg, bytes) else str(arg) for arg in args]
    with contextlib.ExitStack() as stack:
        if cwd is not None:
            stack.callback(os.chdir, os.getcwd())
            os.chdir(cwd)
        if env:
            stack.enter_context(_environment(env))
        stack.enter_context(_input(stdin))
        out = stack.enter_context(_output(1, "stdout"))
        err = stack.enter_context(_output(2, "stderr", errors="backslashreplace"))
        try:
            status = cli.main(argv)
        except SystemExit as done:  # --help, --version, a usage error
            status = done.code
            if isinstance(status, str):
                print(status, file=sys.stderr)
                status = 1
    stdout, stderr = b"".join(out), b"".join(err).decode("utf-8", "replace")
    return (status or 0), (stdout if binary else stdout.decode("utf-8", "replace")), stderr


def status_and_error(capsys, *argv):
    """(exit status, standard error) of `mutflank_tools.cli.main(argv)` run in this process,
    its standard error taken from pytest's `capsys`."""
    from mutflank_tools import cli

    try:
        status = cli.main([str(arg) for arg in argv])
    except SystemExit as done:
        status = done.code
    return status, capsys.readouterr().err


@contextlib.contextmanager
def _environment(entries):
    saved = {name: os.environ.get(name) for name in entries}
    os.environ.update(entries)
    tempfile.tempdir = None  # TMPDIR is read again
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        tempfile.tempdir = None


@contextlib.contextmanager
def _descriptor(fd, replacement):
    """File descriptor `fd` is `replacement` (which is closed) until the end of the block."""
    saved = os.dup(fd)
    os.dup2(replacement, fd)
    os.close(replacement)
    try:
        yield
    finally:
        os.dup2(saved, fd)
        os.close(saved)


@contextlib.contextmanager
def _input(data):
    """Standard input (descriptor 0 and sys.stdin) reads `data` through a pipe, written by a
    thread, or /dev/null when `data` is None."""
    feeder = None
    if data is None:
        source = os.open(os.devnull, os.O_RDONLY)
    else:
        source, sink = os.pipe()

        def feed():
            with contextlib.suppress(BrokenPipeError), open(sink, "wb") as pipe:
                pipe.write(data if isinstance(data, bytes) else data.encode("utf-8"))

        feeder = threading.Thread(target=feed, daemon=True)
    saved = sys.stdin
    with _descriptor(0, source):  # the pipe's last reader: its writer ends when it is restored
        sys.stdin = open(0, "r", encoding="utf-8", errors="surrogateescape", closefd=False)
        if feeder is not None:
            feeder.start()
        try:
            yield
        finally:
            sys.stdin = saved
    if feeder is not None:
        feeder.join()


@contextlib.contextmanager
def _output(fd, name, errors="surrogateescape"):
    """Descriptor `fd` and sys.<name> write into a pipe read by a thread; yields the list of
    the chunks read, complete after the block."""
    chunks = []
    source, sink = os.pipe()

    def collect():
        with open(source, "rb", buffering=0) as pipe:
            while chunk := pipe.read(1 << 16):
                chunks.append(chunk)

    reader = threading.Thread(target=collect, daemon=True)
    reader.start()
    saved = getattr(sys, name)
    saved.flush()
    with _descriptor(fd, sink):
        setattr(sys, name, open(fd, "w", encoding="utf-8", errors=errors, closefd=False,
                                buffering=1 if name == "stderr" else -1))
        try:
            yield chunks
        finally:
            with contextlib.suppress(OSError, ValueError):
                getattr(sys, name).flush()
            setattr(sys, name, saved)
    reader.join(60)  # a process the command started and left running holds the pipe
    assert not reader.is_alive(), f"{name} is still open in a process the command started"


def run_command(*args, cwd=None, stdin=None, env=None, pass_fds=()):
    """Runs the installed `mutflank` command as a process of its own, for tests where the
    process is the point (signals, standard streams, packaging, a local cluster's start and
    stop); returns (status, standard output, standard error) as run does."""
    binary = isinstance(stdin, bytes)
    done = subprocess.run([COMMAND, *map(str, args)], capture_output=True, text=not binary,
                          cwd=cwd, input=stdin,
                          stdin=None if stdin is not None else subprocess.DEVNULL,
                          env=None if env is None else {**os.environ, **env},
                          pass_fds=pass_fds, timeout=300, check=False)
    if binary:
        return done.returncode, done.stdout, done.stderr.decode()
    return done.returncode, done.stdout, done.stderr


def run_process(*args, runner=run, **options):
    """run's (or run_command's) result as a subprocess.CompletedProcess, for tests that read
    it by field."""
    status, out, err = runner(*args, **options)
    return subprocess.CompletedProcess([COMMAND, *map(str, args)], status, out, err)


def table_lines(text):
    """The rows of a table text, each split at its tabs."""
    return [line.split("\t") for line in text.splitlines()]


def write_reference(root, build, chromosome, bases):
    """Writes <root>/<build>/<chromosome>.txt from a str of bases."""
    folder = Path(root) / build
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{chromosome}.txt").write_bytes(bytes(BASE_BYTE[b] for b in bases))


def write_text(path, text):
    """Writes `text` to `path`: gzip-compressed when the name ends in .gz, bgzip (BGZF) when
    it ends in .bgz.gz; returns the path."""
    path = Path(path)
    data = text.encode("utf-8") if isinstance(text, str) else text
    if path.name.endswith(".bgz.gz"):
        import pysam

        plain = path.with_name(path.name[: -len(".bgz.gz")])
        plain.write_bytes(data)
        pysam.tabix_compress(str(plain), str(path), force=True)
    elif path.suffix == ".gz":
        path.write_bytes(gzip.compress(data))
    else:
        path.write_bytes(data)
    return path


# ---- seeded synthetic calls ----------------------------------------------------------------

class Call:
    """One VCF record: alternate alleles and one genotype per sample."""

    def __init__(self, chrom, pos, ref, alts, genotypes, filt="PASS", ident="."):
        self.chrom, self.pos, self.ref, self.alts = chrom, pos, ref, alts
        self.genotypes, self.filter, self.id = genotypes, filt, ident


def synthetic_calls(seed, genome, samples, count):
    """`count` calls on the chromosomes of `genome` ({name: bases}): mostly single-base
    substitutions of the genome's base, some multi-allelic, some two-base substitutions, some
    written in lower case; genotypes het, hom, phased, missing or reference; filters PASS, '.'
    or LowQ."""
    rng = random.Random(seed)
    calls = []
    names = sorted(genome)
    for _ in range(count):
        chrom = rng.choice(names)
        bases = genome[chrom]
        pos = rng.randint(1, len(bases) - 1)
        kind = rng.random()
        if kind < 0.1 and pos < len(bases):
            ref = bases[pos - 1: pos + 1]
            alts = ["".join(rng.choice([b for b in "ACGT" if b != r]) for r in ref)]
        else:
            ref = bases[pos - 1]
            others = [b for b in "ACGT" if b != ref]
            alts = rng.sample(others, 2 if kind > 0.85 else 1)
        if rng.random() < 0.1:
            ref, alts = ref.lower(), [alt.lower() for alt in alts]
        choices = ["0/0", "0/0", "0/1", "1/1", "0|1", "./."] + (["1/2", "0/2"] if len(alts) > 1 else [])
        genotypes = {sample: rng.choice(choices) for sample in samples}
        calls.append(Call(chrom, pos, ref, alts, genotypes, rng.choice(["PASS", "PASS", ".", "LowQ"]),
                          f"rs{rng.randint(1, 10**6)}" if rng.random() < 0.3 else "."))
    calls.sort(key=lambda call: (call.chrom, call.pos))
    return calls


def vcf_text(calls, samples, contigs):
    """A VCF 4.2 text of the calls, with a GT column per sample."""
    lines = ["##fileformat=VCFv4.2"]
    lines += [f"##contig=<ID={name},length={length}>" for name, length in contigs.items()]
    lines += ['##FILTER=<ID=LowQ,Description="Low quality">',
              '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
              "\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT",
                         *samples])]
    for call in calls:
        lines.append("\t".join([call.chrom, str(call.pos), call.id, call.ref, ",".join(call.alts),
                                "50", call.filter, ".", "GT",
                                *(call.genotypes[sample] for sample in samples)]))
    return "\n".join(lines) + "\n"


MAF_HEADER = ["Hugo_Symbol", "Chromosome", "Start_Position", "End_Position", "Variant_Type",
              "Reference_Allele", "Tumor_Seq_Allele1", "Tumor_Seq_Allele2",
              "Tumor_Sample_Barcode", "NCBI_Build"]


def carriers(call, index, samples):
    """The samples whose genotype holds allele number `index`, in column order."""
    return [sample for sample in samples
            if str(index) in call.genotypes[sample].replace("|", "/").split("/")]


def maf_text(calls, samples, build="GRCh37", line_end="\n", comments=("#version 2.4",)):
    """The MAF of the same calls: one row per carrying sample and alternate allele, Allele1
    the reference allele, except for homozygous calls, where Allele1 is the alternate and
    Allele2 the reference allele (the reader then takes Allele1)."""
    lines = list(comments) + ["\t".join(MAF_HEADER)]
    for call in calls:
        for index, alt in enumerate(call.alts, start=1):
            for sample in carriers(call, index, samples):
                homozygous = call.genotypes[sample] in ("1/1",)
                allele1, allele2 = (alt, call.ref) if homozygous else (call.ref, alt)
                kind = "SNP" if len(call.ref) == 1 else "DNP"
                lines.append("\t".join(["GENE", call.chrom, str(call.pos),
                                        str(call.pos + len(call.ref) - 1), kind, call.ref,
                                        allele1, allele2, sample, build]))
    return line_end.join(lines) + line_end


def expected_rows(calls, samples, project, build, *, rename=None, pass_only=False):
    """The table rows the plain rules give for the calls (substitutions only): one per
    alternate allele and carrying sample, alleles upper-cased and trimmed; a MAF's rows have
    "." for every ID."""
    rows = []
    for call in calls:
        if pass_only and call.filter not in ("PASS", "."):
            continue
        chrom = call.chrom if rename is None else rename.get(call.chrom)
        if chrom is None:
            continue
        for index, alt in enumerate(call.alts, start=1):
            ref, alt_up, pos = call.ref.upper(), alt.upper(), call.pos
            while ref and ref[0] == alt_up[0]:
                ref, alt_up, pos = ref[1:], alt_up[1:], pos + 1
            while ref and ref[-1] == alt_up[-1]:
                ref, alt_up = ref[:-1], alt_up[:-1]
            kind = {1: "SNV", 2: "DBS"}[len(ref)]
            for sample in carriers(call, index, samples):
                rows.append([sample, project, call.id, build, kind, chrom, str(pos),
                             str(pos + len(ref) - 1), ref, alt_up])
    return rows


# ---- the lambda phage genome ---------------------------------------------------------------

@pytest.fixture(scope="session")
def lambda_fasta(tmp_path_factory):
    """The lambda phage FASTA, unpacked (pysam reads it as the oracle)."""
    plain = tmp_path_factory.mktemp("lambda") / "lambda.fa"
    with gzip.open(LAMBDA_FASTA, "rb") as packed, open(plain, "wb") as out:
        shutil.copyfileobj(packed, out)
    return plain


@pytest.fixture(scope="session")
def lambda_reference(tmp_path_factory):
    """The reference folder that `mutflank reference` builds from the lambda phage genome,
    under GRCh38."""
    root = tmp_path_factory.mktemp("lambda-reference") / "ref"
    status, _, stderr = run("reference", LAMBDA_FASTA, root, "--build", "GRCh38")
    assert status == 0, stderr
    return root


@pytest.fixture(scope="session")
def lambda_genome(lambda_fasta):
    """{chromosome: bases} of the lambda phage genome, read by pysam."""
    import pysam

    with pysam.FastaFile(str(lambda_fasta)) as fasta:
        return {name: fasta.fetch(name).upper() for name in fasta.references}
