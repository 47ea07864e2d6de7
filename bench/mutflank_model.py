"""mutflank in pure Python: the readable statement of what the module does.

    from mutflank_model import parse_vcf_files
    rows = parse_vcf_files(["a.tsv", "b.tsv"], "/data/reference", 5)

It returns what `mutflank.parse_vcf_files` returns (a NumPy object array of shape (n, 2), or
(0, 0) without rows) and raises the same exceptions with the same messages. It is the
oracle of tests/python/module/test_differential.py and the baseline of bench/run.py, so it is
written to be read, not to be fast; it follows the same I/O pattern as the module (every
kept record opens, seeks, reads and closes its reference file).

The rules, in the order the module applies them:

Arguments. parse_vcf_files(vcf_files, ref_genome, context): three parameters, by position
or keyword. vcf_files must be a list (or a list subclass), ref_genome a str, context an
integer (index protocol) in 0 .. 2**64 - 1. The half-width is context // 2.

Tables. Each file is read line by line; a line ends at a line feed, a carriage return just
before it belongs to the terminator, a last line without a line feed still counts (its
carriage return, if any, stays). A line that is not UTF-8 fails the whole call. The line is
split at every tab; with fewer than 10 fields it is skipped. Fields: 0 and 1 make the row
key "f0::f1", 3 is the build, 4 the type, 5 the chromosome, 6 the position, 8 the reference
allele, 9 the alternate allele.

A record is kept when the build is GRCh37 or GRCh38, the type SNP or SNV, the alternate one
of A, C, G, T, and the folded alleles differ. Folding: every A of the reference becomes T
and every G becomes C; when the reference is exactly "G" or "A" the substitution is read on
the other strand, so the alternate is complemented too, and so are the flanks (see below).
Only a kept record has its position parsed (an optional "+" and decimal digits).

Window. The reference file is <ref_genome>/<build>/<chromosome>.txt, one byte per base
(0..15: "ACGT"[byte % 4]; 16..19: N; anything else: a space). Around position p with
half-width h the window starts at p - 1 - h, or at 0 near the chromosome start, and ends
h bases after p. The left flank is the bases of the window before p (h of them, fewer at
the chromosome start), the right flank the h bases after p; the base at p is dropped.
Arithmetic is unsigned 64-bit, so position 0 points far beyond any file.

Context string: left flank, "[", folded reference, ">", folded alternate, "]", right flank.
A folded record (reference exactly "G" or "A") reads its flanks on the other strand: the
left of the string is the reverse complement of the right flank and vice versa.
"""

import operator
import os
import stat
import sys

import numpy as np

__all__ = ["parse_vcf_files", "PanicException"]

U64 = 1 << 64
MAX_FILE_OFFSET = (1 << 63) - 1  # the largest offset lseek() can be asked for
READ_CHUNK = 1 << 20  # a huge window is read this much at a time, never allocated at once

PARAMETERS = ("vcf_files", "ref_genome", "context")
BUILDS = ("GRCh37", "GRCh38")
TYPES = ("SNP", "SNV")
BASES = ("A", "C", "G", "T")
PURINE_TO_PYRIMIDINE = str.maketrans({"A": "T", "G": "C"})
COMPLEMENT = str.maketrans({"A": "T", "C": "G", "G": "C", "T": "A"})

# Reference bytes to characters, and the same complemented (N and space stay).
DECODE = bytes(b"ACGT"[v % 4] if v < 16 else b"N"[0] if v < 20 else b" "[0] for v in range(256))
DECODE_COMPLEMENT = bytes(DECODE).translate(bytes.maketrans(b"ACGT", b"TGCA"))

# The fixed messages of input/output failures, raised as plain OSError(message).
OPEN_TABLE = "Failed to open the VCF file"
READ_LINE = "Error reading line from the VCF file"
OPEN_REFERENCE = "Failed to open the bytes file"
SEEK = "Error seeking to the specified position"
READ_WINDOW = "Error reading data from the file"

# Internal failures, raised as PanicException(message).
CAPACITY_OVERFLOW = "capacity overflow"
_PARSE_INT = "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: %s }"
POSITION_EMPTY = _PARSE_INT % "Empty"
POSITION_INVALID_DIGIT = _PARSE_INT % "InvalidDigit"
POSITION_OVERFLOW = _PARSE_INT % "PosOverflow"


