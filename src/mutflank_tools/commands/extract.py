"""`mutflank extract`: the signatures present in a cohort, found by NMF of the matrix under the
Poisson likelihood on many resamples, the number of signatures chosen by how stable they are
across the resamples, their exposures by the fit's NNLS and, with a reference table, the known
signatures each one resembles."""

import argparse
import collections
import string
import sys

import numpy as np

from ..counting import kinds
from ..extract import decomposition, ranks as rank_rule, work as extract_work
from ..fit import signature_tables
from ..fit import work as fit_work
from ..runtime.cluster import connect, results
from ..runtime.errors import InputError, UsageError, at_line, shown
from ..runtime.extras import require
from ..runtime.outputs import OutputSet, check_folder, refuse_inputs, removed_line
from ..runtime.progress import progress
from .options import add_opportunities, add_workers, at_least, check_opportunities, input_path, \
    inputs_of, positive, prefix, seed

SUMMARY = "signatures found in a matrix (de novo extraction, the number chosen by stability)"
EXAMPLE = ("mutflank extract cohort.SBS96.tsv -o cohort --ranks 2-10 --replicates 100 "
           "--signatures COSMIC_SBS.tsv --seed 1 --workers 2")
PROG = "mutflank extract"
DEFAULT_RANKS = (2, 12)
NUMBER = signature_tables.NUMBER
SHARE = "%.4g"  # the weights of a decomposition


def rank_range(text):
    """`A-B`: the ranks A to B, two whole numbers with 2 <= A <= B."""
    first, dash, last = text.partition("-")
    try:
        low, high = int(first), int(last)
    except ValueError:
        low = high = 0
    if not dash or not 2 <= low <= high:
        raise argparse.ArgumentTypeError(f"not a range of two whole numbers A-B, 2 <= A <= B: "
                                         f"{text!r}")
    return low, high


def add_arguments(parser):
    parser.add_argument("matrix", metavar="MATRIX.tsv", type=input_path,
                        help="a matrix of `mutflank matrix` (counts; any kind: SBS96, ID83, ...)")
    parser.add_argument("-o", "--output", metavar="PREFIX", required=True, type=prefix,
                        help="writes PREFIX.signatures.tsv, PREFIX.exposures.tsv, "
                        "PREFIX.fit.tsv, PREFIX.ranks.tsv (and PREFIX.decomposition.tsv)")
    parser.add_argument("--ranks", type=rank_range, default=DEFAULT_RANKS, metavar="A-B",
                        help="the numbers of signatures tried (default %d-%d)" % DEFAULT_RANKS)
    parser.add_argument("--replicates", type=positive, default=100, metavar="N",
                        help="resamples of the matrix factorised per rank (default 100)")
    parser.add_argument("--signatures", metavar="REFERENCE.tsv", type=input_path,
                        help="known signatures (as fit reads them): each extracted one is "
                        "told as its closest and as a sparse sum of these")
    parser.add_argument("--seed", type=seed, metavar="S",
                        help="seed of the resamples and starts (default: a fresh one, said on "
                        "stderr); one seed gives the same files whatever the workers")
    parser.add_argument("--rank", type=at_least(2), metavar="K",
                        help="keep K signatures, whatever the rule would choose (K is tried "
                        "even outside --ranks)")
    add_workers(parser)
    add_opportunities(parser, "the signatures found are reported in the terms of "
                      "--signature-opportunities (a genome's), each channel multiplied by the "
                      "ratio of those to these and summed to 1 again; exposures stay in the "
                      "samples' own mutations")


def output_paths(prefix):
    """Every file a run may write, the decomposition (with --signatures) last."""
    ends = ["signatures", "exposures", "fit", "ranks", "decomposition"]
    return [f"{prefix}.{end}.tsv" for end in ends]


