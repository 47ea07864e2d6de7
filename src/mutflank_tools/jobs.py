"""The unit of work of `mutflank matrix`: some inputs counted into one Tally. `count_inputs` is
a plain function of plain, picklable arguments; it runs in this process or as the task of a
Dask worker (cluster.py), and imports no verb. Each input is read once, in batches of at most
`batch_records` records, so memory is bounded by a batch, not by the size of the inputs."""

from dataclasses import dataclass

import numpy as np

from .counting import Counter
from .genome import Genome
from .readers import open_input, read
from .records import Records, differing
from .regions import RegionFilter

BATCH_RECORDS = 1 << 16


@dataclass(frozen=True)
class Item:
    """One input: its number among all inputs (messages and column order use it), its name as
    the user gave it, and the path to open (absolute, so that a worker elsewhere finds it)."""

    index: int
    name: str
    path: str
    size: int = 0


def count_inputs(items, reference, settings, *, pass_only=False, merge_doublets=True,
                 regions=None, batch_records=None, on_input=None):
    """The Tally of `items` (a list of Item), counted against the reference folder
    `reference` with `settings` (counting.Settings); with `regions` (regions.Regions matched
    to the reference) only the records inside them. `on_input(item)` is called after each."""
    limit = batch_records or BATCH_RECORDS
    with Genome(reference) as genome:
        counter = Counter(genome, settings)
        inside = _region_filter(regions, genome)
        # Batches of consecutive inputs of one format are counted together, up to `limit`
        # records, so that many small inputs cost about what one large input does.
        pending, held, pending_kind = [], 0, None
        for item in items:
            with open_input(item.name, item.path) as source:
                if source.kind in ("vcf", "bcf") and source.samples is not None:
                    counter.tally.declared[item.index] = len(source.samples)
                if source.kind != pending_kind and pending:
                    counter.add_inputs(pending, pending_kind)
                    pending, held = [], 0
                pending_kind = source.kind
                # Adjacent SNVs become doublets whatever kinds are written, so that an SBS
                # matrix counts the same substitutions with or without DBS78 beside it.
                regroup = _regrouper(merge_doublets)
                batches = (regroup.feed(trim_alleles(records))
                           for records in read(source, pass_only=pass_only, batch_size=limit))
                for records in _then(batches, regroup.finish):
                    records = inside(records)
                    if pending and held + len(records) > limit:
                        counter.add_inputs(pending, pending_kind)
                        pending, held = [], 0
                    pending.append((records, item.index, item.name))
                    held += len(records)
            if on_input is not None:
                on_input(item)
        if pending:
            counter.add_inputs(pending, pending_kind)
        return counter.tally


def _region_filter(regions, genome):
    """The records of a batch that lie in the regions (after doublets are made: a doublet is
    inside when both its bases are); every record without regions."""
    if regions is None:
        return lambda records: records
    found = RegionFilter(regions, known=lambda name: genome.chromosome(regions.build, name)
                         is not None)
    return found.apply


def _then(batches, finish):
    """The batches, then what `finish()` returns at their end (unless None)."""
    yield from batches
    rest = finish()
    if rest is not None:
        yield rest


class _Through:
    """No regrouping: every batch as it comes."""

    def feed(self, records):
        return records

    def finish(self):
        return None


def _regrouper(merge):
    if not merge:
        return _Through()
    from .doublets import Merger

    return Merger(merge=merge)


def trim_alleles(records):
    """The records with equal-length alleles trimmed of their common leading and trailing bases
    (REF ATG, ALT ACG at 100 is T>C at 101), as the readers' `records.classify` does."""
    ref, alt = records.ref, records.alt
    ref_lengths = np.fromiter(map(len, ref.tolist()), dtype=np.int64, count=len(ref))
    alt_lengths = np.fromiter(map(len, alt.tolist()), dtype=np.int64, count=len(alt))
    longer = np.flatnonzero((ref_lengths == alt_lengths) & (ref_lengths > 1))
    if not len(longer):
        return records
    ref, alt, position = ref.copy(), alt.copy(), records.position.copy()
    for at in longer.tolist():
        r, a = ref[at], alt[at]
        start, end = differing(r, a)
        if start == end:
            continue  # no change: the readers leave such alleles out
        ref[at], alt[at] = r[start:end], a[start:end]
        position[at] += start
    return Records(records.input, records.sample, records.chromosome, records.build, position,
                   ref, alt, records.filter, records.line, records.id, records.left_out)
