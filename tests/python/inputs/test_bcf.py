"""BCF read in process by htslib (inputs/bcf.py, src/engine/bcf_reader.cpp) against the same
records written as VCF text and read by the engine's VCF scanner: every row the same but its
number (a BCF's rows carry record numbers), every fault the same message with "record N" for
"line N", through regular files, descriptors that stood past a file's start, FIFOs and
standard input, and without any bcftools program on the PATH."""

import gzip
import os
import subprocess
import threading

import pytest

from cli_support import PYVCF, run, synthetic_calls, table_lines, vcf_text, write_text

readers = pytest.importorskip("mutflank_tools.inputs.open")
errors = pytest.importorskip("mutflank_tools.runtime.errors")
records_module = pytest.importorskip("mutflank_tools.inputs.records")

from test_vcf_engine import GENOME, outcome  # noqa: E402

HEADER = ("##fileformat=VCFv4.2\n##contig=<ID=1,length=100000>\n##contig=<ID=2,length=100000>\n"
          '##FILTER=<ID=LowQ,Description="Low quality">\n'
          '##ALT=<ID=DEL,Description="Deletion">\n'
          '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
          '##FORMAT=<ID=DP,Number=1,Type=Integer,Description="Depth">\n'
          '##FORMAT=<ID=PS,Number=1,Type=Integer,Description="Phase set">\n'
          "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ts1\ts2\n")
LINES = HEADER.count("\n")
RECORDS = (
    "1\t10\tm\tA\tG,T,*\t.\tPASS\t.\tGT\t1|2\t./.\n"  # multi-allelic, phased, '*'
    "1\t20\t.\tATG\tACG\t.\tLowQ\t.\tGT\t1\t0\n"  # haploid
    "1\t30\t.\tg\tgaa\t.\tPASS\t.\tGT\t./1\t0/0\n"  # half call, lower case
    "1\t40\t.\tC\t<DEL>,T\t.\tPASS\t.\tGT\t0/1\t0/2\n"  # symbolic
    "1\t50\t.\tC\tT\t.\tPASS\t.\tGT\t0/0\t0|0\n"  # nobody
    "1\t60\t.\tC\tT\t.\tLowQ;PASS\t.\tDP:GT\t7:0/1\t7\n"  # GT second; a field without it
    "2\t80\t.\tC\tT\t.\tPASS\t.\tDP\t7\t7\n"  # no GT in FORMAT
    "2\t90\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t1/1/1\n"  # triploid
    "2\t99\t.\tc\tC,.\t.\tPASS\t.\tGT\t1\t2\n"  # equal to REF; '.'
    "2\t100\t.\tC\t.\t.\tPASS\t.\tGT\t1\t0\n"  # no ALT at all
    "2\t101\t.\tC\tT\t.\tPASS\t.\tGT\t.|1\t1|.\n"
    "2\t102\t.\tC\tT,G\t.\tPASS\t.\tGT:PS\t0|1:100\t2|1:.\n"  # phase sets
    "2\t103\t.\tC\tT\t.\tPASS\t.\tGT:PS\t1|0:4\t0/1:4\n"
    "2\t104\t.\tC\tT,G\t.\tPASS\t.\tGT:PS\t1|2|1:3\t1|1\n"
)
CASES = {
    "alleles": HEADER + RECORDS,
    "non-ASCII alleles": HEADER + "1\t5\t.\tC\tÉ,ß\t.\tPASS\t.\tGT\t1/2\t0/1\n",
    "no sample columns": HEADER.split("\tFORMAT")[0] + "\n" + "".join(
        "\t".join(line.split("\t")[:8]) + "\n" for line in RECORDS.splitlines()),
    "samples without GT": HEADER.replace("ID=GT,", "ID=XX,") + RECORDS.replace("GT", "XX"),
    "string phase sets": HEADER.replace("Number=1,Type=Integer,Description=\"Phase",
                                        "Number=1,Type=String,Description=\"Phase") + (
        "1\t5\t.\tC\tT\t.\tPASS\t.\tGT:PS\t0|1:12\t1|0:x\n"
        "1\t6\t.\tC\tT\t.\tPASS\t.\tGT:PS\t0|1:.\t1|0:0000000000000000007\n"),
}
FAULTS = {
    "0/5": (HEADER + "1\t5\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t"
            "0/5\t0\n", "record 2: genotype 0/5 of sample s1 names allele 5, but the record "
                        "has 1 alternate allele"),
    "2|.": (HEADER + "1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t2|.\n",
            "record 1: genotype 2|. of sample s2 names allele 2, but the record has 1 "
            "alternate allele"),
    "position 0": (HEADER + "1\t0\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n",
                   "record 1: position 0 is not a position on the chromosome (a whole number "
                   "from 1 to 2^64 - 1)"),
}


