"""The subcommands of the ``mirvane`` command, one module each.

A subcommand module has ``add_parser(subparsers)``, which adds its parser (with
a description, an example and its ``Argument``s, the shared ones from
``_options``) and returns it, and ``run(args)``, which does the work and may return an exit
status (None is 0). A mistake the user can mend is raised as ``UserError`` with a text that
says what to do; ``mirvane.cli`` prints it and sets the exit status. To add a
subcommand, write such a module and list it in ``mirvane.cli.COMMANDS``.
"""

import argparse
import contextlib
import os
import re
import sys
from typing import Any, Iterator, Optional, Protocol, Sequence


from .. import reasons


class UserError(Exception):
    """Something the user can mend: a missing or damaged file, a value out of range."""


class Command(Protocol):
    """What ``mirvane.cli`` needs of a subcommand module."""

    def add_parser(self, subparsers: Any) -> argparse.ArgumentParser: ...

    def run(self, args: argparse.Namespace) -> Optional[int]: ...


class Argument:
    """One argument of a subcommand: what ``add_argument`` is given for it."""

    def __init__(self, *names: str, **settings: Any) -> None:
        self.names, self.settings = names, settings


def described(subparsers: Any, name: str, summary: str, description: str, examples: Sequence[str],
              *arguments: Argument) -> argparse.ArgumentParser:
    """A subparser for ``name`` taking ``arguments``, whose help ends with ``examples``, shown as written."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        name, help=summary, description=description,
        epilog="example:\n" + "\n".join(f"  {line}" for line in examples),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    for argument in arguments:
        parser.add_argument(*argument.names, **argument.settings)
    return parser


def escaped(text: str) -> str:
    """``text`` with its control characters escaped (a newline or an escape sequence in a file
    name), so that what is printed of it is one line and reaches the terminal as text."""
    return re.sub(r"[\x00-\x1f\x7f-\x9f]", lambda m: repr(m.group())[1:-1], text)


def warn(text: str) -> None:
    """Say ``text`` on the error stream, in one line, as the command's (``mirvane: ...``)."""
    print(f"mirvane: {escaped(text)}", file=sys.stderr)


def first_line(error: BaseException) -> str:
    """An error in one line, for a refusal's words (``mirvane.reasons.first_line``)."""
    return reasons.first_line(error, empty="no details")


@contextlib.contextmanager
def printing() -> Iterator[None]:
    """Printing to a reader that may stop (``| head``): when it has, what it wanted is out, and
    nothing more is said (nor a broken pipe reported at exit)."""
    try:
        yield
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
