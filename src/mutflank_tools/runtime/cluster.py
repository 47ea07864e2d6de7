"""Work on a Dask cluster: a local one of N processes (`--workers N`) or an existing one
(`--scheduler tcp://HOST:PORT`, or tls://HOST:PORT with the client's credentials).

`connect` gives a client whose workers are known to exist and to import this package, checked
within a bounded time before any work is sent; a local cluster listens on 127.0.0.1 only,
speaks TLS with credentials made for it that only this process holds (Dask's temporary ones:
no other local user can connect and have its workers run code), opens no HTTP server (Dask's
dashboard and pages, which would show its logs to anyone: quiet_nodes.py), keeps its
scratch space in a folder of its own that goes with it, and its processes' own messages
(tracebacks of a Ctrl-C while they start) stay out of the terminal. A scheduler that refuses
the connection is said at once, not after Dask's connect timeout.
`results` runs one function over units of work and yields their results as they come, turning
every fault of the cluster into one line.

What runs on the workers lives above this module (counting/distributed.py for `mutflank
matrix`, fit/work.py for `mutflank fit`); `connect` is told which module that is, so that a
worker that cannot import it is found before any work is sent."""

import contextlib
import logging
import os
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time
import typing
import urllib.parse

from .errors import InputError, UsageError
from .extras import require
from .progress import progress
from .signals import held

CONNECT_SECONDS = 20  # to reach a scheduler
WORKER_SECONDS = 30  # for a first worker to be there, and for all of them to answer the check
PACKAGE = __package__.partition(".")[0]  # mutflank_tools


class Scheduler(typing.NamedTuple):
    """An existing cluster's scheduler: its address, and the files of this client's TLS
    credentials (None: Dask's configuration has them, or the cluster needs none)."""

    address: str
    ca_file: typing.Optional[str] = None
    cert: typing.Optional[str] = None
    key: typing.Optional[str] = None

    def __str__(self):
        return self.address


@contextlib.contextmanager
def _temporary_files_in(folder):
    """Temporary files of this process and of the processes it starts made inside `folder`.
    Dask writes the in-memory TLS key of a local cluster to a temporary folder for a moment
    each time a process loads it; inside the cluster's scratch folder, which is removed on every
    path, a stop at that moment leaves nothing behind."""
    saved = os.environ.get("TMPDIR"), tempfile.tempdir
    os.environ["TMPDIR"] = tempfile.tempdir = folder
    try:
        yield
    finally:
        if saved[0] is None:
            os.environ.pop("TMPDIR", None)
        else:
            os.environ["TMPDIR"] = saved[0]
        tempfile.tempdir = saved[1]


@contextlib.contextmanager
def connect(workers=None, scheduler=None, module=PACKAGE):
    """A distributed.Client of a new local cluster of `workers` processes, or of the cluster
    whose scheduler is at `scheduler` (an address or a Scheduler); every worker checked to
    import `module`, the module of the work it is sent (see check_workers)."""
    require("dask")
    distributed = require("distributed")
    _quiet()
    with contextlib.ExitStack() as stack:
        if scheduler:
            if not isinstance(scheduler, Scheduler):
                scheduler = Scheduler(scheduler)
            security = _security(distributed, scheduler)
            _reachable(scheduler.address)
            client = _call(scheduler.address, distributed.Client, scheduler.address,
                           security=security, timeout=f"{CONNECT_SECONDS}s")
            scheduler = scheduler.address
        else:
            with held():  # made and listed for removal in one step
                scratch = tempfile.mkdtemp(prefix="mutflank-dask-")
                stack.callback(_remove, scratch)
            stack.enter_context(_temporary_files_in(scratch))
            cluster, stopping = _local_cluster(distributed, workers, scratch, stack)
            client = _call("of the local cluster", distributed.Client, cluster)
        stack.callback(_close, client)
        if not scheduler:
            stack.callback(stopping.set)  # first: from then on no worker is started again
        check_workers(client, scheduler, module)
        yield client


