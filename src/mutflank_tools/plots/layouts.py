"""The layouts that `mutflank plot` draws a matrix in, by the layout name of its kind (the
kinds registry, `mutflank_tools.kinds`, names each kind's layout): where each channel's bar
stands, its colour, the labels under the bars and the coloured bands that name the groups above
them. A kind is told from the set of its row labels."""

import functools
from dataclasses import dataclass, field

from ..counting import channels, kinds

# Single-base substitution classes; T>A and T>G are light, so text on them is black.
CLASS_COLOURS = ("#1ebff0", "#050708", "#e62725", "#cbcacb", "#a1cf64", "#edc8c5")
# Transcriptional strands of SBS192/SBS384: transcribed, untranscribed, both, neither.
STRANDS = {"T": ("transcribed", "#1f5fa8"), "U": ("untranscribed", "#d6452b"),
           "B": ("both strands", "#7a7a7a"), "N": ("no gene", "#c3c3c3")}
# Ten reference doublets of DBS78, one colour each.
DOUBLET_COLOURS = ("#52a7d9", "#1a4a8a", "#9dce6a", "#2d7d32", "#f5a3a1", "#d32f2f",
                   "#f8bf6e", "#ef6c00", "#c9a6e0", "#5e2a84")
# ID83 groups: 1-base deletions of C and T, insertions of C and T, then deletions and
# insertions at repeats of 2, 3, 4, 5+ bases, then deletions with microhomology.
INDEL_COLOURS = ("#fbbd6f", "#fe8002", "#afdc8a", "#36a12e", "#fdcab5", "#fc8a6a",
                 "#f14432", "#bc1a1a", "#d0e1f2", "#94c4df", "#4a98c9", "#1764ab",
                 "#e2e2ef", "#b6b6d8", "#8683bd", "#62409b")


@dataclass
class Band:
    start: float  # x of the first bar of the group
    end: float    # x of its last bar
    label: str
    colour: str
    level: int = 0  # 0: just above the bars; 1: above that


@dataclass
class Layout:
    kind: str
    noun: str            # what the rows count: "substitutions", "doublets", "indels"
    style: str           # "bars" or "heat map"
    x: list = field(default_factory=list)        # each channel's bar position
    width: float = 0.7
    colours: list = field(default_factory=list)  # each channel's bar colour
    ticks: list = field(default_factory=list)    # (x, label) under the bars
    tick_size: float = 6
    tick_rotation: int = 90
    bands: list = field(default_factory=list)
    legend: list = field(default_factory=list)   # (label, colour) of bar colours
    captions: list = field(default_factory=list)  # (x from, x to, text) under the labels
    size: tuple = (16, 3.2)  # inches of one panel


def _sbs6():
    return Layout("SBS6", "substitutions", "bars", x=list(range(6)), colours=list(CLASS_COLOURS),
                  ticks=list(enumerate(channels.SBS6)), tick_size=9, tick_rotation=0,
                  size=(8, 2.6))


def _class_bands(per_class, offset=0.0):
    return [Band(k * per_class + offset, (k + 1) * per_class - 1 + offset, cls, CLASS_COLOURS[k])
            for k, cls in enumerate(channels.CLASSES)]