def run(args):
    require("scipy.optimize")
    check_opportunities(args)
    inputs = inputs_of(args)
    family = output_paths(args.output)
    refuse_inputs(family if args.signatures else family[:-1], inputs, family)
    matrix = signature_tables.read_matrix(args.matrix)
    reference = None
    if args.signatures:
        reference = signature_tables.read_signatures(args.signatures)
        reference_values = signature_tables.aligned(reference, matrix)
    _check_whole(matrix)
    counts = matrix.values  # channels x samples
    empty = counts.sum(axis=0) == 0
    if empty.all():
        raise InputError(f"{args.matrix}: no sample has mutations")
    tried = sorted(set(range(args.ranks[0], args.ranks[1] + 1)) | {args.rank or args.ranks[0]})
    used = int((~empty).sum())
    if used < tried[-1]:
        raise UsageError(f"{args.matrix}: {used} sample{'s' if used != 1 else ''} with mutations "
                         f"for up to {tried[-1]} signatures (--ranks, --rank): the largest rank "
                         f"may be {used} at most")
    check_folder(args.output)
    if empty.any():
        names = [name for name, zero in zip(matrix.columns, empty) if zero]
        plural = "s" if len(names) != 1 else ""
        print(f"{PROG}: {args.matrix}: left out {len(names)} sample{plural} with no mutations: "
              f"{_listed(names)}", file=sys.stderr)
    if reference is not None and reference.normalised:
        print(f"{PROG}: {args.signatures}: scaled to sum to 1: "
              f"{_listed(reference.normalised)}", file=sys.stderr)
    seed = args.seed
    if seed is None:
        seed = np.random.SeedSequence().entropy
        print(f"{PROG}: seed {seed}", file=sys.stderr)

    used_counts = np.ascontiguousarray(counts[:, ~empty])
    summaries = _summaries(used_counts, tried, args.replicates, seed, args.workers,
                           args.scheduler)
    chosen = args.rank or rank_rule.choose(summaries)
    found = next(summary for summary in summaries if summary.rank == chosen).signatures
    samples = counts.T.copy()
    fitted = fit_work.fit_slice(found, samples, "nnls", 0.0)
    order = np.argsort(-fitted["exposures"].sum(axis=0), kind="stable")
    found = found[:, order]
    result = fit_work.fit_slice(found, samples, "nnls", 0.0)
    names = signature_names(_kind_name(matrix.rows), found.shape[1])
    reported = found
    if args.opportunities:
        ratio = signature_tables.opportunity_ratio(
            matrix, signature_tables.read_opportunities(args.opportunities),
            signature_tables.read_opportunities(args.signature_opportunities))
        inverse = np.divide(1.0, ratio, out=np.zeros_like(ratio), where=ratio > 0)
        reported = signature_tables.rescaled(found, names, inverse,
                                             args.signature_opportunities)

    texts = {
        f"{args.output}.signatures.tsv": _signature_lines(matrix.rows, names, reported),
        f"{args.output}.exposures.tsv": signature_tables.exposure_lines(
            names, matrix.columns, result["exposures"].T),
        f"{args.output}.fit.tsv": signature_tables.fit_lines(
            matrix.columns, samples.sum(axis=1), result["cosine"], result["rss"],
            (result["exposures"] > 0).sum(axis=1)),
        f"{args.output}.ranks.tsv": _rank_lines(summaries, chosen),
    }
    if reference is not None:
        texts[f"{args.output}.decomposition.tsv"] = _decomposition_lines(
            names, reported, reference.columns, reference_values)
    # All the files replaced together, or none; a decomposition of an earlier run goes.
    with OutputSet(inputs=inputs, family=family) as outputs:
        for path, lines in texts.items():
            outputs.open(path, "w", encoding="utf-8", newline="\n").writelines(lines)
    if args.opportunities:
        print(f"{PROG}: signatures in the terms of {args.signature_opportunities}: rescaled by "
              f"the opportunities {args.signature_opportunities} / {args.opportunities}",
              file=sys.stderr)
    how = "--rank" if args.rank else "chosen"
    print(f"{PROG}: {chosen} signature{'s' if chosen != 1 else ''} ({how}; ranks "
          f"{tried[0]}-{tried[-1]}, {args.replicates:,} replicate"
          f"{'s' if args.replicates != 1 else ''} each) from {used:,} samples -> "
          f"{', '.join(texts)}", file=sys.stderr)
    if outputs.removed:
        print(f"{PROG}: {removed_line(outputs.removed)}", file=sys.stderr)


