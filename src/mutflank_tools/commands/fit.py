"""`mutflank fit`: how much each known mutational signature contributed to each sample of a
matrix, by non-negative least squares (`nnls`) or by NNLS pruned of the signatures the fit
hardly needs (`strict`), with bootstrap intervals on request."""

import argparse
import math
import sys

import numpy as np

from ..counting import kinds
from ..fit import signature_tables
from ..fit import work as fit_work
from ..runtime.cluster import connect, results
from ..runtime.errors import InputError, UsageError, at_line, shown
from ..runtime.extras import require
from ..runtime.outputs import OutputSet, check_folder, refuse_inputs, removed_line
from ..runtime.progress import progress
from .options import add_opportunities, add_workers, check_opportunities, input_path, \
    inputs_of, names, positive, prefix, seed

SUMMARY = "exposures of samples to known mutational signatures"
EXAMPLE = ("mutflank fit out.SBS96.tsv --signatures signatures.tsv -o out --method strict "
           "--bootstrap 1000 --seed 1")
PROG = "mutflank fit"


def _delta(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"not a number from 0 to 1: {text!r}")
    return value


def _resamples(text):
    value = positive(text)
    if value > fit_work.MAX_RESAMPLES:
        raise argparse.ArgumentTypeError(f"at most {fit_work.MAX_RESAMPLES:,} resamples: "
                                         f"{text!r}")
    return value


MAX_DELTA = 0.004  # the default of --max-delta


def add_arguments(parser):
    parser.add_argument("matrix", metavar="MATRIX.tsv", type=input_path,
                        help="a matrix of `mutflank matrix` (counts; any kind: SBS96, ID83, ...)")
    parser.add_argument("--signatures", metavar="SIGNATURES.tsv", required=True, type=input_path,
                        help="signatures: one row per channel (first column headed MutationType "
                        "or Type; COSMIC's labels such as DEL_C_1_0, or Type and Subtype "
                        "columns, are read as ours), one column per signature")
    parser.add_argument("-o", "--output", metavar="PREFIX", required=True, type=prefix,
                        help="writes PREFIX.exposures.tsv, PREFIX.fit.tsv (and "
                        "PREFIX.bootstrap.tsv; without --bootstrap, one of an earlier run is "
                        "removed)")
    parser.add_argument("--method", choices=("nnls", "strict"), default="nnls",
                        help="nnls: non-negative least squares (default); strict: then drop the "
                        "smallest exposure while the cosine similarity falls by at most "
                        "--max-delta per step")
    parser.add_argument("--max-delta", type=_delta, metavar="D",
                        help="with --method strict: largest fall of the cosine similarity per "
                        f"dropped signature (default {MAX_DELTA})")
    parser.add_argument("--bootstrap", type=_resamples, metavar="N",
                        help="N multinomial resamples of each sample (at most "
                        f"{fit_work.MAX_RESAMPLES:,}): median exposure, 95%% interval and the "
                        "fraction of resamples keeping each signature")
    parser.add_argument("--seed", type=seed, metavar="S",
                        help="with --bootstrap: seed of its draws (default: a fresh one, said "
                        "on stderr)")
    parser.add_argument("--signature-subset", type=names, metavar="SBS1,SBS5,...",
                        help="fit only these signatures of the file")
    add_opportunities(parser, "each signature is rescaled by the ratio of these to "
                      "--signature-opportunities, channel by channel, and summed to 1 again "
                      "before the fit")
    add_workers(parser)


def _check_options(args):
    """Options that only another option gives a meaning to are usage errors without it."""
    if args.max_delta is not None and args.method != "strict":
        raise UsageError("--max-delta is a setting of --method strict")
    if args.seed is not None and not args.bootstrap:
        raise UsageError("--seed is the seed of --bootstrap's draws: give --bootstrap N")
    if args.max_delta is None:
        args.max_delta = MAX_DELTA


def run(args):
    _check_options(args)
    require("scipy.optimize")  # the solver of last resort
    check_opportunities(args)
    inputs = inputs_of(args)
    family = _output_paths(args.output)
    refuse_inputs(family[:3 if args.bootstrap else 2], inputs, family)
    signatures = signature_tables.read_signatures(args.signatures)
    if args.signature_subset is not None:
        signatures = _subset(signatures, args.signature_subset)
    matrix = signature_tables.read_matrix(args.matrix)
    _check_kinds(matrix, signatures)
    values = signature_tables.aligned(signatures, matrix)  # channels x signatures, matrix order
    rescaled = None
    if args.opportunities:
        ratio = signature_tables.opportunity_ratio(
            matrix, signature_tables.read_opportunities(args.opportunities),
            signature_tables.read_opportunities(args.signature_opportunities))
        values = signature_tables.rescaled(values, signatures.columns, ratio,
                                           args.opportunities)
        rescaled = f"{args.opportunities} / {args.signature_opportunities}"
    counts = matrix.values.T.copy()  # samples x channels
    if args.bootstrap:
        _check_whole(matrix)
    check_folder(args.output)
    if signatures.normalised:
        print(f"{PROG}: {args.signatures}: scaled to sum to 1: "
              f"{_listed([shown(name) for name in signatures.normalised])}", file=sys.stderr)

    resamples = args.bootstrap or 0
    seeds = [None] * counts.shape[0]
    if resamples:
        seed = args.seed
        if seed is None:
            seed = np.random.SeedSequence().entropy
            print(f"{PROG}: bootstrap seed {seed}", file=sys.stderr)
        seeds = np.random.SeedSequence(seed).spawn(counts.shape[0])
    work = [dict(counts=counts[start:end], seeds=seeds[start:end])
            for start, end in fit_work.slices(counts.shape[0], resamples)]
    common = dict(signatures=values, method=args.method, max_delta=args.max_delta,
                  resamples=resamples)
    if args.workers or args.scheduler:
        parts = _on_cluster(work, common, args.workers, args.scheduler)
    else:
        parts = [fit_work.fit_slice(**common, **unit)
                 for unit in progress(work, desc="slices", unit="slice")]
    result = fit_work.merge(parts)

    texts = _outputs(args.output, signatures.columns, matrix.columns, counts, result,
                     rescaled)
    # All the files replaced together, or none; a bootstrap table of an earlier run goes.
    with OutputSet(inputs=inputs, family=family) as outputs:
        for path, lines in texts.items():
            outputs.open(path, "w", encoding="utf-8", newline="\n").writelines(lines)
    samples = counts.shape[0]
    if rescaled:
        print(f"{PROG}: signatures rescaled by the opportunities {rescaled}", file=sys.stderr)
    print(f"{PROG}: {samples:,} sample{'s' if samples != 1 else ''} on "
          f"{len(signatures.columns)} signature{'s' if len(signatures.columns) != 1 else ''} "
          f"({args.method}) -> {', '.join(texts)}", file=sys.stderr)
    if outputs.removed:
        print(f"{PROG}: {removed_line(outputs.removed)}", file=sys.stderr)