def _sbs96():
    return Layout("SBS96", "substitutions", "bars", x=list(range(96)),
                  colours=[CLASS_COLOURS[i // 16] for i in range(96)],
                  ticks=list(enumerate(channels.SBS96)), bands=_class_bands(16))


def _stranded(kind, labels):
    """One group of bars per SBS96 context, a bar per strand side by side, in one order for
    every kind: transcribed, untranscribed, both, none (STRANDS)."""
    present = {label.split(":", 1)[0] for label in labels}
    strands = [strand for strand in STRANDS if strand in present]
    context = {label: i for i, label in enumerate(channels.SBS96)}
    width = 0.8 / len(strands)
    x = [context[label.split(":", 1)[1]] + (strands.index(label.split(":", 1)[0])
                                           - (len(strands) - 1) / 2) * width for label in labels]
    return Layout(kind, "substitutions", "bars", x=x, width=width,
                  colours=[STRANDS[label.split(":", 1)[0]][1] for label in labels],
                  ticks=list(enumerate(channels.SBS96)), bands=_class_bands(16),
                  legend=[STRANDS[strand] for strand in strands])


def _dbs78():
    labels = channels.DBS78
    references = list(dict.fromkeys(label.split(">")[0] for label in labels))
    colours = [DOUBLET_COLOURS[references.index(label.split(">")[0])] for label in labels]
    bands = []
    for k, reference in enumerate(references):
        members = [i for i, label in enumerate(labels) if label.startswith(reference + ">")]
        bands.append(Band(members[0], members[-1], f"{reference}>NN", DOUBLET_COLOURS[k]))
    return Layout("DBS78", "doublets", "bars", x=list(range(len(labels))), colours=colours,
                  ticks=[(i, label.split(">")[1]) for i, label in enumerate(labels)],
                  tick_size=7, bands=bands)


def _indel_tick(label):
    """The conventional number under an ID83 bar: the homopolymer length or the number of
    repeat units of a deletion (the count + 1), of an insertion (the count), or the length of
    the microhomology; the last of each group ends in '+'."""
    length, change, base, count = label.split(":")
    number = int(count) + (1 if change == "Del" and base != "M" else 0)
    return f"{number}+" if count == "5" else str(number)


def _id83():
    labels = channels.ID83
    groups = list(dict.fromkeys(label.rsplit(":", 1)[0] for label in labels))
    colours, bands = [], []
    for k, group in enumerate(groups):
        members = [i for i, label in enumerate(labels) if label.rsplit(":", 1)[0] == group]
        length, change, base = group.split(":")
        name = base if length == "1" else ("5+" if length == "5" else length)
        bands.append(Band(members[0], members[-1], name, INDEL_COLOURS[k]))
    for label in labels:
        colours.append(INDEL_COLOURS[groups.index(label.rsplit(":", 1)[0])])

    def span(test):
        members = [i for i, label in enumerate(labels) if test(label.split(":"))]
        return members[0], members[-1]

    tops = [("1bp deletion", lambda f: f[0] == "1" and f[1] == "Del", "homopolymer length"),
            ("1bp insertion", lambda f: f[0] == "1" and f[1] == "Ins", "homopolymer length"),
            (">1bp deletion at repeats", lambda f: f[0] != "1" and f[1] == "Del" and f[2] == "R",
             "number of repeat units"),
            (">1bp insertion at repeats", lambda f: f[0] != "1" and f[1] == "Ins",
             "number of repeat units"),
            ("deletion with microhomology", lambda f: f[2] == "M", "microhomology length")]
    captions = []
    for name, test, caption in tops:
        start, end = span(test)
        bands.append(Band(start, end, name, "#f2f2f2", level=1))
        captions.append((start, end, caption))
    return Layout("ID83", "indels", "bars", x=list(range(len(labels))), colours=colours,
                  ticks=[(i, _indel_tick(label)) for i, label in enumerate(labels)],
                  tick_size=7, tick_rotation=0, bands=bands, captions=captions,
                  size=(16, 3.4))


def _sbs1536():
    return Layout("SBS1536", "substitutions", "heat map", size=(16, 3.4))


def _plain(kind):
    """Bars in channel order, for a kind whose layout has no drawing of its own."""
    labels = kind.channels
    return Layout(kind.name, "mutations", "bars", x=list(range(len(labels))),
                  colours=["#4c72b0"] * len(labels), ticks=list(enumerate(labels)),
                  tick_size=6 if len(labels) > 40 else 8)


# layout name (of the kinds registry) -> maker of the Layout of a kind
LAYOUTS = {
    "sbs6": lambda kind: _sbs6(),
    "sbs96": lambda kind: _sbs96(),
    "sbs1536": lambda kind: _sbs1536(),
    "sbs192": lambda kind: _stranded(kind.name, kind.channels),
    "sbs384": lambda kind: _stranded(kind.name, kind.channels),
    "dbs78": lambda kind: _dbs78(),
    "id83": lambda kind: _id83(),
}


@functools.lru_cache(maxsize=None)
def _by_labels():
    return {frozenset(kind.channels): kind.name for kind in kinds.all_kinds()}


def names():
    """The kinds that can be drawn, in the registry's order."""
    return [kind.name for kind in kinds.all_kinds()]


def kind_of(labels):
    """The kind whose channels are exactly the set `labels`, or None."""
    return _by_labels().get(frozenset(labels))


def closest(labels):
    """The kind sharing the most labels with `labels`, with the labels it lacks and the labels
    that are none of its channels."""
    given = set(labels)
    kind = max(kinds.all_kinds(), key=lambda known: len(given & set(known.channels)))
    expected = set(kind.channels)
    return kind.name, [label for label in kind.channels if label not in given], \
        [label for label in labels if label not in expected]


def channels_of(name):
    return kinds.get(name).channels


@functools.lru_cache(maxsize=None)
def layout(name):
    kind = kinds.get(name)
    return LAYOUTS.get(kind.layout, _plain)(kind)
