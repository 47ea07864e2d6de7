"""The readers of VCF/BCF, MAF and tables: each input opened once (files, standard input, pipes,
FIFOs), records as the input writes them, exact positions, the file that was named, bounded
lines, and one-line messages naming the input and line. Through the installed command, and
against pysam and hand counts."""

import collections
import gzip
import os
import shutil
import subprocess
import threading

import numpy as np
import pysam
import pytest

from cli_support import (PYVCF, maf_text, run, synthetic_calls, table_lines, vcf_text,
                         write_reference, write_text)

readers = pytest.importorskip("mutflank_tools.inputs.open")
records_module = pytest.importorskip("mutflank_tools.inputs.records")
KEPT = pytest.importorskip("mutflank_tools.inputs.left_out").KEPT

HEADER = ("##fileformat=VCFv4.2\n##contig=<ID=1,length=100000>\n"
          '##FILTER=<ID=LowQ,Description="Low quality">\n##ALT=<ID=DEL,Description="Deletion">\n'

          '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
          "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ts1\ts2\n")
SAMPLES = ["s1", "s2"]
GENOME = {"1": "ACGT" * 2000, "2": "TTGCA" * 1000}


def columns(batches):
    """{column: list} of all records of some batches, and their summed left_out."""
    found = {name: np.concatenate([getattr(b, name) for b in batches]).tolist()
             for name in records_module.Records.COLUMNS}
    return found, sum((b.left_out for b in batches), collections.Counter())


def to_bcf(vcf, bcf):
    subprocess.run(["bcftools", "view", "--no-version", "-Ob", "-o", str(bcf), str(vcf)],
                   check=True)
    return bcf


# ---- records as the input writes them ------------------------------------------------------

ALLELES = HEADER + (
    "1\t10\tm\tA\tG,T,*\t.\tPASS\t.\tGT\t1|2\t0/3\n"  # multi-allelic, phased, s2 carries *
    "1\t20\t.\tATG\tACG\t.\tLowQ\t.\tGT\t1\t0\n"  # haploid; not trimmed here
    "1\t30\t.\tg\tgaa\t.\tPASS\t.\tGT\t./1\t0/0\n"  # half call; the anchor base is kept
    "1\t40\t.\tC\t<DEL>,T\t.\tPASS\t.\tGT\t0/1\t0/2\n"  # symbolic
    "1\t50\t.\tC\tT\t.\tPASS\t.\tGT\t0/0\t0|0\n"  # nobody
)


@pytest.mark.parametrize("form", ["vcf", "vcf.gz", "bgz.gz", "CRLF", "bcf", "GT undeclared",
                                  "no ## lines"])
def test_one_record_per_sample_and_carried_allele_as_written(tmp_path, form):
    text = ALLELES.replace("\n", "\r\n") if form == "CRLF" else ALLELES
    if form == "GT undeclared":  # no ##FORMAT line for GT: the records' FORMAT tells
        text = "".join(line for line in ALLELES.splitlines(True) if "ID=GT," not in line)
    if form == "no ## lines":  # a VCF all the same, not a table of ten or more fields
        text = "".join(line for line in ALLELES.splitlines(True) if not line.startswith("##"))
    path = write_text(tmp_path / ("a." + form if "gz" in form else "a.vcf"), text)
    if form == "bcf":
        path = to_bcf(path, tmp_path / "a.bcf")
    found, left_out = columns(readers.read_all(str(path)))
    lines = {"bcf": [1, 1, 2, 3, 4],  # BCF: record numbers
             "GT undeclared": [6, 6, 7, 8, 9],
             "no ## lines": [2, 2, 3, 4, 5]}.get(form, [7, 7, 8, 9, 10])
    assert found == {
        "sample": ["s1", "s1", "s1", "s1", "s2"], "chromosome": ["1"] * 5, "build": [""] * 5,
        "position": [10, 10, 20, 30, 40], "ref": ["A", "A", "ATG", "G", "C"],
        "alt": ["G", "T", "ACG", "GAA", "T"], "filter": ["PASS", "PASS", "LowQ", "PASS", "PASS"],
        "line": lines, "id": ["m", "m", ".", ".", "."]}
    assert left_out == {("allele *, . or equal to REF", "1"): 1, ("symbolic allele", "1"): 1,
                        ("no sample carries the allele", "1"): 1}


