"""The context frequencies of an opportunities file (`mutflank opportunities`: a matrix of one
column, `opportunities`, whose channels of one reference context share its count): one bar per
context, its share of all contexts, coloured by its central base (and by strand for the strand
kinds; by reference dinucleotide for DBS78)."""

import numpy as np

from ..runtime.errors import InputError, at_line
from . import pages
from .layouts import CLASS_COLOURS, DOUBLET_COLOURS

COLUMN = "opportunities"
LABELLED = 192  # contexts beyond this are drawn without a label each
STRAND_COLOURS = {"T": "#1f5fa8", "U": "#e05a2b", "B": "#7f7f7f", "N": "#c7c7c7"}


def is_opportunities(table):
    return table.columns == [COLUMN]


def context(label):
    """The reference context of a channel: A[C>T]G -> ACG, U:A[C>T]G -> U:ACG, AC>CA -> AC."""
    strand, _, rest = label.rpartition(":")
    if "[" in rest:
        left, tail = rest.split("[")
        change, right = tail.split("]")
        text = left + change[0] + right
    else:
        text = rest.split(">")[0]
    return f"{strand}:{text}" if strand else text


def contexts(kind, channels, values, table):
    """(context labels in channel order, their counts); an InputError naming the line when two
    channels of one context disagree (not an opportunities file)."""
    counts = {}
    first = {}
    lines = dict(zip(table.rows, table.lines))
    for label, value in zip(channels, values.tolist()):
        key = context(label)
        if key in counts and counts[key] != value:
            raise InputError(at_line(table.path, lines[label], f"{label} holds {value:g}, but "
                                     f"{first[key]} of the same context {key} holds "
                                     f"{counts[key]:g}: not the opportunities of one sequence"))
        counts.setdefault(key, value)
        first.setdefault(key, label)
    return list(counts), np.array(list(counts.values()), dtype=float)


def colour(kind, label):
    if ":" in label:
        return STRAND_COLOURS[label[0]]
    if kind == "DBS78":
        references = ("AC", "AT", "CC", "CG", "CT", "GC", "TA", "TC", "TG", "TT")
        return DOUBLET_COLOURS[references.index(label) % len(DOUBLET_COLOURS)]
    return CLASS_COLOURS[1] if label[len(label) // 2] == "C" else CLASS_COLOURS[2]


def figure(kind, labels, counts, path):
    total = counts.sum()
    shares = counts / total if total else counts
    width = min(40.0, max(6.0, 0.14 * len(labels) + 1.5))
    made = pages.figure(width, 4.0)
    axis = made.add_axes([1.0 / width, 0.2, 1 - 1.3 / width, 0.7])
    axis.bar(np.arange(len(labels)), shares, width=0.8,
             color=[colour(kind, label) for label in labels])
    axis.set_xlim(-0.6, len(labels) - 0.4)
    axis.set_ylabel("share of contexts")
    if len(labels) <= LABELLED:
        axis.set_xticks(np.arange(len(labels)))
        axis.set_xticklabels(labels, rotation=90, fontsize=6, family="monospace")
    else:
        axis.set_xticks([])
        axis.set_xlabel(f"{len(labels):,} contexts, in the order of the {kind} channels")
    axis.spines[["top", "right"]].set_visible(False)
    axis.set_title(f"{path}: {kind} context frequencies ({int(total):,} contexts)",
                   loc="left", fontsize=10)
    return made


def draw(args, table, kind, channels, values, inputs):
    """Draws the file; (kind, what was drawn, pages.Written)."""
    labels, counts = contexts(kind, channels, values[:, 0], table)
    written = pages.write([figure(kind, labels, counts, args.table)], 1, args.output, inputs)
    return kind, f"the frequencies of {len(labels):,} contexts", written