class PanicException(BaseException):
    """An internal failure of mutflank (a position that is not a number, a window too
    large to hold). Derived from BaseException, so `except Exception` does not catch it."""


PanicException.__module__ = "pyo3_runtime"


def _panic(message):
    sys.stderr.write(f"thread '<unnamed>' panicked at mutflank_model.py:\n{message}\n")
    return PanicException(message)


# ---------------------------------------------------------------------------------------
# The call: arguments, then every file in list order, then the array.


def parse_vcf_files(*args, **kwargs):
    """parse_vcf_files(vcf_files, ref_genome, context): the rows of every table, in order,
    as an object array of shape (n, 2), or (0, 0) without rows."""
    vcf_files, ref_genome, context = _bind(args, kwargs)

    if not isinstance(vcf_files, list):
        raise TypeError(f"argument 'vcf_files': {_not_convertible(vcf_files, 'PyList')}") \
            from None
    if not isinstance(ref_genome, str):
        raise TypeError(f"argument 'ref_genome': {_not_convertible(ref_genome, 'PyString')}") \
            from None
    root = ref_genome.encode("utf-8")  # a lone surrogate: UnicodeEncodeError, unchanged
    try:
        context = operator.index(context)
    except TypeError as error:
        if type(error) is not TypeError:  # a subclass goes on unchanged
            raise
        raise TypeError(f"argument 'context': {_text_of(error)}") from error.__cause__
    if context < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if context >= U64:
        raise OverflowError("int too big to convert")
    half_width = context // 2

    rows = []
    index = 0
    # The list's own storage is read: a subclass's __getitem__ or __iter__ is not called.
    while index < list.__len__(vcf_files):
        path = list.__getitem__(vcf_files, index)
        if not isinstance(path, str):
            raise _not_convertible(path, "PyString")
        rows.extend(scan_file(path.encode("utf-8"), root, half_width))
        index += 1

    if not rows:
        return np.empty((0, 0), dtype=object)
    result = np.empty((len(rows), 2), dtype=object)
    for i, (key, context_string) in enumerate(rows):
        result[i, 0] = key
        result[i, 1] = context_string
    return result


def _bind(args, kwargs):
    """The three parameters from positional values and keywords, or the TypeError that
    Python itself would raise for `def parse_vcf_files(vcf_files, ref_genome, context)`
    (the count of positional values is checked first)."""
    name = "parse_vcf_files()"
    if len(args) > len(PARAMETERS):
        raise TypeError(f"{name} takes 3 positional arguments but {len(args)} were given")
    values = dict(zip(PARAMETERS, args))
    for keyword, value in kwargs.items():
        if keyword not in PARAMETERS:
            raise TypeError(f"{name} got an unexpected keyword argument '{keyword}'")
        if keyword in values:
            raise TypeError(f"{name} got multiple values for argument '{keyword}'")
        values[keyword] = value
    missing = [f"'{p}'" for p in PARAMETERS if p not in values]
    if missing:
        if len(missing) == 1:
            listed = missing[0]
        elif len(missing) == 2:
            listed = " and ".join(missing)
        else:
            listed = ", ".join(missing[:-1]) + ", and " + missing[-1]
        noun = "argument" if len(missing) == 1 else "arguments"
        raise TypeError(f"{name} missing {len(missing)} required positional {noun}: {listed}")
    return values["vcf_files"], values["ref_genome"], values["context"]


def _type_name(value):
    try:
        return type(value).__qualname__
    except Exception:
        return "<failed to extract type name>"


def _not_convertible(value, target):
    return TypeError(f"'{_type_name(value)}' object cannot be converted to '{target}'")


def _text_of(error):
    """str() of an exception; when that fails, the failure goes to the unraisable hook."""
    try:
        return str(error)
    except BaseException as unprintable:
        sys.unraisablehook(sys.UnraisableHookArgs(
            (type(unprintable), unprintable, unprintable.__traceback__, None, None)))
        return f"<unprintable {_type_name(error)} object>"


# ---------------------------------------------------------------------------------------
# One table file.


