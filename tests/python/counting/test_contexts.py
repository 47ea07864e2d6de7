"""The road's contexts against the module's: for the same records, the channel that the SBS96
and SBS1536 kinds give from the genome's windows equals the one read off the context string of
`mutflank.parse_vcf_files` (or the reason it has none), at every position of short random
chromosomes (both ends, N and undecodable bytes) and at random positions of the lambda phage."""

import random

import numpy as np
import pytest

pytest.importorskip("mutflank_tools")
import mutflank  # noqa: E402
from mutflank_tools.counting import kinds  # noqa: E402
from mutflank_tools.reference.genome import Genome  # noqa: E402

from cli_support import LAMBDA_NAME, lambda_reference  # noqa: E402,F401

CODES = [0, 1, 2, 3, 4, 9, 14, 16, 19, 20, 200]  # bases, strand-annotated bases, N, no base


def module_channels(root, build, records, kind):
    """{record index: channel index or reason} from the module's context strings."""
    half = kind.flank
    table = root / f"{kind.name}.tsv"
    expected, rows = {}, []
    for index, (chromosome, length, position, ref, alt) in enumerate(records):
        if position + half > length:
            expected[index] = kinds.NEAR_END  # the module's window would run past the end
        else:
            rows.append(index)
    table.write_text("".join(f"k\tp\t.\t{build}\tSNV\t{records[i][0]}\t{records[i][2]}\t.\t"
                             f"{records[i][3]}\t{records[i][4]}\n" for i in rows))
    labels = {label: number for number, label in enumerate(kind.channels)}
    result = mutflank.parse_vcf_files([str(table)], str(root), 2 * half + 1) if rows else []
    assert len(result) == len(rows)
    for index, (_, context) in zip(rows, result):
        left, right = context[:context.index("[")], context[context.index("]") + 1:]
        if min(len(left), len(right)) < half:  # short on the left, or folded to the right
            expected[index] = kinds.AT_START
        else:
            expected[index] = labels.get(context, kinds.NOT_ACGT)
    return expected


def road_channels(root, build, records, kind):
    genome = Genome(str(root))
    chromosomes = [genome.chromosome(build, record[0]) for record in records]
    positions = np.array([record[2] for record in records], dtype=np.int64)

    def reader(before, after, rows=None):
        rows = np.arange(len(records)) if rows is None else rows
        return np.vstack([chromosomes[i].windows(positions[i:i + 1], before, after)
                          for i in rows])

    def column(number):
        return np.array([record[number] for record in records], dtype=object)

    batch = kinds.Batch(column(0), column(0), positions, column(3), column(4), reader)
    codes = kind.classify(batch).tolist()
    return {i: code if code >= 0 else kind.reasons[-1 - code] for i, code in enumerate(codes)}


def substitutions(rng, name, data, positions):
    """A substitution of the reference base at each position where it is a base."""
    records = []
    for position in positions:
        byte = data[position - 1]
        if byte < 16:
            ref = "ACGT"[byte & 3]
            records.append((name, len(data), position, ref,
                            rng.choice([base for base in "ACGT" if base != ref])))
    return records


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("name", ["SBS96", "SBS1536"])
def test_short_random_chromosomes_at_every_position(tmp_path, seed, name):
    rng = random.Random(seed)
    folder = tmp_path / "GRCh37"
    folder.mkdir()
    records = []
    for number in range(30):
        data = bytes(rng.choice(CODES[:4] * 3 + CODES) for _ in range(rng.randint(1, 9)))
        (folder / f"c{number}.txt").write_bytes(data)
        records += substitutions(rng, f"c{number}", data, range(1, len(data) + 1))
    kind = kinds.get(name)
    assert road_channels(tmp_path, "GRCh37", records, kind) == module_channels(
        tmp_path, "GRCh37", records, kind)


@pytest.mark.parametrize("name", ["SBS96", "SBS1536"])
def test_lambda_phage(lambda_reference, tmp_path, name):  # noqa: F811
    data = (lambda_reference / "GRCh38" / f"{LAMBDA_NAME}.txt").read_bytes()
    rng = random.Random(7)
    positions = sorted(set(rng.sample(range(1, len(data) + 1), 3000)) | {1, 2, len(data) - 1,
                                                                          len(data)})
    records = substitutions(rng, LAMBDA_NAME, data, positions)
    kind = kinds.get(name)
    road = road_channels(lambda_reference, "GRCh38", records, kind)
    assert road == module_channels(tmp_path_root(lambda_reference, tmp_path), "GRCh38",
                                   records, kind)
    assert sum(isinstance(code, int) for code in road.values()) > 2900


def tmp_path_root(reference, tmp_path):
    """The module reads the reference root as given; its table goes beside it in tmp_path."""
    (tmp_path / "GRCh38").symlink_to(reference / "GRCh38")
    return tmp_path