@pytest.mark.parametrize("name", ["example-4.1.vcf", "uncalled_genotypes.vcf", "freebayes.vcf.gz",
                                  "samtools.vcf", "example-4.1-ploidy.vcf", "example-4.0.vcf"])
def test_records_are_the_genotypes_pysam_reads(tmp_path, name):
    plain = tmp_path / "plain.vcf"  # pysam cannot read a plain gzip VCF
    data = (PYVCF / name).read_bytes()
    plain.write_bytes(gzip.decompress(data) if name.endswith(".gz") else data)
    expected = []
    with pysam.VariantFile(str(plain)) as vcf:
        for record in vcf:
            for index, alt in enumerate(record.alts or (), start=1):
                if alt in ("*", ".") or alt.startswith("<") or alt.upper() == record.ref.upper():
                    continue
                for sample in record.samples:
                    if index in (record.samples[sample]["GT"] or ()):
                        expected.append((sample, record.chrom, record.pos, record.ref.upper(),
                                         alt.upper()))
    found, _ = columns(readers.read_all(str(PYVCF / name)))
    assert list(zip(found["sample"], found["chromosome"], found["position"], found["ref"],
                    found["alt"])) == expected
    assert len(expected) >= 3


TABLE = ("sample\tproject\tID\tbuild\ttype\tchromosome\tposition\tend\tREF\tALT\n"  # header
         "S1\tP\t.\thg19\tSNV\t1\t+7\t7\tc\tT\textra\tfields\r\n"
         "S2\tP\t.\tmm10\tINDEL\t2\t.\t.\tA\tAT\n"  # no position: left out, not an error
         "short\tline\n"
         "\n"
         "S1\tP\trs1\tGRCh38\tDBS\tX\t18446744073709551615\t0\tAC\tGT")


@pytest.mark.parametrize("name", ["t.tsv", "t.tsv.gz"])
def test_table_records_are_its_fields_as_written(tmp_path, name):
    found, left_out = columns(readers.read_all(str(write_text(tmp_path / name, TABLE))))
    assert found == {
        "sample": ["S1", "S1"], "chromosome": ["1", "X"], "build": ["hg19", "GRCh38"],
        "position": [7, 2**64 - 1], "ref": ["c", "AC"], "alt": ["T", "GT"], "filter": ["", ""],
        "line": [2, 6], "id": [".", "rs1"]}
    assert left_out == {("position not a number", "2"): 1, ("fewer than ten fields", ""): 1}
    bad = write_text(tmp_path / "bad.tsv", TABLE + "\nS1\tP\t.\tGRCh38\tSNV\t1\t0\t0\tC\tT\n")
    with pytest.raises(readers.InputError, match=r"bad.tsv: line 7: position 0: positions count "
                                                 "from 1$"):
        readers.read_all(str(bad))


# ---- each input opened once ----------------------------------------------------------------

def big_inputs(tmp_path):
    """A VCF and a MAF of the same calls, each well over 64 KiB."""
    calls = synthetic_calls(3, GENOME, SAMPLES, 3000)
    vcf = write_text(tmp_path / "big.vcf", vcf_text(calls, SAMPLES, {"1": 8000, "2": 5000}))
    maf = write_text(tmp_path / "big.maf.gz", maf_text(calls, SAMPLES))
    assert min(vcf.stat().st_size, len(gzip.decompress(maf.read_bytes()))) > 1 << 16
    return vcf, maf


def feed(path, writer_end):
    """A thread writing the file's bytes to a pipe's end or into a FIFO."""
    def write():
        try:
            with open(writer_end, "wb") as out:
                out.write(path.read_bytes())
        except BrokenPipeError:
            pass  # the command stopped reading; its result says why
    thread = threading.Thread(target=write)
    thread.start()
    return thread


def finish(thread, fifo):
    """Joins a feeding thread even when the command never opened the FIFO."""
    thread.join(timeout=5)
    if thread.is_alive():
        os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
        thread.join()


