"""The quick road of the VCF reader: a block of record lines read column by column with NumPy.

It takes the lines of the common shape: exactly the header's number of fields, plain ASCII,
POS of 1 to 18 digits, one-letter REF and ALT, FORMAT "GT" or "GT:..." (without PS where a
genotype is phased), and genotypes of one or two single-digit alleles (0/1, 1|1, ./1, 1) that
name no allele beyond the one ALT. Every
other line of the block goes through the line-by-line road (VcfRecords._record), which also
names the line of any fault; the records of both come out in line order."""

import numpy as np

from .records import NO_CARRIER, NOT_PASS, NOT_VARIANT
from .stream import MAX_FIELD_BYTES

_UPPER = np.array([chr(code).upper() for code in range(256)], dtype=object)
_LETTER = np.zeros(256, dtype=bool)
_LETTER[np.frombuffer(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", np.uint8)] = True
_ALLELE = np.full(256, -1, dtype=np.int8)  # digit -> its value, '.' -> 10 (missing), else -1
_ALLELE[np.frombuffer(b"0123456789", np.uint8)] = np.arange(10)
_ALLELE[ord(".")] = 10
_SEPARATOR = np.zeros(256, dtype=bool)
_SEPARATOR[[ord("/"), ord("|")]] = True


def _texts(data, array, starts, ends):
    """The fields data[starts[i]:ends[i]] as an object array of str (ASCII), decoding each
    distinct field once. Fields are told apart by a 64-bit hash of their bytes (checked byte
    for byte: a collision falls back to comparing the bytes)."""
    lengths = ends - starts
    count = len(starts)
    if not count:
        return np.empty(0, dtype=object)
    width = int(lengths.max())
    if width > 48 or count < 64:
        return np.array([data[s:e].decode("ascii") for s, e in zip(starts.tolist(),
                                                                     ends.tolist())],
                        dtype=object)
    if (lengths == width).all():  # one value throughout ('.', PASS, a single chromosome)?
        places = np.arange(width)
        first = array[starts[0]:starts[0] + width]
        if (array[starts[:, None] + places] == first).all():
            names = np.empty(count, dtype=object)
            names.fill(data[starts[0]:starts[0] + width].decode("ascii"))
            return names
    padded_width = -(-(width + 1) // 8) * 8  # the length is the last byte
    places = np.arange(padded_width)
    at = np.minimum(starts[:, None] + places, len(array) - 1)
    cells = np.where(places < lengths[:, None], array[at], 0).astype(np.uint8)
    cells[:, -1] = lengths
    changed = np.ones(count, dtype=bool)
    changed[1:] = (cells[1:] != cells[:-1]).any(axis=1)
    if changed.sum() * 4 < count:  # runs of one value (a sorted CHROM): decode at the changes
        heads = np.flatnonzero(changed)
        inverse = np.cumsum(changed) - 1
    else:
        words = cells.view(np.uint64)
        hashes = np.full(count, 0x9E3779B97F4A7C15, dtype=np.uint64)
        for column in range(words.shape[1]):
            hashes = (hashes ^ words[:, column]) * np.uint64(0xBF58476D1CE4E5B9)
            hashes ^= hashes >> np.uint64(31)
        _, heads, inverse = np.unique(hashes, return_index=True, return_inverse=True)
        if not (cells == cells[heads][inverse]).all():
            keys = cells.view(f"V{padded_width}").ravel()
            _, heads, inverse = np.unique(keys, return_index=True, return_inverse=True)
    names = np.array([data[s:e].decode("ascii") for s, e in zip(starts[heads].tolist(),
                                                                 ends[heads].tolist())],
                     dtype=object)
    return names[inverse]


class Fields:
    """The lines of a block of whole lines (ending with a line feed) that have exactly `width`
    tab-separated fields and only ASCII bytes without carriage returns: `rows` (their indexes
    among all `count` lines), `starts` and `ends` (rows x width byte offsets), `lengths`."""

    def __init__(self, data, width):
        self.data = data
        self.padded = np.frombuffer(data + b"\0\0\0\0", dtype=np.uint8)  # reads past a field
        self.array = array = self.padded[:-4]
        line_ends = np.flatnonzero(array == 10)
        self.count = count = len(line_ends)
        self.rows = np.zeros(0, dtype=np.int64)
        if not count or array[-1] != 10:
            return
        line_starts = np.empty(count, dtype=np.int64)
        line_starts[0] = 0
        line_starts[1:] = line_ends[:-1] + 1
        tabs = np.flatnonzero(array == 9)
        per_line = np.diff(np.searchsorted(tabs, np.append(line_starts, len(array))))
        good = per_line == width - 1
        bad_bytes = (array >= 128) | (array == 13)
        if bad_bytes.any():
            good[np.searchsorted(line_ends, np.flatnonzero(bad_bytes))] = False
        self.rows = rows = np.flatnonzero(good)
        # The tabs of line i are tabs[first_tab[i]:].
        first_tab = np.searchsorted(tabs, line_starts[rows])
        tab_at = tabs[first_tab[:, None] + np.arange(width - 1)]
        self.starts = starts = np.empty((len(rows), width), dtype=np.int64)
        self.ends = ends = np.empty((len(rows), width), dtype=np.int64)
        starts[:, 0] = line_starts[rows]
        starts[:, 1:] = tab_at + 1
        ends[:, :-1] = tab_at
        ends[:, -1] = line_ends[rows]
        self.lengths = ends - starts

    def byte(self, column, offset=0):
        return self.padded[np.minimum(self.starts[:, column] + offset, len(self.array))]

    def number(self, column):
        """(value, whether it is 1 to 18 plain digits and not 0) of a column, per row."""
        size = self.lengths[:, column]
        ok = (size >= 1) & (size <= 18)
        size = np.where(ok, size, 0)
        places = np.arange(max(int(size.max()), 1))
        inside = places < size[:, None]
        digit = self.padded[np.minimum(self.starts[:, column][:, None] + places,
                                       len(self.array))].astype(np.int64) - 48
        ok &= ((digit >= 0) & (digit <= 9) | ~inside).all(axis=1)
        powers = np.where(inside, size[:, None] - 1 - places, 0)
        value = (np.where(inside, digit, 0) * 10 ** powers).sum(axis=1)
        return value, ok & (value > 0)

    def texts(self, column, keep=None):
        """The column's fields as an object array of str (of the rows kept)."""
        starts, ends = self.starts[:, column], self.ends[:, column]
        if keep is not None:
            starts, ends = starts[keep], ends[keep]
        return _texts(self.data, self.array, starts, ends)


def columns_of_block(parser, first, data):
    """(columns of the quick lines' records, line numbers of the other lines, left-out
    records as [(reason, chromosomes)]) of a block of whole lines ending with a line feed;
    None when the block has no quick line. The columns are a dict of arrays as Records
    takes them."""
    width = parser.width
    fields = Fields(data, width)
    rows, count = fields.rows, fields.count
    if not len(rows):
        return None
    padded, array, byte = fields.padded, fields.array, fields.byte
    starts, ends, lengths = fields.starts, fields.ends, fields.lengths
    digits, ok = fields.number(1)  # POS
    # One-letter REF and ALT, a non-empty CHROM.
    ok &= (lengths[:, 3] == 1) & (lengths[:, 4] == 1) & _LETTER[byte(3)] & _LETTER[byte(4)]
    ok &= (lengths[:, 0] > 0) & (lengths[:, [0, 2, 6]].max(axis=1) <= MAX_FIELD_BYTES)
    # FORMAT: GT first.
    fmt = lengths[:, 8]
    ok &= (byte(8) == ord("G")) & (byte(8, 1) == ord("T")) & (
        (fmt == 2) | ((fmt > 2) & (byte(8, 2) == ord(":"))))
    # Genotypes of the taken sample columns: their first four bytes, at once.
    if len(parser.taken) == width - 9:  # every sample: slices, not copies
        field_len, field_start = lengths[:, 9:], starts[:, 9:]
    else:
        taken = 9 + np.asarray(parser.taken, dtype=np.int64)
        field_len, field_start = lengths[:, taken], starts[:, taken]
    first_allele = _ALLELE[padded[field_start]]
    second_byte = padded[field_start + 1]
    third = _ALLELE[padded[field_start + 2]]
    haploid = (field_len >= 1) & (first_allele >= 0) & ((field_len == 1) | (second_byte == 58))
    diploid = (field_len >= 3) & (first_allele >= 0) & _SEPARATOR[second_byte] & (third >= 0) & (
        (field_len == 3) | (padded[field_start + 3] == 58))
    second_allele = np.where(diploid, third, 10)
    # Alleles beyond the one ALT (2..9) go the long way, which names the fault.
    ok &= ((haploid | diploid) & ((first_allele < 2) | (first_allele > 9)) &
           ((second_allele < 2) | (second_allele > 9))).all(axis=1)
    # Phased genotypes (0|1) of a FORMAT with more than GT may have a phase set (PS): those
    # lines go the long way, which reads it.
    phased = diploid & (second_byte == ord("|"))
    longer = ok & (fmt > 2) & phased.any(axis=1)
    if longer.any():
        for row in np.flatnonzero(longer).tolist():
            if b"PS" in data[starts[row, 8]:ends[row, 8]].split(b":"):
                ok[row] = False
    quick = rows[ok]
    is_slow = np.ones(count, dtype=bool)
    is_slow[quick] = False
    slow = np.flatnonzero(is_slow)
    if not len(quick):
        return None
    starts, ends, digits = starts[ok], ends[ok], digits[ok]
    carried = ((first_allele == 1) | (second_allele == 1))[ok]
    # records.phase_code without a phase set: the haplotypes of allele 1, where phased.
    phase = np.where(phased, (first_allele == 1) * 1 + (second_allele == 1) * 2, 0)[ok]

    chromosomes = _texts(data, array, starts[:, 0], ends[:, 0])
    left_out = []
    keep = np.ones(len(quick), dtype=bool)
    if parser.pass_only:
        flen = ends[:, 6] - starts[:, 6]
        f0 = array[starts[:, 6]]
        passing = ((flen == 1) & (f0 == ord("."))) | (
            (flen == 4) & (f0 == ord("P")) & (array[starts[:, 6] + 1] == ord("A")) &
            (padded[starts[:, 6] + 2] == ord("S")) & (padded[starts[:, 6] + 3] == ord("S")))
        left_out.append((NOT_PASS, chromosomes[~passing]))
        keep &= passing
    ref_byte, alt_byte = array[starts[:, 3]], array[starts[:, 4]]
    same = (ref_byte | 32) == (alt_byte | 32)
    left_out.append((NOT_VARIANT, chromosomes[keep & same]))
    keep &= ~same
    nobody = keep & ~carried.any(axis=1)
    left_out.append((NO_CARRIER, chromosomes[nobody]))
    keep &= ~nobody

    line_index, column = np.nonzero(carried & keep[:, None])
    names = parser.sample_array
    filters = _texts(data, array, starts[:, 6], ends[:, 6])
    ids = _texts(data, array, starts[:, 2], ends[:, 2])
    result = {
        "sample": names[column],
        "chromosome": chromosomes[line_index],
        "position": digits[line_index].astype(np.uint64),
        "ref": _UPPER[ref_byte[line_index]],
        "alt": _UPPER[alt_byte[line_index]],
        "filter": filters[line_index],
        "line": (quick[line_index] + first - parser.offset).astype(np.int64),
        "id": ids[line_index],
        "phase": phase[line_index, column].astype(np.int64),
    }
    return result, slow, left_out
