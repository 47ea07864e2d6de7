"""Records left out, and their summary for standard error: one line per reason, with the count,
the chromosomes concerned and, when there are several, the inputs."""

import collections

SHOWN = 8  # chromosomes named per reason; the rest are counted


def summary_lines(left_out, shown=SHOWN):
    """Lines such as "left out 3 records: no reference file, on chrUn (2), HLA-A (1)" from
    a Counter of (reason, chromosome) -> records of one input, the largest reason first."""
    kept = LeftOut()
    kept.add_counter(0, left_out)
    return kept.lines({0: None}, shown)


class LeftOut:
    """Records left out, by (reason, input): their number on each chromosome, for at most KEPT
    chromosomes; the others are summed under None. Adds up with `merge`."""

    KEPT = 64

    def __init__(self):
        self.counts = {}  # (reason, input index) -> Counter(chromosome or None)

    def add(self, reason, index, chromosomes):
        """Counts one record per name in `chromosomes` ('' where the record has none)."""
        if len(chromosomes):
            self._update((reason, index), collections.Counter(list(chromosomes)))

    def add_counter(self, index, counter):
        """Adds a Counter of (reason, chromosome) -> records, as a reader keeps it."""
        for (reason, chromosome), count in counter.items():
            if count:
                self._update((reason, index), {chromosome: count})

    def _update(self, key, counter):
        kept = self.counts.setdefault(key, collections.Counter())
        kept.update(counter)
        if len(kept) > 2 * self.KEPT:
            ordered = sorted(((name, count) for name, count in kept.items() if name is not None),
                             key=lambda item: (-item[1], item[0]))
            rest = sum(count for _, count in ordered[self.KEPT:]) + kept.get(None, 0)
            kept.clear()
            kept.update(dict(ordered[:self.KEPT]))
            kept[None] = rest

    def merge(self, other):
        for key, counter in other.counts.items():
            self._update(key, counter)
        return self

    def total(self, reasons=None, index=None):
        return sum(sum(counter.values()) for (reason, at), counter in self.counts.items()
                   if (reasons is None or reason in reasons) and (index is None or at == index))

    def lines(self, names, shown=8):
        """Summary lines, the largest reason first: "left out 3 records: no reference file, on
        chrUn (2), HLA-A (1)", followed by ", in a.vcf (2), b.vcf (1)" when `names` (input
        index -> name) holds several inputs."""
        by_reason = collections.defaultdict(collections.Counter)
        inputs = collections.defaultdict(collections.Counter)
        for (reason, index), counter in self.counts.items():
            by_reason[reason].update(counter)
            inputs[reason][index] += sum(counter.values())
        lines = []
        for reason, counter in sorted(by_reason.items(),
                                      key=lambda item: (-sum(item[1].values()), item[0])):
            total = sum(counter.values())
            text = f"left out {total:,} record{'' if total == 1 else 's'}: {reason}"
            named = sorted(((name, count) for name, count in counter.items() if name),
                           key=lambda item: (-item[1], item[0]))
            if named:
                text += ", on " + ", ".join(f"{name} ({count:,})" for name, count in named[:shown])
                more = len(named) - shown
                if counter.get(None):
                    text += f" and {counter[None]:,} records on other chromosomes"
                elif more > 0:
                    text += f" and {more} more chromosomes"
            if len(names) > 1:
                ordered = sorted(inputs[reason].items(), key=lambda item: (-item[1], item[0]))
                text += ", in " + ", ".join(f"{names[index]} ({count:,})"
                                            for index, count in ordered[:shown])
                if len(ordered) > shown:
                    text += f" and {len(ordered) - shown} more inputs"
            lines.append(text)
        return lines
