"""One sample's spectrum in its kind's layout: bars (coloured by group, with the groups named
in bands above them) or, for SBS1536, a heat map per substitution class. Counts get whole-number
axes, proportions say "proportion", and a sample with nothing to draw says so instead of showing
an empty 0-1 axis."""

import numpy as np

from ..counting import channels
from .layouts import CLASS_COLOURS

# SBS1536 cells: few mutations light (yellow), many dark; a cell of none is white.
HEAT_COLOURS = "viridis_r"


def text_colour(colour):
    """Black or white, whichever contrasts more with `colour` (WCAG relative luminance)."""
    from matplotlib.colors import to_rgb

    linear = [c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4 for c in to_rgb(colour)]
    luminance = 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]
    return "black" if (luminance + 0.05) / 0.05 >= 1.05 / (luminance + 0.05) else "white"


TITLE_NAME = 60  # characters of a sample name shown in a title; longer ones are shortened


def title(sample, values, noun, proportions):
    """The panel's title: the sample and, for counts, how many it has. A long name is
    shortened with "..." so that the count stays in view."""
    if len(sample) > TITLE_NAME:
        sample = sample[:TITLE_NAME - 3] + "..."
    if proportions:
        return sample
    total = int(round(float(np.sum(values))))
    return f"{sample}  ({total:,} {noun if total != 1 else noun[:-1]})"


class BarPanel:
    """A panel of bars in a kind's layout, built once and shown with the values of one sample
    after another (drawing many panels reuses a page's axes instead of making new ones)."""

    def __init__(self, axis, layout, labels=True):
        """`labels`: whether to name the channels under the bars (panels stacked on a page
        share the labels of the lowest)."""
        from matplotlib.collections import PolyCollection

        self.axis, self.layout = axis, layout
        x = np.asarray(layout.x, dtype=float)
        self.left, self.right = x - layout.width / 2, x + layout.width / 2
        self.bars = PolyCollection([], facecolors=layout.colours, linewidths=0)
        axis.add_collection(self.bars)
        axis.set_xlim(float(x.min()) - 0.6, float(x.max()) + 0.6)
        axis.spines[["top", "right"]].set_visible(False)
        if labels:
            channel_labels(axis, layout)
        else:
            axis.set_xticks([])
        # Plain texts: the axes' own title would measure every label below to place itself.
        self.heading = axis.text(0, 1, "", transform=axis.transAxes + _points(axis, 0, 5),
                                 ha="left", va="bottom", fontsize=10)
        self.note = axis.text(0.5, 0.45, "", transform=axis.transAxes, ha="center",
                              va="center", fontsize=10, color="#555555")
        _bands(axis, layout)
        for start, end, caption in layout.captions if labels else ():
            axis.annotate(caption, xy=((start + end) / 2, 0), xycoords=("data", "axes fraction"),
                          xytext=(0, -22), textcoords="offset points", ha="center", va="top",
                          fontsize=7, color="#444444", annotation_clip=False)
        if layout.legend:
            from matplotlib.patches import Patch

            axis.legend(handles=[Patch(color=colour, label=name)
                                 for name, colour in layout.legend],
                        loc="lower right", bbox_to_anchor=(1.0, 0.99), fontsize=8,
                        frameon=False, ncol=len(layout.legend))
        levels = 1 + max((band.level for band in layout.bands), default=-1)
        self.room = 1.12 + 0.11 * levels

    def show(self, values, heading, proportions, top=None):
        """Shows `values` (in the kind's channel order); `top`: a y limit shared with others."""
        from matplotlib.ticker import AutoLocator, MaxNLocator, NullLocator

        values = np.asarray(values, dtype=float)
        bottom = np.zeros_like(values)
        self.bars.set_verts(np.stack([np.stack([self.left, bottom], 1),
                                      np.stack([self.left, values], 1),
                                      np.stack([self.right, values], 1),
                                      np.stack([self.right, bottom], 1)], 1))
        highest = float(values.max()) if values.size else 0.0
        top = top if top is not None else highest
        self.axis.set_ylim(0, (top or 1.0) * self.room)
        self.axis.set_ylabel("proportion" if proportions else "mutations")
        self.heading.set_text(heading)
        self.note.set_text("" if highest else f"no {self.layout.noun}")
        self.axis.yaxis.set_major_locator(
            NullLocator() if not highest else AutoLocator() if proportions
            else MaxNLocator(nbins=6, integer=True))


def bars(axis, layout, values, heading, proportions, top=None, labels=True):
    """Draws `values` (in the kind's channel order) as bars on `axis` (see BarPanel)."""
    panel = BarPanel(axis, layout, labels)
    panel.show(values, heading, proportions, top)
    return panel


def _points(axis, right, up):
    """A shift by points, to add to a transform."""
    from matplotlib.transforms import ScaledTranslation

    return ScaledTranslation(right / 72, up / 72, axis.figure.dpi_scale_trans)


