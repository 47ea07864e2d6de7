#!/usr/bin/python3
"""Deterministic benchmark data for mutflank.

    generate.py [--scale S] [--out DIR]

Writes into DIR/scale-S (default DIR: bench/.data, which git ignores):

- ref/GRCh37/<chrom>.txt and ref/GRCh38/<chrom>.txt: at scale 1 about 300 MB of
  reference over five chromosomes, one byte per base; bytes 0..15, with runs of 16..19
  (N) at each chromosome start.
- tables/table_NN.tsv: at scale 1, 1,000,000 lines over 10 files. Each file starts with
  a header line; about 75% of the lines are kept records (SNP or SNV on GRCh37 or GRCh38,
  half of them with a G or A reference allele), the rest are skipped kinds: other
  mutation types, other builds, multi-base alternates, alternates equal to the reference.
  Positions are at least 10 bases from either chromosome end.
- skipped.tsv: at scale 1 about 200 MB whose lines are all skipped kinds, to time scanning.
- kept.tsv: one line per kept record (table index, line index, build, chromosome,
  position), in table and line order, for the I/O floor.
- manifest.json: sizes and counts; written last, so its presence means the data is whole.

Derived from these, when asked for (`small_tables`, `deep_root`):

- small/table_NN_MMMM.tsv: the tables cut into files of 100 lines (the same records, the
  header in the first file of each table), listed in small/tables.txt, with small/kept.tsv
  the kept records renumbered into them.
- deep/1/2/3/4/5/6: a second reference root 6 folders deeper than ref, whose files are hard
  links to those of ref (the same inodes, so the same page cache).

The same scale always gives the same bytes; existing complete data is reused.
"""

import argparse
import json
import os
import shutil
import sys

import numpy as np

VERSION = 1  # bump when the data layout or content changes
SEED = 20240611
CHROMOSOMES = ("1", "2", "3", "X", "Y")
CHROMOSOME_SHARE = (0.26, 0.23, 0.21, 0.17, 0.13)
REFERENCE_BYTES = 300_000_000  # both builds together, at scale 1
TABLE_LINES = 1_000_000
TABLE_FILES = 10
SKIPPED_BYTES = 200_000_000
KEPT_SHARE = 0.75
START_RUN = 10_000  # N bytes (16..19) at the start of each chromosome, at scale 1
MARGIN = 10  # positions stay this many bases away from either chromosome end
HEADER = "donor\tsample\tmutation\tbuild\ttype\tchromosome\tstart\tend\tref\talt"
BUILDS = ("GRCh37", "GRCh38")
BASES = np.array(list("ACGT"))

DEFAULT_OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".data")


def data_dir(scale, out=DEFAULT_OUT):
    return os.path.join(out, f"scale-{scale:g}")


def chromosome_lengths(scale):
    per_build = REFERENCE_BYTES * scale / len(BUILDS)
    return {c: max(int(per_build * share), 1000) for c, share in zip(CHROMOSOMES, CHROMOSOME_SHARE)}


