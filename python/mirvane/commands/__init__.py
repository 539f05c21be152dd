"""The subcommands of the ``mirvane`` command, one module each.

A subcommand module has ``add_parser(subparsers)``, which adds its parser (with
a description and an example) and returns it, and ``run(args)``, which does the
work. A mistake the user can mend is raised as ``UserError`` with a text that
says what to do; ``mirvane.cli`` prints it and sets the exit status. To add a
subcommand, write such a module and list it in ``mirvane.cli.COMMANDS``.
"""

import argparse
from typing import Any, Protocol


class UserError(Exception):
    """Something the user can mend: a missing or damaged file, a value out of range."""


class Command(Protocol):
    """What ``mirvane.cli`` needs of a subcommand module."""

    def add_parser(self, subparsers: Any) -> argparse.ArgumentParser: ...

    def run(self, args: argparse.Namespace) -> None: ...


def described(subparsers: Any, name: str, summary: str, description: str,
              *examples: str) -> argparse.ArgumentParser:
    """A subparser for ``name`` whose help ends with ``examples``, shown as written."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        name, help=summary, description=description,
        epilog="example:\n" + "\n".join(f"  {line}" for line in examples),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    return parser
