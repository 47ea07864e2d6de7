"""The unit of work of `mutflank matrix`: some inputs counted into one Tally. `count_inputs` is
a plain function of plain, picklable arguments; it runs in this process or as the task of a
Dask worker (distributed.py), and imports no verb. Each input is read once, in batches of at
most `batch_records` records, so memory is bounded by a batch, not by the size of the inputs."""

from dataclasses import dataclass

import numpy as np

from .. import _engine
from ..inputs.open import open_input
from ..inputs.records import differing
from ..inputs.stage import SampleChoice, Stage, header_samples, region_filter
from ..reference.genome import Genome
from .tally import Counter

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
    `reference` with `settings` (counting.Settings); with `regions` (inputs.regions.Regions
    matched to the reference) only the records inside them. `on_input(item)` is called after
    each."""
    limit = batch_records or BATCH_RECORDS
    with Genome(reference) as genome:
        rule = region_filter(regions, genome)
        counter = Counter(genome, settings, merge_doublets=merge_doublets,
                          inside=None if rule is None else rule.keep)
        tally = counter.tally
        stage = Stage(SampleChoice(settings.samples, settings.exclude), settings.default_build,
                      genome, build=settings.build, pass_only=pass_only, held=tally.held,
                      origins=tally.origins)
        # Batches of consecutive inputs of one format are counted together, up to `limit`
        # records, so that many small inputs cost about what one large input does; `ended`:
        # the inputs read to their end since the last call (their held SNVs are let go).
        pending, held, pending_kind, ended = [], 0, None, []
        for item in items:
            with open_input(item.name, item.path) as source:
                stage.check(source)
                # Named whether or not it holds records: an input of none may still name a
                # sample of another, and every input tells the labels of the others apart.
                tally.names[item.index] = item.name
                declared = header_samples(source)
                if declared is not None:
                    tally.declared[item.index] = len(declared)
                if source.kind != pending_kind and (pending or ended):
                    counter.add_inputs(pending, pending_kind, ended)
                    pending, held, ended = [], 0, []
                pending_kind = source.kind
                for records in stage.read(item.index, source, batch_size=limit,
                                          snvs=counter.snv_hook(item.index, item.name)):
                    records = trim_alleles(records)
                    # The SNVs the engine took as the batch was read count as its records.
                    size = len(records) + counter.taken_apart(item.index)
                    if pending and held + size > limit:
                        counter.add_inputs(pending, pending_kind, ended)
                        pending, held, ended = [], 0, []
                    pending.append((records, item.index, item.name))
                    held += size
                ended.append(item.index)
            if on_input is not None:
                on_input(item)
        if pending or ended:
            counter.add_inputs(pending, pending_kind, ended)
        return counter.tally


def trim_alleles(records):
    """The records with equal-length alleles trimmed of their common leading and trailing bases
    (REF ATG, ALT ACG at 100 is T>C at 101), as the readers' `records.classify` does."""
    ref, alt = records.ref, records.alt
    ref_lengths = _engine.text_lengths(ref)
    alt_lengths = _engine.text_lengths(alt)
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
    trimmed = records.take(slice(None), records.left_out)
    trimmed.ref, trimmed.alt, trimmed.position = ref, alt, position
    return trimmed
