"""BCF through `bcftools view`, which prints it as VCF text for the VCF reader. bcftools reads
the descriptor that the reader opened (a regular file from its start; anything else through a
pipe fed with the bytes already read and the rest), never a path: no name reaches htslib."""

import contextlib
import os
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import threading

from ..runtime.errors import InputError
from .stream import CHUNK_BYTES


def _program():
    program = shutil.which("bcftools")
    if program is None:
        raise InputError("reading BCF needs the bcftools program: install the Debian package "
                         "bcftools")
    return program


def htslib_error(text):
    """The first error line of bcftools' standard error, without htslib's [E::function]."""
    lines = [line.strip() for line in text.splitlines()]
    chosen = [line for line in lines if line.startswith("[E::")] or [
        line for line in lines if line.startswith("[W::bcf_record_check]")] or [
        line for line in lines if line and not line.startswith("[W::")]
    if not chosen:
        return "bcftools failed"
    return re.sub(r"^\[[EW]::\w+\] ", "", chosen[0]).rstrip(":")


class Bcftools:
    def __init__(self, name, fd, start, info):
        self.name = name
        self._errors = tempfile.TemporaryFile()
        self._feeder = None
        seekable = stat.S_ISREG(info.st_mode)
        if seekable:
            try:
                os.lseek(fd, 0, os.SEEK_SET)
            except OSError:
                seekable = False
        try:
            self.process = subprocess.Popen(
                [_program(), "view", "--no-version", "-Ov", "-"],
                stdin=fd if seekable else subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=self._errors)
        except OSError as error:
            self._errors.close()
            raise InputError(f"cannot run bcftools: {error.strerror}") from None
        if not seekable:
            self._feeder = threading.Thread(target=self._feed, args=(fd, start), daemon=True)
            self._feeder.start()

    def _feed(self, fd, start):
        pipe = self.process.stdin
        with contextlib.suppress(OSError, ValueError):
            with pipe:
                data = start
                while data:
                    pipe.write(data)
                    data = os.read(fd, CHUNK_BYTES)

    def chunks(self, kept=None):
        """bcftools' output; InputError (after what it printed) when it fails. `kept`: a list
        the chunks are also appended to while it is not None."""
        out = self.output()
        while True:
            chunk = os.read(out, CHUNK_BYTES)
            if not chunk:
                break
            if kept is not None:
                kept.append(chunk)
            yield chunk
        self.check()

    def output(self):
        """The descriptor of bcftools' output (VCF text)."""
        return self.process.stdout.fileno()

    def check(self):
        """Waits for bcftools, whose output has ended; InputError when it failed."""
        status = self.process.wait()
        self._errors.seek(0)
        text = self._errors.read().decode("utf-8", "replace")
        if status < 0:
            raise InputError(f"{self.name}: bcftools, reading it, was killed by "
                             f"{signal.Signals(-status).name}")
        if status != 0 or "[E::" in text:
            raise InputError(f"{self.name}: not a readable BCF file ({htslib_error(text)})")

    def close(self):
        process = self.process
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stdout.close()
        if self._feeder is not None:
            self._feeder.join(timeout=1)  # a daemon; it may wait on a slow pipe
        self._errors.close()
