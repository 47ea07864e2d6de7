"""The summary of records left out, for standard error: one line per reason, with the count
and the chromosomes concerned."""

import collections

SHOWN = 8  # chromosomes named per reason; the rest are counted


def summary_lines(left_out, shown=SHOWN):
    """Lines such as "left out 3 records: no reference file, on chrUn_gl000220 (2), HLA-A (1)" from
    a Counter of (reason, chromosome) -> records, the largest reason first."""
    by_reason = collections.defaultdict(collections.Counter)
    for (reason, chromosome), count in left_out.items():
        if count:
            by_reason[reason][chromosome] += count
    lines = []
    for reason, chromosomes in sorted(by_reason.items(),
                                      key=lambda item: (-sum(item[1].values()), item[0])):
        total = sum(chromosomes.values())
        ordered = sorted(chromosomes.items(), key=lambda item: (-item[1], item[0]))
        names = ", ".join(f"{name} ({count:,})" for name, count in ordered[:shown])
        if len(ordered) > shown:
            names += f" and {len(ordered) - shown} more chromosomes"
        lines.append(f"left out {total:,} record{'' if total == 1 else 's'}: {reason}, on {names}")
    return lines
