"""``mirvane record``: simulate the sample pick-and-place cell and write a recording and its project."""

import argparse
import os
from contextlib import ExitStack
from typing import Any

from ..constants import MV_PROJECT_FILE_EXT
from . import UserError, described
from ._files import RECORDING_EXT, positive_float, writable_destination

# An hour of the sample cell is some 700,000 products; more would only exhaust memory.
MAX_SECONDS = 3600.0


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    parser = described(
        subparsers, "record", "simulate the sample cell and record a run",
        "Run the sample pick-and-place cell (two arms, three cameras, six boxes) and write\n"
        "what it recorded to OUT.rec and the cell's project file next to it.",
        "mirvane record run.rec --seconds 20 --seed 3    # writes run.rec and run.mvproj")
    parser.add_argument("out", metavar="OUT.rec", help="the recording file to write")
    parser.add_argument("--project", metavar="OUT.mvproj",
                        help="the project file to write (default: OUT.rec's name with .mvproj)")
    parser.add_argument("--seconds", type=positive_float, default=10.0, metavar="S",
                        help=f"length of the run in seconds, at most {MAX_SECONDS:g} (default: 10)")
    parser.add_argument("--seed", type=int, default=0, metavar="N",
                        help="seed of the simulated sensor noise and timing (default: 0)")
    return parser


def run(args: argparse.Namespace) -> None:
    from .._atomic import replacing
    from ..project import Project
    from ..simulation import build_cell, cell_behaviors, make_recording

    recording: str = args.out
    project_path: str = args.project or os.path.splitext(recording)[0] + MV_PROJECT_FILE_EXT
    if args.seconds > MAX_SECONDS:
        raise UserError(f"--seconds {args.seconds:g} is too long; record at most {MAX_SECONDS:g} s")
    writable_destination(recording, RECORDING_EXT, "recording")
    writable_destination(project_path, MV_PROJECT_FILE_EXT, "project file")
    if os.path.realpath(recording) == os.path.realpath(project_path):
        raise UserError("the recording and the project file must be two different files")

    data = make_recording(runs=1, duration_s=args.seconds, seed=args.seed)
    project = Project()
    project.setWorkspace(build_cell())
    for behavior in cell_behaviors():
        project.addBehavior(behavior)
    # Both files appear together or neither does.
    with ExitStack() as stack:
        try:
            new_recording = stack.enter_context(replacing(recording))
            new_project = stack.enter_context(replacing(project_path))
        except OSError as e:
            raise UserError(f"cannot write {e.filename or recording}: {e.strerror}") from None
        data.save(new_recording)
        project.save(new_project)
    print(f"Recorded {args.seconds:g} s of the sample cell ({data.productCount()} products) "
          f"to {recording}, its project to {project_path}")
