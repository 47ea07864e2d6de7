"""The SNVs of VCF text counted by the engine as it reads them (_engine.SnvCounter), under the
same rules as the rest of counting: each is looked up in the reference, its REF checked, merged
with its neighbours into doublets by the merger's rules (doublets.py) and counted in the SBS
matrices whose channels are the engine's rule (`Kind.channel_flank`). Only what is not an SNV
reaches the Records and the Counter's steps, with what became of the SNVs beside it: the
engine hands back the doublets it made, and the counts of what it left out. Records of a class
that the Counter would leave out unread (no chosen kind takes it, or it is no class) are left
out by the engine too, by the Counter's reasons (`omitted_reasons`).

`EngineSnvs.hook(index, name, sample_array)` is what the VCF reader takes (inputs.vcf); the
Counter applies each batch's facts (`apply`) and steps the input's merger (`Merger`) as it
counts the batch's other records, in the order the batches were read."""

import collections
import os

import numpy as np

from .. import _engine
from ..inputs.left_out import LeftOut
from ..runtime.errors import UsageError
from ..inputs.stage import build_fault
from ..reference.genome import Chromosome
from . import kinds as registry
from .counted import Counted
from . import doublets
from .doublets import DUPLICATE, MULTI_BASE, unsorted_fault

# What the engine's numbers of the reasons it leaves SNVs out stand for.
PAST_END = "position past the chromosome end"
REF_DIFFERS = "REF differs from the reference base"
_CHECKED = (PAST_END, REF_DIFFERS)
_LOST = (MULTI_BASE, DUPLICATE)


# Whether the engine counts the SNVs it can; without it the Counter's own steps count them, to
# the same answers (the tests hold the two to each other).
ENGINE = True


def engine_kinds(sources):
    """The source kinds of SNVs whose channels the engine's rule gives, in order, or None when
    some kind of SNVs needs another rule (the engine then counts none)."""
    if not ENGINE:
        return None
    snv_kinds = [kind for kind in sources if kind.mutation_class == "SBS"]
    if not snv_kinds or any(kind.channel_flank is None for kind in snv_kinds):
        return None
    return snv_kinds


def omitted_reasons(counter):
    """By allele shape (kinds.NO_SHAPE .. kinds.INDEL, the engine's classes): (the reason the
    Counter leaves out a record of that shape before reading it further, the name of its
    mutation class or None), or None where the Counter reads it (SNVs, which the engine counts,
    among them)."""
    shapes = [None] * (registry.INDEL + 1)
    classes = counter.classes
    if any(mutation_class.shape is None for mutation_class in classes):
        return shapes  # a class told by its own rule: every record is handed back
    for shape in range(len(shapes)):
        number = next((number for number, mutation_class in enumerate(classes)
                       if mutation_class.shape == shape), None)
        if number is None:
            shapes[shape] = (registry.OTHER, None)
        elif shape != registry.SINGLE and number not in counter.checked_classes:
            mutation_class = classes[number]
            shapes[shape] = (registry.not_counted(mutation_class), mutation_class.name)
    return shapes


