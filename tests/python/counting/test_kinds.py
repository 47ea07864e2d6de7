"""DBS78, ID83 and the transcriptional strand, each held to a plain model written here from
the definitions: reference annotation, strand classes, doublet labels and merging, indel
labels."""

import collections
import gzip
import random
import types

import numpy as np
import pytest

from cli_support import MAF_HEADER, run, write_text

pytest.importorskip("mutflank_tools")  # not installed under make sanitize
from mutflank_tools.counting import channels  # noqa: E402
from mutflank_tools.counting.kinds import dbs78, id83, sbs, strand  # noqa: E402
from mutflank_tools.inputs.records import LeftOut, Records  # noqa: E402
from mutflank_tools.counting import doublets  # noqa: E402
from mutflank_tools.counting.kinds import get as get_kind  # noqa: E402

COMPLEMENT = {"A": "T", "C": "G", "G": "C", "T": "A"}


def revcomp(text):
    return "".join(COMPLEMENT[base] for base in reversed(text))


# ---- reference --annotation ----------------------------------------------------------------

GENOME = {"chr1": "ACGTACGTNNACGTACGTACGGATTACA", "2": "TTGCA", "chrX": "GATTACA"}
FEATURES = [  # (sequence, type, start, end, strand), 1-based inclusive
    ("chr1", "gene", 2, 5, "+"), ("chr1", "exon", 1, 28, "-"), ("chr1", "transcript", 4, 12, "-"),
    ("chr1", "mRNA", 20, 28, "+"), ("chr1", "lnc_RNA", 25, 26, "-"), ("chr1", "gene", 7, 9, "."),
    ("chr2", "gene", 2, 3, "-"), ("chr9", "gene", 1, 3, "+")]


def annotation_text(gff3):
    lines = ["##gff-version 3" if gff3 else "#!genome-build test"]
    for name, kind, start, end, sign in FEATURES:
        attributes = "ID=x;Name=y" if gff3 else 'gene_id "x"; transcript_id "y";'
        lines.append("\t".join([name, "test", kind, str(start), str(end), ".", sign, ".",
                                attributes]))
    return "\n".join(lines) + "\n" + ("##FASTA\n>chr1\nACGT\n" if gff3 else "")


def expected_bytes(name, bases):
    """base + 4 * s for every base, s from the features that cover it (a gene on chr2 is
    written for the FASTA sequence 2)."""
    out = []
    for position, base in enumerate(bases, 1):
        bits = 0
        for seq, kind, start, end, sign in FEATURES:
            if seq.removeprefix("chr") == name.removeprefix("chr") and kind != "exon" \
                    and sign in "+-" and start <= position <= end:
                bits |= 1 if sign == "+" else 2
        out.append(16 if base == "N" else "ACGT".index(base) + 4 * bits)
    return bytes(out)


@pytest.mark.parametrize("name, gff3", [("genes.gtf.gz", False), ("genes.gff3", True),
                                        ("/dev/stdin", False)])
