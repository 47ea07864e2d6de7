"""`mutflank matrix` on a Dask cluster: the inputs are cut into batches, each is counted by
work.count_inputs on a worker process (one thread each), and the tallies that come back
(counts per column, never records) add up to those of a run in one process."""

from ..runtime.cluster import connect, results
from .tally import Tally
from .work import count_inputs

BATCH_BYTES = 64 << 20  # input bytes per task, at most
BATCH_FILES = 256  # inputs per task, at most


def batches(inputs, batch_bytes=BATCH_BYTES, batch_files=BATCH_FILES):
    """The inputs cut in order into lists of at most `batch_files` inputs and, beyond one
    input, `batch_bytes` bytes. A file is never split."""
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


def count_on_cluster(items, reference, settings, work, workers=None, scheduler=None):
    """The Tally of all inputs (work.Item, with absolute paths), counted against the reference
    folder `reference` (an absolute path) with `settings`; `work` holds count_inputs' other
    options."""
    groups = batches(items)
    total = Tally(settings.kinds)
    with connect(workers, scheduler, module=count_inputs.__module__) as client:
        for result in results(client, count_inputs, groups,
                              lambda group: f"the batch starting with {group[0].name}",
                              reference=reference, settings=settings, **work):
            total.merge(result)
    return total
