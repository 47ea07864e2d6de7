"""Reference folders: naming and builds (`folder`), writing them from FASTA (`fasta`) and
annotations (`annotation`), reading windows of bases (`genome`)."""
