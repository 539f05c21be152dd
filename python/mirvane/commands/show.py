"""``mirvane show``: load a project file and print its summary."""

import argparse
from typing import Any

from . import Argument, described
from ._loading import load_project, load_recording
from ._lacking import warn_lacking


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "show", "print a project file's summary",
        "Load a project file and print its work cell (robots, cameras, items) and behaviours.\n"
        "With --recording, also warn of what its records have that the project lacks.",
        ["mirvane show run.mvproj --recording run.rec"],
        Argument("project", metavar="PROJECT.mvproj", help="the project file to show"),
        Argument("--recording", metavar="RECORDING",
                 help="a recording to replay with it: warn of robots, cameras and items the project lacks"))


def run(args: argparse.Namespace) -> None:
    project = load_project(args.project)
    if args.recording:
        warn_lacking(project, load_recording(args.recording).records(), args.project, args.recording)
    print(str(project), end="")