@pytest.mark.parametrize("how", ["pipe", "fifo", "stdin"])
def test_pipes_fifos_and_standard_input_are_read_once_and_whole(tmp_path, how):
    for path in big_inputs(tmp_path):
        expected = run("table", path, "--build", "37", "--project", "P")
        assert expected[0] == 0 and len(expected[1]) > 1 << 16
        if how == "stdin":
            done = run("table", "-", "--build", "37", "--project", "P", stdin=path.read_bytes())
            assert (done[0], done[1].decode(), done[2]) == expected
            continue
        if how == "pipe":
            read_end, write_end = os.pipe()
            thread = feed(path, write_end)
            done = run("table", f"/dev/fd/{read_end}", "--build", "37", "--project", "P",
                       pass_fds=(read_end,))
            os.close(read_end)
        else:
            fifo = tmp_path / "fifo"
            os.mkfifo(fifo)
            thread = feed(path, fifo)
            done = run("table", fifo, "--build", "37", "--project", "P")
            finish(thread, fifo)
            fifo.unlink()
        thread.join()
        assert done == expected


@pytest.mark.parametrize("how", ["pipe", "fifo", "stdin"])
def test_matrix_reads_a_table_through_a_pipe_whole(tmp_path, how):
    vcf, _ = big_inputs(tmp_path)
    table = tmp_path / "t.tsv"
    assert run("table", vcf, "--build", "38", "-o", table)[0] == 0
    assert table.stat().st_size > 1 << 16
    for name, bases in GENOME.items():
        write_reference(tmp_path / "ref", "GRCh38", name, bases)
    common = ["--reference", tmp_path / "ref", "--types", "SBS96", "--allow-ref-mismatch",
              "--no-merge-doublets"]  # every SNV is one SBS96 count
    expected = run("matrix", table, *common, "-o", tmp_path / "file")
    assert expected[0] == 0, expected
    if how == "stdin":
        done = run("matrix", "-", *common, "-o", tmp_path / "piped", stdin=table.read_bytes())
    elif how == "pipe":
        read_end, write_end = os.pipe()
        thread = feed(table, write_end)
        done = run("matrix", f"/dev/fd/{read_end}", *common, "-o", tmp_path / "piped",
                   pass_fds=(read_end,))
        os.close(read_end)
        thread.join()
    else:
        os.mkfifo(tmp_path / "fifo")
        thread = feed(table, tmp_path / "fifo")
        done = run("matrix", tmp_path / "fifo", *common, "-o", tmp_path / "piped")
        finish(thread, tmp_path / "fifo")
    assert done[0] == 0, done
    matrix = (tmp_path / "file.SBS96.tsv").read_text()
    assert (tmp_path / "piped.SBS96.tsv").read_text() == matrix
    # each distinct mutation of a sample once (the random calls repeat some)
    substitutions = len({(row[0], row[5], row[6], row[8], row[9])
                         for row in table_lines(table.read_text()) if row[4] == "SNV"
                         and 1 < int(row[6]) < len(GENOME[row[5]])})
    assert sum(int(cell) for line in matrix.splitlines()[1:]
               for cell in line.split("\t")[1:]) == substitutions > 2000


# ---- exact values --------------------------------------------------------------------------

@pytest.mark.parametrize("pos, result", [
    ("4294967326", "4294967326"),  # 2^32 + 30
    ("2147483648", "2147483648"),
    ("18446744073709551615", "18446744073709551615"),
    ("18446744073709551616", "position 18446744073709551616 is not a position on the chromosome "
                             "(a whole number from 1 to 2^64 - 1)"),
    ("-5", "position -5 is not a position on the chromosome (a whole number from 1 to 2^64 - 1)"),
])
def test_positions_are_read_exactly_or_refused_as_written(tmp_path, pos, result):
    vcf = write_text(tmp_path / "p.vcf", HEADER + f"1\t{pos}\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n")
    status, out, err = run("table", vcf, "--build", "38")
    if result.isdigit():
        assert (status, [row[6:8] for row in table_lines(out)]) == (0, [[result, result]])
    else:
        assert (status, out, err) == (1, "", f"mutflank table: error: {vcf}: line 7: {result}\n")


