"""A cohort in one picture: every sample's proportions as one row of a heat map over the
channels (SBS1536 folded to SBS96, strand kinds summed over the strands), the samples grouped by
the signature-like profile that dominates them.

The profiles come from a small non-negative factorisation of the proportions (NumPy only,
seeded, so the same matrix always gives the same order), with as many profiles (at most
PROFILES) as make the fit clearly better: each sample joins the profile with the
largest share of it, groups are ordered by size, and within a group the samples by that share.
A strip left of the heat map marks the groups; the profiles are drawn above it."""

import numpy as np

from ..counting import channels
from ..counting.kinds.sbs import SBS96_OF_SBS1536
from . import layouts, pages, spectra

PROFILES = 6
ITERATIONS = 300
FIT_SAMPLES = 1000  # profiles are found on at most this many samples of a cohort
NAMES_SHOWN = 80  # sample names are written beside the rows up to this many samples
GROUP_COLOURS = ("#4c72b0", "#dd8452", "#55a868", "#c44e52", "#8172b3", "#937860")


def folded(kind, values):
    """(kind drawn, values) with SBS1536 folded onto SBS96 and strands summed; channels x
    samples."""
    if kind == "SBS1536":
        out = np.zeros((96, values.shape[1]))
        np.add.at(out, np.asarray(SBS96_OF_SBS1536), values)
        return "SBS96", out
    if layouts.layout(kind).legend:  # bars side by side per strand
        index = {label: i for i, label in enumerate(channels.SBS96)}
        out = np.zeros((96, values.shape[1]))
        for row, label in enumerate(layouts.channels_of(kind)):
            out[index[label.split(":", 1)[1]]] += values[row]
        return "SBS96", out
    return kind, values


def proportions_of(values):
    """Each column divided by its sum (columns of zeros stay zero)."""
    totals = values.sum(axis=0)
    return np.divide(values, totals, out=np.zeros_like(values, dtype=float), where=totals > 0)


def profiles(shares, count=PROFILES, iterations=ITERATIONS):
    """(weights samples x k, profiles k x channels) of a non-negative factorisation of the
    samples' proportions (samples x channels), by multiplicative updates from a seeded start;
    each profile sums to 1."""
    count = max(1, min(count, shares.shape[0], shares.shape[1]))
    rng = np.random.default_rng(0)
    weights = rng.random((shares.shape[0], count)) + 0.1
    basis = rng.random((count, shares.shape[1])) + 0.1
    tiny = 1e-12
    for _ in range(iterations):
        basis *= (weights.T @ shares) / (weights.T @ weights @ basis + tiny)
        weights *= (shares @ basis.T) / (weights @ (basis @ basis.T) + tiny)
    scale = basis.sum(axis=1)
    scale[scale == 0] = 1
    return weights * scale, basis / scale[:, None]


def weights_on(shares, basis, iterations=ITERATIONS):
    """The non-negative weights of each sample (row of `shares`) on fixed profiles, by the
    same multiplicative updates (cheap: the products with the samples are computed once)."""
    tiny = 1e-12
    numerator = shares @ basis.T
    gram = basis @ basis.T
    weights = np.full((shares.shape[0], basis.shape[0]), 1.0 / basis.shape[0])
    for _ in range(iterations):
        weights *= numerator / (weights @ gram + tiny)
    return weights


