"""FASTA text to reference files: one byte per base, one file per sequence.

A 0, C 1, G 2, T 3; N and every other IUPAC code 16; lower case (soft-masked) bases like upper
case. The sequence name is the first word of its header line. The text is fed in blocks of any
size (a line may span several), so memory stays bounded whatever the genome or line length.
"""

import gzip
import os

N_CODE = 16
INVALID = 0xFF  # marks a byte that no sequence line may hold
IUPAC_OTHER = b"NRYSWKMBDHVU"  # every code that is not one of the four bases
BLANKS = b"\r\n \t"  # line ends and stray blanks inside sequence lines carry no base
HEADER_LIMIT = 1 << 20  # longest header line accepted, in bytes
SUFFIX = ".txt"  # of a chromosome's file
NAME_LIMIT = 255 - len(SUFFIX)  # bytes of a sequence name that fit a file name


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


class FastaError(Exception):
    """A malformed FASTA file; the message names the line."""


def chromosome_name(header, line):
    """The first word of a header line (without the leading '>')."""
    words = header.split()
    if not words:
        raise FastaError(f"line {line}: header without a sequence name")
    try:
        name = words[0].decode("utf-8")
    except UnicodeDecodeError:
        raise FastaError(f"line {line}: sequence name is not valid UTF-8") from None
    if name in (".", "..") or "/" in name or "\0" in name:
        raise FastaError(f"line {line}: sequence name {name!r} cannot be a file name")
    if len(words[0]) > NAME_LIMIT:
        raise FastaError(f"line {line}: sequence name {name[:40]!r}... is {len(words[0]):,} "
                         f"bytes long, too long for a file name (at most {NAME_LIMIT})")
    return name


def starts_like_fasta(path):
    """Whether the file `path` begins (after gzip decompression) with a '>' header line."""
    try:
        with open(path, "rb") as raw:
            head = raw.read(2)
            raw.seek(0)
            if head == b"\x1f\x8b":
                with gzip.GzipFile(fileobj=raw) as text:
                    head = text.read(1)
            return head[:1] == b">"
    except (OSError, EOFError, ValueError):
        return False


def missing_reference(root):
    """The message for a reference folder `root` that is not a folder: a FASTA file in its
    place gets the command that makes a folder of it."""
    if os.path.isfile(root) and starts_like_fasta(root):
        return (f"{root}: is a FASTA file, not a reference folder: make one of it with "
                f"`mutflank reference {root} REFERENCE --build BUILD`, then give "
                "--reference REFERENCE")
    return f"{root}: no such reference folder"


class ReferenceWriter:
    """Writes the encoded sequences into one folder, one file per chromosome, each complete
    before the next; remembers the names and lengths."""

    SUFFIX = SUFFIX

    def __init__(self, folder):
        self.folder = folder
        self.names = set()
        self.lengths = []  # [name, number of bases] in file order
        self._out = None
        self._line = 0  # header line of the sequence being written

    def start(self, name, line):
        self.finish()
        if name in self.names:
            raise FastaError(f"line {line}: sequence name {name!r} appears twice")
        self.names.add(name)
        self._out = open(os.path.join(self.folder, name + self.SUFFIX), "wb")
        self._line = line
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
            self._out = None
            name, length = self.lengths[-1]
            if length == 0:
                raise FastaError(f"line {self._line}: sequence {name!r} has no bases")

    def abandon(self):
        """Closes the chromosome being written (after an error)."""
        if self._out is not None:
            self._out.close()
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
                self.header += block[i:] if j < 0 else block[i:j]
                if len(self.header) > HEADER_LIMIT:
                    raise FastaError(f"line {self.lines_done + 1}: header line longer than "
                                     f"{HEADER_LIMIT} bytes")
                if j < 0:
                    self.at_line_start = False
                    return
                self.lines_done += 1
                self.writer.start(chromosome_name(self.header, self.lines_done), self.lines_done)
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
            if not self.writer.open and not self.writer.names:
                first = len(segment) - len(segment.lstrip(BLANKS))
                line = self.lines_done + 1 + segment.count(b"\n", 0, first)
                shown = segment[first:first + 20].split(b"\n")[0].decode("utf-8", "replace")
                raise FastaError(f"line {line}: not a FASTA file: it must begin with a '>' "
                                 f"header line, not {shown!r}")
            if INVALID in encoded:
                bad = _first_bad_byte(segment)
                line = self.lines_done + 1 + segment.count(b"\n", 0, bad)
                byte = segment[bad]
                shown = repr(chr(byte)) if 32 < byte < 127 else f"byte 0x{byte:02x}"
                raise FastaError(f"line {line}: {shown} is not a nucleotide code")
            self.writer.write(encoded)
        self.lines_done += segment.count(b"\n")
        self.at_line_start = segment.endswith(b"\n")

    def close(self):
        if self.header is not None:  # a header on the last line, without a line feed
            line = self.lines_done + 1
            self.writer.start(chromosome_name(self.header, line), line)
            self.header = None
        self.writer.finish()
        if not self.writer.names:
            raise FastaError("no '>' header: not a FASTA file")
