"""Options that several verbs share, each defined once, and the value parsers of argparse."""

import argparse
import os
import urllib.parse

from ..reference.folder import canonical_build
from ..runtime.errors import UsageError

BUILD_HELP = ("the build, a folder of the reference: GRCh37 (hg19, 37), GRCh38 (hg38, 38) or "
              "any other (GRCm39...)")


def at_least(low, wording=None):
    """An option type: a whole number of at least `low`; `wording` says what it is not."""
    wording = wording or f"not a whole number >= {low}"

    def whole(text):
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if value < low:
            raise argparse.ArgumentTypeError(f"{wording}: {text!r}")
        return value

    return whole


positive = at_least(1, "not a positive whole number")
seed = at_least(0)


def kind_list(offered):
    """An option type: the kinds named in a comma-separated list (any case), in the registry's
    order; `offered()` gives the names an unknown one is told to choose from."""

    def kinds(text):
        from ..counting import kinds as registry  # only for the verbs that take kinds


        wanted = names(text)
        unknown = [name for name in wanted if registry.get(name) is None]
        if unknown or not wanted:
            raise argparse.ArgumentTypeError(
                f"unknown matrix type {', '.join(unknown) or repr(text)}: choose from "
                + ",".join(offered()))
        chosen = {registry.get(name).name for name in wanted}
        return [name for name in registry.names() if name in chosen]

    return kinds


def names(text):
    """A comma-separated list of names, each stripped of surrounding spaces; empty ones left out."""
    return [name.strip() for name in text.split(",") if name.strip()]


def sample_names(text):
    """names() of --sample and --exclude, at least one: an empty list (`--sample ""`, a shell
    variable left empty) would keep no sample at all and write matrices of no column."""
    found = names(text)
    if not found:
        raise argparse.ArgumentTypeError(f"no sample named in {text!r}: give NAMES separated "
                                         "by commas")
    return found


def scheduler(text):
    """A Dask scheduler's address, tcp:// or tls://HOST:PORT (tcp:// may be left out)."""
    address = text if "://" in text else f"tcp://{text}"
    try:
        parts = urllib.parse.urlsplit(address)
        good = (parts.scheme in ("tcp", "tls") and parts.hostname and parts.port is not None
                and parts.path in ("", "/") and not parts.query)
    except ValueError:
        good = False
    if not good:
        hint = " (http:// is the address of its dashboard)" if text.startswith("http") else ""
        raise argparse.ArgumentTypeError(
            f"not a Dask scheduler address: {text!r}: give tcp://HOST:PORT as `dask scheduler` "
            f"prints it{hint}")
    return address


class InputPath(str):
    """A path that the run reads, as given (see inputs_of)."""


def input_path(text):
    """The type of every option (and argument) naming a file the run reads: it is then one of
    the run's inputs, which no output may be."""
    return InputPath(text)


def inputs_of(args):
    """Every path of the parsed `args` declared with type=input_path, in the options' order."""
    found = []
    for value in vars(args).values():
        for item in value if isinstance(value, list) else [value]:
            if isinstance(item, InputPath):
                found.append(str(item))
    return found


def prefix(text):
    """An output prefix: it ends in a name, which the outputs' names start with."""
    if os.path.basename(text) in ("", ".", ".."):
        raise argparse.ArgumentTypeError(
            f"{text!r} names no file: a prefix ends in a name, as results/cohort for "
            "results/cohort.<...>.tsv")
    return text


def build(text):
    canonical = canonical_build(text)
    if canonical is None:
        raise argparse.ArgumentTypeError(f"not a build name: {text!r} (it names a folder: not "
                                         "empty, '.' or '..', and without '/')")
    return canonical


def add_build(parser, help=BUILD_HELP, required=False):
    parser.add_argument("--build", type=build, required=required, help=help)


def add_reference(parser, help="reference folder", required=False):
    parser.add_argument("--reference", metavar="DIR", required=required, help=help)


def add_workers(parser):
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive, metavar="N",
                       help="run on a local Dask cluster of N processes (secured with TLS "
                       "credentials of its own)")
    where.add_argument("--scheduler", metavar="ADDRESS", type=scheduler,
                       help="run on an existing Dask cluster: its scheduler's tcp://HOST:PORT, "
                       "or tls://HOST:PORT with --tls-ca-file and --tls-cert (or Dask's "
                       "configuration)")
    parser.add_argument("--tls-ca-file", metavar="CA.pem", type=input_path,
                        help="--scheduler tls://...: the certificate authority of the cluster")
    parser.add_argument("--tls-cert", metavar="CERT.pem", type=input_path,
                        help="--scheduler tls://...: this client's certificate (and its key, "
                        "unless --tls-key)")
    parser.add_argument("--tls-key", metavar="KEY.pem", type=input_path,
                        help="--scheduler tls://...: the key of --tls-cert")


