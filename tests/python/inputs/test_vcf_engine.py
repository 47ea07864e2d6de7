"""The engine's VCF scanner against its two oracles: htslib (`bcftools query`) on third-party
VCFs and generated ones, and the line-by-line Python reader (the model it replaced) on every
hostile case the readers' tests hold, through every form of input and at batch boundaries."""

import gzip
import os
import subprocess

import pytest

from cli_support import PYVCF, synthetic_calls, vcf_text, write_text

# The model imports the package's records: both skipped where it is not installed.
readers = pytest.importorskip("mutflank_tools.inputs.open")
errors = pytest.importorskip("mutflank_tools.runtime.errors")
records_module = pytest.importorskip("mutflank_tools.inputs.records")

import vcf_model  # noqa: E402
from scanner_support import bgzip, outcome, read_fifo  # noqa: E402
from vcf_model import VcfModel  # noqa: E402

HEADER = ("##fileformat=VCFv4.2\n##contig=<ID=1,length=100000>\n"
          '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
          "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ts1\ts2\n")
NO_SAMPLES = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"
NO_GT = ("##fileformat=VCFv4.2\n"
         "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ts1\ts2\n")
GENOME = {"1": "ACGT" * 2000, "2": "TTGCA" * 1000}
TOP = 2**64 - 1


def engine(path, **options):
    return outcome(lambda: readers.read_all(str(path), **options))


def model(path, sample=None, pass_only=False, batch_size=readers.BATCH_RECORDS):
    """The Python reader, line by line and by NumPy blocks, over the same opened input."""
    def read():
        with readers.open_input(str(path)) as source:
            parser = VcfModel(source, source._header, sample=sample, pass_only=pass_only,
                              batch_size=batch_size)
            return list(parser.batches(source._lines.rest()))
    return outcome(read)


def test_the_models_quick_and_line_by_line_roads_agree(tmp_path, monkeypatch):
    calls = synthetic_calls(7, GENOME, ["a", "b", "c"], 4000)
    text = vcf_text(calls, ["a", "b", "c"], {"1": 8000, "2": 5000})
    path = write_text(tmp_path / "c.vcf", text.replace("\tGT\t", "\tGT:DP\t").replace(
        "0/1\t", "0/1:7\t") + "1\t7990\t.\tC\tT\t.\tPASS\t.\tGT:DP\t.|1:3\t1|.:3\t0|1:3\n")
    for pass_only in (False, True):
        quick = model(path, pass_only=pass_only)
        with monkeypatch.context() as patched:
            patched.setattr(vcf_model, "columns_of_block", lambda *args: None)
            slow = model(path, pass_only=pass_only)
        assert quick == slow and len(quick[0]) > 3000


RECORDS = (
    "1\t10\tm\tA\tG,T,*\t.\tPASS\t.\tGT\t1|2\t./.\n"  # multi-allelic, phased, '*'
    "1\t20\t.\tATG\tacg\t.\tLowQ\t.\tGT\t1\t0\n"  # haploid, lower case
    "1\t30\t.\tg\tgaa\t.\t.\t.\tGT\t./1\t0/0\n"  # half call
    "1\t40\t.\tC\t<DEL>,T,C[1:5[\t.\tPASS\t.\tGT\t0/1\t0/2\n"  # symbolic, breakend
    "1\t50\t.\tC\tT\t.\tPASS\t.\tGT\t0/0\t0|0\n"  # nobody
    "2\t60\trs1\tC\tT,G\t.\tPASS\t.\tGT:DP\t2/1:7\t1\n"  # GT first of several
    "2\t70\t.\tC\tT\t.\tPASS\t.\tDP:GT\t7:0/1\t7\n"  # GT second; a field without it
    "2\t80\t.\tC\tT\t.\tPASS\t.\tDP\t7\t7\n"  # no GT in FORMAT
    "2\t90\t.\tC\tT\t.\tPASS\t.\tGT\t0/00000000000000000000001\t1/1/1\n"  # leading zeros, triploid
    "2\t0099\t.\tc\tC,.\t.\tPASS\t.\tGT\t1\t2\n"  # equal to REF; '.'
    f"2\t{TOP}\t.\tC\tT\t.\tPASS\t.\tGT\t1/1\t.\n"
    "\n\r\n"  # blank lines
    "2\t101\t.\tC\tT\t.\tPASS\t.\tGT\t.|1\t1|.\n"
)

