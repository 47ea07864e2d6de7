"""The Python VCF reader that the engine's scanner replaced, kept as the model it is tested
against (test_vcf_engine.py): record lines read line by line, and blocks of common lines
column by column with NumPy (columns_of_block), over the package's opened Input and header.

A genotype carries the alleles it names: 0/1, 0|1, 1 (haploid) and the half call ./1 carry
allele 1; 1/2 carries 1 and 2. A phased diploid genotype (0|1, 1|0, 1|2, .|1) also says which
haplotype carries each allele, within its phase set (PS, where the sample gives one).

The quick road takes the lines of the common shape: exactly the header's number of fields,
plain ASCII, POS of 1 to 18 digits, one-letter REF and ALT, FORMAT "GT" or "GT:..." (without
PS where a genotype is phased), and genotypes of one or two single-digit alleles (0/1, 1|1,
./1, 1) that name no allele beyond the one ALT. Every other line of the block goes through the
line-by-line road (_record), which also names the line of any fault; the records of both come
out in line order."""

import collections

import numpy as np

from mutflank_tools.inputs.records import (NO_CARRIER, NOT_PASS, NOT_VARIANT, LeftOut,
                                           Records, allele_fault, phase_code)
from mutflank_tools.inputs.stream import MAX_FIELD_BYTES
from mutflank_tools.inputs.vcf import VcfRecords
from mutflank_tools.runtime.errors import shown
from mutflank_tools.inputs.fields import Fields, _texts

MAX_POSITION = 2**64 - 1
_GENOTYPE_CACHE = 4096


class Genotypes:
    """Genotype text -> the allele numbers it names (cached)."""

    def __init__(self):
        self._known = {}

    def alleles(self, text):
        found = self._known.get(text)
        if found is None:
            numbers = set()
            for part in text.replace(b"|", b"/").split(b"/"):
                if part == b"." or part == b"":
                    continue
                if not (part.isdigit() and part.isascii()):
                    return None
                numbers.add(int(part))
            found = frozenset(numbers)
            if len(self._known) >= _GENOTYPE_CACHE:
                self._known.clear()
            self._known[text] = found
        return found

    @staticmethod
    def haplotypes(text):
        """{allele number: haplotype bits (1 first, 2 second)} of a phased diploid genotype
        (a|b of two numbers or '.', as the quick road reads 0|1 and .|1 alike), else None."""
        parts = text.split(b"|")
        if len(parts) != 2 or not all(part == b"." or (part.isdigit() and part.isascii())
                                      for part in parts):
            return None
        bits = {}
        for bit, part in ((1, parts[0]), (2, parts[1])):
            if part != b".":
                bits[int(part)] = bits.get(int(part), 0) | bit
        return bits


def phase_set(keys, parts):
    """The phase-set part of a phase code: PS + 1 where the genotype's FORMAT gives a PS of
    digits, else 0 (every phased genotype without PS is in one set); None when the PS is
    something else (its phase is then not used)."""
    try:
        text = parts[keys.index(b"PS")]
    except (ValueError, IndexError):
        return 0
    if text == b".":
        return 0
    if text.isdigit() and text.isascii() and len(text) <= 18:
        return int(text) + 1
    return None


def position(text):
    """The POS of a record as an int, or None when it is not 1 .. 2^64 - 1 in plain digits."""
    if not (text.isdigit() and text.isascii()):
        return None
    value = int(text)
    return value if 1 <= value <= MAX_POSITION else None


