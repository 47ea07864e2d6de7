#!/usr/bin/python3
"""Build mutflank's reference directory from a FASTA file.

    make_reference.py FASTA OUTDIR --build GRCh37|GRCh38

writes OUTDIR/<build>/<chrom>.txt for every sequence of FASTA (plain or gzip/bgzip),
one byte per base: A 0, C 1, G 2, T 3, N and every other IUPAC code 16. Lower case
(soft-masked) bases are encoded like upper case. The chromosome name is the first word
of the header line. The file is read in fixed-size blocks and every block is written
out before the next one is read, so memory stays bounded whatever the genome size.
"""

import argparse
import gzip
import os
import sys
import zlib

BUILDS = ("GRCh37", "GRCh38")
BLOCK_SIZE = 1 << 22  # 4 MiB of FASTA text per read
N_CODE = 16
INVALID = 0xFF  # marks a byte that no FASTA sequence line may hold
IUPAC_OTHER = b"NRYSWKMBDHVU"  # every code that is not one of the four bases


def _encoding_table():
    table = bytearray([INVALID]) * 256
    for code, base in enumerate(b"ACGT"):
        table[base] = code
        table[base + 32] = code  # lower case
    for base in IUPAC_OTHER:
        table[base] = N_CODE
        table[base + 32] = N_CODE
    return bytes(table)


ENCODE = _encoding_table()
# Line ends and stray blanks inside sequence lines carry no base.
BLANKS = b"\r\n \t"


class FastaError(Exception):
    """A malformed FASTA file; the message names the line."""


def _open_fasta(path):
    """Return (text stream of the FASTA, raw file whose position tells the progress)."""
    raw = open(path, "rb")
    if raw.read(2) == b"\x1f\x8b":
        raw.seek(0)
        return gzip.GzipFile(fileobj=raw, mode="rb"), raw
    raw.seek(0)
    return raw, raw


def _chrom_name(header, line_no):
    """The first word of a header line (without the leading '>')."""
    words = header.split()
    if not words:
        raise FastaError(f"line {line_no}: header without a sequence name")
    try:
        name = words[0].decode("utf-8")
    except UnicodeDecodeError:
        raise FastaError(f"line {line_no}: sequence name is not valid UTF-8") from None
    if name in (".", "..") or "/" in name or "\0" in name:
        raise FastaError(f"line {line_no}: sequence name {name!r} cannot be a file name")
    return name


class ReferenceWriter:
    """Writes the encoded sequences, one file per chromosome, each complete before the next.

    A chromosome is written to '<chrom>.txt.part' and renamed when its last base is in, so
    a file named '<chrom>.txt' is always whole.
    """

    def __init__(self, build_dir):
        self.build_dir = build_dir
        self.names = set()
        self.lengths = []  # (name, number of bases) in file order
        self._out = None
        self._part = None
        self._final = None

    def start(self, name, line_no):
        self.finish()
        if name in self.names:
            raise FastaError(f"line {line_no}: sequence name {name!r} appears twice")
        self.names.add(name)
        self._final = os.path.join(self.build_dir, name + ".txt")
        self._part = self._final + ".part"
        self._out = open(self._part, "wb")
        self.lengths.append([name, 0])

    def write(self, encoded):
        self._out.write(encoded)
        self.lengths[-1][1] += len(encoded)

    @property
    def open(self):
        return self._out is not None

    def finish(self):
        if self._out is not None:
            self._out.close()
            os.replace(self._part, self._final)
            self._out = None

    def abandon(self):
        """Drops the chromosome being written (after an error)."""
        if self._out is not None:
            self._out.close()
            os.unlink(self._part)
            self._out = None


def _first_bad_byte(segment):
    """Index of the first byte in segment that is neither a base code nor a blank."""
    for i, byte in enumerate(segment):
        if ENCODE[byte] == INVALID and byte not in BLANKS:
            return i
    raise AssertionError("no invalid byte in segment")


