#!/usr/bin/env python3
"""The 96-channel mutational spectrum of mutation tables, as a TSV matrix and a bar chart.

    spectrum.py TABLE... --reference DIR [--tsv spectrum.tsv] [--png spectrum.png]

Runs mutflank.parse_vcf_files over the tables at context 3 and counts every context
string that is one of the 96 channels: the six substitution classes of a pyrimidine
reference base (C>A, C>G, C>T, T>A, T>C, T>G), each with the 16 pairs of neighbouring
bases (A..T on the left times A..T on the right). The sample of a row is the first part
of its row key (the table's first column). Contexts that are no channel (an N next to the
substitution, a substitution at the first base of a chromosome) are counted apart and
reported on standard error.

The matrix has one row per channel, in the order above, and one column per sample
(sorted by name); the picture has one panel per sample.
"""

import argparse
import sys

CLASSES = ("C>A", "C>G", "C>T", "T>A", "T>C", "T>G")
CLASS_COLOURS = ("#1ebff0", "#050708", "#e62725", "#cbcacb", "#a1cf64", "#edc8c5")
CHANNELS = tuple(f"{left}[{cls}]{right}" for cls in CLASSES for left in "ACGT" for right in "ACGT")
CHANNEL_INDEX = {channel: i for i, channel in enumerate(CHANNELS)}
CONTEXT = 3


def count_channels(rows, counts=None):
    """Adds the rows (row key, context string) to counts, a dict sample -> list of 96 ints.

    Returns (counts, number of rows whose context is no channel)."""
    counts = {} if counts is None else counts
    other = 0
    for key, context in rows:
        index = CHANNEL_INDEX.get(context)
        if index is None:
            other += 1
            continue
        sample = key.split("::", 1)[0]
        per_sample = counts.get(sample)
        if per_sample is None:
            per_sample = counts[sample] = [0] * len(CHANNELS)
        per_sample[index] += 1
    return counts, other


def merge_counts(into, more):
    """Adds the per-sample counts of more into into; returns into."""
    for sample, values in more.items():
        total = into.setdefault(sample, [0] * len(CHANNELS))
        for i, value in enumerate(values):
            total[i] += value
    return into


def count_tables(tables, reference):
    """The per-sample channel counts of a list of tables, from one mutflank call."""
    import mutflank

    rows = mutflank.parse_vcf_files(list(tables), reference, CONTEXT)
    return count_channels(rows)


def write_matrix(counts, path):
    """Writes the channels x samples matrix as tab-separated text."""
    samples = sorted(counts)
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write("\t".join(["MutationType", *samples]) + "\n")
        for i, channel in enumerate(CHANNELS):
            out.write("\t".join([channel, *(str(counts[s][i]) for s in samples)]) + "\n")


def read_matrix(path):
    """Reads a matrix written by write_matrix back into a dict sample -> list of 96 ints."""
    with open(path, encoding="utf-8") as lines:
        header = next(lines).rstrip("\n").split("\t")
        samples = header[1:]
        counts = {s: [0] * len(CHANNELS) for s in samples}
        for i, line in enumerate(lines):
            fields = line.rstrip("\n").split("\t")
            if fields[0] != CHANNELS[i]:
                raise ValueError(f"{path}: row {i + 2} is {fields[0]!r}, expected {CHANNELS[i]!r}")
            for sample, value in zip(samples, fields[1:]):
                counts[sample][i] = int(value)
    return counts


def plot_spectra(counts, path, title=None):
    """Draws one bar-chart panel per sample (sorted by name) into a PNG file."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Rectangle

    samples = sorted(counts) or ["(no mutations)"]
    colours = [CLASS_COLOURS[i // 16] for i in range(len(CHANNELS))]
    figure, axes = plt.subplots(len(samples), 1, figsize=(16, 3.2 * len(samples)),
                                squeeze=False, constrained_layout=True)
    for axis, sample in zip(axes[:, 0], samples):
        values = counts.get(sample, [0] * len(CHANNELS))
        top = max(max(values), 1) * 1.18
        axis.bar(range(len(CHANNELS)), values, width=0.7, color=colours)
        axis.set_xlim(-0.6, len(CHANNELS) - 0.4)
        axis.set_ylim(0, top)
        axis.set_xticks(range(len(CHANNELS)))
        axis.set_xticklabels(CHANNELS, rotation=90, fontsize=6, family="monospace")
        axis.set_ylabel("mutations")
        axis.set_title(f"{sample}  ({sum(values)} substitutions)", loc="left", fontsize=10)
        axis.spines[["top", "right"]].set_visible(False)
        for k, (cls, colour) in enumerate(zip(CLASSES, CLASS_COLOURS)):
            axis.add_patch(Rectangle((16 * k - 0.5, top * 0.93), 16, top * 0.07,
                                     color=colour, clip_on=False, linewidth=0))
            axis.text(16 * k + 7.5, top * 0.965, cls, ha="center", va="center", fontsize=9,
                      color="white" if k in (1, 2) else "black", fontweight="bold")
    if title:
        figure.suptitle(title)
    figure.savefig(path, dpi=100)
    plt.close(figure)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Count the 96 substitution channels of mutation tables and plot them.")
    parser.add_argument("tables", nargs="+", help="mutation tables (ten tab-separated columns)")
    parser.add_argument("--reference", required=True, help="reference directory (ROOT/<build>/<chrom>.txt)")
    parser.add_argument("--tsv", default="spectrum.tsv", help="matrix to write (default: %(default)s)")
    parser.add_argument("--png", default="spectrum.png", help="picture to write (default: %(default)s)")
    args = parser.parse_args(argv)
    try:
        counts, other = count_tables(args.tables, args.reference)
    except OSError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    write_matrix(counts, args.tsv)
    plot_spectra(counts, args.png)
    total = sum(sum(values) for values in counts.values())
    print(f"{parser.prog}: {total} substitutions in {len(counts)} sample(s) -> {args.tsv}, {args.png}"
          + (f"; {other} context(s) outside the 96 channels" if other else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