def test_reference_carries_the_strand_and_the_module_reads_the_same_rows(tmp_path, name, gff3):
    import mutflank

    fasta = write_text(tmp_path / "g.fa", "".join(f">{n}\n{b}\n" for n, b in GENOME.items()))
    piped = name.startswith("/dev/")  # a pipe, read once
    genes = name if piped else write_text(tmp_path / name, annotation_text(gff3))
    status, _, stderr = run("reference", fasta, tmp_path / "plain", "--build", "GRCh38")
    assert status == 0, stderr
    status, _, stderr = run("reference", fasta, tmp_path / "annotated", "--build", "GRCh38",
                            "--annotation", genes,
                            stdin=annotation_text(gff3) if piped else None)
    assert status == 0, stderr
    assert "1 annotated sequence not in the FASTA, left out: chr9" in stderr
    for chrom, bases in GENOME.items():
        written = (tmp_path / "annotated" / "GRCh38" / f"{chrom}.txt").read_bytes()
        assert written == expected_bytes(chrom, bases)
    for context in (3, 5, 7):  # every position whose window fits on the chromosome
        rows = [f"S\tP\t.\tGRCh38\tSNV\t{chrom}\t{pos}\t{pos}\t{bases[pos - 1]}\t"
                f"{'A' if bases[pos - 1] != 'A' else 'C'}\n"
                for chrom, bases in GENOME.items() for pos in range(1, len(bases) + 1)
                if bases[pos - 1] != "N" and pos + context // 2 <= len(bases)]
        table = write_text(tmp_path / "t.tsv", "".join(rows))
        plain = mutflank.parse_vcf_files([str(table)], str(tmp_path / "plain"), context)
        annotated = mutflank.parse_vcf_files([str(table)], str(tmp_path / "annotated"), context)
        assert plain.tolist() == annotated.tolist() and len(plain) == len(rows)


@pytest.mark.parametrize("text, message", [
    ("chr1\tx\tgene\t5\n", "line 1: 4 tab-separated fields, a GTF or GFF3 line has 9"),
    ("#c\nchr1\tx\tgene\tfive\t9\t.\t+\t.\tx\n", "line 2: start and end are not whole numbers"),
    ("chr1\tx\tgene\t9\t5\t.\t+\t.\tx\n", "line 1: start 9 and end 5 are not 1 <= start <= end"),
    ("chr1\tx\texon\t1\t5\t.\t+\t.\tx\n",
     "no gene or transcript feature with a strand: not a GTF or GFF3 annotation"),
    (None, "cannot decompress: not a valid, complete gzip file"),  # a gzip file cut short
    ("lambda\tx\tgene\t1\t3\t.\t+\t.\tx\n", "no annotated sequence is a sequence of the "
     "FASTA: the annotation names lambda, the FASTA chr1"),
])
def test_malformed_annotation_is_refused(tmp_path, text, message):
    fasta = write_text(tmp_path / "g.fa", ">chr1\nACGT\n")
    genes = tmp_path / "genes.gtf.gz"
    genes.write_bytes(gzip.compress(b"chr1\tx\tgene\t1\t3\t.\t+\t.\tx\n" * 50)[:-12]
                      if text is None else gzip.compress(text.encode()))
    status, _, stderr = run("reference", fasta, tmp_path / "out", "--build", "GRCh38",
                            "--annotation", genes)
    assert (status, stderr) == (1, f"mutflank reference: error: {genes}: {message}\n")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("seed", range(3))
def test_painting_in_place_matches_the_bases_model(tmp_path, monkeypatch, seed):
    from mutflank_tools.reference import annotation

    rng = random.Random(seed)
    monkeypatch.setattr(annotation, "PAINT_BYTES", rng.choice([1, 7, 1 << 22]))
    monkeypatch.setattr(annotation, "PENDING", rng.choice([1, 2, 1 << 16]))  # merged as read
    length = 500
    codes = bytes(rng.choice([0, 1, 2, 3, 3, 16]) for _ in range(length))
    features = [(rng.randrange(length), rng.randint(1, 120), rng.choice("+-"))
                for _ in range(30)]
    collector = annotation.Collector()
    for number, (start, size, sign) in enumerate(features, 1):
        collector.add(number, f"c\tt\tgene\t{start + 1}\t{start + size}\t.\t{sign}\t.\tx"
                      .encode())
    path = tmp_path / "c.txt"
    path.write_bytes(codes)
    unmatched, past = annotation.paint_folder(tmp_path, [("c", length)], collector.annotation())
    assert unmatched == []
    assert past == ([("c", len({sign for start, size, sign in features
                                 if start + size > length}))]
                    if any(start + size > length for start, size, _ in features) else [])
    expected = bytes(
        code if code == 16 else code + 4 * sum({1 if sign == "+" else 2 for start, size, sign
                                                in features if start <= i < start + size})
        for i, code in enumerate(codes))
    assert path.read_bytes() == expected


# ---- strand classes ------------------------------------------------------------------------

@pytest.mark.parametrize("genes", ["none", "+", "-", "both"])
@pytest.mark.parametrize("base", "ACGT")
def test_strand_class_of_every_gene_strand_and_folded_base(genes, base):
    # The folded pyrimidine is the reference base itself for C and T (on the forward strand),
    # its complement on the reverse strand for A and G. The coding (untranscribed) strand of a
    # + gene is the forward strand, of a - gene the reverse strand.
    expected = {"none": "N", "both": "B"}.get(genes) or (
        "U" if (base in "CT") == (genes == "+") else "T")
    bits = {"none": 0, "+": 1, "-": 2, "both": 3}[genes]
    byte = "ACGT".index(base) + 4 * bits
    got = strand.strand_classes(np.array([byte]))[0]
    assert strand.STRANDS[got] == expected
    assert strand.SBS384[strand.sbs384_codes([5], [byte])[0]] == f"{expected}:{channels.SBS96[5]}"


# ---- SBS channels --------------------------------------------------------------------------

def sbs_model(window, ref, alt, flank):
    """The SBS96/SBS1536 label of a substitution from the raw reference bytes around it, or
    the reason it has none, written from the definitions one record at a time."""
    forward = [int(byte) for byte in window]
    if any(byte < 0 for byte in forward[flank + 1:]):
        return sbs.NEAR_END
    if any(byte < 0 for byte in forward[:flank]):
        return sbs.AT_START
    if any(byte >= 16 for at, byte in enumerate(forward) if at != flank):
        return sbs.NOT_ACGT
    bases = "".join("ACGT"[byte & 3] for byte in forward)
    if ref in "AG":  # read on the strand of the pyrimidine
        bases, ref, alt = revcomp(bases), revcomp(ref), revcomp(alt)
    return f"{bases[:flank]}[{ref}>{alt}]{bases[flank + 1:]}"


@pytest.mark.parametrize("flank, kind", [(1, "SBS96"), (2, "SBS1536")])
def test_sbs_channels_match_a_model_of_the_definitions(flank, kind):
    """Every reason and every channel, with bytes off the chromosome (-1), N (16..19) and no
    base (20..255) on either side, and strand bits on the bases."""
    rng = random.Random(flank)
    windows, refs, alts = [], [], []
    for _ in range(20_000):
        window = [rng.randrange(16) for _ in range(2 * flank + 1)]
        for at in range(2 * flank + 1):
            odd = rng.random()
            if at != flank and odd < 0.03:
                window[at] = -1
            elif at != flank and odd < 0.06:
                window[at] = rng.choice([16, 19, 20, 255])
        ref = "ACGT"[window[flank] & 3]
        windows.append(window)
        refs.append(ref)
        alts.append(rng.choice([base for base in "ACGT" if base != ref]))
    window = np.array(windows, dtype=np.int16)
    batch = types.SimpleNamespace(ref=np.array(refs, dtype=object),
                                  alt=np.array(alts, dtype=object),
                                  window=lambda before, after: window)
    codes = get_kind(kind).classify(batch)
    labels = get_kind(kind).channels
    got = [labels[code] if code >= 0 else sbs.REASONS[-1 - code] for code in codes.tolist()]
    expected = [sbs_model(*case, flank) for case in zip(windows, refs, alts)]
    assert got == expected
    assert set(expected) == set(labels) | set(sbs.REASONS)  # every case met


# ---- the classes of a pair of alleles ------------------------------------------------------

def test_each_class_takes_its_own_pairs_of_alleles_in_one_batch():
    """The engine tells every class of a batch in one pass: each pair lands in at most one
    class, with lengths counted in characters (not bytes) and unchanged bases allowed only in
    three or more."""
    from mutflank_tools.counting import kinds

    pairs = {"SBS": [("C", "T"), ("G", "A")],
             "DBS": [("AC", "GT")],
             "MBS": [("ACG", "TCA"), ("ACG", "ACG")],
             "ID": [("AC", "A"), ("A", "AT"), ("C", "-"), ("-", "G"), ("\u00e9", "AB")],
             None: [("C", "C"), ("N", "T"), ("AC", "AT"), ("AN", "GT"), ("", ""),
                    ("\u00e9", "A"), ("\u00e9\u00e9", "AB")]}
    listed = [(pair, name) for name, group in pairs.items() for pair in group]
    ref = np.array([r for (r, _), _ in listed], dtype=object)
    alt = np.array([a for (_, a), _ in listed], dtype=object)
    taken = {mc.name: mc.accepts(ref, alt) for mc in kinds.mutation_classes()}
    for at, (pair, name) in enumerate(listed):
        assert [key for key, accepted in taken.items() if accepted[at]] == \
            ([name] if name else []), pair
    with pytest.raises(ValueError, match="^alts has another length$"):
        kinds.allele_shapes(ref, alt[1:])
    with pytest.raises(TypeError):
        kinds.allele_shapes(np.array([b"C"], dtype=object), np.array(["T"], dtype=object))


# ---- DBS78 ---------------------------------------------------------------------------------

CANONICAL = {"AC", "AT", "CC", "CG", "CT", "GC", "TA", "TC", "TG", "TT"}


def test_every_doublet_gets_the_one_label_of_itself_or_its_reverse_complement():
    pairs = [(r0 + r1, a0 + a1) for r0 in "ACGT" for r1 in "ACGT"
             for a0 in "ACGT" if a0 != r0 for a1 in "ACGT" if a1 != r1]
    ref = np.array([p[0] for p in pairs], dtype=object)
    alt = np.array([p[1] for p in pairs], dtype=object)
    assert dbs78.is_doublet(ref, alt).all()
    got = [channels.DBS78[code] for code in dbs78.dbs78_codes(ref, alt)]
    for (r, a), label in zip(pairs, got):
        assert label in {f"{r}>{a}", f"{revcomp(r)}>{revcomp(a)}"}
        assert label[:2] in CANONICAL
        assert label == got[pairs.index((revcomp(r), revcomp(a)))]
    assert sorted(set(got)) == sorted(channels.DBS78) and len(pairs) == 144
    assert not dbs78.is_doublet(np.array(["AC", "AC", "A", "ANC"], dtype=object),
                                np.array(["AT", "CN", "C", "GAT"], dtype=object)).any()


# ---- adjacent SNVs merged into doublets ---------------------------------------------------

SOURCE = types.SimpleNamespace(name="calls.maf")


def batch(rows, first_line=1):
    n = len(rows)
    return Records.of_lists(SOURCE, [r[0] for r in rows], [r[1] for r in rows], [""] * n,
                            [r[2] for r in rows], [r[3] for r in rows], [r[4] for r in rows],
                            ["PASS"] * n, list(range(first_line, first_line + n)), ["."] * n,
                            LeftOut())


def merged(rows, merge=True, hold=doublets.HOLD, size=None):
    merger = doublets.Merger(merge=merge, hold=hold)
    size = size or len(rows)
    out, left_out = [], LeftOut()
    parts = [merger.feed(batch(rows[i:i + size], i + 1)) for i in range(0, len(rows), size)]
    for part in parts + [merger.finish()]:
        out += zip(part.sample, part.chromosome, part.position.tolist(), part.ref, part.alt,
                   part.line.tolist())
        left_out.update(part.left_out)
    return sorted(out), dict(left_out)


@pytest.mark.parametrize("hold, size", [(doublets.HOLD, 7), (0, 1), (10, 13), (0, 50)])
def test_merging_depends_neither_on_batches_nor_on_order(hold, size):
    # the cohort's calls, each sample in order (as the streaming needs), and shuffled
    rows = sorted((r[7], r[0], r[1], r[4], r[6]) for r in cohort(7)[2])
    whole = merged(rows)
    assert merged(rows, hold=hold, size=size) == whole
    shuffled = random.Random(size).sample(rows, len(rows))
    assert [r[:5] for r in merged(shuffled, size=size)[0]] == [r[:5] for r in whole[0]]


@pytest.mark.parametrize("hold, size", [(doublets.HOLD, 2), (0, 1), (2, 3), (0, 2)])
def test_phase_and_copies_are_told_across_batches(hold, size):
    """Neighbours in trans stay SNVs and a copy is counted once wherever the batches end,
    held until the input ends or streamed."""
    in_trans, in_cis = (1 | 4, 2 | 4), (1 | 4, 1 | 4)
    rows = [("S1", "1", 10, "A", "C", in_trans[0]), ("S1", "1", 11, "C", "G", in_trans[1]),
            ("S1", "1", 20, "A", "C", in_cis[0]), ("S1", "1", 21, "C", "G", in_cis[1]),
            ("S1", "1", 30, "A", "T", 0), ("S1", "1", 30, "A", "T", 0),
            ("S1", "2", 40, "G", "T", in_trans[0]), ("S1", "2", 41, "G", "T", in_trans[1])]
    merger = doublets.Merger(hold=hold)
    out, left_out = [], LeftOut()
    for start in range(0, len(rows), size):
        records = batch([row[:5] for row in rows[start:start + size]], start + 1)
        records.phase = np.array([row[5] for row in rows[start:start + size]], dtype=np.int64)
        for part in (merger.feed(records),) + ((merger.finish(),) if start + size >= len(rows)
                                               else ()):
            out += zip(part.chromosome, part.position.tolist(), part.ref, part.alt,
                       part.weight.tolist())
            left_out.update(part.left_out)
    assert sorted(out) == [("1", 10, "A", "C", 1), ("1", 11, "C", "G", 1),
                           ("1", 20, "AC", "CG", 2), ("1", 30, "A", "T", 1),
                           ("2", 40, "G", "T", 1), ("2", 41, "G", "T", 1)]
    assert dict(left_out) == {(doublets.DUPLICATE, "1"): 1}


def test_no_merge_keeps_snvs_and_unsorted_large_inputs_stop():
    rows = [("S1", "1", 10, "A", "C"), ("S1", "1", 11, "C", "G"), ("S1", "1", 12, "C", "G")]
    assert merged(rows, merge=False) == (sorted((*r, i + 1) for i, r in enumerate(rows)), {})
    assert merged(rows) == ([], {(doublets.MULTI_BASE, "1"): 3})
    assert merged(rows[1:], hold=0, size=1) == ([("S1", "1", 11, "CC", "GG", 1)], {})
    backwards = [("S1", "1", 10, "A", "C"), ("S2", "1", 5, "A", "C"), ("S1", "2", 3, "A", "C"),
                 ("S1", "1", 40, "A", "C")]
    with pytest.raises(Exception) as error:
        merged(backwards, hold=1, size=1)
    assert str(error.value).startswith(
        "calls.maf: line 4: 1:40 of sample S1 comes after a later position of that sample")


# ---- ID83 ----------------------------------------------------------------------------------

def placements_of_deletion(genome, start, length):
    result = genome[:start] + genome[start + length:]
    return [s for s in range(len(genome) - length + 1)
            if genome[:s] + genome[s + length:] == result]


def placements_of_insertion(genome, at, bases):
    result = genome[:at] + bases + genome[at:]
    return [(e, result[e:e + len(bases)]) for e in range(len(genome) + 1)
            if genome[:e] + result[e:e + len(bases)] + genome[e:] == result]


def copies(genome, start, end, unit):
    """Copies of unit ending at `start` (to the left) plus copies starting at `end`."""
    count, length = 0, len(unit)
    left = start
    while left - length >= 0 and genome[left - length:left] == unit:
        count, left = count + 1, left - length
    right = end
    while genome[right:right + length] == unit and right + length <= len(genome):
        count, right = count + 1, right + length
    return count


def id83_model(genome, kind, start, bases):
    """The label from the definitions, the best over every place the caller could have put
    the indel (the class may not depend on that place)."""
    pyrimidine = {"A": "T", "G": "C"}.get(bases[0], bases[0])
    size = min(len(bases), 5)
    if kind == "Del":
        places = placements_of_deletion(genome, start, len(bases))
        if len(bases) == 1:
            s = places[0]
            run_ = len(genome[s:]) - len(genome[s:].lstrip(bases))
            return f"1:Del:{pyrimidine}:{min(run_ - 1, 5)}"
        count = max(copies(genome, s, s + len(bases), genome[s:s + len(bases)]) for s in places)
        if count:
            return f"{size}:Del:R:{min(count, 5)}"
        best = 0
        for s in places:
            unit = genome[s:s + len(bases)]
            for m in range(1, len(unit)):
                if genome[s + len(unit):s + len(unit) + m] == unit[:m] or \
                        (s - m >= 0 and genome[s - m:s] == unit[-m:]):
                    best = max(best, m)
        return f"{size}:Del:M:{min(best, 5)}" if best else f"{size}:Del:R:0"
    if len(bases) == 1:
        left = len(genome[:start]) - len(genome[:start].rstrip(bases))
        right = len(genome[start:]) - len(genome[start:].lstrip(bases))
        return f"1:Ins:{pyrimidine}:{min(left + right, 5)}"
    count = max(copies(genome, e, e, unit) for e, unit in placements_of_insertion(genome, start, bases))
    return f"{size}:Ins:R:{min(count, 5)}"


def window_of(genome):
    codes = np.array(["ACGT".index(b) for b in genome], dtype=np.int16)

    def window(before, after, positions):
        out = np.full((len(positions), before + 1 + after), -1, dtype=np.int16)
        for row, position in enumerate(positions):
            first = position - 1 - before
            lo, hi = max(first, 0), min(position + after, len(genome))
            out[row, lo - first:hi - first] = codes[lo:hi]
        return out
    return window


def written_forms(genome, kind, start, bases):
    """(position, REF, ALT) of the indel as a VCF (anchored on the base before, or after at
    the chromosome start) and as a MAF ('-' alleles) write it."""
    if kind == "Del":
        end = start + len(bases)
        vcf = ((start, genome[start - 1:end], genome[start - 1]) if start else
               (1, genome[:end + 1], genome[end]))
        return [vcf, (start + 1, bases, "-")]
    vcf = ((start, genome[start - 1], genome[start - 1] + bases) if start else
           (1, genome[0], bases + genome[0]))
    return [vcf, (start, "-", bases)]


def seeded_indels(seed):
    """Indels in and beside tandem repeats of random units, with microhomology, at either
    end of the chromosome or inside it."""
    rng = random.Random(seed)
    length = rng.choice([1, 1, 2, 3, 4, 5, 6, 7])
    unit = "".join(rng.choice("ACGT") for _ in range(length))
    repeats = rng.randint(0, 6)
    homology = rng.randint(0, length - 1) if repeats == 0 else 0
    left = "".join(rng.choice("ACGT") for _ in range(rng.choice([0, 0, 1, 3])))
    right = "".join(rng.choice("ACGT") for _ in range(rng.choice([0, 0, 1, 3])))
    kind = rng.choice(["Del", "Ins"])
    middle = unit * (repeats + (kind == "Del")) + unit[:homology]
    genome = left + middle + right
    if len(genome) <= length:  # something must remain of a chromosome
        genome += rng.choice("ACGT")
    where = len(left) + length * rng.randint(0, repeats) + rng.randint(0, length - 1)
    if kind == "Del":
        where = min(where, len(genome) - length)
        return genome, kind, where, genome[where:where + length]
    where = min(where, len(genome))
    return genome, kind, where, unit


def test_every_id83_channel_from_indels_at_repeats_and_chromosome_ends():
    reached = set()
    for seed in range(4000):
        genome, kind, start, bases = seeded_indels(seed)
        expected = id83_model(genome, kind, start, bases)
        forms = written_forms(genome, kind, start, bases)
        position = np.array([f[0] for f in forms], dtype=np.int64)
        codes = id83.classify_indels(np.array([f[1] for f in forms], dtype=object),
                                     np.array([f[2] for f in forms], dtype=object),
                                     lambda before, after, rows: window_of(genome)(
                                         before, after, position[rows]))
        got = [channels.ID83[code] for code in codes]
        assert got == [expected] * len(forms), (genome, kind, start, bases, forms)
        reached.add(expected)
    assert sorted(reached) == sorted(channels.ID83)


def test_indels_read_a_few_at_a_time_keep_their_channels(monkeypatch):
    """Windows are read for as many indels as WINDOW_CELLS bytes hold: classes do not depend
    on how the indels of one width are cut into reads."""
    genome = "".join(random.Random(5).choice("ACGT") for _ in range(400))
    genome = genome[:200] + "CAG" * 30 + genome[200:]  # a long repeat: wider reads
    forms = [form for start in range(0, len(genome) - 12, 7)
             for form in written_forms(genome, "Del" if start % 2 else "Ins",
                                       start, genome[start:start + 1 + start % 11])]
    position = np.array([f[0] for f in forms], dtype=np.int64)
    ref = np.array([f[1] for f in forms], dtype=object)
    alt = np.array([f[2] for f in forms], dtype=object)

    def window(before, after, rows):
        return window_of(genome)(before, after, position[rows])

    whole = id83.classify_indels(ref, alt, window)
    monkeypatch.setattr(id83, "WINDOW_CELLS", 200)
    assert id83.classify_indels(ref, alt, window).tolist() == whole.tolist()
    assert (whole >= 0).all()


@pytest.mark.parametrize("ref, alt, reason", [
    ("ACG", "TT", id83.COMPLEX), ("AC", "GTT", id83.COMPLEX), ("A", "AN", id83.NOT_ACGT_INDEL),
    ("-", "", id83.NOT_ACGT_INDEL), ("", "-", id83.NOT_ACGT_INDEL)])
def test_complex_indels_are_left_out(ref, alt, reason):
    window = window_of("ACGTACGTAC")
    codes = id83.classify_indels(np.array([ref], dtype=object), np.array([alt], dtype=object),
                                 lambda before, after, rows: window(before, after, [3]))
    assert id83.REASONS[-1 - codes[0]] == reason


# ---- through the command -------------------------------------------------------------------

def dbs_model(ref, alt):
    if ref not in CANONICAL:
        ref, alt = revcomp(ref), revcomp(alt)
    label = f"{ref}>{alt}"
    return label if label in channels.DBS78 else f"{ref}>{revcomp(alt)}"


def cohort(seed):
    """A random genome with genes, and MAF rows of SNVs (alone and in runs), doublets and
    indels; with the matrices a plain model expects of them."""
    rng = random.Random(seed)
    genome = {name: "".join(rng.choice("ACGT") for _ in range(300)) for name in ("1", "2")}
    genes = [(rng.choice("12"), rng.randint(1, 250), rng.choice("+-")) for _ in range(6)]
    genes = [(name, start, start + rng.randint(5, 60), sign) for name, start, sign in genes]
    rows, multi = [], 0
    expected = {kind: collections.Counter() for kind in ("SBS96", "SBS384", "DBS78", "ID83")}

    def count(kind, label, sample):
        expected[kind][label, sample] += 1

    def substitution(name, sample, pos, length):
        ref = genome[name][pos - 1:pos - 1 + length]
        alt = "".join(rng.choice([b for b in "ACGT" if b != r]) for r in ref)
        return [name, pos, pos + length - 1, "SNP", ref, ref, alt, sample]

    for sample in ("S1", "S2", "S3"):
        for name in genome:
            for pos in rng.sample(range(5, 290, 6), 25):  # far enough apart not to touch
                what = rng.random()
                if what < 0.5:
                    rows.append(substitution(name, sample, pos, 1))
                    ref, alt = rows[-1][4], rows[-1][6]
                    left, right = genome[name][pos - 2], genome[name][pos]
                    if ref in "AG":
                        left, ref, alt, right = (revcomp(right), revcomp(ref), revcomp(alt),
                                                 revcomp(left))
                    label = f"{left}[{ref}>{alt}]{right}"
                    count("SBS96", label, sample)
                    signs = {sign for g, start, end, sign in genes
                             if g == name and start <= pos <= end}
                    folded_forward = rows[-1][4] in "CT"
                    strand_ = ("N" if not signs else "B" if len(signs) == 2 else
                               "U" if (signs == {"+"}) == folded_forward else "T")
                    count("SBS384", f"{strand_}:{label}", sample)
                elif what < 0.7:  # two SNVs side by side, or one doublet record
                    pair = substitution(name, sample, pos, 2)
                    if rng.random() < 0.5:
                        rows.append(pair)
                    else:
                        rows += [[name, pos, pos, "SNP", pair[4][0], pair[4][0], pair[6][0],
                                  sample],
                                 [name, pos + 1, pos + 1, "SNP", pair[4][1], pair[4][1],
                                  pair[6][1], sample]]
                    count("DBS78", dbs_model(pair[4], pair[6]), sample)
                elif what < 0.8:  # three SNVs side by side: left out
                    rows += [substitution(name, sample, pos + i, 1) for i in range(3)]
                    multi += 3
                else:
                    length = rng.choice([1, 1, 2, 3, 6])
                    if rng.random() < 0.5:
                        bases = genome[name][pos - 1:pos - 1 + length]
                        rows.append([name, pos, pos + length - 1, "DEL", bases, bases, "-",
                                     sample])
                        count("ID83", id83_model(genome[name], "Del", pos - 1, bases), sample)
                    else:
                        bases = "".join(rng.choice("ACGT") for _ in range(length))
                        rows.append([name, pos, pos + 1, "INS", "-", "-", bases, sample])
                        count("ID83", id83_model(genome[name], "Ins", pos, bases), sample)
    rng.shuffle(rows)  # a MAF in no order
    return genome, genes, rows, expected, multi


def read_matrix(path):
    lines = [line.split("\t") for line in path.read_text().splitlines()]
    samples = lines[0][1:]
    return {(line[0], sample): int(value) for line in lines[1:]
            for sample, value in zip(samples, line[1:]) if int(value)}


def vcf_of(rows, genome):
    """The rows as a VCF of the three samples, sorted, indels anchored on the base before."""
    samples = ["S1", "S2", "S3"]
    records = []
    for name, start, _, kind, ref, _, alt, sample in rows:
        if kind == "INS":
            pos, ref, alt = start, genome[name][start - 1], genome[name][start - 1] + alt
        elif kind == "DEL":
            pos, ref, alt = start - 1, genome[name][start - 2] + ref, genome[name][start - 2]
        else:
            pos = start
        genotypes = ["0/1" if other == sample else "0/0" for other in samples]
        records.append((name, pos, ref, alt, genotypes))
    records.sort()
    return ("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t"
            + "\t".join(samples) + "\n" + "".join(
                f"{name}\t{pos}\t.\t{ref}\t{alt}\t.\tPASS\t.\tGT\t" + "\t".join(gt) + "\n"
                for name, pos, ref, alt, gt in records))


@pytest.mark.parametrize("form", ["maf", "vcf"])
def test_matrices_of_every_class_match_the_model(tmp_path, form):
    genome, genes, rows, expected, multi = cohort(7)
    fasta = write_text(tmp_path / "g.fa", "".join(f">{n}\n{b}\n" for n, b in genome.items()))
    gtf = write_text(tmp_path / "genes.gtf", "".join(
        f"chr{name}\tt\tgene\t{start}\t{end}\t.\t{sign}\t.\tgene_id \"g{i}\";\n"
        for i, (name, start, end, sign) in enumerate(genes)))
    status, _, stderr = run("reference", fasta, tmp_path / "ref", "--build", "GRCh38",
                            "--annotation", gtf)
    assert status == 0, stderr
    maf = write_text(tmp_path / "calls.maf", "\t".join(MAF_HEADER) + "\n" + "".join(
        "\t".join(map(str, ["G", *row, "GRCh38"])) + "\n" for row in rows))
    if form == "vcf":
        maf = write_text(tmp_path / "calls.vcf.gz", vcf_of(rows, genome))
    status, _, stderr = run("matrix", maf, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
                            "--types", "SBS96,SBS384,SBS192,DBS78,ID83")
    assert status == 0, stderr
    for kind, counts in expected.items():
        assert read_matrix(tmp_path / f"m.{kind}.tsv") == counts, kind
    sbs192 = {(label, sample): n for (label, sample), n in expected["SBS384"].items()
              if label[0] in "TU"}
    assert read_matrix(tmp_path / "m.SBS192.tsv") == sbs192
    assert f"left out {multi} records: multi-base substitution (three or more adjacent bases)" \
        in stderr
    # SBS96 alone counts the same substitutions: adjacent SNVs are still doublets
    status, _, stderr = run("matrix", maf, "--reference", tmp_path / "ref", "-o", tmp_path / "s",
                            "--types", "SBS96")
    assert (status, read_matrix(tmp_path / "s.SBS96.tsv")) == (0, expected["SBS96"]), stderr
    status, _, stderr = run("matrix", maf, "--reference", tmp_path / "ref", "-o", tmp_path / "n",
                            "--no-merge-doublets")
    assert status == 0, stderr
    snvs = sum(1 for row in rows if row[3] == "SNP" and len(row[4]) == 1)
    assert sum(read_matrix(tmp_path / "n.SBS96.tsv").values()) == snvs
    doublet_records = sum(1 for row in rows if row[3] == "SNP" and len(row[4]) == 2)
    assert sum(read_matrix(tmp_path / "n.DBS78.tsv").values()) == doublet_records


def test_strand_matrices_need_an_annotated_reference_and_classes_are_written_when_present(
        tmp_path):
    bases = "ACGTTGCAACGGTACCATGA"
    fasta = write_text(tmp_path / "g.fa", f">1\n{bases}\n")
    status, _, stderr = run("reference", fasta, tmp_path / "ref", "--build", "GRCh38")
    assert status == 0, stderr
    table = write_text(tmp_path / "t.tsv", "S\tP\t.\tGRCh38\tSNV\t1\t5\t5\tT\tA\n")
    status, _, stderr = run("matrix", table, "--reference", tmp_path / "ref", "-o", tmp_path / "m",
                            "--types", "SBS96,SBS192")
    assert (status, stderr) == (2, (
        f"mutflank matrix: error: SBS192 needs a reference with transcription strands: "
        f"{tmp_path / 'ref' / 'GRCh38'} has none (write it with mutflank reference "
        "--annotation GENES.gtf)\n"))
    status, _, stderr = run("matrix", table, "--reference", tmp_path / "ref", "-o", tmp_path / "m")
    assert status == 0, stderr
    assert sorted(path.name for path in tmp_path.glob("m.*")) == [
        "m.SBS1536.tsv", "m.SBS6.tsv", "m.SBS96.tsv"]
    write_text(tmp_path / "t.tsv", "S\tP\t.\tGRCh38\tSNV\t1\t5\t5\tT\tA\n"
               "S\tP\t.\tGRCh38\tDEL\t1\t9\t10\tACG\tA\n")
    status, _, stderr = run("matrix", table, "--reference", tmp_path / "ref", "-o", tmp_path / "m")
    assert status == 0, stderr
    assert sorted(path.name for path in tmp_path.glob("m.*")) == [
        "m.ID83.tsv", "m.SBS1536.tsv", "m.SBS6.tsv", "m.SBS96.tsv"]
    assert read_matrix(tmp_path / "m.ID83.tsv") == {("2:Del:R:0", "S"): 1}
    # doublets at both ends of the chromosome: one record, and two SNVs merged
    write_text(tmp_path / "t.tsv", "S\tP\t.\tGRCh38\tDBS\t1\t1\t2\tAC\tGT\n"
               "S\tP\t.\tGRCh38\tSNV\t1\t19\t19\tG\tT\nS\tP\t.\tGRCh38\tSNV\t1\t20\t20\tA\tC\n")
    status, _, stderr = run("matrix", table, "--reference", tmp_path / "ref", "-o", tmp_path / "d")
    assert status == 0, stderr
    assert sorted(path.name for path in tmp_path.glob("d.*")) == [
        "d.DBS78.tsv", "d.SBS1536.tsv", "d.SBS6.tsv", "d.SBS96.tsv"]
    assert read_matrix(tmp_path / "d.DBS78.tsv") == {("AC>GT", "S"): 1, ("TC>GA", "S"): 1}