def test_a_byte_order_mark_is_no_part_of_the_text(tmp_path):
    bom = "\ufeff"
    vcf = write_text(tmp_path / "b.vcf", bom + HEADER + "1\t5\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t1/1\n")
    maf = write_text(tmp_path / "b.maf.gz", bom + "Chromosome\tStart_Position\tReference_Allele\t"
                     "Tumor_Seq_Allele1\tTumor_Seq_Allele2\tTumor_Sample_Barcode\n"
                     "1\t5\tC\tC\tT\tS1\n")
    table = write_text(tmp_path / "b.tsv", bom + "S1\tP\t.\tGRCh38\tSNV\t1\t5\t5\tC\tT\n")
    assert table_lines(run("table", vcf, "--build", "38")[1]) == [
        ["s1", "b", ".", "GRCh38", "SNV", "1", "5", "5", "C", "T"],
        ["s2", "b", ".", "GRCh38", "SNV", "1", "5", "5", "C", "T"]]
    assert table_lines(run("table", maf, "--build", "38")[1]) == [
        ["S1", "b", ".", "GRCh38", "SNV", "1", "5", "5", "C", "T"]]
    found, _ = columns(readers.read_all(str(table)))
    assert (found["sample"], found["line"]) == (["S1"], [1])


@pytest.mark.parametrize("genotype, message", [
    ("0/5", "genotype 0/5 of sample s1 names allele 5, but the record has 1 alternate allele"),
    ("2|.", "genotype 2|. of sample s1 names allele 2, but the record has 1 alternate allele"),
    ("0/x", "genotype '0/x' of sample s1 is not a genotype"),
])
def test_a_genotype_naming_no_allele_is_an_error(tmp_path, genotype, message):
    body = "".join(f"1\t{p}\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n" for p in range(1, 500))
    vcf = write_text(tmp_path / "g.vcf", HEADER + body + f"1\t600\t.\tC\tT\t.\tPASS\t.\tGT\t"
                                                         f"{genotype}\t0/0\n")
    assert run("table", vcf, "--build", "38", "-o", tmp_path / "t.tsv") == (
        1, "", f"mutflank table: error: {vcf}: line 506: {message}\n")


# ---- the file named is the file read -------------------------------------------------------

@pytest.mark.parametrize("name", ["a.vcf##idx##b.csi", "http:calls.vcf"])
@pytest.mark.parametrize("form", ["vcf", "bcf"])
def test_names_are_file_names_not_htslib_syntax(tmp_path, name, form):
    decoy = write_text(tmp_path / "a.vcf", HEADER + "1\t7\t.\tA\tG\t.\tPASS\t.\tGT\t1/1\t1/1\n")
    real = write_text(tmp_path / "real.vcf", HEADER + "1\t9\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n")
    if form == "bcf":
        real = to_bcf(real, tmp_path / "real.bcf")
        to_bcf(decoy, tmp_path / "b.csi")
    shutil.copy(real, tmp_path / name)
    status, out, err = run("table", name, "--build", "38", "--project", "P", cwd=tmp_path)
    assert (status, table_lines(out)) == (0, [["s1", "P", ".", "GRCh38", "SNV", "1", "9", "9",
                                               "C", "T"]]), err


def test_chromosomes_that_cannot_name_a_file_are_left_out_by_input(tmp_path):
    record = "\t5\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n"
    first = write_text(tmp_path / "a.vcf", HEADER + "../../outside/secret" + record + ".." + record
                       + "1" + record)
    second = write_text(tmp_path / "b.vcf", HEADER + "a/b" + record)
    status, out, err = run("table", first, second, "--build", "38", "--project", "P",
                           "--merge-samples")
    assert (status, table_lines(out)) == (0, [["s1", "P", ".", "GRCh38", "SNV", "1", "5", "5",
                                               "C", "T"]])
    assert err.splitlines()[1:] == [
        "mutflank table: left out 3 records: chromosome cannot name a reference file (/, NUL, . "
        f"or ..), on .. (1), ../../outside/secret (1), a/b (1), in {first} (2), {second} (1)"]


# ---- bounded lines and fields --------------------------------------------------------------

def test_a_huge_line_in_a_small_gzip_stops_at_the_limit_in_bounded_memory(tmp_path):
    command = run.__globals__["COMMAND"]
    if not os.path.exists(command):
        pytest.skip("the command is not installed (make sanitize runs the package from sources)")
    path = tmp_path / "huge.maf.gz"
    with gzip.open(path, "wb", compresslevel=1) as out:
        out.write(b"Chromosome\tStart_Position\tReference_Allele\tTumor_Seq_Allele1\t"
                  b"Tumor_Seq_Allele2\tTumor_Sample_Barcode\n1\t5\tC\tC\tT\t")
        block = b"S" * (1 << 24)
        for _ in range(20):  # a 320 MiB sample name
            out.write(block)
    assert path.stat().st_size < 4 << 20
    done = subprocess.run(["/usr/bin/time", "-f", "%M", command, "table",
                           str(path), "--build", "37"], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=300)
    message, _, peak_kib = done.stderr.splitlines()  # _: time's "Command exited with ..."
    assert (done.returncode, message) == (
        1, f"mutflank table: error: {path}: line 2: longer than 256 MiB (the line limit)")
    assert int(peak_kib) < 700 << 10


