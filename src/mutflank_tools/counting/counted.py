"""Counted: a batch of records as counting carries it from the checks to the matrices, with
what was worked out once per batch beside the readers' columns, so that no step works it out
again: the shape of the alleles (kinds.allele_shapes), the record's tally row (its column),
its place, the number of its reference file among those the Counter has met, and the
reference around it that the chosen kinds read (`window`: rows of kinds.Batch.window(flank,
flank); a row starting with STALE no longer fits the record's position and is read again)."""

from dataclasses import dataclass

import numpy as np

from ..inputs.records import LeftOut, Records

STALE = -2  # the first value of a window read again when needed (no reference byte is < -1)


@dataclass
class Counted(Records):
    shape: np.ndarray = None  # uint8, kinds.allele_shapes of ref and alt
    row: np.ndarray = None  # int64, the tally row of the record's column
    place: np.ndarray = None  # int64, the reference file's number (Counter's places)
    window: np.ndarray = None  # int16 (records, 2 flank + 1), or None: no window carried

    EVERY_COLUMN = Records.EVERY_COLUMN + ("shape", "row", "place", "window")

    @classmethod
    def empty(cls, source, left_out=None):
        return cls(input=source, left_out=LeftOut() if left_out is None else left_out,
                   sample=_objects(), chromosome=_objects(), build=None,
                   position=np.zeros(0, dtype=np.uint64), ref=_objects(), alt=_objects(),
                   filter=None, line=np.zeros(0, dtype=np.int64), id=None,
                   phase=np.zeros(0, dtype=np.int64), weight=np.zeros(0, dtype=np.int64),
                   shape=np.zeros(0, dtype=np.uint8), row=np.zeros(0, dtype=np.int64),
                   place=np.zeros(0, dtype=np.int64))


def _objects():
    return np.zeros(0, dtype=object)
