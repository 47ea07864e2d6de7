"""Readers of the command's inputs: VCF/BCF, MAF and the ten-column mutation table.

    with open_input(name) as source:        # '-' is standard input
        for records in read(source):         # Records batches (see records.py)
            ...

`open_input` opens the input once (a regular file, standard input, a pipe or a FIFO), tells
its format from the first bytes of that same stream (gzip and bgzip unpacked, a UTF-8
byte-order mark ignored) and reads its header; `read` goes on through the same stream. Faults
are InputErrors naming the input and the line.

VCF text is scanned by the engine (`_engine.VcfScanner`, C++ in src/core/vcf_scanner.cpp):
once its header is read here, the engine reads the same descriptor again, a regular file by
positioned reads from where it was opened, anything else from the bytes read so far and then
the rest, and unpacks gzip and bgzip itself; vcf.py turns its batches into Records and its
faults into the messages. It starts no process per input, keeps the line numbers and 64-bit
positions that `bcftools query` loses, and takes less CPU than `bcftools query` on the same
file (bench/cli_engine.py). BCF, a binary format, is read in process by htslib on the same
descriptor (bcf.py) into the same batches.
"""

import os
import stat

from ..runtime.errors import InputError, UsageError
from . import stream
from .bcf import BcfInput
from .maf import MafHeader, MafRecords, is_maf_header
from .mutation_tables import TableRecords
from .records import sample_from_path
from .vcf import FIXED, VcfHeader, VcfRecords

BATCH_RECORDS = 1 << 16  # records in one batch (a batch may exceed it by one line's records)
KINDS = ("vcf", "bcf", "maf", "table")
NOT_AN_INPUT = "not a VCF, BCF, MAF or mutation table file"


class Input:
    """One opened input.

    name: as the user gave it ('-' for standard input); kind: 'vcf', 'bcf', 'maf' or
    'table'; compressed: gzip or bgzip; stat: os.stat_result of what was opened (device and
    inode tell the same file named twice); samples: the sample columns of a VCF/BCF header
    with genotypes, or [the file's stem] for one without (None for MAF and tables); columns:
    the sample columns of a VCF/BCF header, with genotypes or without;
    names_build: whether the records name their build (MAF with NCBI_Build, tables);
    header_line: the line of a MAF's header (else 0); stem: the file name without folder and
    suffixes."""

    def __init__(self, name, fd, info, close):
        self.name = name
        self.stat = info
        self.kind = None
        self.compressed = False
        self.samples = None
        self.columns = None
        self.names_build = False
        self.header_line = 0
        self.stem = sample_from_path(name)
        self._fd = fd
        self._close = close
        self._lines = None
        self._header = None
        self._bcf = None  # a BCF: its BcfInput
        self._text = None  # the generator of the input's text
        self._raw = None  # a VCF that is no regular file: the bytes read while opening it
        self._offset = None  # a regular file: where reading it started
        self._read = False

    def close(self):
        _stop(self._text)
        if self._bcf is not None:
            self._bcf.close()
            self._bcf = None
        if self._close and self._fd is not None:
            os.close(self._fd)
        self._fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        return f"Input({self.name!r}, kind={self.kind!r})"


_HEAP = {"steady": False}


def _steady_heap():
    """Asks glibc's malloc to keep blocks of a few MiB on its heap: the column arrays of every
    block of input are made and freed again, and given back to the system each time they cost
    more in page faults than the reading itself (a VCF of 10,000 samples: twice the time)."""
    if _HEAP["steady"]:
        return
    _HEAP["steady"] = True
    try:
        import ctypes

        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return  # not glibc
    mallopt(-3, 64 << 20)  # M_MMAP_THRESHOLD: allocations below this come from the heap
    mallopt(-1, 128 << 20)  # M_TRIM_THRESHOLD: free heap top kept up to this


