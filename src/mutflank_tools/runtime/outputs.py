"""Outputs written so that a failed or interrupted run leaves every earlier file as it was.

A regular file (or a new name) is written under a hidden temporary name beside its target and
renamed over it at the end. The files of one run form an OutputSet: they are renamed together,
with the signals that stop the command held off meanwhile, and if one rename fails the ones
already done are undone, so the folder holds either the whole new set or the whole old one.
A target that is not a regular file (a FIFO, a terminal, /dev/null, a link to /dev/stdout) is
written directly: replacing it by a regular file would destroy it.

No output may be one of the run's inputs: `refuse_inputs` (also done by OutputSet.open when it
is given the inputs) stops before anything is read or written."""

import contextlib
import errno
import fcntl
import os
import shutil
import secrets
import signal
import stat

from .errors import InputError, UsageError

# The signals the command turns into a clean stop (see signals.py): held off while a set of
# outputs is being renamed, so that no run ends between two of its renames.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
NAME_ROOM = 200  # bytes of the target's name kept in its temporary name (names have 255 at most)


def refuse_inputs(outputs, inputs):
    """UsageError when one of the output paths is the same file (device and inode) as one of
    the input paths. '-', paths that do not exist yet and targets that are not regular files
    (a terminal can be both standard input and output) pass."""
    known = {}
    for path in inputs:
        key = _regular_file(path)
        if key is not None:
            known.setdefault(key, os.fspath(path))
    for path in outputs:
        key = _regular_file(path)
        if key in known:
            path, source = os.fspath(path), known[key]
            also = ("is also an input" if path == source
                    else f"is the same file as the input {source}")
            raise UsageError(f"{path}: the output {also}; choose another output")


def _regular_file(path):
    if path == "-":
        return None
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return (status.st_dev, status.st_ino) if stat.S_ISREG(status.st_mode) else None


