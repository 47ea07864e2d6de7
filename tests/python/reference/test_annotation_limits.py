"""`mutflank reference --annotation` on hostile annotations (coordinates past every sequence,
endless lines, ten thousands of features in one place, names holding escape sequences),
through the command in process."""

import gzip
import tracemalloc

import pytest

pytest.importorskip("mutflank_tools")
from mutflank_tools.cli import main  # noqa: E402

FASTA = ">chr1\nACGTACGTACGTACGTACGT\n>chrM\nACGTACGT\n"
WROTE = "mutflank reference: wrote 2 sequences, 28 bases, to {out}/GRCh38"


def gene(name, start, end, strand="+", kind="gene"):
    return f"{name}\tsrc\t{kind}\t{start}\t{end}\t.\t{strand}\t.\tgene_id \"g\";\n"


def reference(tmp_path, capsys, annotation):
    """(exit status, standard error lines, the bytes of chr1 or None) of `mutflank reference`
    of FASTA with `annotation` (str, or bytes written as they are)."""
    (tmp_path / "g.fa").write_text(FASTA)
    path = tmp_path / "genes.gtf.gz"
    data = annotation.encode() if isinstance(annotation, str) else annotation
    path.write_bytes(data if data[:2] == b"\x1f\x8b" else gzip.compress(data, compresslevel=1))
    out = tmp_path / "ref"
    status = main(["reference", str(tmp_path / "g.fa"), str(out), "--build", "GRCh38",
                   "--annotation", str(path)])
    err = capsys.readouterr().err.replace(str(out), "{out}").replace(str(path), "{gtf}")
    chromosome = out / "GRCh38" / "chr1.txt"
    return status, err.splitlines(), chromosome.read_bytes() if chromosome.exists() else None


def strands(data):
    """The strand bits of each base of a painted reference file, as a string of digits."""
    return "".join(str(byte >> 2) if byte < 16 else "N" for byte in data)


PAST = "mutflank reference: {} past the end of {} sequence and {} clipped at it: {}"


@pytest.mark.parametrize("annotation, summary, painted", [
    # A gene running past its chromosome's end: clipped, and counted.
    (gene("chr1", 3, 25) + gene("chrM", 2, 5, "-"),
     PAST.format("1 annotated region runs", "its", "was", "chr1 (1)"),
     "00111111111111111111"),
    # Coordinates of 2^63 and beyond: past every sequence, clipped, counted; not a traceback.
    (gene("chr1", 3, 2**63) + gene("chr1", 2**64, 2**64 + 5, "-") + gene("chrM", 2, 50, "-"),
     PAST.format("3 annotated regions run", "their", "were", "chr1 (2), chrM (1)"),
     "00111111111111111111"),
    # Overlapping features of one strand are one region.
    (gene("chr1", 15, 30) + gene("chr1", 18, 40, kind="transcript") + gene("chr1", 1, 2, "-"),
     PAST.format("1 annotated region runs", "its", "was", "chr1 (1)"),
     "22000000000000111111"),
])
def test_features_past_the_end_are_clipped_and_counted(tmp_path, capsys, annotation, summary,
                                                       painted):
    status, err, chromosome = reference(tmp_path, capsys, annotation)
    assert (status, err) == (0, [summary, WROTE])
    assert strands(chromosome) == painted


def test_a_line_longer_than_the_limit_is_refused_by_its_number(tmp_path, capsys):
    long = gene("chr1", 3, 5).replace('"g"', '"' + "x" * (17 << 20) + '"')
    status, err, chromosome = reference(tmp_path, capsys, gene("chr1", 1, 2) + long)
    assert (status, err) == (1, ["mutflank reference: error: {gtf}: line 2: longer than 16 "
                                 "MiB: not a GTF or GFF3 line"])
    assert chromosome is None and not (tmp_path / "ref").exists()


def test_names_are_shown_with_their_control_characters_escaped(tmp_path, capsys):
    annotation = gene("chr1", 1, 4) + gene("chr\x1b[31mX", 1, 2) + gene("chrY\x07", 1, 2)
    status, err, _ = reference(tmp_path, capsys, annotation)
    assert (status, err) == (0, ["mutflank reference: 2 annotated sequences not in the FASTA, "
                                 "left out: chr\\x1b[31mX, chrY\\x07", WROTE])


def test_memory_follows_the_regions_not_the_features(tmp_path, capsys):
    # 200,000 one-base genes over 30 bases: kept until the end, they took 23 MB; merged as
    # they come, 4 MB.
    annotation = gzip.compress("".join(gene("chr1", 1_000_000 + i % 30, 1_000_000 + i % 30)
                                       for i in range(200_000)).encode(), compresslevel=1)
    (tmp_path / "first").mkdir()
    reference(tmp_path / "first", capsys, gene("chr1", 1, 2))  # modules loaded, not counted
    tracemalloc.start()
    try:
        status, err, _ = reference(tmp_path, capsys, annotation)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert (status, err) == (0, [PAST.format("1 annotated region runs", "its", "was",
                                             "chr1 (1)"), WROTE])
    assert peak < 8e6


def test_a_line_beyond_the_memory_limit_is_said_so(tmp_path):
    # The process is the point: under a cap of its address space, grep (which holds one line)
    # runs out of memory on a line of 640 MiB before the reader sees its first 16 MiB.
    import resource
    import subprocess

    from cli_support import COMMAND

    (tmp_path / "g.fa").write_text(FASTA)
    path = tmp_path / "longline.gtf.gz"
    # One gzip member of 16 MiB compressed once and written 40 times: gzip reads the members
    # of a file as one stream, and the line is made without compressing 640 MiB.
    block = gzip.compress(b"a" * (16 << 20), compresslevel=1)
    path.write_bytes(gzip.compress(gene("chr1", 1, 5).encode()[:-3]) + block * 40
                     + gzip.compress(b'";\n'))

    def capped():
        resource.setrlimit(resource.RLIMIT_AS, (600 << 20, 600 << 20))

    done = subprocess.run([COMMAND, "reference", "g.fa", "ref", "--build", "GRCh38",
                           "--annotation", path.name], cwd=tmp_path, preexec_fn=capped,
                          capture_output=True, text=True, timeout=120, check=False)
    assert (done.returncode, done.stderr) == (1, (
        "mutflank reference: error: longline.gtf.gz: a line longer than the memory allows "
        "(grep: memory exhausted): not a GTF or GFF3 line\n"))
    assert not (tmp_path / "ref").exists()
