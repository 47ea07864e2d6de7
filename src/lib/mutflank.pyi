"""Mutation-context strings such as AC[C>T]TA from tables of point mutations."""

from typing import Any, Final, SupportsIndex

import numpy

__version__: Final[str]
__all__ = ["__version__", "parse_vcf_files"]

def parse_vcf_files(
    vcf_files: list[str], ref_genome: str, context: SupportsIndex
) -> numpy.ndarray[Any, numpy.dtype[numpy.object_]]:
    """Return one row per qualifying record of the files: [row key, context string]."""
    ...
