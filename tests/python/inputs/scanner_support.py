"""What the tests of the engine's scanners (test_vcf_engine.py, test_maf_engine.py,
test_table_engine.py) share: a reading's outcome to compare with its model's, the packed forms
of an input, and reading a FIFO fed by a thread."""

import collections
import gzip
import os
import tempfile
import threading

from mutflank_tools.inputs.records import Records
from mutflank_tools.runtime.errors import InputError


def outcome(batches_of, held=None):
    """(records as tuples, summed left-out) of a reading, with the sorted names held when
    `held` is given, or the message of its InputError."""
    try:
        batches = batches_of()
    except InputError as error:
        return str(error)
    rows = []
    for batch in batches:
        rows += zip(*(getattr(batch, name).tolist() for name in Records.EVERY_COLUMN))
    left_out = sum((batch.left_out for batch in batches), collections.Counter())
    return (rows, left_out) if held is None else (rows, left_out, sorted(held))


def bgzip(data):
    """`data` as bgzip writes it: independent blocks that the engine unpacks whole."""
    import pysam

    with tempfile.TemporaryDirectory() as folder:
        plain = os.path.join(folder, "t.txt")
        with open(plain, "wb") as out:
            out.write(data)
        pysam.tabix_compress(plain, plain + ".gz")
        with open(plain + ".gz", "rb") as packed:
            return packed.read()


FORMS = {"plain": lambda data: data, "gzip": gzip.compress, "bgzip": bgzip}


def write_case(path, text, form="plain"):
    """`text` (surrogates stand for bytes that are no UTF-8) at `path` in the form named."""
    path.write_bytes(FORMS[form](text.encode("utf-8", "surrogateescape")))
    return path


def check_case(path, fault, engine, model):
    """The engine reads `path` as its model does: records when `fault` is None, else the
    message `fault` after the path."""
    found = engine(path)
    assert found == model(path)
    if fault is None:
        assert not isinstance(found, str), found
    else:
        assert found == f"{path}: {fault}"


def _feed(fifo, data):
    with open(fifo, "wb") as out:
        out.write(data)


def read_fifo(fifo, data, *reads):
    """What each of `reads` gives for the FIFO `fifo`, made afresh and fed `data` by a thread
    for each."""
    results = []
    for read in reads:
        os.mkfifo(fifo)
        writer = threading.Thread(target=_feed, args=(fifo, data))
        writer.start()
        results.append(read(fifo))
        writer.join()
        os.unlink(fifo)
    return results