def channel_labels(axis, layout):
    """The labels under the bars, as plain texts (far cheaper than one axis tick each)."""
    from matplotlib.transforms import blended_transform_factory

    axis.set_xticks([])
    below = blended_transform_factory(axis.transData, axis.transAxes) + _points(axis, 0, -3)
    for x, label in layout.ticks:
        axis.text(x, 0, label, transform=below, rotation=layout.tick_rotation, ha="center",
                  va="top", fontsize=layout.tick_size, family="monospace")


def _bands(axis, layout):
    """The groups' names in coloured bands at the top of the axes, in axes coordinates."""
    from matplotlib.patches import Rectangle
    from matplotlib.transforms import blended_transform_factory

    where = blended_transform_factory(axis.transData, axis.transAxes)
    highest = max((band.level for band in layout.bands), default=0)
    for band in layout.bands:
        bottom = 0.92 - 0.09 * (highest - band.level)
        axis.add_patch(Rectangle((band.start - 0.5, bottom), band.end - band.start + 1, 0.08,
                                 transform=where, facecolor=band.colour, clip_on=False,
                                 linewidth=0.5 if band.level else 0, edgecolor="white"))
        axis.text((band.start + band.end) / 2, bottom + 0.04, band.label, transform=where,
                  ha="center", va="center", fontsize=8 if band.level else 9,
                  color=text_colour(band.colour), fontweight="bold")


class HeatPanel:
    """SBS1536 as six 16 x 16 heat maps, one per class (the two bases on the left by row, the
    two on the right by column) sharing one colour scale; built once, shown with one sample's
    values after another."""

    def __init__(self, figure, cell, labels=True):
        grid = cell.subgridspec(1, 6, wspace=0.12)
        pairs = [a + b for a in channels.BASES for b in channels.BASES]
        self.axes, self.images, self.notes = [], [], []
        for k, cls in enumerate(channels.CLASSES):
            axis = figure.add_subplot(grid[0, k])
            self.axes.append(axis)
            # A cell of no mutation is left empty (white), so that it stands apart from one
            # of a single mutation, the lightest colour of the scale.
            self.images.append(axis.imshow(np.ma.masked_all((16, 16)), cmap=HEAT_COLOURS,
                                           vmin=0, vmax=1, aspect="equal",
                                           interpolation="nearest"))
            colour = CLASS_COLOURS[k]
            axis.text(0.5, 1, cls, transform=axis.transAxes + _points(axis, 0, 4), ha="center",
                      va="bottom", fontsize=9, fontweight="bold", color=text_colour(colour),
                      bbox={"boxstyle": "square,pad=0.25", "facecolor": colour,
                            "edgecolor": "none"})
            # No axis machinery (ticks are costly to draw): labels are plain texts.
            axis.xaxis.set_visible(False)
            axis.yaxis.set_visible(False)
            axis.set_facecolor("white")
            for side in axis.spines.values():
                side.set_edgecolor("#bbbbbb")
            if labels:
                for x, pair in enumerate(pairs):
                    axis.text(x, 15.5, pair, rotation=90, ha="center", va="top", fontsize=7,
                              family="monospace", transform=axis.transData + _points(axis, 0, -2))
                axis.text(0.5, 0, "right bases", transform=axis.transAxes + _points(axis, 0, -16),
                          ha="center", va="top", fontsize=7)
            if k == 0:
                for y, pair in enumerate(pairs):
                    axis.text(-0.5, y, pair, ha="right", va="center", fontsize=7,
                              family="monospace", transform=axis.transData + _points(axis, -2, 0))
            self.notes.append(axis.text(7.5, 7.5, "", ha="center", va="center", fontsize=8,
                                        color="#555555"))
        first = self.axes[0]
        self.heading = first.text(0, 0.5, "", transform=first.transAxes + _points(first, -16, 0),
                                  rotation=90, ha="right", va="center", fontsize=8,
                                  multialignment="center")
        self.scale = figure.colorbar(self.images[0], ax=self.axes, shrink=0.8, pad=0.01,
                                     fraction=0.02)
        self.scale.ax.tick_params(labelsize=7)

    def show(self, values, heading, proportions):
        from matplotlib.ticker import AutoLocator, MaxNLocator

        data = np.asarray(values, dtype=float).reshape(6, 16, 16)
        top = float(data.max())
        for image, note, block in zip(self.images, self.notes, data):
            image.set_data(np.ma.masked_equal(block, 0.0))
            image.set_clim(0, top or 1.0)
            image.set_visible(bool(top))
            note.set_text("" if top else "no substitutions")
        self.heading.set_text(f"{heading}\nleft bases")
        self.scale.ax.set_visible(bool(top))
        self.scale.locator = AutoLocator() if proportions else MaxNLocator(integer=True)
        self.scale.update_ticks()
        self.scale.set_label(("proportion" if proportions else "mutations") + " (white: none)",
                             fontsize=7)


def heat_map(figure, cell, heading, values, proportions, labels=True):
    """Draws one sample's SBS1536 values into the cell `cell` of `figure` (see HeatPanel)."""
    panel = HeatPanel(figure, cell, labels)
    panel.show(values, heading, proportions)
    return panel