def open_input(name, path=None):
    """The Input `name`, opened once, its format told and its header read (InputError).
    `path`: the file to open when it is not `name` (an absolute path for a worker in another
    folder); messages still name `name`."""
    _steady_heap()
    fd, info, close = stream.open_descriptor(name, path)
    source = Input(name, fd, info, close)
    try:
        _start(source)
    except BaseException:
        source.close()
        raise
    return source


def _stop(text):
    """Closes a generator of text (and the thread unpacking it, if any)."""
    close = getattr(text, "close", None)
    if close is not None:
        close()


class _Recorder:
    """The raw chunks of an input, keeping a copy of those read until `stop()`: a BCF that is
    no regular file goes to htslib whole, the bytes read while telling its format included."""

    def __init__(self, name, fd, start):
        self._chunks = stream.raw_chunks(name, fd, start)
        self._kept = []

    def __iter__(self):
        for chunk in self._chunks:
            if self._kept is not None:
                self._kept.append(chunk)
            yield chunk

    def stop(self):
        """The bytes read so far; no more are kept."""
        kept, self._kept = self._kept, None
        return b"".join(kept)


def _start(source):
    name, fd = source.name, source._fd
    source._offset = None
    if stat.S_ISREG(source.stat.st_mode):
        try:
            source._offset = os.lseek(fd, 0, os.SEEK_CUR)  # the engine reads on from here
        except OSError:
            pass
    start = stream.read_start(name, fd, 4)
    source.compressed = start[:2] == stream.GZIP_MAGIC
    recorder = _Recorder(name, fd, start)
    chunks = iter(recorder)
    if not source.compressed:
        text = chunks
    elif stat.S_ISREG(source.stat.st_mode):
        text = stream.unpacked_ahead(name, chunks)
    else:
        text = stream.gunzip(name, chunks)
    source._text = text
    lines = stream.Lines(name, text)
    head = lines.head
    if head.startswith(b"BCF\x02"):
        raw = recorder.stop()
        source.kind = "bcf"
        _stop(text)  # nothing more is read here: htslib reads the descriptor
        source._bcf = BcfInput(name, fd, raw, source._offset)
        lines = stream.Lines(name, [source._bcf.header_text])
        source._header = VcfHeader(name, lines)
    elif head.startswith(b"##fileformat=VCF") or _names_vcf_columns(head):
        source.kind = "vcf"
        source._header = VcfHeader(name, lines)
        # The engine reads the text again from the start: a regular file by positioned
        # reads, anything else from the bytes read so far and then the descriptor.
        source._raw = recorder.stop() if source._offset is None else None
    else:
        source.kind = _kind_of_text(name, head, source.compressed, len(start))
        if source.kind == "maf":
            source._header = MafHeader(name, lines)
            source.header_line = source._header.line
            source.names_build = source._header.build_at is not None
        else:
            source.names_build = True
        # The engine reads a MAF or a table again from the start, as it does VCF text.
        kept = recorder.stop()
        source._raw = kept if source._offset is None else None
    source._lines = lines
    if source._header is not None and source.kind in ("vcf", "bcf"):
        header = source._header
        source.columns = list(header.columns)
        source.samples = list(header.columns) if header.has_gt and header.columns else [
            source.stem]


def check_distinct(paths, action="counted"):
    """UsageError when one file (same device and inode, or standard input) is named twice:
    each input is `action` once."""
    seen = {}
    for path in paths:
        if path == "-":
            key = "-"
        else:
            try:
                info = os.stat(path)
            except OSError:
                continue  # the reader names the fault
            key = (info.st_dev, info.st_ino)
        if key in seen:
            raise UsageError(f"{seen[key]} and {path} are the same input: each input is "
                             f"{action} once, name it once")
        seen[key] = path


def _names_vcf_columns(head):
    """Whether the first line is the #CHROM line of a VCF (one written without ## lines)."""
    first = head.split(b"\n", 1)[0].rstrip(b"\r")
    return tuple(first.split(b"\t")[:len(FIXED)]) == FIXED


