"""Records left out, and their summary for standard error: one line per reason, with the count,
the chromosomes concerned and, when there are several, the inputs.

One class serves every place that leaves records out: a reader's batch (`Records.left_out`),
the doublets, the counting's Tally and the table's rows. It is a Counter of (reason,
chromosome) -> records, plus the records of each reason per input, so that any LeftOut adds up
with any other (`merge`), here or sent back from a Dask worker."""

import collections
import collections.abc

from ..runtime import errors

KEPT = 64  # chromosomes told apart per reason: the others are summed under None
SHOWN = 8  # chromosomes and inputs named per reason in a summary line


class LeftOut(collections.Counter):
    """Records left out: (reason, chromosome) -> records, with at most KEPT chromosomes per
    reason (beyond 2 * KEPT, the KEPT largest are kept and the rest summed under (reason,
    None)); `inputs` holds (reason, input) -> records for the inputs it was told of."""

    def __init__(self, counts=None, inputs=None):
        dict.__init__(self)  # one is made per batch: no more than a dict's work when empty
        self.inputs = {}  # (reason, input) -> records
        self._names = {}  # reason -> chromosome names told apart
        if counts:
            self.merge(counts)
        if inputs:
            self._add_inputs(inputs)

    def __reduce__(self):
        return type(self), (dict(self), dict(self.inputs))

    def add(self, reason, chromosome, count=1, input=None):
        """Counts `count` records of `chromosome` ('' where the record has none) left out for
        `reason`, of the input `input` (None: an input not told)."""
        if not count:
            return
        key = (reason, chromosome)
        if key in self:
            self[key] += count
        else:
            self[key] = count
            names = self._names[reason] = self._names.get(reason, 0) + 1
            if names > 2 * KEPT:
                self._trim(reason)
        if input is not None:
            self.inputs[(reason, input)] = self.inputs.get((reason, input), 0) + count

    @classmethod
    def of_engine(cls, entries, reasons):
        """The LeftOut of an engine batch's `left_out` list of (reason number, chromosome,
        records); `reasons`: the reasons' texts by their number."""
        left_out = cls()
        for reason, chromosome, count in entries:
            left_out.add(reasons[reason], chromosome, count)
        return left_out

    def add_each(self, reason, chromosomes, input=None):
        """Counts one record per name in `chromosomes` (a sequence or an array)."""
        if len(chromosomes):
            for chromosome, count in collections.Counter(list(chromosomes)).items():
                self.add(reason, chromosome, count, input)

    def merge(self, other, input=None):
        """Adds `other` (a LeftOut, or a mapping of (reason, chromosome) -> records); its
        records count for the input `input` when given, else for the inputs it was told of."""
        for (reason, chromosome), count in other.items():
            self.add(reason, chromosome, count, input)
        if input is None:
            self._add_inputs(getattr(other, "inputs", {}))
        return self

    def _add_inputs(self, inputs):
        for key, count in inputs.items():
            self.inputs[key] = self.inputs.get(key, 0) + count

    def add_counter(self, input, other):
        """Adds `other` (a reader's LeftOut of one batch) as records of the input `input`."""
        return self.merge(other, input)

    def update(self, other=(), **kwargs):
        if isinstance(other, collections.abc.Mapping):
            self.merge(other)
        else:
            super().update(other, **kwargs)

    def _trim(self, reason):
        named = sorted(((key[1], count) for key, count in self.items()
                        if key[0] == reason and key[1] is not None),
                       key=lambda item: (-item[1], item[0]))
        rest = sum(count for _, count in named[KEPT:])
        for chromosome, _ in named[KEPT:]:
            del self[(reason, chromosome)]
        self[(reason, None)] += rest
        self._names[reason] = KEPT + 1

    def total(self, reasons=None, input=None):
        """The records left out (for these reasons; of this input)."""
        if input is not None:
            return sum(count for (reason, at), count in self.inputs.items()
                       if at == input and (reasons is None or reason in reasons))
        return sum(count for (reason, _), count in self.items()
                   if reasons is None or reason in reasons)

    def lines(self, names=None, shown=SHOWN):
        """Summary lines, the largest reason first: "left out 3 records: no reference file, on
        chrUn (2), HLA-A (1)", followed by ", in a.vcf (2), b.vcf (1)" when `names` (input ->
        name) holds several inputs."""
        by_reason = collections.defaultdict(collections.Counter)
        for (reason, chromosome), count in self.items():
            if count:
                by_reason[reason][chromosome] += count
        per_input = collections.defaultdict(collections.Counter)
        for (reason, at), count in self.inputs.items():
            if count:
                per_input[reason][at] += count
        lines = []
        for reason, counter in sorted(by_reason.items(),
                                      key=lambda item: (-sum(item[1].values()), item[0])):
            total = sum(counter.values())
            text = f"left out {total:,} record{'' if total == 1 else 's'}: {reason}"
            named = sorted(((name, count) for name, count in counter.items() if name),
                           key=lambda item: (-item[1], item[0]))
            if named:
                text += ", on " + ", ".join(f"{errors.shown(name)} ({count:,})"
                                       for name, count in named[:shown])
                if counter.get(None):
                    text += f" and {counter[None]:,} records on other chromosomes"
                elif len(named) > shown:
                    text += f" and {len(named) - shown} more chromosomes"
            if names is not None and len(names) > 1 and per_input[reason]:
                ordered = sorted(per_input[reason].items(), key=lambda item: (-item[1], item[0]))
                text += ", in " + ", ".join(f"{names[at]} ({count:,})"
                                            for at, count in ordered[:shown])
                if len(ordered) > shown:
                    text += f" and {len(ordered) - shown} more inputs"
            lines.append(text)
        return lines


def summary_lines(left_out, shown=SHOWN):
    """The summary lines of a mapping of (reason, chromosome) -> records of one input."""
    return LeftOut(left_out).lines(shown=shown)
