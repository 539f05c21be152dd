"""``mirvane record``: simulate the sample pick-and-place cell and write a recording and its project."""

import argparse
import os
from contextlib import ExitStack
from typing import Any, Iterator

from dravik.api import data_pb2

from ..constants import MV_PROJECT_FILE_EXT
from ..records import duration_seconds
from ..simulation.faults import DEFAULT_RATE, EARLIEST_S, KINDS, LAST_S, Faults
from . import Argument, UserError, described, _options
from ._arguments import number_in, parsed_by, whole_in
from ._paths import RECORDING_EXT, writable_destination, writing

# A shift of eight hours: the sample cell's is some 6.7 million products (about 1 GB), written as they are made.
MAX_SECONDS = 28800.0
# One cycle of the cell's controllers (100 Hz): anything shorter records nothing.
MIN_SECONDS = 0.01
# The simulation's noise generator takes seeds of up to 128 bits; 64 is plenty.
MAX_SEED = 2 ** 64 - 1
# Faults a minute: from one in an hour-long run to one every tenth of a second.
MIN_FAULT_RATE, MAX_FAULT_RATE = 1.0 / 60.0, 600.0


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "record", "simulate the sample cell and record a run",
        "Run the sample pick-and-place cell (two arms, three cameras, six boxes) and write\n"
        "what it recorded to OUT.rec and the cell's project file next to it.",
        ["mirvane record run.rec --seconds 20 --seed 3    # writes run.rec and run.mvproj",
         "mirvane record bad.rec --seconds 60 --faults slip,stall --fault-rate 6"],
        _options.new_recording(),
        _options.project(metavar="OUT.mvproj",
                         help="the project file to write (default: OUT.rec's name with .mvproj)"),
        Argument("--seconds", type=number_in(MIN_SECONDS, MAX_SECONDS), default=10.0, metavar="S",
                 help=f"length of the run in seconds, from {MIN_SECONDS:g} (one controller cycle) "
                      f"to {MAX_SECONDS:g} (default: 10)"),
        Argument("--seed", type=whole_in(0, MAX_SEED), default=0, metavar="N",
                 help="seed of the simulated sensor noise and timing, from 0 to 2**64-1 (default: 0); "
                      "one seed gives the same files, byte for byte"),
        Argument("--faults", type=parsed_by(Faults.parse), metavar="KINDS",
                 help=f"make the run go wrong: 'all' or some of {', '.join(KINDS)}, separated by commas; "
                      "placed by the seed (the run is the same as without them until the first), and "
                      "listed when done"),
        Argument("--fault-rate", type=number_in(MIN_FAULT_RATE, MAX_FAULT_RATE), metavar="PER_MINUTE",
                 help=f"faults a minute of run, the kinds taken in turn (default: {DEFAULT_RATE:g}; "
                      f"at least one of each kind, none in the first {EARLIEST_S:g} s or the last {LAST_S:g} s)"))


def run(args: argparse.Namespace) -> None:
    from .._atomic import replacing
    from ..formats import recordstream
    from ..project import Project
    from ..simulation.cell import DEFAULT_START_NS, Run, build_cell, cell_behaviors

    recording: str = args.out
    project_path: str = args.project or os.path.splitext(recording)[0] + MV_PROJECT_FILE_EXT
    writable_destination(recording, RECORDING_EXT, "recording")
    writable_destination(project_path, MV_PROJECT_FILE_EXT, "project file")
    if os.path.realpath(recording) == os.path.realpath(project_path):
        raise UserError("the recording and the project file must be two different files")
    faults = args.faults
    if args.fault_rate is not None:
        if faults is None:
            raise UserError("--fault-rate sets how often the faults of --faults strike; give --faults too")
        faults = Faults(faults.kinds, args.fault_rate)

    cell = Run(args.seconds, args.seed, DEFAULT_START_NS, faults)
    project = Project()
    project.setWorkspace(build_cell())
    for behavior in cell_behaviors():
        project.addBehavior(behavior)
    written = _Written(cell.products())
    # Both files appear together or neither does; the products go to the file as they are made.
    with ExitStack() as stack:
        temporaries = []
        for path in (recording, project_path):
            stack.enter_context(writing(path))      # a failure to put this file in place names it
            temporaries.append(stack.enter_context(replacing(path)))
        new_recording, new_project = temporaries
        with writing(recording), open(new_recording, "wb") as f:
            try:
                recordstream.RecordWriter(f, recording).write_streamed(cell.header, written)
            except recordstream.RecordTooLongError:
                raise UserError(f"{recording}: {args.seconds:g} s of the cell take more than a recording file holds "
                                f"in one record ({recordstream.MOST_RECORD_BYTES:,} bytes); record fewer --seconds") from None
        with writing(project_path):
            project.save(new_project)
    print(f"Recorded {args.seconds:g} s of the sample cell ({written.count} products) "
          f"to {recording}, its project to {project_path}")
    if faults is not None:
        struck = "; ".join(f"{f.kind} {f.subject} at {duration_seconds(f.shown_ns - written.first_ns):.3f} s"
                           for f in cell.injected)
        print(f"Faults: {struck or 'none struck before the run ended'}")


class _Written:
    """The run's products on their way to the file, counted, the first's stamp noted."""

    def __init__(self, products: Iterator[data_pb2.Product]) -> None:
        self._products = products
        self.count = 0
        self.first_ns = 0

    def __iter__(self) -> Iterator[data_pb2.Product]:
        for product in self._products:
            if not self.count:
                self.first_ns = product.timestamp_ns
            self.count += 1
            yield product