def to_bcf(vcf, bcf, *options):
    subprocess.run(["bcftools", "view", "--no-version", *options, "-o", str(bcf), str(vcf)],
                   check=True, capture_output=True)
    return bcf


def engine(path, **options):
    return outcome(lambda: readers.read_all(str(path), **options))


def numbered_as_records(found, header_lines):
    """The rows of a VCF reading with record numbers for line numbers (no blank lines)."""
    if isinstance(found, str):
        return found
    line = records_module.Records.EVERY_COLUMN.index("line")
    rows = [row[:line] + (row[line] - header_lines,) + row[line + 1:] for row in found[0]]
    return rows, found[1]


@pytest.mark.parametrize("options", [{}, {"pass_only": True}, {"sample": "s2"},
                                     {"exclude": frozenset({"s1"}), "pass_only": True}])
@pytest.mark.parametrize("packing", ["-Ob", "-Ou"])
@pytest.mark.parametrize("name", CASES)
def test_bcf_gives_the_rows_of_its_vcf(tmp_path, name, packing, options):
    vcf = write_text(tmp_path / "c.vcf", CASES[name])
    bcf = to_bcf(vcf, tmp_path / "c.bcf", packing)
    if name == "no sample columns":
        options = {key: value for key, value in options.items() if key != "sample"}
    expected = numbered_as_records(engine(vcf, **options), CASES[name].count("\n")
                                   - len(CASES[name].split("\n#CHROM")[1].split("\n")) + 2)
    found = engine(bcf, **options)
    assert found == expected and found[0]


def test_phase_sets_and_carriers_as_written(tmp_path):
    bcf = to_bcf(write_text(tmp_path / "c.vcf", HEADER + RECORDS), tmp_path / "c.bcf", "-Ob")
    batch, = readers.read_all(str(bcf))
    rows = list(zip(batch.sample.tolist(), batch.position.tolist(), batch.alt.tolist(),
                    batch.phase.tolist(), batch.line.tolist()))
    # phase: haplotype bits (1 the first, 2 the second) | (PS + 1) << 2
    assert rows == [
        ("s1", 10, "G", 1, 1), ("s1", 10, "T", 2, 1), ("s1", 20, "ACG", 0, 2),
        ("s1", 30, "GAA", 0, 3), ("s2", 40, "T", 0, 4), ("s1", 60, "T", 0, 6),
        ("s1", 90, "T", 0, 8), ("s2", 90, "T", 0, 8), ("s1", 101, "T", 2, 11),
        ("s2", 101, "T", 1, 11), ("s1", 102, "T", 2 | 101 << 2, 12), ("s2", 102, "T", 2, 12),
        ("s2", 102, "G", 1, 12), ("s1", 103, "T", 1 | 5 << 2, 13), ("s2", 103, "T", 0, 13),
        ("s1", 104, "T", 0, 14), ("s2", 104, "T", 3, 14), ("s1", 104, "G", 0, 14)]
    # once per carrier; the '*' at 10 and the allele at 50 are no sample's
    assert batch.left_out == {
        ("symbolic allele", "1"): 1, ("no sample carries the allele", "1"): 2,
        ("allele *, . or equal to REF", "2"): 3, ("no sample carries the allele", "2"): 1}


@pytest.mark.parametrize("name", FAULTS)
def test_faults_name_the_record(tmp_path, name):
    text, message = FAULTS[name]
    vcf = write_text(tmp_path / "c.vcf", text)
    bcf = to_bcf(vcf, tmp_path / "c.bcf", "-Ob")
    assert engine(bcf) == f"{bcf}: {message}"
    record = int(message.split(":")[0].split()[1])
    assert engine(vcf) == f"{vcf}: {message.replace(f'record {record}', f'line {LINES + record}')}"


def big_vcf(tmp_path):
    calls = synthetic_calls(5, GENOME, ["a", "b", "c"], 40000)
    return write_text(tmp_path / "big.vcf", vcf_text(calls, ["a", "b", "c"],
                                                     {"1": 8000, "2": 5000}))


