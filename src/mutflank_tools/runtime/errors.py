"""The failures a subcommand reports as one line on standard error."""


class InputError(Exception):
    """A fault in an input file or in what the user asked for that only the files can tell:
    the message names the file, and the line where a record is at fault. Exit status 1."""


class UsageError(Exception):
    """Options that do not fit together (for example a required --build that cannot be
    inferred). Exit status 2, like argparse's own usage errors."""


def at_line(path, line, message):
    """The message of a fault in record `line` (1-based) of `path`."""
    return f"{path}: line {line}: {message}"


def shown(name):
    """A name read from a file as a message shows it: every character that is not printable
    (an escape sequence, a line end, a tab) written as Python writes it in a string, `\\x1b`,
    so that a file cannot move the cursor or recolour the terminal. Bytes that are not UTF-8
    are shown the same way."""
    if isinstance(name, bytes):
        name = name.decode("utf-8", "backslashreplace")
    if name.isprintable():
        return name
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in name)
