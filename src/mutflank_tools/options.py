"""Options that several verbs share, each defined once, and the value parsers of argparse."""

import argparse

from .reference_folder import canonical_build

BUILD_HELP = "GRCh37 or GRCh38 (hg19, 37, hg38, 38)"


def positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return value


def names(text):
    """A comma-separated list of names, each stripped of surrounding spaces; empty ones left out."""
    return [name.strip() for name in text.split(",") if name.strip()]


def build(text):
    canonical = canonical_build(text)
    if canonical is None:
        raise argparse.ArgumentTypeError(f"unknown build {text!r}: use {BUILD_HELP}")
    return canonical


def add_build(parser, help=BUILD_HELP, required=False):
    parser.add_argument("--build", type=build, required=required, help=help)


def add_reference(parser, help="reference folder", required=False):
    parser.add_argument("--reference", metavar="DIR", required=required, help=help)


def add_workers(parser):
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive, metavar="N",
                       help="run on a local Dask cluster of N processes")
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on an existing Dask cluster")