def check_folder(prefix):
    """InputError unless the folder of the output (or output prefix) `prefix` exists and can
    be written in: checked before the work, not after it."""
    folder = os.path.dirname(os.fspath(prefix)) or "."
    shown = folder
    with contextlib.suppress(OSError):
        if len(os.path.abspath(folder)) < 1000:  # a deeper one would fill the screen
            shown = os.path.abspath(folder)
    if not os.path.isdir(folder):
        raise InputError(f"{prefix}: cannot write: no such folder {shown}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise InputError(f"{prefix}: cannot write: permission denied in {shown}")


class NamedFile:
    """A file open for writing whose failures name the output (`cannot write: No space left on
    device`), not the temporary name it is written under. Anything else goes to the file."""

    def __init__(self, handle, path):
        self._handle = handle
        self._path = path

    def __getattr__(self, name):
        return getattr(self._handle, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _named(self, action, *args):
        try:
            return action(*args)
        except BrokenPipeError:
            raise  # the reader of a pipe went away: the command stops quietly
        except OSError as error:
            raise InputError(f"{self._path}: cannot write: {error.strerror or error}") from None

    def write(self, data):
        return self._named(self._handle.write, data)

    def writelines(self, lines):
        return self._named(self._handle.writelines, lines)

    def flush(self):
        return self._named(self._handle.flush)

    def close(self):
        return self._named(self._handle.close)


class _Output:
    """One output of a set: its name as given, the file it ends up as, and the temporary file
    it is written to (None when the target is written directly)."""

    def __init__(self, path, mode, open_args):
        self.path = os.fspath(path)
        try:
            status = os.stat(self.path)
        except FileNotFoundError:
            status = None
        except OSError as error:
            raise InputError(f"{self.path}: cannot write: {error.strerror}") from None
        if status is not None and stat.S_ISDIR(status.st_mode):
            raise InputError(f"{self.path}: is a folder")
        self.temporary = None
        if status is not None and not stat.S_ISREG(status.st_mode):
            self.target = self.path
            opened = self._open(self.path, mode, open_args)
        else:
            # A link to a regular file stays a link: the file it names is replaced.
            self.target = os.path.realpath(self.path) if os.path.islink(self.path) else self.path
            try:
                fd, self.temporary = _beside(self.target, ".tmp", _new_file)
            except OSError as error:
                raise InputError(f"{self.path}: cannot write: {error.strerror}") from None
            opened = self._open(fd, mode, open_args)
        self.file = NamedFile(opened, self.path)

    def _open(self, where, mode, open_args):
        try:
            return open(where, mode, **open_args)
        except OSError as error:
            if self.temporary:
                _remove(self.temporary)
            raise InputError(f"{self.path}: cannot write: {error.strerror}") from None

    def discard(self):
        with contextlib.suppress(Exception):
            self.file._handle.close()
        if self.temporary:
            _remove(self.temporary)
            self.temporary = None


class OutputSet:
    """The outputs of one run, replaced together when the block ends without an exception,
    all left as they were otherwise:

        with OutputSet(inputs=args.inputs) as outputs:
            for path, text in ...:
                outputs.open(path, "w", encoding="utf-8").write(text)

    `open` returns a file object (see NamedFile); the set closes it. `inputs` are the run's
    input paths: an output that is one of them is refused (UsageError) as it is opened."""

    def __init__(self, inputs=()):
        self._inputs = [path for path in inputs if path is not None]
        self._outputs = []

    def open(self, path, mode="w", **open_args):
        refuse_inputs([path], self._inputs)
        output = _Output(path, mode, open_args)
        self._outputs.append(output)
        return output.file

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.commit()
        else:
            self.discard()
        return False

    def discard(self):
        for output in self._outputs:
            output.discard()
        self._outputs = []

    def commit(self):
        """Closes every file, then renames the temporary ones over their targets, all or none;
        InputError naming the output when one cannot be."""
        try:
            for output in self._outputs:
                output.file.close()
            renamed = [output for output in self._outputs if output.temporary]
            mode = 0o666 & ~_umask()
            for output in renamed:
                os.chmod(output.temporary, mode)
            with _signals_held(), _folders_locked(renamed):
                _replace_all(renamed)
        except BaseException:
            self.discard()
            raise
        self._outputs = []


def _replace_all(outputs):
    """Renames each output's temporary file over its target; when one fails, the targets
    renamed before it get their previous file back (or are removed when they had none)."""
    done = []  # (output, hard link to the file it replaced, or None)
    try:
        for output in outputs:
            backup = _keep_previous(output)
            done.append((output, backup))
            try:
                os.replace(output.temporary, output.target)
            except OSError as error:
                raise InputError(f"{output.path}: cannot replace: {error.strerror}") from None
            output.temporary = None
    except BaseException:
        for output, backup in reversed(done):
            if output.temporary is None:  # renamed: undo
                if backup:
                    os.replace(backup, output.target)
                else:
                    _remove(output.target)
        raise
    finally:
        for _, backup in done:
            if backup:
                _remove(backup)


def _keep_previous(output):
    """A second name (hard link) for the file that `output` is about to replace, or None
    when there is none."""
    if not os.path.lexists(output.target):
        return None
    folder, name = os.path.split(output.target)
    backup = os.path.join(folder, f".{name[:NAME_ROOM]}.{os.getpid()}.previous")
    _remove(backup)
    try:
        os.link(output.target, backup)
    except OSError as error:
        raise InputError(f"{output.path}: cannot replace: {error.strerror}") from None
    return backup


@contextlib.contextmanager
def _signals_held():
    """Holds off the stop signals until the block ends (they are delivered then)."""
    try:
        held = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    except (OSError, ValueError):
        held = None
    try:
        yield
    finally:
        if held is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)


@contextlib.contextmanager
def _folders_locked(outputs):
    """An exclusive lock on each output folder while the set is renamed, so two runs writing
    the same names commit one after the other (a folder that cannot be locked is not)."""
    with contextlib.ExitStack() as locks:
        for folder in sorted({os.path.dirname(output.target) or "." for output in outputs}):
            try:
                fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
            except OSError:
                continue
            locks.callback(os.close, fd)
            with contextlib.suppress(OSError):
                fcntl.flock(fd, fcntl.LOCK_EX)
        yield


@contextlib.contextmanager
def atomic_output(path, mode="w", inputs=(), **open_args):
    """Yields a file open for writing `path` (see OutputSet, here with one output)."""
    with OutputSet(inputs) as outputs:
        yield outputs.open(path, mode, **open_args)


@contextlib.contextmanager
def atomic_directory(path):
    """Yields a new empty folder beside `path`; when the block ends without an exception it
    takes the place of `path` (which must not exist, or be an empty folder), otherwise it is
    removed with everything in it."""
    try:
        _, temporary = _beside(os.path.normpath(path), "", _new_folder)
    except OSError as error:
        raise InputError(f"{path}: cannot write: {error.strerror}") from None
    try:
        yield temporary
        os.chmod(temporary, 0o777 & ~_umask())
        with _signals_held():
            with contextlib.suppress(FileNotFoundError, OSError):
                os.rmdir(path)  # only an empty folder gives way
            try:
                os.rename(temporary, path)
            except OSError as error:
                raise InputError(f"{path}: cannot replace: {error.strerror}") from None
    except BaseException:
        shutil.rmtree(temporary, ignore_errors=True)
        raise


def _beside(target, suffix, create):
    """(what create(name) returned, name) for a new hidden name beside `target`. The names
    stay as relative as `target` is: a working folder deeper than PATH_MAX works."""
    folder, name = os.path.split(target)
    for _ in range(100):
        temporary = os.path.join(folder, f".{name[:NAME_ROOM]}.{secrets.token_hex(4)}{suffix}")
        try:
            return create(temporary), temporary
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name", target)


def _new_file(path):
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)


def _new_folder(path):
    os.mkdir(path, 0o700)


def _remove(path):
    with contextlib.suppress(OSError):
        os.unlink(path)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