CASES = {
    "alleles": HEADER + RECORDS,
    "CRLF": HEADER + RECORDS.replace("\n", "\r\n"),
    "BOM": "\ufeff" + HEADER + RECORDS,
    "no final line feed": HEADER + RECORDS.rstrip("\n"),
    "lone CR at the end": HEADER + RECORDS.rstrip("\n") + "\r",
    "no sample columns": NO_SAMPLES + "".join(
        "\t".join(line.split("\t")[:8]) + "\n" for line in RECORDS.splitlines() if line.strip()),
    "samples without GT": NO_GT + RECORDS.replace("GT", "AD"),
    "long lines": HEADER + "".join(f"1\t{p}\t.\tC\tT\t.\tPASS\t{'I' * (3 << 20)}\tGT\t0/1\t1/1\n"
                                   for p in (5, 6)),
    "non-ASCII alleles": HEADER + "1\t5\t.\tC\tÉ,ß\t.\tPASS\t.\tGT\t1/2\t0/1\n",
    "phase sets": HEADER + (
        "1\t5\t.\tC\tT,G\t.\tPASS\t.\tGT:PS\t0|1:100\t2|1:.\n"
        "1\t6\t.\tC\tT\t.\tPASS\t.\tGT:PS\t1|1:x\t1|0\n"  # a PS that is no number; none
        "1\t7\t.\tC\tT\t.\tPASS\t.\tPS:GT\t0000000000000000007:1|0\t7:.|1\n"
        "1\t8\t.\tC\tT,G\t.\tPASS\t.\tGT:PS\t01|1:999999999999999999\t1|2|1:3\n"
        "1\t9\t.\tC\tT\t.\tPASS\t.\tGT:DP:PS\t1|0:3:4\t0/1:3:4\n"),
}
FAULTS = {
    "0/5": HEADER + "1\t5\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t0/5\t0\n",
    "2|.": HEADER + "1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t2|.\n",
    "0/x": HEADER + "1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t0/x\t0/1\n",
    "huge allele": HEADER + "1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t0/0099999999999999999999\t0\n",
    "allele 10": HEADER + "1\t6\t.\tC\tT,G\t.\tPASS\t.\tGT\t0/10\t0\n",
    "quoted genotype": HEADER + "1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t0/'\t0\n",
    "escape in a name": HEADER.replace("s1", "s\x1b[31m") + "1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t"
                                                          "0/\x1b\t0/3\n",
    "escape in a genotype": HEADER.replace("s2", "s\x1b[31m") + "1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t"
                                                             "0\t0/\x1b/3\n",
    "2^64": HEADER + "1\t18446744073709551616\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n",
    "position 0": HEADER + "1\t0\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n",
    "position +5": HEADER + "1\t+5\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n",
    "position é": HEADER + "1\t5é\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n",
    "too few fields": HEADER + "1\t6\tx\n",
    "CR CR": HEADER + "\r\r\n",
    "field count": HEADER + "1\t6\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\n",
    "empty CHROM": HEADER + "\t6\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n",
    "field limit": HEADER + "1\t5\t.\t" + "A" * (1 << 20) + "C\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n",
    "not UTF-8": HEADER.encode() + b"1\t5\t.\tC\tT\t.\tPASS\t\xff\tGT\t0/1\t0/0\n" + b"x",
    "ID not UTF-8": HEADER.encode() + b"1\t5\t\xc3\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\n",
}


def write_case(path, content):
    if isinstance(content, str):
        content = content.encode("utf-8")
    return write_text(path, content)


