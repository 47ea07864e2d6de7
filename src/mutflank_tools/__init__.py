"""The `mutflank` command and its parts: from FASTA, VCF/BCF and MAF files to mutation tables,
mutational-signature matrices and their pictures, around the `mutflank` extension module."""