def check_cluster(args):
    """Joins --scheduler and the TLS options into one Scheduler (args.scheduler); UsageError
    when they do not fit together."""
    if "scheduler" not in vars(args):
        return
    given = [f"--{name.replace('_', '-')}" for name in ("tls_ca_file", "tls_cert", "tls_key")
             if getattr(args, name)]
    if given and not args.scheduler:
        raise UsageError(f"{given[0]} is for --scheduler tls://HOST:PORT (a local cluster of "
                         "--workers makes credentials of its own)")
    if given and not (args.tls_ca_file and args.tls_cert):
        raise UsageError("--tls-ca-file and --tls-cert go together (with --tls-key when the "
                         "key is not in the certificate's file)")
    if given and not args.scheduler.startswith("tls://"):
        raise UsageError(f"--scheduler {args.scheduler}: give the tls:// address of the "
                         f"scheduler that {given[0]} is for")
    if args.scheduler:
        from ..runtime.cluster import Scheduler  # with a cluster only: a run starts sooner

        args.scheduler = Scheduler(args.scheduler, args.tls_ca_file, args.tls_cert,
                                   args.tls_key)



# ---- the options of the input stage (inputs/stage.py), shared by table and matrix ----------

def add_table_list(parser):
    parser.add_argument("--table-list", metavar="FILE", type=input_path,
                        help="a file naming one input per line (blank and '#' lines skipped)")


def add_pass_only(parser):
    parser.add_argument("--pass-only", action="store_true",
                        help="VCF inputs, and MAFs with a FILTER column: keep only records whose "
                        "FILTER is PASS or '.'")


def add_samples(parser):
    parser.add_argument("--sample", type=sample_names, action="append", metavar="NAMES",
                        help="keep only these samples (comma-separated; repeatable). For a VCF "
                        "without genotypes, one of its columns names its one sample")
    parser.add_argument("--exclude", type=sample_names, action="append", metavar="NAMES",
                        help="leave these samples out, even when --sample names them "
                        "(comma-separated; repeatable)")
    same = parser.add_mutually_exclusive_group()
    same.add_argument("--label-by-input", action="store_true",
                      help="a sample per input: label it by the input's path, its shortest "
                      "ending that tells the inputs apart (FILE:SAMPLE, or FILE alone for a "
                      "VCF whose header names one sample)")
    same.add_argument("--merge-samples", action="store_true",
                      help="a sample name in several inputs is one sample (a cohort split by "
                      "chromosome or region)")


def add_allow_missing_chromosomes(parser):
    parser.add_argument("--allow-missing-chromosomes", action="store_true",
                        help="go on when many records find no build folder or chromosome file")


def add_regions(parser):
    parser.add_argument("--regions", metavar="BED", type=input_path,
                        help="only the records inside these regions (BED, plain or gzip: an "
                        "exome's or a panel's targets; chromosome names matched to the "
                        "reference's)")


def add_opportunities(parser, what):
    """--opportunities and --signature-opportunities of `fit` and `extract`; `what` says what
    they do there."""
    parser.add_argument("--opportunities", metavar="SAMPLES.SBS96.tsv", type=input_path,
                        help="the opportunities of the samples' sequence (`mutflank "
                        f"opportunities --regions` of an exome or panel): {what}")
    parser.add_argument("--signature-opportunities", metavar="GENOME.SBS96.tsv",
                        type=input_path,
                        help="the opportunities of the sequence the signatures are in "
                        "(`mutflank opportunities` of the whole reference genome)")


def check_opportunities(args):
    """UsageError when one of the two opportunities is given without the other: neither is
    ever assumed."""
    if args.opportunities and not args.signature_opportunities:
        raise UsageError("--opportunities needs --signature-opportunities GENOME.<type>.tsv: "
                         "the opportunities of the genome the signatures were made on (`mutflank "
                         "opportunities REFERENCE --build BUILD -o genome` writes them), never "
                         "assumed")
    if args.signature_opportunities and not args.opportunities:
        raise UsageError("--signature-opportunities needs --opportunities SAMPLES.<type>.tsv: "
                         "the opportunities of the samples' sequence (`mutflank opportunities "
                         "REFERENCE --regions BED -o samples`)")
