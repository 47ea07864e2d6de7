"""Counting records into matrices: the channels of each kind (`channels`, `orders/`), the
registry of kinds (`kinds`), doublets (`doublets`), tallies (`tally`), the unit of work of a
worker (`work`) and its use on a Dask cluster (`distributed`)."""
