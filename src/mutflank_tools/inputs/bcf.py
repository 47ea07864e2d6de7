"""BCF read in process by htslib (`_engine.BcfReader`, src/engine/bcf_reader.cpp): its header
as VCF text for vcf.VcfHeader, its records into the same batches as the VCF scanner's
(vcf.VcfRecords), numbered by record. htslib is handed our own descriptor, never a name: a
regular file from where it was opened; anything else (standard input, a pipe, a FIFO) through
a pipe fed with the bytes already read while telling the format, then the rest.

It takes about a third of the CPU of the `bcftools view` process whose VCF text the engine
scanned before (bench/cli_inputs.py)."""

import contextlib
import os
import threading

from .. import _engine
from ..runtime.errors import InputError
from .stream import CHUNK_BYTES

# Why htslib cannot open a BCF, by the name the engine gives.
OPEN_FAULTS = {"not_bcf": "htslib does not read it as BCF",
               "header": "its header cannot be read"}


class BcfInput:
    """The opened BCF `name` of the descriptor `fd`: `offset`, where a regular file was opened
    (None for anything else, whose bytes read so far are `start`). `header_text`: its header
    as VCF text; `reader`: the engine's BcfReader."""

    def __init__(self, name, fd, start, offset):
        self.name = name
        self.reader = None
        self._pipe = None
        self._feeder = None
        source, where = fd, offset
        if offset is None:
            self._pipe, writer = os.pipe()
            self._feeder = threading.Thread(target=_feed, args=(fd, start, writer),
                                            daemon=True)
            self._feeder.start()
            source, where = self._pipe, -1
        try:
            self.reader = _engine.BcfReader(source, where)
        except OSError as error:
            self.close()
            raise InputError(f"{name}: cannot read: {error.strerror}") from None
        header = self.reader.header()
        if isinstance(header, str):
            self.close()
            raise InputError(f"{name}: not a readable BCF file ({OPEN_FAULTS[header]})")
        self.header_text = header

    def close(self):
        if self.reader is not None:
            self.reader.close()  # htslib's descriptor first: the feeder's writes then fail
            self.reader = None
        if self._pipe is not None:
            os.close(self._pipe)
            self._pipe = None
        if self._feeder is not None:
            self._feeder.join(timeout=1)  # a daemon; it may wait on a slow input
            self._feeder = None


def _feed(fd, start, writer):
    """Writes `start`, then the rest of `fd`, to the pipe `writer`, which it closes; stops when
    nobody reads the pipe any more."""
    with contextlib.suppress(OSError, ValueError), open(writer, "wb") as pipe:
        data = start
        while data:
            pipe.write(data)
            data = os.read(fd, CHUNK_BYTES)