def test_a_cut_bcf_stops_at_the_record_htslib_cannot_read(tmp_path):
    bcf = to_bcf(big_vcf(tmp_path), tmp_path / "big.bcf", "-Ob")
    cut = tmp_path / "cut.bcf"
    cut.write_bytes(bcf.read_bytes()[: bcf.stat().st_size * 2 // 3])
    read = 0
    with pytest.raises(errors.InputError) as raised:
        with readers.open_input(str(cut)) as source:
            for batch in readers.read(source, batch_size=1):
                read = batch.line[-1] if len(batch) else read
    assert read > 10000  # beyond the text read while telling the format
    assert str(raised.value) == (f"{cut}: record {read + 1}: htslib cannot read it (a damaged "
                                 "or cut BCF file?)")


@pytest.mark.parametrize("content, message", [
    (b"BCF\x02\x02" + b"\x00" * 40, "not a readable BCF file (its header cannot be read)"),
    (gzip.compress(b"BCF\x02\x02\xff\xff\xff\x7f", mtime=0),
     "not a readable BCF file (its header cannot be read)"),
])
def test_a_damaged_header_is_one_line(tmp_path, content, message):
    path = tmp_path / "bad.bcf"
    path.write_bytes(content)
    assert engine(path) == f"{path}: {message}"
    assert run("table", path, "--build", "37") == (1, "", f"mutflank table: error: {path}: "
                                                          f"{message}\n")


def _feed(fifo, data):
    with open(fifo, "wb") as out:
        out.write(data)


def test_a_fifo_and_a_descriptor_past_the_start_read_what_the_file_holds(tmp_path, monkeypatch):
    bcf = to_bcf(big_vcf(tmp_path), tmp_path / "big.bcf", "-Ob")
    expected = engine(bcf)
    fifo = tmp_path / "f.bcf"
    os.mkfifo(fifo)
    writer = threading.Thread(target=_feed, args=(fifo, bcf.read_bytes()))
    writer.start()
    assert engine(fifo) == expected and len(expected[0]) > 20000
    writer.join()
    junk = b"skipped bytes\n"
    shifted = tmp_path / "s.bcf"
    shifted.write_bytes(junk + bcf.read_bytes())
    with open(shifted, "rb") as held:
        os.lseek(held.fileno(), len(junk), os.SEEK_SET)
        monkeypatch.setattr(readers.stream, "open_descriptor",
                            lambda name, path=None: (held.fileno(), os.fstat(held.fileno()), False))
        assert engine(shifted) == expected


def test_bcf_on_standard_input_and_without_bcftools(tmp_path):
    vcf = write_text(tmp_path / "a.vcf", HEADER + RECORDS)
    bcf = to_bcf(vcf, tmp_path / "a.bcf", "-Ob")
    from_vcf = run("table", vcf, "--build", "37", "--project", "P")
    assert from_vcf[0] == 0 and len(table_lines(from_vcf[1])) == 18
    assert run("table", bcf, "--build", "37", "--project", "P",
               env={"PATH": str(tmp_path)})[:2] == from_vcf[:2]
    status, out, _ = run("table", "-", "--build", "37", "--project", "P",
                         stdin=bcf.read_bytes())
    assert (status, out.decode()) == from_vcf[:2]


# The VCFs of python-pyvcf-examples that bcftools writes as BCF (the others name contigs
# that their headers do not declare).
AS_BCF = ["FT.vcf.gz", "example-4.1-ploidy.vcf", "example-4.1.vcf", "gatk.vcf.gz",
          "gonl.chr20.release4.gtc.vcf.gz", "null_genotype_mono.vcf.gz", "tb.vcf.gz"]


@pytest.mark.parametrize("name", AS_BCF)
def test_third_party_vcfs_as_bcf_give_the_rows_of_the_vcf(tmp_path, name):
    # Against bcftools' VCF text of the same records, as the BCF holds them.
    vcf = to_bcf(PYVCF / name, tmp_path / "t.vcf", "-Ov")
    bcf = to_bcf(PYVCF / name, tmp_path / "t.bcf", "-Ob")
    header_lines = sum(1 for line in vcf.read_text().splitlines() if line.startswith("#"))
    found = engine(bcf)
    assert found == numbered_as_records(engine(vcf), header_lines)
    assert len(found[0]) == {"FT.vcf.gz": 34, "example-4.1-ploidy.vcf": 3, "example-4.1.vcf": 11,
                             "gatk.vcf.gz": 146, "gonl.chr20.release4.gtc.vcf.gz": 7,
                             "null_genotype_mono.vcf.gz": 0, "tb.vcf.gz": 10}[name]
