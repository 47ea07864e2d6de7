"""The `mutflank` command: one verb per step of the road from a user's files to signature
matrices. `main(argv)` parses the options and runs the verb's `run(args)`; every input fault
ends as one line `mutflank <verb>: error: <message>` on standard error."""

import argparse
import contextlib
import importlib
import io
import os
import signal
import sys

from .commands import options
from .runtime import signals
from .runtime.errors import InputError, UsageError
from .runtime.outputs import NamedFile

# The verbs, in the order `mutflank --help` lists them. Each is a module of this package with
# SUMMARY, EXAMPLE, add_arguments(parser) and run(args); adding a verb is adding its name here.
VERBS = ("reference", "table", "matrix", "opportunities", "fit", "extract", "plot")


class Parser(argparse.ArgumentParser):
    """argparse with usage errors on one line: `<prog>: error: <message>`, exit status 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}\n")


def _verb(name):
    return importlib.import_module(f"{__package__}.commands.{name}")


def build_parser(verb=None):
    """The parser of the command; with `verb` (one of VERBS) only that verb's module is loaded
    and its options added, the others named alone: a run of one verb starts sooner."""
    from mutflank import __version__

    parser = Parser(
        prog="mutflank",
        description="From FASTA, VCF/BCF and MAF files to mutation tables, mutational-signature "
        "matrices (SBS6, SBS96, SBS1536, SBS192, SBS384, DBS78, ID83), their pictures and "
        "each sample's exposure to known signatures.",
    )
    parser.add_argument("--version", action="version", version=f"mutflank {__version__}")
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", parser_class=Parser)
    verbs.required = True
    parser.verbs = {}
    for name in VERBS:
        if verb is not None and name != verb:
            verbs.add_parser(name)
            continue
        module = _verb(name)
        module.add_arguments(parser.verbs.setdefault(name, verbs.add_parser(
            name,
            help=module.SUMMARY,
            description=module.SUMMARY,
            epilog=f"example:\n  {module.EXAMPLE}",
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )))
    return parser


def main(argv=None):
    """Runs the command; returns its exit status (0 success, 1 input error, 2 usage, 128 + N
    after signal N: 130 Ctrl-C, 141 a closed pipe, 143 SIGTERM)."""
    handlers = signals.install()
    streams = sys.stdout, sys.stderr
    try:
        return _main(argv)
    finally:
        signals.restore(handlers)
        if sys.stdout is not streams[0] and isinstance(sys.stdout, io.TextIOWrapper):
            with contextlib.suppress(Exception):
                sys.stdout.detach()  # the stream under it stays open
        sys.stdout, sys.stderr = streams


def _main(argv):
    _guard_standard_streams()
    prog = "mutflank"
    try:
        arguments = sys.argv[1:] if argv is None else list(argv)
        # `mutflank VERB ...` needs that verb alone; the command's own help, every verb.
        parser = build_parser(arguments[0] if arguments and arguments[0] in VERBS else None)
        if argv is None and len(sys.argv) == 1 or argv == []:
            parser.print_help()  # a bare `mutflank`: what it can do
            sys.stdout.flush()
            return 0
        try:
            args, unknown = parser.parse_known_args(argv)
            if unknown:  # said by the verb's parser, so that the message names the verb
                parser.verbs[args.verb].error(f"unrecognized arguments: {' '.join(unknown)}")
        except SystemExit as done:  # --help, --version, or a usage error
            if done.code == 0:
                sys.stdout.flush()
            raise
        prog = f"mutflank {args.verb}"
        options.check_cluster(args)  # --scheduler and its credentials, for every verb
        _verb(args.verb).run(args)
        sys.stdout.flush()
    except InputError as error:
        return _fail(prog, error, 1)
    except UsageError as error:
        return _fail(prog, error, 2)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly as a Unix filter killed by SIGPIPE
        # does, and keep Python's own flush at exit from failing again on the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except KeyboardInterrupt as error:
        stop = signals.stopped(error)
        return _fail(prog, stop.message, stop.status)
    except OSError as error:
        # A file the verb opened itself and could not use; the verbs name their files.
        return _fail(prog, describe_os_error(error), 1)
    return 0


def describe_os_error(error):
    """`<file>: <reason>` of an OSError, its file name shortened when it is a path too long
    to be used (a working folder deeper than PATH_MAX would fill the screen)."""
    where = error.filename
    if isinstance(where, bytes):
        where = os.fsdecode(where)
    if isinstance(where, str) and len(where) > 240:
        where = f"{where[:100]}...{where[-100:]} ({len(where):,} characters)"
    reason = error.strerror or str(error)
    return f"{where}: {reason}" if where else reason


class _ClosedOutput:
    """Standard output when the command was started with it closed (`>&-`): writing to it is
    an error with one line, and its file descriptor stays taken so that no file opened later
    becomes standard output."""

    @property
    def buffer(self):
        return self

    def write(self, data):
        raise InputError("standard output is closed")

    writelines = write

    def flush(self):
        pass

    def isatty(self):
        return False

    def fileno(self):
        return 1


def _guard_standard_streams():
    for fd, name, mode in ((0, "stdin", os.O_RDONLY), (1, "stdout", os.O_WRONLY),
                           (2, "stderr", os.O_WRONLY)):
        if getattr(sys, name) is None:
            taken = os.open(os.devnull, mode)
            if taken != fd:
                os.dup2(taken, fd)
                os.close(taken)
            if name == "stdout":
                sys.stdout = _ClosedOutput()
            else:
                setattr(sys, name, open(fd, "r" if fd == 0 else "w", closefd=False))
    # Data written to standard output that cannot be (a full disk) names it.
    out = sys.stdout
    if isinstance(out, io.TextIOWrapper) and hasattr(out, "buffer"):
        out.flush()
        sys.stdout = io.TextIOWrapper(NamedFile(out.buffer, "standard output"),
                                      encoding=out.encoding, errors=out.errors,
                                      line_buffering=out.line_buffering)


def _fail(prog, message, status):
    print(f"{prog}: error: {message}", file=sys.stderr)
    return status


def entry_point():
    """The console script `mutflank`."""
    sys.exit(main())