class EngineSnvs:
    """The engine's SNV counter of a Counter (see the module's text)."""

    def __init__(self, counter, kinds):
        self.counter = counter
        self.kinds = kinds
        # The records of a class that counting leaves out unread (no chosen kind takes it, or
        # it is no class): left out by the engine as well, by the reason's number here.
        self._omitted = omitted_reasons(counter)
        self.engine = _engine.SnvCounter(
            [kind.channel_flank for kind in kinds], doublets.HOLD,
            [-1 if item is None else number for number, item in enumerate(self._omitted)])
        self._facts = collections.defaultdict(collections.deque)  # index -> batch facts
        self._unstepped = set()  # inputs with a batch applied and not stepped since
        self._held = set()  # inputs read here and not ended

    def add_place(self, number, chromosome):
        self.engine.add_place(number, os.fsencode(chromosome.path), chromosome.length)

    def hook(self, index, name, samples):
        """What the VCF reader of input number `index` (`name`) takes to have its SNVs counted
        here: `samples`, the reader's samples by the scanner's number."""
        self._held.add(index)
        return _Hook(self, index, name, samples)

    def taken_apart(self, index):
        """The SNV records of the batch of input `index` read last, if not applied yet."""
        facts = self._facts.get(index)
        return facts[-1]["records"] if facts else 0

    def holds(self, index):
        """Whether the engine counts the SNVs of input `index`."""
        return index in self._held

    def reads(self, index):
        """Whether input `index` has batches read here not yet applied."""
        return bool(self._facts.get(index))

    def apply(self, index):
        """Applies the facts of input `index`'s oldest batch not applied yet to the tally, and
        hands its SNVs to the engine's merger."""
        facts = self._facts[index].popleft()
        counter, tally = self.counter, self.counter.tally
        samples = facts["samples"]
        rows = np.full(facts["width"], -1, dtype=np.int64)
        if len(samples):
            names = facts["names"]
            for sample in names.tolist():
                tally.note_origin(sample, index)
            keys = [(index if counter.settings.by_input else None, sample)
                    for sample in names.tolist()]
            rows[samples] = tally.rows(keys)
        coverage = tally.coverage[index]
        coverage.records += facts["records"]
        build = facts["build"]
        for reason, chromosome, count in facts["missing"]:
            coverage.add(0, [build] * min(count, 1000), [chromosome] * min(count, 1000),
                         missing=count)
            tally.left_out.add(reason, chromosome, count, index)
        for reason, chromosome, count in facts["left_out"]:
            tally.left_out.add(_CHECKED[reason], chromosome, count, index)
        for number, chromosome, count in facts["omitted"]:
            reason, name = self._omitted[number]
            tally.left_out.add(reason, chromosome, count, index)
            if name is not None:
                tally.classes_seen.add(name)
        checked, differing, first = facts["ref"]
        check = tally.checks[index]
        check.checked += checked
        check.differing += differing
        if first is not None:
            line, chromosome, position, ref, reference = first
            counter.note_ref_differs(index, line, chromosome, position, ref, reference)
        self.engine.feed_part(index, rows)
        self._unstepped.add(index)

    def merger(self, index, source):
        return Merger(self, index, source)

    def unstepped(self):
        """The inputs with batches applied but not stepped since (no other records of theirs
        came through a Merger)."""
        return sorted(self._unstepped)

    def step(self, index, source, final):
        """(The doublets the engine's merger released, as Counted, or None) after one step of
        input `index`'s merger; its counts added to the tally, what it left out noted."""
        counter, tally = self.counter, self.counter.tally
        self._unstepped.discard(index)
        counts = tally.counts
        result = self.engine.step(index, final, [counts[kind.name] for kind in self.kinds],
                                  len(tally.keys))
        if final:
            self._facts.pop(index, None)
            self._held.discard(index)
        if result["unsorted"] is not None:
            line, chromosome, position, row = result["unsorted"]
            raise unsorted_fault(source.name, line, chromosome, position, tally.keys[row][1],
                                 doublets.HOLD)
        for reason, chromosome, count in result["lost"]:
            tally.left_out.add(_LOST[reason], chromosome, count, index)
        tally.records += result["counted"]
        if result["singles"]:
            tally.classes_seen.add("SBS")
        unplaced = result["unplaced"]
        if unplaced is not None:
            codes = unplaced["codes"]
            counter.leave_out_by_kind(
                {kind.name: codes[:, number] for number, kind in enumerate(self.kinds)},
                unplaced["chromosome"], np.full(len(codes), index, dtype=np.int64),
                unplaced["weight"])
        made = result["doublets"]
        if made is None:
            return None
        rows = made["row"]
        samples = np.empty(len(rows), dtype=object)
        samples[:] = [tally.keys[row][1] for row in rows.tolist()]
        return Counted(input=source, left_out=LeftOut(), sample=samples,
                       chromosome=made["chromosome"], build=None,
                       position=made["position"], ref=made["ref"], alt=made["alt"],
                       filter=None, line=made["line"], id=None, phase=made["phase"],
                       weight=made["weight"],
                       shape=np.full(len(rows), registry.DOUBLET, dtype=np.uint8), row=rows,
                       place=made["place"], window=None)


class _Hook:
    """The VCF reader's side of one input counted by EngineSnvs."""

    def __init__(self, snvs, index, name, samples):
        self.snvs, self.index, self.name, self.samples = snvs, index, name, samples
        settings = snvs.counter.settings
        self.build = settings.build if settings.build is not None else settings.default_build

    def next_batch(self, scanner):
        return scanner.next_counted(self.snvs.engine, self.index, self.lookup)

    def lookup(self, chromosome):
        """The number of the reference file of `chromosome`, or the reason there is none."""
        if self.build is None:
            raise UsageError(build_fault(self.name, "its records name no build",
                                         self.snvs.counter.genome))
        found = self.snvs.counter.genome.lookup(self.build, chromosome)
        if not isinstance(found, Chromosome):
            return found
        return self.snvs.counter.place_number(found)

    def noted(self, batch):
        """Keeps the facts of a batch read, for `apply`."""
        self.snvs._facts[self.index].append({
            "samples": batch["snv_samples"], "names": self.samples[batch["snv_samples"]],
            "width": len(self.samples), "records": batch["snv_records"],
            "missing": batch["snv_missing"], "left_out": batch["snv_left_out"],
            "ref": batch["snv_ref"], "omitted": batch["snv_omitted"], "build": self.build})




class Merger:
    """doublets.Merger's part for an input whose SNVs the engine holds: the SNVs that come
    through here (pieces of records split at their unchanged bases) join the engine's, and each
    feed steps the engine's merger."""

    def __init__(self, snvs, index, source):
        self.snvs, self.index, self.source = snvs, index, source

    def feed_parts(self, records):
        single = records.shape == registry.SINGLE
        if single.any():
            self.snvs.engine.feed_snvs(
                self.index, records.row[single], records.chromosome[single],
                records.place[single], records.position[single].astype(np.int64),
                records.ref[single], records.alt[single], records.phase[single],
                records.line[single], records.weight[single])
            records = records.take(~single, records.left_out)
        return self._released(records, final=False)

    def finish_parts(self):
        return self._released(Counted.empty(self.source), final=True)

    def _released(self, records, final):
        doublets = self.snvs.step(self.index, self.source, final)
        parts = [(records, None)]
        if doublets is not None:
            parts.append((doublets, None))
        return parts
