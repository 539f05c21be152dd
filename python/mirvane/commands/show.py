"""``mirvane show``: load a project file and print its summary."""

import argparse
from typing import Any

from . import described
from ._files import load_project


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    parser = described(
        subparsers, "show", "print a project file's summary",
        "Load a project file and print its work cell (robots, cameras, items) and behaviours.",
        "mirvane show run.mvproj")
    parser.add_argument("project", metavar="PROJECT.mvproj", help="the project file to show")
    return parser


def run(args: argparse.Namespace) -> None:
    print(str(load_project(args.project)), end="")
