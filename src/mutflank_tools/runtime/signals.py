"""SIGTERM and SIGHUP (sent by batch schedulers and closed terminals) stop the command as
Ctrl-C does: they raise Stopped, a KeyboardInterrupt, in the main thread, so every `finally`
and `except BaseException` on the way out removes what the run had started (temporary
outputs, scratch folders, a local Dask cluster). The command then exits with 128 + the
signal's number, as a process killed by it would be reported by a shell.

`held()` defers them over a few steps that must not be cut in two (a temporary file made and
recorded for removal, a set of names changed, a clean-up): a stop that comes meanwhile is
raised when the block ends."""

import contextlib
import signal
import threading

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_held = 0  # depth of held() blocks in the main thread
_pending = []  # the number of a stop that came during them


class Stopped(KeyboardInterrupt):
    """The run was stopped by a signal; `number` is the signal's number."""

    def __init__(self, number):
        super().__init__(signal.Signals(number).name)
        self.number = number

    @property
    def status(self):
        return 128 + self.number

    @property
    def message(self):
        return "interrupted" if self.number == signal.SIGINT else \
            f"stopped by {signal.Signals(self.number).name}"


def _stop(number, frame):
    # Once: a second signal during the clean-up must not cut it short.
    for other in STOP_SIGNALS:
        signal.signal(other, signal.SIG_IGN)
    if _held:
        _pending[:] = [number]
        return
    raise Stopped(number)


@contextlib.contextmanager
def held():
    """Defers the stop signals until the block ends, then raises the Stopped of one that came
    meanwhile. They are blocked in this thread, and the handler (which runs in the main thread
    between two steps of Python, maybe some after the signal came) only notes them meanwhile.
    Nothing in the block may wait for another process (a lock, a pipe, a FIFO): it could not
    be stopped."""
    global _held
    main = threading.current_thread() is threading.main_thread()  # where handlers run
    if main:
        _held += 1
    mask = None
    try:
        with contextlib.suppress(OSError, ValueError):
            mask = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        yield
    finally:
        if main:
            _held -= 1
        if mask is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)  # a blocked one comes now
        if main and not _held and _pending:
            raise Stopped(_pending.pop())


def install():
    """Turns SIGINT, SIGTERM and SIGHUP into Stopped, except where they are ignored (a command
    started with `nohup`, or in the background of a shell without job control). Returns the
    handlers it replaced, for restore()."""
    previous = {}
    _pending.clear()
    for number in STOP_SIGNALS:
        handler = signal.getsignal(number)
        if handler != signal.SIG_IGN:
            previous[number] = handler
            signal.signal(number, _stop)
    return previous


def restore(previous):
    for number, handler in previous.items():
        signal.signal(number, handler)


def stopped(error):
    """The Stopped of a KeyboardInterrupt (a plain one is Ctrl-C seen by Python itself)."""
    return error if isinstance(error, Stopped) else Stopped(signal.SIGINT)
