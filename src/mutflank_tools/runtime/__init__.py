"""What every layer uses: errors, outputs replaced whole, signals, progress bars, optional
dependencies and the Dask cluster."""
