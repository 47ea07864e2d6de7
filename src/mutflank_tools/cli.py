"""The `mutflank` command: one verb per step of the road from a user's files to signature
matrices. `main(argv)` parses the options and runs the verb's `run(args)`; every input fault
ends as one line `mutflank <verb>: error: <message>` on standard error."""

import argparse
import importlib
import os
import sys

from .errors import InputError, UsageError

# The verbs, in the order `mutflank --help` lists them. Each is a module of this package with
# SUMMARY, EXAMPLE, add_arguments(parser) and run(args); adding a verb is adding its name here.
VERBS = ("reference", "table", "matrix", "fit", "plot")


class Parser(argparse.ArgumentParser):
    """argparse with usage errors on one line: `<prog>: error: <message>`, exit status 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}\n")


def _verb(name):
    return importlib.import_module(f"{__package__}.{name}")


def build_parser():
    from mutflank import __version__

    parser = Parser(
        prog="mutflank",
        description="From FASTA, VCF/BCF and MAF files to mutation-context tables and "
        "mutational-signature matrices (SBS6, SBS96, SBS1536).",
    )
    parser.add_argument("--version", action="version", version=f"mutflank {__version__}")
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", parser_class=Parser)
    verbs.required = True
    for name in VERBS:
        module = _verb(name)
        module.add_arguments(verbs.add_parser(
            name,
            help=module.SUMMARY,
            description=module.SUMMARY,
            epilog=f"example:\n  {module.EXAMPLE}",
            formatter_class=argparse.RawDescriptionHelpFormatter,
        ))
    return parser


def main(argv=None):
    """Runs the command; returns its exit status (0 success, 1 input error, 2 usage)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    prog = f"mutflank {args.verb}"
    try:
        _verb(args.verb).run(args)
        sys.stdout.flush()
    except InputError as error:
        return _fail(prog, error, 1)
    except UsageError as error:
        return _fail(prog, error, 2)
    except BrokenPipeError:
        # The reader went away (`| head`): say nothing, and keep Python's own flush at exit
        # from failing again on the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return _fail(prog, "interrupted", 130)
    except OSError as error:
        # A file the verb opened itself and could not use; the verbs name their files.
        where = f"{error.filename}: " if error.filename else ""
        return _fail(prog, f"{where}{error.strerror or error}", 1)
    return 0


def _fail(prog, message, status):
    print(f"{prog}: error: {message}", file=sys.stderr)
    return status


def entry_point():
    """The console script `mutflank`."""
    sys.exit(main())
