"""De novo extraction of mutational signatures from a matrix (channels x samples): NMF under the
Poisson likelihood on resamples of the matrix, the replicate signatures of each rank clustered
into that many groups, their stability and accuracy, and the rule that chooses the rank.
NumPy and SciPy only; no verb is imported here."""
