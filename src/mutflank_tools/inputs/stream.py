"""The bytes of one input, read once: the file (or standard input, a pipe, a FIFO) is opened
once by its own name, its first bytes tell gzip from plain text, and the same stream goes on
to the parser as blocks of whole lines with their line numbers.

Limits (an InputError naming the file and line beyond them): a line holds at most
MAX_LINE_BYTES bytes, a field that goes into a record (sample, chromosome, REF, ALT, ...) at most
MAX_FIELD_BYTES. Memory is bounded by the block size plus one line, whatever the input holds.
"""

import os
import queue
import stat
import threading
import zlib

from ..runtime.errors import InputError, at_line

CHUNK_BYTES = 1 << 20  # bytes read, or unpacked, at a time
HEAD_BYTES = 1 << 16  # at least this much of the text tells its format
MAX_LINE_BYTES = 256 << 20
MAX_FIELD_BYTES = 1 << 20
GZIP_MAGIC = b"\x1f\x8b"
BOM = b"\xef\xbb\xbf"


def open_descriptor(name, path=None):
    """(descriptor, fstat, whether to close it) of the input `name` (at `path` when given);
    '-' is standard input. The file is opened by its own name: nothing in it is read as a URL
    or an index suffix."""
    target = name if path is None else path
    if target == "-":
        fd, close = 0, False
    else:
        try:
            fd = os.open(target, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as error:
            raise InputError(f"{name}: {error.strerror}") from None
        close = True
    try:
        info = os.fstat(fd)
    except OSError as error:
        if close:
            os.close(fd)
        raise InputError(f"{name}: {error.strerror}") from None
    if stat.S_ISDIR(info.st_mode):
        if close:
            os.close(fd)
        raise InputError(f"{name}: is a folder")
    return fd, info, close


def raw_chunks(name, fd, first=b""):
    """`first`, then the rest of the descriptor's bytes, CHUNK_BYTES at a time."""
    if first:
        yield first
    while True:
        try:
            chunk = os.read(fd, CHUNK_BYTES)
        except OSError as error:
            raise InputError(f"{name}: cannot read: {error.strerror}") from None
        if not chunk:
            return
        yield chunk


def read_start(name, fd, size=2):
    """At least `size` bytes from the start of the descriptor (fewer only at its end)."""
    data = b""
    while len(data) < size:
        try:
            chunk = os.read(fd, CHUNK_BYTES)
        except OSError as error:
            raise InputError(f"{name}: cannot read: {error.strerror}") from None
        if not chunk:
            break
        data += chunk
    return data


def gunzip(name, chunks):
    """The unpacked bytes of gzip (or bgzip: many members) chunks, at most CHUNK_BYTES at a
    time, so that a small file that unpacks to a huge line never sits whole in memory."""
    unpack, fed = zlib.decompressobj(31), False
    try:
        for data in chunks:
            while True:
                fed = fed or bool(data)
                out = unpack.decompress(data, CHUNK_BYTES)
                if out:
                    yield out
                if unpack.eof:
                    data = unpack.unused_data
                    unpack, fed = zlib.decompressobj(31), False
                    if not data.strip(b"\x00"):  # nothing, or zero padding after the end
                        break
                    continue
                data = unpack.unconsumed_tail
                if not data and len(out) < CHUNK_BYTES:
                    break
    except zlib.error as error:
        raise InputError(f"{name}: cannot decompress: {error}") from None
    if fed:
        raise InputError(f"{name}: cannot decompress: the gzip data ends early (a cut file?)")


class Lines:
    """Blocks of whole lines of a byte stream, each with the number of its first line.

    `head` holds the first bytes (at least the first CHUNK_BYTES and HEAD_BYTES, or all) for
    telling the format; they are not consumed. A leading UTF-8 byte-order mark is dropped."""

    def __init__(self, name, chunks):
        self.name = name
        self._chunks = iter(chunks)
        self._pending = []  # chunks read ahead (the head)
        head = b""
        for chunk in self._chunks:
            self._pending.append(chunk)
            head += chunk
            if len(head) >= max(CHUNK_BYTES, HEAD_BYTES):
                break
        if head.startswith(BOM):
            head = head[len(BOM):]
            self._pending = [head]
        self.head = head
        self.next_number = 1  # the number of the first line not yet split into a block
        self._blocks = None
        self._buffer, self._offset, self._number = b"", 0, 1  # the block next_line() is in

    def _all_chunks(self):
        """The chunks, small ones (a bgzip block unpacks to 64 KiB) joined up to CHUNK_BYTES."""
        gathered, size = self._pending, sum(map(len, self._pending))
        self._pending = []
        for chunk in self._chunks:
            gathered.append(chunk)
            size += len(chunk)
            if size >= CHUNK_BYTES:
                yield b"".join(gathered) if len(gathered) > 1 else chunk
                gathered, size = [], 0
        if gathered:
            yield b"".join(gathered)

    def blocks(self):
        """Yields (first line number, bytes of whole lines); the last block may lack its final
        line feed. InputError for a line longer than MAX_LINE_BYTES."""
        partial, partial_size = [], 0  # pieces of a line not yet ended
        for chunk in self._all_chunks():
            cut = chunk.rfind(b"\n")
            if cut < 0:
                partial.append(chunk)
                partial_size += len(chunk)
                if partial_size > MAX_LINE_BYTES:
                    self._too_long()
                continue
            if partial:
                partial.append(chunk[: cut + 1])
                data = b"".join(partial)
            else:
                data = chunk[: cut + 1]
            rest = chunk[cut + 1:]
            partial, partial_size = ([rest], len(rest)) if rest else ([], 0)
            if len(data) > MAX_LINE_BYTES and data.find(b"\n") > MAX_LINE_BYTES:
                self._too_long()
            first = self.next_number
            self.next_number += data.count(b"\n")
            yield first, data
        if partial:
            data = b"".join(partial)
            first = self.next_number
            self.next_number += 1
            yield first, data

    def next_line(self):
        """(line number, line without its line end: a line feed, or CR LF), or None at the
        end. Lines given out here are not in `rest()`."""
        while self._offset >= len(self._buffer):
            if self._blocks is None:
                self._blocks = self.blocks()
            block = next(self._blocks, None)
            if block is None:
                return None
            self._number, self._buffer = block
            self._offset = 0
        cut = self._buffer.find(b"\n", self._offset)
        if cut < 0:
            cut = len(self._buffer)
        line = self._buffer[self._offset:cut]
        number = self._number
        self._offset = cut + 1
        self._number += 1
        return number, line[:-1] if line.endswith(b"\r") else line

    def peek_line(self):
        """The line next_line() would give, left in place (None at the end)."""
        number, buffer, offset = self._number, self._buffer, self._offset
        item = self.next_line()
        if item is not None:
            if self._buffer is buffer:
                self._number, self._offset = number, offset
            else:  # the line opened a new block
                self._number, self._offset = item[0], 0
        return item

    def rest(self):
        """The blocks after the lines that next_line() gave out (see blocks())."""
        if self._offset < len(self._buffer):
            yield self._number, self._buffer[self._offset:]
        self._buffer, self._offset = b"", 0
        if self._blocks is None:
            self._blocks = self.blocks()
        yield from self._blocks

    def _too_long(self):
        raise InputError(at_line(self.name, self.next_number,
                                 f"longer than {MAX_LINE_BYTES >> 20} MiB (the line limit)"))


def text_blocks(name, blocks):
    """The blocks decoded as UTF-8 text; at a byte that is not, the lines before it come first,
    then the InputError naming its line (faults come out in line order)."""
    for first, data in blocks:
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            cut = data.rfind(b"\n", 0, error.start) + 1
            if cut:
                yield first, data[:cut].decode("utf-8")
            raise InputError(at_line(name, first + data.count(b"\n", 0, error.start),
                                     "not UTF-8 text")) from None
        yield first, text


def unpacked_ahead(name, chunks, depth=4):
    """gunzip(name, chunks) unpacked by a thread of its own, up to `depth` chunks ahead of the
    parser: zlib works without the interpreter lock, so unpacking and parsing overlap. Only for
    regular files, whose reads never wait on another process. Closing the generator stops the
    thread at its next chunk."""
    items = queue.Queue(depth)
    stop = threading.Event()

    def joined():  # bgzip members unpack to 64 KiB: fewer, larger hand-overs
        gathered, size = [], 0
        for chunk in gunzip(name, chunks):
            gathered.append(chunk)
            size += len(chunk)
            if size >= CHUNK_BYTES:
                yield b"".join(gathered)
                gathered, size = [], 0
        if gathered:
            yield b"".join(gathered)

    def unpack():
        try:
            for chunk in joined():
                while not stop.is_set():
                    try:
                        items.put((chunk, None), timeout=0.1)
                        break
                    except queue.Full:
                        pass
                if stop.is_set():
                    return
            items.put((None, None))
        except BaseException as error:  # raised again in the parser's thread
            items.put((None, error))

    worker = threading.Thread(target=unpack, daemon=True)
    worker.start()
    try:
        while True:
            chunk, error = items.get()
            if error is not None:
                raise error
            if chunk is None:
                return
            yield chunk
    finally:
        stop.set()
        worker.join()  # soon: it reads a regular file, or waits at most 0.1 s to put


# What Python's zlib says of an error that zlib gave no message for.
ZLIB_MESSAGES = {-5: "incomplete or truncated stream", -2: "inconsistent stream state",
                 -3: "invalid input data"}


def engine_stream_fault(name, fault):
    """The InputError of the engine's scanners when the input's stream fails (a fault dict
    whose 'stream' says why), worded as the readers here word theirs."""
    reason = fault["stream"]
    if reason == "read_failed":
        return InputError(f"{name}: cannot read: {os.strerror(fault['code'])}")
    if reason == "gzip_cut":
        return InputError(f"{name}: cannot decompress: the gzip data ends early (a cut file?)")
    code = fault["code"]
    detail = fault["detail"] or ZLIB_MESSAGES.get(code)
    text = f"Error {code} while decompressing data" + (f": {detail}" if detail else "")
    return InputError(f"{name}: cannot decompress: {text}")


def scanned(scanner, records_of, fault_of, next_batch=None):
    """The Records of each batch of an engine scanner (`next_batch()`: a dict of columns, a dict
    with 'fault', or None at the end), made by `records_of(batch)`; a fault raises
    `fault_of(batch)`, after `records_of` has seen the rows before it where the batch holds
    them (an error of theirs is on an earlier line). The scanner is closed on every path."""
    next_batch = next_batch or scanner.next_batch
    try:
        while True:
            batch = next_batch()
            if batch is None:
                return
            if "fault" in batch:
                if "position" in batch:
                    records_of(batch)
                raise fault_of(batch)
            yield records_of(batch)
    finally:
        scanner.close()
