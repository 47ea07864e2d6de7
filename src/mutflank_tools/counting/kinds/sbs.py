"""Single-base substitutions: SBS96 (one base on each side) and SBS1536 (two), classified from
the reference around each record and folded onto the pyrimidine of the pair (a G or A reference
base is read on the other strand); SBS6 is SBS96 summed by substitution class."""

import numpy as np

from ... import _engine
from .. import channels
from . import (AT_START, NEAR_END, NOT_ACGT, SINGLE, Kind, MutationClass, of_shape, register,
               register_class)

_CODE = np.full(128, 4, dtype=np.int64)  # letter -> A 0, C 1, G 2, T 3, other 4
for _code, _base in enumerate("ACGT"):
    _CODE[ord(_base)] = _code
REASONS = (AT_START, NEAR_END, NOT_ACGT)


def letter_codes(texts):
    """The codes of an object array of one-letter str."""
    data = np.frombuffer("".join(texts.tolist()).encode("ascii", "replace"), dtype=np.uint8)
    return _CODE[np.minimum(data, 127)]


is_substitution = of_shape(SINGLE)  # one base of A, C, G, T replaced by another


def _classifier(flank):
    """classify for a matrix of `flank` bases on each side: channel index = ((class * 4^flank
    + left bases) * 4^flank + right bases), in the order of channels.SBS96 / SBS1536; the
    engine's rule (_engine.sbs_channels), whose reasons are REASONS in their order."""

    def classify(batch):
        return _engine.sbs_channels(batch.window(flank, flank), batch.ref, batch.alt, flank)

    return classify


def _fold(source, target, of):
    index = {label: i for i, label in enumerate(target)}
    return tuple(index[of(label)] for label in source)


register_class(MutationClass("SBS", is_substitution, "single-base substitution", SINGLE))
register(Kind("SBS6", channels.SBS6, "SBS", flank=1, derived_from="SBS96",
              fold=_fold(channels.SBS96, channels.SBS6, lambda label: label[2:5]),
              layout="sbs6"))
register(Kind("SBS96", channels.SBS96, "SBS", flank=1, classify=_classifier(1), reasons=REASONS,
              layout="sbs96", channel_flank=1))
register(Kind("SBS1536", channels.SBS1536, "SBS", flank=2, classify=_classifier(2),
              reasons=REASONS, layout="sbs1536", channel_flank=2))
# SBS96 is the inner part of SBS1536 wherever both windows fit (not at the second and the last
# but one base of a chromosome, where only SBS96 has a channel): a fold declared for readers of
# the matrices (plots, tests), not used to count.
SBS96_OF_SBS1536 = _fold(channels.SBS1536, channels.SBS96, lambda label: label[1:-1])