def _kind_of_text(name, head, compressed, size):
    if not head.strip():
        if compressed:
            raise InputError(f"{name}: gzip-compressed, but holds no text")
        if not size:
            raise InputError(f"{name}: is empty (0 bytes): {NOT_AN_INPUT}")
        raise InputError(f"{name}: holds only blank lines: {NOT_AN_INPUT}")
    for line in head.split(b"\n"):
        line = line.rstrip(b"\r")
        if line and not line.startswith(b"#"):
            fields = line.split(b"\t")
            if is_maf_header(fields):
                return "maf"
            if len(fields) >= 10:
                return "table"
            break
    if head[:4] == b"BCF\x02" or not _is_text(head):
        raise InputError(f"{name}: {NOT_AN_INPUT} (it holds binary data)")
    raise InputError(f"{name}: {NOT_AN_INPUT}")


def _is_text(head):
    try:
        head[:4096].decode("utf-8")
    except UnicodeDecodeError as error:
        if error.reason != "unexpected end of data":  # not a character cut at the end
            return False
    return b"\x00" not in head[:4096]


def read(source, *, sample=None, pass_only=False, build=None, batch_size=BATCH_RECORDS,
         samples=None, exclude=frozenset(), held=None, rows=None, snvs=None):
    """Iterator of the Records batches of an opened Input, read once from where open_input
    left off. VCF/BCF: `sample` takes one sample column (without genotypes: names the one
    sample); `pass_only` leaves out records whose FILTER is neither PASS nor '.' (VCF/BCF, and
    a MAF with a FILTER column; tables have none). `build`: the build of every record, instead
    of what the input says (a MAF's NCBI_Build is then not read). `samples` (None: all) and
    `exclude`: a MAF's rows, and a VCF's alleles, of other samples only are passed over before
    anything else, so that what is left out is of these samples only; the names of `exclude` so passed over are added
    to the set `held` (when given). `rows` (vcf.RowsWanted): a VCF's batches are the
    ten-column table's rows (vcf.TableRows) instead of Records. `snvs`: a counter's hook for
    the SNVs of VCF text (see vcf.VcfRecords.engine_batches); ignored for other inputs.
    InputError at the first fault."""
    if rows is not None and source.kind != "vcf":
        raise ValueError("table rows are written from VCF text only")
    if source._read:
        raise ValueError(f"{source.name} has been read already")
    source._read = True
    if source.kind in ("vcf", "bcf"):
        parser = VcfRecords(source, source._header, sample=sample, pass_only=pass_only,
                            batch_size=batch_size, by_record=source.kind == "bcf",
                            build="" if build is None else build, samples=samples,
                            exclude=exclude)
        if sample is not None:
            source.samples = [sample]
        if source.kind == "vcf":
            _stop(source._text)  # the engine reads the descriptor from here on
            source._text = None
            batches = parser.engine_batches(source._fd, source._raw, source._offset or 0,
                                            rows=rows, snvs=snvs)
        else:
            batches = parser.bcf_batches(source._bcf.reader)
        return batches
    elif sample is not None:
        raise ValueError("a sample column is taken from VCF/BCF inputs only")
    elif source.kind == "maf":
        _stop(source._text)  # the engine reads the descriptor from here on
        source._text = None
        return MafRecords(source, source._header, batch_size=batch_size, build=build,
                          pass_only=pass_only, samples=samples, exclude=exclude,
                          held=held).engine_batches(source._fd, source._raw,
                                                    source._offset or 0)
    else:
        _stop(source._text)  # the engine reads the descriptor from here on
        source._text = None
        batches = TableRecords(source, batch_size=batch_size).engine_batches(
            source._fd, source._raw, source._offset or 0)
        return batches if build is None else _with_build(batches, build)


def _with_build(batches, build):
    for records in batches:
        records.build[:] = build
        yield records


def read_all(name, **options):
    """Every Records batch of the input `name` (a convenience for tests and small inputs)."""
    with open_input(name) as source:
        return list(read(source, **options))

