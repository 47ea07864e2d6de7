"""Who may use a cluster: a local one of --workers lets in only the client of the process that
started it (TLS with credentials of its own); --scheduler reaches a secured cluster with the
credentials given as options or in Dask's configuration, and is told at once when nothing
listens at the address."""

import asyncio
import os
import socket
import subprocess

import pytest

from cli_support import COMMAND, write_text
from cli_support import status_and_error as main

pytest.importorskip("mutflank_tools")
pytest.importorskip("distributed")
from mutflank_tools.counting import channels  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

SIGNATURES = "Type\tA\tB\n" + "".join(f"{label}\t{a}\t{b}\n" for label, a, b in zip(
    channels.SBS6, (0.5, 0.1, 0.1, 0.1, 0.1, 0.1), (0.1, 0.1, 0.5, 0.1, 0.1, 0.1)))
MATRIX = "MutationType\tS1\tS2\n" + "".join(f"{label}\t{a}\t{b}\n" for label, a, b in zip(
    channels.SBS6, (10, 2, 3, 1, 2, 2), (1, 2, 12, 2, 1, 2)))
DONE = "mutflank fit: 2 samples on 2 signatures (nnls) -> p.exposures.tsv, p.fit.tsv\n"


@pytest.fixture
def folder(tmp_path, monkeypatch):
    write_text(tmp_path / "m.tsv", MATRIX)
    write_text(tmp_path / "s.tsv", SIGNATURES)
    monkeypatch.chdir(tmp_path)
    return tmp_path


FIT = ("fit", "m.tsv", "--signatures", "s.tsv", "-o", "p")


def a_closed_port():
    """A port of 127.0.0.1 where nothing listens (bound, never listened on, so not reused by
    another test meanwhile), and the socket that keeps it so."""
    held = socket.socket()
    held.bind(("127.0.0.1", 0))
    return held.getsockname()[1], held


# ---- a local cluster -----------------------------------------------------------------------

def test_a_local_cluster_lets_in_only_its_own_client():
    import distributed
    from mutflank_tools.runtime.cluster import connect

    async def refused(address, security, timeout="20s"):
        """The error of a connection to `address` with `security` (None: it connected)."""
        try:
            comm = await distributed.comm.connect(
                address, timeout=timeout, **security.get_connection_args("client"))
        except OSError as error:
            return str(error)
        await comm.close()
        return None

    stranger = distributed.Security.temporary()  # a client of the same kind, other keys
    with connect(workers=1) as client:
        scheduler = client.scheduler.address
        workers = client.scheduler_info()["workers"]
        addresses = [scheduler, *workers, *(worker["nanny"] for worker in workers.values())]
        said = [asyncio.run(refused(address, stranger)) for address in addresses]
        assert client.submit(sum, [1, 2]).result() == 3  # its own client works
        # A plain client gets no answer to its handshake: it waits out its own timeout.
        plain = asyncio.run(refused(scheduler.replace("tls://", "tcp://"),
                                    distributed.Security(), timeout="2s"))
    assert [address.split("://")[0] for address in addresses] == ["tls"] * 3
    assert said == ["TLS certificate does not match. Check your security settings. More info at "
                    "https://distributed.dask.org/en/latest/tls.html"] * 3
    assert plain is not None and plain.startswith("Timed out during handshake while connecting "
                                                  "to tcp://127.0.0.1:")


def test_a_local_cluster_listens_at_its_dask_addresses_only():
    # no HTTP server (dashboard, logs, call stacks) beside the scheduler, workers and nannies
    import psutil
    from mutflank_tools.runtime.cluster import connect

    def listeners(processes):
        return {f"tls://{connection.laddr.ip}:{connection.laddr.port}"
                for process in processes for connection in process.connections("inet")
                if connection.status == psutil.CONN_LISTEN}

    # The cluster's processes: this one (its scheduler), its workers and their nannies; what
    # listened here before is not this cluster's, nor are other children (the session's
    # shared cluster, what earlier tests' clusters may have left).
    earlier_here = listeners([psutil.Process()])
    with connect(workers=2) as client:
        info = client.scheduler_info()
        addresses = {client.scheduler.address, *info["workers"],
                     *(worker["nanny"] for worker in info["workers"].values())}
        workers = [psutil.Process(pid) for pid in client.run(os.getpid).values()]
        listening = listeners([psutil.Process(), *workers,
                               *(worker.parent() for worker in workers)])
        listening -= earlier_here
        services = [info["services"], *(worker["services"] for worker in info["workers"].values())]
    assert len(addresses) == 5
    assert listening == addresses
    assert services == [{}] * 3


# ---- --scheduler ---------------------------------------------------------------------------

def test_a_secured_scheduler_with_the_credentials_as_options(folder, capsys, secured_cluster):
    assert main(capsys, *FIT, "--scheduler", secured_cluster.address,
                *secured_cluster.tls) == (0, DONE)


def test_a_secured_scheduler_with_the_credentials_in_dask_configuration(folder,
                                                                        secured_cluster):
    # Dask reads its configuration as it is imported: a process of its own.
    files = secured_cluster.files
    os.mkdir("config")
    write_text("config/tls.yaml", "distributed:\n  comm:\n    require-encryption: true\n"
               f"    tls:\n      ca-file: {files['ca']}\n      client:\n"
               f"        cert: {files['cert']}\n        key: {files['key']}\n")
    done = subprocess.run([COMMAND, *FIT, "--scheduler", secured_cluster.address],
                          capture_output=True, text=True, check=False, timeout=300,
                          env={**os.environ, "DASK_CONFIG": str(folder / "config")})
    assert (done.returncode, done.stderr) == (0, DONE)


@pytest.mark.parametrize("options, status, message", [
    (["--scheduler", "tls://127.0.0.1:{port}"], 2,
     "--scheduler tls://127.0.0.1:{port}: a TLS scheduler needs this client's credentials: "
     "give --tls-ca-file CA.pem --tls-cert CERT.pem (and --tls-key KEY.pem), or set them in "
     "Dask's configuration (distributed.comm.tls)"),
    (["--scheduler", "127.0.0.1:{port}", "--tls-ca-file", "m.tsv", "--tls-cert", "s.tsv"], 2,
     "--scheduler tcp://127.0.0.1:{port}: give the tls:// address of the scheduler that "
     "--tls-ca-file is for"),
    (["--scheduler", "tls://127.0.0.1:{port}", "--tls-cert", "s.tsv"], 2,
     "--tls-ca-file and --tls-cert go together (with --tls-key when the key is not in the "
     "certificate's file)"),
    (["--workers", "1", "--tls-ca-file", "m.tsv", "--tls-cert", "s.tsv"], 2,
     "--tls-ca-file is for --scheduler tls://HOST:PORT (a local cluster of --workers makes "
     "credentials of its own)"),
    (["--scheduler", "tls://127.0.0.1:{port}", "--tls-ca-file", "ca.pem", "--tls-cert",
      "s.tsv"], 1, "ca.pem: cannot read: No such file or directory"),
    (["--scheduler", "127.0.0.1:{port}"], 1,
     "cannot reach the Dask scheduler tcp://127.0.0.1:{port}: Connection refused"),
])
def test_scheduler_options_and_a_refused_connection(folder, capsys, options, status, message):
    port, held = a_closed_port()
    with held:
        options = [option.format(port=port) for option in options]
        assert main(capsys, *FIT, *options) == (
            status, f"mutflank fit: error: {message.format(port=port)}\n")
    assert sorted(os.listdir()) == ["m.tsv", "s.tsv"]
