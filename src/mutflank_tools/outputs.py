"""Outputs written under a temporary name beside their target and renamed at the end, so a
failed run leaves nothing half-written."""

import contextlib
import os
import shutil
import tempfile

from .errors import InputError


def _folder_of(path):
    return os.path.dirname(os.path.abspath(path))


@contextlib.contextmanager
def atomic_output(path, mode="w", **open_args):
    """Yields a file open for writing under a temporary name in `path`'s folder; renames it to
    `path` when the block ends without an exception, removes it otherwise."""
    folder = _folder_of(path)
    try:
        fd, temporary = tempfile.mkstemp(
            prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=folder
        )
    except OSError as error:
        raise InputError(f"{path}: cannot write: {error.strerror}") from None
    try:
        with open(fd, mode, **open_args) as handle:
            yield handle
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


@contextlib.contextmanager
def atomic_directory(path):
    """Yields a new empty folder beside `path`; when the block ends without an exception it
    takes the place of `path` (which must not exist, or be an empty folder), otherwise it is
    removed with everything in it."""
    parent = _folder_of(path)
    try:
        temporary = tempfile.mkdtemp(prefix=f".{os.path.basename(path)}.", dir=parent)
    except OSError as error:
        raise InputError(f"{path}: cannot write: {error.strerror}") from None
    try:
        yield temporary
        os.chmod(temporary, 0o777 & ~_umask())
        with contextlib.suppress(FileNotFoundError, OSError):
            os.rmdir(path)  # only an empty folder gives way
        try:
            os.rename(temporary, path)
        except OSError as error:
            raise InputError(f"{path}: cannot replace: {error.strerror}") from None
    except BaseException:
        shutil.rmtree(temporary, ignore_errors=True)
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
