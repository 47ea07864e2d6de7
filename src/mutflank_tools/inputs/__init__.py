"""Readers of VCF/BCF, MAF and ten-column tables into batches of records: `open` opens and
reads an input, `records` holds the batches and the rules of a record, `left_out` counts what
is left out."""