def test_fields_beyond_the_limit_and_many_chromosome_names(tmp_path):
    vcf = write_text(tmp_path / "f.vcf", HEADER + "1\t5\t.\t" + "A" * (1 << 20) + "C"
                     + "\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n")
    assert run("table", vcf, "--build", "38") == (
        1, "", f"mutflank table: error: {vcf}: line 7: a field is longer than 1 MiB (the field "
               "limit)\n")
    # Chromosomes beyond 2 * KEPT of one reason: the KEPT largest are told apart, the rest
    # summed; the total stays exact.
    left_out = records_module.LeftOut()
    left_out.add("reason", "chrBig", 50)
    for number in range(4 * KEPT):
        left_out.add("reason", f"chr{number:03}")
    assert len(left_out) <= 2 * KEPT + 1 and left_out.total() == 50 + 4 * KEPT
    named = sum(count for (_, name), count in left_out.items() if name is not None)
    assert left_out.lines() == [
        f"left out {50 + 4 * KEPT} records: reason, on chrBig (50), "
        + ", ".join(f"chr{number:03} (1)" for number in range(7))
        + f" and {50 + 4 * KEPT - named} records on other chromosomes"]


# ---- one line naming the input, the line and the fault -------------------------------------

@pytest.mark.parametrize("content, message", [
    (b"", "{path}: is empty (0 bytes): not a VCF, BCF, MAF or mutation table file"),
    (gzip.compress(b"", mtime=0), "{path}: gzip-compressed, but holds no text"),
    (b"\n\n", "{path}: holds only blank lines: not a VCF, BCF, MAF or mutation table file"),
    (gzip.compress(b"S\tP\t.\tGRCh37\tSNV\t1\t5\t5\tC\tT\n", mtime=0),
     "{path}: already a mutation table, not a VCF, BCF or MAF file"),
    ((HEADER + "1\t5\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n1\t6\tx\n").encode(),
     "{path}: line 8: 3 tab-separated fields: a VCF record has at least eight"),
    (b"\x00\x01\x02binary", "{path}: not a VCF, BCF, MAF or mutation table file (it holds "
                            "binary data)"),
])
def test_messages_name_the_input_and_what_is_wrong(tmp_path, content, message):
    path = tmp_path / "input"
    path.write_bytes(content)
    assert run("table", path, "--build", "37", "-o", tmp_path / "t.tsv") == (
        1, "", f"mutflank table: error: {message.format(path=path)}\n")


@pytest.mark.parametrize("content", [b"", gzip.compress(b"", mtime=0)])
def test_table_and_matrix_say_the_same_of_an_empty_input(tmp_path, content):
    path = tmp_path / "empty.tsv"
    path.write_bytes(content)
    write_reference(tmp_path / "ref", "GRCh38", "1", "ACGT")
    table = run("table", path, "--build", "38")
    matrix = run("matrix", path, "--reference", tmp_path / "ref", "-o", tmp_path / "m")
    assert table[0] == matrix[0] == 1
    assert table[2].replace("mutflank table", "mutflank matrix") == matrix[2]
    assert table[2].startswith(f"mutflank table: error: {path}: ")


def test_a_bcf_cut_in_the_middle_of_a_record(tmp_path):
    # A small one ends inside the text read while telling its format; a long one where
    # htslib reads on (inputs/test_bcf.py).
    vcf = write_text(tmp_path / "k.vcf", HEADER + "1\t5\t.\tC\tT\t.\tPASS\t.\tGT\t0/1\t0/0\n")
    bcf = to_bcf(vcf, tmp_path / "k.bcf")
    bcf.write_bytes(bcf.read_bytes()[:-40])
    assert run("table", bcf, "--build", "37") == (
        1, "", f"mutflank table: error: {bcf}: cannot decompress: the gzip data ends early (a cut "
               "file?)\n")
