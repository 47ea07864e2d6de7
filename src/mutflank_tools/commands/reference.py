"""`mutflank reference FASTA OUTDIR --build B`: the reference folder OUTDIR/<build>/<chrom>.txt,
one byte per base, from a FASTA file (plain, gzip or bgzip).

The build folder is written under a temporary name and renamed at the end, so a failed run
leaves no chromosome behind: a new OUTDIR is made whole beside its final name; in an existing
OUTDIR, the temporary folder sits inside it. An existing OUTDIR/<build> that holds anything is
never touched: the run is refused before the FASTA is read.
"""

import gzip
import os
import sys
import zlib

from ..reference import annotation as annotations
from ..reference.fasta import FastaConverter, FastaError, ReferenceWriter
from ..runtime.errors import InputError, shown
from ..runtime.outputs import atomic_directory
from ..runtime.progress import progress
from . import options

SUMMARY = "build a reference folder (one byte per base) from a FASTA file"
EXAMPLE = "mutflank reference hg38.fa.gz reference --build GRCh38"


def add_arguments(parser):
    parser.add_argument("fasta", metavar="FASTA",
                        help="FASTA file, plain or gzip/bgzip ('-': standard input)")
    parser.add_argument("outdir", metavar="OUTDIR", help="reference folder to write")
    options.add_build(parser, required=True)
    parser.add_argument("--annotation", metavar="GENES.gtf",
                        help="GTF or GFF3 gene annotation (plain or gzip): each base also "
                             "carries its transcribed strand, for the SBS192/SBS384 matrices")

BLOCK_SIZE = 1 << 22  # 4 MiB of FASTA text per read


def _open_fasta(path):
    """(stream of the FASTA text, raw file whose position tells the progress, or None when
    it has none: a pipe). The file is read once, from its start: a pipe works too."""
    if os.path.isdir(path):
        raise InputError(f"{path}: is a folder")
    try:
        raw = open(sys.stdin.fileno() if path == "-" else path, "rb", closefd=path != "-")
    except OSError as error:
        raise InputError(f"{path}: {error.strerror}") from None
    try:
        magic = raw.peek(2)[:2]
    except OSError as error:
        raw.close()
        raise InputError(f"{path}: {error.strerror}") from None
    position = raw if raw.seekable() else None
    if magic == b"\x1f\x8b":
        return gzip.GzipFile(fileobj=raw, mode="rb"), raw, position
    return raw, raw, position


def convert_fasta(fasta, folder, bar=None):
    """Writes the sequences of `fasta` into `folder`; returns [(chromosome, length), ...].
    FastaError for a malformed file, InputError for one that cannot be read."""
    writer = ReferenceWriter(folder)
    converter = FastaConverter(writer)
    stream, raw, position = _open_fasta(fasta)
    try:
        with stream, raw:
            done = 0
            while True:
                try:
                    block = stream.read(BLOCK_SIZE)
                except (EOFError, zlib.error, gzip.BadGzipFile) as error:
                    raise FastaError(f"cannot decompress: {error}") from None
                except OSError as error:
                    raise InputError(f"{fasta}: {error.strerror or error}") from None
                if not block:
                    break
                converter.feed(block)
                if bar is not None and position is not None:
                    now = position.tell()
                    bar.update(now - done)
                    done = now
            converter.close()
    finally:
        writer.abandon()
    return [tuple(entry) for entry in writer.lengths]


def build_reference(fasta, outdir, build, bar=None, annotation=None):
    """Writes outdir/<build>/ from `fasta` atomically; returns [(chromosome, length), ...].
    `annotation`: a GTF or GFF3 file, read while the FASTA is; every base then also carries
    its strand bits."""

    def convert(folder):
        if annotation is None:
            return convert_fasta(fasta, folder, bar)
        reading = annotations.AnnotationReading(annotation)
        try:
            lengths = convert_fasta(fasta, folder, bar)
            genes = reading.result()
        finally:
            reading.close()
        unmatched, past = annotations.paint_folder(folder, lengths, genes)
        if genes.regions and len(unmatched) == len(genes.regions):
            # Strand matrices of this folder would hold nothing but "no gene" substitutions.
            raise InputError(
                f"{annotation}: no annotated sequence is a sequence of the FASTA: the annotation "
                f"names {_few(unmatched)}, the FASTA {_few([name for name, _ in lengths])}")
        _report_unmatched(unmatched)
        _report_past_end(past)
        annotations.write_marker(folder, annotation, genes)
        return lengths

    target = os.path.join(outdir, build)
    if os.path.isdir(outdir):
        if os.path.exists(target) and not (os.path.isdir(target) and not os.listdir(target)):
            raise InputError(f"{target}: already exists; remove it first, or choose another "
                             "folder")
        with atomic_directory(target) as folder:
            return convert(folder)
    if os.path.exists(outdir):
        raise InputError(f"{outdir}: exists and is not a folder")
    with atomic_directory(outdir) as folder:
        inner = os.path.join(folder, build)
        os.mkdir(inner)
        return convert(inner)


def _few(names, count=5):
    return ", ".join(map(shown, names[:count])) + (" ..." if len(names) > count else "")


def _report_past_end(past):
    """Says how many annotated regions (a gene or transcript, or several overlapping on one
    strand) ran past their sequence's end, and where: their bases beyond it are left out."""
    if past:
        total = sum(count for _, count in past)
        one = total == 1
        print(f"mutflank reference: {total:,} annotated region{'' if one else 's'} "
              f"run{'s' if one else ''} past the end of {'its' if one else 'their'} sequence "
              f"and {'was' if one else 'were'} clipped at it: "
              f"{_few([f'{name} ({count:,})' for name, count in past])}", file=sys.stderr)


def _report_unmatched(names):
    if names:
        print(f"mutflank reference: {len(names):,} annotated sequence"
              f"{'' if len(names) == 1 else 's'} not in the FASTA, left out: {_few(names)}",
              file=sys.stderr)


def run(args):
    build = args.build  # canonical: checked by the option's parser
    try:
        size = os.stat(sys.stdin.fileno() if args.fasta == "-" else args.fasta).st_size
    except OSError as error:
        raise InputError(f"{args.fasta}: {error.strerror}") from None
    with progress(total=size, unit="B", unit_scale=True, unit_divisor=1024,
                  desc="reading FASTA") as bar:
        try:
            lengths = build_reference(args.fasta, args.outdir, build, bar, args.annotation)
        except FastaError as error:
            raise InputError(f"{args.fasta}: {error}") from None
        except OSError as error:  # writing the folder: a full disk names the folder
            raise InputError(f"{args.outdir}: cannot write: {error.strerror}") from None
    bases = sum(length for _, length in lengths)
    print(f"mutflank reference: wrote {len(lengths):,} sequence{'' if len(lengths) == 1 else 's'}"
          f", {bases:,} bases, to {os.path.join(args.outdir, build)}", file=sys.stderr)