class VcfModel(VcfRecords):
    """VcfRecords reading the record lines in Python: batches(blocks of lines)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.genotypes = Genotypes()

    def kept_names(self):
        """The names of the samples whose records are kept."""
        return {name for index, name in enumerate(self.samples)
                if not self.kept or self.kept[index]}

    def batches(self, blocks):
        pieces, count = [], 0
        left_out = LeftOut()
        quick = self.by_genotype and self.width is not None
        for first, data in blocks:
            found = None
            if quick and data.endswith(b"\n"):
                found = columns_of_block(self, first, data)
            if found is None:
                piece = self._lines(first, data.split(b"\n"), None, left_out)
            else:
                piece = self._quick(first, data, found, left_out)
            if len(piece):
                pieces.append(piece)
                count += len(piece)
            if count >= self.batch_size:
                yield Records.concatenate(self.source, pieces, left_out)
                pieces, count = [], 0
                left_out = LeftOut()
        if pieces or left_out:
            yield Records.concatenate(self.source, pieces, left_out)

    def _lines(self, first, parts, numbers, left_out):
        """The Records of lines parts[i] (numbered first + i), for i in `numbers` (None: all),
        line by line."""
        columns = [[] for _ in range(10)]
        for index in range(len(parts)) if numbers is None else numbers:
            line = parts[index]
            if line and line != b"\r":
                self._record(first + index, line, columns, left_out)
        records = Records.of_lists(self.source, *columns[:9], None)
        records.phase = np.array(columns[9], dtype=np.int64)
        return records

    def _quick(self, first, data, found, left_out):
        """The Records of a block read by columns, with its other lines read one by one."""
        columns, slow, dropped = found
        for reason, chromosomes in dropped:
            if len(chromosomes):
                for chromosome, number in collections.Counter(chromosomes.tolist()).items():
                    left_out.add(reason, chromosome, number)
        build = np.empty(len(columns["position"]), dtype=object)
        build[:] = ""
        piece = Records(self.source, columns["sample"], columns["chromosome"], build,
                        columns["position"], columns["ref"], columns["alt"], columns["filter"],
                        columns["line"], columns["id"], None, phase=columns["phase"])
        if not len(slow):
            return piece
        other = self._lines(first, data.split(b"\n"), slow.tolist(), left_out)
        if not len(other):
            return piece
        both = Records.concatenate(self.source, [piece, other], None)
        return both.take(np.argsort(both.line, kind="stable"), None)

    def _record(self, number, line, columns, left_out):
        if line.endswith(b"\r"):
            line = line[:-1]
        fields = line.split(b"\t")
        count = len(fields)
        if count < 8:
            raise self.fault(number, f"{count} tab-separated field{'s' if count != 1 else ''}:"
                                     " a VCF record has at least eight")
        if self.width is not None and count != self.width:
            raise self.fault(number, f"{count} tab-separated fields, the #CHROM line names "
                                     f"{self.width}")
        chrom, pos_text, ident, ref, alt_text, _, filter_text = fields[:7]
        pos = position(pos_text)
        if pos is None:
            shown = pos_text.decode("utf-8", "replace")
            raise self.fault(number, f"position {shown} is not a position on the chromosome "
                                     "(a whole number from 1 to 2^64 - 1)")
        if not chrom:
            raise self.fault(number, "empty CHROM")
        if max(len(chrom), len(ref), len(alt_text), len(filter_text)) > MAX_FIELD_BYTES:
            raise self.fault(number, f"a field is longer than {MAX_FIELD_BYTES >> 20} MiB "
                                     "(the field limit)")
        try:
            chrom_text = chrom.decode("utf-8")
            filter_str = filter_text.decode("utf-8")
            ref_str = ref.decode("utf-8").upper()
            alleles = alt_text.decode("utf-8").upper().split(",")
            ident_str = ident.decode("utf-8")
        except UnicodeDecodeError:
            raise self.fault(number, "not UTF-8 text") from None
        failed = self.pass_only and filter_str not in ("PASS", ".")
        if self.by_genotype:
            carriers = self._carriers(number, fields, len(alleles))
        else:
            carriers = [(self.samples[0], None, _UNPHASED)]  # every allele, phase 0
        kept = self.kept_names()
        samples, chromosomes, builds, positions, refs, alts, filters, lines, ids, phases = \
            columns
        for index, alt in enumerate(alleles, start=1):
            carrying = [(name, phase) for name, held, phase in carriers
                        if held is None or index in held]
            if not carrying:
                if kept:  # once: no sample's record (nothing of an input of no kept sample)
                    left_out.add(NO_CARRIER, chrom_text)
                continue
            holders = [name for name, _ in carrying if name in kept]
            if not holders:
                continue  # the records of samples not kept
            reason = NOT_PASS if failed else allele_fault(ref_str, alt)
            if reason is not None:
                left_out.add(reason, chrom_text, len(holders))
                continue
            phases.extend(phase(index) for name, phase in carrying if name in kept)
            n = len(holders)
            samples.extend(holders)
            chromosomes.extend([chrom_text] * n)
            builds.extend([""] * n)
            positions.extend([pos] * n)
            refs.extend([ref_str] * n)
            alts.extend([alt] * n)
            filters.extend([filter_str] * n)
            lines.extend([number] * n)
            ids.extend([ident_str] * n)

    def _carriers(self, number, fields, alternates):
        """[(sample, allele numbers, allele number -> its phase code)] of the taken samples
        whose genotype names an allele."""
        keys = fields[8].split(b":")
        try:
            at = keys.index(b"GT")
        except ValueError:
            return []
        columns = self.header.columns
        alleles = self.genotypes.alleles
        found = []
        for i in self.taken:
            text = parts = fields[9 + i]
            if at or b":" in text:
                parts = text.split(b":")
                text = parts[at] if at < len(parts) else b"."
            held = alleles(text)
            if held is None:
                raise self.fault(number, f"genotype {text.decode('utf-8', 'replace')!r} of "
                                         f"sample {shown(columns[i])} is not a genotype")
            if held and held != ZERO:
                if max(held) > alternates:
                    raise self.fault(
                        number, f"genotype {shown(text.decode('utf-8', 'replace'))} of sample "
                                f"{shown(columns[i])} names allele {max(held)}, but the record has "
                                f"{alternates} alternate allele{'s' if alternates != 1 else ''}")
                found.append((columns[i], held, _phases(text, keys, parts)))
        return found


def _phases(genotype, keys, parts):
    """allele number -> phase code (records.phase_code) of one sample's genotype; `parts`: its
    FORMAT fields (split at ':', or the whole field when it is the genotype alone)."""
    bits = Genotypes.haplotypes(genotype) if b"|" in genotype else None
    phase_set_code = phase_set(keys, parts) if bits and isinstance(parts, list) else 0
    if not bits or phase_set_code is None:
        return _UNPHASED
    return lambda allele: phase_code(bits.get(allele, 0), phase_set_code)


def _UNPHASED(allele):
    return 0


ZERO = frozenset((0,))


# ---- the quick road -------------------------------------------------------------------------

_UPPER = np.array([chr(code).upper() for code in range(256)], dtype=object)
_LETTER = np.zeros(256, dtype=bool)
_LETTER[np.frombuffer(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", np.uint8)] = True
_ALLELE = np.full(256, -1, dtype=np.int8)  # digit -> its value, '.' -> 10 (missing), else -1
_ALLELE[np.frombuffer(b"0123456789", np.uint8)] = np.arange(10)
_ALLELE[ord(".")] = 10
_SEPARATOR = np.zeros(256, dtype=bool)
_SEPARATOR[[ord("/"), ord("|")]] = True


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
    # An allele no sample carries is counted once; every other reason once per kept carrier.
    nobody = ~carried.any(axis=1)
    if not parser.kept or any(parser.kept):  # an input of no kept sample: nothing counted
        left_out.append((NO_CARRIER, chromosomes[nobody]))
    kept_carried = carried & (np.asarray(parser.kept, dtype=bool) if parser.kept else True)
    holders = kept_carried.sum(axis=1)
    keep = ~nobody
    if parser.pass_only:
        flen = ends[:, 6] - starts[:, 6]
        f0 = array[starts[:, 6]]
        passing = ((flen == 1) & (f0 == ord("."))) | (
            (flen == 4) & (f0 == ord("P")) & (array[starts[:, 6] + 1] == ord("A")) &
            (padded[starts[:, 6] + 2] == ord("S")) & (padded[starts[:, 6] + 3] == ord("S")))
        left_out.append((NOT_PASS, np.repeat(chromosomes[keep & ~passing],
                                             holders[keep & ~passing])))
        keep &= passing
    ref_byte, alt_byte = array[starts[:, 3]], array[starts[:, 4]]
    same = (ref_byte | 32) == (alt_byte | 32)
    left_out.append((NOT_VARIANT, np.repeat(chromosomes[keep & same], holders[keep & same])))
    keep &= ~same

    line_index, column = np.nonzero(kept_carried & keep[:, None])
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
        "line": (quick[line_index] + first).astype(np.int64),
        "id": ids[line_index],
        "phase": phase[line_index, column].astype(np.int64),
    }
    return result, slow, left_out