@pytest.mark.parametrize("name", [*CASES, *FAULTS])
@pytest.mark.parametrize("form", ["vcf", "vcf.gz", "bgz.gz"])
def test_engine_and_model_agree_on_every_case(tmp_path, name, form):
    path = write_case(tmp_path / f"c.{form}", CASES.get(name) or FAULTS[name])
    found = engine(path)
    assert found == model(path)
    if name in FAULTS:
        assert isinstance(found, str) and found.startswith(f"{path}: line ")
    else:
        assert found[0], "the case keeps records"
    sample = {} if name == "no sample columns" else {"sample": "s2"}
    for options in ({"pass_only": True}, sample):
        assert engine(path, **options) == model(path, **options), options


def test_batch_boundaries_change_nothing(tmp_path):
    calls = synthetic_calls(11, GENOME, ["a", "b", "c"], 3000)
    text = vcf_text(calls, ["a", "b", "c"], {"1": 8000, "2": 5000})
    hostile = ("1\t7990\t.\tC\tT,G,*\t.\tLowQ\t.\tGT\t1|2\t./.\t0/0\n"
               "1\t7991\t.\tC\tT\t.\tPASS\t.\tGT\t0/0\t./.\t0/0\n")
    path = write_text(tmp_path / "c.vcf.gz", text + hostile * 50)
    whole = engine(path, pass_only=True)
    assert len(whole[0]) > 3000
    for size in (1, 2, 7, 1000):
        batches = readers.read_all(str(path), pass_only=True, batch_size=size)
        # A batch ends after the line that fills it: at most 6 records (3 diploid samples).
        assert max(len(batch) for batch in batches) <= size - 1 + 6
        assert outcome(lambda: batches) == whole == model(path, pass_only=True, batch_size=size)


@pytest.mark.parametrize("packed", [False, True])
def test_a_fifo_is_read_once_from_the_bytes_already_read(tmp_path, packed):
    calls = synthetic_calls(5, GENOME, ["a", "b", "c"], 40000)  # beyond the 1 MiB head
    data = vcf_text(calls, ["a", "b", "c"], {"1": 8000, "2": 5000}).encode()
    assert len(data) > 1 << 20
    if packed:
        data = gzip.compress(data)
    results = read_fifo(tmp_path / "f.vcf", data, engine, model)
    assert results[0] == results[1] and len(results[0][0]) > 20000


def test_a_regular_file_is_read_from_where_its_descriptor_stood(tmp_path, monkeypatch):
    expected = model(write_case(tmp_path / "t.vcf", HEADER + RECORDS))
    path = write_case(tmp_path / "s.vcf", "skipped first line\n" + HEADER + RECORDS)
    with open(path, "rb") as held:
        held.readline()
        os.lseek(held.fileno(), len("skipped first line\n"), os.SEEK_SET)
        monkeypatch.setattr(readers.stream, "open_descriptor",
                            lambda name, path=None: (held.fileno(), os.fstat(held.fileno()), False))
        found = engine(path)
    assert found == expected and found[0]


def _first_block_crc(data):
    """Where the CRC of the first BGZF block lies (before the second block's header)."""
    return data.index(b"BC\x02\x00", 20) - 12 - 8


