"""Blocks of whole lines split into fields with NumPy: the table reader's quick road
(mutation_tables.py), and the texts of a column decoded once per distinct value."""

import numpy as np

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