def _security(distributed, scheduler):
    """The distributed.Security of a client of `scheduler`: its credential files, else Dask's
    configuration (a YAML file in ~/.config/dask or $DASK_CONFIG, DASK_DISTRIBUTED__COMM__TLS__*
    variables). UsageError when a tls:// scheduler would be asked without credentials,
    InputError when a file of them cannot be read."""
    if scheduler.ca_file:
        for path in filter(None, (scheduler.ca_file, scheduler.cert, scheduler.key)):
            try:
                with open(path, "rb"):
                    pass
            except OSError as error:
                raise InputError(f"{path}: cannot read: {error.strerror}") from None
        return distributed.Security(tls_ca_file=scheduler.ca_file,
                                    tls_client_cert=scheduler.cert,
                                    tls_client_key=scheduler.key, require_encryption=True)
    security = distributed.Security()  # from Dask's configuration
    if scheduler.address.startswith("tls://") and not (security.tls_ca_file and
                                                       security.tls_client_cert):
        raise UsageError(f"--scheduler {scheduler.address}: a TLS scheduler needs this "
                         "client's credentials: give --tls-ca-file CA.pem --tls-cert CERT.pem "
                         "(and --tls-key KEY.pem), or set them in Dask's configuration "
                         "(distributed.comm.tls)")
    return security


def _reachable(address):
    """InputError at once when nothing listens at the scheduler's `address` (a refused
    connection), rather than after Dask's connect timeout: Dask tries again and again, as a
    scheduler may be starting."""
    parts = urllib.parse.urlsplit(address)
    try:
        with socket.create_connection((parts.hostname, parts.port), timeout=CONNECT_SECONDS):
            pass
    except OSError as error:
        raise InputError(f"cannot reach the Dask scheduler {address}: "
                         f"{error.strerror or error}") from None


def _quiet():
    """Keeps Dask's own log off the terminal: its warnings (a slow event loop on a busy
    machine) and its tracebacks (a lost scheduler) become the one line of the fault here."""
    for name, logger in list(logging.root.manager.loggerDict.items()):
        if name.split(".")[0] in ("distributed", "tornado", "asyncio") and \
                isinstance(logger, logging.Logger):
            logger.setLevel(logging.CRITICAL + 1)  # Dask's configuration sets child levels


_terminal = None  # this process's messages, once its descriptor 2 goes to a cluster's log


def _local_cluster(distributed, workers, scratch, stack):
    """A LocalCluster on 127.0.0.1 without an HTTP server, its workers' scratch space inside
    `scratch`, and the event that keeps its nannies from starting workers again (set it when
    the cluster is to close). The process's file descriptor 2, which its processes inherit,
    goes to a file there (their tracebacks after a Ctrl-C are not the user's business), and
    stays there until the process ends, as a worker that is still ending inherits it; this
    process's own messages (sys.stderr) go to the terminal."""
    global _terminal
    log = os.open(os.path.join(scratch, "cluster.log"), os.O_WRONLY | os.O_CREAT, 0o600)
    if _terminal is None:
        messages = sys.stderr
        messages.flush()
        _terminal = open(os.dup(2), "w", buffering=1, encoding=messages.encoding,
                         errors=messages.errors)
    sys.stderr = _terminal
    os.dup2(log, 2)
    os.close(log)
    stack.callback(_wait_for_workers_to_end)
    stopping = threading.Event()
    # Ctrl-C and a hang-up wait until the cluster is up, and never reach its processes, which
    # start with them blocked: the terminal sends them to every process of the command, and
    # workers killed while they start fill the terminal with tracebacks. This process stops
    # the cluster on them instead (SIGTERM, which Dask uses to stop a worker, stays open).
    security = _temporary_credentials(distributed)
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGHUP})
    try:
        try:
            from . import quiet_nodes  # imports distributed, which is there by now

            cluster = quiet_nodes.LocalCluster(
                # TLS both ways, with a certificate and key made now that only this process
                # and the workers it starts (through a pipe) hold: no other local user can
                # connect to the scheduler, a worker or a nanny.
                security=security,
                n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                # No HTTP server at all: no dashboard, and none of the scheduler's and
                # workers' pages, which would serve their logs to any local user.
                dashboard_address=None, worker_dashboard_address=None,
                local_directory=scratch, silence_logs=logging.ERROR,
                worker_class=_nanny_class(distributed, stopping, quiet_nodes.Worker))
        except BaseException as error:
            stopping.set()
            _close_unfinished(distributed)
            if isinstance(error, (OSError, TimeoutError)):
                raise InputError(f"cannot start a local Dask cluster: {error}") from None
            raise
        stack.callback(_close_cluster, cluster)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    return cluster, stopping


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
STOP_NOTICE_SECONDS = 2  # for this process to act on a stop signal that ended a worker


