"""``mirvane show``: load a project file and print its summary."""

import argparse
from typing import Any

from . import Argument, described
from ._loading import load_project, reading, streamed_recording
from ._lacking import recorded_names, warn_lacking
from ._paths import note_newer


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
        stream = streamed_recording(args.recording)
        with reading(args.recording):
            names = recorded_names(stream.records())
        note_newer(args.recording, stream.newer)
        warn_lacking(project, names, args.project, args.recording)
    print(str(project), end="")
