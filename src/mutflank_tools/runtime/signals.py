"""SIGTERM and SIGHUP (sent by batch schedulers and closed terminals) stop the command as
Ctrl-C does: they raise Stopped, a KeyboardInterrupt, in the main thread, so every `finally`
and `except BaseException` on the way out removes what the run had started (temporary
outputs, scratch folders, a local Dask cluster). The command then exits with 128 + the
signal's number, as a process killed by it would be reported by a shell."""

import signal


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
    for other in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(other, signal.SIG_IGN)
    raise Stopped(number)


def install():
    """Turns SIGINT, SIGTERM and SIGHUP into Stopped, except where they are ignored (a command
    started with `nohup`, or in the background of a shell without job control). Returns the
    handlers it replaced, for restore()."""
    previous = {}
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
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
