#!/bin/sh
# The command's road, end to end, on the lambda phage genome (Debian's bowtie2-examples):
#   reference -> table -> matrix -> plot -> fit
# in the folder given (default: demo), with the `mutflank` found on PATH.
#   sh examples/road.sh [FOLDER]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
folder=${1:-demo}
fasta=/usr/share/doc/bowtie2/examples/reference/lambda_virus.fa.gz
python=$(command -v python3)

rm -rf "$folder"
mkdir -p "$folder"
cd "$folder"
set -x
# 1. A reference folder from the FASTA file: one byte per base, one file per sequence.
mutflank reference "$fasta" ref --build GRCh38
# A VCF of 3,000 made-up calls in two samples on that genome.
"$python" "$here/phage_vcf.py" ref phage.vcf
# 2. The ten-column mutation table: one row per sample and alternate allele.
mutflank table phage.vcf --reference ref --project demo -o phage.tsv
# 3. The signature matrices: SBS6, SBS96, SBS1536 (and DBS78, ID83: the VCF holds a few).
mutflank matrix phage.vcf --reference ref -o phage
# 4. A picture of the 96-channel spectra, one panel per sample.
mutflank plot phage.SBS96.tsv -o phage.SBS96.png
# 5. Each sample's exposure to signatures (made-up ones here; the published ones in real use).
"$python" "$here/made_up_signatures.py" signatures.SBS96.tsv
mutflank fit phage.SBS96.tsv --signatures signatures.SBS96.tsv -o phage
set +x
echo
echo "The road ran in $(pwd): the matrices are phage.*.tsv, the exposures phage.exposures.tsv;"
echo "the picture is $(pwd)/phage.SBS96.png"
