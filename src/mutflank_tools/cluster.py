"""Counting on a Dask cluster: the inputs are cut into batches, each batch is counted by one
task on a worker process (one thread: a `mutflank` call holds the interpreter lock from start
to end), and the tallies that come back (counts per sample, never rows) are added up here.
Tallies add up exactly, so the matrices equal those of a run in one process."""

import logging

from .errors import InputError
from .extras import require
from .progress import progress

BATCH_BYTES = 64 << 20  # input bytes per task, at most
BATCH_FILES = 256  # inputs per task, at most


def batches(inputs, batch_bytes=BATCH_BYTES, batch_files=BATCH_FILES):
    """The inputs cut in order into lists of at most `batch_files` inputs and, beyond one
    input, `batch_bytes` bytes. A file is never split: its REF check needs all of it."""
    groups, group, size = [], [], 0
    for item in inputs:
        if group and (len(group) >= batch_files or size + item.size > batch_bytes):
            groups.append(group)
            group, size = [], 0
        group.append(item)
        size += item.size
    if group:
        groups.append(group)
    return groups


def count_on_cluster(inputs, options, workers=None, scheduler=None):
    """The Tally of all inputs, counted on a local cluster of `workers` processes or on the
    cluster of `scheduler`."""
    require("dask")
    distributed = require("distributed")
    from .counting import Tally
    from .matrix import count_batch

    work = batches(inputs)
    # Dask's own warnings (a slow event loop on a busy machine) are not the user's business.
    logging.getLogger("distributed").setLevel(logging.ERROR)
    try:
        if scheduler:
            client = distributed.Client(scheduler, timeout="20s")
            cluster = None
        else:
            cluster = distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True,
                dashboard_address=None, silence_logs=logging.ERROR)
            client = distributed.Client(cluster)
    except (OSError, TimeoutError) as error:
        where = scheduler or "a local cluster"
        raise InputError(f"cannot reach the Dask scheduler {where}: {error}") from None
    try:
        futures = client.map(count_batch, work, options=options, pure=False)
        first_input = {future.key: batch[0].path for future, batch in zip(futures, work)}
        total = Tally()
        bar = progress(total=len(work), desc="batches", unit="batch")
        for future in distributed.as_completed(futures):
            if future.status == "error":
                error = future.exception()
                client.cancel(futures)
                if isinstance(error, InputError):
                    raise InputError(str(error)) from None
                raise InputError(f"the batch starting with {first_input[future.key]} failed on "
                                 f"a worker: {type(error).__name__}: {error}") from None
            total.merge(future.result())
            bar.update(1)
        bar.close()
        return total
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