def scan_file(path, root, half_width):
    """The rows (key, context string) of one table, in line order."""
    if b"\0" in path:
        raise OSError(OPEN_TABLE)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        raise OSError(OPEN_TABLE) from None
    try:
        if stat.S_ISDIR(os.fstat(fd).st_mode):  # a directory opens, but cannot be read
            raise OSError(READ_LINE)
        rows = []
        with open(fd, "rb", closefd=False) as table:
            for line in _lines(table):
                row = judge_line(line, root, half_width)
                if row is not None:
                    rows.append(row)
        return rows
    finally:
        os.close(fd)


def _lines(table):
    """The lines of a binary file as text, without their terminators."""
    while True:
        try:
            raw = table.readline()
        except OSError:
            raise OSError(READ_LINE) from None
        if not raw:
            return
        if raw.endswith(b"\n"):
            raw = raw[:-2] if raw.endswith(b"\r\n") else raw[:-1]
        try:
            yield raw.decode("utf-8")
        except UnicodeDecodeError:
            raise OSError(READ_LINE) from None


def judge_line(line, root, half_width):
    """The row of one line, or None when the record is skipped."""
    fields = line.split("\t")
    if len(fields) < 10:
        return None
    build, kind, chromosome, position = fields[3], fields[4], fields[5], fields[6]
    ref, alt = fields[8], fields[9]

    if build not in BUILDS or kind not in TYPES or alt not in BASES:
        return None
    # A single purine reference base: the substitution is read on the other strand.
    folded = ref in ("G", "A")
    ref = ref.translate(PURINE_TO_PYRIMIDINE)
    if folded:
        alt = alt.translate(COMPLEMENT)
    if ref == alt:
        return None

    left, right = read_flanks(root, build, chromosome, parse_position(position), half_width,
                              folded)
    return f"{fields[0]}::{fields[1]}", f"{left}[{ref}>{alt}]{right}"


def parse_position(text):
    """An optional "+" and one or more decimal digits, up to 2**64 - 1. The first offending
    character from the left decides: a non-digit, or a digit that makes the value too big."""
    if not text:
        raise _panic(POSITION_EMPTY)
    digits = text[1:] if text[0] == "+" else text
    if not digits:
        raise _panic(POSITION_INVALID_DIGIT)
    value = 0
    for character in digits:
        if character not in "0123456789":
            raise _panic(POSITION_INVALID_DIGIT)
        value = value * 10 + int(character)
        if value >= U64:
            raise _panic(POSITION_OVERFLOW)
    return value


# ---------------------------------------------------------------------------------------
# One reference window.


def read_flanks(root, build, chromosome, position, half_width, folded=False):
    """(left, right) around the 1-based position; on the other strand when folded."""
    path = b"%s/%s/%s.txt" % (root, build.encode(), chromosome.encode())
    if b"\0" in path:
        raise OSError(OPEN_REFERENCE)
    before = (position - 1) % U64  # the 0-based offset of the position itself
    start = before - half_width if before >= half_width else 0
    length = (position + half_width - start) % U64
    mid = before - start  # index of the position in the window

    try:
        # Non-blocking, so that a FIFO fails at the seek instead of waiting for a writer.
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        raise OSError(OPEN_REFERENCE) from None
    try:
        if start > MAX_FILE_OFFSET:
            raise OSError(SEEK)
        try:
            os.lseek(fd, start, os.SEEK_SET)
        except OSError:
            raise OSError(SEEK) from None
        if length > MAX_FILE_OFFSET:
            raise _panic(CAPACITY_OVERFLOW)
        window = _read_exactly(fd, length)
    finally:
        os.close(fd)

    if folded:
        return (window[mid + 1:].translate(DECODE_COMPLEMENT)[::-1].decode("ascii"),
                window[:mid].translate(DECODE_COMPLEMENT)[::-1].decode("ascii"))
    return window[:mid].translate(DECODE).decode("ascii"), \
        window[mid + 1:].translate(DECODE).decode("ascii")


def _read_exactly(fd, length):
    """`length` bytes from the current offset; the file ending first is a failure."""
    window = bytearray()
    while len(window) < length:
        try:
            chunk = os.read(fd, min(length - len(window), READ_CHUNK))
        except OSError:
            raise OSError(READ_WINDOW) from None
        if not chunk:
            raise OSError(READ_WINDOW)
        window += chunk
    return bytes(window)
