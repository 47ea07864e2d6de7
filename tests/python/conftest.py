"""Shared helpers: small reference directories, mutation tables and subprocess runs."""

import faulthandler
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from cli_support import scheduler_address

# pytest-timeout fails a test that runs too long only when Python code gets to run: its
# signal handler and its timer thread both wait for the interpreter lock, which a call of
# the module holds from start to end, so a hang inside a call (a blocking open of a FIFO,
# say) would stop the whole run. faulthandler's watchdog is a C thread that needs no lock:
# this much later it prints the stack of every thread and ends the run with status 1.
WATCHDOG_MARGIN = 60


def timeout_of(item):
    """The seconds pytest-timeout gives the test, or None for no limit."""
    marker = item.get_closest_marker("timeout")
    if marker is not None and marker.args:
        return float(marker.args[0]) or None
    option = item.config.getoption("timeout", None)
    if option is None:
        try:
            option = item.config.getini("timeout")
        except ValueError:  # pytest-timeout is not installed
            return None
    return float(option or 0) or None


def pytest_configure(config):
    # The terminal's standard error, not the capture that fd 2 points to during a test.
    config.watchdog_stream = open(os.dup(sys.stderr.fileno()), "w")
    # A run started in a shell's background or under nohup inherits SIGINT or SIGHUP ignored,
    # and so would every command a test starts: the tests of stop signals send them as a
    # terminal does, to commands that take them as a terminal's.
    for number, handler in ((signal.SIGINT, signal.default_int_handler),
                            (signal.SIGHUP, signal.SIG_DFL), (signal.SIGTERM, signal.SIG_DFL)):
        if signal.getsignal(number) == signal.SIG_IGN:
            signal.signal(number, handler)


def pytest_unconfigure(config):
    config.watchdog_stream.close()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item):
    timeout = timeout_of(item)
    if timeout is not None:
        faulthandler.dump_traceback_later(timeout + WATCHDOG_MARGIN, exit=True,
                                          file=item.config.watchdog_stream)
    try:
        yield
    finally:
        if timeout is not None:
            faulthandler.cancel_dump_traceback_later()

# One byte per base in the reference files.
BASE_BYTE = {"A": 0, "C": 1, "G": 2, "T": 3, "N": 16}

# Chromosome "1" of the GRCh37 fixture, 1-based: position 1 is "A", position 16 is "G".
CHROM1 = "ACGTTCAGGATCCATG"


class Index:
    """An object that the index protocol accepts, as `context`."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def write_reference(root, build, chromosome, bases):
    """Writes <root>/<build>/<chromosome>.txt; `bases` is a str of bases or raw bytes."""
    folder = root / build
    folder.mkdir(parents=True, exist_ok=True)
    data = bases if isinstance(bases, bytes) else bytes(BASE_BYTE[b] for b in bases)
    (folder / f"{chromosome}.txt").write_bytes(data)


def record(ref, alt, pos, *, key=("P1", "S1"), build="GRCh37", kind="SNP", chrom="1"):
    """One ten-field table line (without its line feed)."""
    return "\t".join([key[0], key[1], "x", build, kind, chrom, str(pos), str(pos), ref, alt])


def write_table(path, lines, *, encoding="utf-8"):
    """Writes the lines, each ended by a line feed; returns the path as str."""
    data = "".join(line + "\n" for line in lines)
    path.write_bytes(data.encode(encoding) if isinstance(data, str) else data)
    return str(path)


@pytest.fixture
def ref_root(tmp_path):
    """A reference directory with GRCh37/1.txt holding CHROM1; returns its path as str."""
    root = tmp_path / "reference"
    write_reference(root, "GRCh37", "1", CHROM1)
    return str(root)


@pytest.fixture
def table(tmp_path):
    """Writes a table from lines into tmp_path under the given name; returns its path."""

    def make(name, lines):
        return write_table(tmp_path / name, lines)

    return make


def run_python(code, *, cwd=None, env=None):
    """Runs `code` in a fresh interpreter (the one running the tests)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        cwd=cwd,
        env={**os.environ, **(env or {})},
        check=False,
    )


