"""Progress bars on standard error for long work, only when standard error is a terminal."""

import sys


def progress(iterable=None, **options):
    """`iterable` wrapped in a tqdm bar on a terminal; otherwise an object with the same
    update()/close() methods that shows nothing. Options are tqdm's (total, desc, unit...)."""
    if sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            return tqdm(iterable, file=sys.stderr, leave=False, **options)
    return _Silent(iterable)


class _Silent:
    def __init__(self, iterable):
        self._iterable = iterable

    def __iter__(self):
        return iter(self._iterable)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, n=1):
        pass

    def set_postfix_str(self, text):
        pass

    def close(self):
        pass