def _nanny_class(distributed, stopping, worker_class):
    """Dask's Nanny, which starts a worker process (of `worker_class`) and starts it again when
    it ends, except that it starts none once `stopping` is set (the cluster closes). A worker
    ended by a stop
    signal (sent to the command's whole process group by a terminal or a batch scheduler) is
    not started again before this process has had the time to see the same signal and set
    `stopping`: Dask's own "closing gracefully" state is overwritten by a nanny that is still
    starting, and a worker started during the clean-up would outlive it."""

    class Nanny(distributed.Nanny):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, worker_class=worker_class, **kwargs)

        async def instantiate(self):
            if stopping.is_set():
                return distributed.core.Status.closed  # the nanny then closes itself
            return await super().instantiate()

        async def _on_worker_exit(self, exitcode):
            import asyncio  # only here: the command's start does without it

            if exitcode is not None and -exitcode in STOP_SIGNALS:
                deadline = time.monotonic() + STOP_NOTICE_SECONDS
                while not stopping.is_set() and time.monotonic() < deadline:
                    await asyncio.sleep(0.02)
            if stopping.is_set():
                return
            await super()._on_worker_exit(exitcode)

    return Nanny


def _temporary_credentials(distributed):
    """Dask's temporary credentials (a new key and self-signed certificate, in memory) for
    every role of a local cluster; the Debian package python3-cryptography makes them."""
    require("cryptography")
    return distributed.Security.temporary()


def _wait_for_workers_to_end(seconds=2, rounds=4):
    """Waits until the worker processes of the closed local cluster have ended, and kills
    those still there (a worker killed by a signal sent to the whole process group, which the
    cluster restarted while it closed): this process would wait for them at its exit. Looks
    again after each round, as a worker may have been started again meanwhile."""
    with contextlib.suppress(Exception):
        import psutil

        me = psutil.Process()
        for _ in range(rounds):
            workers = []  # spawned, forked, or forked by a fork server (which itself stays)
            for child in me.children(recursive=True):
                line = " ".join(child.cmdline())
                if "spawn_main" in line or child.cmdline() == me.cmdline() or \
                        ("forkserver" in line and child.ppid() != me.pid):
                    workers.append(child)
            if not workers:
                return
            _, alive = psutil.wait_procs(workers, timeout=seconds)
            for worker in alive:
                worker.kill()
            psutil.wait_procs(alive, timeout=seconds)


def _remove(scratch, attempts=20):
    """Removes the cluster's scratch folder; a worker that was ending may still have written
    into it while it was removed, so it is removed again until it is gone."""
    for _ in range(attempts):
        shutil.rmtree(scratch, ignore_errors=True)
        if not os.path.lexists(scratch):
            return
        time.sleep(0.05)


def _close_unfinished(distributed):
    """Closes a local cluster whose start was cut short (Ctrl-C), which the caller never got,
    here rather than in Dask's own handler at exit, which would fill the terminal."""
    import atexit

    spec = distributed.deploy.spec
    for cluster in list(spec.SpecCluster._instances):
        _close_cluster(cluster)
    atexit.unregister(spec.close_clusters)