def chosen_profiles(shares, most=PROFILES, gain=0.05):
    """(weights, profiles) of the factorisation with the fewest profiles (up to `most`) beyond
    which one more profile does not improve the fit: it lowers the relative residual by less
    than `gain` of itself, or one of its profiles is the largest share of no sample (a group
    of none, or a copy of another profile). As many profiles as the cohort shows, not a fixed
    number that splits one profile in two. The profiles are found on at most FIT_SAMPLES
    samples spread evenly through the cohort; every sample's weights are then fitted on
    them."""
    fitted = shares[::-(-shares.shape[0] // FIT_SAMPLES)]
    fits = []
    for count in range(1, max(1, min(most, *fitted.shape)) + 1):
        weights, basis = profiles(fitted, count)
        error = np.linalg.norm(fitted - weights @ basis) / max(np.linalg.norm(fitted), 1e-12)
        if fits and fits[-1][0] - error < gain * fits[-1][0]:
            break
        if len(np.unique(weights.argmax(axis=1))) < count:
            break
        fits.append((error, basis))
    basis = fits[-1][1]
    return weights_on(shares, basis), basis


def order(samples, shares):
    """(sample order, group of each ordered sample, profiles): samples grouped by their
    dominant profile, groups by size (then profile number), within a group by that profile's
    share (then name); samples with nothing come last, in group -1."""
    live = shares.sum(axis=1) > 0
    weights, basis = chosen_profiles(shares[live]) if live.any() else (np.zeros((0, 1)),
                                                                np.zeros((1, shares.shape[1])))
    group = np.full(len(samples), -1)
    share = np.zeros(len(samples))
    if live.any():
        fraction = weights / np.maximum(weights.sum(axis=1, keepdims=True), 1e-12)
        group[live] = fraction.argmax(axis=1)
        share[live] = fraction.max(axis=1)
    sizes = np.bincount(group[live], minlength=basis.shape[0]) if live.any() else np.zeros(1)
    rank = {g: r for r, g in enumerate(sorted(range(len(sizes)), key=lambda g: (-sizes[g], g)))}
    rank[-1] = len(rank)
    keyed = sorted(range(len(samples)), key=lambda i: (rank[int(group[i])], -share[i],
                                                       samples[i]))
    # Profiles renumbered in the order their groups are drawn; one that dominates none of the
    # whole cohort (found on a part of a large one) is left out.
    used = [g for g in sorted(rank, key=rank.get) if g >= 0 and sizes[g] > 0]
    renumber = {g: r for r, g in enumerate(used)}
    renumber[-1] = -1
    return keyed, [renumber[int(group[i])] for i in keyed], basis[used]


def figure(kind, samples, values, proportions_given):
    """The overview figure of all `samples` (values: channels x samples of `kind`)."""
    from matplotlib.colors import ListedColormap

    drawn, values = folded(kind, values)
    layout = layouts.layout(drawn)
    shares = proportions_of(values).T  # samples x channels
    ordered, groups, basis = order(samples, shares)
    image = shares[ordered]
    count = len(samples)
    rows_height = min(max(count * 0.16, 2.5), 12.0)
    profile_height = 1.1 * len(basis)
    width = 16
    height = rows_height + profile_height + 2.4
    fig = pages.figure(width, height)
    top = 1 - 0.5 / height
    grid = fig.add_gridspec(
        2, 3, width_ratios=[0.25, 14, 0.25], height_ratios=[profile_height, rows_height],
        left=(1.6 if count <= NAMES_SHOWN else 0.9) / width, right=1 - 0.6 / width, top=top,
        bottom=1.1 / height, hspace=0.5 / (rows_height + profile_height) * 2, wspace=0.02)
    # The profiles, one row each, in the layout of the kind drawn.
    profile_grid = grid[0, 1].subgridspec(max(1, len(basis)), 1, hspace=0.45)
    for number, profile in enumerate(basis):
        axis = fig.add_subplot(profile_grid[number, 0])
        members = groups.count(number)
        axis.bar(layout.x, profile, width=layout.width, color=layout.colours, linewidth=0)
        axis.set_xlim(min(layout.x) - 0.6, max(layout.x) + 0.6)
        axis.set_ylim(0, float(profile.max() or 1) * 1.1)
        axis.set_xticks([])
        axis.tick_params(labelsize=6)
        axis.spines[["top", "right"]].set_visible(False)
        axis.set_title(f"profile {number + 1}: {members:,} sample{'s' if members != 1 else ''}",
                       loc="left", fontsize=8, color=GROUP_COLOURS[number % len(GROUP_COLOURS)],
                       fontweight="bold", pad=2)
    # The heat map.
    heat = fig.add_subplot(grid[1, 1])
    vmax = float(np.quantile(image[image > 0], 0.99)) if (image > 0).any() else 1.0
    picture = heat.imshow(image, aspect="auto", cmap="magma_r", vmin=0, vmax=vmax,
                          interpolation="nearest" if count <= 400 else "antialiased")
    heat.set_xticks([x for x, _ in layout.ticks])
    heat.set_xticklabels([label for _, label in layout.ticks], rotation=layout.tick_rotation,
                         fontsize=layout.tick_size, family="monospace")
    heat.tick_params(axis="x", length=0)
    heat.tick_params(axis="y", left=False, labelleft=False)
    heat.set_ylabel("")
    for row in np.flatnonzero(np.diff(groups)) + 0.5:
        heat.axhline(row, color="white", linewidth=1.2)
    _bands(heat, layout, rows_height)
    # The strip of groups on the left, the colour scale on the right.
    strip = fig.add_subplot(grid[1, 0], sharey=heat)
    colours = list(GROUP_COLOURS) + ["#ffffff"]
    strip.imshow(np.array([[g if g >= 0 else len(GROUP_COLOURS)] for g in groups]),
                 aspect="auto", cmap=ListedColormap(colours), vmin=0, vmax=len(colours) - 1,
                 interpolation="nearest")
    for number in sorted(set(groups) - {-1}):
        rows = [row for row, group in enumerate(groups) if group == number]
        strip.text(0, (rows[0] + rows[-1]) / 2, str(number + 1), ha="center", va="center",
                   fontsize=8, fontweight="bold", color="white")
    strip.set_xticks([])
    if count <= NAMES_SHOWN:
        strip.set_yticks(range(count))
        strip.set_yticklabels([samples[i] for i in ordered],
                              fontsize=min(7, max(4, 400 // count)))
        strip.tick_params(axis="y", length=0)
    else:
        strip.tick_params(axis="y", left=False, labelleft=False)
        strip.set_ylabel(f"{count:,} samples, grouped by their dominant profile", fontsize=9)
    scale = fig.colorbar(picture, cax=fig.add_subplot(grid[1, 2]), extend="max")
    scale.set_label("proportion of the sample's mutations", fontsize=8)
    scale.ax.tick_params(labelsize=7)
    what = "proportions" if proportions_given else "each sample's counts as proportions"
    fig.suptitle(f"{kind}{_as_drawn(kind, drawn)}: {count:,} samples ({what}), grouped by "
                 f"{len(basis)} profile{'s' if len(basis) != 1 else ''}",
                 x=0.9 / width, ha="left", fontsize=11, y=1 - 0.15 / height)
    return fig


def _as_drawn(kind, drawn):
    """How a kind drawn as another is shown, for the title."""
    if kind == drawn:
        return ""
    how = "the outer bases summed" if kind == "SBS1536" else "the strands summed"
    return f" drawn as {drawn} ({how})"


def _bands(axis, layout, inches):
    """The groups' names in bands 0.18 inches high above the heat map, `inches` high."""
    from matplotlib.patches import Rectangle
    from matplotlib.transforms import blended_transform_factory

    where = blended_transform_factory(axis.transData, axis.transAxes)
    for band in layout.bands:
        high = 0.18 / inches
        bottom = 1 + 0.02 / inches + band.level * 1.1 * high
        axis.add_patch(Rectangle((band.start - 0.5, bottom), band.end - band.start + 1, high,
                                 transform=where, color=band.colour, clip_on=False, linewidth=0))
        axis.text((band.start + band.end) / 2, bottom + high / 2, band.label, transform=where,
                  ha="center", va="center", fontsize=7, color=spectra.text_colour(band.colour),
                  fontweight="bold")
