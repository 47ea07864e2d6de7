"""The Python reader of MAF record lines that the engine's scanner replaced, kept as the model
it is tested against (test_maf_engine.py), over the package's opened Input and MafHeader.

MAF (plain or gzip), read by its header names: one record per line. The alternate allele is
Tumor_Seq_Allele2, or Tumor_Seq_Allele1 when Allele2 is the reference allele; '-' alleles of
indels are kept. The build is NCBI_Build as written ('' without that column); FILTER, where the
MAF has that column, as written, and with `pass_only` a record whose FILTER is neither PASS
nor '.' (nor empty) is left out."""

from mutflank_tools.inputs.maf import BUILD, MAX_POSITION, MafRecords
from mutflank_tools.inputs.records import NOT_PASS, LeftOut, Records, allele_fault
from mutflank_tools.inputs.stream import MAX_FIELD_BYTES, text_blocks
from mutflank_tools.reference.folder import is_file_name
from mutflank_tools.runtime.errors import InputError, at_line

class MafModel(MafRecords):
    """The reader's options as MafRecords takes them; `batches` reads the lines in Python."""

    def batches(self, blocks):
        name = self.name
        header = self.header
        chrom_at, pos_at, ref_at, allele1_at, allele2_at, sample_at = header.at
        build_at = header.build_at if self.build is None else None
        filter_at = header.filter_at
        width = max(header.at + [build_at or 0, filter_at or 0]) + 1
        columns = [[] for _ in range(9)]
        left_out = LeftOut()
        for first, text in text_blocks(name, blocks):
            parts = text.split("\n")
            if text.endswith("\n"):
                parts.pop()
            for number, line in enumerate(parts, start=first):
                if line.endswith("\r"):
                    line = line[:-1]
                if not line:
                    continue
                fields = line.split("\t")
                if len(fields) < width:
                    raise InputError(at_line(name, number, f"{len(fields)} tab-separated "
                                             f"fields, the header names {header.width_named}"))
                sample = fields[sample_at].strip()
                chrom = fields[chrom_at].strip()
                ref = fields[ref_at].strip().upper()
                allele1 = fields[allele1_at].strip().upper()
                allele2 = fields[allele2_at].strip().upper()
                for what, value in (("Tumor_Sample_Barcode", sample), ("Chromosome", chrom),
                                    ("Reference_Allele", ref)):
                    if not value:
                        raise InputError(at_line(name, number, f"empty {what}"))
                if max(len(sample), len(chrom), len(ref), len(allele1), len(allele2)) > \
                        MAX_FIELD_BYTES:
                    raise InputError(at_line(name, number, f"a field is longer than "
                                             f"{MAX_FIELD_BYTES >> 20} MiB (the field limit)"))
                position = fields[pos_at].strip()
                value = int(position) if position.isascii() and position.isdigit() else 0
                if not 1 <= value <= MAX_POSITION:
                    raise InputError(at_line(name, number, f"Start_Position {position!r} is "
                                             "not a position (a whole number from 1)"))
                if (self.samples is not None and sample not in self.samples) or \
                        sample in self.exclude:
                    if self.held is not None and sample in self.exclude:
                        self.held.add(sample)  # an input holds the sample --exclude names
                    continue  # checked as any row, but not counted, nor left out
                alt = allele1 if allele2 == ref else allele2
                filter_text = "" if filter_at is None else fields[filter_at].strip()
                if self.pass_only and filter_text not in ("", "PASS", "."):
                    left_out.add(NOT_PASS, chrom)
                    continue
                reason = allele_fault(ref, alt)
                if reason is not None:
                    left_out.add(reason, chrom)
                    continue
                if build_at is None:
                    build = self.build or ""
                else:
                    build = fields[build_at].strip()
                    if not is_file_name(build):
                        raise InputError(at_line(name, number, f"{BUILD} {fields[build_at]!r} "
                                                 "cannot name a build folder: give --build"))
                for column, item in zip(columns, (sample, chrom, build, value, ref, alt,
                                                  filter_text, number, ".")):
                    column.append(item)
                if len(columns[0]) >= self.batch_size:
                    yield Records.of_lists(self.source, *columns, left_out)
                    columns = [[] for _ in range(9)]
                    left_out = LeftOut()
        if columns[0] or left_out:
            yield Records.of_lists(self.source, *columns, left_out)