def _call(where, function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except (OSError, TimeoutError, ValueError) as error:
        raise InputError(f"cannot reach the Dask scheduler {where}: {error}") from None


def _close_cluster(cluster):
    """Closes a local cluster whose workers are not restarted meanwhile (a signal sent to the
    whole process group kills them too)."""
    for nanny in list(getattr(cluster, "workers", {}).values()):
        with contextlib.suppress(Exception):
            nanny.close_gracefully()  # Dask's "do not restart a worker that goes away"
    _close(cluster)


def _close(thing):
    with contextlib.suppress(Exception):
        thing.close(timeout=10)


def _address(client):
    with contextlib.suppress(Exception):
        return client.scheduler.address
    return ""


def _python():
    """This command's interpreter, named so that it can be started from any folder."""
    return os.path.abspath(sys.executable)


def probe(module):
    """What a worker runs to show it can do the work: it imports `module` (by name, so that a
    worker without the package answers with the ImportError) and gives mutflank's version."""
    return f"__import__({module!r}) and __import__('mutflank').__version__"


def check_workers(client, where=None, module=PACKAGE):
    """InputError unless, on the cluster of the scheduler at `where` (None: a local one),
    within WORKER_SECONDS, there is at least one worker and every worker
    imports `module` of this package, of this version."""
    from mutflank import __version__

    try:
        client.wait_for_workers(1, timeout=WORKER_SECONDS)
    except (OSError, TimeoutError):
        if where is None:
            raise InputError(f"the local Dask cluster has no worker after {WORKER_SECONDS} s: "
                             "its processes did not start") from None
        raise InputError(f"the Dask scheduler {where} has no worker after {WORKER_SECONDS} s: "
                         f"start one with `{_python()} -m distributed.cli.dask_worker "
                         f"{where}`") from None
    where = where or "of the local cluster"
    try:
        answers = client.sync(client._run, eval, probe(module), on_error="return",
                              callback_timeout=WORKER_SECONDS)
    except (OSError, TimeoutError) as error:
        raise InputError(f"the workers of the Dask scheduler {where} did not answer within "
                         f"{WORKER_SECONDS} s ({type(error).__name__})") from None
    for worker, answer in sorted(answers.items()):
        if isinstance(answer, BaseException):
            raise InputError(f"the Dask worker {worker} cannot import {PACKAGE} ({answer}): "
                             f"start the workers with the Python of this command, "
                             f"{_python()} -m distributed.cli.dask_worker ADDRESS") from None
        if answer != __version__:
            raise InputError(f"the Dask worker {worker} has mutflank {answer}, this command "
                             f"{__version__}: start the workers with the Python of this "
                             f"command, {_python()}")


def results(client, function, units, describe, **options):
    """Yields function(unit, **options) for every unit, computed on the workers, as they
    finish (in any order). A failure stops the run with one line: the fault's own message when
    it is an input fault, else `describe(unit)` and the error; a lost scheduler likewise."""
    distributed = require("distributed")
    futures = client.map(function, units, pure=False, **options)
    unit_of = {future.key: unit for future, unit in zip(futures, units)}
    bar = progress(total=len(futures), desc="batches", unit="batch")
    done = 0
    try:
        for future in distributed.as_completed(futures):
            if future.status == "error":
                error = future.exception()
                if isinstance(error, InputError):
                    raise InputError(str(error)) from None
                raise InputError(f"{describe(unit_of[future.key])} failed on a worker: "
                                 f"{type(error).__name__}: {error}") from None
            if future.status == "cancelled":
                raise distributed.client.CancelledError(future.key)
            yield future.result()
            done += 1
            bar.update(1)
    except (distributed.client.CancelledError, OSError, TimeoutError) as error:
        # The scheduler went away (its futures are cancelled) or its connection broke.
        raise InputError(f"lost the Dask scheduler {_address(client)} after {done:,} of "
                         f"{len(futures):,} tasks: the run stopped "
                         f"({type(error).__name__})") from None
    finally:
        bar.close()
        if client.status == "running":  # not once the scheduler is lost: Dask would wait
            with contextlib.suppress(Exception):  # until its reconnection gives up
                client.cancel(futures)
