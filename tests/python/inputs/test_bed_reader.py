"""The engine's BED reader (behind read_regions) against a plain model of the rules, on seeded
texts: CRLF and bare line ends, blanks of every kind, comments, track and browser lines,
coordinates past every chromosome, malformed lines; from a plain file, gzip, BGZF-like
members and a pipe."""

import gzip
import random

import numpy as np
import pytest
from cli_support import piped

pytest.importorskip("mutflank_tools")  # not installed under make sanitize

from mutflank_tools.runtime.errors import InputError  # noqa: E402
from mutflank_tools.inputs.regions import FAR, MAX_LINE, merge, read_regions  # noqa: E402


def model(data):
    """({name: (starts, ends)} merged, the intervals read), or the message of the first line
    at fault (after the file's name): the rules written out one line at a time."""
    read = {}
    count = 0
    for number, line in enumerate(data.split(b"\n"), start=1):
        if len(line) > MAX_LINE:
            return f"line {number}: longer than {MAX_LINE:,} bytes: not a BED file"
        fields = line.split()
        if not fields or fields[0].startswith((b"#", b"track", b"browser")):
            continue
        if len(fields) < 3:
            return (f"line {number}: {len(fields)} field{'s' if len(fields) > 1 else ''}"
                    ", a BED line has at least 3: chromosome, start, end")
        for what, text in (("start", fields[1]), ("end", fields[2])):
            if not text.isdigit():
                shown = repr(text.decode("utf-8", "replace")[:40])
                return f"line {number}: {what} {shown} is not a whole number of 0 or more"
        start, end = min(int(fields[1]), FAR), min(int(fields[2]), FAR)
        if end < start:
            return f"line {number}: end {end} is before start {start}"
        read.setdefault(fields[0].decode(), []).append((start, end))
        count += 1
    if not count:
        return "no interval: a BED file has lines of chromosome, start and end"
    merged = {name: merge([s for s, _ in pairs], [e for _, e in pairs])
              for name, pairs in read.items()}
    return {name: (s.tolist(), e.tolist()) for name, (s, e) in merged.items()}, count


GOOD = [b"chr1\t{a}\t{b}", b"1 {a} {b} name 0 +", b"\x0bX\x0c{a}\t\t{b}\r", b"chrM\t{a}\t{b}\t",
        b"  2\t{a}\t{b}", b"chr1\t{a}\t{b}{huge}"]
QUIET = [b"", b"\r", b" \t ", b"# comment", b"track name=x", b"browser position 1", b"  #x",
         b"tracked 1 2"]
BAD = [b"chr1\t{a}", b"chr1", b"chr1\t-{a}\t{b}", b"chr1\t{a}\t{b}.5", b"chr1\t{b}\t{a}",
       b"chr1\t1e3\t{b}", "chr1\t{a}\t\u00e9\u00e9".encode(), b"chr1\t{a}\t\xff\xfe"]


def seeded_text(seed, bad):
    """A BED text of a few hundred lines, with a malformed line near the end when `bad`."""
    rng = random.Random(seed)
    lines = []
    for _ in range(rng.randrange(50, 400)):
        pattern = rng.choice(GOOD) if rng.random() < 0.8 else rng.choice(QUIET)
        a = rng.randrange(0, 5000)
        b = a + rng.randrange(0, 300)
        huge = b"9" * rng.randrange(19, 25) if rng.random() < 0.1 else b""
        lines.append(pattern.replace(b"{a}", str(a).encode()).replace(b"{b}", str(b).encode())
                     .replace(b"{huge}", huge))
    if bad:
        a = rng.randrange(1, 5000)
        lines.insert(len(lines) - rng.randrange(0, 5), rng.choice(BAD).replace(
            b"{a}", str(a).encode()).replace(b"{b}", str(a + rng.randrange(1, 9)).encode()))
    end = rng.choice([b"\n", b"\r\n"])
    return end.join(lines) + (end if rng.random() < 0.5 else b"")


def read(path):
    """What read_regions gives, as the model does (a message without the file's name)."""
    try:
        found = read_regions(path)
    except InputError as error:
        assert str(error).startswith(f"{path}: ")
        return str(error)[len(path) + 2:]
    return {name: (s.tolist(), e.tolist()) for name, (s, e) in found.intervals.items()}, \
        found.lines


def through_pipe(data):
    with piped(data) as name:
        return read(name)


@pytest.mark.parametrize("bad", [False, True], ids=["sound", "malformed"])
@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("how", ["plain", "gzip", "members", "pipe"])
def test_reader_follows_the_rules(tmp_path, seed, bad, how):
    data = seeded_text(seed * 2 + bad, bad)
    expected = model(data)
    if how == "gzip":
        data = gzip.compress(data, mtime=0)
    elif how == "members":  # several gzip members, as bgzip writes them
        data = b"".join(gzip.compress(data[at:at + 700], mtime=0)
                        for at in range(0, len(data), 700))
    if how == "pipe":
        found = through_pipe(data)
    else:
        path = tmp_path / "r.bed"
        path.write_bytes(data)
        found = read(str(path))
    assert found == expected
    assert isinstance(found, str) == bad


def test_a_long_line_that_ends_the_file_without_a_line_feed(tmp_path):
    path = tmp_path / "r.bed"
    path.write_bytes(b"1\t0\t5\n" + b"x" * (MAX_LINE + 1))
    assert read(str(path)) == f"line 2: longer than {MAX_LINE:,} bytes: not a BED file"


def test_a_cut_gzip_file_names_the_last_line_read(tmp_path):
    """Text read before the gzip data ends early counts: the message says after which line."""
    data = b"".join(f"1\t{i}\t{i + 1}\n".encode() for i in range(400_000))
    path = tmp_path / "r.bed.gz"
    path.write_bytes(gzip.compress(data, mtime=0)[:-4000])
    message = read(str(path))
    number = int(message.split("after line ")[1].split(":")[0])
    assert 0 < number < 400_000
    assert message == (f"cannot read after line {number}: not a valid, complete gzip "
                       "file")


def test_names_come_in_any_order_and_interleave(tmp_path):
    path = tmp_path / "r.bed"
    path.write_text("b\t5\t9\na\t0\t2\nb\t0\t3\nc\t1\t1\na\t2\t4\n")
    assert read(str(path)) == ({"b": ([0, 5], [3, 9]), "a": ([0], [4]),
                                "c": ([], [])}, 5)
    assert np.asarray(read_regions(str(path)).intervals["a"][0]).dtype == np.int64
