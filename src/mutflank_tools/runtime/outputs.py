"""Outputs written so that a failed or interrupted run leaves every earlier file as it was.

A regular file (or a new name) is written under a hidden temporary name beside its target and
renamed over it at the end. The files of one run form an OutputSet: they are renamed together,
with the signals that stop the command held off meanwhile, and if one rename fails the ones
already done are undone, so the folder holds either the whole new set or the whole old one.
A target that is not a regular file (a FIFO, a terminal, /dev/null, a link to /dev/stdout) is
written directly: replacing it by a regular file would destroy it.

No output may be one of the run's inputs, and no two outputs of a run may be one file:
`refuse_inputs` (also done by OutputSet.open) stops before anything is read or written.

An OutputSet may own a family of names (every matrix of one prefix, every page of one picture):
the members that the run does not write, left by an earlier run, are removed in the same
commit, so the folder never holds the new files beside stale ones."""

import contextlib
import errno
import fcntl
import os
import shutil
import stat

from .errors import InputError, UsageError
from .signals import held

NAME_ROOM = 200  # bytes of the target's name kept in its temporary name (names have 255 at most)


def refuse_inputs(outputs, inputs, family=(), known=None):
    """UsageError when one of the output paths, or of the `family` names the run may remove, is
    the same file (device and inode) as one of the input paths, or when two outputs are one
    file (one name spelled twice, a link to another output, or a hard link). '-', and targets
    that are not regular files (a terminal can be both standard input and output), pass.
    `known`: the inputs' files as `input_files` gives them, when already looked up."""
    known = input_files(inputs) if known is None else known
    for path in [*outputs, *family]:
        key = _regular_file(path)
        if key in known:
            path, source = os.fspath(path), known[key]
            also = ("is also an input" if path == source
                    else f"is the same file as the input {source}")
            raise UsageError(f"{path}: the output {also}; choose another output")
    written = {}
    for path in outputs:
        key = _identity(path)
        if key is None:
            continue
        other = written.setdefault(key, os.fspath(path))
        if other != os.fspath(path):
            raise UsageError(f"{os.fspath(path)}: the output is the same file as the output "
                             f"{other}; choose another output")


def input_files(inputs):
    """{(device, inode): path} of the inputs that are regular files (each looked up once: a run
    of 10,000 inputs opens several outputs)."""
    known = {}
    for path in inputs:
        key = _regular_file(path)
        if key is not None:
            known.setdefault(key, os.fspath(path))
    return known


def _regular_file(path):
    if path == "-":
        return None
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return (status.st_dev, status.st_ino) if stat.S_ISREG(status.st_mode) else None


def _identity(path):
    """What `path` would be written as: its file (device and inode) when it is or names a
    regular file, else its folder's identity and the name it resolves to in it (a new name, or
    a link to one); None for '-' and special files (written in place, never replaced)."""
    if path == "-":
        return None
    try:
        status = os.stat(path)
    except FileNotFoundError:
        status = None
    except (OSError, ValueError):
        return None
    if status is not None:
        return (status.st_dev, status.st_ino) if stat.S_ISREG(status.st_mode) else None
    try:
        target = _resolved(os.fspath(path))
        folder = os.stat(os.path.dirname(target) or ".")
    except (OSError, ValueError):
        return None
    return folder.st_dev, folder.st_ino, os.path.basename(target)


