"""Exposures to known signatures: the solvers (`solve`), reading signature and matrix tables
(`signature_tables`) and the unit of work of a worker (`work`)."""