@pytest.fixture(scope="session")
def dask_scheduler(tmp_path_factory):
    """The address of a Dask cluster of two worker processes (one thread each, of this
    interpreter) that serves the whole test session (each process's part of it when the tests
    run in several, as `make test` runs them), as a cluster running elsewhere would:
    `--scheduler ADDRESS`. Its scheduler and workers are processes of their own, listening on
    127.0.0.1 only, so that no event loop of theirs runs in the tests' process (whose
    descriptors and objects the leak tests count). Tests of a cluster's own start and stop
    start their own."""
    import time

    distributed = pytest.importorskip("distributed")
    folder = tmp_path_factory.mktemp("dask")
    scheduler_file = folder / "scheduler.json"

    def start(module, *args):
        return subprocess.Popen([sys.executable, "-m", f"distributed.cli.{module}", *args],
                                cwd=folder, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def address():
        return scheduler_address(scheduler_file)

    started = [start("dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                     "--dashboard-address", "127.0.0.1:0", "--scheduler-file",
                     str(scheduler_file))]
    try:
        deadline = time.monotonic() + 60
        while address() is None:
            assert started[0].poll() is None, "the Dask scheduler ended as it started"
            assert time.monotonic() < deadline, "no Dask scheduler after 60 s"
            time.sleep(0.02)
        started.append(start("dask_worker", address(), "--host", "127.0.0.1", "--nworkers",
                             "2", "--nthreads", "1", "--dashboard-address", "127.0.0.1:0",
                             "--local-directory", str(folder)))
        with distributed.Client(address(), timeout="60s") as client:
            client.wait_for_workers(2, timeout=60)
        yield address()
    finally:
        for process in reversed(started):  # the workers first, then the scheduler
            process.terminate()
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


# ---- a Dask cluster secured with TLS, shared by the session --------------------------------

class SecuredCluster:
    """A running Dask cluster that speaks TLS only: its scheduler's `address`, the `tls`
    options of the command that connect to it (--tls-ca-file, --tls-cert, --tls-key), and the
    `files` they name (ca, cert, key)."""

    def __init__(self, address, files):
        self.address = address
        self.files = files
        self.tls = ["--tls-ca-file", files["ca"], "--tls-cert", files["cert"],
                    "--tls-key", files["key"]]


def wait_until(condition, what, seconds=180, every=0.1):
    """Polls `condition()` until it is true; fails naming `what` after `seconds`."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"{what}: not after {seconds} s")
        time.sleep(every)


@pytest.fixture(scope="session")
def secured_cluster(tmp_path_factory):
    """A scheduler and one worker on 127.0.0.1 (one thread, of this Python, started in `/` so
    that it shares no working folder with a test), in processes of their own, secured with
    Dask's temporary TLS credentials written to files (one key and certificate for every role,
    the certificate its own authority); ready (the worker known to the scheduler) before the
    first test gets it, stopped with the session. The test process runs no part of it."""
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("cryptography")
    folder = tmp_path_factory.mktemp("secured-cluster")
    security = distributed.Security.temporary()
    files = {}
    for role, text in (("ca", security.tls_ca_file), ("cert", security.tls_client_cert),
                       ("key", security.tls_client_key)):
        files[role] = str(folder / f"{role}.pem")
        descriptor = os.open(files[role], os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with open(descriptor, "w") as pem:
            pem.write(text)
    cluster = SecuredCluster(None, files)
    log = open(folder / "cluster.log", "w")
    started = []

    def start(module, *args):
        started.append(subprocess.Popen(
            [sys.executable, "-m", f"distributed.cli.{module}", *args, *cluster.tls],
            cwd="/", stdin=subprocess.DEVNULL, stdout=log, stderr=log))

    try:
        start("dask_scheduler", "--host", "127.0.0.1", "--port", "0",
              "--dashboard-address", "127.0.0.1:0", "--scheduler-file", str(folder / "s.json"))
        wait_until(lambda: scheduler_address(folder / "s.json") is not None
                   or started[0].poll() is not None, "the scheduler's file")
        assert started[0].poll() is None, (folder / "cluster.log").read_text()
        cluster.address = scheduler_address(folder / "s.json")
        start("dask_worker", cluster.address, "--host", "127.0.0.1", "--nthreads", "1",
              "--no-nanny", "--dashboard-address", "127.0.0.1:0",
              "--local-directory", str(folder / "work"))
        ready = run_python(f"""
            from distributed import Client, Security
            security = Security(tls_ca_file={files['ca']!r}, tls_client_cert={files['cert']!r},
                                tls_client_key={files['key']!r}, require_encryption=True)
            with Client({cluster.address!r}, security=security, timeout="180s") as client:
                client.wait_for_workers(1, timeout=180)
            """)
        assert ready.returncode == 0, ready.stderr + (folder / "cluster.log").read_text()
        yield cluster
    finally:
        for process in reversed(started):
            process.terminate()
        for process in reversed(started):
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        log.close()