class FastaConverter:
    """A state machine over blocks of FASTA text; a line may span several blocks."""

    def __init__(self, writer):
        self.writer = writer
        self.lines_done = 0  # line feeds consumed so far
        self.at_line_start = True
        self.header = None  # bytes of the header being read, or None in sequence text

    def feed(self, block):
        i, n = 0, len(block)
        while i < n:
            if self.header is not None:
                j = block.find(b"\n", i)
                if j < 0:
                    self.header += block[i:]
                    self.at_line_start = False
                    return
                self.header += block[i:j]
                self.lines_done += 1
                self.writer.start(_chrom_name(self.header, self.lines_done), self.lines_done)
                self.header = None
                self.at_line_start = True
                i = j + 1
                continue
            if self.at_line_start and block[i] == ord(">"):
                self.header = b""
                i += 1
                continue
            j = block.find(b"\n>", i)
            end = n if j < 0 else j + 1
            self._sequence(block[i:end])
            i = end

    def _sequence(self, segment):
        encoded = segment.translate(ENCODE, BLANKS)
        if encoded:
            if INVALID in encoded:
                bad = _first_bad_byte(segment)
                line_no = self.lines_done + 1 + segment.count(b"\n", 0, bad)
                byte = segment[bad]
                shown = repr(chr(byte)) if 32 < byte < 127 else f"byte 0x{byte:02x}"
                raise FastaError(f"line {line_no}: {shown} is not a nucleotide code")
            if not self.writer.open:
                first = len(segment) - len(segment.lstrip(BLANKS))
                line_no = self.lines_done + 1 + segment.count(b"\n", 0, first)
                raise FastaError(f"line {line_no}: sequence before the first '>' header")
            self.writer.write(encoded)
        self.lines_done += segment.count(b"\n")
        self.at_line_start = segment.endswith(b"\n")

    def close(self):
        if self.header is not None:  # a header on the last line, without a line feed
            self.writer.start(_chrom_name(self.header, self.lines_done + 1), self.lines_done + 1)
            self.header = None
        self.writer.finish()
        if not self.writer.names:
            raise FastaError("no '>' header: not a FASTA file")


def _progress(total, quiet):
    """A tqdm bar on standard error, silent unless standard error is a terminal."""
    disable = quiet or not sys.stderr.isatty()
    try:
        from tqdm import tqdm
    except ImportError:  # the tool still works without the bar
        return None
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024,
                desc="reading FASTA", file=sys.stderr, disable=disable)


def build_reference(fasta, outdir, build, quiet=False):
    """Converts FASTA into outdir/build/<chrom>.txt; returns [(chrom, length), ...]."""
    build_dir = os.path.join(outdir, build)
    os.makedirs(build_dir, exist_ok=True)
    writer = ReferenceWriter(build_dir)
    converter = FastaConverter(writer)
    stream, raw = _open_fasta(fasta)
    bar = _progress(os.fstat(raw.fileno()).st_size, quiet)
    try:
        with stream, raw:
            done = 0
            while True:
                try:
                    block = stream.read(BLOCK_SIZE)
                except (OSError, EOFError, zlib.error) as error:  # corrupt or truncated gzip
                    raise FastaError(f"cannot decompress: {error}") from None
                if not block:
                    break
                converter.feed(block)
                if bar is not None:
                    position = raw.tell()
                    bar.update(position - done)
                    done = position
                    if writer.lengths:
                        bar.set_postfix_str(writer.lengths[-1][0], refresh=False)
            converter.close()
    except BaseException:
        writer.abandon()
        raise
    finally:
        if bar is not None:
            bar.close()
    return [tuple(entry) for entry in writer.lengths]


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Build a mutflank reference directory (one byte per base) from a FASTA file.")
    parser.add_argument("fasta", help="FASTA file, plain or gzip/bgzip compressed")
    parser.add_argument("outdir", help="reference root; files go to OUTDIR/<build>/<chrom>.txt")
    parser.add_argument("--build", required=True, choices=BUILDS,
                        help="genome build folder, as named in the mutation tables")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="no progress bar and no summary")
    args = parser.parse_args(argv)
    prog = parser.prog
    try:
        lengths = build_reference(args.fasta, args.outdir, args.build, args.quiet)
    except FastaError as error:
        print(f"{prog}: error: {args.fasta}: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{prog}: error: {error}", file=sys.stderr)
        return 1
    if not args.quiet:
        bases = sum(length for _, length in lengths)
        print(f"{prog}: wrote {len(lengths)} sequence(s), {bases} bases, to "
              f"{os.path.join(args.outdir, args.build)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