@pytest.mark.parametrize("pack, damage, message", [
    (lambda text: gzip.compress(text, compresslevel=0), lambda data: data[:-20],
     "cannot decompress: the gzip data ends early (a cut file?)"),
    (lambda text: gzip.compress(text, compresslevel=0),
     lambda data: data[:-4000] + b"\xff" * 4000,
     "cannot decompress: Error -3 while decompressing data: incorrect data check"),
    (bgzip, lambda data: data[:len(data) // 2],
     "cannot decompress: the gzip data ends early (a cut file?)"),
    (bgzip, lambda data: data[:_first_block_crc(data)] + b"\x00\x00\x00\x00"
     + data[_first_block_crc(data) + 4:],
     "cannot decompress: Error -3 while decompressing data: incorrect data check"),
])
def test_damaged_gzip_after_the_header_is_the_streams_fault(tmp_path, pack, damage, message):
    calls = synthetic_calls(3, GENOME, ["a", "b", "c"], 40000)
    text = vcf_text(calls, ["a", "b", "c"], {"1": 8000, "2": 5000}).encode()
    path = tmp_path / "d.vcf.gz"
    path.write_bytes(damage(pack(text)))
    assert engine(path) == model(path) == f"{path}: {message}"


# ---- against htslib ------------------------------------------------------------------------

QUERY = "%CHROM\t%POS\t%REF\t%ALT[\t%GT]\n"
# Every VCF of python-pyvcf-examples that bcftools reads without an error.
HTSLIB_READS = ["1kg.sites.vcf.gz", "1kg.vcf.gz", "FT.vcf.gz", "bad-info-character.vcf",
                "bcftools.vcf.gz", "example-4.0.vcf", "example-4.1-ploidy.vcf",
                "example-4.1-sv.vcf", "example-4.1.vcf", "freebayes.vcf.gz", "gatk.vcf.gz",
                "gonl.chr20.release4.gtc.vcf.gz", "info-type-character.vcf",
                "issue-140-file1.vcf", "issue-140-file2.vcf", "issue-140-file3.vcf",
                "issue-201.vcf.gz", "issue-214.vcf", "mixed-filtering.vcf",
                "null_genotype_mono.vcf.gz", "parse-meta-line.vcf", "samples-space.vcf",
                "samtools.vcf", "string_as_flag.vcf", "tb.vcf.gz", "uncalled_genotypes.vcf",
                "walk_left.vcf", "walk_refcall.vcf"]


def htslib_records(path):
    """The records bcftools query prints, by the readers' rules: one per alternate allele
    (upper-cased) and sample whose GT names it; every kept allele for a VCF without samples."""
    def query(*args):
        done = subprocess.run(["bcftools", "query", *args, str(path)], capture_output=True,
                              text=True, check=True)
        assert "[E::" not in done.stderr, done.stderr
        return done.stdout.splitlines()
    samples = query("-l")
    stem = records_module.sample_from_path(path)
    expected = []
    for line in query("-f", QUERY):
        chrom, pos, ref, alts, *genotypes = line.split("\t")
        for index, alt in enumerate(alts.upper().split(","), start=1):
            if records_module.allele_fault(ref.upper(), alt) is not None:
                continue
            if not samples:
                expected.append((stem, chrom, int(pos), ref.upper(), alt))
                continue
            for sample, genotype in zip(samples, genotypes):
                named = {int(part) for part in genotype.replace("|", "/").split("/")
                         if part.isdigit()}
                if index in named:
                    expected.append((sample, chrom, int(pos), ref.upper(), alt))
    return expected


def engine_records(path):
    found = engine(path)
    assert not isinstance(found, str), found
    return [row[:2] + row[3:6] for row in found[0]]


@pytest.mark.parametrize("name", HTSLIB_READS)
def test_third_party_vcfs_give_the_records_htslib_reads(name):
    assert engine_records(PYVCF / name) == htslib_records(PYVCF / name)


def test_generated_vcfs_give_the_records_htslib_reads(tmp_path):
    calls = synthetic_calls(17, GENOME, ["a", "b", "c", "d"], 5000)
    text = vcf_text(calls, ["a", "b", "c", "d"], {"1": 8000, "2": 5000})
    hostile = ("1\t7990\t.\tC\tT,G,A\t.\tPASS\t.\tGT\t3|1\t2/2\t./1\t1\n"
               "2\t4990\t.\tAC\tA,ACC\t.\tLowQ\t.\tGT:DP\t0/2:3\t1/0:4\t.:5\t2\n")
    for name in ("g.vcf", "g.vcf.bgz.gz"):
        path = write_text(tmp_path / name, text + hostile)
        expected = htslib_records(path)
        assert engine_records(path) == expected and len(expected) > 5000