def _listed(items, shown=5):
    more = f" and {len(items) - shown} more" if len(items) > shown else ""
    return ", ".join(items[:shown]) + more


def _check_whole(matrix):
    whole = matrix.values == np.round(matrix.values)
    if not whole.all():
        row, column = map(int, np.argwhere(~whole)[0])
        text = NUMBER % matrix.values[row, column]
        raise InputError(at_line(matrix.path, matrix.lines[row],
                                 f"sample {shown(matrix.columns[column])}: {text} is not a whole count "
                                 "(extract resamples mutations: use a matrix of counts)"))


def _kind_name(channels):
    wanted = frozenset(channels)
    for kind in kinds.all_kinds():
        if frozenset(kind.channels) == wanted:
            return kind.name
    return "Signature"


def signature_names(kind, count):
    """`SBS96A`, `SBS96B`, ... `SBS96Z`, `SBS96AA`, ...: the kind and letters."""
    names = []
    for number in range(count):
        letters = ""
        number += 1
        while number:
            number, rest = divmod(number - 1, 26)
            letters = string.ascii_uppercase[rest] + letters
        names.append(kind + letters)
    return names


def _summaries(counts, tried, replicates, seed, workers, scheduler):
    """The Rank of every rank tried, in the order of `tried`. A rank is summarised as soon as
    its last unit is in, so that on a cluster its clustering overlaps the factorisations still
    running, rather than all of them running alone once the workers are done."""
    units = extract_work.units(tried, replicates, counts.size)
    missing = collections.Counter(rank for rank, _, _ in units)
    parts, summaries = {}, {}

    def take(unit, signatures):
        rank = unit[0]
        parts[unit] = signatures
        missing[rank] -= 1
        if not missing[rank]:
            own = sorted(part for part in parts if part[0] == rank)
            summaries[rank] = rank_rule.summarise(
                rank, counts, np.concatenate([parts.pop(part) for part in own]))

    if workers or scheduler:
        require("dask")
        with connect(workers=workers, scheduler=scheduler) as client:
            for unit, signatures, _ in results(
                    client, extract_work.factorise_unit, units,
                    lambda unit: f"the replicates {unit[1] + 1}-{unit[2]} of rank {unit[0]}",
                    counts=counts, seed=seed):
                take(unit, signatures)
    else:
        bar = progress(total=len(tried) * replicates, desc="replicates", unit="replicate")
        try:
            for unit in units:
                take(unit, extract_work.factorise_unit(unit, counts, seed)[1])
                bar.update(unit[2] - unit[1])
        finally:
            bar.close()
    return [summaries[rank] for rank in tried]


def _number(value):
    return "NA" if np.isnan(value) else NUMBER % value


def _signature_lines(channels, names, values):
    yield "\t".join(["MutationType", *names]) + "\n"
    for channel, row in zip(channels, values.tolist()):
        yield "\t".join([channel, *(NUMBER % value for value in row)]) + "\n"


def _rank_lines(summaries, chosen):
    yield "Rank\tStability\tLeastStability\tCosine\tError\tChosen\n"
    for summary in summaries:
        cells = [_number(value) for value in (summary.stability, summary.least, summary.cosine,
                                              summary.error)]
        mark = "yes" if summary.rank == chosen else "no"
        yield "\t".join([str(summary.rank), *cells, mark]) + "\n"


def _decomposition_lines(names, found, reference_names, reference_values):
    closest, closeness, weights, cosine = decomposition.decompose(found, reference_values)
    yield "Signature\tClosest\tClosestCosine\tDecomposition\tDecompositionCosine\n"
    for row, name in enumerate(names):
        parts = np.flatnonzero(weights[row])
        parts = parts[np.argsort(-weights[row, parts], kind="stable")]
        told = ";".join(f"{reference_names[part]}:{SHARE % weights[row, part]}" for part in parts)
        yield (f"{name}\t{reference_names[closest[row]]}\t{NUMBER % closeness[row]}\t"
               f"{told}\t{_number(cosine[row])}\n")