def _subset(signatures, wanted):
    chosen = list(dict.fromkeys(wanted))
    if not chosen:
        raise UsageError("--signature-subset names no signature")
    missing = [name for name in chosen if name not in signatures.columns]
    if missing:
        raise InputError(at_line(signatures.path, signatures.header_line,
                                 f"no signature {_listed([shown(name) for name in missing])} "
                                 "(--signature-subset)"))
    columns = [signatures.columns.index(name) for name in chosen]
    signatures.values = signatures.values[:, columns]
    signatures.columns = chosen
    signatures.normalised = [name for name in signatures.normalised if name in chosen]
    return signatures


def _listed(items, shown=5):
    more = f" and {len(items) - shown} more" if len(items) > shown else ""
    return ", ".join(items[:shown]) + more


def _check_kinds(matrix, signatures):
    """A matrix and signatures of two kinds that `mutflank matrix` writes: the error says
    which matrix the signatures need."""
    known = {frozenset(kind.channels): kind.name for kind in kinds.all_kinds()}
    ours, theirs = known.get(frozenset(matrix.rows)), known.get(frozenset(signatures.rows))
    if ours is not None and theirs is not None and ours != theirs:
        raise InputError(f"{matrix.path}: a matrix of {ours}, and the signatures "
                         f"{signatures.path} are {theirs}: fit a matrix of their kind "
                         f"(`mutflank matrix --types {theirs}`)")


def _check_whole(matrix):
    """--bootstrap draws whole mutations: every count whole, every sample's total at most
    MAX_VALUE (a number of draws read exactly)."""
    whole = matrix.values == np.round(matrix.values)
    if not whole.all():
        row, column = map(int, np.argwhere(~whole)[0])
        text = signature_tables.NUMBER % matrix.values[row, column]
        raise InputError(at_line(matrix.path, matrix.lines[row],
                                 f"sample {shown(matrix.columns[column])}: {text} is not a whole "
                                 "count (--bootstrap resamples mutations: use a matrix of "
                                 "counts)"))
    for column, name in enumerate(matrix.columns):
        total = math.fsum(matrix.values[:, column])
        if total > signature_tables.MAX_VALUE:
            raise InputError(at_line(matrix.path, matrix.header_line,
                                     f"sample {shown(name)}: {total:,.0f} mutations, more than "
                                     f"the {int(signature_tables.MAX_VALUE):,} that --bootstrap "
                                     "draws exactly"))


def _output_paths(prefix):
    """Every file a run may write, the bootstrap table last."""
    return [f"{prefix}.{end}.tsv" for end in ("exposures", "fit", "bootstrap")]


def _outputs(prefix, signatures, samples, counts, result, rescaled=None):
    """{path: lines} of the files to write."""
    exposures = result["exposures"]
    texts = {
        f"{prefix}.exposures.tsv": signature_tables.exposure_lines(signatures, samples,
                                                                   exposures.T),
        f"{prefix}.fit.tsv": signature_tables.fit_lines(
            samples, counts.sum(axis=1), result["cosine"], result["rss"],
            (exposures > 0).sum(axis=1), rescaled),
    }
    if "median" in result:
        summary = {key: result[key].T for key in ("median", "low", "high", "kept")}
        texts[f"{prefix}.bootstrap.tsv"] = signature_tables.bootstrap_lines(
            signatures, samples, summary)
    return texts


def _on_cluster(work, common, workers, scheduler):
    """The results of fit_work.fit_slice for every unit of `work`, in order, computed on a
    local Dask cluster of `workers` processes or on the cluster of `scheduler`."""
    require("dask")
    units = [(number, unit["counts"], unit["seeds"]) for number, unit in enumerate(work)]
    parts = [None] * len(units)
    # Workers are started as fresh interpreters (Dask's default), not forked: this process
    # runs the local scheduler's event loop in a thread, and a fork from a threaded process
    # can inherit a lock that is held at that moment. Forking saved about 0.5 s of start-up.
    with connect(workers=workers, scheduler=scheduler, module=fit_work.__name__) as client:
        for number, part in results(client, fit_work.fit_unit, units, _describe, **common):
            parts[number] = part
    return parts


def _describe(unit):
    number, counts, _ = unit
    return f"the slice {number + 1} ({len(counts)} samples)"