def write_reference(folder, rng, lengths, scale):
    chunk = 1 << 24
    for build in BUILDS:
        os.makedirs(os.path.join(folder, build), exist_ok=True)
        for chrom, length in lengths.items():
            start_run = min(max(int(START_RUN * scale), 50), length // 10)
            with open(os.path.join(folder, build, f"{chrom}.txt"), "wb") as out:
                out.write(rng.integers(16, 20, start_run, dtype=np.uint8).tobytes())
                left = length - start_run
                while left:
                    n = min(chunk, left)
                    out.write(rng.integers(0, 16, n, dtype=np.uint8).tobytes())
                    left -= n


def kept_records(rng, n, lengths):
    """Columns of n kept records: build, type, chromosome, position, ref, alt."""
    chroms = np.array(CHROMOSOMES)[rng.integers(0, len(CHROMOSOMES), n)]
    upper = np.array([lengths[c] for c in chroms]) - MARGIN
    positions = rng.integers(MARGIN + 1, upper + 1)
    # Half purine references (folded), half pyrimidine.
    purine = rng.random(n) < 0.5
    refs = np.where(purine, np.where(rng.random(n) < 0.5, "G", "A"),
                    np.where(rng.random(n) < 0.5, "C", "T"))
    # An alternate different from the reference: shift by 1..3 within ACGT.
    ref_index = np.searchsorted(np.array(list("ACGT")), refs)
    alts = BASES[(ref_index + rng.integers(1, 4, n)) % 4]
    builds = np.array(BUILDS)[rng.integers(0, 2, n)]
    types = np.where(rng.random(n) < 0.7, "SNP", "SNV")
    return builds, types, chroms, positions, refs, alts


SKIP_KINDS = ("type", "build", "alt", "equal")
OTHER_TYPES = ("DBS", "INDEL", "MNV", "snp", "SNV ")
OTHER_BUILDS = ("hg19", "GRCh37.p13", "grch38", "NCBI36")
MULTI_ALTS = ("AC", "GT", "-", "TTA", "N")


def skipped_records(rng, n, lengths):
    """Columns of n records that are skipped, in about equal shares of each kind."""
    builds, types, chroms, positions, refs, alts = kept_records(rng, n, lengths)
    kinds = rng.integers(0, len(SKIP_KINDS), n)
    types = np.where(kinds == 0, np.array(OTHER_TYPES)[rng.integers(0, len(OTHER_TYPES), n)],
                     types)
    builds = np.where(kinds == 1,
                      np.array(OTHER_BUILDS)[rng.integers(0, len(OTHER_BUILDS), n)], builds)
    alts = np.where(kinds == 2, np.array(MULTI_ALTS)[rng.integers(0, len(MULTI_ALTS), n)], alts)
    alts = np.where(kinds == 3, refs, alts)
    return builds, types, chroms, positions, refs, alts


def format_lines(rng, columns, first_id):
    builds, types, chroms, positions, refs, alts = columns
    n = len(builds)
    donors = rng.integers(1, 2500, n)
    samples = rng.integers(1, 9000, n)
    return [
        f"DO{d}\tSA{s}\tMU{first_id + i}\t{b}\t{t}\t{c}\t{p}\t{p}\t{r}\t{a}"
        for i, (d, s, b, t, c, p, r, a) in enumerate(
            zip(donors.tolist(), samples.tolist(), builds.tolist(), types.tolist(),
                chroms.tolist(), positions.tolist(), refs.tolist(), alts.tolist()))
    ]


def write_tables(folder, rng, lengths, scale):
    os.makedirs(os.path.join(folder, "tables"), exist_ok=True)
    lines_per_file = max(int(TABLE_LINES * scale) // TABLE_FILES, 10)
    kept_lines = []
    tables = []
    next_id = 1
    for t in range(TABLE_FILES):
        n = lines_per_file - 1  # the header comes first
        is_kept = rng.random(n) < KEPT_SHARE
        kept = kept_records(rng, int(is_kept.sum()), lengths)
        skipped = skipped_records(rng, n - int(is_kept.sum()), lengths)
        columns = [np.empty(n, dtype=object) for _ in range(6)]
        for column, k, s in zip(columns, kept, skipped):
            column[is_kept] = k
            column[~is_kept] = s
        lines = [HEADER] + format_lines(rng, columns, next_id)
        next_id += n
        # CRLF in one table in five, as spreadsheets write them.
        newline = "\r\n" if t % 5 == 4 else "\n"
        name = os.path.join(folder, "tables", f"table_{t:02d}.tsv")
        with open(name, "w", newline="") as out:
            out.write(newline.join(lines) + newline)
        tables.append(name)
        for line_index in np.flatnonzero(is_kept).tolist():
            b, c, p = columns[0][line_index], columns[2][line_index], columns[3][line_index]
            kept_lines.append(f"{t}\t{line_index + 1}\t{b}\t{c}\t{p}\n")
    with open(os.path.join(folder, "kept.tsv"), "w") as out:
        out.writelines(kept_lines)
    return tables, len(kept_lines), lines_per_file * TABLE_FILES


def write_skipped(folder, rng, lengths, scale):
    target = int(SKIPPED_BYTES * scale)
    written = 0
    lines = 0
    chunk = 100_000
    with open(os.path.join(folder, "skipped.tsv"), "w") as out:
        out.write(HEADER + "\n")
        while written < target:
            text = "\n".join(format_lines(rng, skipped_records(rng, chunk, lengths), lines))
            text += "\n"
            if written + len(text) > target:  # whole lines, up to the target
                text = text[:text.rfind("\n", 0, target - written) + 1]
                if not text:
                    break
            out.write(text)
            written += len(text)
            lines += text.count("\n")
    return written


def generate(scale, out=DEFAULT_OUT, quiet=False):
    """Makes (or reuses) the data of one scale; returns its manifest."""
    folder = data_dir(scale, out)
    manifest_path = os.path.join(folder, "manifest.json")
    if os.path.exists(manifest_path):
        with open(manifest_path) as f:
            manifest = json.load(f)
        if manifest.get("version") == VERSION:
            return manifest
    if os.path.exists(folder):
        shutil.rmtree(folder)
    if not quiet:
        print(f"generating benchmark data at scale {scale:g} in {folder} ...", file=sys.stderr)
    rng = np.random.default_rng([SEED, int(scale * 1_000_000)])
    lengths = chromosome_lengths(scale)
    write_reference(os.path.join(folder, "ref"), rng, lengths, scale)
    tables, kept, lines = write_tables(folder, rng, lengths, scale)
    skipped_bytes = write_skipped(folder, rng, lengths, scale)
    manifest = {
        "version": VERSION,
        "scale": scale,
        "reference": "ref",
        "reference_bytes": sum(lengths.values()) * len(BUILDS),
        "tables": [os.path.relpath(t, folder) for t in tables],
        "table_lines": lines,
        "table_bytes": sum(os.path.getsize(t) for t in tables),
        "kept": kept,
        "skipped": "skipped.tsv",
        "skipped_bytes": skipped_bytes,
    }
    with open(manifest_path + ".tmp", "w") as f:
        json.dump(manifest, f, indent=1)
    os.replace(manifest_path + ".tmp", manifest_path)
    return manifest


SMALL_LINES = 100
DEEP_FOLDERS = ("1", "2", "3", "4", "5", "6")


def small_tables(folder, manifest, lines=SMALL_LINES):
    """Cuts the tables into files of `lines` lines (once); returns the list of their paths
    and the path of their kept-record list (the format of kept.tsv)."""
    small = os.path.join(folder, "small")
    listing = os.path.join(small, "tables.txt")
    kept_path = os.path.join(small, "kept.tsv")
    if not os.path.exists(listing):
        if os.path.exists(small):
            shutil.rmtree(small)
        os.makedirs(small)
        paths = []
        first_piece = []  # per table, the index of its first small file
        for t, table in enumerate(manifest["tables"]):
            first_piece.append(len(paths))
            with open(os.path.join(folder, table), "rb") as f:
                content = f.read()
            pieces = content.splitlines(keepends=True)  # tables hold no lone carriage return
            for start in range(0, len(pieces), lines):
                path = os.path.join(small, f"table_{t:02d}_{start // lines:04d}.tsv")
                with open(path, "wb") as out:
                    out.write(b"".join(pieces[start:start + lines]))
                paths.append(path)
        with open(os.path.join(folder, "kept.tsv")) as kept, open(kept_path, "w") as out:
            for line in kept:
                t, index, rest = line.split("\t", 2)
                piece = first_piece[int(t)] + int(index) // lines
                out.write(f"{piece}\t{int(index) % lines}\t{rest}")
        with open(listing + ".tmp", "w") as out:
            out.writelines(path + "\n" for path in paths)
        os.replace(listing + ".tmp", listing)  # last: its presence means the cut is whole
    with open(listing) as f:
        return [line.rstrip("\n") for line in f], kept_path


def deep_root(folder, manifest):
    """A reference root 6 folders deeper than the shallow one, of hard links to its files."""
    deep = os.path.join(folder, "deep", *DEEP_FOLDERS)
    done = os.path.join(folder, "deep", "complete")
    if not os.path.exists(done):
        if os.path.exists(os.path.join(folder, "deep")):
            shutil.rmtree(os.path.join(folder, "deep"))
        shallow = os.path.join(folder, manifest["reference"])
        for build in sorted(os.listdir(shallow)):
            os.makedirs(os.path.join(deep, build))
            for name in sorted(os.listdir(os.path.join(shallow, build))):
                os.link(os.path.join(shallow, build, name), os.path.join(deep, build, name))
        open(done, "w").close()
    return deep


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--out", default=DEFAULT_OUT)
    args = parser.parse_args()
    print(json.dumps(generate(args.scale, args.out), indent=1))


if __name__ == "__main__":
    main()