def _resolved(path):
    """`path` with the links of its last part followed, as relative as they are (a working
    folder deeper than PATH_MAX has no absolute name)."""
    for _ in range(40):
        if not os.path.islink(path):
            return path
        path = os.path.join(os.path.dirname(path), os.readlink(path))
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), path)


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
    it is written to (None when the target is written directly). It is added to `outputs` in
    the step that makes its temporary file, so that a stop never finds the file unlisted."""

    def __init__(self, path, mode, open_args, outputs):
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
            self.file = NamedFile(self._open(self.path, mode, open_args), self.path)  # may wait
            outputs.append(self)
        else:
            # A link to a regular file stays a link: the file it names is replaced.
            try:
                self.target = _resolved(self.path)
            except OSError as error:
                raise InputError(f"{self.path}: cannot write: {error.strerror}") from None
            with held():
                try:
                    fd, self.temporary = _beside(self.target, ".tmp", _new_file)
                except OSError as error:
                    raise InputError(f"{self.path}: cannot write: {error.strerror}") from None
                self.file = NamedFile(self._open(fd, mode, open_args), self.path)
                outputs.append(self)

    def _open(self, where, mode, open_args):
        try:
            return open(where, mode, **open_args)
        except BaseException as error:
            if self.temporary:
                _remove(self.temporary)
            if isinstance(error, OSError):
                raise InputError(f"{self.path}: cannot write: {error.strerror}") from None
            raise

    def discard(self):
        with contextlib.suppress(Exception):
            self.file._handle.close()
        if self.temporary:
            _remove(self.temporary)
            self.temporary = None


class OutputSet:
    """The outputs of one run, replaced together when the block ends without an exception,
    all left as they were otherwise:

        with OutputSet(inputs=args.inputs, family=names) as outputs:
            for path, text in ...:
                outputs.open(path, "w", encoding="utf-8").write(text)

    `open` returns a file object (see NamedFile); the set closes it. `inputs` are the run's
    input paths: an output that is one of them, or the same file as an output opened before,
    is refused (UsageError) as it is opened. `family` are the names the set owns: those it does
    not write that hold a regular file (or a link to one) are removed in the commit, and listed
    in `removed` afterwards."""

    def __init__(self, inputs=(), family=()):
        self._inputs = [path for path in inputs if path is not None]
        self._family = [os.fspath(path) for path in family]
        self._known = input_files(self._inputs)
        refuse_inputs([], self._inputs, self._family, self._known)
        self._outputs = []
        self.removed = []

    def open(self, path, mode="w", **open_args):
        refuse_inputs([*(output.path for output in self._outputs), path], self._inputs,
                      known=self._known)
        return _Output(path, mode, open_args, self._outputs).file

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.commit()
        else:
            self.discard()
        return False

    def discard(self):
        """Removes the temporary files, all of them even when a stop comes meanwhile."""
        with held():
            for output in self._outputs:
                output.discard()
            self._outputs = []

    def commit(self):
        """Closes every file, then renames the temporary ones over their targets and removes
        the family's stale members, all or none; InputError naming the output when one cannot
        be. The folders are locked first, with the stop signals open (a run waiting for another
        one can be stopped); the signals are held off only while the names change."""
        try:
            for output in self._outputs:
                output.file.close()
            renamed = [output for output in self._outputs if output.temporary]
            mode = 0o666 & ~_umask()
            for output in renamed:
                os.chmod(output.temporary, mode)
            written = {os.path.normpath(output.path) for output in self._outputs}
            family = [name for name in self._family if os.path.normpath(name) not in written]
            folders = [output.target for output in renamed] + family
            with _folders_locked(folders), held():
                stale = [name for name in family if _stale(name)]
                _replace_all(renamed, stale)
        except BaseException:
            self.discard()
            raise
        self._outputs = []
        self.removed = stale


def removed_line(removed):
    """What a verb says of the stale outputs its commit removed (OutputSet.removed)."""
    return f"removed {', '.join(removed)}, left by an earlier run"


def _stale(name):
    """Whether the family member `name`, not written by this run, is to be removed: a regular
    file or a link to one (folders and special files are not a run's outputs)."""
    try:
        return stat.S_ISREG(os.stat(name).st_mode)
    except (OSError, ValueError):
        return False


def _replace_all(outputs, stale=()):
    """Renames each output's temporary file over its target, and removes the `stale` names;
    when one fails, the targets changed before it get their previous file back (or are removed
    when they had none)."""
    done = []  # (target, hard link to the file it replaced, or None; renamed)
    try:
        for output in outputs:
            backup = _keep_previous(output.target, output.path)
            done.append([output.target, backup, False])
            try:
                os.replace(output.temporary, output.target)
            except OSError as error:
                raise InputError(f"{output.path}: cannot replace: {error.strerror}") from None
            output.temporary = None
            done[-1][2] = True
        for name in stale:
            backup = _keep_previous(name, name)
            done.append([name, backup, False])
            try:
                os.unlink(name)
            except OSError as error:
                raise InputError(f"{name}: cannot remove: {error.strerror}") from None
            done[-1][2] = True
    except BaseException:
        for target, backup, changed in reversed(done):
            if changed:  # undo
                if backup:
                    os.replace(backup, target)
                else:
                    _remove(target)
        raise
    finally:
        for _, backup, _ in done:
            if backup:
                _remove(backup)


def _keep_previous(target, shown):
    """A second name (hard link) for what `target` names (the link itself for a link), or None
    when there is nothing; `shown` is the output's name for a failure."""
    if not os.path.lexists(target):
        return None
    folder, name = os.path.split(target)
    backup = os.path.join(folder, f".{name[:NAME_ROOM]}.{os.getpid()}.previous")
    _remove(backup)
    try:
        os.link(target, backup, follow_symlinks=False)
    except OSError as error:
        raise InputError(f"{shown}: cannot replace: {error.strerror}") from None
    return backup


@contextlib.contextmanager
def _folders_locked(paths):
    """An exclusive lock on the folder of each path while the set is renamed, so two runs
    writing the same names commit one after the other (a folder that cannot be locked is
    not). Each folder is locked once, by its identity (however it is named), in the order of
    identities, so two runs never wait on each other crosswise; a stop signal ends the wait."""
    with contextlib.ExitStack() as locks:
        opened = {}
        for folder in {os.path.dirname(path) or "." for path in paths}:
            try:
                fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            except OSError:
                continue
            locks.callback(os.close, fd)
            status = os.fstat(fd)
            opened.setdefault((status.st_dev, status.st_ino), fd)
        for _, fd in sorted(opened.items()):
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
    temporary = None
    try:
        with held():  # made and known together
            try:
                _, temporary = _beside(os.path.normpath(path), "", _new_folder)
            except OSError as error:
                raise InputError(f"{path}: cannot write: {error.strerror}") from None
        yield temporary
        os.chmod(temporary, 0o777 & ~_umask())
        with held():
            with contextlib.suppress(FileNotFoundError, OSError):
                os.rmdir(path)  # only an empty folder gives way
            try:
                os.rename(temporary, path)
            except OSError as error:
                raise InputError(f"{path}: cannot replace: {error.strerror}") from None
    except BaseException:
        if temporary is not None:
            with held():  # whole, even when a stop comes meanwhile
                shutil.rmtree(temporary, ignore_errors=True)
        raise


def _beside(target, suffix, create):
    """(what create(name) returned, name) for a new hidden name beside `target`. The names
    stay as relative as `target` is: a working folder deeper than PATH_MAX works."""
    folder, name = os.path.split(target)
    for _ in range(100):
        temporary = os.path.join(folder, f".{name[:NAME_ROOM]}.{os.urandom(4).hex()}{suffix}")
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
